#ifndef HJ212MESSAGE_H
#define HJ212MESSAGE_H

#include "hj212/hj212packet.h"
#include "hj212/hj212statistics.h"
#include "settings/hj212settings.h"

#include <string>
#include <vector>

// The contents of the messages the station sends, as data segments ready to be framed: data
// uploads (real-time, minute, hour and day) and the answers to the platform's commands. The
// factors of a point go under their codes, each code once, in the point's monitor order.
class Hj212Message
{
public:
    static constexpr const char *realTime = "2011";
    static constexpr const char *minuteData = "2051";
    static constexpr const char *hourData = "2061";
    static constexpr const char *dayData = "2031";
    static constexpr const char *requestAnswer = "9011";
    static constexpr const char *executionResult = "9012";
    static constexpr const char *dataAnswer = "9014";
    static constexpr const char *setRtdInterval = "1062";
    static constexpr const char *getRtdInterval = "1061";
    static constexpr const char *getTime = "1011";
    static constexpr const char *setTime = "1012";

    // One reading for the real-time upload.
    struct Reading
    {
        std::string monitor;
        std::string factor;
        int channel = 0;
        std::string value;
        std::string status; // "N", "B" or "F"
    };

    // CN of a period kind.
    static const char *commandOf(Hj212Statistics::Kind kind);

    // 2011: DataTime and each coded factor's Rtd (of an 'N' reading) and Flag.
    static std::vector<std::string> realTimeData(const Hj212Packet::Header &header,
                                                 const std::string &dataTime,
                                                 const std::vector<Reading> &readings,
                                                 const Hj212Settings::Resolved &codes,
                                                 const std::vector<std::string> &monitors);
    // 2051/2061/2031 with the period's start as DataTime; empty when no factor has a code.
    static std::vector<std::string> periodData(const Hj212Packet::Header &header,
                                               const Hj212Statistics::Period &period,
                                               const Hj212Settings::Resolved &codes);
    // A one-segment answer whose CP holds `cp`.
    static std::string answer(const Hj212Packet::Header &header, const std::string &cp);
};

#endif // HJ212MESSAGE_H
