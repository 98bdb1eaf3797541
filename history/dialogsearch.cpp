#include "dialogsearch.h"
#include "ui_dialogsearch.h"

#include "acquisition/threadhandoff.h"
#include "app/appcontext.h"
#include "history/excelwriter.h"
#include "history/exportnames.h"
#include "history/recordresultmodel.h"
#include "history/recordsearch.h"
#include "history/recordworkbook.h"
#include "panels/desktopopener.h"
#include "panels/messageboxes.h"
#include "storage/diskguard.h"
#include "storage/recorddatabase.h"
#include "storage/recordingstatus.h"
#include "storage/recordreader.h"

#include <QFileInfo>

namespace {

const QString allText = QStringLiteral("所有");
const char *const searchNameProperty = "search_name";
const int channelCount = 8;
// The search's progress runs in thousandths of the matching rows' time span.
const int progressSteps = 1000;

} // namespace

DialogSearch::DialogSearch(QWidget *parent)
    : QDialog(parent), ui(new Ui::DialogSearch), model(new RecordResultModel(this)),
      searcher(new RecordSearch(AppContext::instance().path(RecordDb))), writerThread(new QThread),
      writer(new ExcelWriter)
{
    ui->setupUi(this);
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);

    // The stored names follow from the worker.
    ui->comboBoxName->addItem(allText);
    ui->comboBoxChannel->addItem(allText);
    for (int channel = 0; channel < channelCount; ++channel)
        ui->comboBoxChannel->addItem(QString::number(channel));

    QTableView *table = ui->tableViewResult;
    table->setModel(model);
    table->horizontalHeader()->setStyleSheet(
        QStringLiteral("QHeaderView::section{background:lightblue;}"));
    table->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    // Rows of one height spare the view measuring a million of them.
    table->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    table->viewport()->installEventFilter(this);
    ui->progressBarExport->hide();
    ui->pushButtonStop->hide();

    connect(this, &DialogSearch::signal_search, searcher, &RecordSearch::search);
    connect(this, &DialogSearch::signal_makeSeries, searcher, &RecordSearch::makeSeries);
    connect(searcher, &RecordSearch::signal_names, this, &DialogSearch::slot_names);
    connect(searcher, &RecordSearch::signal_rows, this, &DialogSearch::slot_rows);
    connect(searcher, &RecordSearch::signal_searchDone, this, &DialogSearch::slot_searchDone);
    connect(searcher, &RecordSearch::signal_series, this, &DialogSearch::slot_series);
    ThreadHandOff::start(searcher, &searchThread);
    QMetaObject::invokeMethod(searcher, &RecordSearch::listNames, Qt::QueuedConnection);

    connect(this, &DialogSearch::signal_exportExcel, writer, &ExcelWriter::write);
    connect(writer, &ExcelWriter::signal_progressExcel, this, &DialogSearch::slot_progressExcel);
    connect(writer, &ExcelWriter::signal_writeDone, this, &DialogSearch::slot_exportExcelDone);
    connect(writer, &ExcelWriter::signal_writeFailed, this, &DialogSearch::slot_exportExcelFailed);
    ThreadHandOff::start(writer, writerThread);
}

DialogSearch::~DialogSearch()
{
    // A search stops within one page of rows.
    searcher->cancel(searchNumber);
    ThreadHandOff::stop(searcher, &searchThread);
    ExcelWriter::retire(writer, writerThread);
    delete ui;
}

