#include "dialogalarms.h"
#include "ui_dialogalarms.h"

#include "acquisition/threadhandoff.h"
#include "app/appcontext.h"
#include "history/alarmlookup.h"
#include "history/exportnames.h"
#include "panels/desktopopener.h"
#include "panels/messageboxes.h"
#include "storage/recordingstatus.h"

#include <QFileInfo>
#include <QHeaderView>

namespace {

const QString allText = QStringLiteral("所有");

} // namespace

DialogAlarms::DialogAlarms(QWidget *parent)
    : QDialog(parent), ui(new Ui::DialogAlarms), model(new AlarmResultModel(this)),
      lookup(new AlarmLookup(AppContext::instance().path(RecordDb)))
{
    ui->setupUi(this);
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
    // The logged names follow from the worker.
    ui->comboBoxName->addItem(allText);

    QTableView *table = ui->tableViewAlarms;
    table->setModel(model);
    table->horizontalHeader()->setStyleSheet(
        QStringLiteral("QHeaderView::section{background:lightblue;}"));
    table->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    table->horizontalHeader()->setStretchLastSection(true);

    connect(this, &DialogAlarms::signal_search, lookup, &AlarmLookup::search);
    connect(this, &DialogAlarms::signal_export, lookup, &AlarmLookup::exportTo);
    connect(lookup, &AlarmLookup::signal_names, this, &DialogAlarms::slot_names);
    connect(lookup, &AlarmLookup::signal_found, this, &DialogAlarms::slot_found);
    connect(lookup, &AlarmLookup::signal_exported, this, &DialogAlarms::slot_exported);
    ThreadHandOff::start(lookup, &thread);
    QMetaObject::invokeMethod(lookup, &AlarmLookup::listNames, Qt::QueuedConnection);
}

DialogAlarms::~DialogAlarms()
{
    lookup->cancel();
    ThreadHandOff::stop(lookup, &thread);
    delete ui;
}

void DialogAlarms::on_pushButtonSearch_clicked()
{
    if (isBusy())
        return;
    searching = true;
    setIdle(false);
    ui->labelResult->setText(QStringLiteral("查询中,请稍后..."));
    shownName = ui->comboBoxName->currentText();
    shownStart = ui->dateTimeEditStart->dateTime();
    shownEnd = ui->dateTimeEditEnd->dateTime();
    const QString format = QStringLiteral("yyyy-MM-dd hh:mm:ss");
    ThreadHandOff::release();
    emit signal_search(++searchNumber, shownStart.toString(format), shownEnd.toString(format),
                       shownName == allText ? QString() : shownName);
}

void DialogAlarms::slot_found(quint64 search, AlarmEntries alarms, int result)
{
    if (search != searchNumber || !searching)
        return;
    ThreadHandOff::acquire();
    searching = false;
    model->setEntries(alarms);
    const int rows = model->rowCount();
    int active = 0;
    for (const AlarmReader::Entry &alarm : *model->entries())
        active += alarm.isActive() ? 1 : 0;
    // A failed read shows the alarms found before the failure, said to be incomplete, and why.
    partial = result != 0;
    if (partial)
        ui->labelResult->setText(QStringLiteral("查询出错，已读出%1条报警，其中%2条未解除（%3）")
                                     .arg(rows)
                                     .arg(active)
                                     .arg(RecordingStatus::describe(result)));
    else
        ui->labelResult->setText(
            QStringLiteral("查询完毕，共%1条报警，其中%2条未解除").arg(rows).arg(active));
    ui->labelResult->setStyleSheet(partial ? QStringLiteral("QLabel { color: #c62828; }")
                                           : QString());
    setIdle(true);
    emit signal_searchFinished(rows);
}

void DialogAlarms::on_pushButtonExport_clicked()
{
    if (isBusy() || model->rowCount() == 0)
        return;
    exporting = true;
    setIdle(false);
    const QString format = QStringLiteral("yyyyMMddhhmmss");
    const QString base =
        ExportNames::filePart(AlarmLookup::kSheetTitle + QLatin1Char('_') + shownName) +
        QLatin1Char('_') + shownStart.toString(format) + QLatin1Char('_') +
        shownEnd.toString(format) + (partial ? ExportNames::partialMark() : QString());
    const QString path = ExportNames::reserveFile(AppContext::instance().path(ExportDir), base);
    ThreadHandOff::release();
    emit signal_export(model->entries(), path);
}

void DialogAlarms::slot_exported(QString path, bool saved)
{
    ThreadHandOff::acquire();
    if (!exporting)
        return;
    exporting = false;
    if (saved) {
        DesktopOpener::openLocal(QFileInfo(path).absolutePath());
        MessageBoxes::information(
            QStringLiteral("通知"),
            QStringLiteral("报警记录保存至:\n") + path +
                (partial ? QStringLiteral("\n查询出错，文件中只有出错前读出的部分报警。")
                         : QString()));
    } else {
        MessageBoxes::critical(QStringLiteral("错误"), QStringLiteral("报警记录保存失败:\n") + path);
    }
    setIdle(true);
    emit signal_exportFinished(path, saved);
}

void DialogAlarms::slot_names(QStringList names)
{
    ThreadHandOff::acquire();
    ui->comboBoxName->addItems(names);
}

void DialogAlarms::setIdle(bool idle)
{
    ui->pushButtonSearch->setEnabled(idle);
    ui->pushButtonExport->setEnabled(idle);
}
