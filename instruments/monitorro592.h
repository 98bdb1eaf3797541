#ifndef MONITORRO592_H
#define MONITORRO592_H

#include "monitordi590.h"

// RO592 dissolved-oxygen analyser: a DI590 whose temperature sensor is always fitted and
// whose configuration is the single DO unit word.
class MonitorRO592 : public MonitorDI590
{
public:
    MonitorRO592(const std::string &username, int id, bool running, bool record);

    int readSensors(modbus_t *context) override;
};

#endif // MONITORRO592_H
