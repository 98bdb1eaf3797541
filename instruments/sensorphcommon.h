#ifndef SENSORPHCOMMON_H
#define SENSORPHCOMMON_H

#include "sensorbase.h"

// pH of a DO580 in pH mode; it has no unit of its own.
class SensorPHCommon : public SensorBase
{
public:
    SensorPHCommon() : SensorBase("pH sensor", "pH", "", 0, 14, 2, true) {}
};

#endif // SENSORPHCOMMON_H
