#ifndef RECORDWRITER_H
#define RECORDWRITER_H

#include "storage/recordrow.h"

#include <QObject>

#include <deque>
#include <mutex>

class QSemaphore;
class QThread;

// Stores the record rows of one detail panel on a thread of its own, so that the interface
// thread never waits for the database.
//
// Hand-over: the panel emits a heap copy of its row, signal_record(this, new RecordRow(row)),
// connected (queued) to record(). The writer inserts the copy into the registry's record
// database and deletes it, so the panel may refill its own row at once.
//
// A row the database refuses for a passing reason (file read-only, disk full, database busy
// or closed for a moment) is held back and stored, oldest first, before the next row once
// the database takes rows again; at most maxHeld rows are held, beyond that the oldest go.
// Rows held, rows given up (beyond maxHeld, refused for good, or still held when the writer
// goes) and refusals are published to RecordingStatus, for the window to show.
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

signals:
    void signal_recordDone(void *writer);

public:
    // Half an hour of readings of a two-factor monitor polled every second.
    static constexpr size_t maxHeld = 3600;
    // Rows waiting for the database to take them again (writer thread, or after it ended).
    size_t heldRows() const { return held.size(); }

private slots:
    // Releases the oldest marker's semaphore: every row queued before it has been handled.
    void passMarker();

private:
    // Queues a marker behind the rows already queued; its semaphore is released when the
    // marker is passed or the writer deleted, so a wait never hangs.
    bool queueMarker(QSemaphore &passed);
    // Stores the held rows oldest first until the database refuses one for a passing reason;
    // a row refused for good is given up and counted in dropped.
    void storeHeld(qint64 &dropped);
    // Tells RecordingStatus what changed since the last call.
    void publish(qint64 dropped);

    std::deque<RecordRow> held;
    // The last insert tried: 0 stored, else the database's refusal.
    int lastResult = 0;
    // What RecordingStatus holds of this writer.
    qint64 publishedHeld = 0;
    bool publishedFailing = false;
    bool publishedTroubled = false;
    std::mutex markerMutex;
    std::deque<QSemaphore *> markers;
};

#endif // RECORDWRITER_H
