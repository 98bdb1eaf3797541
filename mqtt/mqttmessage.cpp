#include "mqttmessage.h"

#include "acquisition/alarmrules.h"
#include "storage/recordrow.h"

#include <nlohmann/json.hpp>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>

using nlohmann::json;

namespace {

// A stored value as a JSON number when it is a finite decimal number ("8.50", "-3", "1e3"),
// else null: instruments store texts such as "----" or "超量程".
json numberOf(const std::string &text)
{
    size_t i = 0;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        ++i;
    size_t digits = 0;
    bool fraction = false;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i)
        ++digits;
    if (i < text.size() && text[i] == '.') {
        fraction = true;
        for (++i; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i)
            ++digits;
    }
    if (digits == 0)
        return nullptr;
    bool exponent = false;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        exponent = true;
        size_t next = i + 1;
        if (next < text.size() && (text[next] == '+' || text[next] == '-'))
            ++next;
        size_t exponentDigits = 0;
        for (; next < text.size() && std::isdigit(static_cast<unsigned char>(text[next])); ++next)
            ++exponentDigits;
        if (exponentDigits == 0)
            return nullptr;
        i = next;
    }
    if (i != text.size())
        return nullptr;
    errno = 0;
    if (!fraction && !exponent) {
        char *end = nullptr;
        const long long whole = std::strtoll(text.c_str(), &end, 10);
        if (errno == 0)
            return whole;
        errno = 0;
    }
    const double number = std::strtod(text.c_str(), nullptr);
    if (!std::isfinite(number))
        return nullptr;
    return number;
}

std::string dump(const json &document)
{
    // Texts from instruments and files are not trusted to be valid UTF-8.
    return document.dump(-1, ' ', false, json::error_handler_t::replace);
}

} // namespace

std::string MqttMessage::readingPayload(const RecordRow &row)
{
    json document = json::object();
    document["time"] = row.time;
    document["name"] = row.name;
    document["slave"] = row.slave;
    document["channel"] = row.channel;
    document["factor"] = row.factor;
    document["value"] = numberOf(row.value);
    document["text"] = row.value;
    document["unit"] = row.unit;
    document["status"] = row.status;
    return dump(document);
}

std::string MqttMessage::auditPayload(const std::string &time, const std::string &user,
                                      const std::string &action, const std::string &detail)
{
    json document = json::object();
    document["time"] = time;
    document["user"] = user;
    document["action"] = action;
    document["detail"] = detail;
    return dump(document);
}

const char *MqttMessage::eventName(int change)
{
    switch (change) {
    case AlarmLogEntry::Clear:
        return "cleared";
    case AlarmLogEntry::Acknowledge:
        return "acknowledged";
    default:
        return "raised";
    }
}

std::string MqttMessage::alarmPayload(int change, const AlarmEvent &alarm)
{
    json document = json::object();
    document["event"] = eventName(change);
    document["time"] = change == AlarmLogEntry::Clear         ? alarm.cleared
                       : change == AlarmLogEntry::Acknowledge ? alarm.acked
                                                              : alarm.raised;
    document["kind"] = AlarmEvent::kindText(alarm.kind);
    document["name"] = alarm.name;
    document["slave"] = alarm.slave;
    document["channel"] = alarm.channel;
    document["factor"] = alarm.factor;
    // Numbers as in the readings; null for a loss of communication, which has neither.
    document["value"] = numberOf(alarm.value);
    document["alarmPoint"] = numberOf(alarm.alarmPoint);
    document["raised"] = alarm.raised;
    document["cleared"] = alarm.cleared;
    document["acked"] = alarm.acked;
    document["reason"] = alarm.cleared.empty() ? std::string() : alarm.clearText();
    return dump(document);
}
