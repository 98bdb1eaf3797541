#ifndef SENSORRCLE3MA2_H
#define SENSORRCLE3MA2_H

#include "sensorbase.h"

// Residual chlorine, RA550 variant 1: the 2 ppm range with three decimals.
class SensorRCLE3MA2 : public SensorBase
{
public:
    SensorRCLE3MA2() : SensorBase("RCL sensor", "RCL", "ppm", 0, 2, 3, true) {}
};

#endif // SENSORRCLE3MA2_H
