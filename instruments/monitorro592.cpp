#include "monitorro592.h"

MonitorRO592::MonitorRO592(const std::string &username, int id, bool running, bool record)
    : MonitorDI590("RO592", username, id, running, record)
{
}

int MonitorRO592::readSensors(modbus_t *context)
{
    return readConfiguration(context, 1);
}
