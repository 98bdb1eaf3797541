#ifndef LINEHEALTH_H
#define LINEHEALTH_H

#include "instruments/syncfailure.h"
#include "responsewindow.h"

#include <chrono>
#include <mutex>
#include <string>

// What the interface shows of one instrument's traffic: counters since the line was switched
// on, and whether it is demoted.
struct InstrumentHealth
{
    long long exchanges = 0; // requests put on the wire, answered or not
    long long noAnswer = 0;
    long long frameErrors = 0; // bad CRC, framing, wrong length, answer from another id
    long long exceptionAnswers = 0;
    long long otherModel = 0;  // syncs that found another model
    long long unsupported = 0; // syncs that found a configuration the model does not know
    long long portErrors = 0;  // the port itself failed
    int lastResponseMs = -1;   // of good answers; -1 while there was none
    int medianResponseMs = -1;
    int maxResponseMs = -1;
    long long lastGoodAnswerMs = 0; // wall clock, ms since the epoch; 0 for never
    int consecutiveFailures = 0;
    bool demoted = false;
    int nextTryPasses = 0;     // demoted: passes skipped before the next try
    double nextTrySeconds = 0; // demoted: estimated seconds until the next try
    SyncFailure lastFailure;   // of the latest failed exchange or sync since the last good one

    // The last failure in Chinese, without the "未同步：" prefix; empty when there is none.
    std::string reasonText() const;
};

// One instrument's exchange statistics and demotion. An instrument that fails
// `demoteAfter` exchanges in a row is demoted: its reads and automatic syncs are skipped,
// and it is tried again after 1 pass, then 2, 4, 8, ... passes, but never more than
// maxRetrySeconds after its previous try; its first good answer promotes it. A skipped read
// counts as a failed one for the operator (status 'B'), so the record keeps its interval.
// An instrument whose last exchange failed is asked after the others of its pass and only
// where the line has room (Due), so that a newly silent one does not cost the others their
// readings on its way down; the answer it then gives is the pass's reading.
//
// The reader thread decides (mayTry, record*); the interface thread reads snapshot() and
// asks for an immediate try (tryNow). Everything is guarded by a lock of its own, held
// only for a few instructions.
class LineHealth
{
public:
    static constexpr int demoteAfter = 3;
    static constexpr int maxRetrySeconds = 60;

    // Process-wide, on by default. Off, nobody is demoted: benchmarks measure the station
    // without it in the same run.
    static void setDemotionEnabled(bool on);
    static bool demotionEnabled();

    LineHealth() = default;
    LineHealth(const LineHealth &) = delete;
    LineHealth &operator=(const LineHealth &) = delete;

    enum Turn
    {
        Try,  // not demoted, or the operator asked: on the wire now
        Skip, // demoted and not due yet
        Due   // demoted and due, or its last exchange failed: on the wire when the line has
              // room for a retry
    };

    // Reader thread, once per read or sync. A demoted instrument's skipped opportunity
    // counts towards its next try.
    Turn nextTurn(bool sync);
    // Reader thread: a Due instrument is put on the wire now.
    void retrying();
    // Demoted and due, for the order of retries: the one waiting longest goes first.
    std::chrono::steady_clock::time_point lastTryTime() const;
    // Since the instrument was last on the wire.
    std::chrono::steady_clock::duration waited() const;
    // How long a due instrument waits for room on the line before it is tried where that
    // leaves no interval without a pass: five passes (5 s to the cap) while it is failing,
    // the cap once demoted.
    std::chrono::steady_clock::duration forceRetryAfter() const;
    // How long a due instrument waits at most before it is tried whatever that costs: the
    // retry cap less the margin that keeps retries within it.
    static std::chrono::steady_clock::duration retryCap();
    // Reader thread: an exchange that went on the wire ended with `outcome` (None for a
    // good answer) after `elapsed`. Port errors count, but do not demote: they are the
    // line's, not the instrument's.
    void recordExchange(const SyncFailure &outcome, std::chrono::steady_clock::duration elapsed);
    // Reader thread: a sync whose exchanges went through found the instrument unusable.
    void recordSyncRefusal(const SyncFailure &reason);

    // Any thread: the next read or sync is tried whatever the demotion (the operator's 同步).
    void tryNow();
    // Any thread: counters and demotion cleared, as for a line switched on.
    void reset();
    InstrumentHealth snapshot() const;

private:
    using Clock = std::chrono::steady_clock;

    void demoteFurther(Clock::time_point now);

    mutable std::mutex lock;
    InstrumentHealth figures;
    ResponseWindow responses;
    bool forced = false;
    int backoff = 0;   // passes between tries while demoted
    int skipsLeft = 0; // passes still to skip before the next try
    Clock::time_point lastTry;
    Clock::time_point lastOpportunity;
    Clock::duration passGap{0}; // between the latest two opportunities
};

#endif // LINEHEALTH_H
