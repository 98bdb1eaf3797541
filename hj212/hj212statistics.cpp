#include "hj212statistics.h"

#include "storage/recordreader.h"
#include "storage/zircon.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <map>

namespace {

// A stored value as an integer at its own decimals: "-8.25" is -825 at 2.
bool scaledValue(const std::string &text, int64_t &value, int &decimals)
{
    size_t at = 0;
    const bool negative = !text.empty() && (text[0] == '-' || text[0] == '+');
    if (negative)
        at = 1;
    const bool minus = negative && text[0] == '-';
    int64_t number = 0;
    int digits = 0;
    decimals = -1;
    for (; at < text.size(); ++at) {
        const char c = text[at];
        if (c == '.' && decimals < 0) {
            decimals = 0;
            continue;
        }
        if (!std::isdigit(static_cast<unsigned char>(c)) || ++digits > 15)
            return false;
        number = number * 10 + (c - '0');
        if (decimals >= 0)
            ++decimals;
    }
    if (digits == 0)
        return false;
    decimals = std::max(decimals, 0);
    value = minus ? -number : number;
    return true;
}

int64_t power10(int exponent)
{
    int64_t result = 1;
    while (exponent-- > 0)
        result *= 10;
    return result;
}

std::string formatScaled(int64_t value, int decimals)
{
    const bool negative = value < 0;
    const uint64_t magnitude = negative ? uint64_t(-value) : uint64_t(value);
    std::string digits = std::to_string(magnitude);
    if (decimals > 0) {
        if (digits.size() <= size_t(decimals))
            digits.insert(0, size_t(decimals) + 1 - digits.size(), '0');
        digits.insert(digits.size() - size_t(decimals), 1, '.');
    }
    return negative && magnitude != 0 ? "-" + digits : digits;
}

struct Accumulator
{
    int channel = 0;
    long count = 0;
    int decimals = 0;
    int64_t sum = 0, min = 0, max = 0;
    bool sawB = false;

    void rescale(int to)
    {
        const int64_t factor = power10(to - decimals);
        sum *= factor;
        min *= factor;
        max *= factor;
        decimals = to;
    }
    void add(const RecordRow &row)
    {
        int64_t value = 0;
        int places = 0;
        const bool readable = scaledValue(row.value, value, places);
        if (readable && places > decimals && places <= 9)
            rescale(places);
        if (row.status == "B")
            sawB = true;
        if (row.status != "N" || !readable || places > 9)
            return;
        value *= power10(decimals - places);
        if (count == 0 || value < min)
            min = value;
        if (count == 0 || value > max)
            max = value;
        sum += value;
        ++count;
    }
    Hj212Statistics::Factor result() const
    {
        Hj212Statistics::Factor factor;
        factor.channel = channel;
        factor.count = count;
        if (count == 0) {
            factor.flag = sawB ? 'B' : 'F';
            return factor;
        }
        factor.flag = 'N';
        factor.min = formatScaled(min, decimals);
        factor.max = formatScaled(max, decimals);
        const int64_t magnitude = sum < 0 ? -sum : sum;
        int64_t average = (2 * magnitude + count) / (2 * count);
        factor.avg = formatScaled(sum < 0 ? -average : average, decimals);
        return factor;
    }
};

const char *const storedFormat = "yyyy-MM-dd hh:mm:ss";

} // namespace

QDateTime Hj212Statistics::periodStart(const QDateTime &time, Kind kind, int minuteInterval)
{
    const QDate date = time.date();
    const QTime clock = time.time();
    switch (kind) {
    case Day:
        return QDateTime(date, QTime(0, 0));
    case Hour:
        return QDateTime(date, QTime(clock.hour(), 0));
    case Minute:
    default: {
        const int length = std::max(1, minuteInterval);
        const int minute = clock.minute() - clock.minute() % length;
        return QDateTime(date, QTime(clock.hour(), minute));
    }
    }
}

QDateTime Hj212Statistics::nextStart(const QDateTime &start, Kind kind, int minuteInterval)
{
    switch (kind) {
    case Day:
        return QDateTime(start.date().addDays(1), QTime(0, 0));
    case Hour:
        return periodStart(start.addSecs(3600), Hour, 0);
    case Minute:
    default:
        return periodStart(start.addSecs(60 * std::max(1, minuteInterval)), Minute, minuteInterval);
    }
}

std::string Hj212Statistics::storedText(const QDateTime &time)
{
    return time.toString(QLatin1String(storedFormat)).toStdString();
}

std::string Hj212Statistics::packetText(const QDateTime &time)
{
    return time.toString(QStringLiteral("yyyyMMddhhmmss")).toStdString();
}

std::string Hj212Statistics::packetText(const std::string &stored)
{
    std::string text;
    for (char c : stored)
        if (std::isdigit(static_cast<unsigned char>(c)))
            text += c;
    return text;
}

QDateTime Hj212Statistics::parse(const std::string &text)
{
    const QString value = QString::fromStdString(text);
    QDateTime time = QDateTime::fromString(value, QLatin1String(storedFormat));
    if (!time.isValid())
        time = QDateTime::fromString(value, QStringLiteral("yyyyMMddhhmmss"));
    return time;
}

int Hj212Statistics::compute(RecordReader &reader, const std::vector<std::string> &monitors,
                             Kind kind, int minuteInterval, const QDateTime &from,
                             const QDateTime &to, const Handler &handler)
{
    // A day at a time: the rows of a year never have to be held at once.
    for (QDateTime chunk = from; chunk < to;) {
        const QDateTime chunkEnd = std::min(nextStart(periodStart(chunk, Day, 0), Day, 0), to);
        const std::string low = storedText(chunk);
        const std::string high = storedText(chunkEnd);
        // period start -> monitor index -> (channel, factor) -> accumulator
        std::map<std::string, std::map<size_t, std::map<std::pair<int, std::string>, Accumulator>>>
            periods;
        for (size_t m = 0; m < monitors.size(); ++m) {
            char *sql = zircon_create_sql(" WHERE name = %Q AND time >= %Q AND time < %Q",
                                          monitors[m].c_str(), low.c_str(), high.c_str());
            const std::string condition = sql ? sql : "";
            zircon_destroy_sql(sql);
            // Rows come in time order: the period's text changes only at a period's edge.
            std::string lastTime;
            std::string lastStart;
            const int rc = reader.read(condition, [&](std::vector<RecordRow> &page) {
                for (const RecordRow &row : page) {
                    if (row.time.size() < 19)
                        continue;
                    if (row.time.compare(0, 16, lastTime, 0, 16) != 0) {
                        const QDateTime time = parse(row.time);
                        if (!time.isValid())
                            continue;
                        lastTime = row.time;
                        lastStart = storedText(periodStart(time, kind, minuteInterval));
                    }
                    Accumulator &accumulator =
                        periods[lastStart][m][std::make_pair(row.channel, row.factor)];
                    accumulator.channel = row.channel;
                    accumulator.add(row);
                }
                return true;
            });
            if (rc != 0)
                return rc;
        }
        for (const auto &period : periods) {
            Period out;
            out.start = period.first;
            for (const auto &monitor : period.second)
                for (const auto &factor : monitor.second) {
                    Factor result = factor.second.result();
                    result.monitor = monitors[monitor.first];
                    result.factor = factor.first.second;
                    out.factors.push_back(result);
                }
            if (!handler(out))
                return RecordReader::Cancelled;
        }
        chunk = chunkEnd;
    }
    return 0;
}
