#ifndef LINESTATISTICS_H
#define LINESTATISTICS_H

#include "passplan.h"
#include "responsewindow.h"

#include <chrono>
#include <mutex>
#include <string>

#include <modbus.h>

// What the interface shows of the line as a whole, since it was switched on.
struct LineFigures
{
    long long passes = 0;
    int lastPassMs = -1; // -1 before the first pass
    int medianPassMs = -1;
    int maxPassMs = -1;
    long long skippedTicks = 0; // poll ticks that found the previous pass still running
    long long bytesSent = 0;    // RTU frames of the requests and of the complete answers
    long long bytesReceived = 0;
    bool lost = false; // the device went away; the reader is reopening it
    // Of the latest passes, the time the line needed for its answers alone (timeouts and
    // other failed exchanges left out): what the wire itself allows. -1 before a pass.
    int workMs = -1;
    // The shortest whole read interval the line can keep with every instrument answering;
    // 0 while unknown.
    int shortestIntervalSeconds = 0;
};

// The serial line's counters, and whether its device has gone away. Kept by the line
// (ComPortCtrl) and fed by the reader thread, which also makes it govern the exchanges it
// runs (Scope), and by the poll scheduler for skipped ticks. Any thread may take a snapshot.
//
// It also paces the retries of failing instruments: a retry costs a whole response timeout,
// so the line grants one only where it ends before the pass's retry deadline (the next
// interval is then still served in time with room to spare). One that has waited long
// without room is granted once in a pass where it still leaves no interval without a pass,
// and one that has waited for the retry cap is granted once in a pass whatever it costs.
class LineStatistics
{
public:
    using Clock = std::chrono::steady_clock;

    LineStatistics() = default;
    LineStatistics(const LineStatistics &) = delete;
    LineStatistics &operator=(const LineStatistics &) = delete;

    // Process-wide, on by default. Off, the counters and time windows the line status view
    // shows (bytes, skipped ticks, pass times; the instruments' counters and response times)
    // are not kept; passes are still counted, and demotion, the pacing of retries and the
    // detection of a lost line work as before. Benchmarks measure the station without them
    // in the same run.
    static void setCountingEnabled(bool on);
    static bool countingEnabled();

    LineFigures snapshot() const;
    // Counters cleared and the line not lost, as for a line switched on.
    void reset();

    // The pass's plan gives its deadlines for retries.
    void passStarted(const PassPlan &plan);
    void passEnded();
    // Time spent in an exchange that failed, which the pass's work time leaves out.
    void countFailedTime(Clock::duration spent);
    // The work time of the latest passes (median of the last three); -1 before any.
    int recentWorkMs() const;
    void countSkippedTick();
    void countBytes(int sent, int received);
    // Whether a failing instrument that has waited `waited` since its last exchange may take
    // a retry costing `cost` now: where it fits before the retry deadline; once in a pass
    // when it has waited `forceAfter` and still fits before the miss deadline; once in a pass
    // when it has waited `capAfter`.
    bool grantRetry(Clock::duration cost, Clock::duration waited, Clock::duration forceAfter,
                    Clock::duration capAfter);
    // What a retry of a silent instrument costs: the context's response timeout and the
    // settling after it.
    static Clock::duration retryCost(modbus_t *context);

    void setLost(bool on);
    bool isLost() const;
    // The device the line was opened on, for telling a removed device from a silent line.
    void setDevice(const std::string &path);
    bool deviceGone() const;

    // The statistics of the line the calling thread's exchanges run on; null outside any
    // Scope.
    static LineStatistics *current();

    class Scope
    {
    public:
        explicit Scope(LineStatistics *statistics);
        ~Scope();
        Scope(const Scope &) = delete;
        Scope &operator=(const Scope &) = delete;

    private:
        LineStatistics *previous;
    };

private:
    int recentWorkLocked() const;

    mutable std::mutex lock;
    LineFigures figures;
    ResponseWindow passTimes;
    Clock::time_point passStart;
    Clock::time_point retryDeadline = Clock::time_point::max();
    Clock::time_point missDeadline = Clock::time_point::max();
    bool forcedRetry = false; // one granted without room in this pass
    Clock::duration failedTime{0};
    int works[3] = {-1, -1, -1}; // work ms of the latest passes, newest at workCount % 3
    long long workCount = 0;
    std::string device;
};

#endif // LINESTATISTICS_H
