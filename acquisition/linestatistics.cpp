#include "linestatistics.h"

#include <atomic>

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
    return copy;
}

void LineStatistics::reset()
{
    std::lock_guard<std::mutex> guard(lock);
    figures = LineFigures();
    passTimes.clear();
    lastRetryPass = -2;
}

void LineStatistics::passStarted(int intervalSeconds)
{
    std::lock_guard<std::mutex> guard(lock);
    passStart = Clock::now();
    interval = std::chrono::seconds(intervalSeconds);
}

void LineStatistics::passEnded()
{
    std::lock_guard<std::mutex> guard(lock);
    if (passStart == Clock::time_point())
        return;
    // The retries are paced by the passes, counting or not.
    ++figures.passes;
    if (countingEnabled())
        passTimes.add(
            int(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - passStart)
                    .count()));
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

bool LineStatistics::grantRetry(Clock::duration cost)
{
    std::lock_guard<std::mutex> guard(lock);
    const bool fits = Clock::now() + cost < passStart + interval;
    // `passes` counts the passes ended: the one under way is passes + 1.
    if (!fits && figures.passes - lastRetryPass < 2)
        return false;
    lastRetryPass = figures.passes;
    return true;
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
