#include "stationfolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <climits>
#include <cstdlib>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace {

// The longest path the station makes below its folder: a subfolder and a file name as long as
// a name may be (an export named after an instrument).
const int longestInside = int(sizeof("/backup/") - 1) + NAME_MAX;

// Kernel interfaces, not folders to keep files in.
const char *const systemFolders[] = {"/proc", "/sys", "/dev"};
const long procMagic = 0x9fa0;
const long sysfsMagic = 0x62656572;

// The folder itself when it exists, else its nearest existing parent; false when even the
// root cannot be read.
bool nearestExisting(const QString &dir, QString *found, struct stat *info)
{
    QString path = QDir::cleanPath(dir);
    for (;;) {
        if (::stat(QFile::encodeName(path).constData(), info) == 0) {
            *found = path;
            return true;
        }
        const QString parent = QFileInfo(path).path();
        if (parent == path)
            return false;
        path = parent;
    }
}

bool inGroup(const StationFolder::Account &account, gid_t gid)
{
    return std::find(account.groups.begin(), account.groups.end(), gid) != account.groups.end();
}

QString ownerName(uid_t uid)
{
    const passwd *entry = ::getpwuid(uid);
    return entry ? QString::fromLocal8Bit(entry->pw_name) : QString::number(uid);
}

gid_t stationGroupId()
{
    const group *entry = ::getgrnam(StationFolder::groupName());
    return entry ? entry->gr_gid : gid_t(-1);
}

bool isSystemPath(const QString &path)
{
    if (path == QLatin1String("/"))
        return true;
    for (const char *folder : systemFolders) {
        const QString prefix = QLatin1String(folder);
        if (path == prefix || path.startsWith(prefix + QLatin1Char('/')))
            return true;
    }
    return false;
}

// Whether the path, as given or with every link of its existing part resolved, is "/" or lies in
// a kernel interface (/proc/self/cwd names another folder, a link may name /proc).
bool isSystemFolder(const QString &dir, const QString &existing)
{
    if (isSystemPath(dir))
        return true;
    char *real = ::realpath(QFile::encodeName(existing).constData(), nullptr);
    if (!real)
        return false;
    QString resolved = QFile::decodeName(real);
    std::free(real);
    // The missing rest of the path below the resolved part.
    if (dir.size() > existing.size())
        resolved = QDir::cleanPath(resolved + dir.mid(existing.size()));
    if (isSystemPath(resolved))
        return true;
    struct statfs fs;
    return ::statfs(QFile::encodeName(existing).constData(), &fs) == 0 &&
           (long(fs.f_type) == procMagic || long(fs.f_type) == sysfsMagic);
}

// Whether a file below the folder would have a path the system takes.
bool fitsThePathLimit(const QString &dir)
{
    const QByteArray bytes = QFile::encodeName(dir);
    if (bytes.size() + longestInside >= PATH_MAX)
        return false;
    for (const QByteArray &name : bytes.split('/'))
        if (name.size() > NAME_MAX)
            return false;
    return true;
}

} // namespace

StationFolder::Account StationFolder::Account::current()
{
    Account account;
    account.uid = ::geteuid();
    account.groups.push_back(::getegid());
    const int count = ::getgroups(0, nullptr);
    if (count > 0) {
        std::vector<gid_t> more(count);
        const int got = ::getgroups(count, more.data());
        if (got > 0)
            account.groups.insert(account.groups.end(), more.begin(), more.begin() + got);
    }
    return account;
}

const char *StationFolder::groupName()
{
    return "hydrovane";
}

void StationFolder::restrictCreationMask()
{
    // Whoever can read a database file can read its records, the key being in the program. The
    // group keeps write access: a packaged station's folder is shared by the station group,
    // and every operator must be able to write what another one's station made.
    ::umask(007);
}

int StationFolder::choose(QStringList *arguments, const QString &environment,
                          const QString &defaultDir, QString *dir)
{
    QString named;
    for (int i = 1; i < arguments->size();) {
        const QString argument = arguments->at(i);
        if (argument == QLatin1String("--station")) {
            if (i + 1 >= arguments->size() || arguments->at(i + 1).isEmpty())
                return MissingValue;
            named = arguments->at(i + 1);
            arguments->erase(arguments->begin() + i, arguments->begin() + i + 2);
        } else if (argument.startsWith(QLatin1String("--station="))) {
            named = argument.mid(int(qstrlen("--station=")));
            if (named.isEmpty())
                return MissingValue;
            arguments->removeAt(i);
        } else {
            ++i;
        }
    }
    if (named.isEmpty())
        named = environment;
    if (named.isEmpty())
        named = defaultDir;
    *dir = QDir::cleanPath(QDir::current().absoluteFilePath(named));
    return Ok;
}

