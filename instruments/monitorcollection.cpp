#include "monitorcollection.h"

#include "acquisition/alarmrules.h"
#include "line/linestatistics.h"
#include "line/linestop.h"

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
    std::unique_lock<std::shared_mutex> guard(lock);
    monitors.push_back(monitor);
}

void MonitorCollection::readAll(modbus_t *context, const PassPlan &plan, int lineIndex)
{
    // Shared: the passes of other lines run meanwhile, each on its own monitors.
    std::shared_lock<std::shared_mutex> guard(lock);
    std::vector<MonitorBase *> monitors;
    for (MonitorBase *monitor : this->monitors) {
        if (monitor->getLineIndex() == lineIndex)
            monitors.push_back(monitor);
    }
    LineStatistics *line = LineStatistics::current();
    if (line)
        line->passStarted(plan);
    // Intervals the line had no time for are failed reads, for the loss of communication as
    // for the records.
    for (const qint64 missed : plan.missed) {
        for (MonitorBase *monitor : monitors) {
            if (monitor->isRunning())
                monitor->feedMissed(missed);
        }
    }
    const qint64 time = plan.time();
    std::vector<MonitorBase *> due;
    for (MonitorBase *monitor : monitors) {
        if (!monitor->isRunning())
            continue;
        if (!LineStop::requested()) {
            const int rc = monitor->read(context);
            if (rc == MonitorBase::retryDue) {
                due.push_back(monitor);
                continue;
            }
            monitor->feedAlarms(time, true);
            if (rc >= 0 || !LineStop::requested())
                continue;
        }
        leaveUnread(monitor, context);
    }
    // Failing instruments after the others, the longest waiting first, as far as the line
    // has room; their answers are this pass's readings.
    std::stable_sort(due.begin(), due.end(), [](MonitorBase *a, MonitorBase *b) {
        return a->lineHealth().lastTryTime() < b->lineHealth().lastTryTime();
    });
    const auto cost = LineStatistics::retryCost(context);
    for (MonitorBase *monitor : due) {
        if (LineStop::requested()) {
            leaveUnread(monitor, context);
            continue;
        }
        const LineHealth &health = monitor->lineHealth();
        if (!line || line->grantRetry(cost, health.waited(), health.forceRetryAfter(),
                                      LineHealth::retryCap())) {
            if (monitor->retry(context) < 0 && LineStop::requested()) {
                leaveUnread(monitor, context);
                continue;
            }
        } else {
            monitor->markMissed();
        }
        monitor->feedAlarms(time, true);
    }
}

void MonitorCollection::leaveUnread(MonitorBase *monitor, modbus_t *context)
{
    // The line is being switched off: a monitor this pass does not reach, or whose exchange
    // was cut short, is left unsynced and marked 'F', rather than shown and stored as a
    // failure of the instrument.
    monitor->clearSynced();
    monitor->read(context);
}

void MonitorCollection::checkModelsAgain(int line)
{
    std::shared_lock<std::shared_mutex> guard(lock);
    for (MonitorBase *monitor : monitors) {
        if (monitor->getLineIndex() == line)
            monitor->checkModelAgain();
    }
}

void MonitorCollection::unsyncAll(int line)
{
    std::shared_lock<std::shared_mutex> guard(lock);
    for (MonitorBase *monitor : monitors) {
        if (monitor->getLineIndex() == line)
            monitor->clearSynced();
    }
}

void MonitorCollection::resetHealth(int line)
{
    // Only the interface thread changes the list; the health has its own lock.
    for (MonitorBase *monitor : monitors) {
        if (monitor->getLineIndex() == line)
            monitor->lineHealth().reset();
    }
}

void MonitorCollection::remove(MonitorBase *monitor)
{
    {
        std::unique_lock<std::shared_mutex> guard(lock);
        const auto found = std::find(monitors.begin(), monitors.end(), monitor);
        if (found != monitors.end())
            monitors.erase(found);
    }
    // Outside the lock: the display learns of the clears at once, on this thread.
    AlarmRules::instance().monitorStopped(monitor, QDateTime::currentSecsSinceEpoch(),
                                          AlarmEvent::MonitorRemoved);
}

void MonitorCollection::setAlarmFilter(const AlarmFilter &filter)
{
    if (!filter.isValid())
        return;
    alarmFilter = filter;
    AlarmRules::instance().setDefaultFilter(filter);
}

void MonitorCollection::setInterval(int seconds)
{
    interval = std::clamp(seconds, 0, maxInterval);
}
