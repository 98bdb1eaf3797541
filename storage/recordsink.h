#ifndef RECORDSINK_H
#define RECORDSINK_H

#include "storage/recordrow.h"

#include <atomic>

struct AlarmEvent;

// Where the record writers pass on what they are handed, besides the database: the MQTT
// publisher implements it. One sink per process; storage knows only this interface.
//
// The writers call publishRow/publishAlarm on their own threads. Without a sink the call is one
// atomic load. setCurrent(nullptr) returns only once no call into the old sink is running, so
// the owner may delete it right after.
class RecordSink
{
public:
    virtual ~RecordSink() = default;

    virtual void recordRow(const RecordRow &row) = 0;
    // change: AlarmLogEntry::Change.
    virtual void alarmChange(int change, const AlarmEvent &alarm) = 0;

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

private:
    static void forwardRow(const RecordRow &row);
    static void forwardAlarm(int change, const AlarmEvent &alarm);

    static std::atomic<bool> present;
};

#endif // RECORDSINK_H
