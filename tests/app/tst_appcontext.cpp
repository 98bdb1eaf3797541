#include "app/appcontext.h"
#include "app/stationlock.h"
#include "history/recordmaintenance.h"
#include "line/comportctrl.h"
#include "mqtt/mqttpublisher.h"
#include "settings/configfile.h"
#include "settings/mqttsettings.h"
#include "storage/recorddatabase.h"
#include "storage/userdatabase.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QSignalSpy>
#include <QtTest>

#include <csignal>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

class TestAppContext : public QObject
{
    Q_OBJECT

private slots:
    void pathsAreTheDirectoryPlusTheKindSuffix();
    void unknownKindsGiveTheBareDirectory();
    void kindsWithoutSharedObjectGiveNull();
    void defaultDirectoryIsTheExecutables();
    void initCreatesMissingFolders();
    void initOpensBothDatabasesMakingMissingFiles();
    void initKeepsExistingRecords();
    void secondHolderOfAFolderIsRefusedUntilRelease();
    void killedHolderReleasesTheFolder();
    void refusedInitTouchesNothing();
    void folderInPlaceOfTheLockFileIsRefused();
    void stationFilesAreClosedToOtherUsers();
    void nothingTheStationMakesIsOpenToOthers();
    void linesAreOptionalAndMonitorsMayTakeMoreThanOtherSettings();
};

void TestAppContext::pathsAreTheDirectoryPlusTheKindSuffix()
{
    TempStation station;
    AppContext &context = AppContext::instance();
    const QString dir = station.path();
    QCOMPARE(context.path(ComPortConfig), dir + "/config/ComPort.json");
    QCOMPARE(context.path(MonitorConfig), dir + "/config/Monitor.json");
    QCOMPARE(context.path(RecordDb), dir + "/db/record.zdb");
    QCOMPARE(context.path(ExportDir), dir + "/export/");
    QCOMPARE(context.path(BackupDir), dir + "/backup/");
    QCOMPARE(context.path(UserDb), dir + "/user/user.zdb");
    QCOMPARE(context.path(UserManual), dir + "/user/um.mht");
    QCOMPARE(context.path(MqttConfig), dir + "/config/Mqtt.json");
    QCOMPARE(context.path(MqttOutbox), dir + "/mqtt/");
    QCOMPARE(context.path(Hj212Config), dir + "/config/Hj212.json");
    QCOMPARE(context.path(Hj212Outbox), dir + "/hj212/");
    QCOMPARE(context.path(LinesConfig), dir + "/config/Lines.json");
    // A bare file name appended to a folder kind lands directly inside that folder.
    QCOMPARE(QFileInfo(context.path(BackupDir) + "record_20240102.zdb").absolutePath(),
             dir + "/backup");
}

void TestAppContext::unknownKindsGiveTheBareDirectory()
{
    TempStation station;
    AppContext &context = AppContext::instance();
    QCOMPARE(context.path(20), station.path());
    QCOMPARE(context.path(100), station.path());
    QCOMPARE(context.path(-1), station.path());
    QVERIFY(!context.path(20).endsWith('/'));
}

void TestAppContext::kindsWithoutSharedObjectGiveNull()
{
    TempStation station;
    AppContext &context = AppContext::instance();
    QCOMPARE(context.init(), 0);
    for (int kind : {int(ExportDir), int(BackupDir), int(UserManual), 20, 100, -1})
        QVERIFY2(context.object(kind) == nullptr, qPrintable(QString::number(kind)));
}

void TestAppContext::defaultDirectoryIsTheExecutables()
{
    AppContext &context = AppContext::instance();
    context.setApplicationDir(QString());
    QCOMPARE(context.path(20), QCoreApplication::applicationDirPath());
    QCOMPARE(context.path(RecordDb), QCoreApplication::applicationDirPath() + "/db/record.zdb");
}

void TestAppContext::initCreatesMissingFolders()
{
    TempStation station;
    QDir(station.path()).mkpath("config"); // one already there, the rest missing
    QCOMPARE(AppContext::instance().init(), 0);
    for (const char *folder : {"config", "db", "export", "backup", "user", "mqtt", "hj212"})
        QVERIFY2(QFileInfo(station.filePath(folder)).isDir(), folder);
}

void TestAppContext::initOpensBothDatabasesMakingMissingFiles()
{
    TempStation station;
    AppContext &context = AppContext::instance();
    QCOMPARE(context.init(), 0);
    auto *records = static_cast<RecordDatabase *>(context.object(RecordDb));
    auto *users = static_cast<UserDatabase *>(context.object(UserDb));
    QVERIFY(records && records->isOpen());
    QVERIFY(users && users->isOpen());
    QCOMPARE(records->getPath(), station.filePath("db/record.zdb").toStdString());
    QCOMPARE(users->getPath(), station.filePath("user/user.zdb").toStdString());

    RecordRow row;
    row.time = "2024-01-02 08:30:05";
    QCOMPARE(records->insert(row), 0);
    QCOMPARE(selectWithKey(context.path(UserDb), "SELECT name FROM User"), QStringList({"admin"}));

    QCOMPARE(context.shutdown(), 0);
    QVERIFY(!records->isOpen());
    QVERIFY(!users->isOpen());
}

