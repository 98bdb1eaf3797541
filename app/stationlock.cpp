#include "stationlock.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The holder's process id is at most this long; a longer file was not written by a station.
const ssize_t holderTextLimit = 32;

QString userName(uid_t uid)
{
    const passwd *entry = ::getpwuid(uid);
    return entry ? QString::fromLocal8Bit(entry->pw_name) : QString::number(uid);
}

bool lockExclusively(int fd, bool *busy)
{
    int rc;
    do {
        rc = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    *busy = rc != 0 && errno == EWOULDBLOCK;
    return rc == 0;
}

// Why what is at path may not be the lock file; empty when it may. A file another user planted
// could be anything of theirs (the station writes its process id into the file); one of the
// folder's group is an operator's station's.
QString refusal(const struct stat &info, gid_t folderGroup, const QString &path)
{
    const QString shown = QDir::toNativeSeparators(path);
    if (S_ISLNK(info.st_mode))
        return QStringLiteral("锁文件 %1 是一个符号链接，监测站不会跟随它打开。").arg(shown);
    if (S_ISDIR(info.st_mode))
        return QStringLiteral("锁文件 %1 的位置上是一个文件夹，无法用它加锁。").arg(shown);
    if (!S_ISREG(info.st_mode))
        return QStringLiteral("锁文件 %1 不是普通文件（管道、套接字或设备），无法用它加锁。")
            .arg(shown);
    if (info.st_uid != ::geteuid() && info.st_gid != folderGroup)
        return QStringLiteral(
                   "锁文件 %1 属于用户 %2，既不属于当前用户 %3，也不属于监测站文件夹的组。")
            .arg(shown, userName(info.st_uid), userName(::geteuid()));
    return QString();
}

// Whether the file holds nothing but a process id (or nothing): an earlier station's.
bool holdsOnlyHolder(int fd, const struct stat &info)
{
    if (info.st_nlink != 1 || info.st_size > holderTextLimit)
        return false;
    char text[holderTextLimit];
    const ssize_t got = ::pread(fd, text, sizeof(text), 0);
    if (got < 0 || got != info.st_size)
        return false;
    for (ssize_t i = 0; i < got; ++i)
        if (!(text[i] >= '0' && text[i] <= '9') && text[i] != '\n' && text[i] != ' ')
            return false;
    return true;
}

// The holder's process id, for a person looking at the file; nothing ever reads it back. Only a
// file that holds nothing else is rewritten, and never cut: a longer earlier id is padded over.
void writeHolder(int fd, const struct stat &info)
{
    if (!holdsOnlyHolder(fd, info))
        return;
    QByteArray text = QByteArray::number(qint64(::getpid()));
    if (text.size() + 1 < info.st_size)
        text += QByteArray(int(info.st_size) - text.size() - 1, ' ');
    text += '\n';
    const ssize_t written = ::pwrite(fd, text.constData(), size_t(text.size()), 0);
    (void)written;
}

bool sameFile(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

} // namespace

StationLock::~StationLock()
{
    release();
}

QString StationLock::lockFilePath(const QString &folder)
{
    return folder + QStringLiteral("/hydrovane.lock");
}

bool StationLock::isHeld() const
{
    std::lock_guard<std::mutex> guard(mutex);
    return folderDescriptor >= 0 || fileDescriptor >= 0;
}

QString StationLock::folder() const
{
    std::lock_guard<std::mutex> guard(mutex);
    return lockedFolder;
}

QString StationLock::problem() const
{
    std::lock_guard<std::mutex> guard(mutex);
    return lastProblem;
}

StationLock::Result StationLock::takeFile(const QString &folder, int *fd)
{
    lastProblem.clear();
    const QString path = lockFilePath(folder);
    const QByteArray name = QFile::encodeName(path);
    struct stat folderInfo;
    const gid_t folderGroup = ::stat(QFile::encodeName(folder).constData(), &folderInfo) == 0
                                  ? folderInfo.st_gid
                                  : gid_t(-1);
    // Looked at before it is opened: opening a device or a FIFO may already do something.
    struct stat info;
    if (::lstat(name.constData(), &info) == 0) {
        lastProblem = refusal(info, folderGroup, path);
        if (!lastProblem.isEmpty())
            return Refused;
    }
    // Close-on-exec: a program the station starts (the desktop's file handler) must not inherit
    // the open file description and keep the station locked after it ends. Never through a link,
    // never blocking on a FIFO put there meanwhile.
    const int flags = O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK;
    int opened = ::open(name.constData(), O_RDWR | O_CREAT | flags, 0660);
    // flock needs no write access, so a lock file the station may only read still locks.
    if (opened < 0 && (errno == EACCES || errno == EROFS))
        opened = ::open(name.constData(), O_RDONLY | flags);
    if (opened < 0) {
        // Replaced between the look and the open.
        if (errno == ELOOP || errno == EISDIR || errno == ENXIO) {
            lastProblem = QStringLiteral("锁文件 %1 不是普通文件，无法用它加锁。")
                              .arg(QDir::toNativeSeparators(path));
            return Refused;
        }
        return Unavailable;
    }
    if (::fstat(opened, &info) != 0) {
        ::close(opened);
        return Unavailable;
    }
    lastProblem = refusal(info, folderGroup, path);
    if (!lastProblem.isEmpty()) {
        ::close(opened);
        return Refused;
    }
    bool busy = false;
    if (!lockExclusively(opened, &busy)) {
        ::close(opened);
        return busy ? HeldElsewhere : Unavailable;
    }
    writeHolder(opened, info);
    *fd = opened;
    return Acquired;
}

StationLock::Result StationLock::acquire(const QString &folder)
{
    std::lock_guard<std::mutex> guard(mutex);
    if ((folderDescriptor >= 0 || fileDescriptor >= 0) && lockedFolder == folder)
        return Acquired;
    releaseLocked();
    lastProblem.clear();

    // The folder itself first: it cannot be deleted from under a running station the way the
    // file can. A file system without locks on folders leaves the file alone to keep others out.
    const int dirFd = ::open(QFile::encodeName(folder).constData(),
                             O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY);
    bool busy = false;
    if (dirFd >= 0 && !lockExclusively(dirFd, &busy)) {
        ::close(dirFd);
        if (busy)
            return HeldElsewhere;
        folderDescriptor = -1;
    } else {
        folderDescriptor = dirFd;
    }

    int fd = -1;
    const Result file = takeFile(folder, &fd);
    if (file == Refused)
        lastProblem += QStringLiteral("\n请确认没有监测站程序在使用该文件夹，删除它后重新启动。");
    if (file == Refused || file == HeldElsewhere || (file == Unavailable && folderDescriptor < 0)) {
        releaseLocked();
        return file;
    }
    fileDescriptor = fd;
    lockedFolder = folder;
    return Acquired;
}

StationLock::Check StationLock::check()
{
    std::lock_guard<std::mutex> guard(mutex);
    if (folderDescriptor < 0 && fileDescriptor < 0)
        return Intact;
    const QByteArray name = QFile::encodeName(lockFilePath(lockedFolder));
    struct stat held, there;
    if (fileDescriptor >= 0 && ::fstat(fileDescriptor, &held) == 0 &&
        ::lstat(name.constData(), &there) == 0 && sameFile(held, there)) {
        lastProblem.clear();
        return Intact;
    }
    int fd = -1;
    switch (takeFile(lockedFolder, &fd)) {
    case Acquired:
        if (fileDescriptor >= 0)
            ::close(fileDescriptor);
        fileDescriptor = fd;
        lastProblem.clear();
        return Retaken;
    case HeldElsewhere:
        lastProblem = QStringLiteral("锁文件 %1 曾被删除，现在的锁文件已被另一个程序锁定："
                                     "可能有另一个监测站程序在使用此文件夹。")
                          .arg(QDir::toNativeSeparators(lockFilePath(lockedFolder)));
        return TakenElsewhere;
    case Refused:
        lastProblem += QStringLiteral("\n删除它后，监测站会在一分钟内重新加锁。");
        return Replaced;
    case Unavailable:
        break;
    }
    // The folder refuses a new file now (read-only): nothing changed for other stations.
    return Intact;
}

void StationLock::release()
{
    std::lock_guard<std::mutex> guard(mutex);
    releaseLocked();
}

void StationLock::releaseLocked()
{
    // The file stays: removing it would let a third process lock a new file by the same name
    // while a second one still holds the old.
    if (fileDescriptor >= 0)
        ::close(fileDescriptor);
    if (folderDescriptor >= 0)
        ::close(folderDescriptor);
    fileDescriptor = -1;
    folderDescriptor = -1;
    lockedFolder.clear();
}
