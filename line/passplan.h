#ifndef PASSPLAN_H
#define PASSPLAN_H

#include <QMetaType>
#include <QtGlobal>

#include <chrono>
#include <vector>

// What one read pass is for: the interval it serves, as the time its rows carry, and the
// earlier intervals the line had no time for, which are recorded as failed before it. Made
// by the poll scheduler, carried to the reader and back with the pass's readings.
struct PassPlan
{
    using Clock = std::chrono::steady_clock;

    // Seconds since the epoch; 0 for "now" (a pass nobody scheduled).
    qint64 stamp = 0;
    // Intervals between the previous pass and this one that got no pass, oldest first.
    std::vector<qint64> missed;
    // Retries of failing instruments are granted where they end before this; the line then
    // still serves the next interval with a whole interval to spare.
    Clock::time_point retryDeadline = Clock::time_point::max();
    // A pass that ends after this leaves an interval without a pass of its own.
    Clock::time_point missDeadline = Clock::time_point::max();

    // The stamp, or the current time for an unscheduled pass.
    qint64 time() const;
};

Q_DECLARE_METATYPE(PassPlan)

#endif // PASSPLAN_H
