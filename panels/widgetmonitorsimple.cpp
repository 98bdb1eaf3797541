#include "widgetmonitorsimple.h"
#include "ui_widgetmonitorsimple.h"

#include "acquisition/monitorbase.h"

WidgetMonitorSimple::WidgetMonitorSimple(QWidget *parent)
    : QWidget(parent), ui(new Ui::WidgetMonitorSimple), shown(nullptr)
{
    ui->setupUi(this);
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
    ui->lcdNumber->display(status == QLatin1String("F") ? QStringLiteral("----") : value);
    ui->labelUnit->setText(unit);
    ui->checkBox->setChecked(status == QLatin1String("N"));
}

void WidgetMonitorSimple::slot_updateStatus(bool status)
{
    ui->checkBox->setVisible(status);
}
