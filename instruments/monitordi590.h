#ifndef MONITORDI590_H
#define MONITORDI590_H

#include "monitorbase.h"
#include "sensordocommon.h"
#include "sensortempercommon.h"

// DI590 dissolved-oxygen analyser: DO unit code at 0x3006, temperature fitted per 0x3008.
class MonitorDI590 : public MonitorBase
{
public:
    MonitorDI590(const std::string &username, int id, bool running, bool record);

    int readSensors(modbus_t *context) override;

protected:
    MonitorDI590(const char *model, const std::string &username, int id, bool running, bool record);

    std::string mainFactor() const override;
    float mainDivisor() const override { return doDivisor; }
    // Reads `count` configuration words from 0x3006; with fewer than three the temperature
    // sensor is taken as fitted.
    int readConfiguration(modbus_t *context, int count);

    SensorDOCommon doSensor;
    SensorTemperCommon temperSensor;
    float doDivisor = 100;
};

#endif // MONITORDI590_H
