#include "storage/diskguard.h"
#include "testsupport.h"

#include <QFile>
#include <QSignalSpy>
#include <QtTest>

#include <fcntl.h>
#include <unistd.h>

class TestDiskGuard : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();
    void levelsFollowTheLinesAndLeaveThemOnlyClearlyPast();
    void daysLeftComeFromTheShrinkOfTheLastDay();
    void smallFileSystemRefusesBackupsAndExports();
    void fillingTheFileSystemLowersTheLevel();
    void injectedSpaceRefusesBelowTheLineAndFailuresAreTold();
};

namespace {

const qint64 MB = 1LL << 20;
const qint64 GB = 1LL << 30;
const qint64 minute = 60 * 1000;

// Takes bytes of a file system with a real allocation, as another program filling it would.
bool fill(const QString &path, qint64 bytes)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT, 0600);
    if (fd < 0)
        return false;
    const bool done = ::posix_fallocate(fd, 0, bytes) == 0;
    ::close(fd);
    return done;
}

} // namespace

void TestDiskGuard::cleanup()
{
    DiskGuard::setMeasure(DiskGuard::Measure());
    DiskGuard::instance().stop();
}

void TestDiskGuard::levelsFollowTheLinesAndLeaveThemOnlyClearlyPast()
{
    // Small disks warn at 2 GB, large ones at 5 %.
    QCOMPARE(DiskGuard::lowLine(20 * GB), 2 * GB);
    QCOMPARE(DiskGuard::lowLine(1000 * GB), 1000 * GB / 100 * 5);
    QCOMPARE(DiskGuard::levelFor(3 * GB, 20 * GB), DiskGuard::Enough);
    QCOMPARE(DiskGuard::levelFor(2 * GB - 1, 20 * GB), DiskGuard::Low);
    QCOMPARE(DiskGuard::levelFor(60 * GB, 1000 * GB), DiskGuard::Enough);
    QCOMPARE(DiskGuard::levelFor(40 * GB, 1000 * GB), DiskGuard::Low);
    QCOMPARE(DiskGuard::levelFor(200 * MB, 20 * GB), DiskGuard::Low);
    QCOMPARE(DiskGuard::levelFor(200 * MB - 1, 20 * GB), DiskGuard::Critical);
    QCOMPARE(DiskGuard::levelFor(0, 20 * GB), DiskGuard::Critical);

    // A disk hovering at a line does not flap: it leaves a level a tenth past the line.
    QCOMPARE(DiskGuard::levelFor(205 * MB, 20 * GB, DiskGuard::Critical), DiskGuard::Critical);
    QCOMPARE(DiskGuard::levelFor(221 * MB, 20 * GB, DiskGuard::Critical), DiskGuard::Low);
    QCOMPARE(DiskGuard::levelFor(2 * GB + 100 * MB, 20 * GB, DiskGuard::Low), DiskGuard::Low);
    QCOMPARE(DiskGuard::levelFor(2 * GB + 300 * MB, 20 * GB, DiskGuard::Low), DiskGuard::Enough);
    QCOMPARE(DiskGuard::levelFor(2 * GB + 300 * MB, 20 * GB, DiskGuard::Critical),
             DiskGuard::Enough);
}

void TestDiskGuard::daysLeftComeFromTheShrinkOfTheLastDay()
{
    DiskGuard &guard = DiskGuard::instance();
    QSignalSpy levels(&guard, &DiskGuard::signal_levelChanged);
    guard.addSample(0, 10 * GB, 100 * GB);
    QCOMPARE(guard.status().level, DiskGuard::Enough);
    QCOMPARE(levels.count(), 1);
    // Too short a span says nothing yet.
    guard.addSample(5 * minute, 10 * GB - MB, 100 * GB);
    QVERIFY(guard.status().daysLeft < 0);
    QVERIFY(DiskGuard::describe(guard.status()).contains(QStringLiteral("10 分钟后估计")));

    // 1 GB a day, measured over two hours: what is left lasts as many days as it has GB.
    const qint64 hour = 60 * minute;
    guard.addSample(2 * hour, 10 * GB - GB / 12, 100 * GB);
    QVERIFY(qAbs(guard.status().daysLeft - (10.0 - 1.0 / 12)) < 0.01);
    QVERIFY(DiskGuard::describe(guard.status()).contains(QStringLiteral("约可用 9.9 天")));

    // The rate is that of the last day: an old burst drops out of it.
    const qint64 day = 24 * hour;
    guard.addSample(day + 2 * hour, 4 * GB, 100 * GB);
    QVERIFY(guard.status().daysLeft > 0 && guard.status().daysLeft < 1);
    guard.addSample(2 * day + 3 * hour, 4 * GB, 100 * GB);
    QCOMPARE(guard.status().daysLeft, 0.0);
    QVERIFY(DiskGuard::describe(guard.status()).contains(QStringLiteral("未减少")));
    QCOMPARE(guard.status().level, DiskGuard::Low);
    QCOMPARE(levels.count(), 2);
    QCOMPARE(levels.last().at(0).toInt(), int(DiskGuard::Low));
    QCOMPARE(levels.last().at(1).toInt(), int(DiskGuard::Enough));

    // A clock that goes back starts the measurement again instead of a negative span.
    guard.addSample(hour, 4 * GB, 100 * GB);
    QVERIFY(guard.status().daysLeft < 0);
    QCOMPARE(guard.status().growthSpanMs, qint64(0));
}

