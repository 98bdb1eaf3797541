#ifndef MQTTTOPIC_H
#define MQTTTOPIC_H

#include <string>

// Builds the station's topics. Names from the settings and the instruments become single topic
// levels: characters that would change the topic's structure or that brokers refuse are
// percent-encoded, so that no name can add levels or wildcards, and a long name is cut, so that
// no name can make a topic longer than MQTT allows (65,535 bytes).
class MqttTopic
{
public:
    // Longest level a name becomes, in bytes.
    static constexpr size_t maxLevelSize = 256;

    // '/', '+', '#', '%', control characters and bytes that are no valid UTF-8 become %XX;
    // other UTF-8 text (Chinese) stays as it is; an empty level becomes "_". A level longer
    // than maxLevelSize keeps its first 239 bytes at most (whole characters and escapes), then
    // '~' and 16 hex digits of a hash (FNV-1a, 64 bits) of the whole name, so that long names
    // alike at the start stay apart.
    static std::string escapeLevel(const std::string &level);
    // Whether a broker takes the text in a topic: valid UTF-8 without controls (C0, DEL, C1)
    // or non-characters. Wildcards and separators are not checked.
    static bool acceptable(const std::string &text);

    // PREFIX/STATION/readings/NAME/FACTOR; the prefix is used as it stands.
    static std::string readings(const std::string &prefix, const std::string &station,
                                const std::string &name, const std::string &factor);
    static std::string alarms(const std::string &prefix, const std::string &station);
    static std::string status(const std::string &prefix, const std::string &station);
    static std::string audit(const std::string &prefix, const std::string &station);
};

#endif // MQTTTOPIC_H
