#ifndef LINEMONITORS_H
#define LINEMONITORS_H

#include "line/readclient.h"

class MonitorCollection;

// The monitors of one line as its reader reads them: each pass covers the collection's
// monitors on that line, which leaves the other lines' monitors to their own readers.
class LineMonitors : public ReadClient
{
public:
    LineMonitors(MonitorCollection *collection, int line) : collection(collection), line(line) {}

    void readAll(modbus_t *context, const PassPlan &plan) override;
    void lineRestored() override;
    void *readToken() { return static_cast<void *>(static_cast<ReadClient *>(this)); }
    int getLine() const { return line; }

private:
    MonitorCollection *collection;
    int line;
};

#endif // LINEMONITORS_H
