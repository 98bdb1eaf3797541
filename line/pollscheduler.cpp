#include "pollscheduler.h"

#include "instruments/monitorcollection.h"
#include "linestatistics.h"

#include <QDateTime>
#include <QTimer>

#include <algorithm>

namespace {

// A precise timer may still fire a little before its time; such a tick serves the interval
// it was meant for.
const auto earlyTick = std::chrono::milliseconds(20);
// The wall clock ahead of the stamps by more than this was set forward: stamps follow it.
const qint64 clockStepSeconds = 2;

} // namespace

PollScheduler::PollScheduler(ReadClient *client, QObject *parent)
    : QObject(parent), client(client), readTimer(new QTimer(this)),
      steadyNow([] { return Clock::now(); }),
      wallNow([] { return QDateTime::currentSecsSinceEpoch(); })
{
    qRegisterMetaType<PassPlan>("PassPlan");
    // A coarse timer may fire 5 % early: at 30 s a pass would start 1.5 s before its time.
    readTimer->setTimerType(Qt::PreciseTimer);
    connect(readTimer, &QTimer::timeout, this, &PollScheduler::tick);
}

void PollScheduler::setClocks(std::function<Clock::time_point()> steady,
                              std::function<qint64()> wall)
{
    steadyNow = std::move(steady);
    wallNow = std::move(wall);
}

void PollScheduler::start(int seconds)
{
    const int clamped = std::clamp(seconds, 1, MonitorCollection::maxInterval);
    interval = std::chrono::seconds(clamped);
    readTimer->start(clamped * 1000);
    overloaded = false;
    anchor();
    // At once, even with a pass of the previous switch-on still queued.
    PassPlan pass;
    pass.stamp = base;
    pass.retryDeadline = origin + 2 * interval;
    pass.missDeadline = origin + 3 * interval;
    next = 1;
    request(pass, 0);
}

void PollScheduler::stop()
{
    readTimer->stop();
}

void PollScheduler::passDone()
{
    if (pending == 0)
        return;
    --pending;
    lateTold = false;
    const Clock::time_point now = steadyNow();
    lastDone = now;
    lastPass = now - passStart;
    if (!served.empty())
        served.pop_front();
    judgeLoad();
    plan();
}

bool PollScheduler::isActive() const
{
    return readTimer->isActive();
}

bool PollScheduler::isLate() const
{
    if (!readTimer->isActive() || pending == 0)
        return false;
    if (overloaded)
        return steadyNow() - lastDone > 2 * std::max(interval, lastPass);
    // Two intervals after the start of the interval the pass under way serves.
    return !served.empty() && served.front() >= 0 && currentInterval() - served.front() >= 2;
}

void PollScheduler::tick()
{
    if (!readTimer->isActive())
        return;
    if (pending == 0) {
        plan();
        return;
    }
    if (line)
        line->countSkippedTick();
    if (!lateTold && isLate()) {
        lateTold = true;
        emit signal_late();
    }
}

void PollScheduler::plan()
{
    if (pending > 0 || !readTimer->isActive())
        return;
    PassPlan pass;
    if (overloaded) {
        // One pass after the other, each stamped with its own start.
        pass.stamp = nextFreeStamp();
        request(pass, -1);
        return;
    }
    const long long current = currentInterval();
    if (next > current)
        return;
    // Intervals two or more behind get no pass of their own: their time was used up.
    const long long serve = std::max(next, current - 1);
    const qint64 seconds = std::chrono::duration_cast<std::chrono::seconds>(interval).count();
    const qint64 drift =
        wallNow() - base -
        std::chrono::duration_cast<std::chrono::seconds>(steadyNow() - origin).count();
    if (drift > clockStepSeconds)
        base += drift;
    for (long long k = next; k < serve; ++k)
        pass.missed.push_back(base + k * seconds);
    pass.stamp = base + serve * seconds;
    pass.retryDeadline = origin + (serve + 2) * interval;
    pass.missDeadline = origin + (serve + 3) * interval;
    next = serve + 1;
    request(pass, serve);
}

void PollScheduler::request(const PassPlan &pass, long long index)
{
    ++pending;
    lastStamp = std::max(lastStamp, pass.stamp);
    passStart = steadyNow();
    served.push_back(index);
    emit signal_read(static_cast<void *>(client), pass);
}

void PollScheduler::anchor()
{
    origin = steadyNow();
    base = nextFreeStamp();
    next = 0;
    lastDone = origin;
}

long long PollScheduler::currentInterval() const
{
    return (steadyNow() - origin + earlyTick) / interval;
}

qint64 PollScheduler::nextFreeStamp() const
{
    return std::max(wallNow(), lastStamp + 1);
}

void PollScheduler::judgeLoad()
{
    if (!line)
        return;
    const int workMs = line->recentWorkMs();
    if (workMs < 0)
        return;
    const auto work = std::chrono::milliseconds(workMs);
    if (!overloaded && work >= interval) {
        overloaded = true;
    } else if (overloaded && work * 10 < interval * 9) {
        // The interval fits again: its schedule starts afresh from now.
        overloaded = false;
        readTimer->start();
        anchor();
    }
}
