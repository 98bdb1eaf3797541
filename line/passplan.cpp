#include "passplan.h"

#include <QDateTime>

qint64 PassPlan::time() const
{
    return stamp ? stamp : QDateTime::currentSecsSinceEpoch();
}
