#include "monitordo580.h"

MonitorDO580::MonitorDO580(const std::string &username, int id, bool running, bool record)
    : MonitorBase("DO580", username, id, running, record)
{
    sensorMap = {{"pH", nullptr}, {"ORP", nullptr}, {"Temper", nullptr}};
}

int MonitorDO580::readSensors(modbus_t *context)
{
    uint16_t words[2];
    if (!configurationWords(context, 2, words))
        return -1;

    std::lock_guard<std::mutex> guard(lock);
    if (words[0] != 0) {
        fit("ORP", &orpSensor);
        mainSensor = &orpSensor;
        sensorMap["pH"] = nullptr;
        sensorMap["Temper"] = nullptr;
    } else {
        fit("pH", &phSensor);
        mainSensor = &phSensor;
        sensorMap["ORP"] = nullptr;
        fit("Temper", words[1] > 1 ? &temperSensor : nullptr);
    }
    return 0;
}

std::string MonitorDO580::mainFactor() const
{
    if (sensorMap.at("pH"))
        return "pH";
    if (sensorMap.at("ORP"))
        return "ORP";
    return std::string();
}

float MonitorDO580::mainDivisor() const
{
    return sensorMap.at("pH") ? 100 : 1;
}

char MonitorDO580::judge(const std::string &factor, float value) const
{
    float low = -2000, high = 2000;
    if (factor == "pH") {
        low = -2;
        high = 16;
    } else if (factor == "Temper") {
        low = -30;
        high = 130;
    }
    return value >= low && value <= high ? 'N' : 'F';
}
