#include "recordhandoff.h"

#include "acquisition/threadhandoff.h"
#include "storage/recordingstatus.h"
#include "storage/recordwriter.h"

#include <QThread>

namespace {
RecordHandOff *shared = nullptr;
int openPasses = 0;
} // namespace

RecordHandOff::RecordHandOff() : recordWriter(new RecordWriter), thread(new QThread)
{
    connect(this, &RecordHandOff::signal_rows, recordWriter, &RecordWriter::recordRows);
    ThreadHandOff::start(recordWriter, thread);
}

RecordHandOff::~RecordHandOff()
{
    handOver();
    RecordWriter::stopThread(recordWriter, thread);
    delete thread;
}

RecordHandOff *RecordHandOff::acquire()
{
    if (!shared)
        shared = new RecordHandOff;
    ++shared->users;
    // As many rows held as a writer of each page would hold.
    shared->recordWriter->setHeldLimit(RecordWriter::maxHeld * size_t(shared->users));
    return shared;
}

void RecordHandOff::release()
{
    if (--shared->users > 0) {
        shared->recordWriter->setHeldLimit(RecordWriter::maxHeld * size_t(shared->users));
        return;
    }
    delete shared;
    shared = nullptr;
}

RecordHandOff *RecordHandOff::current()
{
    return shared;
}

RecordHandOff::Pass::Pass()
{
    ++openPasses;
}

RecordHandOff::Pass::~Pass()
{
    if (--openPasses == 0 && shared)
        shared->handOver();
}

void RecordHandOff::add(const RecordRow &row)
{
    pending.push_back(row);
    RecordingStatus::instance().countHanded();
    if (openPasses == 0)
        handOver();
}

void RecordHandOff::handOver()
{
    if (pending.empty())
        return;
    auto *rows = new std::vector<RecordRow>;
    rows->swap(pending);
    // The next pass's rows are about as many.
    pending.reserve(rows->size());
    ThreadHandOff::release();
    emit signal_rows(this, rows, int(rows->size()));
}

void RecordHandOff::waitForStored()
{
    handOver();
    recordWriter->waitForQueued();
}
