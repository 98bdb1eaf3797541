#include "app/stationfolder.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <climits>

#include <sys/stat.h>
#include <unistd.h>

// The checks judge an account given to them, so every case runs the same as root or not.
class TestStationFolder : public QObject
{
    Q_OBJECT

private slots:
    void commandLineBeatsEnvironmentBeatsDefault();
    void stationOptionWithoutFolderIsRefused();
    void pathNamingAFileIsRefused();
    void unwritableFoldersAreClassified();
    void stationGroupFolderAsksToJoinTheGroup();
    void missingFolderIsCheckedAtItsParentAndCreated();
    void refusedFolderCreatesNothing();
    void rootAndKernelFoldersAreRefused();
    void rootTakesOnlyItsOwnOrTheStationGroupsFolders();
    void pathTooLongIsRefusedBeforeAnythingIsMade();
};

namespace {

StationFolder::Account account(uid_t uid, std::vector<gid_t> groups = {})
{
    StationFolder::Account who;
    who.uid = uid;
    who.groups = std::move(groups);
    return who;
}

struct stat statOf(const QString &path)
{
    struct stat info;
    ::stat(QFile::encodeName(path).constData(), &info);
    return info;
}

} // namespace

void TestStationFolder::commandLineBeatsEnvironmentBeatsDefault()
{
    QString dir;
    QStringList arguments{"hydrovane", "--station", "/srv/a", "--passwd", "admin"};
    QCOMPARE(StationFolder::choose(&arguments, "/srv/env", "/opt/exe", &dir), 0);
    QCOMPARE(dir, QString("/srv/a"));
    // The option is taken out: what follows reads as if it had not been there.
    QCOMPARE(arguments, QStringList({"hydrovane", "--passwd", "admin"}));

    arguments = QStringList{"hydrovane", "--station=/srv/b/", "--connect"};
    QCOMPARE(StationFolder::choose(&arguments, "/srv/env", "/opt/exe", &dir), 0);
    QCOMPARE(dir, QString("/srv/b"));
    QCOMPARE(arguments, QStringList({"hydrovane", "--connect"}));

    arguments = QStringList{"hydrovane"};
    QCOMPARE(StationFolder::choose(&arguments, "/srv/env", "/opt/exe", &dir), 0);
    QCOMPARE(dir, QString("/srv/env"));
    QCOMPARE(StationFolder::choose(&arguments, QString(), "/opt/exe", &dir), 0);
    QCOMPARE(dir, QString("/opt/exe"));

    // A relative folder is the working directory's.
    arguments = QStringList{"hydrovane", "--station", "plant"};
    QCOMPARE(StationFolder::choose(&arguments, QString(), "/opt/exe", &dir), 0);
    QCOMPARE(dir, QDir::current().absoluteFilePath("plant"));
}

void TestStationFolder::stationOptionWithoutFolderIsRefused()
{
    QString dir;
    for (const QStringList &given : {QStringList{"hydrovane", "--station"},
                                     QStringList{"hydrovane", "--station="},
                                     QStringList{"hydrovane", "--station", ""}}) {
        QStringList arguments = given;
        QCOMPARE(StationFolder::choose(&arguments, "/srv/env", "/opt/exe", &dir),
                 int(StationFolder::MissingValue));
    }
}

void TestStationFolder::pathNamingAFileIsRefused()
{
    QTemporaryDir temp;
    const QString file = temp.filePath("station");
    QVERIFY(QFile(file).open(QIODevice::WriteOnly));
    const uid_t me = ::geteuid();
    // Even root cannot make a folder there, nor below it.
    QCOMPARE(StationFolder::check(file, account(me), gid_t(-1)), int(StationFolder::NotAFolder));
    QCOMPARE(StationFolder::check(file + "/db", account(0), gid_t(-1)),
             int(StationFolder::NotAFolder));
    QVERIFY(StationFolder::text(StationFolder::NotAFolder, file).contains(file));
}

