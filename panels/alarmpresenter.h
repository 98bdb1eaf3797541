#ifndef ALARMPRESENTER_H
#define ALARMPRESENTER_H

#include <QObject>
#include <QString>

#include <map>

struct AlarmEvent;
class MonitorBase;
class MonitorCollection;
class WidgetAlarmBar;

// Shows the alarm rules' events: the alarm bar's rows (an alarm that cleared unacknowledged
// stays there, 已恢复, until acknowledged), the overview cell's red (flashing while an active
// alarm of the monitor is unacknowledged) and the marked factor row of the detail page. Work is
// done only when an alarm is raised, cleared or acknowledged, never per pass. Acknowledgements from
// the bar go to the rules, which log them.
class AlarmPresenter : public QObject
{
    Q_OBJECT

public:
    // Lists the alarms already listed by the rules; the collection's monitors carry the views
    // to mark.
    AlarmPresenter(WidgetAlarmBar *bar, const MonitorCollection *monitors,
                   QObject *parent = nullptr);

    int activeCount() const;

public slots:
    void slot_raised(const AlarmEvent &alarm);
    void slot_cleared(const AlarmEvent &alarm);
    void slot_acked(const AlarmEvent &alarm);

private:
    struct Shown
    {
        int kind;
        QString factor;
        QString value;
        QString limit;
        bool acked;
    };
    void show(const AlarmEvent &alarm);
    // Brings the monitor's cell and page up to date with its active alarms.
    void refresh(const void *monitor);
    MonitorBase *find(const void *monitor) const;

    WidgetAlarmBar *bar;
    const MonitorCollection *monitors;
    // By monitor, then by the alarm's serial.
    std::map<const void *, std::map<quint64, Shown>> active;
};

#endif // ALARMPRESENTER_H