void TestDiskGuard::smallFileSystemRefusesBackupsAndExports()
{
    SmallFileSystem disk(100 * MB);
    if (!disk.isMounted())
        QSKIP("mounting a tmpfs needs root");
    QString reason;
    QCOMPARE(DiskGuard::checkRoom(disk.path(), QStringLiteral("备份"), &reason),
             int(DiskGuard::RoomRefused));
    QVERIFY2(reason.contains(disk.path()) && reason.contains(QStringLiteral("备份")) &&
                 reason.contains(QStringLiteral("删除")),
             qPrintable(reason));
    // A folder the export would make is judged by the disk it would be made on.
    QCOMPARE(DiskGuard::checkRoom(disk.filePath("export/new"), QStringLiteral("导出"), &reason),
             int(DiskGuard::RoomRefused));
    QVERIFY(reason.contains(QStringLiteral("导出")));

    // The guard watching it: critical at the first measurement, with a refusal for the window.
    DiskGuard &guard = DiskGuard::instance();
    QSignalSpy levels(&guard, &DiskGuard::signal_levelChanged);
    guard.watch(disk.path());
    QTRY_COMPARE(levels.count(), 1);
    const DiskGuard::Status status = guard.status();
    QCOMPARE(status.level, DiskGuard::Critical);
    QCOMPARE(status.totalBytes, 100 * MB);
    QVERIFY(status.freeBytes <= 100 * MB && status.freeBytes > 90 * MB);
    QVERIFY(!guard.refusal(QStringLiteral("导出")).isEmpty());
    QVERIFY(DiskGuard::describe(status).contains(disk.path()));
}

void TestDiskGuard::fillingTheFileSystemLowersTheLevel()
{
    // A tmpfs takes memory only for what is written: a 2.1 GB one is cheap until filled.
    SmallFileSystem disk(2 * GB + 100 * MB);
    if (!disk.isMounted())
        QSKIP("mounting a tmpfs needs root");
    QString reason;
    QCOMPARE(DiskGuard::checkRoom(disk.path(), QStringLiteral("备份"), &reason),
             int(DiskGuard::RoomOk));
    DiskGuard &guard = DiskGuard::instance();
    QSignalSpy changes(&guard, &DiskGuard::signal_changed);
    guard.watch(disk.path());
    QTRY_COMPARE(changes.count(), 1);
    QCOMPARE(guard.status().level, DiskGuard::Enough);
    QVERIFY(guard.refusal(QStringLiteral("导出")).isEmpty());

    QVERIFY(fill(disk.filePath("other"), 150 * MB));
    guard.checkNow();
    QTRY_COMPARE(changes.count(), 2);
    QCOMPARE(guard.status().level, DiskGuard::Low);
    QVERIFY(guard.refusal(QStringLiteral("导出")).isEmpty());
    QVERIFY(!DiskGuard::advice(DiskGuard::Low).isEmpty());
}

void TestDiskGuard::injectedSpaceRefusesBelowTheLineAndFailuresAreTold()
{
    qint64 freeNow = DiskGuard::criticalBytes;
    bool failing = false;
    DiskGuard::setMeasure(
        [&](const QString &, qint64 *freeBytes, qint64 *totalBytes, QString *error) {
            if (failing) {
                *error = QStringLiteral("Input/output error");
                return false;
            }
            *freeBytes = freeNow;
            *totalBytes = 50 * GB;
            return true;
        });
    QString reason;
    QCOMPARE(
        DiskGuard::checkRoom(QStringLiteral("/station/backup"), QStringLiteral("备份"), &reason),
        int(DiskGuard::RoomOk));
    freeNow = DiskGuard::criticalBytes - 1;
    QCOMPARE(
        DiskGuard::checkRoom(QStringLiteral("/station/backup"), QStringLiteral("备份"), &reason),
        int(DiskGuard::RoomRefused));
    QVERIFY(reason.contains(QStringLiteral("199 MB")));

    // A measurement that fails is said, and does not refuse on its own.
    failing = true;
    QCOMPARE(
        DiskGuard::checkRoom(QStringLiteral("/station/backup"), QStringLiteral("备份"), &reason),
        int(DiskGuard::RoomUnmeasured));
    QVERIFY(reason.contains(QStringLiteral("Input/output error")));
    DiskGuard &guard = DiskGuard::instance();
    QSignalSpy changes(&guard, &DiskGuard::signal_changed);
    guard.watch(QStringLiteral("/station"));
    QTRY_COMPARE(changes.count(), 1);
    QCOMPARE(guard.status().level, DiskGuard::Unknown);
    QVERIFY(guard.refusal(QStringLiteral("导出")).isEmpty());
    QVERIFY(DiskGuard::describe(guard.status()).contains(QStringLiteral("Input/output error")));
}

QTEST_GUILESS_MAIN(TestDiskGuard)
#include "tst_diskguard.moc"