int StationFolder::check(const QString &dir, const Account &account, gid_t stationGroup)
{
    // Before any look at the disk: a name too long would make the look stop short of it.
    if (!fitsThePathLimit(QDir::cleanPath(dir)))
        return PathTooLong;
    QString existing;
    struct stat info;
    if (!nearestExisting(dir, &existing, &info))
        return NotWritable;
    if (!S_ISDIR(info.st_mode))
        return NotAFolder;
    if (isSystemFolder(QDir::cleanPath(dir), existing))
        return SystemFolder;
    if (account.uid == 0) {
        // Root writes anywhere, and would follow whatever links the folder's owner made there.
        if (info.st_uid != 0 && (stationGroup == gid_t(-1) || info.st_gid != stationGroup))
            return NotRootsFolder;
        return Ok;
    }

    // Writing into a folder takes write and search permission of the class the user falls in.
    mode_t needed;
    if (info.st_uid == account.uid)
        needed = S_IWUSR | S_IXUSR;
    else if (inGroup(account, info.st_gid))
        needed = S_IWGRP | S_IXGRP;
    else
        needed = S_IWOTH | S_IXOTH;
    if ((info.st_mode & needed) == needed)
        return Ok;
    if (stationGroup != gid_t(-1) && info.st_gid == stationGroup && !inGroup(account, stationGroup))
        return GroupMissing;
    if (info.st_uid != account.uid)
        return OtherUsersFolder;
    return NotWritable;
}

int StationFolder::prepare(QStringList *arguments, const QString &defaultDir, QString *dir,
                           QString *message)
{
    int result = choose(arguments, qEnvironmentVariable("HYDROVANE_STATION"), defaultDir, dir);
    if (result == Ok)
        result = check(*dir, Account::current(), stationGroupId());
    if (result == Ok && !QFileInfo(*dir).isDir() && !QDir().mkpath(*dir))
        result = CannotCreate;
    // The mode bits do not tell of a read-only file system or an access list.
    if (result == Ok && ::access(QFile::encodeName(*dir).constData(), W_OK | X_OK) != 0)
        result = NotWritable;
    if (result != Ok)
        *message = text(result, *dir);
    return result;
}

QString StationFolder::text(int result, const QString &dir)
{
    const QString shown = QDir::toNativeSeparators(dir);
    switch (result) {
    case Ok:
        return QString();
    case MissingValue:
        return QStringLiteral("--station 之后缺少监测站文件夹。");
    case NotAFolder:
        return QStringLiteral("监测站文件夹 %1 无法使用：该路径或其上级是文件，不是文件夹。")
            .arg(shown);
    case OtherUsersFolder: {
        QString existing;
        struct stat info;
        const QString owner = nearestExisting(dir, &existing, &info) ? ownerName(info.st_uid)
                                                                     : QStringLiteral("?");
        return QStringLiteral("监测站文件夹 %1 属于用户 %2，当前用户 %3 无权写入。")
            .arg(QDir::toNativeSeparators(existing), owner, ownerName(::geteuid()));
    }
    case GroupMissing:
        return QStringLiteral("当前用户 %1 不在 %2 组中，无权写入监测站文件夹 %3。\n"
                              "请执行 adduser %1 %2 将用户加入该组，然后重新登录。")
            .arg(ownerName(::geteuid()), QLatin1String(groupName()), shown);
    case CannotCreate:
        return QStringLiteral("无法创建监测站文件夹 %1。").arg(shown);
    case SystemFolder:
        return QStringLiteral(
                   "%1 不能作为监测站文件夹：它是根目录或系统目录（/proc、/sys、/dev）。")
            .arg(shown);
    case NotRootsFolder: {
        QString existing;
        struct stat info;
        const QString owner =
            nearestExisting(dir, &existing, &info) ? ownerName(info.st_uid) : QStringLiteral("?");
        return QStringLiteral("以 root 身份运行时，监测站文件夹必须属于 root 或 %1 组；"
                              "%2 属于用户 %3。\n请以该用户身份运行，或换用其他文件夹。")
            .arg(QLatin1String(groupName()), QDir::toNativeSeparators(existing), owner);
    }
    case PathTooLong:
        return QStringLiteral("监测站文件夹的路径过长（超过系统允许的长度）：%1")
            .arg(shown.left(200) + (shown.size() > 200 ? QStringLiteral("…") : QString()));
    default:
        return QStringLiteral("监测站文件夹 %1 不可写入。").arg(shown);
    }
}

QStringList StationFolder::missingSerialGroups(const QString &devDir)
{
    QStringList groups;
    if (::geteuid() == 0)
        return groups;
    const Account account = Account::current();
    const QDir dir(devDir);
    const QStringList devices =
        dir.entryList({QStringLiteral("ttyS*"), QStringLiteral("ttyUSB*"), QStringLiteral("ttyACM*")},
                      QDir::Files | QDir::System | QDir::NoDotAndDotDot);
    for (const QString &device : devices) {
        struct stat info;
        if (::stat(QFile::encodeName(dir.filePath(device)).constData(), &info) != 0 ||
            info.st_uid == account.uid || inGroup(account, info.st_gid) ||
            (info.st_mode & (S_IROTH | S_IWOTH)) == (S_IROTH | S_IWOTH))
            continue;
        const group *entry = ::getgrgid(info.st_gid);
        const QString name =
            entry ? QString::fromLocal8Bit(entry->gr_name) : QString::number(info.st_gid);
        if (!groups.contains(name))
            groups << name;
    }
    return groups;
}