void TestStationFolder::unwritableFoldersAreClassified()
{
    QTemporaryDir temp;
    const struct stat info = statOf(temp.path());
    const uid_t owner = info.st_uid;
    const uid_t stranger = owner + 4711;
    QVERIFY(::chmod(QFile::encodeName(temp.path()).constData(), 0755) == 0);

    QCOMPARE(StationFolder::check(temp.path(), account(owner), gid_t(-1)), 0);
    QCOMPARE(StationFolder::check(temp.path(), account(stranger), gid_t(-1)),
             int(StationFolder::OtherUsersFolder));
    // Root writes anywhere, but takes only its own folders.
    QCOMPARE(StationFolder::check(temp.path(), account(0), gid_t(-1)),
             owner == 0 ? 0 : int(StationFolder::NotRootsFolder));
    // A group member may write when the group may.
    QCOMPARE(StationFolder::check(temp.path(), account(stranger, {info.st_gid}), gid_t(-1)),
             int(StationFolder::OtherUsersFolder));
    QVERIFY(::chmod(QFile::encodeName(temp.path()).constData(), 0775) == 0);
    QCOMPARE(StationFolder::check(temp.path(), account(stranger, {info.st_gid}), gid_t(-1)), 0);

    // A read-only folder of one's own; root, who writes anywhere, hands it to nobody first.
    uid_t reader = owner;
    if (reader == 0) {
        reader = 65534;
        QVERIFY(::chown(QFile::encodeName(temp.path()).constData(), reader, gid_t(-1)) == 0);
    }
    QVERIFY(::chmod(QFile::encodeName(temp.path()).constData(), 0555) == 0);
    QCOMPARE(StationFolder::check(temp.path(), account(reader), gid_t(-1)),
             int(StationFolder::NotWritable));
    QVERIFY(::chown(QFile::encodeName(temp.path()).constData(), owner, gid_t(-1)) == 0);
    QVERIFY(::chmod(QFile::encodeName(temp.path()).constData(), 0700) == 0);

    // The refusal names the owner.
    const QString text = StationFolder::text(StationFolder::OtherUsersFolder, temp.path());
    QVERIFY2(text.contains(temp.path()), qPrintable(text));
    QVERIFY2(owner != 0 || text.contains("root"), qPrintable(text));
}

void TestStationFolder::stationGroupFolderAsksToJoinTheGroup()
{
    QTemporaryDir temp;
    const struct stat info = statOf(temp.path());
    QVERIFY(::chmod(QFile::encodeName(temp.path()).constData(), 02770) == 0);
    const uid_t stranger = info.st_uid + 4711;
    QCOMPARE(StationFolder::check(temp.path(), account(stranger), info.st_gid),
             int(StationFolder::GroupMissing));
    QCOMPARE(StationFolder::check(temp.path(), account(stranger, {info.st_gid}), info.st_gid), 0);
    const QString text = StationFolder::text(StationFolder::GroupMissing, temp.path());
    QVERIFY2(text.contains("adduser") && text.contains("hydrovane"), qPrintable(text));
}

void TestStationFolder::missingFolderIsCheckedAtItsParentAndCreated()
{
    QTemporaryDir temp;
    const QString station = temp.filePath("plant/station");
    const uid_t stranger = statOf(temp.path()).st_uid + 4711;
    QVERIFY(::chmod(QFile::encodeName(temp.path()).constData(), 0755) == 0);
    QCOMPARE(StationFolder::check(station, account(stranger), gid_t(-1)),
             int(StationFolder::OtherUsersFolder));

    QStringList arguments{"hydrovane", "--station", station};
    QString dir;
    QString message;
    QCOMPARE(StationFolder::prepare(&arguments, "/nonexistent", &dir, &message), 0);
    QCOMPARE(dir, station);
    QVERIFY(message.isEmpty());
    QVERIFY(QFileInfo(station).isDir());
}

