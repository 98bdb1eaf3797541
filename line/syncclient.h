#ifndef SYNCCLIENT_H
#define SYNCCLIENT_H

#include <modbus.h>

// What asks the reader thread for a sync of one monitor (its detail panel). The reader calls
// it back on its own thread with the line's mutex held.
//
// The request and the answer (ComPortReader::signal_syncDone) carry
// static_cast<void *>(static_cast<SyncClient *>(object)); a receiver recognises its own
// answer by comparing with that same value, never with its plain `this`.
class SyncClient
{
public:
    virtual ~SyncClient() = default;
    // Syncs the monitor; the context is null while the line is closed, and the sync fails.
    virtual void syncMonitor(modbus_t *context) = 0;
};

#endif // SYNCCLIENT_H
