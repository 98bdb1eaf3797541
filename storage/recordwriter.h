#ifndef RECORDWRITER_H
#define RECORDWRITER_H

#include "acquisition/alarmrules.h"
#include "storage/alarmrow.h"
#include "storage/recordrow.h"

#include <QObject>

#include <atomic>
#include <deque>
#include <mutex>
#include <unordered_map>

class QSemaphore;
class QThread;

// Stores the record rows of one detail panel on a thread of its own, so that the interface
// thread never waits for the database.
//
// Hand-over: the panel emits a heap copy of its row, signal_record(this, new RecordRow(row)),
// connected (queued) to record(), or a heap vector of the rows of a whole pass to
// recordRows(). The writer inserts the copies into the registry's record database, those
// waiting together in one transaction, and deletes them, so the panel may refill its own row
// at once.
//
// A row the database refuses for a passing reason (file read-only, disk full, database busy
// or closed for a moment) is held back and stored, oldest first, before the next row once
// the database takes rows again; at most maxHeld rows are held, beyond that the oldest go.
// Rows held, rows given up (beyond maxHeld, refused for good, or still held when the writer
// goes) and refusals are published to RecordingStatus, for the window to show. A row is handed
// to the RecordSink (the MQTT publisher) once it is committed, never before: a row the
// database refuses for good is not published, so every outside copy is a copy of the database.
//
// The alarm log goes through a writer too (alarm(), connected queued to
// AlarmRules::signal_log): raises insert rows into table Alarm, clears and acknowledgements
// update them, and each change is handed to the sink once stored. They are held and retried
// like record rows, in the order they happened, so that a clear never overtakes its raise;
// held ones are also retried every alarmRetryMs. Every refusal holds them, whatever its code:
// the changes are ours, so a refusal is the table's (dropped or changed under the station,
// made again at the next try) or the file's. Their trouble is published to RecordingStatus
// apart from the records'. A clear or acknowledgement that finds no row is reported (qWarning
// and RecordingStatus), and the alarm it carries is stored as a whole row instead. Where the log
// moves to another file (an import, AlarmLogEntry::SwitchLog) the writer runs the switch between
// the changes for the old file and those for the new one.
//
// Shut-down: rows still queued when the thread's event loop ends would be dropped and their
// copies leaked. The owner therefore runs the writer with ThreadHandOff::start(writer, thread)
// and ends it with stopThread(writer, thread), which also deletes the writer. At a confirmed exit
// AppContext::shutdown calls waitForAll() before it closes the databases.
class RecordWriter : public QObject
{
    Q_OBJECT

public:
    explicit RecordWriter(QObject *parent = nullptr);
    ~RecordWriter() override;

    // Blocks until every row queued to this writer so far is stored. Call it from another
    // thread than the writer's, while the writer's thread runs.
    void waitForQueued();
    // The same for every writer in the process whose thread runs.
    static void waitForAll();
    // Stores what is queued, then quits the thread, waits for it without time limit and
    // deletes writer.
    static void stopThread(RecordWriter *writer, QThread *thread);

public slots:
    // writer: the sending panel, passed on in signal_recordDone; data: a RecordRow this
    // writer takes over and deletes. A failed insert is published to RecordingStatus.
    void record(void *writer, void *data);
    // The same for a std::vector<RecordRow> this writer takes over; one signal_recordDone.
    void recordRows(void *writer, void *rows);

    // A change of an alarm for table Alarm.
    void alarm(const AlarmLogEntry &entry);
    // Alarm rows left active by an earlier run are marked cleared at time (at start, when they
    // cannot be taken over), before any later change of an alarm is stored.
    void clearOpenAlarms(qint64 time);

signals:
    void signal_recordDone(void *writer);
    // A raised alarm's row is in the table with id.
    void signal_alarmStored(quint64 serial, qint64 id);

public:
    // Half an hour of readings of a two-factor monitor polled every second.
    static constexpr size_t maxHeld = 3600;
    // A writer shared by several panels holds as many rows as their own writers would (any
    // thread; maxHeld until set).
    void setHeldLimit(size_t rows) { heldLimit = rows; }
    // Rows waiting for the database to take them again (writer thread, or after it ended).
    size_t heldRows() const { return held.size() + heldAlarms.size(); }
    static constexpr int alarmRetryMs = 5000;

private slots:
    // Releases the oldest marker's semaphore: every row queued before it has been handled.
    void passMarker();
    void retryAlarms();

private:
    // Queues a marker behind the rows already queued; its semaphore is released when the
    // marker is passed or the writer deleted, so a wait never hangs.
    bool queueMarker(QSemaphore &passed);
    // Stores the held rows oldest first until the database refuses one for a passing reason;
    // a row refused for good is given up and counted in dropped.
    void storeHeld(qint64 &dropped);
    // Tells RecordingStatus what changed since the last call, of the records and of the
    // alarm log.
    void publish(qint64 dropped);
    // After rows were taken: stores the held ones, bounds and publishes them; tells the sender
    // when it handed rows.
    void storeAndBound(void *writer, bool handed);
    void publishAlarms(qint64 dropped);

    // Stores the held alarm changes in order until the database refuses one.
    void storeHeldAlarms();
    // Holds an alarm change, tries the held ones, bounds and publishes them.
    void holdAlarm(int change, const AlarmEvent &alarm);
    // Stores what the old file still takes, moves the log and carries the cleared alarms that
    // wait for an acknowledgement into the new file.
    void switchLog(AlarmLogSwitch &logSwitch);
    static AlarmRow rowOf(const AlarmEvent &alarm);

    std::deque<RecordRow> held;
    std::atomic<size_t> heldLimit{maxHeld};
    struct HeldAlarm
    {
        int change; // AlarmLogEntry::Change
        AlarmEvent alarm;
    };
    std::deque<HeldAlarm> heldAlarms;
    // The time of a clearOpenAlarms not yet done; empty when none is due.
    std::string openAlarmsClearedAt;
    // Row ids of the alarms raised or carried through this writer that may still change (not
    // both cleared and acknowledged), by serial.
    std::unordered_map<quint64, qint64> alarmIds;
    bool alarmRetryQueued = false;
    // The last insert tried: 0 stored, else the database's refusal.
    int lastResult = 0;
    // The last alarm statement tried: 0 stored, else the database's refusal.
    int alarmResult = 0;
    // What RecordingStatus holds of this writer.
    qint64 publishedAlarmHeld = 0;
    bool publishedAlarmFailing = false;
    qint64 publishedHeld = 0;
    bool publishedFailing = false;
    bool publishedTroubled = false;
    std::mutex markerMutex;
    std::deque<QSemaphore *> markers;
};

#endif // RECORDWRITER_H
