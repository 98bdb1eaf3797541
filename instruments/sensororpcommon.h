#ifndef SENSORORPCOMMON_H
#define SENSORORPCOMMON_H

#include "sensorbase.h"

// Redox potential of a DO580 in ORP mode.
class SensorORPCommon : public SensorBase
{
public:
    SensorORPCommon() : SensorBase("ORP sensor", "ORP", "mV", -2000, 2000, 0, true) {}
};

#endif // SENSORORPCOMMON_H
