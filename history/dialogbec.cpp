#include "dialogbec.h"
#include "ui_dialogbec.h"

#include "acquisition/threadhandoff.h"
#include "app/appcontext.h"
#include "panels/desktopopener.h"
#include "panels/messageboxes.h"
#include "storage/recorddatabase.h"

#include <QCloseEvent>
#include <QDir>

DialogBEC::DialogBEC(QWidget *parent, int stageMask)
    : QDialog(parent), ui(new Ui::DialogBEC), stageMask(stageMask),
      worker(new RecordMaintenance(
          static_cast<RecordDatabase *>(AppContext::instance().object(RecordDb))))
{
    ui->setupUi(this);
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
    if (stageMask == ExportStage)
        setWindowTitle(QStringLiteral("导出数据"));

    connect(worker, &RecordMaintenance::signal_status, this, &DialogBEC::slot_status);
    connect(worker, &RecordMaintenance::signal_sheetStarted, this, &DialogBEC::slot_sheetStarted);
    connect(worker, &RecordMaintenance::signal_sheetProgress, this, &DialogBEC::slot_sheetProgress);
    connect(worker, &RecordMaintenance::signal_exportSaved, this, &DialogBEC::slot_exportSaved);
    connect(worker, &RecordMaintenance::signal_fileWritten, this, &DialogBEC::slot_fileWritten);
    connect(worker, &RecordMaintenance::signal_finished, this, &DialogBEC::slot_finished);
    connect(worker, &RecordMaintenance::signal_refused, this, [this](const QString &text) {
        ThreadHandOff::acquire();
        if (!refusals.contains(text))
            refusals << text;
    });
    ThreadHandOff::start(worker, &thread);
}

DialogBEC::~DialogBEC()
{
    worker->cancel();
    ThreadHandOff::finish(worker, &thread);
    delete ui;
}

void DialogBEC::start()
{
    if (running)
        return;
    running = true;
    written.clear();
    ui->pushButtonStart->setEnabled(false);
    RecordMaintenance *stages = worker;
    const int mask = stageMask;
    ThreadHandOff::release();
    QMetaObject::invokeMethod(
        worker, [stages, mask] { stages->run(mask); }, Qt::QueuedConnection);
}

void DialogBEC::cancel()
{
    worker->cancel();
}

void DialogBEC::on_pushButtonStart_clicked()
{
    start();
}

void DialogBEC::reject()
{
    if (!running)
        QDialog::reject();
}

void DialogBEC::closeEvent(QCloseEvent *event)
{
    // The stages take seconds; a half-written workbook or a clear cut short would be worse.
    if (running) {
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

void DialogBEC::slot_status(const QString &text)
{
    ThreadHandOff::acquire();
    ui->labelProgress->setText(text);
}

void DialogBEC::slot_sheetStarted(const QString &name, int rows)
{
    ThreadHandOff::acquire();
    ui->progressBar->setRange(0, rows + 1);
    ui->progressBar->setValue(0);
    ui->labelProgress->setText(QStringLiteral("开始导出数据:") + name);
}

void DialogBEC::slot_sheetProgress(int row)
{
    ThreadHandOff::acquire();
    ui->progressBar->setValue(row);
    worker->progressShown();
}

void DialogBEC::slot_exportSaved(const QString &folder)
{
    ThreadHandOff::acquire();
    DesktopOpener::openLocal(folder);
}

void DialogBEC::slot_fileWritten(const QString &path)
{
    ThreadHandOff::acquire();
    written << path;
}

void DialogBEC::slot_finished(int failedStages)
{
    ThreadHandOff::acquire();
    // The status label shows only the last stage's outcome; the box names every failure.
    QStringList failed;
    if (failedStages & BackupStage)
        failed << QStringLiteral("备份数据");
    if (failedStages & ExportStage)
        failed << QStringLiteral("导出数据");
    if (failedStages & ClearStage)
        failed << QStringLiteral("清除数据");
    QString text = QStringLiteral("操作完成!");
    if (!failed.isEmpty())
        text += QStringLiteral("\n失败：") + failed.join(QStringLiteral("、"));
    // The backup alone let the clear go on: the records it took are in no workbook.
    const bool clearedWithoutExport = (stageMask & ExportStage) && (stageMask & ClearStage) &&
                                      (failedStages & ExportStage) && !(failedStages & ClearStage);
    if (clearedWithoutExport)
        text += QStringLiteral("\n导出失败后仍清除了数据：已清除的记录只保存在备份 %1 中。")
                    .arg(QDir::toNativeSeparators(written.value(0)));
    // Stages refused for want of disk space say why and what to do.
    if (!refusals.isEmpty())
        text += QStringLiteral("\n\n") + refusals.join(QStringLiteral("\n"));
    refusals.clear();
    if (failed.isEmpty())
        MessageBoxes::information(QStringLiteral("通知"), text);
    else
        MessageBoxes::critical(QStringLiteral("错误"), text);
    running = false;
    failedMask = failedStages;
    ui->pushButtonStart->setEnabled(true);
    ui->labelProgress->setText(QStringLiteral("无操作"));
    close();
    emit signal_stagesDone();
}
