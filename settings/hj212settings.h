#ifndef HJ212SETTINGS_H
#define HJ212SETTINGS_H

#include <map>
#include <set>
#include <string>
#include <vector>

// The settings of config/Hj212.json: the platforms the station reports to, each with its
// points (one MN, one connection, the monitors it reports), and the factor codes. A missing
// file means no platform, so nothing is uploaded.
struct Hj212Settings
{
    static constexpr int maxPlatforms = 4;
    static constexpr int minRtdInterval = 30;
    static constexpr int maxRtdInterval = 3600;
    static constexpr size_t pwLength = 6;
    static constexpr size_t maxMnLength = 24;

    struct Point
    {
        std::string mn;
        std::vector<std::string> monitors;
        bool operator==(const Point &other) const
        {
            return mn == other.mn && monitors == other.monitors;
        }
    };

    struct Platform
    {
        std::string name;
        bool enabled = true;
        std::string host;
        int port = 0;
        std::string st = "32";
        std::string pw;
        int rtdInterval = 30;    // seconds between real-time uploads
        int minuteInterval = 10; // minutes of one "minute" period; divides 60
        int overTime = 5;        // seconds to wait for the platform's answer
        int reCount = 3;         // sends again before the connection is made anew
        std::vector<Point> points;
        bool operator==(const Platform &other) const;
        bool operator!=(const Platform &other) const { return !(*this == other); }
    };

    std::vector<Platform> platforms;
    // A factor's code for every monitor ("DO"), or for one monitor ("曝气池/DO"), which wins.
    // An empty code means that factor is deliberately not uploaded.
    std::map<std::string, std::string> codes;

    // The codes of one point's monitors, each used at most once.
    struct Resolved
    {
        // Of the monitors whose model is known: monitor -> factor -> code; a factor absent is
        // not uploaded.
        std::map<std::string, std::map<std::string, std::string>> known;
        // For other monitors (added after the settings were read): the code map's code, as
        // long as no known monitor holds it.
        std::map<std::string, std::string> codes;
        std::set<std::string> taken;
        // The code the factor of the monitor is uploaded under; empty: not uploaded.
        std::string code(const std::string &monitor, const std::string &factor) const;
    };

    // The code of a factor of a monitor: the monitor's own entry, else the factor's, else the
    // built-in one (pH w01001, DO w01009, Temper w01010); empty when none.
    std::string codeFor(const std::string &monitor, const std::string &factor) const
    {
        return codeIn(codes, monitor, factor);
    }
    static std::string codeIn(const std::map<std::string, std::string> &codes,
                              const std::string &monitor, const std::string &factor);
    // The factors a model of the station can report, whatever its configuration.
    static std::vector<std::string> factorsOfModel(const std::string &model);

    // What keeps these settings from being used as they are, in Chinese, one text per problem,
    // given the station's monitors (name -> model). Each platform with a problem of its own is
    // switched off in `usable` (when given), and so is a point with a bad MN; an unknown
    // monitor only reports. Codes of two monitors of one point that would collide (judged by
    // the factors the models can report) are reported: the monitor named first keeps the
    // code, the other's factor is not uploaded (see resolve).
    std::vector<std::string> validate(const std::map<std::string, std::string> &monitorModels,
                                      Hj212Settings *usable = nullptr) const;
    // The codes each monitor of the point uploads: by codeFor, a code already taken by a
    // monitor named earlier in the point left out. Monitors without a known model get the
    // codes of every factor that has one.
    Resolved resolve(const Point &point,
                     const std::map<std::string, std::string> &monitorModels) const;

    // Whether a code, MN, PW or ST can stand in a packet: no blank, control character or any
    // of ";,&=".
    static bool isPacketText(const std::string &text);

    bool operator==(const Hj212Settings &other) const
    {
        return platforms == other.platforms && codes == other.codes;
    }
    bool operator!=(const Hj212Settings &other) const { return !(*this == other); }
};

#endif // HJ212SETTINGS_H
