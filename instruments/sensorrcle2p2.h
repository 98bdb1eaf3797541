#ifndef SENSORRCLE2P2_H
#define SENSORRCLE2P2_H

#include "sensorbase.h"

// Residual chlorine, RA550 variant 0.
class SensorRCLE2P2 : public SensorBase
{
public:
    SensorRCLE2P2() : SensorBase("RCL sensor", "RCL", "ppm", 0, 20, 2, true) {}
};

#endif // SENSORRCLE2P2_H
