#include "recordsink.h"

#include <algorithm>
#include <mutex>
#include <shared_mutex>
#include <vector>

namespace {

// Shared by the calls, exclusive while the sinks change: a sink is never deleted under a call.
std::shared_mutex &sinkMutex()
{
    static std::shared_mutex mutex;
    return mutex;
}

std::vector<RecordSink *> &sinks()
{
    static std::vector<RecordSink *> list;
    return list;
}

} // namespace

std::atomic<bool> RecordSink::present{false};

void RecordSink::add(RecordSink *sink)
{
    replace(nullptr, sink);
}

void RecordSink::remove(RecordSink *sink)
{
    if (sink)
        replace(sink, nullptr);
}

void RecordSink::replace(RecordSink *old, RecordSink *next)
{
    std::unique_lock<std::shared_mutex> locker(sinkMutex());
    std::vector<RecordSink *> &list = sinks();
    if (next && std::find(list.begin(), list.end(), next) != list.end())
        next = nullptr;
    const auto at = old ? std::find(list.begin(), list.end(), old) : list.end();
    if (at != list.end() && next)
        *at = next;
    else if (at != list.end())
        list.erase(at);
    else if (next)
        list.push_back(next);
    present.store(!list.empty(), std::memory_order_release);
}

void RecordSink::setCurrent(RecordSink *next)
{
    std::unique_lock<std::shared_mutex> locker(sinkMutex());
    sinks().clear();
    if (next)
        sinks().push_back(next);
    present.store(next != nullptr, std::memory_order_release);
}

RecordSink *RecordSink::current()
{
    std::shared_lock<std::shared_mutex> locker(sinkMutex());
    return sinks().empty() ? nullptr : sinks().front();
}

void RecordSink::forwardRow(const RecordRow &row)
{
    std::shared_lock<std::shared_mutex> locker(sinkMutex());
    for (RecordSink *sink : sinks())
        sink->recordRow(row);
}

void RecordSink::forwardAlarm(int change, const AlarmEvent &alarm)
{
    std::shared_lock<std::shared_mutex> locker(sinkMutex());
    for (RecordSink *sink : sinks())
        sink->alarmChange(change, alarm);
}

void RecordSink::forwardAudit(const std::string &time, const std::string &user,
                              const std::string &action, const std::string &detail)
{
    std::shared_lock<std::shared_mutex> locker(sinkMutex());
    for (RecordSink *sink : sinks())
        sink->auditRow(time, user, action, detail);
}
