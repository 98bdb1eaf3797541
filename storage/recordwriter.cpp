#include "recordwriter.h"

#include "acquisition/threadhandoff.h"
#include "app/appcontext.h"
#include "storage/recorddatabase.h"

#include <QCoreApplication>
#include <QSemaphore>
#include <QSet>
#include <QThread>

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

} // namespace

RecordWriter::RecordWriter(QObject *parent) : QObject(parent)
{
    Registry &all = registry();
    std::lock_guard<std::mutex> locker(all.mutex);
    all.writers.insert(this);
}

RecordWriter::~RecordWriter()
{
    Registry &all = registry();
    std::lock_guard<std::mutex> locker(all.mutex);
    all.writers.remove(this);
    // Markers dropped with the writer: their waits end.
    std::lock_guard<std::mutex> marked(markerMutex);
    for (QSemaphore *passed : markers)
        passed->release();
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
        if (held.size() > maxHeld)
            held.pop_front();
    }
    storeHeld();
    if (data) {
        ThreadHandOff::release();
        emit signal_recordDone(writer);
    }
}

void RecordWriter::storeHeld()
{
    auto *database = static_cast<RecordDatabase *>(AppContext::instance().object(RecordDb));
    while (database && !held.empty()) {
        const int result = database->insert(held.front());
        if (result != 0 && passing(result))
            return;
        held.pop_front();
    }
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
