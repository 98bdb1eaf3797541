#include "app/accountfile.h"
#include "app/appcontext.h"
#include "storage/passphrase.h"
#include "storage/recorddatabase.h"
#include "storage/userdatabase.h"
#include "testsupport.h"

#include <QtTest>

class TestUserDatabase : public QObject
{
    Q_OBJECT

private slots:
    void createDatabaseStartsOverWithTheDefaultAccount();
    void duplicateNameIsRefused();
    void otherKindsDoNothing();
    void oldFileGainsRoleColumnAndAuditTable();
    void fileFromBeforeTheRuleKeepsItsAdministratorsOnce();
    void missingOrEmptyFileHoldsTheDefaultAccountOnlyInANewStation_data();
    void missingOrEmptyFileHoldsTheDefaultAccountOnlyInANewStation();
};

namespace {

UserDatabase *startStation()
{
    AppContext::instance().init();
    return static_cast<UserDatabase *>(AppContext::instance().object(UserDb));
}

QStringList accounts()
{
    return selectWithKey(AppContext::instance().path(UserDb),
                         "SELECT uid, name, password FROM User ORDER BY uid");
}

QStringList roles()
{
    return selectWithKey(AppContext::instance().path(UserDb),
                         "SELECT name, role FROM User ORDER BY uid");
}

// A user.zdb made the way an older build made it, holding the statements' rows.
bool makeOldUserFile(const TempStation &station, const char *sql)
{
    const QByteArray file = station.filePath("user/user.zdb").toUtf8();
    zircon_db *handle = nullptr;
    int rc = QDir().mkpath(station.filePath("user")) ? zircon_create(&handle, file.constData()) : 1;
    if (rc == 0)
        rc = zircon_set_password(handle, kPassPhrase, kPassPhraseLength);
    if (rc == 0)
        rc = zircon_run_sql(handle, sql, nullptr, nullptr);
    zircon_close(handle);
    return rc == 0;
}

} // namespace

void TestUserDatabase::createDatabaseStartsOverWithTheDefaultAccount()
{
    TempStation station;
    UserDatabase *database = startStation();
    QVERIFY(database && database->isOpen());
    QCOMPARE(accounts(), QStringList({"1|admin|"})); // a missing file is made at start
    QCOMPARE(roles(), QStringList({"admin|admin"}));
    QCOMPARE(database->addUser("operator", "pa'ss"), 0);
    QCOMPARE(accounts(), QStringList({"1|admin|", "2|operator|pa'ss"}));

    QCOMPARE(database->createDatabase(UserDb), 0);
    QVERIFY(database->isOpen());
    QCOMPARE(accounts(), QStringList({"1|admin|"}));
    QCOMPARE(roles(), QStringList({"admin|admin"}));
}

void TestUserDatabase::duplicateNameIsRefused()
{
    TempStation station;
    UserDatabase *database = startStation();
    QVERIFY(database->addUser("admin", "other") != 0);
    QCOMPARE(accounts(), QStringList({"1|admin|"}));
}

void TestUserDatabase::otherKindsDoNothing()
{
    TempStation station;
    UserDatabase *database = startStation();
    QCOMPARE(database->addUser("operator", ""), 0);
    for (int kind : {int(ComPortConfig), int(RecordDb), int(UserManual), 42})
        QCOMPARE(database->createDatabase(kind), 0);
    QCOMPARE(accounts().size(), 2);
}

void TestUserDatabase::oldFileGainsRoleColumnAndAuditTable()
{
    TempStation station;
    const QByteArray file = station.filePath("user/user.zdb").toUtf8();
    QVERIFY(makeOldUserFile(station, "CREATE TABLE User(uid INTEGER PRIMARY KEY AUTOINCREMENT NOT "
                                     "NULL,name VARCHAR NOT NULL UNIQUE,password VARCHAR);"
                                     "INSERT INTO User(name,password) VALUES('admin','');"
                                     "INSERT INTO User(name,password) VALUES('op','x');"));

    UserDatabase *database = startStation();
    QVERIFY(database->isOpen());
    const QStringList columns = selectWithKey(file, "PRAGMA table_info(User)");
    QCOMPARE(columns.size(), 4);
    QVERIFY2(columns[3].startsWith("3|role|"), qPrintable(columns[3]));
    QCOMPARE(accounts(), QStringList({"1|admin|", "2|op|x"}));
    // Accounts from before roles stay administrators: no plant is locked out.
    long administrators = 0;
    QCOMPARE(database->countAdministrators(&administrators), 0);
    QCOMPARE(administrators, 2L);
    QCOMPARE(database->addUser("reader", "h", UserDatabase::operatorRole), 0);
    QCOMPARE(database->countAdministrators(&administrators), 0);
    QCOMPARE(administrators, 2L);
    QCOMPARE(database->appendAudit("2026-03-01 08:00:00", "admin", "登录", ""), 0);

    QCOMPARE(roles(), QStringList({"admin|admin", "op|admin", "reader|operator"}));

    // Opening again adds nothing twice.
    QCOMPARE(database->close(), 0);
    QCOMPARE(database->open(), 0);
    QCOMPARE(selectWithKey(file, "SELECT count(*) FROM Audit"), QStringList({"1"}));
}

