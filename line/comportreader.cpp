#include "comportreader.h"

#include "acquisition/threadhandoff.h"
#include "readclient.h"
#include "syncclient.h"

#include <QTimer>

ComPortReader::ComPortReader(QMutex *mutex) : mutex(mutex), reconnectTimer(new QTimer(this))
{
    // Queued connections copy their arguments by meta type.
    qRegisterMetaType<ComPortCtrl *>("ComPortCtrl*");
    qRegisterMetaType<PassPlan>("PassPlan");
    reconnectTimer->setInterval(reconnectMs);
    connect(reconnectTimer, &QTimer::timeout, this, &ComPortReader::reopen);
}

void ComPortReader::read(void *reader, ComPortCtrl *ctrl, const PassPlan &plan)
{
    auto *client = static_cast<ReadClient *>(reader);
    LineStatistics *line = ctrl ? &ctrl->statistics() : nullptr;
    {
        HandOffLocker locker(mutex);
        LineStop::Scope scope(&stop);
        LineStatistics::Scope lineScope(line);
        connectGateway(ctrl);
        if (client && restored) {
            restored = false;
            client->lineRestored();
        }
        if (client)
            client->readAll(ctrl ? ctrl->getContext() : nullptr, plan);
        // A pass cut short by a stop says nothing of the line's pace.
        if (line && !stop.isRequested())
            line->passEnded();
        noticeLoss(ctrl);
    }
    emit signal_readDone(plan);
}

void ComPortReader::sync(void *reader, ComPortCtrl *ctrl)
{
    {
        HandOffLocker locker(mutex);
        LineStop::Scope scope(&stop);
        LineStatistics::Scope lineScope(ctrl ? &ctrl->statistics() : nullptr);
        connectGateway(ctrl);
        if (reader)
            static_cast<SyncClient *>(reader)->syncMonitor(ctrl ? ctrl->getContext() : nullptr);
        noticeLoss(ctrl);
    }
    emit signal_syncDone(reader);
}

void ComPortReader::closeLine(ComPortCtrl *ctrl, int ticket)
{
    {
        HandOffLocker locker(mutex);
        stopReconnecting();
        if (ctrl) {
            ctrl->close();
            ctrl->statistics().setLost(false);
        }
    }
    emit signal_lineClosed(ticket);
}

void ComPortReader::stopReconnecting()
{
    reconnectTimer->stop();
    lostLine = nullptr;
}

void ComPortReader::connectGateway(ComPortCtrl *ctrl)
{
    // Made here rather than where the line is opened, so that a slow or absent gateway holds
    // up this thread alone. One that refuses is lost like a vanished device: the pass's
    // exchanges fail at once and the reconnection starts after it.
    if (ctrl && ctrl->getContext() && !ctrl->statistics().isLost() && !stop.isRequested() &&
        ctrl->connectGateway() != 0)
        ctrl->statistics().setLost(true);
}

void ComPortReader::noticeLoss(ComPortCtrl *ctrl)
{
    if (!ctrl || !ctrl->getContext() || !ctrl->statistics().isLost() || stop.isRequested())
        return;
    // The descriptor of a vanished device is of no further use; the same settings open the
    // device again once it is back.
    ctrl->close();
    lostLine = ctrl;
    restored = false;
    reconnectTimer->start();
    emit signal_lineLost();
}

void ComPortReader::reopen()
{
    HandOffLocker locker(mutex);
    if (!lostLine || stop.isRequested()) {
        stopReconnecting();
        return;
    }
    if (lostLine->reopen() != 0)
        return;
    lostLine->statistics().setLost(false);
    stopReconnecting();
    restored = true;
    emit signal_lineRestored();
}
