#ifndef MONITORDO580_H
#define MONITORDO580_H

#include "monitorbase.h"
#include "sensororpcommon.h"
#include "sensorphcommon.h"
#include "sensortempercommon.h"

// DO580 pH/ORP analyser: 0x3006 chooses pH or ORP, 0x3007 says whether a pH instrument has
// temperature. Values outside the plausible range are kept with status 'F'.
class MonitorDO580 : public MonitorBase
{
public:
    MonitorDO580(const std::string &username, int id, bool running, bool record);

    int readSensors(modbus_t *context) override;

protected:
    std::string mainFactor() const override;
    float mainDivisor() const override;
    char judge(const std::string &factor, float value) const override;

    SensorPHCommon phSensor;
    SensorORPCommon orpSensor;
    SensorTemperCommon temperSensor;
};

#endif // MONITORDO580_H
