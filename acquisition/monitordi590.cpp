#include "monitordi590.h"

MonitorDI590::MonitorDI590(const std::string &username, int id, bool running, bool record)
    : MonitorDI590("DI590", username, id, running, record)
{
}

MonitorDI590::MonitorDI590(const char *model, const std::string &username, int id, bool running,
                           bool record)
    : MonitorBase(model, username, id, running, record)
{
    sensorMap = {{"DO", nullptr}, {"Temper", nullptr}};
}

int MonitorDI590::readSensors(modbus_t *context)
{
    return readConfiguration(context, 3);
}

std::string MonitorDI590::mainFactor() const
{
    return "DO";
}

int MonitorDI590::readConfiguration(modbus_t *context, int count)
{
    uint16_t words[3];
    if (!configurationWords(context, count, words))
        return -1;

    std::lock_guard<std::mutex> guard(lock);
    fit("DO", &doSensor);
    mainSensor = &doSensor;
    switch (words[0]) {
    case 0:
        doSensor.unit = "ppm";
        break;
    case 1:
        doSensor.unit = "mg/L";
        break;
    case 2:
        // Saturation comes in tenths of a percent. Codes 0 and 1 set the unit text only, so
        // a monitor that once reported % keeps this scale.
        doSensor.unit = "%";
        doSensor.decimals = 1;
        doDivisor = 10;
        break;
    default:
        break;
    }
    fit("Temper", count < 3 || words[2] > 1 ? &temperSensor : nullptr);
    return 0;
}
