#include "recordwriter.h"

#include "app/appcontext.h"
#include "storage/recorddatabase.h"

#include <QCoreApplication>
#include <QMutex>
#include <QSemaphore>
#include <QSet>
#include <QThread>

#include <memory>

namespace {

// Every live writer, so that an exit can wait for all of them without knowing the panels.
struct Registry
{
    QMutex mutex;
    QSet<RecordWriter *> writers;
};

Registry &registry()
{
    static Registry instance;
    return instance;
}

// Queues a marker behind the rows already queued to writer. The marker's semaphore release
// happens when the marker is run or dropped with a deleted writer, so a wait never hangs.
bool queueMarker(RecordWriter *writer, QSemaphore &passed)
{
    QThread *thread = writer->thread();
    if (thread == QThread::currentThread()) {
        QCoreApplication::sendPostedEvents(writer, QEvent::MetaCall);
        return false;
    }
    if (!thread || !thread->isRunning())
        return false;
    auto releaser = std::make_shared<QSemaphoreReleaser>(passed);
    QMetaObject::invokeMethod(
        writer, [releaser] {}, Qt::QueuedConnection);
    return true;
}

} // namespace

RecordWriter::RecordWriter(QObject *parent) : QObject(parent)
{
    Registry &all = registry();
    QMutexLocker locker(&all.mutex);
    all.writers.insert(this);
}

RecordWriter::~RecordWriter()
{
    Registry &all = registry();
    QMutexLocker locker(&all.mutex);
    all.writers.remove(this);
}

void RecordWriter::record(void *writer, void *data)
{
    RecordRow *row = static_cast<RecordRow *>(data);
    auto *database = static_cast<RecordDatabase *>(AppContext::instance().object(RecordDb));
    if (database && row)
        database->insert(*row);
    delete row;
    emit signal_recordDone(writer);
}

void RecordWriter::waitForQueued()
{
    QSemaphore passed;
    if (queueMarker(this, passed))
        passed.acquire();
}

void RecordWriter::waitForAll()
{
    QSemaphore passed;
    int markers = 0;
    {
        // Held while queueing only: a writer cannot be deleted under a marker being queued.
        Registry &all = registry();
        QMutexLocker locker(&all.mutex);
        for (RecordWriter *writer : qAsConst(all.writers))
            markers += queueMarker(writer, passed) ? 1 : 0;
    }
    passed.acquire(markers);
}

void RecordWriter::stopThread(RecordWriter *writer, QThread *thread)
{
    if (writer)
        writer->waitForQueued();
    if (thread) {
        thread->quit();
        thread->wait();
    }
}
