#ifndef READCLIENT_H
#define READCLIENT_H

#include "passplan.h"

#include <modbus.h>

// What asks the reader thread for a read pass (the monitor list). The reader calls it back
// on its own thread with the line's mutex held.
//
// The request travels as `void *` made from this interface type,
// static_cast<void *>(static_cast<ReadClient *>(object)), and the reader casts it back the
// same way; with several base classes, the object's own address would differ.
class ReadClient
{
public:
    virtual ~ReadClient() = default;
    // Reads every running monitor once for the plan's interval; the context is null while
    // the line is closed.
    virtual void readAll(modbus_t *context, const PassPlan &plan) = 0;
    // The line was reopened after its device had gone away: every monitor checks again that
    // the same model answers.
    virtual void lineRestored() {}
};

#endif // READCLIENT_H
