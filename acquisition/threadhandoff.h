#ifndef THREADHANDOFF_H
#define THREADHANDOFF_H

#include <QMutexLocker>

class QObject;
class QThread;

// Work passes between the station's threads through Qt's queued signals, its thread ends and
// its mutex, whose futex-based ordering ThreadSanitizer cannot see in an uninstrumented Qt 5.
// The side that hands over calls release() after its last write and before the signal, the
// mutex unlock or the thread's end; the side that takes over calls acquire() first. Outside
// ThreadSanitizer builds both are empty.
//
// start() and stop() run a worker object on a thread of its own with those hand-overs at the
// thread's start and end.
class ThreadHandOff
{
public:
#if defined(__SANITIZE_THREAD__)
    static void release();
    static void acquire();
#else
    static void release() {}
    static void acquire() {}
#endif

    // Moves worker onto thread and starts the thread.
    static void start(QObject *worker, QThread *thread);
    // Ends thread's event loop once its current event is done, waits for it, and deletes
    // worker on the calling thread; events still queued to worker are dropped.
    static void stop(QObject *worker, QThread *thread);
    // The same, but the events already queued to worker are handled first.
    static void finish(QObject *worker, QThread *thread);
    // Returns once every event queued to worker, on its running thread, has been handled.
    static void drain(QObject *worker);
};

// A QMutexLocker whose holder takes over what the mutex's last holder handed over.
class HandOffLocker
{
public:
    explicit HandOffLocker(QMutex *mutex) : locker(mutex) { ThreadHandOff::acquire(); }
    ~HandOffLocker() { unlock(); }
    HandOffLocker(const HandOffLocker &) = delete;
    HandOffLocker &operator=(const HandOffLocker &) = delete;

    void unlock()
    {
        if (!locked)
            return;
        locked = false;
        ThreadHandOff::release();
        locker.unlock();
    }

private:
    QMutexLocker locker;
    bool locked = true;
};

#endif // THREADHANDOFF_H