void TestUserDatabase::fileFromBeforeTheRuleKeepsItsAdministratorsOnce()
{
    // Written when an empty role meant an administrator: the default account had none.
    TempStation station;
    QVERIFY(makeOldUserFile(station,
                            "CREATE TABLE User(uid INTEGER PRIMARY KEY AUTOINCREMENT NOT "
                            "NULL,name VARCHAR NOT NULL UNIQUE,password VARCHAR,role "
                            "VARCHAR);"
                            "INSERT INTO User(name,password) VALUES('admin','');"
                            "INSERT INTO User VALUES(2,'blank','',''),(3,'op','','operator'),"
                            "(4,'capital','','Admin');"));
    UserDatabase *database = startStation();
    QVERIFY(database->isOpen());
    // Each keeps the rights it had: "Admin" never was an administrator.
    QCOMPARE(roles(), QStringList({"admin|admin", "blank|admin", "op|operator", "capital|Admin"}));
    long administrators = 0;
    QCOMPARE(database->countAdministrators(&administrators), 0);
    QCOMPARE(administrators, 2L);

    // Once: a role emptied after the migration grants nothing at the next open.
    QCOMPARE(database->close(), 0);
    int result = -1;
    selectWithKey(AppContext::instance().path(UserDb), "UPDATE User SET role='' WHERE uid=2",
                  &result);
    QCOMPARE(result, 0);
    QCOMPARE(database->open(), 0);
    QCOMPARE(database->countAdministrators(&administrators), 0);
    QCOMPARE(administrators, 1L);
}

void TestUserDatabase::missingOrEmptyFileHoldsTheDefaultAccountOnlyInANewStation_data()
{
    QTest::addColumn<bool>("records");
    QTest::addColumn<bool>("marker");
    QTest::addColumn<bool>("emptyFile");
    QTest::addColumn<bool>("defaultAccount");
    QTest::newRow("new folder") << false << false << false << true;
    QTest::newRow("new folder, empty file") << false << false << true << true;
    QTest::newRow("records, empty file") << true << false << true << false;
    QTest::newRow("records, no file") << true << false << false << false;
    QTest::newRow("marker, no file") << false << true << false << false;
    QTest::newRow("marker, empty file") << false << true << true << false;
}

void TestUserDatabase::missingOrEmptyFileHoldsTheDefaultAccountOnlyInANewStation()
{
    QFETCH(bool, records);
    QFETCH(bool, marker);
    QFETCH(bool, emptyFile);
    QFETCH(bool, defaultAccount);
    TempStation station;
    const QString markerFile = AccountFile::markerPath(station.path());
    if (records) {
        // A station that ran and stored readings; its marker is gone too.
        startStation();
        auto *database = static_cast<RecordDatabase *>(AppContext::instance().object(RecordDb));
        QCOMPARE(database->insert(makeRecord("曝气池", 0, "2024-01-02 08:00:00")), 0);
        AppContext::instance().shutdown();
        AppContext::instance().reset();
        QVERIFY(QFile::remove(markerFile));
        QVERIFY(QFile::remove(station.filePath("user/user.zdb")));
    }
    if (marker)
        QVERIFY(station.writeFile("hydrovane.accounts", "had accounts\n"));
    if (emptyFile)
        QVERIFY(station.writeFile("user/user.zdb", QByteArray()));

    UserDatabase *database = startStation();
    QVERIFY(database->isOpen());
    QCOMPARE(accounts(), defaultAccount ? QStringList({"1|admin|"}) : QStringList());
    // Marked from now on: deleting the file later opens nothing either.
    QVERIFY(QFileInfo(markerFile).isFile());
    QVERIFY(!AccountFile::isNewStation(station.path(), station.filePath("db/record.zdb")));
}

QTEST_GUILESS_MAIN(TestUserDatabase)
#include "tst_userdatabase.moc"
