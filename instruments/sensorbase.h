#ifndef SENSORBASE_H
#define SENSORBASE_H

#include <string>

// One measured factor as the station presents it: names, unit, range and decimals.
// Monitors own their sensors; interface code works on copies taken from a snapshot.
class SensorBase
{
public:
    SensorBase(const char *name, const char *factor, const char *unit, float minimum, float maximum,
               int decimals, bool controlled);
    SensorBase(const SensorBase &) = default;
    SensorBase &operator=(const SensorBase &) = default;
    virtual ~SensorBase();

    // The one value-text rule of every display and record: fixed-point with `decimals`
    // digits, or the value truncated toward zero when the sensor has no decimals.
    std::string valueText(float value) const;

    std::string name;
    std::string factor;
    std::string unit;
    float minimum;
    float maximum;
    int decimals;
    bool controlled;
};

#endif // SENSORBASE_H
