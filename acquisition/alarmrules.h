#ifndef ALARMRULES_H
#define ALARMRULES_H

#include "factorresult.h"
#include "relay.h"

#include <QMetaType>
#include <QObject>

#include <atomic>
#include <cstdint>
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

    // "高报", "低报" or "通讯故障" (UTF-8).
    static const char *kindText(int kind);
    const char *kindText() const { return kindText(kind); }
    bool isActive() const { return cleared.empty(); }
};

// A change of an alarm for the log, in the order the changes happened.
struct AlarmLogEntry
{
    enum Change
    {
        Raise,
        Clear,
        Acknowledge,
    };
    int change = Raise;
    AlarmEvent alarm;
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
// alarms of every monitor.
//
// Readings are fed on the reader thread, right after each monitor's read; acknowledging and
// listing work from any thread. An unchanged state costs a hash lookup and a few comparisons,
// without allocation. Changes are announced twice, both queued across threads:
// signal_raised / signal_cleared / signal_acked for the display, emitted outside the lock, and
// signal_log for the log writer, emitted under the lock so that the writer gets the changes in
// the order they happened (connect it with Qt::QueuedConnection only).
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
    // The monitor was removed or switched off by its run switch: its alarms clear at time, and
    // its counts start again.
    void monitorStopped(const void *monitor, qint64 time);
    // Every alarm clears at time (the station stops watching).
    void stopAll(qint64 time);

    // Acknowledged at time; -1 for an unknown, cleared or already acknowledged serial.
    int acknowledge(quint64 serial, qint64 time);
    // Every active alarm not yet acknowledged; returns how many.
    int acknowledgeAll(qint64 time);

    // The active alarms, oldest first (the alarm bar at start-up).
    std::vector<AlarmEvent> activeAlarms() const;
    bool hasActiveAlarm(const void *monitor) const;

    // The text of a time as the alarms carry it.
    static std::string timeText(qint64 time);

    // Forgets every alarm without announcing anything (tests).
    void reset();

signals:
    void signal_raised(const AlarmEvent &alarm);
    void signal_cleared(const AlarmEvent &alarm);
    void signal_acked(const AlarmEvent &alarm);
    void signal_log(const AlarmLogEntry &entry);

private:
    AlarmRules();

    struct MonitorState
    {
        int failures = 0;
        int active = 0; // how many of serials are set
        quint64 serials[3] = {0, 0, 0}; // by kind, 0 when not raised
    };

    // Under the lock; append the announcements to `out`.
    void raise(MonitorState &state, const AlarmReading &reading, int kind, float limit,
               std::vector<AlarmLogEntry> &out);
    void clear(MonitorState &state, int kind, qint64 time, std::vector<AlarmLogEntry> &out);
    void announce(const std::vector<AlarmLogEntry> &changes);

    static std::atomic<bool> enabled;
    mutable std::mutex mutex;
    std::unordered_map<const void *, MonitorState> states;
    std::vector<AlarmEvent> active; // oldest first
    quint64 lastSerial = 0;
};

#endif // ALARMRULES_H
