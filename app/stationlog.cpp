#include "stationlog.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A folder found unwritable is tried again after this long, not at every message.
const qint64 retryMs = 60000;

StationLog *installed = nullptr;
QtMessageHandler previousHandler = nullptr;
bool echoToStderr = true;
// Guards installed against a message sent while the log is moved or removed.
std::mutex installMutex;

const char *levelText(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return "DEBUG";
    case QtInfoMsg:
        return "INFO ";
    case QtWarningMsg:
        return "WARN ";
    case QtCriticalMsg:
        return "ERROR";
    case QtFatalMsg:
        return "FATAL";
    }
    return "?    ";
}

void handleMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    // A message raised while writing one (none is expected) must not come back here.
    static thread_local bool inside = false;
    if (!inside) {
        inside = true;
        std::lock_guard<std::mutex> guard(installMutex);
        if (installed)
            installed->append(type, message);
        inside = false;
    }
    if (echoToStderr) {
        // UTF-8 whatever the locale: Qt's own handler would turn Chinese into question marks
        // under the C locale a service or a launcher often runs with.
        const QByteArray line = message.toUtf8() + '\n';
        std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
        std::fflush(stderr);
    } else if (previousHandler) {
        previousHandler(type, context, message);
    }
}

QString pathOf(const QString &folder, int index)
{
    const QString base = folder + QLatin1Char('/') + StationLog::fileName();
    return index == 0 ? base : base + QLatin1Char('.') + QString::number(index);
}

bool writeAll(int fd, const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        size -= size_t(written);
    }
    return true;
}

} // namespace

QString StationLog::folderOf(const QString &stationDir)
{
    return stationDir + QStringLiteral("/log");
}

StationLog::StationLog(const QString &folder, qint64 maxBytes, int files)
    : logFolder(folder), maxBytes(maxBytes), files(files < 1 ? 1 : files)
{
}

StationLog::~StationLog()
{
    std::lock_guard<std::mutex> guard(mutex);
    closeLocked();
}

QString StationLog::filePath() const
{
    return pathOf(logFolder, 0);
}

QByteArray StationLog::format(QtMsgType type, const QString &message, const QDateTime &time)
{
    QString text = message;
    // The text's own line ends: one entry stays one block, each continuation indented.
    text.replace(QLatin1Char('\n'), QStringLiteral("\n    "));
    return time.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz")).toUtf8() + ' ' +
           levelText(type) + ' ' + text.toUtf8() + '\n';
}

bool StationLog::open()
{
    std::lock_guard<std::mutex> guard(mutex);
    retryAfterMs = 0;
    return fd >= 0 || openLocked();
}

bool StationLog::append(QtMsgType type, const QString &message, const QDateTime &time)
{
    const QByteArray line = format(type, message, time);
    std::lock_guard<std::mutex> guard(mutex);
    if (fd >= 0) {
        // Someone moved or removed the file (support taking it away): the name no longer leads
        // to ours, and a new one is started under it.
        struct stat mine, named;
        if (::fstat(fd, &mine) != 0 ||
            ::stat(QFile::encodeName(filePath()).constData(), &named) != 0 ||
            mine.st_ino != named.st_ino || mine.st_dev != named.st_dev)
            closeLocked();
        else
            size = qint64(mine.st_size);
    }
    if (fd < 0 && !openLocked())
        return false;
    if (size > 0 && size + line.size() > maxBytes && !rotateLocked())
        return false;
    if (!writeAll(fd, line.constData(), size_t(line.size()))) {
        failLocked(QString::fromLocal8Bit(std::strerror(errno)));
        closeLocked();
        return false;
    }
    size += line.size();
    failing = false;
    return true;
}

QString StationLog::takeProblem()
{
    std::lock_guard<std::mutex> guard(mutex);
    if (problemTold)
        return QString();
    problemTold = true;
    return problem;
}

bool StationLog::openLocked()
{
    if (QDateTime::currentMSecsSinceEpoch() < retryAfterMs)
        return false;
    const QFileInfo folder(logFolder);
    if (folder.exists() && !folder.isDir()) {
        failLocked(
            QStringLiteral("%1 是一个文件,不是文件夹").arg(QDir::toNativeSeparators(logFolder)));
        return false;
    }
    if (!QDir().mkpath(logFolder)) {
        failLocked(QStringLiteral("无法创建文件夹 %1").arg(QDir::toNativeSeparators(logFolder)));
        return false;
    }
    fd = ::open(QFile::encodeName(filePath()).constData(),
                O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0660);
    struct stat info;
    if (fd < 0 || ::fstat(fd, &info) != 0) {
        failLocked(QString::fromLocal8Bit(std::strerror(errno)));
        closeLocked();
        return false;
    }
    size = qint64(info.st_size);
    return true;
}

bool StationLog::rotateLocked()
{
    closeLocked();
    for (int index = files - 1; index >= 1; --index) {
        const QByteArray from = QFile::encodeName(pathOf(logFolder, index - 1));
        const QByteArray to = QFile::encodeName(pathOf(logFolder, index));
        if (::rename(from.constData(), to.constData()) != 0 && errno != ENOENT) {
            failLocked(QString::fromLocal8Bit(std::strerror(errno)));
            return false;
        }
    }
    // A single file: it starts again empty.
    if (files == 1)
        ::unlink(QFile::encodeName(filePath()).constData());
    return openLocked();
}

void StationLog::closeLocked()
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
    size = 0;
}

void StationLog::failLocked(const QString &reason)
{
    retryAfterMs = QDateTime::currentMSecsSinceEpoch() + retryMs;
    if (failing)
        return;
    failing = true;
    problem = QStringLiteral("日志文件 %1 无法写入(%2)。监测站照常运行,日志只输出到标准错误。")
                  .arg(QDir::toNativeSeparators(filePath()), reason);
    problemTold = false;
}

bool StationLog::install(const QString &folder, Echo echo)
{
    auto *log = new StationLog(folder);
    const bool opened = log->open();
    StationLog *old = nullptr;
    {
        std::lock_guard<std::mutex> guard(installMutex);
        old = installed;
        installed = log;
        echoToStderr = echo == EchoToStderr;
        if (!old)
            previousHandler = qInstallMessageHandler(handleMessage);
    }
    delete old;
    return opened;
}

void StationLog::uninstall()
{
    StationLog *old = nullptr;
    {
        std::lock_guard<std::mutex> guard(installMutex);
        if (!installed)
            return;
        qInstallMessageHandler(previousHandler);
        previousHandler = nullptr;
        old = installed;
        installed = nullptr;
    }
    delete old;
}

StationLog *StationLog::current()
{
    return installed;
}
