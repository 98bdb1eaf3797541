#include "widgetmonitorsimple.h"
#include "ui_widgetmonitorsimple.h"

#include "acquisition/monitorbase.h"

WidgetMonitorSimple::WidgetMonitorSimple(QWidget *parent)
    : QWidget(parent), ui(new Ui::WidgetMonitorSimple), shown(nullptr)
{
    ui->setupUi(this);
    ui->lcdNumber->display(QStringLiteral("----"));
}

WidgetMonitorSimple::~WidgetMonitorSimple()
{
    delete ui;
}

void WidgetMonitorSimple::setMonitor(MonitorBase *monitor)
{
    shown = monitor;
    monitor->views[1] = this;
    ui->checkBox->setVisible(monitor->isRunning());
}

void WidgetMonitorSimple::setName(const QString &name)
{
    ui->labelName->setText(name);
}

void WidgetMonitorSimple::slot_updateResult(QString value, QString unit, QString status)
{
    // A failed exchange and a stopped line come with a value of 0, which would read as a
    // real zero.
    ui->lcdNumber->display(status == QLatin1String("N") ? value : QStringLiteral("----"));
    ui->labelUnit->setText(unit);
    ui->checkBox->setChecked(status == QLatin1String("N"));
}

void WidgetMonitorSimple::slot_updateStatus(bool status)
{
    ui->checkBox->setVisible(status);
}

void WidgetMonitorSimple::slot_updateSyncFailure(QString text)
{
    setToolTip(text);
    // The name label answers tooltips itself while it cuts the name; it adds its own tooltip.
    ui->labelName->setToolTip(text);
}
