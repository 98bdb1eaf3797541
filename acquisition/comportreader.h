#ifndef COMPORTREADER_H
#define COMPORTREADER_H

#include "comportctrl.h"

#include <QMetaType>
#include <QObject>

class QMutex;

// Runs every Modbus exchange of the station on the reader thread: whole read passes and
// syncs, queued from the interface thread and served in order. Each holds the line's mutex
// from start to end, so the line cannot be opened or closed under an exchange.
//
// The `void *` arguments are interface pointers: a ReadClient * for `read`, a SyncClient *
// for `sync` and `signal_syncDone` (see those headers for how they are made).
class ComPortReader : public QObject
{
    Q_OBJECT

public:
    // `mutex` belongs to the serial port panel and outlives the reader.
    explicit ComPortReader(QMutex *mutex);

public slots:
    // One read pass of the ReadClient `reader` on ctrl's context, then signal_readDone().
    void read(void *reader, ComPortCtrl *ctrl);
    // One sync of the SyncClient `reader`, then signal_syncDone(reader).
    void sync(void *reader, ComPortCtrl *ctrl);

signals:
    void signal_readDone();
    void signal_syncDone(void *reader);

private:
    QMutex *mutex;
};

Q_DECLARE_METATYPE(ComPortCtrl *)

#endif // COMPORTREADER_H
