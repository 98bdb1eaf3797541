#include "stationlock.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

int openLockFile(const QByteArray &path)
{
    // Close-on-exec: a program the station starts (the desktop's file handler) must not
    // inherit the open file description and keep the station locked after it ends.
    int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY, 0660);
    // flock needs no write access, so a lock file the station may only read still locks.
    if (fd < 0 && (errno == EACCES || errno == EROFS))
        fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    return fd;
}

// The holder's process id, for a person looking at the file; nothing ever reads it back.
void writeHolder(int fd)
{
    const QByteArray pid = QByteArray::number(qint64(::getpid())) + '\n';
    if (::ftruncate(fd, 0) == 0) {
        const ssize_t written = ::pwrite(fd, pid.constData(), size_t(pid.size()), 0);
        (void)written;
    }
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

StationLock::Result StationLock::acquire(const QString &folder)
{
    if (isHeld() && lockedFolder == folder)
        return Acquired;
    release();

    const int fd = openLockFile(QFile::encodeName(lockFilePath(folder)));
    if (fd < 0)
        return Unavailable;
    int rc;
    do {
        rc = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        const bool busy = errno == EWOULDBLOCK;
        ::close(fd);
        return busy ? HeldElsewhere : Unavailable;
    }
    descriptor = fd;
    lockedFolder = folder;
    writeHolder(fd);
    return Acquired;
}

void StationLock::release()
{
    if (descriptor < 0)
        return;
    // The file stays: removing it would let a third process lock a new file by the same name
    // while a second one still holds the old.
    ::close(descriptor);
    descriptor = -1;
    lockedFolder.clear();
}
