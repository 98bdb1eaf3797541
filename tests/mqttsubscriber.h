#ifndef MQTTSUBSCRIBER_H
#define MQTTSUBSCRIBER_H

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

struct mosquitto;
struct mosquitto_message;

// A libmosquitto subscriber on a network thread of its own for tests and benchmarks: collects
// every message of its filter in arrival order and reconnects by itself. With clean = false and
// a fixed client id a persistent broker keeps its messages across a restart. Without QtTest.
class MqttSubscriber
{
public:
    struct Message
    {
        std::string topic;
        std::string payload;
        bool retained = false;
    };

    MqttSubscriber(const std::string &clientId, int port, const std::string &filter = "#",
                   bool clean = false, int qos = 1);
    ~MqttSubscriber();
    MqttSubscriber(const MqttSubscriber &) = delete;
    MqttSubscriber &operator=(const MqttSubscriber &) = delete;

    // True once subscribed; false when the broker did not answer within timeoutMs.
    bool connect(int timeoutMs = 5000);
    void disconnect();

    std::vector<Message> messages() const;
    // Messages whose topic begins with topicPrefix.
    std::vector<Message> messages(const std::string &topicPrefix) const;
    size_t count() const;
    // Until at least n messages (of topicPrefix, when given) arrived; false on timeout.
    bool waitForCount(size_t n, int timeoutMs, const std::string &topicPrefix = std::string());
    void clear();

private:
    static void onConnect(mosquitto *client, void *self, int code);
    static void onSubscribe(mosquitto *client, void *self, int mid, int count, const int *granted);
    static void onMessage(mosquitto *client, void *self, const mosquitto_message *message);
    size_t countOf(const std::string &topicPrefix) const;

    mosquitto *client = nullptr;
    std::string filter;
    int qos;
    int port;
    bool looping = false;
    mutable std::mutex mutex;
    std::condition_variable changed;
    bool subscribed = false;
    std::vector<Message> received;
};

#endif // MQTTSUBSCRIBER_H
