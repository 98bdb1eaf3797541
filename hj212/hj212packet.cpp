#include "hj212packet.h"

#include <cstdio>

namespace {

std::string headerText(const Hj212Packet::Header &header, int flag, size_t parts, size_t part)
{
    std::string text = "QN=" + header.qn + ";ST=" + header.st + ";CN=" + header.cn +
                       ";PW=" + header.pw + ";MN=" + header.mn + ";Flag=" + std::to_string(flag);
    if (parts > 0)
        text += ";PNUM=" + std::to_string(parts) + ";PNO=" + std::to_string(part);
    return text + ";CP=&&";
}

size_t digits(size_t number)
{
    return std::to_string(number).size();
}

} // namespace

uint16_t Hj212Packet::crc(const char *data, size_t size)
{
    unsigned reg = 0xFFFF;
    for (size_t i = 0; i < size; ++i) {
        reg = (reg >> 8) ^ static_cast<unsigned char>(data[i]);
        for (int bit = 0; bit < 8; ++bit)
            reg = reg & 1 ? (reg >> 1) ^ 0xA001 : reg >> 1;
    }
    return uint16_t(reg);
}

std::string Hj212Packet::frame(const std::string &segment)
{
    char length[8];
    char check[8];
    std::snprintf(length, sizeof(length), "%04u", unsigned(segment.size() % 10000));
    std::snprintf(check, sizeof(check), "%04X", unsigned(crc(segment)));
    std::string packet;
    packet.reserve(segment.size() + 12);
    packet += "##";
    packet += length;
    packet += segment;
    packet += check;
    packet += "\r\n";
    return packet;
}

std::vector<std::string> Hj212Packet::build(const Header &header, const std::string &lead,
                                            const std::vector<std::string> &groups)
{
    std::string body = lead;
    for (const std::string &group : groups)
        body += (body.empty() ? "" : ";") + group;
    std::string whole = headerText(header, header.flag & ~splitBit, 0, 0) + body + "&&";
    if (whole.size() <= maxSegment)
        return {whole};

    // The parts' count is not known before the packing, and its digits change the room: pack
    // for a count of as many digits as assumed until the assumption holds.
    const int flag = header.flag | splitBit;
    for (size_t assumed = 1;; assumed *= 10) {
        const size_t widest = headerText(header, flag, assumed, assumed).size() + 2;
        std::vector<std::string> bodies;
        std::string current = lead;
        bool open = false; // current holds a group
        for (const std::string &group : groups) {
            const size_t grown = current.size() + (current.empty() ? 0 : 1) + group.size();
            if (widest + grown <= maxSegment) {
                current += (current.empty() ? "" : ";") + group;
                open = true;
                continue;
            }
            if (!open)
                return {};
            bodies.push_back(current);
            current = lead + (lead.empty() ? "" : ";") + group;
            if (widest + current.size() > maxSegment)
                return {};
        }
        bodies.push_back(current);
        if (digits(bodies.size()) > digits(assumed))
            continue;
        std::vector<std::string> segments;
        for (size_t i = 0; i < bodies.size(); ++i)
            segments.push_back(headerText(header, flag, bodies.size(), i + 1) + bodies[i] + "&&");
        return segments;
    }
}

std::string Hj212Packet::Fields::value(const std::string &key) const
{
    const auto found = header.find(key);
    return found == header.end() ? std::string() : found->second;
}

bool Hj212Packet::parse(const std::string &segment, Fields &fields)
{
    fields.header.clear();
    fields.cp.clear();
    const size_t cp = segment.find("CP=&&");
    if (cp == std::string::npos)
        return false;
    const size_t end = segment.rfind("&&");
    if (end == std::string::npos || end < cp + 5)
        return false;
    fields.cp = segment.substr(cp + 5, end - cp - 5);
    size_t at = 0;
    while (at < cp) {
        size_t next = segment.find(';', at);
        if (next == std::string::npos || next > cp)
            next = cp;
        const std::string pair = segment.substr(at, next - at);
        const size_t equals = pair.find('=');
        if (equals != std::string::npos)
            fields.header[pair.substr(0, equals)] = pair.substr(equals + 1);
        at = next + 1;
    }
    return true;
}

std::map<std::string, std::string> Hj212Packet::cpValues(const std::string &cp)
{
    std::map<std::string, std::string> values;
    size_t at = 0;
    while (at <= cp.size()) {
        size_t next = cp.find_first_of(";,", at);
        if (next == std::string::npos)
            next = cp.size();
        const std::string pair = cp.substr(at, next - at);
        const size_t equals = pair.find('=');
        if (equals != std::string::npos)
            values[pair.substr(0, equals)] = pair.substr(equals + 1);
        at = next + 1;
    }
    return values;
}
