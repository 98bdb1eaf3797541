#include "recordwriter.h"

#include "acquisition/threadhandoff.h"
#include "app/appcontext.h"
#include "storage/recorddatabase.h"
#include "storage/recordingstatus.h"
#include "storage/recordsink.h"

#include <QCoreApplication>
#include <QSemaphore>
#include <QSet>
#include <QThread>
#include <QTimer>

#include <sqlite3.h>

#include <mutex>

namespace {

// Every live writer, so that an exit can wait for all of them without knowing the panels.
struct Registry
{
    std::mutex mutex;
    QSet<RecordWriter *> writers;
};

Registry &registry()
{
    static Registry instance;
    return instance;
}

// Results after which the same row may well be stored later; any other refusal is the row's
// own and final.
bool passing(int result)
{
    switch (result & 0xFF) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
    case SQLITE_NOMEM:
    case SQLITE_READONLY:
    case SQLITE_IOERR:
    case SQLITE_FULL:
    case SQLITE_CANTOPEN:
    case SQLITE_PROTOCOL:
    case SQLITE_MISUSE: // the database was closed for a moment
        return true;
    default:
        return false;
    }
}

// Our own connections hold the file for a while (a backup, a vacuum, an index build): the rows
// wait, but nothing is wrong with the database.
bool lockedByUs(int result)
{
    return (result & 0xFF) == SQLITE_BUSY || (result & 0xFF) == SQLITE_LOCKED;
}

} // namespace

RecordWriter::RecordWriter(QObject *parent) : QObject(parent)
{
    Registry &all = registry();
    std::lock_guard<std::mutex> locker(all.mutex);
    all.writers.insert(this);
}

RecordWriter::~RecordWriter()
{
    {
        Registry &all = registry();
        std::lock_guard<std::mutex> locker(all.mutex);
        all.writers.remove(this);
        // Markers dropped with the writer: their waits end.
        std::lock_guard<std::mutex> marked(markerMutex);
        for (QSemaphore *passed : markers)
            passed->release();
    }
    // Rows still held go with the writer: they count as dropped, and this writer fails no more.
    const qint64 lost = qint64(held.size());
    const qint64 lostAlarms = qint64(heldAlarms.size());
    held.clear();
    heldAlarms.clear();
    lastResult = 0;
    alarmResult = 0;
    publish(lost);
    publishAlarms(lostAlarms);
}

bool RecordWriter::queueMarker(QSemaphore &passed)
{
    QThread *own = thread();
    if (own == QThread::currentThread()) {
        QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
        return false;
    }
    if (!own || !own->isRunning())
        return false;
    {
        std::lock_guard<std::mutex> marked(markerMutex);
        markers.push_back(&passed);
    }
    ThreadHandOff::release();
    QMetaObject::invokeMethod(this, "passMarker", Qt::QueuedConnection);
    return true;
}

void RecordWriter::passMarker()
{
    // Also a last chance for held rows before the owner closes the database or ends the thread.
    record(nullptr, nullptr);
    if (!heldAlarms.empty() || !openAlarmsClearedAt.empty())
        retryAlarms();
    QSemaphore *passed = nullptr;
    {
        std::lock_guard<std::mutex> marked(markerMutex);
        if (markers.empty())
            return;
        passed = markers.front();
        markers.pop_front();
    }
    ThreadHandOff::release();
    passed->release();
}

void RecordWriter::record(void *writer, void *data)
{
    ThreadHandOff::acquire();
    if (RecordRow *row = static_cast<RecordRow *>(data)) {
        held.push_back(std::move(*row));
        delete row;
    }
    storeAndBound(writer, data != nullptr);
}

void RecordWriter::recordRows(void *writer, void *rows)
{
    ThreadHandOff::acquire();
    auto *taken = static_cast<std::vector<RecordRow> *>(rows);
    for (RecordRow &row : *taken)
        held.push_back(std::move(row));
    delete taken;
    storeAndBound(writer, true);
}

void RecordWriter::storeAndBound(void *writer, bool handed)
{
    qint64 dropped = 0;
    storeHeld(dropped);
    // Bounded only after the try: a database that takes rows again takes every held one.
    while (held.size() > heldLimit) {
        held.pop_front();
        ++dropped;
    }
    publish(dropped);
    if (handed) {
        ThreadHandOff::release();
        emit signal_recordDone(writer);
    }
}

void RecordWriter::alarm(const AlarmLogEntry &entry)
{
    ThreadHandOff::acquire();
    if (entry.change == AlarmLogEntry::SwitchLog && entry.logSwitch)
        switchLog(*entry.logSwitch);
    else
        holdAlarm(entry.change, entry.alarm);
}

