#include "widgetmonitorsimple.h"
#include "ui_widgetmonitorsimple.h"

#include "instruments/monitorbase.h"
#include "panels/alarmflasher.h"

#include <QPainter>

WidgetMonitorSimple::WidgetMonitorSimple(QWidget *parent)
    : QWidget(parent), ui(new Ui::WidgetMonitorSimple), shown(nullptr)
{
    ui->setupUi(this);
    ui->lcdNumber->display(number);
}

WidgetMonitorSimple::~WidgetMonitorSimple()
{
    if (flasher)
        flasher->remove(this);
    delete ui;
}

void WidgetMonitorSimple::setMonitor(MonitorBase *monitor)
{
    shown = monitor;
    monitor->views[1] = this;
    ui->checkBox->setVisible(monitor->isRunning());
    emit signal_changed();
}

void WidgetMonitorSimple::setName(const QString &name)
{
    ui->labelName->setText(name);
    emit signal_changed();
}

void WidgetMonitorSimple::slot_updateResult(QString value, QString unit, QString status)
{
    // A failed exchange and a stopped line come with a value of 0, which would read as a
    // real zero.
    const bool isNormal = status == QLatin1String("N");
    const QString shown = isNormal ? value : QStringLiteral("----");
    if (shown == number && unit == unitText && isNormal == normal)
        return;
    number = shown;
    unitText = unit;
    normal = isNormal;
    stale = true;
    if (isVisible())
        prepareToDraw();
    emit signal_changed();
}

void WidgetMonitorSimple::prepareToDraw()
{
    if (!stale)
        return;
    stale = false;
    ui->lcdNumber->display(number);
    ui->labelUnit->setText(unitText);
    ui->checkBox->setChecked(normal);
}

void WidgetMonitorSimple::slot_updateStatus(bool status)
{
    ui->checkBox->setVisible(status);
    emit signal_changed();
}

void WidgetMonitorSimple::slot_updateSyncFailure(QString text)
{
    syncFailure = text;
    showToolTip();
}

void WidgetMonitorSimple::setDemotion(const QString &text)
{
    if (text == demotion)
        return;
    const bool frameChanged = text.isEmpty() != demotion.isEmpty();
    demotion = text;
    showToolTip();
    if (frameChanged) {
        update();
        emit signal_changed();
    }
}

void WidgetMonitorSimple::setFlasher(AlarmFlasher *value)
{
    if (flasher)
        flasher->remove(this);
    flasher = value;
    if (flasher && alarm == AlarmLook::Flashing)
        flasher->add(this);
}

void WidgetMonitorSimple::setAlarm(AlarmLook look, const QString &text)
{
    if (text != alarmText) {
        alarmText = text;
        showToolTip();
    }
    if (look == alarm)
        return;
    alarm = look;
    if (flasher) {
        if (look == AlarmLook::Flashing)
            flasher->add(this);
        else
            flasher->remove(this);
    }
    update();
    emit signal_changed();
}

bool WidgetMonitorSimple::showsAlarmColour() const
{
    switch (alarm) {
    case AlarmLook::None:
        return false;
    case AlarmLook::Flashing:
        return !flasher || flasher->lit();
    case AlarmLook::Steady:
        return true;
    }
    return false;
}

QString WidgetMonitorSimple::shownToolTip() const
{
    if (!toolTip().isEmpty())
        return toolTip();
    return ui->labelName->isElided() ? ui->labelName->text() : QString();
}

void WidgetMonitorSimple::showToolTip()
{
    QStringList lines;
    for (const QString &line : {demotion, syncFailure, alarmText})
        if (!line.isEmpty())
            lines << line;
    const QString text = lines.join(QLatin1Char('\n'));
    setToolTip(text);
    // The name label answers tooltips itself while it cuts the name; it adds its own tooltip.
    ui->labelName->setToolTip(text);
}

void WidgetMonitorSimple::paintEvent(QPaintEvent *event)
{
    QWidget::paintEvent(event);
    const bool red = showsAlarmColour();
    if (!red && demotion.isEmpty())
        return;
    QPainter painter(this);
    // Painted under the children, which draw no background of their own: the colour changes
    // without restyling or laying out anything.
    if (red)
        painter.fillRect(rect(), QColor(0xE5, 0x39, 0x35));
    if (demotion.isEmpty())
        return;
    // Amber, apart from the red stop icon a failed reading shows.
    const int width = 3;
    painter.setPen(QPen(QColor(0xE0, 0x9A, 0x00), width));
    painter.drawRect(rect().adjusted(width / 2, width / 2, -(width + 1) / 2, -(width + 1) / 2));
}
