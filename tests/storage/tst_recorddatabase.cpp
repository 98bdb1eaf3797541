#include "app/appcontext.h"
#include "storage/passphrase.h"
#include "storage/recorddatabase.h"
#include "storage/recordreader.h"
#include "storage/userdatabase.h"
#include "storage/zircon.h"
#include "testsupport.h"

#include <QDate>
#include <QDir>
#include <QFile>
#include <QtTest>

#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <sys/stat.h>
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
    void importIntoAStationWithoutARecordFileGivesTheStationsMode();
    void importKeepsOnlyTheNewestReplacedFiles();
    void failedImportChangesNothing_data();
    void failedImportChangesNothing();
    void damagedBackupIsRefusedAndTheLiveFileStaysIntact();
    void importedFileIsWritableAndTheReplacedOneIsKeptForUndo_data();
    void importedFileIsWritableAndTheReplacedOneIsKeptForUndo();
    void importIsUndoneWhenTheNewFileCannotBeOpened_data();
    void importIsUndoneWhenTheNewFileCannotBeOpened();
    void insertsGoOnDuringAnImportIntoTheKeptOrTheNewFile();
    void createDatabaseLeavesAnEmptyTable();
    void closedOrMissingDatabaseFailsEveryStatement();
    void emptyFileGetsTheTableAtOpen();
    void concurrentInsertsLoseNoRow();
    void fileOnDiskNeedsTheKeyAndSearchesUseIndexes();
    void missingIndexesAreBuiltInTheBackgroundWhileSearchesGoOn_data();
    void missingIndexesAreBuiltInTheBackgroundWhileSearchesGoOn();
    void clearUpToTheBackupKeepsRowsStoredAfterIt();
    void filesWithoutTheAlarmTableGetItAtOpenAndImport();
    void clearsKeepTheRowsOfActiveAlarms();
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

// The first backup of the day, made the station's way.
QString makeBackup(RecordDatabase *database)
{
    return database->backupDatabase(RecordDb) == 0
               ? onlyBackup(AppContext::instance().path(BackupDir))
               : QString();
}

int modeOf(const QString &path)
{
    struct stat info;
    return ::stat(qPrintable(path), &info) == 0 ? int(info.st_mode & 07777) : -1;
}

QStringList keptFiles()
{
    return QDir(AppContext::instance().path(BackupDir)).entryList({"record_replaced_*"});
}

// A fresh file holding the statement's tables, then encrypted with the phrase.
bool makeKeyedFile(const QString &path, const char *sql, const char *phrase)
{
    zircon_db *handle = nullptr;
    int rc = zircon_create(&handle, path.toUtf8().constData());
    if (rc == 0)
        rc = zircon_run_sql(handle, sql, nullptr, nullptr);
    zircon_close(handle);
    if (rc == 0)
        rc = zircon_open(&handle, path.toUtf8().constData());
    if (rc == 0)
        rc = zircon_set_password(handle, phrase, int(strlen(phrase)));
    zircon_close(handle);
    return rc == 0;
}

// Makes the backup folder a link to other, when other is on another file system.
bool moveBackupFolderTo(const TempStation &station, const QTemporaryDir &other)
{
    struct stat here, there;
    if (!other.isValid() || ::stat(qPrintable(station.path()), &here) != 0 ||
        ::stat(qPrintable(other.path()), &there) != 0 || here.st_dev == there.st_dev)
        return false;
    return QDir(station.filePath("backup")).removeRecursively() &&
           QFile::link(other.path(), station.filePath("backup"));
}

// A station whose record file holds rows of four monitors but none of the station's indexes,
// as a file of another program may; the station is not started.
bool makeStationWithoutIndexes(int rows)
{
    RecordDatabase *database = startStation();
    std::vector<RecordRow> records;
    for (int i = 0; i < rows; ++i) {
        const std::string time = QTime(0, 0).addSecs(i / 8).toString().toStdString();
        records.push_back(
            makeRow("m" + std::to_string(i % 4), i % 2, "2024-01-02 " + time, std::to_string(i)));
    }
    int rc = insertRecords(recordFile(), records);
    if (rc == 0)
        selectWithKey(recordFile(), "DROP INDEX Record_name_time;DROP INDEX Record_time", &rc);
    AppContext::instance().shutdown();
    AppContext::instance().reset();
    return database && rc == 0;
}

QStringList indexesOnDisk()
{
    return selectWithKey(recordFile(),
                         "SELECT name FROM sqlite_master WHERE type = 'index' ORDER BY name");
}