void RecordWriter::switchLog(AlarmLogSwitch &logSwitch)
{
    // Every change before the switch is the replaced file's: a last try, and what it still
    // refuses is given up rather than stored in the new file.
    qint64 dropped = 0;
    storeHeldAlarms();
    dropped += qint64(heldAlarms.size());
    heldAlarms.clear();
    openAlarmsClearedAt.clear();
    alarmResult = 0;
    if (logSwitch.run()) {
        // Ids of the replaced file mean nothing in the new one.
        alarmIds.clear();
        auto *database = static_cast<RecordDatabase *>(AppContext::instance().object(RecordDb));
        for (const AlarmEvent &alarm : logSwitch.unacknowledged) {
            int64_t id = 0;
            const int rc = database ? database->insertAlarm(rowOf(alarm), &id) : SQLITE_MISUSE;
            if (rc == 0)
                alarmIds[alarm.serial] = id;
            else
                ++dropped;
        }
    }
    publishAlarms(dropped);
}

void RecordWriter::clearOpenAlarms(qint64 time)
{
    ThreadHandOff::acquire();
    openAlarmsClearedAt = AlarmRules::timeText(time);
    retryAlarms();
}

void RecordWriter::holdAlarm(int change, const AlarmEvent &alarm)
{
    ThreadHandOff::acquire();
    heldAlarms.push_back(HeldAlarm{change, alarm});
    retryAlarms();
}

void RecordWriter::retryAlarms()
{
    alarmRetryQueued = false;
    qint64 dropped = 0;
    storeHeldAlarms();
    while (heldAlarms.size() > maxHeld) {
        heldAlarms.pop_front();
        ++dropped;
    }
    publishAlarms(dropped);
    if ((!heldAlarms.empty() || !openAlarmsClearedAt.empty()) && !alarmRetryQueued) {
        alarmRetryQueued = true;
        QTimer::singleShot(alarmRetryMs, this, &RecordWriter::retryAlarms);
    }
}

AlarmRow RecordWriter::rowOf(const AlarmEvent &alarm)
{
    AlarmRow row;
    row.name = alarm.name;
    row.slave = alarm.slave;
    row.channel = alarm.channel;
    row.factor = alarm.factor;
    row.kind = AlarmEvent::kindText(alarm.kind);
    row.value = alarm.value;
    row.alarmPoint = alarm.alarmPoint;
    row.raised = alarm.raised;
    row.cleared = alarm.cleared;
    row.acked = alarm.acked;
    if (!alarm.cleared.empty())
        row.reason = alarm.clearText();
    return row;
}

void RecordWriter::storeHeldAlarms()
{
    auto *database = static_cast<RecordDatabase *>(AppContext::instance().object(RecordDb));
    if (!database) {
        if (!heldAlarms.empty())
            alarmResult = SQLITE_MISUSE;
        return;
    }
    // The last try was refused for another reason than the file's state: the table is gone
    // or changed under the station. Made again where it is missing, so that the log goes on.
    if (alarmResult != 0 && !passing(alarmResult))
        database->restoreAlarmTable();
    // Before any change of this run; it is no row of its own, so it is neither counted nor
    // reported, and it is given up only when refused for good.
    if (!openAlarmsClearedAt.empty()) {
        const int rc = database->clearOpenAlarms(
            openAlarmsClearedAt, AlarmEvent::reasonText(AlarmEvent::StationStopped));
        if (rc != 0 && passing(rc)) {
            if (!heldAlarms.empty())
                alarmResult = rc;
            return;
        }
        openAlarmsClearedAt.clear();
    }
    alarmResult = 0;
    while (!heldAlarms.empty()) {
        const HeldAlarm &next = heldAlarms.front();
        const AlarmRow row = rowOf(next.alarm);
        // A raise stored by this writer, else the row the alarm was taken over from.
        const auto known = alarmIds.find(next.alarm.serial);
        const qint64 id = known != alarmIds.end() ? known->second : next.alarm.row;
        int64_t inserted = 0;
        int rc = next.change == AlarmLogEntry::Raise
                     ? database->insertAlarm(row, &inserted)
                     : database->updateAlarm(row, id, next.change == AlarmLogEntry::Acknowledge);
        if (rc == RecordDatabase::NoAlarmRow) {
            // The log would say less than happened: told, never dropped quietly, and the
            // alarm as a whole row, which the change carries.
            qWarning("hydrovane: the %s of the alarm %s %s of %s raised %s finds no row in the "
                     "alarm log",
                     next.change == AlarmLogEntry::Clear ? "clear" : "acknowledgement",
                     next.alarm.factor.c_str(), next.alarm.kindText(), next.alarm.name.c_str(),
                     next.alarm.raised.c_str());
            rc = database->insertAlarm(row, &inserted);
            if (rc == 0) {
                RecordingStatus::instance().reportUnmatchedAlarm();
                alarmIds[next.alarm.serial] = inserted;
            }
        }
        // Every refusal of a change of ours is the table's or the file's: the change waits,
        // in its order, and is bounded with the others.
        if (rc != 0) {
            alarmResult = rc;
            return;
        }
        if (next.change == AlarmLogEntry::Raise) {
            alarmIds[next.alarm.serial] = inserted;
            emit signal_alarmStored(next.alarm.serial, inserted);
        }
        // Only what the log holds goes out.
        RecordSink::publishAlarm(next.change, next.alarm);
        // Cleared and acknowledged, the alarm changes no more.
        if ((next.change == AlarmLogEntry::Acknowledge && !next.alarm.cleared.empty()) ||
            (next.change == AlarmLogEntry::Clear && !next.alarm.acked.empty()))
            alarmIds.erase(next.alarm.serial);
        heldAlarms.pop_front();
    }
}

