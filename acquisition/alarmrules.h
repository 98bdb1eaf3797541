#ifndef ALARMRULES_H
#define ALARMRULES_H

#include "alarmfilter.h"
#include "instruments/factorresult.h"
#include "instruments/relay.h"

#include <QMetaType>
#include <QObject>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

class SensorBase;

// One alarm as the alarm bar shows it and the log stores it. Times are local,
// "yyyy-MM-dd hh:mm:ss".
struct AlarmEvent
{
    enum Kind
    {
        High = 0,      // 高报
        Low = 1,       // 低报
        CommsLoss = 2, // 通讯故障
    };
    // Why an alarm cleared.
    enum Reason
    {
        Recovered = 0,      // the condition ended
        LineOff = 1,        // the line was switched off
        MonitorOff = 2,     // the monitor's run switch was turned off
        MonitorRemoved = 3, // the monitor was removed
        Imported = 4,       // another record file was imported
        StationStopped = 5, // the station stopped
        NotWatched = 6,     // left open by an earlier run, for a monitor no longer read
        Duplicate = 7,      // left open by an earlier run beside another of its kind
    };

    // This run's identity of the alarm: acknowledge with it. Never 0.
    quint64 serial = 0;
    // The MonitorBase the alarm belongs to; compare only, it may be gone.
    const void *monitor = nullptr;
    int kind = High;
    std::string name; // the monitor's name when the alarm was raised
    int slave = 0;
    int channel = -1;
    std::string factor;
    std::string value;      // the reading that raised it; empty for 通讯故障
    std::string alarmPoint; // the limit it crossed; empty for 通讯故障
    std::string raised;
    std::string cleared; // empty while active
    std::string acked;   // empty until acknowledged
    int reason = Recovered; // of the clear
    // The id of the alarm's row in the log, when the alarm was taken over from it (resume);
    // otherwise 0, and the log writer learns the id when it stores the raise.
    qint64 row = 0;
    // Held by the chattering rule (AlarmFilter): raised again and again within a short time,
    // it stays active until its condition has stayed away; repeats counts the returns of the
    // condition meanwhile.
    bool chattering = false;
    int repeats = 0;

    // "高报", "低报" or "通讯故障" (UTF-8).
    static const char *kindText(int kind);
    const char *kindText() const { return kindText(kind); }
    // The reason as the log stores it, for example "停止采集" (UTF-8).
    static const char *reasonText(int reason);
    // The reason as the log stores it for this alarm: a chattering one is marked 抖动 with its
    // count, for example "恢复正常（抖动，重复 12 次）".
    std::string clearText() const;
    bool isActive() const { return cleared.empty(); }
};

// The moment the alarm log moves to another file. Carried by the log entry that marks it, it
// runs its work once, on the log writer's thread when that writer reaches the entry: every
// change before it is stored in the file being replaced, every change after it goes to the new
// one.
class AlarmLogSwitch
{
public:
    // work replaces the file and says whether it did.
    explicit AlarmLogSwitch(std::function<bool()> work);
    AlarmLogSwitch(const AlarmLogSwitch &) = delete;
    AlarmLogSwitch &operator=(const AlarmLogSwitch &) = delete;

    // Runs the work unless it ran already; its result either way.
    bool run();
    std::future<bool> result() { return promise.get_future(); }

    // Cleared alarms still waiting for an acknowledgement when the log moved: their rows are
    // carried into the new file so that the acknowledgement reaches a row.
    std::vector<AlarmEvent> unacknowledged;

private:
    std::function<bool()> work;
    std::once_flag once;
    std::promise<bool> promise;
    bool succeeded = false;
};

// A change of an alarm for the log, in the order the changes happened.
struct AlarmLogEntry
{
    enum Change
    {
        Raise,
        Clear,
        Acknowledge,
        // Not a change of `alarm`: the log moves to another file here (logSwitch).
        SwitchLog,
    };
    int change = Raise;
    AlarmEvent alarm;
    std::shared_ptr<AlarmLogSwitch> logSwitch;
};

