#include "dialoglinestatus.h"
#include "ui_dialoglinestatus.h"

#include "instruments/monitorbase.h"
#include "line/comportctrl.h"
#include "line/comportreader.h"
#include "line/linestatistics.h"
#include "line/pollscheduler.h"
#include "panels/linestatusdelegate.h"
#include "panels/linestatusmodel.h"
#include "panels/widgetcomport.h"
#include "panels/widgetmonitorlist.h"

#include <QComboBox>
#include <QHeaderView>

namespace {

QString milliseconds(int ms)
{
    return ms < 0 ? QStringLiteral("-") : QString::number(ms);
}

// Only a changed text is set: an unchanged label then costs no layout and no repaint.
void setText(QLabel *label, const QString &text)
{
    if (label->text() != text)
        label->setText(text);
}

} // namespace

DialogLineStatus::DialogLineStatus(WidgetMonitorList *list, WidgetComPort *comPort, QWidget *parent)
    : QDialog(parent), ui(new Ui::DialogLineStatus), list(list), comPort(comPort),
      instruments(new LineStatusModel(this))
{
    ui->setupUi(this);
    ui->tableViewInstruments->setModel(instruments);
    ui->tableViewInstruments->setItemDelegate(
        new LineStatusDelegate(LineStatusModel::ColumnCount, ui->tableViewInstruments));
    // Widths fixed once: sizing to contents would measure every row at every pass.
    ui->tableViewInstruments->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    ui->tableViewInstruments->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    // A label of a fixed size changes its text without a new layout of the dialog, and one
    // that fills its own background repaints without the dialog behind it.
    for (QLabel *label : {ui->labelPasses, ui->labelPassTime, ui->labelSkippedTicks, ui->labelBytes,
                          ui->labelLineState, ui->labelShortestInterval}) {
        label->setFixedSize(label->fontMetrics().horizontalAdvance(QLatin1Char('0')) * 40,
                            label->sizeHint().height());
        label->setAutoFillBackground(true);
    }
    std::vector<WidgetComPort *> panels{comPort};
    for (int line = 1; line < list->lineCount(); ++line)
        panels.push_back(list->linePanel(line));
    for (WidgetComPort *panel : panels) {
        connect(panel->getReader(), &ComPortReader::signal_readDone, this,
                &DialogLineStatus::refresh);
        connect(panel, &WidgetComPort::signal_comPort, this, &DialogLineStatus::refresh);
        connect(panel, &WidgetComPort::signal_lineLost, this, &DialogLineStatus::refresh);
    }
    if (panels.size() < 2)
        return;
    // Of several lines, one at a time: its figures and its instruments.
    auto *choice = new QComboBox(this);
    choice->setObjectName(QStringLiteral("comboBoxLine"));
    for (const WidgetComPort *panel : panels)
        choice->addItem(QString::fromStdString(panel->getComPortCtrl()->getName()));
    ui->verticalLayout->insertWidget(0, choice);
    connect(choice, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            [this, panels](int index) {
                if (index < 0)
                    return;
                shownLine = index;
                this->comPort = panels[size_t(index)];
                refresh();
            });
}

DialogLineStatus::~DialogLineStatus()
{
    delete ui;
}

void DialogLineStatus::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    refresh();
    ui->tableViewInstruments->resizeColumnsToContents();
}

void DialogLineStatus::refresh()
{
    if (!isVisible())
        return;
    refreshLine();
    const std::vector<MonitorBase *> &monitors = list->collection().getMonitors();
    rows.resize(monitors.size());
    size_t shown = 0;
    for (const MonitorBase *monitor : monitors) {
        if (monitor->getLineIndex() != shownLine)
            continue;
        LineStatusModel::Instrument &row = rows[shown++];
        row.name = QString::fromStdString(monitor->getUsername());
        row.id = monitor->getId();
        row.model = QString::fromStdString(monitor->getModel());
        row.synced = monitor->isSynced();
        row.syncFailure = monitor->lastSyncFailure();
        row.health = monitor->healthSnapshot();
    }
    rows.resize(shown);
    instruments->update(rows);
}

void DialogLineStatus::refreshLine()
{
    const LineFigures line = comPort->getComPortCtrl()->statistics().snapshot();
    setText(ui->labelPasses, QString::number(line.passes));
    setText(ui->labelPassTime, QStringLiteral("%1 / %2 / %3")
                                   .arg(milliseconds(line.lastPassMs))
                                   .arg(milliseconds(line.medianPassMs))
                                   .arg(milliseconds(line.maxPassMs)));
    setText(ui->labelSkippedTicks, QString::number(line.skippedTicks));
    setText(ui->labelBytes, QStringLiteral("%1 / %2").arg(line.bytesSent).arg(line.bytesReceived));
    QString state;
    if (comPort->isLineOff())
        state = QStringLiteral("关闭");
    else if (line.lost || comPort->isLineLost())
        state = QStringLiteral("通讯中断，正在重连…");
    else
        state = QStringLiteral("正常");
    setText(ui->labelLineState, state);
    QString shortest = QStringLiteral("-");
    if (line.shortestIntervalSeconds > 0) {
        shortest = QStringLiteral("%1 秒").arg(line.shortestIntervalSeconds);
        if (!list->pollScheduler(shownLine)->keepsInterval())
            shortest +=
                QStringLiteral("（当前 %1 秒无法保持）").arg(list->collection().getInterval());
    }
    setText(ui->labelShortestInterval, shortest);
}
