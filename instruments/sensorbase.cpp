#include "sensorbase.h"

#include <charconv>
#include <cmath>

SensorBase::SensorBase(const char *name, const char *factor, const char *unit, float minimum,
                       float maximum, int decimals, bool controlled)
    : name(name), factor(factor), unit(unit), minimum(minimum), maximum(maximum),
      decimals(decimals), controlled(controlled)
{
}

SensorBase::~SensorBase() = default;

std::string SensorBase::valueText(float value) const
{
    // std::to_chars ignores the process locale, which Qt sets from the environment:
    // a German desktop must not turn 8.50 into 8,50 in stored records.
    char text[64];
    if (decimals <= 0) {
        const double whole = std::trunc(double(value));
        if (!std::isfinite(whole) || std::fabs(whole) >= 1e18)
            return std::to_string(whole);
        return std::to_string(static_cast<long long>(whole));
    }
    const auto result =
        std::to_chars(text, text + sizeof(text), double(value), std::chars_format::fixed, decimals);
    if (result.ec != std::errc())
        return std::to_string(value);
    return std::string(text, result.ptr);
}
