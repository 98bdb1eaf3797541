#ifndef RECORDMAINTENANCE_H
#define RECORDMAINTENANCE_H

#include <QObject>
#include <QSemaphore>
#include <QString>

#include <atomic>
#include <cstdint>

class RecordDatabase;
class RecordWorkbook;

// The stages of the backup-export-clear dialog, run on a worker thread: a dated backup of the
// record file, an export of the alarm log and of every record to one workbook with a sheet per
// instrument, and a clear of the records that those copies hold. Reads through a connection of
// its own, so that polling and recording go on; rows stored after a copy was taken survive the
// clear. What it does is reported by signals, in order.
class RecordMaintenance : public QObject
{
    Q_OBJECT

public:
    enum Stage
    {
        BackupStage = 1,
        ExportStage = 2,
        ClearStage = 4
    };

    explicit RecordMaintenance(RecordDatabase *database, QObject *parent = nullptr);

    // Any thread: ends a run within a page of rows, leaves no workbook and skips the stages not
    // yet begun; later runs end at once.
    void cancel();
    // Interface thread: the last signal_sheetProgress was shown.
    void progressShown();
    bool isCancelled() const { return cancelled; }

public slots:
    // The stages of stageMask, in the order backup, export, clear; signal_finished at the end.
    void run(int stageMask);

signals:
    void signal_status(QString text);
    // An instrument's sheet begins; rows is its number of records.
    void signal_sheetStarted(QString name, int rows);
    // The 1-based record just written, after every hundredth of a sheet's records.
    void signal_sheetProgress(int row);
    // The workbook was saved in folder.
    void signal_exportSaved(QString folder);
    // A file was written: the backup, or the workbook (also one missing rows that could not be
    // read).
    void signal_fileWritten(QString path);
    // A stage was refused before it began (the disk is nearly full); text says why and what to
    // do. The stage counts as failed.
    void signal_refused(QString text);
    // failedStages: the stages of the run that failed, a clear refused for want of a copy and
    // stages skipped by a cancel included.
    void signal_finished(int failedStages);

private:
    // Each returns whether its copy was made, and the highest uid it holds.
    bool backupRecords(int64_t &upTo);
    bool exportRecords(int64_t &upTo);
    bool clearRecords(int stageMask, bool copied, int64_t upTo);
    // The alarm log's sheet, when the log holds any alarm; false when it could not be read
    // whole.
    bool exportAlarms(RecordWorkbook &workbook);
    // Counts one written row of a sheet of rows, showing every hundredth.
    void sheetRowDone(int row, int rows, int &count);
    void status(const QString &text);

    RecordDatabase *database;
    std::atomic<bool> cancelled{false};
    // One progress step in flight at a time: small sheets are written faster than the
    // interface thread could show a step each, and a flood of steps would stall it.
    QSemaphore progressGate{1};
};

#endif // RECORDMAINTENANCE_H