void DialogSearch::on_pushButtonSearch_clicked()
{
    // Never two at once: the second is refused.
    if (searching || exporting)
        return;
    searching = true;
    stopAsked = false;
    awaitingPaint = true;
    setIdle(false);
    ui->pushButtonSearch->hide();
    ui->pushButtonStop->setEnabled(true);
    ui->pushButtonStop->show();
    model->clear();
    ui->tableViewResult->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    ui->labelSearchResult->setText(QStringLiteral("查询中,请稍后..."));
    ui->labelSearchResult->setStyleSheet(QString());
    partial = false;
    ui->widgetChart->setPartial(false);
    ui->progressBarExport->setRange(0, progressSteps);
    ui->progressBarExport->setValue(0);
    ui->progressBarExport->show();

    ++chartRequest;
    chartRows.reset();
    ui->comboBoxChartName->blockSignals(true);
    ui->comboBoxChartFactor->blockSignals(true);
    ui->comboBoxChartName->clear();
    ui->comboBoxChartFactor->clear();
    ui->comboBoxChartName->blockSignals(false);
    ui->comboBoxChartFactor->blockSignals(false);
    ui->widgetChart->clearSeries();

    const QString format = QStringLiteral("yyyy-MM-dd hh:mm:ss");
    const QString name = ui->comboBoxName->currentText();
    const QString channel = ui->comboBoxChannel->currentText();
    std::string condition;
    RecordDatabase::appendTimeCondition(
        condition, ui->dateTimeEditStart->dateTime().toString(format).toStdString(),
        ui->dateTimeEditEnd->dateTime().toString(format).toStdString(), true);
    if (name != allText)
        RecordDatabase::appendNameCondition(condition, name.toStdString(), false);
    if (channel != allText)
        RecordDatabase::appendChannelCondition(condition, channel.toInt(), false);
    ui->tableViewResult->setProperty(searchNameProperty, name);
    ThreadHandOff::release();
    emit signal_search(++searchNumber, QByteArray::fromStdString(condition));
}

void DialogSearch::on_pushButtonStop_clicked()
{
    if (!searching)
        return;
    stopAsked = true;
    ui->pushButtonStop->setEnabled(false);
    searcher->cancel(searchNumber);
}

void DialogSearch::slot_rows(quint64 search, std::shared_ptr<RecordBatch> batch, int permille)
{
    if (search != searchNumber || !searching)
        return;
    ThreadHandOff::acquire();
    model->append(std::move(*batch));
    ui->progressBarExport->setValue(permille);
}

void DialogSearch::slot_searchDone(quint64 search, int result)
{
    if (search != searchNumber || !searching)
        return;
    ThreadHandOff::acquire();
    searching = false;
    model->finish();
    const int n = model->rowCount();
    ui->progressBarExport->hide();
    QHeaderView *header = ui->tableViewResult->horizontalHeader();
    header->setSectionResizeMode(QHeaderView::Stretch);
    if (n > 0)
        header->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    // A failed read reports the rows it found before the failure, and why it failed.
    const bool stopped = stopAsked && result == RecordReader::Cancelled;
    partial = !stopped && result != 0;
    if (stopped)
        ui->labelSearchResult->setText(QStringLiteral("查询已停止，共%1条记录").arg(n));
    else if (partial)
        ui->labelSearchResult->setText(QStringLiteral("查询出错，已找到%1条记录（%2）")
                                           .arg(n)
                                           .arg(RecordingStatus::describe(result)));
    else
        ui->labelSearchResult->setText(QStringLiteral("查询完毕，共%1条记录").arg(n));
    ui->labelSearchResult->setStyleSheet(partial ? QStringLiteral("QLabel { color: #c62828; }")
                                                 : QString());
    ui->widgetChart->setPartial(partial);
    ui->pushButtonStop->hide();
    ui->pushButtonSearch->show();
    setIdle(true);
    fillChartNames();
    emit signal_searchFinished(n);
}

void DialogSearch::on_pushButtonExport_clicked()
{
    const int rows = model->rowCount();
    if (rows == 0 || searching || exporting)
        return;
    // The guard's last measurement of the station folder's disk, which holds the export folder.
    const QString refused = DiskGuard::instance().refusal(QStringLiteral("导出"));
    if (!refused.isEmpty()) {
        MessageBoxes::critical(QStringLiteral("错误"), refused);
        return;
    }
    exporting = true;
    setIdle(false);
    ui->progressBarExport->setRange(0, rows + 1);
    ui->progressBarExport->setValue(0);
    ui->progressBarExport->show();

    const QString format = QStringLiteral("yyyyMMddhhmmss");
    const QString base =
        ExportNames::filePart(ui->tableViewResult->property(searchNameProperty).toString()) +
        QLatin1Char('_') + ui->dateTimeEditStart->dateTime().toString(format) + QLatin1Char('_') +
        ui->dateTimeEditEnd->dateTime().toString(format) +
        (partial ? ExportNames::partialMark() : QString());
    const QString path = ExportNames::reserveFile(AppContext::instance().path(ExportDir), base);
    ThreadHandOff::release();
    emit signal_exportExcel(model->result(), path);
}

void DialogSearch::slot_progressExcel(int row)
{
    ui->progressBarExport->setValue(row);
}

