#include "excelwriter.h"

#include "acquisition/threadhandoff.h"
#include "history/recordworkbook.h"

#include <QCoreApplication>
#include <QFile>
#include <QList>
#include <QThread>

namespace {

struct Retired
{
    ExcelWriter *writer;
    QThread *thread;
};

// Interface thread only.
QList<Retired> retired;

void reap(QThread *thread)
{
    for (int i = 0; i < retired.size(); ++i) {
        if (retired[i].thread != thread)
            continue;
        const Retired gone = retired.takeAt(i);
        gone.thread->wait();
        ThreadHandOff::acquire();
        delete gone.writer;
        delete gone.thread;
        return;
    }
}

} // namespace

ExcelWriter::ExcelWriter(QObject *parent) : QObject(parent)
{
    // The rows travel in queued signals between the threads.
    qRegisterMetaType<std::shared_ptr<const RecordResult>>();
}

void ExcelWriter::cancel()
{
    cancelled = true;
}

void ExcelWriter::retire(ExcelWriter *writer, QThread *thread)
{
    static bool waitsAtExit = false;
    if (!waitsAtExit) {
        qAddPostRoutine(waitForRetired);
        waitsAtExit = true;
    }
    writer->cancel();
    retired.append({writer, thread});
    QObject::connect(
        thread, &QThread::finished, QCoreApplication::instance(), [thread] { reap(thread); },
        Qt::QueuedConnection);
    // After the writes already queued, which return at once now.
    QMetaObject::invokeMethod(
        writer, [] { QThread::currentThread()->quit(); }, Qt::QueuedConnection);
}

void ExcelWriter::waitForRetired()
{
    while (!retired.isEmpty())
        reap(retired.first().thread);
}

void ExcelWriter::write(std::shared_ptr<const RecordResult> rows, QString path)
{
    ThreadHandOff::acquire();
    if (cancelled || !rows) {
        // The name was reserved with an empty file.
        QFile::remove(path);
        ThreadHandOff::release();
        emit signal_writeFailed(path);
        return;
    }
    bool saved = false;
    {
        RecordWorkbook workbook(path);
        workbook.beginInitialSheet(RecordWorkbook::headers());
        const int step = rows->rowCount() / 100;
        int count = 0;
        int written = 0;
        for (int position = 0; position < rows->bucketCount() && !cancelled; ++position) {
            const RecordResult::Bucket &bucket = rows->bucket(position);
            // Newest first, as listed.
            for (auto row = bucket.rows.rbegin(); row != bucket.rows.rend(); ++row) {
                if (cancelled || workbook.hasFailed())
                    break;
                const RecordResult::Kind &kind = rows->kind(row->kind);
                workbook.appendRecord(row->texts, bucket.nameUtf8.c_str(), kind.modelUtf8.c_str(),
                                      kind.slaveNumber, bucket.channelNumber,
                                      kind.factorUtf8.c_str(), RecordResult::valueOf(row->texts),
                                      kind.unitUtf8.c_str(), kind.statusUtf8.c_str());
                ++written;
                if (++count == step) {
                    count = 0;
                    emit signal_progressExcel(written);
                }
            }
        }
        // An unsaved workbook removes its file as it goes.
        if (!cancelled)
            saved = workbook.save();
    }
    ThreadHandOff::release();
    if (saved)
        emit signal_writeDone(path);
    else
        emit signal_writeFailed(path);
}