int import(RecordDatabase *database, const QString &source,
           RecordDatabase::ImportReport *report = nullptr,
           const RecordDatabase::ImportProgress &progress = nullptr)
{
    return database->importDatabase(RecordDb, source.toUtf8().toStdString(), report, progress);
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
    int64_t removed = -1;
    QCOMPARE(database->clear(&removed), 0);
    QCOMPARE(removed, int64_t(3));
    QCOMPARE(database->clear(&removed), 0);
    QCOMPARE(removed, int64_t(0));
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
    onOneDay([](const QString &date) {
        TempStation station;
        RecordDatabase *database = startStation();
        QCOMPARE(database->insert(makeRow("a", 0, "2024-01-02 08:30:05")), 0);
        QVERIFY(station.writeFile("backup/record1_" + date + ".zdb", "operator's file"));

        QStringList written;
        for (int i = 0; i < 3; ++i) {
            std::string path;
            QCOMPARE(database->backupDatabase(RecordDb, nullptr, &path), 0);
            written << QString::fromStdString(path);
        }

        QCOMPARE(station.readFile("backup/record1_" + date + ".zdb"),
                 QByteArray("operator's file"));
        for (const char *name : {"record_", "record2_", "record3_"}) {
            const QString copy = station.filePath("backup/" + QString(name) + date + ".zdb");
            QCOMPARE(written.takeFirst(), copy);
            QVERIFY2(QFile::exists(copy), qPrintable(copy));
            QCOMPARE(selectWithKey(copy, "SELECT name FROM Record"), QStringList({"a"}));
        }
        QCOMPARE(QDir(station.filePath("backup")).entryList(QDir::Files).size(), 4);
        QCOMPARE(database->insert(makeRow("b", 0, "2024-01-02 08:30:06")), 0);
    });
}

void TestRecordDatabase::backupIntoMissingFolderFails()
{
    TempStation station;
    RecordDatabase *database = startStation();
    QVERIFY(QDir(station.filePath("backup")).removeRecursively());
    std::string written = "before";
    QCOMPARE(database->backupDatabase(RecordDb, nullptr, &written), -1);
    QVERIFY(written.empty());
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
    const QString backup = onlyBackup(station.filePath("backup"));
    QCOMPARE(database->clear(), 0);
    QCOMPARE(database->insert(makeRow("replaced", 0, "2024-01-02 08:30:06")), 0);

    RecordDatabase::ImportReport report;
    QCOMPARE(import(database, backup, &report), 0);
    QCOMPARE(report.rows, int64_t(1));
    QVERIFY(database->isOpen());
    QCOMPARE(queried(database), QStringList({"kept/0/2024-01-02 08:30:05"}));
    QCOMPARE(database->insert(makeRow("after", 0, "2024-01-02 08:30:07")), 0);
    QCOMPARE(rowCount(database), 2);
    QVERIFY(QFile::exists(backup));
    QCOMPARE(QDir(station.filePath("db")).entryList(QDir::Files), QStringList({"record.zdb"}));
}

void TestRecordDatabase::importIntoAStationWithoutARecordFileGivesTheStationsMode()
{
    TempStation station;
    RecordDatabase *database = startStation();
    for (int i = 0; i < 3; ++i)
        QCOMPARE(database->insert(makeRow("a", 0, "2024-01-02 08:30:05")), 0);
    const QString backup = station.filePath("offered.zdb");
    QVERIFY(QFile::rename(makeBackup(database), backup));
    // A copy open to everyone, as one brought on a stick may be.
    QVERIFY(::chmod(qPrintable(backup), 0644) == 0);
    QCOMPARE(database->close(), 0);
    QVERIFY(QFile::remove(recordFile()));

    RecordDatabase::ImportReport report;
    QCOMPARE(import(database, backup, &report), 0);
    QVERIFY(report.keptFile.empty());
    QCOMPARE(report.rows, int64_t(3));
    // The mode the station gives a file it makes: 0660 under its umask of 007.
    QCOMPARE(modeOf(recordFile()), 0660);
    QCOMPARE(rowCount(database), 3);
}

