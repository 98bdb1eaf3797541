#ifndef SENSORRCLE3MA20_H
#define SENSORRCLE3MA20_H

#include "sensorbase.h"

// Residual chlorine, RA550 variant 2.
class SensorRCLE3MA20 : public SensorBase
{
public:
    SensorRCLE3MA20() : SensorBase("RCL sensor", "RCL", "ppm", 0, 20, 2, true) {}
};

#endif // SENSORRCLE3MA20_H
