#include "recordingstatus.h"

#include <QCoreApplication>

#include <sqlite3.h>

RecordingStatus::RecordingStatus()
{
    // The first writer may well ask first; the signal must still arrive on the window's thread.
    if (QCoreApplication *application = QCoreApplication::instance())
        moveToThread(application->thread());
}

RecordingStatus &RecordingStatus::instance()
{
    static RecordingStatus status;
    return status;
}

void RecordingStatus::publish(qint64 heldDelta, qint64 droppedDelta, int failingDelta,
                              int troubledDelta, int code)
{
    if (heldDelta == 0 && droppedDelta == 0 && failingDelta == 0 && troubledDelta == 0 &&
        code == 0)
        return;
    held += heldDelta;
    dropped += droppedDelta;
    failing += failingDelta;
    troubled += troubledDelta;
    if (code != 0)
        failure = code;
    if (!notified.exchange(true))
        emit signal_changed();
}

void RecordingStatus::publishAlarms(qint64 heldDelta, qint64 droppedDelta, int failingDelta,
                                    int code)
{
    if (heldDelta == 0 && droppedDelta == 0 && failingDelta == 0 && code == 0)
        return;
    alarmHeld += heldDelta;
    alarmDropped += droppedDelta;
    alarmFailing += failingDelta;
    if (code != 0)
        alarmFailure = code;
    // Counted before it can be read: an episode that ends at once is still told.
    if (failingDelta > 0)
        alarmEpisodes += failingDelta;
    if (!notified.exchange(true))
        emit signal_changed();
}

void RecordingStatus::reportUnmatchedAlarm()
{
    ++unmatched;
    if (!notified.exchange(true))
        emit signal_changed();
}

RecordingStatus::Snapshot RecordingStatus::snapshot()
{
    // Cleared first: a change after the values were read is signalled again.
    notified = false;
    Snapshot now;
    now.held = held;
    now.dropped = dropped;
    now.failing = failing;
    now.troubled = troubled;
    now.failure = failure;
    now.unmatched = unmatched;
    now.handed = handed.load(std::memory_order_relaxed);
    now.alarmHeld = alarmHeld;
    now.alarmDropped = alarmDropped;
    now.alarmFailing = alarmFailing;
    now.alarmFailure = alarmFailure;
    now.alarmEpisodes = alarmEpisodes;
    return now;
}

QString RecordingStatus::describe(int failure)
{
    switch (failure & 0xFF) {
    case SQLITE_FULL:
        return QStringLiteral("磁盘已满");
    case SQLITE_READONLY:
        return QStringLiteral("数据库文件只读");
    case SQLITE_IOERR:
        return QStringLiteral("磁盘读写错误");
    case SQLITE_CANTOPEN:
        return QStringLiteral("无法打开数据库文件");
    case SQLITE_MISUSE:
        return QStringLiteral("数据库未打开");
    case SQLITE_NOMEM:
        return QStringLiteral("内存不足");
    case SQLITE_ERROR:
        return QStringLiteral("数据表缺失或被改动");
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
        return QStringLiteral("数据库文件已损坏");
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
        return QStringLiteral("数据库正被占用");
    default:
        return QStringLiteral("数据库错误 %1").arg(failure);
    }
}
