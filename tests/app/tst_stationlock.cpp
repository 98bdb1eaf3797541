#include "app/stationlock.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

// What may stand where the lock file goes, and a lock file deleted under the holder.
class TestStationLock : public QObject
{
    Q_OBJECT

private slots:
    void symlinkIsRefusedAndItsTargetKept();
    void folderPipeAndStrangersFileAreRefused();
    void existingFileIsLockedWithoutLosingItsContent();
    void deletedLockFileIsTakenAgainWhileTheFolderStaysLocked();
};

namespace {

QByteArray contentOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

bool write(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

// Whether another open file description could lock the file now.
bool lockableElsewhere(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool locked = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    ::close(fd);
    return locked;
}

} // namespace

void TestStationLock::symlinkIsRefusedAndItsTargetKept()
{
    QTemporaryDir temp;
    const QString folder = temp.filePath("station");
    QVERIFY(QDir().mkpath(folder));
    const QString target = temp.filePath("precious.txt");
    QVERIFY(write(target, "not a lock file\n"));
    const QString lockFile = StationLock::lockFilePath(folder);
    // A link to a file, and a dangling one that an open with O_CREAT would create.
    for (const QString &linked : {target, temp.filePath("made-through-the-link")}) {
        QFile::remove(lockFile);
        QVERIFY(QFile::link(linked, lockFile));
        StationLock lock;
        QCOMPARE(lock.acquire(folder), StationLock::Refused);
        QVERIFY(!lock.isHeld());
        QVERIFY2(lock.problem().contains("符号链接") && lock.problem().contains(lockFile),
                 qPrintable(lock.problem()));
    }
    QCOMPARE(contentOf(target), QByteArray("not a lock file\n"));
    QVERIFY(!QFile::exists(temp.filePath("made-through-the-link")));
    // Nothing held the folder meanwhile either.
    QFile::remove(lockFile);
    StationLock next;
    QCOMPARE(next.acquire(folder), StationLock::Acquired);
}

void TestStationLock::folderPipeAndStrangersFileAreRefused()
{
    QTemporaryDir temp;
    const QString lockFile = StationLock::lockFilePath(temp.path());
    QVERIFY(QDir(temp.path()).mkdir("hydrovane.lock"));
    StationLock lock;
    QCOMPARE(lock.acquire(temp.path()), StationLock::Refused);
    QVERIFY2(lock.problem().contains("文件夹"), qPrintable(lock.problem()));
    QVERIFY(QDir(temp.path()).rmdir("hydrovane.lock"));

    // Opening a FIFO for reading alone would wait for a writer for ever.
    QCOMPARE(::mkfifo(QFile::encodeName(lockFile).constData(), 0600), 0);
    QCOMPARE(lock.acquire(temp.path()), StationLock::Refused);
    QVERIFY2(lock.problem().contains("不是普通文件"), qPrintable(lock.problem()));
    QVERIFY(QFile::remove(lockFile));

    if (::geteuid() != 0)
        QSKIP("handing a file to another user needs root");
    struct stat folder;
    QCOMPARE(::stat(QFile::encodeName(temp.path()).constData(), &folder), 0);
    QVERIFY(write(lockFile, "4711\n"));
    const uid_t nobody = 65534;
    QCOMPARE(::chown(QFile::encodeName(lockFile).constData(), nobody, folder.st_gid + 1), 0);
    QCOMPARE(lock.acquire(temp.path()), StationLock::Refused);
    QVERIFY2(lock.problem().contains("属于用户"), qPrintable(lock.problem()));
    QCOMPARE(contentOf(lockFile), QByteArray("4711\n"));
    // Another operator's, in the folder's group: a station of the group made it.
    QCOMPARE(::chown(QFile::encodeName(lockFile).constData(), nobody, folder.st_gid), 0);
    QCOMPARE(lock.acquire(temp.path()), StationLock::Acquired);
    QVERIFY(lock.problem().isEmpty());
}

void TestStationLock::existingFileIsLockedWithoutLosingItsContent()
{
    QTemporaryDir temp;
    const QString lockFile = StationLock::lockFilePath(temp.path());
    const QByteArray text = "whatever was here stays here\n";
    QVERIFY(write(lockFile, text));
    {
        StationLock lock;
        QCOMPARE(lock.acquire(temp.path()), StationLock::Acquired);
        QVERIFY(!lockableElsewhere(lockFile));
        QCOMPARE(contentOf(lockFile), text);
    }
    // An earlier station's process id, longer than ours, is written over, the file not cut.
    const QByteArray earlier = "4194303999999\n";
    QVERIFY(write(lockFile, earlier));
    StationLock lock;
    QCOMPARE(lock.acquire(temp.path()), StationLock::Acquired);
    const QByteArray ours = contentOf(lockFile);
    QCOMPARE(ours.size(), earlier.size());
    QCOMPARE(ours.simplified(), QByteArray::number(qint64(::getpid())));
}

void TestStationLock::deletedLockFileIsTakenAgainWhileTheFolderStaysLocked()
{
    QTemporaryDir temp;
    const QString lockFile = StationLock::lockFilePath(temp.path());
    StationLock holder;
    QCOMPARE(holder.acquire(temp.path()), StationLock::Acquired);
    QCOMPARE(holder.check(), StationLock::Intact);

    QVERIFY(QFile::remove(lockFile));
    // A second station is kept out by the folder's lock, and makes no lock file of its own.
    StationLock second;
    QCOMPARE(second.acquire(temp.path()), StationLock::HeldElsewhere);
    QVERIFY(!QFile::exists(lockFile));
    QCOMPARE(holder.check(), StationLock::Retaken);
    QVERIFY(QFile::exists(lockFile));
    QVERIFY(!lockableElsewhere(lockFile));
    QCOMPARE(holder.check(), StationLock::Intact);

    // Deleted again, and its replacement locked by a program that knows only the file.
    QVERIFY(QFile::remove(lockFile));
    QVERIFY(write(lockFile, ""));
    const int other = ::open(QFile::encodeName(lockFile).constData(), O_RDONLY | O_CLOEXEC);
    QVERIFY(other >= 0);
    QCOMPARE(::flock(other, LOCK_EX | LOCK_NB), 0);
    QCOMPARE(holder.check(), StationLock::TakenElsewhere);
    QVERIFY2(holder.problem().contains("另一个程序锁定"), qPrintable(holder.problem()));
    QCOMPARE(holder.check(), StationLock::TakenElsewhere);
    ::close(other);
    QCOMPARE(holder.check(), StationLock::Retaken);
    QVERIFY(holder.problem().isEmpty());

    // Replaced by a link: refused and told, the link left alone.
    QVERIFY(QFile::remove(lockFile));
    QVERIFY(QFile::link(temp.filePath("elsewhere"), lockFile));
    QCOMPARE(holder.check(), StationLock::Replaced);
    QVERIFY2(holder.problem().contains("符号链接"), qPrintable(holder.problem()));
    QVERIFY(!QFile::exists(temp.filePath("elsewhere")));
    QVERIFY(QFile::remove(lockFile));
    QCOMPARE(holder.check(), StationLock::Retaken);

    holder.release();
    QCOMPARE(second.acquire(temp.path()), StationLock::Acquired);
}

QTEST_GUILESS_MAIN(TestStationLock)
#include "tst_stationlock.moc"
