#ifndef SENSORDOCOMMON_H
#define SENSORDOCOMMON_H

#include "sensorbase.h"

// Dissolved oxygen of the DI590 and RO592; the instrument may switch its unit at a sync.
class SensorDOCommon : public SensorBase
{
public:
    SensorDOCommon() : SensorBase("DO sensor", "DO", "ppm", 0, 20, 2, true) {}
};

#endif // SENSORDOCOMMON_H
