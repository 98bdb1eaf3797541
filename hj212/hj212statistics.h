#ifndef HJ212STATISTICS_H
#define HJ212STATISTICS_H

#include <QDateTime>

#include <functional>
#include <string>
#include <vector>

class RecordReader;

// Minute, hour and day statistics of a point's monitors, computed from the record file so that
// a re-send gives exactly what the live upload gave: of each factor the minimum, average and
// maximum of its 'N' readings in the period, with the decimals of its stored values. A factor
// without an 'N' reading in the period carries no values and the flag B when any of its
// readings was B, else F. Periods in which none of the monitors has a row are left out.
//
// Values are summed as integers at the factor's decimals, so the average does not depend on
// the order of the rows; it is rounded half away from zero.
class Hj212Statistics
{
public:
    enum Kind
    {
        Minute, // periods of minuteInterval minutes from midnight
        Hour,
        Day,
    };

    struct Factor
    {
        std::string monitor;
        std::string factor;
        int channel = 0;
        long count = 0;            // of 'N' readings
        std::string min, avg, max; // empty without 'N' readings
        char flag = 'F';
    };
    struct Period
    {
        std::string start; // "yyyy-MM-dd hh:mm:ss"
        // In the order of the monitors given, then by channel and factor.
        std::vector<Factor> factors;
    };
    // Gets each period in time order; false stops the computation.
    using Handler = std::function<bool(const Period &period)>;

    // Hands over the periods starting in [from, to) (times as stored) of these monitors, a day
    // at a time. 0, RecordReader::Cancelled when the handler or a cancel stopped it, or the
    // library's code.
    static int compute(RecordReader &reader, const std::vector<std::string> &monitors, Kind kind,
                       int minuteInterval, const QDateTime &from, const QDateTime &to,
                       const Handler &handler);

    // The start of the period holding the time, and the start of the next one.
    static QDateTime periodStart(const QDateTime &time, Kind kind, int minuteInterval);
    static QDateTime nextStart(const QDateTime &start, Kind kind, int minuteInterval);
    // "yyyy-MM-dd hh:mm:ss" as stored, and the packets' "yyyyMMddhhmmss".
    static std::string storedText(const QDateTime &time);
    static std::string packetText(const QDateTime &time);
    static std::string packetText(const std::string &stored);
    // A stored or packet time; invalid when it is neither.
    static QDateTime parse(const std::string &text);
};

#endif // HJ212STATISTICS_H
