#ifndef SENSORRCLE3MA100_H
#define SENSORRCLE3MA100_H

#include "sensorbase.h"

// Residual chlorine, RA550 variant 3: the 100 ppm range with one decimal.
class SensorRCLE3MA100 : public SensorBase
{
public:
    SensorRCLE3MA100() : SensorBase("RCL sensor", "RCL", "ppm", 0, 100, 1, true) {}
};

#endif // SENSORRCLE3MA100_H