void TestAppContext::initKeepsExistingRecords()
{
    TempStation station;
    AppContext &context = AppContext::instance();
    QCOMPARE(context.init(), 0);
    RecordRow row;
    row.name = "kept";
    QCOMPARE(static_cast<RecordDatabase *>(context.object(RecordDb))->insert(row), 0);
    context.shutdown();
    context.reset();

    QCOMPARE(context.init(), 0);
    QCOMPARE(selectWithKey(context.path(RecordDb), "SELECT name FROM Record"),
             QStringList({"kept"}));
}

void TestAppContext::secondHolderOfAFolderIsRefusedUntilRelease()
{
    TempStation station;
    AppContext &context = AppContext::instance();
    // The holder's id in the file is never trusted: here it names a live process.
    QVERIFY(station.writeFile("hydrovane.lock", "1\n"));
    QCOMPARE(context.init(), int(AppContext::InitDone));
    QCOMPARE(station.readFile("hydrovane.lock"), QByteArray::number(qint64(getpid())) + '\n');

    StationLock other;
    QCOMPARE(other.acquire(station.path()), StationLock::HeldElsewhere);
    context.reset();
    QCOMPARE(other.acquire(station.path()), StationLock::Acquired);
    QCOMPARE(context.init(), int(AppContext::InitStationInUse));
    other.release();
    QCOMPARE(context.init(), int(AppContext::InitDone));
    context.shutdown();
    QCOMPARE(other.acquire(station.path()), StationLock::Acquired);
}

void TestAppContext::killedHolderReleasesTheFolder()
{
    TempStation station;
    int ready[2];
    QCOMPARE(::pipe(ready), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        StationLock lock;
        const char answer = lock.acquire(station.path()) == StationLock::Acquired ? 'y' : 'n';
        if (::write(ready[1], &answer, 1) == 1)
            ::pause();
        ::_exit(1);
    }
    char answer = 0;
    const bool told = child > 0 && ::read(ready[0], &answer, 1) == 1;
    const int whileHeld = AppContext::instance().init();
    if (child > 0) {
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
    }
    QVERIFY(told && answer == 'y');
    QCOMPARE(whileHeld, int(AppContext::InitStationInUse));
    QCOMPARE(AppContext::instance().init(), int(AppContext::InitDone));
}

