#ifndef RESPONSEWINDOW_H
#define RESPONSEWINDOW_H

#include <algorithm>
#include <array>

// The newest 64 durations in milliseconds, for a median that does not grow with the
// station's uptime, and their maximum since the last clear.
class ResponseWindow
{
public:
    void add(int ms)
    {
        values[next] = ms;
        next = (next + 1) % values.size();
        count = std::min(count + 1, int(values.size()));
        last = ms;
        maximum = std::max(maximum, ms);
    }
    void clear() { *this = ResponseWindow(); }

    int lastMs() const { return count ? last : -1; }
    int maxMs() const { return count ? maximum : -1; }
    // The upper median; -1 when empty.
    int medianMs() const
    {
        if (!count)
            return -1;
        std::array<int, 64> sorted = values;
        auto middle = sorted.begin() + count / 2;
        std::nth_element(sorted.begin(), middle, sorted.begin() + count);
        return *middle;
    }

private:
    std::array<int, 64> values{};
    size_t next = 0;
    int count = 0;
    int last = -1;
    int maximum = -1;
};

#endif // RESPONSEWINDOW_H
