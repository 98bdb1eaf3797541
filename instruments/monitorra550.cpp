#include "monitorra550.h"

#include <iterator>

MonitorRA550::MonitorRA550(const std::string &username, int id, bool running, bool record)
    : MonitorBase("RA550", username, id, running, record)
{
    sensorMap = {{"RCL", nullptr}, {"O3", nullptr}, {"Temper", nullptr}};
}

int MonitorRA550::readSensors(modbus_t *context)
{
    uint16_t words[3];
    if (!configurationWords(context, 3, words))
        return -1;

    SensorBase *const chlorine[] = {&rclE2P2, &rclE3MA2, &rclE3MA20, &rclE3MA100};
    SensorBase *const ozone[] = {&o3E2P2, &o3E3MA20};
    const bool isOzone = words[0] != 0;
    const uint16_t variant = words[1];
    if (variant >= (isOzone ? std::size(ozone) : std::size(chlorine)))
        return -1;
    SensorBase *sensor = isOzone ? ozone[variant] : chlorine[variant];

    std::lock_guard<std::mutex> guard(lock);
    sensorMap[isOzone ? "RCL" : "O3"] = nullptr;
    fit(isOzone ? "O3" : "RCL", sensor);
    mainSensor = sensor;
    fit("Temper", words[2] > 1 ? &temperSensor : nullptr);
    return 0;
}

std::string MonitorRA550::mainFactor() const
{
    if (sensorMap.at("RCL"))
        return "RCL";
    if (sensorMap.at("O3"))
        return "O3";
    return std::string();
}

float MonitorRA550::mainDivisor() const
{
    static const float powers[] = {1, 10, 100, 1000};
    const int decimals = mainSensor ? mainSensor->decimals : 0;
    return decimals >= 0 && decimals <= 3 ? powers[decimals] : 1;
}
