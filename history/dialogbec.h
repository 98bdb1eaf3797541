#ifndef DIALOGBEC_H
#define DIALOGBEC_H

#include "history/recordmaintenance.h"

#include <QDialog>
#include <QStringList>
#include <QThread>

namespace Ui {
class DialogBEC;
}

// Maintenance of the record database in up to three stages, always in this order: a dated
// backup copy, an export of every record to one workbook with a sheet per instrument, and
// clearing the records those copies hold. The stages run on a worker thread of the dialog's
// own while it shows their progress; it closes itself when they are done, and refuses to be
// closed before.
class DialogBEC : public QDialog
{
    Q_OBJECT

public:
    enum Stage
    {
        BackupStage = RecordMaintenance::BackupStage,
        ExportStage = RecordMaintenance::ExportStage,
        ClearStage = RecordMaintenance::ClearStage
    };

    DialogBEC(QWidget *parent, int stageMask);
    // Stops stages still running without leaving a workbook, and waits for the worker.
    ~DialogBEC() override;

    // What the start button does: runs the stages; signal_stagesDone follows.
    void start();
    // Cuts the stages short: an export under way ends without a workbook, a backup or a clear
    // already begun is finished, the stages not begun are skipped and count as failed. The
    // dialog then closes as after any run; one that was never started stays.
    void cancel();
    bool isRunning() const { return running; }
    // The stages that failed once they have run (0: none); -1 while none has run.
    int failedStages() const { return failedMask; }
    // The files the stages wrote, in order.
    QStringList writtenFiles() const { return written; }

public slots:
    void reject() override;

signals:
    // The stages are done and their closing box answered; the dialog has closed.
    void signal_stagesDone();

protected:
    void closeEvent(QCloseEvent *event) override;

private slots:
    void on_pushButtonStart_clicked();
    void slot_status(const QString &text);
    void slot_sheetStarted(const QString &name, int rows);
    void slot_sheetProgress(int row);
    void slot_exportSaved(const QString &folder);
    void slot_fileWritten(const QString &path);
    void slot_finished(int failedStages);

private:
    Ui::DialogBEC *ui;
    int stageMask;
    // Why stages of the run were refused, for the closing box.
    QStringList refusals;
    bool running = false;
    int failedMask = -1;
    QStringList written;
    QThread thread;
    RecordMaintenance *worker;
};

#endif // DIALOGBEC_H
