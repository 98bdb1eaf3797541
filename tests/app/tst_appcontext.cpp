#include "app/appcontext.h"
#include "storage/recorddatabase.h"
#include "storage/userdatabase.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QtTest>

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
    // A bare file name appended to a folder kind lands directly inside that folder.
    QCOMPARE(QFileInfo(context.path(BackupDir) + "record_20240102.zdb").absolutePath(),
             dir + "/backup");
}

void TestAppContext::unknownKindsGiveTheBareDirectory()
{
    TempStation station;
    AppContext &context = AppContext::instance();
    QCOMPARE(context.path(7), station.path());
    QCOMPARE(context.path(100), station.path());
    QCOMPARE(context.path(-1), station.path());
    QVERIFY(!context.path(7).endsWith('/'));
}

void TestAppContext::kindsWithoutSharedObjectGiveNull()
{
    TempStation station;
    AppContext &context = AppContext::instance();
    QCOMPARE(context.init(), 0);
    for (int kind : {int(ExportDir), int(BackupDir), int(UserManual), 9, 7, -1})
        QVERIFY2(context.object(kind) == nullptr, qPrintable(QString::number(kind)));
}

void TestAppContext::defaultDirectoryIsTheExecutables()
{
    AppContext &context = AppContext::instance();
    context.setApplicationDir(QString());
    QCOMPARE(context.path(7), QCoreApplication::applicationDirPath());
    QCOMPARE(context.path(RecordDb), QCoreApplication::applicationDirPath() + "/db/record.zdb");
}

void TestAppContext::initCreatesMissingFolders()
{
    TempStation station;
    QDir(station.path()).mkpath("config"); // one already there, the rest missing
    QCOMPARE(AppContext::instance().init(), 0);
    for (const char *folder : {"config", "db", "export", "backup", "user"})
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

QTEST_MAIN(TestAppContext)
#include "tst_appcontext.moc"