Q_DECLARE_METATYPE(AlarmEvent)
Q_DECLARE_METATYPE(AlarmLogEntry)

// What the rules see of one reading of a monitor. Pointers are only read during evaluate.
struct AlarmReading
{
    const void *monitor = nullptr;
    const std::string *name = nullptr; // copied only when an alarm is raised
    int slave = 0;
    int channel = -1;
    // The factor the controls act on and its reading; null: the value rules are skipped.
    const SensorBase *sensor = nullptr;
    FactorResult result;
    const Relay *relays = nullptr; // [0] high-point control, [1] low-point control; may be null
    // +1 an exchange with the instrument succeeded, -1 it failed, 0 none was made (a sync's
    // re-evaluation, an unsynced monitor).
    int exchange = 0;
    qint64 time = 0; // of the reading, seconds since the epoch
};

// The alarm rules of the station: the high-point and low-point controls with their hysteresis,
// and the loss of communication after commsLossReads failed reads in a row. It keeps the active
// alarms of every monitor. The value alarms are filtered by an AlarmFilter (on-delay and the
// chattering rule), the station's or the monitor's own; the chattering rule measures its
// windows on a monotonic clock that tests may replace.
//
// Readings are fed on the reader thread, right after each monitor's read; acknowledging and
// listing work from any thread. An unchanged state costs a hash lookup and a few comparisons,
// without allocation. Changes are announced twice, both queued across threads:
// signal_raised / signal_cleared / signal_acked for the display, emitted outside the lock, and
// signal_log for the log writer, emitted under the lock so that the writer gets the changes in
// the order they happened (connect it with Qt::QueuedConnection only). An alarm that clears
// before it was acknowledged stays listed, cleared, until it is acknowledged.
class AlarmRules : public QObject
{
    Q_OBJECT

public:
    static constexpr int commsLossReads = 3;

    static AlarmRules &instance();

    // The process-wide switch; off, evaluate does nothing (the benchmark's run without rules).
    static void setEnabled(bool on);
    static bool isEnabled() { return enabled.load(std::memory_order_relaxed); }

    void evaluate(const AlarmReading &reading);

    // The filter of monitors without one of their own.
    void setDefaultFilter(const AlarmFilter &filter);
    AlarmFilter defaultFilter() const;
    // The monitor's own filter; null: it follows the default. An invalid filter is ignored.
    void setMonitorFilter(const void *monitor, const AlarmFilter *filter);

    // Milliseconds of a clock that never goes back; null restores the steady clock.
    using Clock = std::function<qint64()>;
    void setClock(Clock clock);
    // The monitor was removed or switched off by its run switch: its alarms clear at time for
    // reason, and its counts start again.
    void monitorStopped(const void *monitor, qint64 time, int reason = AlarmEvent::MonitorOff);
    // Every alarm clears at time for reason (the line is switched off, the station stops).
    void stopAll(qint64 time, int reason = AlarmEvent::StationStopped);

    // An alarm the log holds open from a run that ended without clearing it, with alarm.row
    // its row. With alarm.monitor set it goes on as that monitor's alarm of its kind, with its
    // acknowledgement, and the monitor's readings judge it from the next one on as if the
    // station had never stopped; nothing is logged. Without a monitor, or when the monitor has
    // an alarm of that kind already, it clears at time for reason (NotWatched, Duplicate). One
    // the log holds as cleared (alarm.cleared set) and unacknowledged is listed again, until
    // it is acknowledged.
    void resume(const AlarmEvent &alarm, qint64 time, int reason = AlarmEvent::NotWatched);

    // The log moves to another file (an import) at time: every active alarm clears at time
    // for reason Imported, then the entry for the log writer that runs swap between the
    // changes for the old file and those for the new one, and the monitors start afresh, so
    // that an alarm whose condition still holds is raised again at its monitor's next
    // reading. Waits for swap to have run and returns its result: the log writer runs it on
    // its own thread; without one connected, or when it has not within switchWaitSeconds, it
    // runs here.
    bool switchLog(qint64 time, std::function<bool()> swap);
    static constexpr int switchWaitSeconds = 30;