void TestRecordDatabase::importKeepsOnlyTheNewestReplacedFiles()
{
    TempStation station;
    RecordDatabase *database = startStation();
    QCOMPARE(database->insert(makeRow("a", 0, "2024-01-02 08:30:05")), 0);
    const QString backup = makeBackup(database);
    // Eleven kept by earlier imports within one second, numbered past 9, and files that only
    // look like them: other names, and one of the name but not of whole pages.
    QStringList earlier;
    for (int n = 0; n <= 10; ++n)
        earlier << "record_replaced_20200101000000" + (n ? "_" + QString::number(n) : "") + ".zdb";
    const QStringList others = {"record_replaced_notes.zdb", "record_replaced_2020.zdb",
                                "record_replaced_20200101000000.zdb.txt"};
    for (const QString &name : earlier + others)
        QVERIFY(station.writeFile("backup/" + name, QByteArray(2048, 'p')));
    QVERIFY(station.writeFile("backup/record_replaced_20190101000000.zdb", "operator's notes"));

    RecordDatabase::ImportReport report;
    QCOMPARE(import(database, backup, &report), 0);
    QCOMPARE(report.removedKept, 2);
    QStringList expected = earlier.mid(2)
                           << QFileInfo(QString::fromStdString(report.keptFile)).fileName()
                           << "record_replaced_20190101000000.zdb";
    expected.sort();
    QCOMPARE(keptFiles().filter(QRegularExpression("^record_replaced_\\d{14}(_\\d+)?\\.zdb$")),
             expected);
    for (const QString &name : others)
        QVERIFY2(QFile::exists(station.filePath("backup/" + name)), qPrintable(name));
    QVERIFY(QFile::exists(station.filePath("backup/record_replaced_20190101000000.zdb")));
    QVERIFY(QFile::exists(backup));
    // At the limit, the next import removes only the oldest.
    QCOMPARE(import(database, backup, &report), 0);
    QCOMPARE(report.removedKept, 1);
    QVERIFY(!QFile::exists(station.filePath("backup/" + earlier[2])));
    QCOMPARE(rowCount(database), 1);

    // Kept files that claim to be newer (the clock went back) never push out the one just kept.
    for (int n = 0; n < 12; ++n)
        QVERIFY(station.writeFile("backup/record_replaced_20991231235959_" + QString::number(n) +
                                      ".zdb",
                                  QByteArray(1024, 'f')));
    QCOMPARE(import(database, backup, &report), 0);
    QVERIFY(QFile::exists(QString::fromStdString(report.keptFile)));
    QCOMPARE(
        keptFiles().filter(QRegularExpression("^record_replaced_\\d{14}(_\\d+)?\\.zdb$")).size(),
        11); // ten, and the operator's notes
}

void TestRecordDatabase::failedImportChangesNothing_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<int>("reason");
    using R = RecordDatabase;
    QTest::newRow("garbage") << "garbage" << int(R::ImportNotDecryptable);
    QTest::newRow("empty file") << "empty" << int(R::ImportNotStationFile);
    QTest::newRow("plain sqlite file") << "plain" << int(R::ImportNotStationFile);
    QTest::newRow("another key") << "foreign" << int(R::ImportNotDecryptable);
    QTest::newRow("database without Record") << "user" << int(R::ImportNoRecordTable);
    QTest::newRow("Record lacking columns") << "columns" << int(R::ImportRecordColumnsMismatch);
    QTest::newRow("Record with a required extra column")
        << "extra" << int(R::ImportRecordColumnsMismatch);
    QTest::newRow("Record a view") << "view" << int(R::ImportNotStationFile);
    QTest::newRow("Record a virtual table") << "virtual" << int(R::ImportNotStationFile);
    QTest::newRow("missing file") << "missing" << int(R::ImportSourceUnreadable);
    QTest::newRow("folder") << "folder" << int(R::ImportSourceUnreadable);
    QTest::newRow("backup folder in the way") << "blocked" << int(R::ImportCannotKeepOld);
    QTest::newRow("cancelled") << "cancelled" << int(R::ImportCancelled);
}

