#ifndef MQTTTOPIC_H
#define MQTTTOPIC_H

#include <string>

// Builds the station's topics. Names from the settings and the instruments become single topic
// levels: characters that would change the topic's structure or that brokers refuse are
// percent-encoded, so that no name can add levels or wildcards.
class MqttTopic
{
public:
    // '/', '+', '#', '%', control characters and bytes that are no valid UTF-8 become %XX;
    // other UTF-8 text (Chinese) stays as it is; an empty level becomes "_".
    static std::string escapeLevel(const std::string &level);

    // PREFIX/STATION/readings/NAME/FACTOR; the prefix is used as it stands.
    static std::string readings(const std::string &prefix, const std::string &station,
                                const std::string &name, const std::string &factor);
    static std::string alarms(const std::string &prefix, const std::string &station);
    static std::string status(const std::string &prefix, const std::string &station);
    static std::string audit(const std::string &prefix, const std::string &station);
};

#endif // MQTTTOPIC_H
