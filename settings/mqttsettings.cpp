#include "mqttsettings.h"

#include "mqtt/mqtttopic.h"

#include <algorithm>

#include <unistd.h>

namespace {

bool hasControl(const std::string &text)
{
    for (unsigned char byte : text)
        if (byte < 0x20 || byte == 0x7F)
            return true;
    return false;
}

} // namespace

MqttSettings::MqttSettings() : clientId("hydrovane-" + hostName()), station(hostName()) {}

std::string MqttSettings::hostName()
{
    char name[256] = {};
    if (::gethostname(name, sizeof(name) - 1) != 0 || name[0] == '\0')
        return "station";
    return name;
}

std::vector<std::string> MqttSettings::validate() const
{
    std::vector<std::string> problems;
    if (host.empty())
        problems.push_back("MQTT 服务器地址为空");
    else if (hasControl(host) || host.find(' ') != std::string::npos)
        problems.push_back("MQTT 服务器地址含有空格或控制字符");
    if (port < 1 || port > 65535)
        problems.push_back("MQTT 端口 " + std::to_string(port) + " 不在 1 到 65535 之间");
    if (clientId.empty())
        problems.push_back("MQTT 客户端标识为空");
    else if (hasControl(clientId))
        problems.push_back("MQTT 客户端标识含有控制字符");
    // The prefix is used as it stands: wildcards would make the topics unpublishable.
    if (topic.empty())
        problems.push_back("MQTT 主题前缀为空");
    else if (topic.find_first_of("+#") != std::string::npos)
        problems.push_back("MQTT 主题前缀不能含有 + 或 #");
    else if (hasControl(topic))
        problems.push_back("MQTT 主题前缀含有控制字符");
    else if (!MqttTopic::acceptable(topic))
        problems.push_back("MQTT 主题前缀不是有效的 UTF-8 文本");
    // Brokers keep "$" topics for themselves (Mosquitto drops what a client sends to $SYS, and
    // "#" never matches them).
    else if (topic[0] == '$')
        problems.push_back("MQTT 主题前缀不能以 $ 开头");
    // Bounds far below what breaks a broker (Mosquitto drops the connection of a client that
    // publishes to more than about 200 levels), so that every topic the station builds can be
    // sent: the names below the prefix are cut to 256 bytes each.
    else if (topic.size() > maxTopicPrefixSize)
        problems.push_back("MQTT 主题前缀超过 " + std::to_string(maxTopicPrefixSize) + " 字节");
    else if (size_t(std::count(topic.begin(), topic.end(), '/')) >= maxTopicPrefixLevels)
        problems.push_back("MQTT 主题前缀超过 " + std::to_string(maxTopicPrefixLevels) + " 级");
    if (hasControl(username) || hasControl(password))
        problems.push_back("MQTT 用户名或密码含有控制字符");
    if (username.empty() && !password.empty())
        problems.push_back("设置了 MQTT 密码却没有用户名");
    if (hasControl(caFile))
        problems.push_back("MQTT CA文件路径含有控制字符");
    if (qos < 0 || qos > 2)
        problems.push_back("MQTT QoS " + std::to_string(qos) + " 不是 0、1 或 2");
    return problems;
}

bool MqttSettings::operator==(const MqttSettings &other) const
{
    return enabled == other.enabled && host == other.host && port == other.port &&
           clientId == other.clientId && topic == other.topic && station == other.station &&
           username == other.username && password == other.password && tls == other.tls &&
           caFile == other.caFile && qos == other.qos;
}