void TestStationFolder::refusedFolderCreatesNothing()
{
    QTemporaryDir temp;
    const QString file = temp.filePath("file");
    QVERIFY(QFile(file).open(QIODevice::WriteOnly));
    qputenv("HYDROVANE_STATION", QFile::encodeName(file + "/station"));
    QStringList arguments{"hydrovane"};
    QString dir;
    QString message;
    QCOMPARE(StationFolder::prepare(&arguments, temp.filePath("default"), &dir, &message),
             int(StationFolder::NotAFolder));
    qunsetenv("HYDROVANE_STATION");
    QVERIFY(message.contains(file));
    QCOMPARE(QDir(temp.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
             QStringList({"file"}));
}

void TestStationFolder::rootAndKernelFoldersAreRefused()
{
    QTemporaryDir temp;
    QVERIFY(QFile::link("/proc", temp.filePath("kernel")));
    QVERIFY(QFile::link("/", temp.filePath("top")));
    const QStringList refused = {"/",
                                 "/proc",
                                 "/sys",
                                 "/dev",
                                 "/dev/shm/plant",
                                 "/proc/self/cwd",
                                 "/sys/class",
                                 temp.filePath("kernel/station"),
                                 temp.filePath("top")};
    for (const uid_t uid : {uid_t(0), ::geteuid()}) {
        for (const QString &dir : refused)
            QVERIFY2(StationFolder::check(dir, account(uid), gid_t(-1)) ==
                         StationFolder::SystemFolder,
                     qPrintable(dir));
    }
    // Beside them, and through ".." out of them, is another matter.
    QStringList arguments{"hydrovane", "--station", "/proc/../" + temp.path() + "/plant"};
    QString dir;
    QString message;
    QCOMPARE(StationFolder::prepare(&arguments, "/nonexistent", &dir, &message), 0);
    QCOMPARE(dir, temp.filePath("plant"));
    arguments = QStringList{"hydrovane", "--station", "/"};
    QCOMPARE(StationFolder::prepare(&arguments, "/nonexistent", &dir, &message),
             int(StationFolder::SystemFolder));
    QVERIFY2(message.contains("系统目录"), qPrintable(message));
}

void TestStationFolder::rootTakesOnlyItsOwnOrTheStationGroupsFolders()
{
    if (::geteuid() != 0)
        QSKIP("handing a folder to another user needs root");
    QTemporaryDir temp;
    const QByteArray path = QFile::encodeName(temp.path());
    const uid_t nobody = 65534;
    const gid_t stationGroup = 4711;
    QCOMPARE(::chown(path.constData(), nobody, 65534), 0);
    QCOMPARE(StationFolder::check(temp.path(), account(0), stationGroup),
             int(StationFolder::NotRootsFolder));
    // A missing folder is judged at the parent it would be made in.
    QCOMPARE(StationFolder::check(temp.filePath("new/station"), account(0), stationGroup),
             int(StationFolder::NotRootsFolder));
    const QString text = StationFolder::text(StationFolder::NotRootsFolder, temp.path());
    QVERIFY2(text.contains("nobody") && text.contains("hydrovane"), qPrintable(text));
    // The owner may use it all the same.
    QCOMPARE(StationFolder::check(temp.path(), account(nobody), stationGroup), 0);
    // The packaged folder: another owner, the station group.
    QCOMPARE(::chown(path.constData(), nobody, stationGroup), 0);
    QCOMPARE(StationFolder::check(temp.path(), account(0), stationGroup), 0);
    QCOMPARE(::chown(path.constData(), 0, 65534), 0);
    QCOMPARE(StationFolder::check(temp.path(), account(0), stationGroup), 0);
}

void TestStationFolder::pathTooLongIsRefusedBeforeAnythingIsMade()
{
    QTemporaryDir temp;
    // One name over the limit of a name, and a path of short names over the limit of a path
    // once the station's own files are below it.
    const QString longName = temp.filePath("plant/" + QString(256, 'n') + "/station");
    QString deep = temp.filePath("plant");
    while (QFile::encodeName(deep).size() < PATH_MAX - 200)
        deep += "/" + QString(100, 'd');
    for (const QString &dir : {longName, deep}) {
        QCOMPARE(StationFolder::check(dir, account(::geteuid()), gid_t(-1)),
                 int(StationFolder::PathTooLong));
        QStringList arguments{"hydrovane", "--station", dir};
        QString chosen;
        QString message;
        QCOMPARE(StationFolder::prepare(&arguments, "/nonexistent", &chosen, &message),
                 int(StationFolder::PathTooLong));
        QVERIFY2(message.contains("路径过长") && message.size() < 300, qPrintable(message));
    }
    QCOMPARE(QDir(temp.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
    // Well within the limit is fine.
    QCOMPARE(
        StationFolder::check(temp.filePath(QString(200, 's')), account(::geteuid()), gid_t(-1)), 0);
}

QTEST_GUILESS_MAIN(TestStationFolder)
#include "tst_stationfolder.moc"
