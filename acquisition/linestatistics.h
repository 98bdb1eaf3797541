#ifndef LINESTATISTICS_H
#define LINESTATISTICS_H

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
};

// The serial line's counters, and whether its device has gone away. Kept by the line
// (ComPortCtrl) and fed by the reader thread, which also makes it govern the exchanges it
// runs (Scope), and by the poll scheduler for skipped ticks. Any thread may take a snapshot.
//
// It also paces the retries of demoted instruments: a retry costs a whole response timeout,
// so the line grants one only where it still fits before the next pass is due, or, when
// none fits, in every other pass at most; the passes in between then start on time.
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

    void passStarted(int intervalSeconds);
    void passEnded();
    void countSkippedTick();
    void countBytes(int sent, int received);
    // Whether a demoted instrument may take a retry costing `cost` now; a granted one is
    // counted against the pass.
    bool grantRetry(Clock::duration cost);
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
    mutable std::mutex lock;
    LineFigures figures;
    ResponseWindow passTimes;
    Clock::time_point passStart;
    Clock::duration interval{0};
    long long lastRetryPass = -2;
    std::string device;
};

#endif // LINESTATISTICS_H
