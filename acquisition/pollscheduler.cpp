#include "pollscheduler.h"

#include "linestatistics.h"
#include "monitorcollection.h"

#include <QTimer>

#include <algorithm>

PollScheduler::PollScheduler(ReadClient *client, QObject *parent)
    : QObject(parent), client(client), readTimer(new QTimer(this))
{
    // A coarse timer may fire 5 % early: two readings a second apart could carry the same
    // second, and at 30 s one would come 1.5 s early.
    readTimer->setTimerType(Qt::PreciseTimer);
    connect(readTimer, &QTimer::timeout, this, &PollScheduler::tick);
}

void PollScheduler::start(int seconds)
{
    readTimer->start(std::clamp(seconds, 1, MonitorCollection::maxInterval) * 1000);
    request();
}

void PollScheduler::stop()
{
    readTimer->stop();
}

void PollScheduler::passDone()
{
    if (pending > 0)
        --pending;
}

bool PollScheduler::isActive() const
{
    return readTimer->isActive();
}

void PollScheduler::tick()
{
    if (!readTimer->isActive())
        return;
    if (pending == 0)
        request();
    else if (line)
        line->countSkippedTick();
}

void PollScheduler::request()
{
    ++pending;
    emit signal_read(static_cast<void *>(client));
}
