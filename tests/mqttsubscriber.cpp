#include "mqttsubscriber.h"

#include <mosquitto.h>

#include <chrono>

MqttSubscriber::MqttSubscriber(const std::string &clientId, int port, const std::string &filter,
                               bool clean, int qos)
    : filter(filter), qos(qos), port(port)
{
    mosquitto_lib_init();
    client = mosquitto_new(clientId.c_str(), clean, this);
    if (!client)
        return;
    mosquitto_int_option(client, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_connect_callback_set(client, &MqttSubscriber::onConnect);
    mosquitto_subscribe_callback_set(client, &MqttSubscriber::onSubscribe);
    mosquitto_message_callback_set(client, &MqttSubscriber::onMessage);
    mosquitto_reconnect_delay_set(client, 1, 1, false);
}

MqttSubscriber::~MqttSubscriber()
{
    disconnect();
    if (client)
        mosquitto_destroy(client);
}

bool MqttSubscriber::connect(int timeoutMs)
{
    if (!client)
        return false;
    {
        std::lock_guard<std::mutex> locker(mutex);
        subscribed = false;
    }
    if (!looping) {
        if (mosquitto_connect_async(client, "127.0.0.1", port, 10) != MOSQ_ERR_SUCCESS)
            return false;
        if (mosquitto_loop_start(client) != MOSQ_ERR_SUCCESS)
            return false;
        looping = true;
    }
    std::unique_lock<std::mutex> locker(mutex);
    return changed.wait_for(locker, std::chrono::milliseconds(timeoutMs),
                            [this] { return subscribed; });
}

void MqttSubscriber::disconnect()
{
    if (!client || !looping)
        return;
    mosquitto_disconnect(client);
    mosquitto_loop_stop(client, false);
    looping = false;
}

void MqttSubscriber::onConnect(mosquitto *client, void *self, int code)
{
    auto *subscriber = static_cast<MqttSubscriber *>(self);
    if (code == 0)
        mosquitto_subscribe(client, nullptr, subscriber->filter.c_str(), subscriber->qos);
}

void MqttSubscriber::onSubscribe(mosquitto *, void *self, int, int, const int *)
{
    auto *subscriber = static_cast<MqttSubscriber *>(self);
    std::lock_guard<std::mutex> locker(subscriber->mutex);
    subscriber->subscribed = true;
    subscriber->changed.notify_all();
}

void MqttSubscriber::onMessage(mosquitto *, void *self, const mosquitto_message *message)
{
    auto *subscriber = static_cast<MqttSubscriber *>(self);
    Message copy;
    copy.topic = message->topic ? message->topic : "";
    if (message->payload && message->payloadlen > 0)
        copy.payload.assign(static_cast<const char *>(message->payload),
                            size_t(message->payloadlen));
    copy.retained = message->retain;
    std::lock_guard<std::mutex> locker(subscriber->mutex);
    subscriber->received.push_back(std::move(copy));
    subscriber->changed.notify_all();
}

std::vector<MqttSubscriber::Message> MqttSubscriber::messages() const
{
    std::lock_guard<std::mutex> locker(mutex);
    return received;
}

std::vector<MqttSubscriber::Message> MqttSubscriber::messages(const std::string &topicPrefix) const
{
    std::lock_guard<std::mutex> locker(mutex);
    std::vector<Message> matching;
    for (const Message &message : received)
        if (message.topic.compare(0, topicPrefix.size(), topicPrefix) == 0)
            matching.push_back(message);
    return matching;
}

size_t MqttSubscriber::count() const
{
    std::lock_guard<std::mutex> locker(mutex);
    return received.size();
}

size_t MqttSubscriber::countOf(const std::string &topicPrefix) const
{
    size_t n = 0;
    for (const Message &message : received)
        if (message.topic.compare(0, topicPrefix.size(), topicPrefix) == 0)
            ++n;
    return n;
}

bool MqttSubscriber::waitForCount(size_t n, int timeoutMs, const std::string &topicPrefix)
{
    std::unique_lock<std::mutex> locker(mutex);
    return changed.wait_for(locker, std::chrono::milliseconds(timeoutMs),
                            [&] { return countOf(topicPrefix) >= n; });
}

void MqttSubscriber::clear()
{
    std::lock_guard<std::mutex> locker(mutex);
    received.clear();
}
