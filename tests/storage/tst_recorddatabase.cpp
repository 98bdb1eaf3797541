#include "app/appcontext.h"
#include "storage/recorddatabase.h"
#include "storage/userdatabase.h"
#include "testsupport.h"

#include <QDate>
#include <QDir>
#include <QFile>
#include <QtTest>

#include <thread>

class TestRecordDatabase : public QObject
{
    Q_OBJECT

private slots:
    void rowsRoundTripExactly();
    void conditionsJoinInCallOrderAndResultsAreSorted();
    void clearRestartsRowNumbering();
    void distinctNamesListsEachNameOnce();
    void backupsOfOneDayGetNumberedNamesAndNeverOverwrite();
    void backupIntoMissingFolderFails();
    void otherKindsDoNothing();
    void importReplacesRowsWithAValidBackup();
    void failedImportChangesNothing_data();
    void failedImportChangesNothing();
    void createDatabaseLeavesAnEmptyTable();
    void closedOrMissingDatabaseFailsEveryStatement();
    void emptyFileGetsTheTableAtOpen();
    void concurrentInsertsLoseNoRow();
    void fileOnDiskNeedsTheKeyAndSearchesUseIndexes();
};

namespace {

RecordRow makeRow(const std::string &name, int channel, const std::string &time,
                  const std::string &value = "8.25")
{
    RecordRow row = makeRecord(name, channel, time);
    row.value = value;
    return row;
}

RecordDatabase *startStation()
{
    AppContext::instance().init();
    return static_cast<RecordDatabase *>(AppContext::instance().object(RecordDb));
}

QString recordFile()
{
    return AppContext::instance().path(RecordDb);
}

QStringList queried(RecordDatabase *database, const std::string &condition = std::string())
{
    std::vector<RecordRow *> rows;
    database->query(condition, rows);
    QStringList texts;
    for (const RecordRow *row : rows)
        texts << QString::fromStdString(row->name) + "/" + QString::number(row->channel) + "/" +
                     QString::fromStdString(row->time);
    RecordDatabase::freeRows(rows);
    return texts;
}

int rowCount(RecordDatabase *database)
{
    std::vector<RecordRow *> rows;
    if (database->query(std::string(), rows) != 0)
        return -1;
    RecordDatabase::freeRows(rows);
    return int(rows.size());
}

QByteArray fileContent(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

void TestRecordDatabase::rowsRoundTripExactly()
{
    TempStation station;
    RecordDatabase *database = startStation();
    QVERIFY(database && database->isOpen());

    const std::string awkward = "O'Brien's 100% \\n 溶解氧'' %Q %d";
    RecordRow row = makeRow(awkward, 1, "2024-01-02 08:30:05", std::string(5000, '7'));
    row.status = "'";
    row.unit = "%";
    QCOMPARE(database->insert(row), 0);
    QCOMPARE(database->insert(makeRow("other", 0, "2024-01-02 08:30:05")), 0);

    std::string condition;
    RecordDatabase::appendNameCondition(condition, awkward, true);
    std::vector<RecordRow *> rows;
    QCOMPARE(database->query(condition, rows), 0);
    QCOMPARE(int(rows.size()), 1);
    const RecordRow &found = *rows.front();
    QCOMPARE(found.time, row.time);
    QCOMPARE(found.model, row.model);
    QCOMPARE(found.name, awkward);
    QCOMPARE(found.slave, 3);
    QCOMPARE(found.channel, 1);
    QCOMPARE(found.factor, row.factor);
    QCOMPARE(found.unit, row.unit);
    QCOMPARE(found.value, row.value);
    QCOMPARE(found.status, row.status);
    RecordDatabase::freeRows(rows);

    // A reader of its own sees exactly what the statements wrote.
    const QStringList direct = selectWithKey(
        recordFile(), "SELECT uid,time,model,name,slave,channel,factor,unit,status,length(value) "
                      "FROM Record ORDER BY uid");
    QCOMPARE(direct.size(), 2);
    QCOMPARE(direct.first(), "1|2024-01-02 08:30:05|DI590|" + QString::fromStdString(awkward) +
                                 "|3|1|Temper|%|'|5000");

    QCOMPARE(database->removeByName(awkward), 0);
    QCOMPARE(queried(database), QStringList({"other/0/2024-01-02 08:30:05"}));
}

void TestRecordDatabase::conditionsJoinInCallOrderAndResultsAreSorted()
{
    TempStation station;
    RecordDatabase *database = startStation();

    std::string condition;
    RecordDatabase::appendTimeCondition(condition, "2024-01-02 00:00:00", "2024-01-02 23:59:59",
                                        true);
    RecordDatabase::appendNameCondition(condition, "b'1", false);
    RecordDatabase::appendChannelCondition(condition, 1, false);
    QCOMPARE(QString::fromStdString(condition),
             QString(" WHERE time BETWEEN '2024-01-02 00:00:00' AND '2024-01-02 23:59:59'"
                     " AND name = 'b''1' AND channel = 1"));

    for (const char *name : {"b'1", "a"})
        for (int channel : {1, 0})
            for (const char *time :
                 {"2024-01-01 23:59:59", "2024-01-02 00:00:00", "2024-01-02 12:00:00",
                  "2024-01-02 23:59:59", "2024-01-03 00:00:00"})
                QCOMPARE(database->insert(makeRow(name, channel, time)), 0);

    QCOMPARE(queried(database, condition),
             QStringList({"b'1/1/2024-01-02 23:59:59", "b'1/1/2024-01-02 12:00:00",
                          "b'1/1/2024-01-02 00:00:00"}));

    std::string day;
    RecordDatabase::appendTimeCondition(day, "2024-01-02 12:00:00", "2024-01-02 12:00:00", true);
    QCOMPARE(queried(database, day),
             QStringList({"a/0/2024-01-02 12:00:00", "a/1/2024-01-02 12:00:00",
                          "b'1/0/2024-01-02 12:00:00", "b'1/1/2024-01-02 12:00:00"}));
    QCOMPARE(queried(database).size(), 20);
}

void TestRecordDatabase::clearRestartsRowNumbering()
{
    TempStation station;
    RecordDatabase *database = startStation();
    for (int i = 0; i < 3; ++i)
        QCOMPARE(database->insert(makeRow("a", 0, "2024-01-02 08:30:05")), 0);
    QCOMPARE(database->clear(), 0);
    QCOMPARE(database->vacuum(), 0);
    QCOMPARE(database->insert(makeRow("b", 0, "2024-01-02 08:30:06")), 0);
    QCOMPARE(selectWithKey(recordFile(), "SELECT uid, name FROM Record"), QStringList({"1|b"}));
}

void TestRecordDatabase::distinctNamesListsEachNameOnce()
{
    TempStation station;
    RecordDatabase *database = startStation();
    std::vector<std::string> names;
    QCOMPARE(database->distinctNames(names), 0);
    QVERIFY(names.empty());

    for (const char *name : {"b", "仪表1", "a", "b", "c'd", "a"})
        QCOMPARE(database->insert(makeRow(name, 0, "2024-01-02 08:30:05")), 0);
    QCOMPARE(database->distinctNames(names), 0);
    QCOMPARE(names, std::vector<std::string>({"a", "b", "c'd", "仪表1"}));
}

void TestRecordDatabase::backupsOfOneDayGetNumberedNamesAndNeverOverwrite()
{
    TempStation station;
    RecordDatabase *database = startStation();
    QCOMPARE(database->insert(makeRow("a", 0, "2024-01-02 08:30:05")), 0);
    const QString date = QDate::currentDate().toString("yyyyMMdd");
    QVERIFY(station.writeFile("backup/record1_" + date + ".zdb", "operator's file"));

    for (int i = 0; i < 3; ++i)
        QCOMPARE(database->backupDatabase(RecordDb), 0);

    QCOMPARE(station.readFile("backup/record1_" + date + ".zdb"), QByteArray("operator's file"));
    for (const char *name : {"record_", "record2_", "record3_"}) {
        const QString copy = station.filePath("backup/" + QString(name) + date + ".zdb");
        QVERIFY2(QFile::exists(copy), qPrintable(copy));
        QCOMPARE(selectWithKey(copy, "SELECT name FROM Record"), QStringList({"a"}));
    }
    QCOMPARE(QDir(station.filePath("backup")).entryList(QDir::Files).size(), 4);
    QCOMPARE(database->insert(makeRow("b", 0, "2024-01-02 08:30:06")), 0);
}

void TestRecordDatabase::backupIntoMissingFolderFails()
{
    TempStation station;
    RecordDatabase *database = startStation();
    QVERIFY(QDir(station.filePath("backup")).removeRecursively());
    QCOMPARE(database->backupDatabase(RecordDb), -1);
    QVERIFY(!QFile::exists(station.filePath("backup")));
}

void TestRecordDatabase::otherKindsDoNothing()
{
    TempStation station;
    RecordDatabase *database = startStation();
    QCOMPARE(database->insert(makeRow("a", 0, "2024-01-02 08:30:05")), 0);
    QVERIFY(station.writeFile("backup/source.zdb", "garbage"));
    const QByteArray before = fileContent(recordFile());

    for (int kind : {int(ComPortConfig), int(UserDb), int(BackupDir), 9}) {
        QCOMPARE(database->backupDatabase(kind), 0);
        QCOMPARE(
            database->importDatabase(kind, station.filePath("backup/source.zdb").toStdString()), 0);
        QCOMPARE(database->createDatabase(kind), 0);
    }
    QCOMPARE(QDir(station.filePath("backup")).entryList(QDir::Files), QStringList({"source.zdb"}));
    QCOMPARE(fileContent(recordFile()), before);
    QCOMPARE(rowCount(database), 1);
}

void TestRecordDatabase::importReplacesRowsWithAValidBackup()
{
    TempStation station;
    RecordDatabase *database = startStation();
    QCOMPARE(database->insert(makeRow("kept", 0, "2024-01-02 08:30:05")), 0);
    QCOMPARE(database->backupDatabase(RecordDb), 0);
    const QString backup =
        station.filePath("backup/record_" + QDate::currentDate().toString("yyyyMMdd") + ".zdb");
    QCOMPARE(database->clear(), 0);
    QCOMPARE(database->insert(makeRow("replaced", 0, "2024-01-02 08:30:06")), 0);

    QCOMPARE(database->importDatabase(RecordDb, backup.toUtf8().toStdString()), 0);
    QVERIFY(database->isOpen());
    QCOMPARE(queried(database), QStringList({"kept/0/2024-01-02 08:30:05"}));
    QCOMPARE(database->insert(makeRow("after", 0, "2024-01-02 08:30:07")), 0);
    QCOMPARE(rowCount(database), 2);
    QVERIFY(QFile::exists(backup));
    QCOMPARE(QDir(station.filePath("db")).entryList(QDir::Files), QStringList({"record.zdb"}));
}

void TestRecordDatabase::failedImportChangesNothing_data()
{
    QTest::addColumn<QString>("source");
    QTest::newRow("garbage") << "garbage.zdb";
    QTest::newRow("empty file") << "empty.zdb";
    QTest::newRow("plain sqlite file") << "plain.zdb";
    QTest::newRow("database without Record") << "user.zdb";
    QTest::newRow("missing file") << "missing.zdb";
}

void TestRecordDatabase::failedImportChangesNothing()
{
    QFETCH(QString, source);
    TempStation station;
    RecordDatabase *database = startStation();
    for (int i = 0; i < 5; ++i)
        QCOMPARE(database->insert(makeRow("a", i % 2, "2024-01-02 08:30:05")), 0);

    QVERIFY(station.writeFile("backup/garbage.zdb", QByteArray(4096, '\x5a')));
    QVERIFY(station.writeFile("backup/empty.zdb", QByteArray()));
    QCOMPARE(runPlainSqlite(station.filePath("backup/plain.zdb"),
                            "CREATE TABLE Record(time,model,name,slave,channel,factor,unit,value,"
                            "status); INSERT INTO Record VALUES('t','m','n',1,0,'f','u','v','s');"),
             0);
    QVERIFY(QFile::copy(AppContext::instance().path(UserDb), station.filePath("backup/user.zdb")));
    const QByteArray before = fileContent(recordFile());

    const std::string path = station.filePath("backup/" + source).toUtf8().toStdString();
    QCOMPARE(database->importDatabase(RecordDb, path), -1);

    QCOMPARE(fileContent(recordFile()), before);
    QCOMPARE(QDir(station.filePath("db")).entryList(QDir::Files), QStringList({"record.zdb"}));
    QVERIFY(database->isOpen());
    QCOMPARE(rowCount(database), 5);
    QCOMPARE(database->insert(makeRow("b", 0, "2024-01-02 08:30:06")), 0);
}

void TestRecordDatabase::createDatabaseLeavesAnEmptyTable()
{
    TempStation station;
    RecordDatabase *database = startStation();
    QCOMPARE(database->insert(makeRow("a", 0, "2024-01-02 08:30:05")), 0);
    QCOMPARE(database->createDatabase(RecordDb), 0);
    QVERIFY(database->isOpen());
    QCOMPARE(rowCount(database), 0);
    QCOMPARE(database->insert(makeRow("b", 0, "2024-01-02 08:30:06")), 0);
    QCOMPARE(selectWithKey(recordFile(), "SELECT uid FROM Record"), QStringList({"1"}));
}

void TestRecordDatabase::closedOrMissingDatabaseFailsEveryStatement()
{
    TempStation station;
    RecordDatabase *database = startStation();
    QCOMPARE(database->insert(makeRow("a", 0, "2024-01-02 08:30:05")), 0);
    QCOMPARE(database->close(), 0);
    QCOMPARE(database->close(), 0);

    std::vector<RecordRow *> rows;
    std::vector<std::string> names;
    QVERIFY(database->insert(makeRow("b", 0, "2024-01-02 08:30:06")) != 0);
    QVERIFY(database->query(std::string(), rows) != 0);
    QVERIFY(rows.empty());
    QVERIFY(database->distinctNames(names) != 0);
    QVERIFY(database->clear() != 0);
    QVERIFY(database->removeByName("a") != 0);
    QVERIFY(database->vacuum() != 0);
    QCOMPARE(database->open(), 0);
    QCOMPARE(rowCount(database), 1);

    // A db folder that is missing, and stays missing.
    RecordDatabase lost(station.filePath("gone/record.zdb").toStdString());
    QVERIFY(lost.open() != 0);
    QVERIFY(lost.openOrCreate() != 0);
    QVERIFY(lost.createDatabase(RecordDb) != 0);
    QVERIFY(!lost.isOpen());
    QVERIFY(lost.insert(makeRow("b", 0, "2024-01-02 08:30:06")) != 0);
    QCOMPARE(lost.backupDatabase(RecordDb), -1);
    QCOMPARE(lost.importDatabase(RecordDb, recordFile().toStdString()), -1);
}

void TestRecordDatabase::emptyFileGetsTheTableAtOpen()
{
    TempStation station;
    QVERIFY(station.writeFile("db/record.zdb", QByteArray()));
    RecordDatabase *database = startStation();
    QVERIFY(database->isOpen());
    QCOMPARE(database->insert(makeRow("a", 0, "2024-01-02 08:30:05")), 0);
    QCOMPARE(rowCount(database), 1);
}

void TestRecordDatabase::concurrentInsertsLoseNoRow()
{
    TempStation station;
    RecordDatabase *database = startStation();
    const int threads = 8;
    const int rowsPerThread = 150;
    std::vector<int> failures(threads, 0);
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; ++t)
        writers.emplace_back([database, t, &failures] {
            for (int i = 0; i < rowsPerThread; ++i)
                failures[t] += database->insert(makeRow("m" + std::to_string(t), i % 2,
                                                        "2024-01-02 08:30:05")) != 0;
        });
    // The interface thread keeps using the handle meanwhile.
    for (int i = 0; i < 20; ++i) {
        std::vector<std::string> names;
        QCOMPARE(database->distinctNames(names), 0);
    }
    for (std::thread &writer : writers)
        writer.join();

    QCOMPARE(failures, std::vector<int>(threads, 0));
    QCOMPARE(
        selectWithKey(recordFile(),
                      "SELECT count(*), count(DISTINCT uid), count(DISTINCT name) FROM Record"),
        QStringList({QString("%1|%1|%2").arg(threads * rowsPerThread).arg(threads)}));
}

void TestRecordDatabase::fileOnDiskNeedsTheKeyAndSearchesUseIndexes()
{
    TempStation station;
    RecordDatabase *database = startStation();
    QCOMPARE(database->insert(makeRow("secret", 0, "2024-01-02 08:30:05")), 0);
    QVERIFY(!fileContent(recordFile()).contains("secret"));

    QString output;
    QVERIFY(runPlainSqlite(recordFile(), "SELECT count(*) FROM Record", &output) != 0);
    QVERIFY2(output.contains("not a database"), qPrintable(output));
    QCOMPARE(selectWithKey(recordFile(), "SELECT name FROM Record"), QStringList({"secret"}));

    // Searches for one day, with or without a name, seek through an index.
    for (const char *plan :
         {"EXPLAIN QUERY PLAN SELECT * FROM Record WHERE time BETWEEN 'a' AND 'b' AND name = 'n' "
          "ORDER BY name ASC,channel ASC,time DESC",
          "EXPLAIN QUERY PLAN SELECT * FROM Record WHERE time BETWEEN 'a' AND 'b' "
          "ORDER BY name ASC,channel ASC,time DESC"}) {
        const QStringList steps = selectWithKey(recordFile(), plan);
        QVERIFY2(steps.join('\n').contains("SEARCH TABLE Record USING INDEX"),
                 qPrintable(steps.join('\n')));
    }
}

QTEST_GUILESS_MAIN(TestRecordDatabase)
#include "tst_recorddatabase.moc"
