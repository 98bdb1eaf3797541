#include "hj212message.h"

#include <algorithm>
#include <set>

const char *Hj212Message::commandOf(Hj212Statistics::Kind kind)
{
    switch (kind) {
    case Hj212Statistics::Hour:
        return hourData;
    case Hj212Statistics::Day:
        return dayData;
    case Hj212Statistics::Minute:
    default:
        return minuteData;
    }
}

std::vector<std::string> Hj212Message::realTimeData(const Hj212Packet::Header &header,
                                                    const std::string &dataTime,
                                                    const std::vector<Reading> &readings,
                                                    const Hj212Settings::Resolved &codes,
                                                    const std::vector<std::string> &monitors)
{
    std::vector<const Reading *> ordered;
    for (const Reading &reading : readings)
        ordered.push_back(&reading);
    const auto rank = [&monitors](const std::string &monitor) {
        return std::find(monitors.begin(), monitors.end(), monitor) - monitors.begin();
    };
    std::stable_sort(ordered.begin(), ordered.end(), [&](const Reading *a, const Reading *b) {
        const auto ra = rank(a->monitor);
        const auto rb = rank(b->monitor);
        if (ra != rb)
            return ra < rb;
        if (a->channel != b->channel)
            return a->channel < b->channel;
        return a->factor < b->factor;
    });
    std::vector<std::string> groups;
    std::set<std::string> used;
    for (const Reading *reading : ordered) {
        const std::string code = codes.code(reading->monitor, reading->factor);
        if (code.empty() || !used.insert(code).second)
            continue;
        const std::string flag = reading->status.empty() ? "F" : reading->status;
        // Only a normal reading's value means anything: the others are placeholders.
        groups.push_back(flag == "N" ? code + "-Rtd=" + reading->value + "," + code + "-Flag=N"
                                     : code + "-Flag=" + flag);
    }
    if (groups.empty())
        return {};
    Hj212Packet::Header own = header;
    own.cn = realTime;
    return Hj212Packet::build(own, "DataTime=" + dataTime, groups);
}

std::vector<std::string> Hj212Message::periodData(const Hj212Packet::Header &header,
                                                  const Hj212Statistics::Period &period,
                                                  const Hj212Settings::Resolved &codes)
{
    std::vector<std::string> groups;
    std::set<std::string> used;
    for (const Hj212Statistics::Factor &factor : period.factors) {
        const std::string code = codes.code(factor.monitor, factor.factor);
        if (code.empty() || !used.insert(code).second)
            continue;
        if (factor.flag == 'N')
            groups.push_back(code + "-Min=" + factor.min + "," + code + "-Avg=" + factor.avg + "," +
                             code + "-Max=" + factor.max + "," + code + "-Flag=N");
        else
            groups.push_back(code + "-Flag=" + std::string(1, factor.flag));
    }
    if (groups.empty())
        return {};
    return Hj212Packet::build(header, "DataTime=" + Hj212Statistics::packetText(period.start),
                              groups);
}

std::string Hj212Message::answer(const Hj212Packet::Header &header, const std::string &cp)
{
    const std::vector<std::string> segments = Hj212Packet::build(header, cp, {});
    return segments.empty() ? std::string() : segments.front();
}
