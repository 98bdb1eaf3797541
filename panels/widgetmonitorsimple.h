#ifndef WIDGETMONITORSIMPLE_H
#define WIDGETMONITORSIMPLE_H

#include <QPointer>
#include <QString>
#include <QWidget>

class AlarmFlasher;
class MonitorBase;

namespace Ui {
class WidgetMonitorSimple;
}

// One cell of the overview grid: the monitor's main reading as a large number with its unit,
// a run indicator and the monitor's name. Fed by the monitor's detail panel. Only a normal
// reading shows a number: anything else, and a monitor not read yet, shows "----". A demoted
// monitor (one that stopped answering and is only tried now and then) has an amber frame.
// An alarmed monitor's cell is red: flashing until the alarm is acknowledged, steady after.
// In the grid the cell is drawn into its slot rather than shown: every change of its look is
// told by signal_changed, and a new reading reaches the cell's widgets only when it is drawn
// (prepareToDraw) or shown on its own, as few of thousands of cells are in view.
class WidgetMonitorSimple : public QWidget
{
    Q_OBJECT

public:
    explicit WidgetMonitorSimple(QWidget *parent = nullptr);
    ~WidgetMonitorSimple() override;

    // Enters this cell under key 1 of the monitor's views.
    void setMonitor(MonitorBase *monitor);
    MonitorBase *monitor() const { return shown; }
    void setName(const QString &name);
    // The reason and the next try of a demoted monitor, shown as the frame and in the
    // tooltip; empty when it is not demoted.
    void setDemotion(const QString &text);
    bool isDemoted() const { return !demotion.isEmpty(); }

    enum class AlarmLook { None, Flashing, Steady };
    // The blink shared by the grid's cells; without one a flashing cell stays red.
    void setFlasher(AlarmFlasher *flasher);
    // `text` names the active alarms for the tooltip. Only a repaint follows, never a layout.
    void setAlarm(AlarmLook look, const QString &text);
    AlarmLook alarmLook() const { return alarm; }
    // Whether the cell is drawn red at this moment.
    bool showsAlarmColour() const;
    // What hovering the cell shows: its tooltip, else the whole name when it is cut short.
    QString shownToolTip() const;
    // Puts the latest reading into the widgets, before the cell is drawn or looked into.
    void prepareToDraw();

signals:
    // The operator switched the run state or recording from the grid's menu.
    void signal_updateStatus(bool enable);
    void signal_updateRecord(bool enable);
    // The cell looks different now.
    void signal_changed();

public slots:
    void slot_updateResult(QString value, QString unit, QString status);
    // Shows the run indicator while the monitor is switched on.
    void slot_updateStatus(bool status);
    // Why the monitor is not synced, as the cell's tooltip; empty when it is.
    void slot_updateSyncFailure(QString text);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void showToolTip();

    Ui::WidgetMonitorSimple *ui;
    MonitorBase *shown;
    // The latest reading as the widgets show it (or will, when stale).
    QString number = QStringLiteral("----");
    QString unitText;
    bool normal = false;
    bool stale = false;
    QString syncFailure;
    QString demotion;
    QString alarmText;
    AlarmLook alarm = AlarmLook::None;
    QPointer<AlarmFlasher> flasher;
};

#endif // WIDGETMONITORSIMPLE_H
