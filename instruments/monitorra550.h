#ifndef MONITORRA550_H
#define MONITORRA550_H

#include "monitorbase.h"
#include "sensoro3e2p2.h"
#include "sensoro3e3ma20.h"
#include "sensorrcle2p2.h"
#include "sensorrcle3ma100.h"
#include "sensorrcle3ma2.h"
#include "sensorrcle3ma20.h"
#include "sensortempercommon.h"

// RA550 residual-chlorine/ozone analyser: 0x3006 chooses chlorine or ozone, 0x3007 the
// sensor variant whose decimals scale the readings, 0x3008 the temperature sensor.
class MonitorRA550 : public MonitorBase
{
public:
    MonitorRA550(const std::string &username, int id, bool running, bool record);

    int readSensors(modbus_t *context) override;

protected:
    std::string mainFactor() const override;
    float mainDivisor() const override;

    SensorRCLE2P2 rclE2P2;
    SensorRCLE3MA2 rclE3MA2;
    SensorRCLE3MA20 rclE3MA20;
    SensorRCLE3MA100 rclE3MA100;
    SensorO3E2P2 o3E2P2;
    SensorO3E3MA20 o3E3MA20;
    SensorTemperCommon temperSensor;
};

#endif // MONITORRA550_H
