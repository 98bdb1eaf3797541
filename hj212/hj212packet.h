#ifndef HJ212PACKET_H
#define HJ212PACKET_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// The HJ 212-2017 packet: "##", the data segment's length in four digits, the segment, its
// CRC in four upper-case hex digits, CR LF. Builds the segments of one message (split into
// packets of at most maxSegment bytes, each with PNUM/PNO, where it is longer) and reads the
// fields of a received segment.
class Hj212Packet
{
public:
    static constexpr size_t maxSegment = 1024;
    // Flag bits: an answer is asked for, the packet is one of several; bits 2 to 7 hold the
    // protocol version, 1 for 2017.
    static constexpr int answerBit = 1;
    static constexpr int splitBit = 2;
    static constexpr int version2017 = 4;

    struct Header
    {
        std::string qn; // yyyyMMddhhmmsszzz
        std::string st;
        std::string cn;
        std::string pw;
        std::string mn;
        int flag = version2017;
    };

    // The segment's CRC-16 (polynomial 0xA001, register 0xFFFF, the register shifted before
    // each byte is mixed in).
    static uint16_t crc(const char *data, size_t size);
    static uint16_t crc(const std::string &segment) { return crc(segment.data(), segment.size()); }
    // The whole packet of a segment of at most maxSegment bytes.
    static std::string frame(const std::string &segment);

    // The segments of one message whose CP holds `lead` (may be empty) and then the groups,
    // ';' between them. A message longer than maxSegment is split between groups; each part
    // repeats the lead and has the split bit set with PNUM and PNO. Empty when a group is too
    // long for any packet.
    static std::vector<std::string> build(const Header &header, const std::string &lead,
                                          const std::vector<std::string> &groups);

    // The fields of a segment before CP as they stand (QN, ST, CN, PW, MN, Flag, PNUM, PNO)
    // and CP's text between its "&&" marks. False when the segment has no CP=&&...&&.
    struct Fields
    {
        std::map<std::string, std::string> header;
        std::string cp;
        std::string value(const std::string &key) const;
    };
    static bool parse(const std::string &segment, Fields &fields);
    // CP's key=value pairs, separated by ';' or ','.
    static std::map<std::string, std::string> cpValues(const std::string &cp);
};

#endif // HJ212PACKET_H
