#ifndef SENSORO3E3MA20_H
#define SENSORO3E3MA20_H

#include "sensorbase.h"

// Ozone, RA550 variant 1.
class SensorO3E3MA20 : public SensorBase
{
public:
    SensorO3E3MA20() : SensorBase("O3 sensor", "O3", "ppm", 0, 20, 2, true) {}
};

#endif // SENSORO3E3MA20_H
