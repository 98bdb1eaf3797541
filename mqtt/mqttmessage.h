#ifndef MQTTMESSAGE_H
#define MQTTMESSAGE_H

#include <string>

struct AlarmEvent;
struct RecordRow;

// One message for the broker: a topic and its JSON payload. Builds the payloads of readings,
// alarm changes and trail rows; the payloads carry the names as stored, unescaped.
struct MqttMessage
{
    std::string topic;
    std::string payload;

    // {"time","name","slave","channel","factor","value","text","unit","status"}.
    static std::string readingPayload(const RecordRow &row);
    // change: AlarmLogEntry::Change. {"event","time","kind","name","slave","channel","factor",
    // "value","alarmPoint","raised","cleared","acked","reason"}; "time" is the time of this
    // change, "value" and "alarmPoint" numbers (null when the alarm has none), "reason" why it
    // cleared (empty while active).
    static std::string alarmPayload(int change, const AlarmEvent &alarm);
    // A trail row: {"time","user","action","detail"}.
    static std::string auditPayload(const std::string &time, const std::string &user,
                                    const std::string &action, const std::string &detail);
    // "raised", "cleared" or "acknowledged".
    static const char *eventName(int change);
};

#endif // MQTTMESSAGE_H