void TestRecordDatabase::failedImportChangesNothing()
{
    QFETCH(QString, source);
    QFETCH(int, reason);
    TempStation station;
    RecordDatabase *database = startStation();
    for (int i = 0; i < 5; ++i)
        QCOMPARE(database->insert(makeRow("a", i % 2, "2024-01-02 08:30:05")), 0);

    const QString path = station.filePath(source + ".zdb");
    const char *const recordTable = "CREATE TABLE Record(uid INTEGER PRIMARY KEY AUTOINCREMENT "
                                    "NOT NULL,time,model,name,slave,channel,factor,unit,value,"
                                    "status%1);";
    if (source == "garbage")
        QVERIFY(station.writeFile("garbage.zdb", QByteArray(4096, '\x5a')));
    else if (source == "empty")
        QVERIFY(station.writeFile("empty.zdb", QByteArray()));
    else if (source == "plain")
        QCOMPARE(runPlainSqlite(path, QString(recordTable).arg("")), 0);
    else if (source == "foreign")
        QVERIFY(makeKeyedFile(path, qPrintable(QString(recordTable).arg("")), "another phrase"));
    else if (source == "user")
        QVERIFY(QFile::copy(AppContext::instance().path(UserDb), path));
    else if (source == "columns")
        QVERIFY(makeKeyedFile(path, "CREATE TABLE Record(uid INTEGER PRIMARY KEY,time,name,value)",
                              kPassPhrase));
    else if (source == "extra")
        QVERIFY(makeKeyedFile(path, qPrintable(QString(recordTable).arg(",site NOT NULL")),
                              kPassPhrase));
    else if (source == "view")
        QVERIFY(makeKeyedFile(path,
                              qPrintable(QString(recordTable).replace("Record(", "Kept(").arg("") +
                                         "CREATE VIEW Record AS SELECT * FROM Kept;"),
                              kPassPhrase));
    else if (source == "virtual")
        QVERIFY(makeKeyedFile(path,
                              "CREATE VIRTUAL TABLE Record USING fts4(uid,time,model,name,slave,"
                              "channel,factor,unit,value,status)",
                              kPassPhrase));
    else if (source == "folder")
        QVERIFY(QDir(station.path()).mkdir("folder.zdb"));
    else if (source == "blocked" || source == "cancelled")
        QVERIFY(QFile::rename(makeBackup(database), path));
    // Permissions would not stop root: a file where the folder should be does.
    if (source == "blocked")
        QVERIFY(QDir(station.filePath("backup")).removeRecursively() &&
                station.writeFile("backup", "in the way"));
    const QByteArray before = fileContent(recordFile());

    RecordDatabase::ImportReport report;
    QCOMPARE(
        import(database, path, &report, [&](int64_t, int64_t) { return source != "cancelled"; }),
        -1);
    QCOMPARE(int(report.error), reason);
    QVERIFY(report.keptFile.empty());

    QCOMPARE(fileContent(recordFile()), before);
    QCOMPARE(QDir(station.filePath("db")).entryList(QDir::Files), QStringList({"record.zdb"}));
    QVERIFY(keptFiles().isEmpty());
    QVERIFY(database->isOpen());
    QCOMPARE(rowCount(database), 5);
    QCOMPARE(database->insert(makeRow("b", 0, "2024-01-02 08:30:06")), 0);
}

void TestRecordDatabase::damagedBackupIsRefusedAndTheLiveFileStaysIntact()
{
    TempStation station;
    RecordDatabase *database = startStation();
    std::vector<RecordRow> rows;
    for (int i = 0; i < 20036; ++i)
        rows.push_back(makeRow("pool" + std::to_string(i % 7), i % 2, "2024-01-02 08:30:05",
                               std::to_string(i)));
    QCOMPARE(insertRecords(recordFile(), rows), 0);
    const QString backup = makeBackup(database);

    // A few bytes in the middle of a page in the middle of the file.
    QFile file(backup);
    QVERIFY(file.open(QIODevice::ReadWrite));
    QVERIFY(file.seek(file.size() / 1024 / 2 * 1024 + 512));
    QCOMPARE(file.write("\x01\x02\x03\x04\x05\x06"), qint64(6));
    file.close();
    // The first rows still read: only a look at every page finds the damage.
    QCOMPARE(selectWithKey(backup, "SELECT name FROM Record LIMIT 1"), QStringList({"pool0"}));

    const QByteArray before = fileContent(recordFile());
    RecordDatabase::ImportReport report;
    QCOMPARE(import(database, backup, &report), -1);
    QCOMPARE(int(report.error), int(RecordDatabase::ImportDamaged));
    QVERIFY(fileContent(recordFile()) == before);
    QVERIFY(keptFiles().isEmpty());
    QCOMPARE(QDir(station.filePath("db")).entryList(QDir::Files), QStringList({"record.zdb"}));
    QCOMPARE(rowCount(database), 20036);
}

void TestRecordDatabase::importedFileIsWritableAndTheReplacedOneIsKeptForUndo_data()
{
    QTest::addColumn<bool>("elsewhere");
    QTest::newRow("kept as a link") << false;
    QTest::newRow("kept as a copy on another file system") << true;
}

