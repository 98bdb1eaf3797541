#ifndef POLLSCHEDULER_H
#define POLLSCHEDULER_H

#include "passplan.h"

#include <QObject>

#include <chrono>
#include <deque>
#include <functional>

class LineStatistics;
class QTimer;
class ReadClient;

// Paces the read passes while the line is on. Interval k starts at the switch-on plus k
// read intervals and is stamped with the time of that start; stamps never repeat and never
// go back. A pass that overruns its interval costs the next one nothing: the next pass
// starts as soon as the late one ends, stamped with its own interval's time. Only intervals
// that are two or more intervals old when the line is free again get no pass; they are
// handed over as missed with the next pass, which then serves the interval under way.
//
// A line whose answers alone take longer than the interval (too many instruments for the
// wire) cannot keep it at all: it then polls at the pace it can keep, one pass after the
// other, each stamped with its own start, until the interval fits again.
//
// Lives on the interface thread. Every pass asked for through signal_read() must be
// answered by one passDone(), from the receiver of ComPortReader::signal_readDone(), once
// the pass's readings have been taken from the monitors. The timer is connected to tick();
// whoever forwards its own timer slot to tick() must not connect the timer again.
class PollScheduler : public QObject
{
    Q_OBJECT

public:
    using Clock = std::chrono::steady_clock;

    explicit PollScheduler(ReadClient *client, QObject *parent = nullptr);

    // Starts the timer with max(seconds, 1) seconds (at most a day) and asks for a pass at
    // once, so the first reading does not wait for the first tick.
    void start(int seconds);
    // Stops the timer. Passes already asked for still run and are still answered.
    void stop();
    // A pass asked for has finished; the next one is asked for at once when it is owed.
    void passDone();

    bool isActive() const;
    // Passes asked for and not finished: at most one, or two right after the line was
    // switched off and on again while a pass was still queued.
    int outstanding() const { return pending; }
    const QTimer *timer() const { return readTimer; }
    // Where ticks that found a pass still running are counted and where the time the
    // line's answers take is read from; null for neither.
    void setLineStatistics(LineStatistics *statistics) { line = statistics; }

    // False while the line cannot keep the interval and polls at its own pace.
    bool keepsInterval() const { return !overloaded; }
    // The readings last handed over are two intervals old or older (for a line that cannot
    // keep the interval: two of its passes), so they no longer stand for the present.
    bool isLate() const;

    // Tests: the clocks the schedule is computed from (monotonic, and the wall clock in
    // seconds since the epoch).
    void setClocks(std::function<Clock::time_point()> steady, std::function<qint64()> wall);

public slots:
    // Asks for a pass when one is owed and none is queued or running; a stopped timer asks
    // for nothing.
    void tick();

signals:
    // Carries the ReadClient, as `void *` made from ReadClient *, and what the pass is for.
    void signal_read(void *reader, const PassPlan &plan);
    // At the tick that finds the line late (isLate), once until a pass is answered.
    void signal_late();

private:
    // Asks for the next pass if one is owed now.
    void plan();
    // `index`: the interval served, -1 at the line's own pace.
    void request(const PassPlan &plan, long long index);
    // Interval 0 starts now, stamped no earlier than the wall clock and after every stamp
    // given so far.
    void anchor();
    // The interval under way, counting a tick that fires a little early as on time.
    long long currentInterval() const;
    qint64 nextFreeStamp() const;
    // Follows the time the line's answers take into and out of its own pace.
    void judgeLoad();

    ReadClient *client;
    QTimer *readTimer;
    int pending = 0;
    LineStatistics *line = nullptr;
    std::function<Clock::time_point()> steadyNow;
    std::function<qint64()> wallNow;

    Clock::duration interval{std::chrono::seconds(1)};
    Clock::time_point origin;     // start of interval 0
    qint64 base = 0;              // stamp of interval 0
    long long next = 0;           // the first interval not served yet
    std::deque<long long> served; // of the passes asked for and not answered, in order
    qint64 lastStamp = 0;         // of the latest pass asked for, kept across switch-ons
    bool overloaded = false;
    bool lateTold = false;
    Clock::time_point lastDone;  // when the latest pass was answered (own pace)
    Clock::duration lastPass{0}; // how long it took (own pace)
    Clock::time_point passStart; // of the pass under way (own pace)
};

#endif // POLLSCHEDULER_H
