#include "mqtttopic.h"

#include <cstdint>

namespace {

const char hashMark = '~';
const size_t hashDigits = 16;

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

uint64_t fnv1a(const std::string &text)
{
    uint64_t hash = 14695981039346656037ull;
    for (unsigned char byte : text) {
        hash ^= byte;
        hash *= 1099511628211ull;
    }
    return hash;
}

} // namespace

std::string MqttTopic::escapeLevel(const std::string &level)
{
    if (level.empty())
        return "_";
    std::string out;
    out.reserve(level.size());
    // Where the text may be cut for a long name: after a whole character or escape that leaves
    // room for the hash.
    const size_t room = maxLevelSize - 1 - hashDigits;
    size_t cut = 0;
    for (size_t i = 0; i < level.size();) {
        const auto byte = static_cast<unsigned char>(level[i]);
        if (byte < 0x80) {
            if (byte < 0x20 || byte == 0x7F || byte == '/' || byte == '+' || byte == '#' ||
                byte == '%')
                percent(out, byte);
            else
                out += char(byte);
            ++i;
        } else {
            const size_t length = acceptedSequence(level, i);
            if (length == 0) {
                percent(out, byte);
                ++i;
            } else {
                out.append(level, i, length);
                i += length;
            }
        }
        if (out.size() <= room)
            cut = out.size();
        else if (out.size() > maxLevelSize)
            break;
    }
    if (out.size() <= maxLevelSize)
        return out;
    static const char hex[] = "0123456789abcdef";
    out.resize(cut);
    out += hashMark;
    const uint64_t hash = fnv1a(level);
    for (int shift = 60; shift >= 0; shift -= 4)
        out += hex[(hash >> shift) & 0x0F];
    return out;
}

bool MqttTopic::acceptable(const std::string &text)
{
    for (size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x80) {
            if (byte < 0x20 || byte == 0x7F)
                return false;
            ++i;
            continue;
        }
        const size_t length = acceptedSequence(text, i);
        if (length == 0)
            return false;
        i += length;
    }
    return true;
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
