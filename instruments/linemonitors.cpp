#include "linemonitors.h"

#include "instruments/monitorcollection.h"

void LineMonitors::readAll(modbus_t *context, const PassPlan &plan)
{
    collection->readAll(context, plan, line);
}

void LineMonitors::lineRestored()
{
    collection->checkModelsAgain(line);
}
