#include "storage/passphrase.h"
#include "storage/zircon.h"
#include "testsupport.h"

#include <QFile>
#include <QtTest>

class TestZircon : public QObject
{
    Q_OBJECT

private slots:
    void formattingQuotesTextsAndWritesNumbers();
    void freshFileIsEncryptedWhenFirstKeyed();
    void wrongPassPhraseReadsNothing();
    void openNeverCreatesAFile();
    void createRefusesAnExistingFile();
    void plainFileOfferedElsewhereIsNeverAdopted();
};

namespace {

QString formatted(char *sql)
{
    const QString text = QString::fromUtf8(sql);
    zircon_destroy_sql(sql);
    return text;
}

int run(zircon_db *handle, const char *sql)
{
    return zircon_run_sql(handle, sql, nullptr, nullptr);
}

} // namespace

void TestZircon::formattingQuotesTextsAndWritesNumbers()
{
    QCOMPARE(formatted(zircon_create_sql("name = %Q AND channel = %d", "O'Brien's", -12)),
             QString("name = 'O''Brien''s' AND channel = -12"));
    QCOMPARE(formatted(zircon_create_sql("%Q", static_cast<const char *>(nullptr))),
             QString("NULL"));
    // Percent signs and backslashes inside an argument are data, not format.
    QCOMPARE(formatted(zircon_create_sql("%Q", "100% \\n 水质")), QString("'100% \\n 水质'"));
}

void TestZircon::freshFileIsEncryptedWhenFirstKeyed()
{
    TempStation station;
    const QString file = station.filePath("fresh.zdb");
    const QByteArray path = file.toUtf8();

    zircon_db *handle = nullptr;
    QCOMPARE(zircon_create(&handle, path.constData()), 0);
    QCOMPARE(run(handle, "CREATE TABLE T(a VARCHAR, b INTEGER);"), 0);
    QCOMPARE(zircon_close(handle), 0);

    QCOMPARE(zircon_open(&handle, path.constData()), 0);
    QCOMPARE(zircon_set_password(handle, kPassPhrase, kPassPhraseLength), 0);
    // Usable right away, through the same handle.
    QCOMPARE(run(handle, "INSERT INTO T VALUES('溶解氧', 7)"), 0);
    QCOMPARE(run(handle, "INSERT INTO T VALUES(NULL, 8)"), 0);
    QCOMPARE(zircon_close(handle), 0);

    QVERIFY(!station.readFile("fresh.zdb").startsWith("SQLite format 3"));
    QVERIFY(!QFile::exists(file + "-encrypting"));
    QString output;
    QVERIFY(runPlainSqlite(file, "SELECT * FROM T", &output) != 0);
    QVERIFY2(output.contains("not a database"), qPrintable(output));

    int rc = -1;
    QCOMPARE(selectWithKey(file, "SELECT a, b FROM T ORDER BY b", &rc),
             QStringList({"溶解氧|7", "<null>|8"}));
    QCOMPARE(rc, 0);
}

void TestZircon::wrongPassPhraseReadsNothing()
{
    TempStation station;
    const QByteArray path = station.filePath("keyed.zdb").toUtf8();
    zircon_db *handle = nullptr;
    QCOMPARE(zircon_create(&handle, path.constData()), 0);
    QCOMPARE(run(handle, "CREATE TABLE T(a);"), 0);
    zircon_close(handle);
    QCOMPARE(zircon_open(&handle, path.constData()), 0);
    zircon_set_password(handle, kPassPhrase, kPassPhraseLength);
    zircon_close(handle);

    QCOMPARE(zircon_open(&handle, path.constData()), 0);
    zircon_set_password(handle, "not-the-phrase-xyz", 18);
    QVERIFY(run(handle, "SELECT * FROM T") != 0);
    zircon_close(handle);
}

void TestZircon::openNeverCreatesAFile()
{
    TempStation station;
    const QString file = station.filePath("missing.zdb");
    zircon_db *handle = reinterpret_cast<zircon_db *>(&station); // must be overwritten
    QVERIFY(zircon_open(&handle, file.toUtf8().constData()) != 0);
    QVERIFY(handle == nullptr);
    QVERIFY(!QFile::exists(file));
    QVERIFY(zircon_open(&handle, station.filePath("no/such/folder.zdb").toUtf8().constData()) != 0);
}

void TestZircon::createRefusesAnExistingFile()
{
    TempStation station;
    QVERIFY(station.writeFile("taken.zdb", "someone else's data"));
    zircon_db *handle = nullptr;
    QVERIFY(zircon_create(&handle, station.filePath("taken.zdb").toUtf8().constData()) != 0);
    QVERIFY(handle == nullptr);
    QCOMPARE(station.readFile("taken.zdb"), QByteArray("someone else's data"));
}

void TestZircon::plainFileOfferedElsewhereIsNeverAdopted()
{
    TempStation station;
    const QString file = station.filePath("plain.db");
    QCOMPARE(runPlainSqlite(file, "CREATE TABLE T(a); INSERT INTO T VALUES(1);"), 0);
    const QByteArray before = station.readFile("plain.db");

    zircon_db *handle = nullptr;
    QCOMPARE(zircon_open(&handle, file.toUtf8().constData()), 0);
    zircon_set_password(handle, kPassPhrase, kPassPhraseLength);
    QVERIFY(run(handle, "SELECT * FROM T") != 0);
    QVERIFY(run(handle, "INSERT INTO T VALUES(2)") != 0);
    zircon_close(handle);
    QCOMPARE(station.readFile("plain.db"), before);
}

QTEST_GUILESS_MAIN(TestZircon)
#include "tst_zircon.moc"
