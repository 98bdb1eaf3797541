#include "diskguard.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <QThreadPool>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <sys/statvfs.h>

namespace {

qint64 steadyMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

const char *levelName(int level)
{
    switch (level) {
    case DiskGuard::Enough:
        return "充足";
    case DiskGuard::Low:
        return "不足";
    case DiskGuard::Critical:
        return "将满,备份和导出已暂停";
    default:
        return "未知";
    }
}

bool measureFileSystem(const QString &folder, qint64 *freeBytes, qint64 *totalBytes, QString *error)
{
    struct statvfs info;
    if (::statvfs(QFile::encodeName(folder).constData(), &info) != 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    // What the station may still write, not the blocks kept back for root.
    *freeBytes = qint64(info.f_bavail) * qint64(info.f_frsize);
    *totalBytes = qint64(info.f_blocks) * qint64(info.f_frsize);
    return true;
}

std::mutex measureMutex;
DiskGuard::Measure &measureFunction()
{
    static DiskGuard::Measure function;
    return function;
}

} // namespace

DiskGuard::DiskGuard() = default;

DiskGuard &DiskGuard::instance()
{
    static DiskGuard guard;
    return guard;
}

void DiskGuard::watch(const QString &folder)
{
    {
        std::lock_guard<std::mutex> guard(mutex);
        current = Status();
        current.folder = folder;
        samples.clear();
    }
    ++generation;
    measuring = false;
    if (!timer) {
        timer = new QTimer(this);
        connect(timer, &QTimer::timeout, this, &DiskGuard::checkNow);
    }
    timer->start(checkMs);
    checkNow();
}

void DiskGuard::stop()
{
    if (timer)
        timer->stop();
    ++generation;
    measuring = false;
    std::lock_guard<std::mutex> guard(mutex);
    current = Status();
    samples.clear();
}

void DiskGuard::checkNow()
{
    const QString folder = status().folder;
    if (folder.isEmpty() || measuring)
        return;
    measuring = true;
    const quint64 asked = generation;
    QThreadPool::globalInstance()->start([this, folder, asked] {
        qint64 freeBytes = 0, totalBytes = 0;
        QString error;
        const bool measured = measure(folder, &freeBytes, &totalBytes, &error);
        const qint64 at = steadyMs();
        QMetaObject::invokeMethod(
            this,
            [=] {
                if (asked != generation)
                    return;
                measuring = false;
                if (measured)
                    addSample(at, freeBytes, totalBytes);
                else
                    addFailure(error);
            },
            Qt::QueuedConnection);
    });
}

DiskGuard::Status DiskGuard::status() const
{
    std::lock_guard<std::mutex> guard(mutex);
    return current;
}

QString DiskGuard::refusal(const QString &what) const
{
    const Status now = status();
    if (now.level != Critical)
        return QString();
    return QStringLiteral("磁盘空间不足:站点文件夹所在磁盘只剩 %1(低于 %2),为保证记录继续保存,"
                          "暂停%3。\n%4")
        .arg(bytesText(now.freeBytes), bytesText(criticalBytes), what, advice(Critical));
}

void DiskGuard::addSample(qint64 ms, qint64 freeBytes, qint64 totalBytes)
{
    Level before, after;
    {
        std::lock_guard<std::mutex> guard(mutex);
        // A steady clock never goes back; a test's may.
        if (!samples.empty() && ms < samples.back().ms)
            samples.clear();
        samples.push_back({ms, freeBytes});
        while (samples.size() > 2 && ms - samples[1].ms >= growthWindowMs)
            samples.pop_front();
        before = current.level;
        current.level = after = levelFor(freeBytes, totalBytes, before);
        current.freeBytes = freeBytes;
        current.totalBytes = totalBytes;
        current.error.clear();
        const Sample &oldest = samples.front();
        current.growthSpanMs = ms - oldest.ms;
        if (current.growthSpanMs < growthMinimumMs) {
            current.daysLeft = -1;
        } else {
            const double shrinkPerDay =
                double(oldest.freeBytes - freeBytes) * 86400000.0 / double(current.growthSpanMs);
            current.daysLeft = shrinkPerDay > 0 ? double(freeBytes) / shrinkPerDay : 0;
        }
    }
    if (after != before) {
        const QString text = QStringLiteral("磁盘可用空间 %1,共 %2: %3")
                                 .arg(bytesText(freeBytes), bytesText(totalBytes),
                                      QString::fromUtf8(levelName(after)));
        if (after >= Low)
            qWarning("hydrovane: %s", qUtf8Printable(text));
        else
            qInfo("hydrovane: %s", qUtf8Printable(text));
        emit signal_levelChanged(after, before);
    }
    emit signal_changed();
}

void DiskGuard::addFailure(const QString &error)
{
    Level before;
    bool first;
    {
        std::lock_guard<std::mutex> guard(mutex);
        before = current.level;
        first = current.error.isEmpty();
        current.level = Unknown;
        current.error = error;
        current.freeBytes = -1;
    }
    if (first)
        qWarning("hydrovane: 无法测量磁盘可用空间: %s", qUtf8Printable(error));
    if (before != Unknown)
        emit signal_levelChanged(Unknown, before);
    emit signal_changed();
}

qint64 DiskGuard::lowLine(qint64 totalBytes)
{
    return std::max(lowBytes, totalBytes / 100 * lowPercent);
}

DiskGuard::Level DiskGuard::levelFor(qint64 freeBytes, qint64 totalBytes, Level before)
{
    const qint64 low = lowLine(totalBytes);
    // Leaving a level takes a tenth of its line more.
    const qint64 critical = before == Critical ? criticalBytes + criticalBytes / 10 : criticalBytes;
    const qint64 warning = before >= Low ? low + low / 10 : low;
    if (freeBytes < critical)
        return Critical;
    if (freeBytes < warning)
        return Low;
    return Enough;
}

bool DiskGuard::measure(const QString &folder, qint64 *freeBytes, qint64 *totalBytes,
                        QString *error)
{
    Measure function;
    {
        std::lock_guard<std::mutex> guard(measureMutex);
        function = measureFunction();
    }
    return function ? function(folder, freeBytes, totalBytes, error)
                    : measureFileSystem(folder, freeBytes, totalBytes, error);
}

void DiskGuard::setMeasure(Measure measure)
{
    std::lock_guard<std::mutex> guard(measureMutex);
    measureFunction() = std::move(measure);
}

int DiskGuard::checkRoom(const QString &folder, const QString &what, QString *reason)
{
    // A folder the work would create is measured where it will be made.
    QString existing = QDir::cleanPath(QDir(folder).absolutePath());
    while (!QFileInfo(existing).isDir() && existing != QDir::rootPath()) {
        const QString parent = QFileInfo(existing).path();
        if (parent == existing)
            break;
        existing = parent;
    }
    qint64 freeBytes = 0, totalBytes = 0;
    QString error;
    if (!measure(existing, &freeBytes, &totalBytes, &error)) {
        if (reason)
            *reason = QStringLiteral("无法测量 %1 所在磁盘的可用空间: %2")
                          .arg(QDir::toNativeSeparators(folder), error);
        return RoomUnmeasured;
    }
    if (freeBytes >= criticalBytes)
        return RoomOk;
    if (reason)
        *reason = QStringLiteral("磁盘空间不足: %1 所在磁盘只剩 %2(低于 %3),为保证记录继续保存,"
                                 "%4已暂停。\n%5")
                      .arg(QDir::toNativeSeparators(folder), bytesText(freeBytes),
                           bytesText(criticalBytes), what, advice(Critical));
    return RoomRefused;
}

QString DiskGuard::bytesText(qint64 bytes)
{
    if (bytes < 0)
        return QStringLiteral("未知");
    if (bytes >= (1LL << 30))
        return QString::number(double(bytes) / double(1LL << 30), 'f', 1) + QStringLiteral(" GB");
    return QString::number(bytes >> 20) + QStringLiteral(" MB");
}

QString DiskGuard::advice(Level level)
{
    if (level == Critical)
        return QStringLiteral("记录仍在继续,但磁盘写满后读数将无法保存。请立即删除不再需要的文件"
                              "(如 export 文件夹中已拷走的导出文件、backup 文件夹中已另存的备份),"
                              "或将站点文件夹移到更大的磁盘。");
    if (level == Low)
        return QStringLiteral("请及时删除不再需要的文件(如 export 文件夹中已拷走的导出文件、"
                              "backup 文件夹中已另存的备份),或准备更大的磁盘。");
    return QString();
}

QString DiskGuard::describe(const Status &status)
{
    QStringList lines;
    lines << QStringLiteral("站点文件夹 %1 所在磁盘").arg(QDir::toNativeSeparators(status.folder));
    if (!status.error.isEmpty()) {
        lines << QStringLiteral("无法测量可用空间: %1").arg(status.error);
        return lines.join(QLatin1Char('\n'));
    }
    if (status.freeBytes < 0) {
        lines << QStringLiteral("正在测量可用空间…");
        return lines.join(QLatin1Char('\n'));
    }
    lines << QStringLiteral("可用 %1,共 %2(%3 %)")
                 .arg(bytesText(status.freeBytes), bytesText(status.totalBytes))
                 .arg(status.totalBytes > 0
                          ? 100.0 * double(status.freeBytes) / double(status.totalBytes)
                          : 0.0,
                      0, 'f', 1);
    const double hours = double(status.growthSpanMs) / 3600000.0;
    if (status.daysLeft < 0)
        lines << QStringLiteral("剩余天数: 测量满 10 分钟后估计");
    else if (status.daysLeft == 0)
        lines << QStringLiteral("近 %1 小时可用空间未减少").arg(hours, 0, 'f', 1);
    else
        lines << QStringLiteral("按近 %1 小时的增长速度,约可用 %2 天")
                     .arg(hours, 0, 'f', 1)
                     .arg(status.daysLeft < 10 ? status.daysLeft : std::floor(status.daysLeft), 0,
                          'f', status.daysLeft < 10 ? 1 : 0);
    lines << QStringLiteral("低于 %1 时警告,低于 %2 时暂停备份和导出")
                 .arg(bytesText(lowLine(status.totalBytes)), bytesText(criticalBytes));
    const QString todo = advice(status.level);
    if (!todo.isEmpty())
        lines << todo;
    return lines.join(QLatin1Char('\n'));
}
