#ifndef RECORDSINK_H
#define RECORDSINK_H

#include "storage/recordrow.h"

#include <atomic>
#include <string>

struct AlarmEvent;

// Where the record writers pass on what they are handed, and the accounts their trail rows,
// besides the database: the outside interfaces (the MQTT publisher, the HJ 212 uploader)
// implement it. Any number of sinks per process, each called in the order it was added; storage
// knows only this interface.
//
// The writers call publishRow/publishAlarm, the accounts publishAudit, on their own threads.
// Without a sink the call is one atomic load. remove() (and setCurrent) return only once no call
// into a removed sink is running, so the owner may delete it right after.
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

    // A sink added twice is called once; null is ignored.
    static void add(RecordSink *sink);
    static void remove(RecordSink *sink);
    // Puts next where old was (a sink that stands in front of another); appends next when old
    // is not there, and removes old when next is null.
    static void replace(RecordSink *old, RecordSink *next);
    // The only sink from now on; null removes every sink.
    static void setCurrent(RecordSink *sink);
    // The first sink; null when there is none.
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
