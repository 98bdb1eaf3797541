#include "recordsink.h"

#include <mutex>
#include <shared_mutex>

namespace {

// Shared by the calls, exclusive while the sink changes: a sink is never deleted under a call.
std::shared_mutex &sinkMutex()
{
    static std::shared_mutex mutex;
    return mutex;
}

RecordSink *sink = nullptr;

} // namespace

std::atomic<bool> RecordSink::present{false};

void RecordSink::setCurrent(RecordSink *next)
{
    std::unique_lock<std::shared_mutex> locker(sinkMutex());
    sink = next;
    present.store(next != nullptr, std::memory_order_release);
}

RecordSink *RecordSink::current()
{
    std::shared_lock<std::shared_mutex> locker(sinkMutex());
    return sink;
}

void RecordSink::forwardRow(const RecordRow &row)
{
    std::shared_lock<std::shared_mutex> locker(sinkMutex());
    if (sink)
        sink->recordRow(row);
}

void RecordSink::forwardAlarm(int change, const AlarmEvent &alarm)
{
    std::shared_lock<std::shared_mutex> locker(sinkMutex());
    if (sink)
        sink->alarmChange(change, alarm);
}

void RecordSink::forwardAudit(const std::string &time, const std::string &user,
                              const std::string &action, const std::string &detail)
{
    std::shared_lock<std::shared_mutex> locker(sinkMutex());
    if (sink)
        sink->auditRow(time, user, action, detail);
}