void TestAppContext::refusedInitTouchesNothing()
{
    TempStation station;
    QVERIFY(station.writeFile("config/Monitor.json", "{\"interval\": 5, \"monitor\": ["));
    StationLock holder;
    QCOMPARE(holder.acquire(station.path()), StationLock::Acquired);

    AppContext &context = AppContext::instance();
    QCOMPARE(context.init(), int(AppContext::InitStationInUse));
    for (int kind : {int(ComPortConfig), int(MonitorConfig), int(RecordDb), int(UserDb)})
        QVERIFY2(!context.object(kind), qPrintable(QString::number(kind)));
    // No folder made, and the broken settings file not even read (it would be copied aside).
    QCOMPARE(QDir(station.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList({"config", "hydrovane.lock"}));
    QCOMPARE(QDir(station.filePath("config")).entryList(QDir::Files),
             QStringList({"Monitor.json"}));
}

void TestAppContext::folderInPlaceOfTheLockFileIsRefused()
{
    TempStation station;
    QVERIFY(QDir(station.path()).mkdir("hydrovane.lock"));
    AppContext &context = AppContext::instance();
    QCOMPARE(context.init(), int(AppContext::InitLockRefused));
    QVERIFY2(context.lockProblem().contains("文件夹"), qPrintable(context.lockProblem()));
    QVERIFY(!context.object(RecordDb));
    QCOMPARE(QDir(station.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList({"hydrovane.lock"}));
    // Nothing is held: once the folder is gone, the station starts.
    QVERIFY(QDir(station.path()).rmdir("hydrovane.lock"));
    QCOMPARE(context.init(), int(AppContext::InitDone));
    QVERIFY(context.lockProblem().isEmpty());
}

void TestAppContext::stationFilesAreClosedToOtherUsers()
{
    TempStation station;
    AppContext &context = AppContext::instance();
    auto mode = [&](const QString &relative) {
        struct stat info;
        const QByteArray name = QFile::encodeName(station.filePath(relative));
        return ::stat(name.constData(), &info) == 0 ? info.st_mode & 07777 : 07777;
    };
    auto setMode = [&](const QString &relative, mode_t mode) {
        return ::chmod(QFile::encodeName(station.filePath(relative)).constData(), mode) == 0;
    };
    // An older install: everything open to all, made under the usual umask.
    const QStringList folders = {"config", "db", "export", "backup", "user"};
    QCOMPARE(context.init(), int(AppContext::InitDone));
    context.reset();
    QVERIFY(setMode(".", 0755) && setMode("db/record.zdb", 0644) && setMode("user/user.zdb", 0644));
    for (const QString &folder : folders)
        QVERIFY(setMode(folder, 02775));
    ::umask(022);

    QCOMPARE(context.init(), int(AppContext::InitDone));
    QCOMPARE(mode("."), mode_t(0755));
    for (const QString &folder : folders)
        QVERIFY2(mode(folder) == 02770, qPrintable(folder)); // the group folder's setgid stays
    QCOMPARE(mode("db/record.zdb"), mode_t(0640));
    QCOMPARE(mode("user/user.zdb"), mode_t(0640));

    QCOMPARE(static_cast<ConfigFile *>(context.object(ComPortConfig))->save(), 0);
    auto *records = static_cast<RecordDatabase *>(context.object(RecordDb));
    QCOMPARE(records->backupDatabase(RecordDb), 0);
    const QStringList backups = QDir(context.path(BackupDir)).entryList(QDir::Files);
    QCOMPARE(backups.size(), 1);
    const QStringList made = {"config/ComPort.json", "backup/" + backups[0], "hydrovane.lock"};
    for (const QString &file : made)
        QVERIFY2((mode(file) & S_IRWXO) == 0, qPrintable(file));
}

void TestAppContext::nothingTheStationMakesIsOpenToOthers()
{
    TempStation station;
    // A login shell's mask, and settings an operator made under it: one too large to read,
    // which is kept by a copy of the file, and one kept from its text.
    const mode_t saved = ::umask(022);
    QVERIFY(station.writeFile("config/ComPort.json", QByteArray(ConfigFile::maxFileSize + 1, ' ')));
    QVERIFY(station.writeFile("config/Monitor.json", "{not json"));

    AppContext &context = AppContext::instance();
    QCOMPARE(context.init(), int(AppContext::InitDone));
    auto *records = static_cast<RecordDatabase *>(context.object(RecordDb));
    QCOMPARE(records->insert(makeRecord("池", 0, "2024-01-02 08:00:00")), 0);
    QCOMPARE(records->backupDatabase(RecordDb), 0);
    RecordMaintenance maintenance(records);
    QSignalSpy written(&maintenance, &RecordMaintenance::signal_fileWritten);
    maintenance.run(RecordMaintenance::ExportStage);
    QCOMPARE(written.count(), 1);
    // Queued while no broker answers.
    MqttSettings settings;
    settings.enabled = true;
    settings.host = "127.0.0.1";
    settings.port = 9;
    auto *publisher = static_cast<MqttPublisher *>(context.object(MqttOutbox));
    publisher->apply(settings);
    publisher->recordRow(makeRecord("池", 0, "2024-01-02 08:00:30"));
    context.shutdown();
    ::umask(saved);

    QStringList seen;
    QStringList open;
    QDirIterator entries(station.path(),
                         QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                         QDirIterator::Subdirectories);
    while (entries.hasNext()) {
        const QString path = entries.next();
        const QString relative = QDir(station.path()).relativeFilePath(path);
        struct stat info;
        QVERIFY(::lstat(QFile::encodeName(path).constData(), &info) == 0);
        seen << relative;
        if (info.st_mode & S_IRWXO)
            open << relative + " " + QString::number(info.st_mode & 07777, 8);
    }
    QVERIFY2(open.isEmpty(), qPrintable(open.join('\n')));
    // The sweep saw every kind of file the run made.
    for (const char *pattern :
         {"^hydrovane\\.lock$", "^db/record\\.zdb$", "^user/user\\.zdb$",
          "^config/Monitor\\.json\\.invalid$", "^config/ComPort\\.json\\.invalid$",
          "^backup/record_.*\\.zdb$", "^export/.*\\.xlsx$", "^mqtt/.+"})
        QVERIFY2(!seen.filter(QRegularExpression(pattern)).isEmpty(), pattern);
}

void TestAppContext::linesAreOptionalAndMonitorsMayTakeMoreThanOtherSettings()
{
    TempStation station;
    // A large station's monitors pass the limit of the other settings files.
    const QByteArray monitors = "{\"interval\": 7, \"monitor\": []}";
    QVERIFY(station.writeFile("config/Monitor.json",
                              monitors + QByteArray(int(ConfigFile::maxFileSize), ' ')));
    AppContext &context = AppContext::instance();
    QCOMPARE(context.init(), int(AppContext::InitDone));
    auto *lines = static_cast<ConfigFile *>(context.object(LinesConfig));
    auto *monitorFile = static_cast<ConfigFile *>(context.object(MonitorConfig));
    QVERIFY(lines && monitorFile);
    QCOMPARE(QString::fromStdString(lines->getPath()), context.path(LinesConfig));
    QVERIFY(monitorFile->problems().empty());
    QCOMPARE(monitorFile->getDocument()["interval"], nlohmann::json(7));
    // Without Lines.json the station has its first line only, and nothing to tell.
    ComPortCtrl first;
    std::vector<ComPortCtrl *> all = {&first};
    lines->readLines(all);
    QCOMPARE(all.size(), size_t(1));
    QVERIFY(lines->problems().empty());
    QVERIFY(!QFile::exists(context.path(LinesConfig)));
}

QTEST_MAIN(TestAppContext)
#include "tst_appcontext.moc"