void RecordWriter::storeHeld(qint64 &dropped)
{
    auto *database = static_cast<RecordDatabase *>(AppContext::instance().object(RecordDb));
    if (!database && !held.empty()) {
        lastResult = SQLITE_MISUSE; // no database at all: as a closed one
        return;
    }
    // Held rows go in together, in batches bounded so the database's lock is never held long;
    // after a refusal the oldest row alone tries whether the database takes rows again.
    constexpr size_t batchRows = 1024;
    std::vector<const RecordRow *> batch;
    std::vector<int> results;
    while (!held.empty()) {
        batch.clear();
        const size_t rows = lastResult != 0 && passing(lastResult) ? 1 : batchRows;
        for (size_t i = 0; i < held.size() && i < rows; ++i)
            batch.push_back(&held[i]);
        database->insertRows(batch, results);
        // A row refused for a passing reason stays held, in order; the others are settled.
        std::deque<RecordRow> kept;
        for (size_t i = 0; i < batch.size(); ++i) {
            if (results[i] != 0 && passing(results[i])) {
                if (kept.empty())
                    lastResult = results[i];
                kept.push_back(std::move(held[i]));
            } else if (results[i] == 0) {
                // Committed, the row goes out; one refused for good is lost to both.
                RecordSink::publishRow(held[i]);
            } else {
                ++dropped;
            }
        }
        if (kept.empty())
            lastResult = results.back();
        held.erase(held.begin(), held.begin() + std::ptrdiff_t(batch.size()));
        if (!kept.empty()) {
            held.insert(held.begin(), std::make_move_iterator(kept.begin()),
                        std::make_move_iterator(kept.end()));
            return;
        }
    }
}

void RecordWriter::publishAlarms(qint64 dropped)
{
    const qint64 nowHeld = qint64(heldAlarms.size());
    const bool failing = alarmResult != 0 && nowHeld > 0;
    RecordingStatus::instance().publishAlarms(nowHeld - publishedAlarmHeld, dropped,
                                              int(failing) - int(publishedAlarmFailing),
                                              failing ? alarmResult : 0);
    publishedAlarmHeld = nowHeld;
    publishedAlarmFailing = failing;
}

void RecordWriter::publish(qint64 dropped)
{
    const qint64 nowHeld = qint64(held.size());
    // A row refused for good is counted as dropped; only rows still waiting make a failure.
    const bool failing = lastResult != 0 && nowHeld > 0;
    const bool troubled = failing && !lockedByUs(lastResult);
    RecordingStatus::instance().publish(nowHeld - publishedHeld, dropped,
                                        int(failing) - int(publishedFailing),
                                        int(troubled) - int(publishedTroubled),
                                        troubled ? lastResult : 0);
    publishedHeld = nowHeld;
    publishedFailing = failing;
    publishedTroubled = troubled;
}

void RecordWriter::waitForQueued()
{
    QSemaphore passed;
    if (queueMarker(passed))
        passed.acquire();
    ThreadHandOff::acquire();
}

void RecordWriter::waitForAll()
{
    QSemaphore passed;
    int queued = 0;
    {
        // Held while queueing only: a writer cannot be deleted under a marker being queued.
        Registry &all = registry();
        std::lock_guard<std::mutex> locker(all.mutex);
        for (RecordWriter *writer : qAsConst(all.writers))
            queued += writer->queueMarker(passed) ? 1 : 0;
    }
    passed.acquire(queued);
    ThreadHandOff::acquire();
}

void RecordWriter::stopThread(RecordWriter *writer, QThread *thread)
{
    if (writer)
        writer->waitForQueued();
    if (thread)
        ThreadHandOff::stop(writer, thread);
}
