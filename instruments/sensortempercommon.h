#ifndef SENSORTEMPERCOMMON_H
#define SENSORTEMPERCOMMON_H

#include "sensorbase.h"

// Water temperature, fitted to some instruments of every model.
class SensorTemperCommon : public SensorBase
{
public:
    SensorTemperCommon() : SensorBase("Temper sensor", "Temper", "℃", -20, 130, 1, false) {}
};

#endif // SENSORTEMPERCOMMON_H