void TestRecordDatabase::importedFileIsWritableAndTheReplacedOneIsKeptForUndo()
{
    QFETCH(bool, elsewhere);
    TempStation station;
    QTemporaryDir other("/dev/shm/hydrovane-backup-XXXXXX");
    RecordDatabase *database = startStation();
    QCOMPARE(database->insert(makeRow("backed up", 0, "2024-01-02 08:30:05")), 0);
    const QString backup = station.filePath("offered.zdb");
    QVERIFY(QFile::rename(makeBackup(database), backup));
    if (elsewhere && !moveBackupFolderTo(station, other))
        QSKIP("needs a folder on another file system");
    QVERIFY(::chmod(qPrintable(backup), 0444) == 0);
    QVERIFY(::chmod(qPrintable(recordFile()), 0640) == 0);
    QCOMPARE(database->clear(), 0);
    QCOMPARE(database->insert(makeRow("replaced", 0, "2024-01-02 08:30:06")), 0);
    const QByteArray replaced = fileContent(recordFile());
    // Files bearing the names of this moment and the next seconds stay as they are.
    QStringList taken;
    for (int second = -1; second <= 10; ++second)
        taken << "record_replaced_" +
                     QDateTime::currentDateTime().addSecs(second).toString("yyyyMMddhhmmss") +
                     ".zdb";
    for (const QString &name : taken)
        QVERIFY(station.writeFile("backup/" + name, "operator's file"));

    RecordDatabase::ImportReport report;
    QCOMPARE(import(database, backup, &report), 0);
    QCOMPARE(int(report.error), int(RecordDatabase::ImportOk));
    // The station's own mode, never the backup's read-only one.
    QCOMPARE(modeOf(recordFile()), 0640);
    QCOMPARE(modeOf(backup), 0444);
    QCOMPARE(database->insert(makeRow("after", 0, "2024-01-02 08:30:07")), 0);
    QCOMPARE(queried(database),
             QStringList({"after/0/2024-01-02 08:30:07", "backed up/0/2024-01-02 08:30:05"}));

    const QFileInfo kept(QString::fromStdString(report.keptFile));
    QCOMPARE(kept.absolutePath(), QFileInfo(station.filePath("backup")).absoluteFilePath());
    QVERIFY(!taken.contains(kept.fileName()));
    QVERIFY(QDir::match("*.zdb", kept.fileName())); // the import dialog's filter
    QVERIFY(fileContent(kept.filePath()) == replaced);
    QCOMPARE(modeOf(kept.filePath()), 0640);
    for (const QString &name : taken)
        QCOMPARE(station.readFile("backup/" + name), QByteArray("operator's file"));
    QCOMPARE(keptFiles().size(), taken.size() + 1);

    // Importing the kept file undoes the import; the file it replaces is kept in turn.
    QCOMPARE(import(database, kept.filePath(), &report), 0);
    QCOMPARE(queried(database), QStringList({"replaced/0/2024-01-02 08:30:06"}));
    QCOMPARE(selectWithKey(QString::fromStdString(report.keptFile), "SELECT name FROM Record"),
             QStringList({"after", "backed up"}));
}

void TestRecordDatabase::importIsUndoneWhenTheNewFileCannotBeOpened_data()
{
    QTest::addColumn<bool>("elsewhere");
    QTest::newRow("kept as a link") << false;
    QTest::newRow("kept as a copy on another file system") << true;
}

void TestRecordDatabase::importIsUndoneWhenTheNewFileCannotBeOpened()
{
    QFETCH(bool, elsewhere);
    TempStation station;
    QTemporaryDir other("/dev/shm/hydrovane-backup-XXXXXX");
    RecordDatabase *database = startStation();
    QCOMPARE(database->insert(makeRow("backed up", 0, "2024-01-02 08:30:05")), 0);
    const QString source = station.filePath("offered.zdb");
    QVERIFY(QFile::rename(makeBackup(database), source));
    if (elsewhere && !moveBackupFolderTo(station, other))
        QSKIP("needs a folder on another file system");
    QCOMPARE(database->insert(makeRow("current", 0, "2024-01-02 08:30:06")), 0);
    const QByteArray before = fileContent(recordFile());

    // The copy passed its checks (the second call) and is spoilt before it is moved in place.
    int calls = 0;
    const auto spoil = [&](int64_t, int64_t) {
        QFile copy(recordFile() + ".import");
        if (++calls == 2 && copy.open(QIODevice::ReadWrite))
            copy.write(QByteArray(1024, '\x5a'));
        return true;
    };
    RecordDatabase::ImportReport report;
    QCOMPARE(import(database, source, &report, spoil), -1);
    QCOMPARE(calls, 2);
    QCOMPARE(int(report.error), int(RecordDatabase::ImportSwapFailed));
    QVERIFY(report.keptFile.empty());
    QVERIFY(fileContent(recordFile()) == before);
    QVERIFY(keptFiles().isEmpty());
    QCOMPARE(QDir(station.filePath("db")).entryList(QDir::Files), QStringList({"record.zdb"}));
    QCOMPARE(rowCount(database), 2);
    QCOMPARE(database->insert(makeRow("after", 0, "2024-01-02 08:30:07")), 0);
}

