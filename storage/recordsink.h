#ifndef RECORDSINK_H
#define RECORDSINK_H

#include "storage/recordrow.h"

#include <atomic>
#include <string>

struct AlarmEvent;

// Where the record writers pass on what they are handed, and the accounts their trail rows,
// besides the database: the MQTT publisher implements it. One sink per process; storage knows
// only this interface.
//
// The writers call publishRow/publishAlarm, the accounts publishAudit, on their own threads.
// Without a sink the call is one atomic load. setCurrent(nullptr) returns only once no call into
// the old sink is running, so the owner may delete it right after.
class RecordSink
{
public:
    virtual ~RecordSink() = default;

    virtual void recordRow(const RecordRow &row) = 0;
    // change: AlarmLogEntry::Change.
    virtual void alarmChange(int change, const AlarmEvent &alarm) = 0;
    // One trail row; time as stored ("yyyy-MM-dd hh:mm:ss").
    virtual void auditRow(const std::string &time, const std::string &user,
                          const std::string &action, const std::string &detail)
    {
        (void)time, (void)user, (void)action, (void)detail;
    }

    static void setCurrent(RecordSink *sink);
    static RecordSink *current();

    static void publishRow(const RecordRow &row)
    {
        if (present.load(std::memory_order_acquire))
            forwardRow(row);
    }
    static void publishAlarm(int change, const AlarmEvent &alarm)
    {
        if (present.load(std::memory_order_acquire))
            forwardAlarm(change, alarm);
    }

    static void publishAudit(const std::string &time, const std::string &user,
                             const std::string &action, const std::string &detail)
    {
        if (present.load(std::memory_order_acquire))
            forwardAudit(time, user, action, detail);
    }

private:
    static void forwardRow(const RecordRow &row);
    static void forwardAudit(const std::string &time, const std::string &user,
                             const std::string &action, const std::string &detail);
    static void forwardAlarm(int change, const AlarmEvent &alarm);

    static std::atomic<bool> present;
};

#endif // RECORDSINK_H
