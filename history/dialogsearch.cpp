#include "dialogsearch.h"
#include "ui_dialogsearch.h"

#include "acquisition/threadhandoff.h"
#include "app/appcontext.h"
#include "history/centreditem.h"
#include "history/excelwriter.h"
#include "history/exportnames.h"
#include "history/recordworkbook.h"
#include "panels/desktopopener.h"
#include "panels/messageboxes.h"
#include "storage/recorddatabase.h"

#include <QFileInfo>

namespace {

const QString allText = QStringLiteral("所有");
const char *const searchNameProperty = "search_name";
const int channelCount = 8;

} // namespace

DialogSearch::DialogSearch(QWidget *parent)
    : QDialog(parent), ui(new Ui::DialogSearch),
      database(static_cast<RecordDatabase *>(AppContext::instance().object(RecordDb)))
{
    ui->setupUi(this);
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);

    ui->comboBoxName->addItem(allText);
    std::vector<std::string> names;
    database->distinctNames(names);
    for (const std::string &name : names)
        ui->comboBoxName->addItem(QString::fromStdString(name));
    ui->comboBoxChannel->addItem(allText);
    for (int channel = 0; channel < channelCount; ++channel)
        ui->comboBoxChannel->addItem(QString::number(channel));

    QTableWidget *table = ui->tableWidgetResult;
    const QStringList headers = RecordWorkbook::headers();
    table->setColumnCount(headers.size());
    table->setHorizontalHeaderLabels(headers);
    table->horizontalHeader()->setStyleSheet(
        QStringLiteral("QHeaderView::section{background:lightblue;}"));
    table->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    ui->progressBarExport->hide();

    writer = new ExcelWriter;
    connect(this, &DialogSearch::signal_exportExcel, writer, &ExcelWriter::write);
    connect(writer, &ExcelWriter::signal_progressExcel, this, &DialogSearch::slot_progressExcel);
    connect(writer, &ExcelWriter::signal_writeDone, this, &DialogSearch::slot_exportExcelDone);
    connect(writer, &ExcelWriter::signal_writeFailed, this, &DialogSearch::slot_exportExcelFailed);
    ThreadHandOff::start(writer, &thread);
}

DialogSearch::~DialogSearch()
{
    // Behind any export already queued, so that a write asked for is finished, not dropped.
    ThreadHandOff::finish(writer, &thread);
    delete ui;
}

void DialogSearch::on_pushButtonSearch_clicked()
{
    QTableWidget *table = ui->tableWidgetResult;
    setIdle(false);
    table->setRowCount(0);
    table->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    ui->labelSearchResult->setText(QStringLiteral("查询中,请稍后..."));
    // The search runs on this thread; paint the notice before it starts.
    ui->labelSearchResult->repaint();

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
    std::vector<RecordRow *> rows;
    database->query(condition, rows);

    texts = TableTexts::ofRecords(rows);
    RecordDatabase::freeRows(rows);

    const int n = texts.rowCount();
    if (n > 0) {
        ui->progressBarExport->setRange(0, n);
        ui->progressBarExport->setValue(0);
        ui->progressBarExport->show();
    }
    const int columns = texts.headers.size();
    table->setRowCount(n);
    for (int r = 0; r < n; ++r) {
        for (int c = 0; c < columns; ++c)
            table->setItem(r, c, new CentredItem(texts.cells.at(r * columns + c)));
        ui->progressBarExport->setValue(r + 1);
    }

    if (n > 0) {
        ui->progressBarExport->hide();
        table->horizontalHeader()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    } else {
        table->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    }
    table->setProperty(searchNameProperty, name);
    ui->labelSearchResult->setText(QStringLiteral("查询完毕，共%1条记录").arg(n));
    setIdle(true);
}

void DialogSearch::on_pushButtonExport_clicked()
{
    QTableWidget *table = ui->tableWidgetResult;
    const int rows = table->rowCount();
    if (rows == 0)
        return;
    setIdle(false);
    ui->progressBarExport->setRange(0, rows + 1);
    ui->progressBarExport->setValue(0);
    ui->progressBarExport->show();

    const QString format = QStringLiteral("yyyyMMddhhmmss");
    const QString base = ExportNames::filePart(table->property(searchNameProperty).toString()) +
                         QLatin1Char('_') + ui->dateTimeEditStart->dateTime().toString(format) +
                         QLatin1Char('_') + ui->dateTimeEditEnd->dateTime().toString(format);
    const QString path = ExportNames::reserveFile(AppContext::instance().path(ExportDir), base);
    writer->handOver(table, texts);
    ThreadHandOff::release();
    emit signal_exportExcel(table, path);
}

void DialogSearch::slot_progressExcel(int row)
{
    ui->progressBarExport->setValue(row);
}

void DialogSearch::slot_exportExcelDone(QTableWidget *table, QString path)
{
    ThreadHandOff::acquire();
    if (table != ui->tableWidgetResult)
        return;
    ui->progressBarExport->setValue(ui->progressBarExport->maximum());
    DesktopOpener::openLocal(QFileInfo(path).absolutePath());
    MessageBoxes::information(QStringLiteral("通知"), QStringLiteral("记录保存至:\n") + path);
    setIdle(true);
    ui->progressBarExport->hide();
}

void DialogSearch::slot_exportExcelFailed(QTableWidget *table, QString path)
{
    ThreadHandOff::acquire();
    if (table != ui->tableWidgetResult)
        return;
    MessageBoxes::critical(QStringLiteral("错误"), QStringLiteral("记录保存失败:\n") + path);
    setIdle(true);
    ui->progressBarExport->hide();
}

void DialogSearch::setIdle(bool idle)
{
    ui->pushButtonExport->setEnabled(idle);
    ui->pushButtonSearch->setEnabled(idle);
}
