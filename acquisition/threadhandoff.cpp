#include "threadhandoff.h"

#include <QObject>
#include <QThread>

#if defined(__SANITIZE_THREAD__)

extern "C" void __tsan_acquire(void *address);
extern "C" void __tsan_release(void *address);

namespace {
// One token for every hand-over: each taker sees everything handed over before it.
char token;
} // namespace

void ThreadHandOff::release()
{
    __tsan_release(&token);
}

void ThreadHandOff::acquire()
{
    __tsan_acquire(&token);
}

#endif

void ThreadHandOff::start(QObject *worker, QThread *thread)
{
    worker->moveToThread(thread);
    // Runs on the ending thread, after the last slot of worker.
    QObject::connect(thread, &QThread::finished, [] { release(); });
    release();
    thread->start(QThread::InheritPriority);
}

void ThreadHandOff::stop(QObject *worker, QThread *thread)
{
    thread->quit();
    thread->wait();
    acquire();
    delete worker;
}

void ThreadHandOff::drain(QObject *worker)
{
    QMetaObject::invokeMethod(
        worker, [] { release(); }, Qt::BlockingQueuedConnection);
    acquire();
}

void ThreadHandOff::finish(QObject *worker, QThread *thread)
{
    QMetaObject::invokeMethod(
        worker, [] { QThread::currentThread()->quit(); }, Qt::QueuedConnection);
    thread->wait();
    acquire();
    delete worker;
}
