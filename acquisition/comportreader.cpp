#include "comportreader.h"

#include "readclient.h"
#include "syncclient.h"
#include "threadhandoff.h"

ComPortReader::ComPortReader(QMutex *mutex) : mutex(mutex)
{
    // Queued connections copy their arguments by meta type.
    qRegisterMetaType<ComPortCtrl *>("ComPortCtrl*");
}

void ComPortReader::read(void *reader, ComPortCtrl *ctrl)
{
    {
        HandOffLocker locker(mutex);
        LineStop::Scope scope(&stop);
        if (reader)
            static_cast<ReadClient *>(reader)->readAll(ctrl ? ctrl->getContext() : nullptr);
    }
    emit signal_readDone();
}

void ComPortReader::sync(void *reader, ComPortCtrl *ctrl)
{
    {
        HandOffLocker locker(mutex);
        LineStop::Scope scope(&stop);
        if (reader)
            static_cast<SyncClient *>(reader)->syncMonitor(ctrl ? ctrl->getContext() : nullptr);
    }
    emit signal_syncDone(reader);
}

void ComPortReader::closeLine(ComPortCtrl *ctrl, int ticket)
{
    {
        HandOffLocker locker(mutex);
        if (ctrl)
            ctrl->close();
    }
    emit signal_lineClosed(ticket);
}
