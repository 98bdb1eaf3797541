#include "mqtttopic.h"

namespace {

void percent(std::string &out, unsigned char byte)
{
    static const char hex[] = "0123456789ABCDEF";
    out += '%';
    out += hex[byte >> 4];
    out += hex[byte & 0x0F];
}

// Length of the valid UTF-8 sequence at text[at] that a broker accepts in a topic, 0 if none:
// no overlong forms, surrogates, C1 controls or non-characters.
size_t acceptedSequence(const std::string &text, size_t at)
{
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    size_t length = 0;
    unsigned int code = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        code = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        code = lead & 0x07;
    } else {
        return 0;
    }
    if (at + length > text.size())
        return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80)
            return 0;
        code = (code << 6) | (byte(at + i) & 0x3F);
    }
    const bool overlong = (length == 3 && code < 0x800) || (length == 4 && code < 0x10000);
    const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
    const bool control = code >= 0x80 && code <= 0x9F;
    const bool nonCharacter = (code >= 0xFDD0 && code <= 0xFDEF) || (code & 0xFFFE) == 0xFFFE;
    if (overlong || surrogate || control || nonCharacter || code > 0x10FFFF)
        return 0;
    return length;
}

} // namespace

std::string MqttTopic::escapeLevel(const std::string &level)
{
    if (level.empty())
        return "_";
    std::string out;
    out.reserve(level.size());
    for (size_t i = 0; i < level.size();) {
        const auto byte = static_cast<unsigned char>(level[i]);
        if (byte < 0x80) {
            if (byte < 0x20 || byte == 0x7F || byte == '/' || byte == '+' || byte == '#' ||
                byte == '%')
                percent(out, byte);
            else
                out += char(byte);
            ++i;
            continue;
        }
        const size_t length = acceptedSequence(level, i);
        if (length == 0) {
            percent(out, byte);
            ++i;
        } else {
            out.append(level, i, length);
            i += length;
        }
    }
    return out;
}

std::string MqttTopic::readings(const std::string &prefix, const std::string &station,
                                const std::string &name, const std::string &factor)
{
    return prefix + '/' + escapeLevel(station) + "/readings/" + escapeLevel(name) + '/' +
           escapeLevel(factor);
}

std::string MqttTopic::alarms(const std::string &prefix, const std::string &station)
{
    return prefix + '/' + escapeLevel(station) + "/alarms";
}

std::string MqttTopic::status(const std::string &prefix, const std::string &station)
{
    return prefix + '/' + escapeLevel(station) + "/status";
}

std::string MqttTopic::audit(const std::string &prefix, const std::string &station)
{
    return prefix + '/' + escapeLevel(station) + "/audit";
}