void DialogSearch::slot_exportExcelDone(QString path)
{
    ThreadHandOff::acquire();
    if (!exporting)
        return;
    exporting = false;
    ui->progressBarExport->setValue(ui->progressBarExport->maximum());
    DesktopOpener::openLocal(QFileInfo(path).absolutePath());
    MessageBoxes::information(
        QStringLiteral("通知"),
        QStringLiteral("记录保存至:\n") + path +
            (partial ? QStringLiteral("\n查询出错，文件中只有出错前找到的部分记录。") : QString()));
    setIdle(true);
    ui->progressBarExport->hide();
    emit signal_exportFinished(path, true);
}

void DialogSearch::slot_exportExcelFailed(QString path)
{
    ThreadHandOff::acquire();
    if (!exporting)
        return;
    exporting = false;
    MessageBoxes::critical(QStringLiteral("错误"), QStringLiteral("记录保存失败:\n") + path);
    setIdle(true);
    ui->progressBarExport->hide();
    emit signal_exportFinished(path, false);
}

void DialogSearch::slot_names(QStringList names)
{
    ThreadHandOff::acquire();
    ui->comboBoxName->addItems(names);
}

void DialogSearch::fillChartNames()
{
    const std::shared_ptr<const RecordResult> rows = model->result();
    QStringList names;
    for (int position = 0; position < rows->bucketCount(); ++position) {
        // Buckets of one name are neighbours.
        const QString &name = rows->bucket(position).name;
        if (names.isEmpty() || names.last() != name)
            names << name;
    }
    ui->comboBoxChartName->blockSignals(true);
    ui->comboBoxChartName->clear();
    ui->comboBoxChartName->addItems(names);
    ui->comboBoxChartName->blockSignals(false);
    fillChartFactors();
}

void DialogSearch::fillChartFactors()
{
    const std::shared_ptr<const RecordResult> rows = model->result();
    const QString name = ui->comboBoxChartName->currentText();
    QStringList factors;
    for (int position = 0; position < rows->bucketCount(); ++position) {
        const RecordResult::Bucket &bucket = rows->bucket(position);
        if (bucket.name != name)
            continue;
        for (uint32_t kind : bucket.kinds)
            if (!factors.contains(rows->kind(kind).factor))
                factors << rows->kind(kind).factor;
    }
    ui->comboBoxChartFactor->blockSignals(true);
    ui->comboBoxChartFactor->clear();
    ui->comboBoxChartFactor->addItems(factors);
    ui->comboBoxChartFactor->blockSignals(false);
    requestChart();
}

void DialogSearch::on_comboBoxChartName_currentIndexChanged(int)
{
    fillChartFactors();
}

void DialogSearch::on_comboBoxChartFactor_currentIndexChanged(int)
{
    requestChart();
}

void DialogSearch::on_tabWidgetResult_currentChanged(int)
{
    requestChart();
}

void DialogSearch::requestChart()
{
    if (searching || ui->tabWidgetResult->currentWidget() != ui->tabChart)
        return;
    const std::shared_ptr<const RecordResult> rows = model->result();
    const QString name = ui->comboBoxChartName->currentText();
    const QString factor = ui->comboBoxChartFactor->currentText();
    if (rows == chartRows && name == chartName && factor == chartFactor)
        return;
    chartRows = rows;
    chartName = name;
    chartFactor = factor;
    ++chartRequest;
    if (name.isEmpty() || factor.isEmpty()) {
        ui->widgetChart->clearSeries();
        return;
    }
    ThreadHandOff::release();
    emit signal_makeSeries(chartRequest, rows, name, factor);
}

void DialogSearch::slot_series(quint64 request, HistorySeries series)
{
    if (request != chartRequest)
        return;
    ThreadHandOff::acquire();
    ui->widgetChart->setSeries(series);
    emit signal_chartShown(series.points ? series.points->size() : 0);
}

bool DialogSearch::eventFilter(QObject *watched, QEvent *event)
{
    if (awaitingPaint && event->type() == QEvent::Paint &&
        watched == ui->tableViewResult->viewport() && model->rowCount() > 0) {
        awaitingPaint = false;
        // Once this paint is done.
        QMetaObject::invokeMethod(
            this, [this] { emit signal_firstRowsPainted(model->rowCount()); },
            Qt::QueuedConnection);
    }
    return QDialog::eventFilter(watched, event);
}

void DialogSearch::setIdle(bool idle)
{
    ui->pushButtonExport->setEnabled(idle);
    ui->pushButtonSearch->setEnabled(idle);
}
