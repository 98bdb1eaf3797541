#ifndef EXCELWRITER_H
#define EXCELWRITER_H

#include "storage/recordresult.h"

#include <QMetaType>
#include <QObject>
#include <QString>

#include <atomic>
#include <memory>

class QThread;

// Writes found records, in their listing order, to an .xlsx workbook on the search dialog's
// worker thread.
class ExcelWriter : public QObject
{
    Q_OBJECT

public:
    explicit ExcelWriter(QObject *parent = nullptr);

    // Any thread: the write under way stops, and later ones do nothing; neither leaves a file.
    // A write that is already saving finishes its complete file.
    void cancel();

    // For an owner that goes while writer may still be writing on thread: cancels the write and
    // deletes both objects once the thread has ended, at the latest when the application object
    // goes, so that the owner does not wait for the write and the process never ends in it.
    static void retire(ExcelWriter *writer, QThread *thread);
    // Returns once every retired writer is gone.
    static void waitForRetired();

public slots:
    void write(std::shared_ptr<const RecordResult> rows, QString path);

signals:
    void signal_progressExcel(int row);
    void signal_writeDone(QString path);
    // The workbook could not be saved, or the write was cancelled; no file is left at path.
    void signal_writeFailed(QString path);

private:
    std::atomic<bool> cancelled{false};
};

#endif // EXCELWRITER_H
