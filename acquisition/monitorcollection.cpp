#include "monitorcollection.h"

#include "linestop.h"

#include "monitordi590.h"
#include "monitordo580.h"
#include "monitorra550.h"
#include "monitorro592.h"

#include <algorithm>

MonitorBase *MonitorCollection::create(const std::string &model, const std::string &username,
                                       int id, int channel, bool running, bool record)
{
    (void)channel;
    MonitorBase *monitor = nullptr;
    if (model == "DO580")
        monitor = new MonitorDO580(username, id, running, record);
    else if (model == "DI590")
        monitor = new MonitorDI590(username, id, running, record);
    else if (model == "RO592")
        monitor = new MonitorRO592(username, id, running, record);
    else if (model == "RA550")
        monitor = new MonitorRA550(username, id, running, record);
    append(monitor);
    return monitor;
}

void MonitorCollection::append(MonitorBase *monitor)
{
    if (!monitor)
        return;
    std::lock_guard<std::mutex> guard(lock);
    monitors.push_back(monitor);
}

void MonitorCollection::readAll(modbus_t *context)
{
    std::lock_guard<std::mutex> guard(lock);
    for (MonitorBase *monitor : monitors) {
        if (!monitor->isRunning())
            continue;
        if (!LineStop::requested()) {
            if (monitor->read(context) >= 0 || !LineStop::requested())
                continue;
        }
        // The line is being switched off: a monitor this pass does not reach, or whose
        // exchange was cut short, is left unsynced and marked 'F', rather than shown and
        // stored as a failure of the instrument.
        monitor->clearSynced();
        monitor->read(context);
    }
}

void MonitorCollection::remove(MonitorBase *monitor)
{
    std::lock_guard<std::mutex> guard(lock);
    const auto found = std::find(monitors.begin(), monitors.end(), monitor);
    if (found != monitors.end())
        monitors.erase(found);
}

void MonitorCollection::setInterval(int seconds)
{
    interval = std::clamp(seconds, 0, maxInterval);
}
