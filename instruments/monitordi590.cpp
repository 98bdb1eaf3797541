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
    // Each known code sets the unit and its scale together, so that an instrument switched
    // from % back to a concentration is not shown and recorded ten times too large.
    // Saturation comes in tenths of a percent, concentrations in hundredths. An unknown code
    // leaves unit and scale as they were.
    switch (words[0]) {
    case 0:
    case 1:
        doSensor.unit = words[0] == 0 ? "ppm" : "mg/L";
        doSensor.decimals = 2;
        doDivisor = 100;
        break;
    case 2:
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
