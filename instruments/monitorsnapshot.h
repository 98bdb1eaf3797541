#ifndef MONITORSNAPSHOT_H
#define MONITORSNAPSHOT_H

#include "factorresult.h"
#include "sensorbase.h"

#include <array>
#include <map>
#include <optional>
#include <string>
#include <vector>

// A relay as the interface shows it, with a copy of the sensor that formats its numbers.
struct RelaySnapshot
{
    bool on = false;
    float alarmPoint = 0;
    float hysteresis = 0;
    std::optional<SensorBase> sensor;
};

// Everything the interface thread reads of a monitor, copied in one step under the
// monitor's lock, so a reading or sync running meanwhile cannot change it half-way.
struct MonitorSnapshot
{
    bool synced = false;
    std::vector<SensorBase> sensors; // main factor first, temperature second when fitted
    int mainIndex = -1;              // position of the main sensor in `sensors`, or -1
    std::map<std::string, FactorResult> results;
    std::array<RelaySnapshot, 2> relays; // 0 high-point control, 1 low-point control

    const SensorBase *mainSensor() const
    {
        return mainIndex >= 0 ? &sensors[size_t(mainIndex)] : nullptr;
    }
    // The latest result of a factor; value 0 and status 0 when it was never read.
    FactorResult result(const std::string &factor) const
    {
        const auto found = results.find(factor);
        return found != results.end() ? found->second : FactorResult();
    }
};

#endif // MONITORSNAPSHOT_H
