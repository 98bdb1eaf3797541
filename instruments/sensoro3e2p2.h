#ifndef SENSORO3E2P2_H
#define SENSORO3E2P2_H

#include "sensorbase.h"

// Ozone, RA550 variant 0.
class SensorO3E2P2 : public SensorBase
{
public:
    SensorO3E2P2() : SensorBase("O3 sensor", "O3", "ppm", 0, 20, 2, true) {}
};

#endif // SENSORO3E2P2_H