void TestRecordDatabase::insertsGoOnDuringAnImportIntoTheKeptOrTheNewFile()
{
    TempStation station;
    RecordDatabase *database = startStation();
    QCOMPARE(insertRecords(recordFile(), std::vector<RecordRow>(5000, makeRow("imported", 0, "t"))),
             0);
    const QString backup = makeBackup(database);
    QCOMPARE(database->clear(), 0);

    // A record writer stores numbered rows the whole time.
    std::atomic<bool> stop{false};
    std::atomic<int> stored{0}, failed{0};
    std::thread writer([&] {
        for (int i = 0; !stop; ++i, ++stored)
            failed += database->insert(makeRow("writer", 0, "t", std::to_string(i))) != 0;
    });
    QTRY_VERIFY(stored >= 20);

    // While copying, and once the copy is checked, an insert from another thread does not
    // wait for the import. One that waits is only collected after the import.
    int calls = 0;
    std::vector<std::future<int>> waited;
    const auto progress = [&](int64_t, int64_t) {
        ++calls;
        std::future<int> done = std::async(
            std::launch::async, [database] { return database->insert(makeRow("during", 0, "t")); });
        if (done.wait_for(std::chrono::seconds(30)) != std::future_status::ready)
            waited.push_back(std::move(done));
        return true;
    };
    RecordDatabase::ImportReport report;
    QCOMPARE(import(database, backup, &report, progress), 0);
    const int atReturn = stored;
    QTRY_VERIFY(stored >= atReturn + 20);
    stop = true;
    writer.join();
    QVERIFY(waited.empty());
    QCOMPARE(int(failed), 0);

    // Each row is in exactly one file: those stored before the swap in the kept file, in
    // order, the others in the new one.
    const QString kept = QString::fromStdString(report.keptFile);
    const char *const writerRows = "SELECT value FROM Record WHERE name = 'writer' ORDER BY uid";
    const QStringList inKept = selectWithKey(kept, writerRows);
    const QStringList inNew = selectWithKey(recordFile(), writerRows);
    QStringList all;
    for (int i = 0; i < stored; ++i)
        all << QString::number(i);
    QCOMPARE(inKept + inNew, all);
    QVERIFY(inKept.size() >= 20 && inNew.size() >= 20);
    QCOMPARE(selectWithKey(kept, "SELECT count(*) FROM Record WHERE name = 'during'"),
             QStringList({QString::number(calls)}));
    QCOMPARE(selectWithKey(recordFile(), "SELECT name, count(*) FROM Record GROUP BY name"),
             QStringList({"imported|5000", QString("writer|%1").arg(inNew.size())}));
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
    // Half the threads hand rows one by one, the others 15 at a time.
    const int batch = 15;
    for (int t = 0; t < threads; ++t)
        writers.emplace_back([database, t, &failures] {
            std::vector<RecordRow> rows;
            for (int i = 0; i < rowsPerThread; ++i) {
                rows.push_back(makeRow("m" + std::to_string(t), i % 2, "2024-01-02 08:30:05"));
                rows.back().value = std::to_string(i);
            }
            for (int i = 0; i < rowsPerThread; i += t % 2 ? batch : 1) {
                if (t % 2 == 0) {
                    failures[t] += database->insert(rows[size_t(i)]) != 0;
                    continue;
                }
                std::vector<const RecordRow *> some;
                for (int j = i; j < i + batch; ++j)
                    some.push_back(&rows[size_t(j)]);
                std::vector<int> results;
                failures[t] += database->insertRows(some, results) != 0;
                failures[t] += int(std::count(results.begin(), results.end(), 0) != batch);
            }
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
    // Each thread's rows in the order it handed them.
    QStringList order;
    for (int i = 0; i < rowsPerThread; ++i)
        order << QString::number(i);
    for (const char *name : {"m0", "m1"})
        QCOMPARE(selectWithKey(recordFile(), QString("SELECT value FROM Record WHERE name = '%1' "
                                                     "ORDER BY uid")
                                                 .arg(name)
                                                 .toUtf8()
                                                 .constData()),
                 order);
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

void TestRecordDatabase::missingIndexesAreBuiltInTheBackgroundWhileSearchesGoOn_data()
{
    QTest::addColumn<bool>("destroyed");
    QTest::newRow("first build stopped by a close") << false;
    QTest::newRow("first build stopped by the destruction") << true;
}

void TestRecordDatabase::missingIndexesAreBuiltInTheBackgroundWhileSearchesGoOn()
{
    QFETCH(bool, destroyed);
    TempStation station;
    QVERIFY(makeStationWithoutIndexes(200000));
    RecordDatabase *database = startStation();
    // The open did not wait for the build, and stopping the build leaves the file as it was.
    QCOMPARE(int(database->indexState()), int(RecordDatabase::IndexesBuilding));
    if (destroyed)
        AppContext::instance().reset();
    else
        QCOMPARE(database->close(), 0);
    QCOMPARE(selectWithKey(recordFile(), "PRAGMA integrity_check"), QStringList({"ok"}));
    QCOMPARE(selectWithKey(recordFile(), "SELECT count(*), sum(value) FROM Record"),
             QStringList({"200000|19999900000"}));
    QVERIFY(!QFile::exists(recordFile() + "-journal"));
    QVERIFY(indexesOnDisk().size() < 2);

    // The next open builds them again; searches and names meanwhile are those of the indexes.
    if (destroyed)
        database = startStation();
    else
        QCOMPARE(database->open(), 0);
    QCOMPARE(int(database->indexState()), int(RecordDatabase::IndexesBuilding));
    std::string condition;
    RecordDatabase::appendTimeCondition(condition, "2024-01-02 01:00:00", "2024-01-02 01:00:59",
                                        true);
    RecordDatabase::appendNameCondition(condition, "m2", false);
    const QStringList duringBuild = queried(database, condition);
    std::vector<std::string> names;
    QCOMPARE(RecordReader(recordFile().toStdString()).distinctNames(names), 0);
    // Writers meanwhile store their rows or soon give up and keep them, each once.
    QElapsedTimer elapsed;
    elapsed.start();
    std::vector<std::future<int>> writers;
    for (int i = 0; i < 6; ++i)
        writers.push_back(std::async(std::launch::async, [database] {
            return database->insert(makeRow("m9", 0, "2024-01-03 00:00:00"));
        }));
    for (std::future<int> &writer : writers) {
        const int inserted = writer.get();
        QVERIFY2(inserted == 0 || inserted == SQLITE_BUSY, qPrintable(QString::number(inserted)));
    }
    QVERIFY2(elapsed.elapsed() < 3000, qPrintable(QString::number(elapsed.elapsed())));

    QTRY_COMPARE_WITH_TIMEOUT(int(database->indexState()), int(RecordDatabase::IndexesReady),
                              120000);
    QCOMPARE(indexesOnDisk(), QStringList({"Record_name_time", "Record_time"}));
    QCOMPARE(duringBuild.size(), 60 * 8 / 4);
    QCOMPARE(queried(database, condition), duringBuild);
    QCOMPARE(names, std::vector<std::string>({"m0", "m1", "m2", "m3"}));
    QCOMPARE(database->insert(makeRow("m9", 0, "2024-01-03 00:00:01")), 0);
}

void TestRecordDatabase::clearUpToTheBackupKeepsRowsStoredAfterIt()
{
    TempStation station;
    RecordDatabase *database = startStation();
    // A writer stores numbered rows the whole time, trying a refused row again.
    std::atomic<bool> stop{false};
    std::atomic<int> stored{0}, failed{0};
    std::thread writer([&] {
        while (!stop) {
            const int rc = database->insert(makeRow("w", 0, "t", std::to_string(stored + 1)));
            if (rc == 0)
                ++stored;
            else if (rc != SQLITE_BUSY)
                ++failed;
        }
    });
    QTRY_VERIFY(stored >= 20);
    int64_t copiedUpTo = -1;
    QCOMPARE(database->backupDatabase(RecordDb, &copiedUpTo), 0);
    const QString backup = onlyBackup(AppContext::instance().path(BackupDir));
    const int atBackup = stored;
    QTRY_VERIFY(stored >= atBackup + 20);
    QCOMPARE(database->clearUpTo(copiedUpTo), 0);
    stop = true;
    writer.join();
    QCOMPARE(int(failed), 0);

    // The copy holds exactly the rows up to the uid, the live file exactly the others.
    QVERIFY(copiedUpTo >= 20);
    QCOMPARE(selectWithKey(backup, "SELECT count(*), min(uid), max(uid) FROM Record"),
             QStringList({QString("%1|1|%1").arg(copiedUpTo)}));
    QCOMPARE(selectWithKey(recordFile(), "SELECT count(*), min(uid), max(uid), "
                                         "max(CAST(value AS INTEGER)) = max(uid) FROM Record"),
             QStringList({QString("%1|%2|%3|1")
                              .arg(stored - copiedUpTo)
                              .arg(copiedUpTo + 1)
                              .arg(int(stored))}));
    // The numbering goes on while rows remain, and restarts once none does.
    QCOMPARE(database->clearUpTo(stored - 1), 0);
    QCOMPARE(database->insert(makeRow("after", 0, "t")), 0);
    QCOMPARE(selectWithKey(recordFile(), "SELECT uid FROM Record"),
             QStringList({QString::number(stored), QString::number(stored + 1)}));
    QCOMPARE(database->clearUpTo(stored + 1), 0);
    QCOMPARE(database->insert(makeRow("after", 0, "t")), 0);
    QCOMPARE(selectWithKey(recordFile(), "SELECT uid FROM Record"), QStringList({"1"}));
}

void TestRecordDatabase::filesWithoutTheAlarmTableGetItAtOpenAndImport()
{
    TempStation station;
    const char *const hasAlarm = "SELECT count(*) FROM sqlite_master WHERE name = 'Alarm'";
    RecordDatabase *database = startStation();
    QCOMPARE(selectWithKey(recordFile(), hasAlarm), QStringList({"1"}));
    QCOMPARE(database->insert(makeRow("old", 0, "2024-01-02 08:30:05")), 0);
    const QString backup = makeBackup(database);
    QVERIFY(!backup.isEmpty());
    // Files as a build before alarms left them.
    int rc = -1;
    selectWithKey(backup, "DROP TABLE Alarm", &rc);
    QCOMPARE(rc, 0);
    selectWithKey(recordFile(), "DROP TABLE Alarm", &rc);
    QCOMPARE(rc, 0);
    AppContext::instance().shutdown();
    AppContext::instance().reset();

    database = startStation();
    QCOMPARE(selectWithKey(recordFile(), hasAlarm), QStringList({"1"}));
    QCOMPARE(queried(database), QStringList({"old/0/2024-01-02 08:30:05"}));
    QCOMPARE(import(database, backup), 0);
    QCOMPARE(selectWithKey(recordFile(), hasAlarm), QStringList({"1"}));
    QCOMPARE(selectWithKey(backup, hasAlarm), QStringList({"0"}));
}

void TestRecordDatabase::clearsKeepTheRowsOfActiveAlarms()
{
    TempStation station;
    RecordDatabase *database = startStation();
    const auto add = [database](const std::string &name, const std::string &cleared) {
        AlarmRow row;
        row.name = name;
        row.slave = 2;
        row.kind = "高报";
        row.raised = "2024-01-02 08:00:00";
        row.cleared = cleared;
        int64_t id = 0;
        return database->insertAlarm(row, &id) == 0 ? id : -1;
    };
    const auto names = [] {
        return selectWithKey(recordFile(), "SELECT name FROM Alarm ORDER BY id").join(',');
    };
    QCOMPARE(add("gone", "2024-01-02 08:01:00"), 1);
    QCOMPARE(add("active", ""), 2);
    QCOMPARE(database->clear(), 0);
    QCOMPARE(names(), QString("active"));

    // A backup copies "old" cleared and "active" still active; "active" clears afterwards and
    // "late" comes: the clear up to the copy deletes only what the copy holds as cleared.
    QCOMPARE(add("old", "2024-01-02 08:02:00"), 3);
    QCOMPARE(database->backupDatabase(RecordDb), 0);
    AlarmRow active;
    active.name = "active";
    active.slave = 2;
    active.kind = "高报";
    active.raised = "2024-01-02 08:00:00";
    active.cleared = "2024-01-02 08:03:00";
    // An id from another file finds the row by its name, kind and raise time.
    QCOMPARE(database->updateAlarm(active, 99, false), 0);
    QCOMPARE(add("late", "2024-01-02 08:04:00"), 4);
    QCOMPARE(database->clearUpTo(0), 0);
    QCOMPARE(names(), QString("active,late"));
    QCOMPARE(selectWithKey(recordFile(), "SELECT cleared FROM Alarm WHERE id = 2"),
             QStringList({"2024-01-02 08:03:00"}));
}

QTEST_GUILESS_MAIN(TestRecordDatabase)
#include "tst_recorddatabase.moc"