    // Acknowledged at time; -1 for an unknown or already acknowledged serial. A cleared alarm
    // is acknowledged as long as it is listed.
    int acknowledge(quint64 serial, qint64 time);
    // Every listed alarm not yet acknowledged; returns how many.
    int acknowledgeAll(qint64 time);

    // The active alarms, oldest first.
    std::vector<AlarmEvent> activeAlarms() const;
    // What the alarm bar lists: the active alarms and those that cleared without an
    // acknowledgement, oldest first.
    std::vector<AlarmEvent> listedAlarms() const;
    bool hasActiveAlarm(const void *monitor) const;
    // Cleared alarms waiting for an acknowledgement are kept up to this many; beyond, the
    // oldest leave the bar unacknowledged (their rows stay so in the log).
    static constexpr size_t maxRecovered = 1000;

    // The text of a time as the alarms carry it.
    static std::string timeText(qint64 time);

    // Forgets every alarm, filter and clock without announcing anything (tests).
    void reset();

signals:
    void signal_raised(const AlarmEvent &alarm);
    void signal_cleared(const AlarmEvent &alarm);
    void signal_acked(const AlarmEvent &alarm);
    void signal_log(const AlarmLogEntry &entry);

private:
    AlarmRules();

    // What the filter keeps of one value alarm (high or low) of a monitor.
    struct ValueState
    {
        int pending = 0;           // readings in a row its condition held, not raised yet
        std::deque<qint64> raises; // clock times of the recent raises, oldest first
        qint64 absentSince = -1;   // a chattering alarm's condition is away since; -1: present
        bool chattering = false;   // the active alarm is held by the chattering rule
        int repeats = 0;           // returns of its condition while held
    };

    struct MonitorState
    {
        ValueState values[2]; // High, Low
        int failures = 0;
        int active = 0; // how many of serials are set
        quint64 serials[3] = {0, 0, 0}; // by kind, 0 when not raised
    };

    // Under the lock: judges one value alarm of the reading; `present` is its condition,
    // `ended` that of its clear.
    void judgeValue(MonitorState &state, const AlarmReading &reading, int kind, const Relay &relay,
                    bool present, bool ended, const AlarmFilter &filter, qint64 now,
                    std::vector<AlarmLogEntry> &out);
    // Under the lock: records a raise (or a held alarm's return) at now; whether the alarm
    // chatters.
    static bool noteRaise(ValueState &value, const AlarmFilter &filter, qint64 now);
    // Under the lock; append the announcements to `out`.
    void raise(MonitorState &state, const AlarmReading &reading, int kind, float limit,
               std::vector<AlarmLogEntry> &out, bool chattering = false);
    void clear(MonitorState &state, int kind, qint64 time, int reason,
               std::vector<AlarmLogEntry> &out);
    // Clears an alarm that is no monitor's (a resumed one nobody reads).
    void clearAlone(AlarmEvent alarm, qint64 time, int reason, std::vector<AlarmLogEntry> &out);
    // Clears every active alarm, oldest first.
    void clearEvery(qint64 time, int reason, std::vector<AlarmLogEntry> &out);
    // Keeps a cleared alarm listed until it is acknowledged.
    void keepUnacknowledged(const AlarmEvent &alarm);
    void announce(const std::vector<AlarmLogEntry> &changes);

    static qint64 steadyMs();

    static std::atomic<bool> enabled;
    mutable std::mutex mutex;
    std::unordered_map<const void *, MonitorState> states;
    AlarmFilter filter;
    std::unordered_map<const void *, AlarmFilter> filters; // monitors' own
    Clock clock;
    std::vector<AlarmEvent> active;    // oldest first
    std::vector<AlarmEvent> recovered; // cleared, not acknowledged; oldest first
    quint64 lastSerial = 0;
};

#endif // ALARMRULES_H
