#ifndef MQTTSETTINGS_H
#define MQTTSETTINGS_H

#include <string>
#include <vector>

// The MQTT publishing settings of config/Mqtt.json, with the defaults of a missing file.
struct MqttSettings
{
    static constexpr size_t maxTopicPrefixSize = 1024;
    static constexpr size_t maxTopicPrefixLevels = 32;

    bool enabled = false;
    std::string host = "localhost";
    int port = 1883;
    std::string clientId; // "hydrovane-" + the host name
    // Prefix of every topic; may hold levels ('/'), never wildcards.
    std::string topic = "hydrovane";
    std::string station;  // the host name
    std::string username; // empty: no login
    std::string password;
    bool tls = false;
    std::string caFile; // empty: the system's certificate authorities
    int qos = 1;

    MqttSettings();

    // This machine's name; "station" when it has none.
    static std::string hostName();
    // What keeps these settings from being used, in Chinese, one text per problem; empty when
    // they are usable. Disabled settings are checked the same way.
    std::vector<std::string> validate() const;

    bool operator==(const MqttSettings &other) const;
    bool operator!=(const MqttSettings &other) const { return !(*this == other); }
};

#endif // MQTTSETTINGS_H
