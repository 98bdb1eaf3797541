#include "linestatistics.h"

#include <algorithm>
#include <atomic>
#include <cmath>

#include <sys/stat.h>

namespace {
thread_local LineStatistics *currentLine = nullptr;
std::atomic<bool> counting{true};
} // namespace

void LineStatistics::setCountingEnabled(bool on)
{
    counting.store(on, std::memory_order_relaxed);
}

bool LineStatistics::countingEnabled()
{
    return counting.load(std::memory_order_relaxed);
}

LineFigures LineStatistics::snapshot() const
{
    std::lock_guard<std::mutex> guard(lock);
    LineFigures copy = figures;
    copy.lastPassMs = passTimes.lastMs();
    copy.medianPassMs = passTimes.medianMs();
    copy.maxPassMs = passTimes.maxMs();
    copy.workMs = recentWorkLocked();
    if (copy.workMs >= 0)
        copy.shortestIntervalSeconds = std::max(1, int(std::ceil(copy.workMs * 1.1 / 1000)));
    return copy;
}

void LineStatistics::reset()
{
    std::lock_guard<std::mutex> guard(lock);
    figures = LineFigures();
    passTimes.clear();
    std::fill(std::begin(works), std::end(works), -1);
    workCount = 0;
}

void LineStatistics::passStarted(const PassPlan &plan)
{
    std::lock_guard<std::mutex> guard(lock);
    passStart = Clock::now();
    retryDeadline = plan.retryDeadline;
    missDeadline = plan.missDeadline;
    forcedRetry = false;
    failedTime = Clock::duration(0);
}

void LineStatistics::passEnded()
{
    std::lock_guard<std::mutex> guard(lock);
    if (passStart == Clock::time_point())
        return;
    // The passes and the work time pace the line, counting or not.
    ++figures.passes;
    const Clock::duration took = Clock::now() - passStart;
    if (countingEnabled())
        passTimes.add(int(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
    works[workCount++ % 3] = int(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::max(took - failedTime, Clock::duration(0)))
                                     .count());
}

void LineStatistics::countFailedTime(Clock::duration spent)
{
    std::lock_guard<std::mutex> guard(lock);
    failedTime += spent;
}

int LineStatistics::recentWorkMs() const
{
    std::lock_guard<std::mutex> guard(lock);
    return recentWorkLocked();
}

int LineStatistics::recentWorkLocked() const
{
    if (workCount == 0)
        return -1;
    if (workCount < 3)
        return works[(workCount - 1) % 3];
    int sorted[3] = {works[0], works[1], works[2]};
    std::sort(std::begin(sorted), std::end(sorted));
    return sorted[1];
}

void LineStatistics::countSkippedTick()
{
    if (!countingEnabled())
        return;
    std::lock_guard<std::mutex> guard(lock);
    ++figures.skippedTicks;
}

void LineStatistics::countBytes(int sent, int received)
{
    if (!countingEnabled())
        return;
    std::lock_guard<std::mutex> guard(lock);
    figures.bytesSent += sent;
    figures.bytesReceived += received;
}

bool LineStatistics::grantRetry(Clock::duration cost, Clock::duration waited,
                                Clock::duration forceAfter, Clock::duration capAfter)
{
    std::lock_guard<std::mutex> guard(lock);
    const auto fits = [&](Clock::time_point deadline) {
        return deadline == Clock::time_point::max() || Clock::now() + cost <= deadline;
    };
    if (fits(retryDeadline))
        return true;
    if (forcedRetry)
        return false;
    forcedRetry = waited >= capAfter || (waited >= forceAfter && fits(missDeadline));
    return forcedRetry;
}

LineStatistics::Clock::duration LineStatistics::retryCost(modbus_t *context)
{
    uint32_t seconds = 1;
    uint32_t microseconds = 0;
    if (context)
        modbus_get_response_timeout(context, &seconds, &microseconds);
    return std::chrono::seconds(seconds) + std::chrono::microseconds(microseconds) +
           std::chrono::milliseconds(200);
}

void LineStatistics::setLost(bool on)
{
    std::lock_guard<std::mutex> guard(lock);
    figures.lost = on;
}

bool LineStatistics::isLost() const
{
    std::lock_guard<std::mutex> guard(lock);
    return figures.lost;
}

void LineStatistics::setDevice(const std::string &path)
{
    std::lock_guard<std::mutex> guard(lock);
    device = path;
}

bool LineStatistics::deviceGone() const
{
    std::string path;
    {
        std::lock_guard<std::mutex> guard(lock);
        path = device;
    }
    struct stat info;
    return !path.empty() && stat(path.c_str(), &info) != 0;
}

LineStatistics *LineStatistics::current()
{
    return currentLine;
}

LineStatistics::Scope::Scope(LineStatistics *statistics) : previous(currentLine)
{
    currentLine = statistics;
}

LineStatistics::Scope::~Scope()
{
    currentLine = previous;
}
