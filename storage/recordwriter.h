#ifndef RECORDWRITER_H
#define RECORDWRITER_H

#include <QObject>

class QThread;

// Stores the record rows of one detail panel on a thread of its own, so that the interface
// thread never waits for the database.
//
// Hand-over: the panel emits a heap copy of its row, signal_record(this, new RecordRow(row)),
// connected (queued) to record(). The writer inserts the copy into the registry's record
// database and deletes it, so the panel may refill its own row at once.
//
// Shut-down: rows still queued when the thread's event loop ends would be dropped and their
// copies leaked. The owner therefore ends the thread with stopThread(writer, thread) instead
// of quit() and wait(); the thread's finished() still deletes the writer. At a confirmed exit
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
    // Stores what is queued, then quits the thread and waits for it without time limit.
    static void stopThread(RecordWriter *writer, QThread *thread);

public slots:
    // writer: the sending panel, passed on in signal_recordDone; data: a RecordRow this
    // writer takes over and deletes. A failed insert is not reported.
    void record(void *writer, void *data);

signals:
    void signal_recordDone(void *writer);
};

#endif // RECORDWRITER_H
