#ifndef MONITORCOLLECTION_H
#define MONITORCOLLECTION_H

#include "acquisition/alarmfilter.h"
#include "line/passplan.h"

#include <shared_mutex>
#include <string>
#include <vector>

#include <modbus.h>

class MonitorBase;

// The configured monitors in their order, the read interval and the model factory.
// The collection does not own its monitors: whoever removes one deletes it.
//
// Each monitor is on one of the station's lines (MonitorBase::getLineIndex); every line's
// reader thread runs `readAll` for its own monitors, the lines in parallel. `create`,
// `append` and `remove` run on the interface thread. A lock keeps every read pass apart from
// changes of the list, so the interface thread waits for running passes before it adds or
// removes a monitor. The interface thread is the only writer of the list and reads
// `getMonitors()` without that lock.
class MonitorCollection
{
public:
    // Longest read interval in seconds: one day.
    static constexpr int maxInterval = 86400;

    MonitorCollection() = default;
    MonitorCollection(const MonitorCollection &) = delete;
    MonitorCollection &operator=(const MonitorCollection &) = delete;

    // Builds a monitor for a model name ("DO580", "DI590", "RO592", "RA550", exactly) and
    // appends it; null for any other name. The channel is not used: every model has -1.
    MonitorBase *create(const std::string &model, const std::string &username, int id, int channel,
                        bool running, bool record);
    // A null monitor is ignored.
    void append(MonitorBase *monitor);
    // Reads every running monitor of `line` in list order, then the failing ones it left for later
    // as far as the line has room (LineStatistics::grantRetry); the outcome is left in the monitors
    // and fed to the alarm rules as of the plan's time, after the plan's missed intervals. Under a
    // requested LineStop the monitors not read are unsynced and marked 'F'.
    void readAll(modbus_t *context, const PassPlan &plan = PassPlan(), int line = 0);
    // Every monitor of `line` checks at its next reading that the same model still answers
    // (a reopened line).
    void checkModelsAgain(int line = 0);
    // Every monitor of `line` syncs again before its next reading (a reopened line).
    void unsyncAll(int line = 0);
    // Counters and demotion of every monitor of `line` cleared (the line switched on).
    void resetHealth(int line = 0);
    // Unlinks the first entry holding the monitor; the monitor itself stays alive. Its alarms
    // clear.
    void remove(MonitorBase *monitor);

    const std::vector<MonitorBase *> &getMonitors() const { return monitors; }
    int getInterval() const { return interval; }
    // Clamped into 0..maxInterval, so a timer in milliseconds cannot overflow.
    void setInterval(int seconds);
    // The alarm filter of monitors without one of their own; an invalid one is ignored.
    const AlarmFilter &getAlarmFilter() const { return alarmFilter; }
    void setAlarmFilter(const AlarmFilter &filter);

private:
    void leaveUnread(MonitorBase *monitor, modbus_t *context);

    std::vector<MonitorBase *> monitors;
    int interval = 30;
    AlarmFilter alarmFilter;
    std::shared_mutex lock;
};

#endif // MONITORCOLLECTION_H
