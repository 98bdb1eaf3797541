#include "monitorcollection.h"

#include "alarmrules.h"
#include "linestatistics.h"
#include "linestop.h"

#include "monitordi590.h"
#include "monitordo580.h"
#include "monitorra550.h"
#include "monitorro592.h"

#include <QDateTime>

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
    if (LineStatistics *line = LineStatistics::current())
        line->passStarted(interval);
    due.clear();
    for (MonitorBase *monitor : monitors) {
        if (!monitor->isRunning())
            continue;
        if (!LineStop::requested()) {
            const int rc = monitor->read(context);
            // A retry due after the pass is judged once it has been made.
            if (rc == MonitorBase::retryDue)
                due.push_back(monitor);
            else
                monitor->feedAlarms(QDateTime::currentSecsSinceEpoch(), true);
            if (rc >= 0 || !LineStop::requested())
                continue;
        }
        // The line is being switched off: a monitor this pass does not reach, or whose
        // exchange was cut short, is left unsynced and marked 'F', rather than shown and
        // stored as a failure of the instrument.
        monitor->clearSynced();
        monitor->read(context);
    }
}

void MonitorCollection::retryDemoted(modbus_t *context)
{
    std::lock_guard<std::mutex> guard(lock);
    std::stable_sort(due.begin(), due.end(), [](MonitorBase *a, MonitorBase *b) {
        return a->lineHealth().lastTryTime() < b->lineHealth().lastTryTime();
    });
    LineStatistics *line = LineStatistics::current();
    const auto cost = LineStatistics::retryCost(context);
    for (MonitorBase *monitor : due) {
        // Removed from the list since the pass (and perhaps deleted) or switched off.
        if (std::find(monitors.begin(), monitors.end(), monitor) == monitors.end() ||
            !monitor->isRunning())
            continue;
        if (LineStop::requested() || (line && !line->grantRetry(cost)))
            break;
        monitor->retry(context);
        monitor->feedAlarms(QDateTime::currentSecsSinceEpoch(), true);
    }
    due.clear();
}

void MonitorCollection::unsyncAll()
{
    std::lock_guard<std::mutex> guard(lock);
    for (MonitorBase *monitor : monitors)
        monitor->clearSynced();
}

void MonitorCollection::resetHealth()
{
    // Only the interface thread changes the list; the health has its own lock.
    for (MonitorBase *monitor : monitors)
        monitor->lineHealth().reset();
}

void MonitorCollection::remove(MonitorBase *monitor)
{
    {
        std::lock_guard<std::mutex> guard(lock);
        const auto found = std::find(monitors.begin(), monitors.end(), monitor);
        if (found != monitors.end())
            monitors.erase(found);
        due.erase(std::remove(due.begin(), due.end(), monitor), due.end());
    }
    // Outside the lock: the display learns of the clears at once, on this thread.
    AlarmRules::instance().monitorStopped(monitor, QDateTime::currentSecsSinceEpoch());
}

void MonitorCollection::setInterval(int seconds)
{
    interval = std::clamp(seconds, 0, maxInterval);
}
