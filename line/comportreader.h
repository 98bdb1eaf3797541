#ifndef COMPORTREADER_H
#define COMPORTREADER_H

#include "comportctrl.h"
#include "linestop.h"
#include "passplan.h"

#include <QMetaType>
#include <QObject>

class QMutex;
class QTimer;

// Runs every Modbus exchange of the station on the reader thread: whole read passes and
// syncs, queued from the interface thread and served in order. Each holds the line's mutex
// from start to end, so the line cannot be opened or closed under an exchange. The line is
// switched off through here too: a stop request cuts the work short between two exchanges,
// and the close queued behind it runs as soon as the exchange on the wire has ended, so the
// interface thread never waits for an instrument's timeout.
//
// A device that goes away under a pass (an adapter unplugged, the node removed) marks the
// line lost: the line is closed, passes go on without touching it (every synced monitor reads
// 'B'), and the same device is reopened every reconnectMs until it is back; at the next pass
// every monitor checks that the same model still answers before its reading, which costs
// one exchange each rather than a whole sync. Switching the line off ends the retries.
// A Modbus TCP gateway is connected here, before the first exchange that needs it; a refused
// or lost connection makes the line lost in the same way, and reconnecting means the gateway
// accepts again.
//
// The `void *` arguments are interface pointers: a ReadClient * for `read`, a SyncClient *
// for `sync` and `signal_syncDone` (see those headers for how they are made).
class ComPortReader : public QObject
{
    Q_OBJECT

public:
    // `mutex` belongs to the serial port panel and outlives the reader.
    explicit ComPortReader(QMutex *mutex);

    static constexpr int reconnectMs = 2000;

    // Any thread: the passes and syncs running or queued make no further exchange until
    // clearStop. A pass leaves the monitors it did not read unsynced, so that they show
    // nothing instead of a failure that did not happen or an old value.
    void requestStop() { stop.request(); }
    // Call with the line's mutex held, before the line is opened again.
    void clearStop() { stop.clear(); }

public slots:
    // One read pass of the ReadClient `reader` on ctrl's context for `plan`, then
    // signal_readDone(plan).
    void read(void *reader, ComPortCtrl *ctrl, const PassPlan &plan);
    // One sync of the SyncClient `reader`, then signal_syncDone(reader).
    void sync(void *reader, ComPortCtrl *ctrl);
    // Closes ctrl's line, then signal_lineClosed(ticket); a reconnection under way ends.
    void closeLine(ComPortCtrl *ctrl, int ticket);
    // Ends the reconnection; connected to the end of the reader thread.
    void stopReconnecting();

signals:
    // The pass's readings, retries of failing monitors included, are in the monitors. The
    // next pass leaves them alone until it is asked for.
    void signal_readDone(const PassPlan &plan);
    // The line's device went away, and reopening it has begun.
    void signal_lineLost();
    // The device was reopened.
    void signal_lineRestored();
    void signal_syncDone(void *reader);
    void signal_lineClosed(int ticket);

private slots:
    void reopen();

private:
    // Before a pass or sync: a gateway line without a connection connects.
    void connectGateway(ComPortCtrl *ctrl);
    // After a pass or sync: a line that was found lost is closed and reopening begins.
    void noticeLoss(ComPortCtrl *ctrl);

    QMutex *mutex;
    LineStop stop;
    QTimer *reconnectTimer;
    ComPortCtrl *lostLine = nullptr;
    bool restored = false; // the monitors have not been unsynced since the line came back
};

Q_DECLARE_METATYPE(ComPortCtrl *)

#endif // COMPORTREADER_H
