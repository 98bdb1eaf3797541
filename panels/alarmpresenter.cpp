#include "alarmpresenter.h"

#include "acquisition/alarmrules.h"
#include "instruments/monitorbase.h"
#include "instruments/monitorcollection.h"
#include "panels/widgetalarmbar.h"
#include "panels/widgetmonitordisplay.h"
#include "panels/widgetmonitorsimple.h"

#include <QDateTime>

namespace {

QString describe(int kind, const QString &value, const QString &limit)
{
    QString text = QStringLiteral("报警：") + QString::fromUtf8(AlarmEvent::kindText(kind));
    if (!value.isEmpty())
        text += QStringLiteral(" %1 (报警点 %2)").arg(value, limit);
    return text;
}

} // namespace

AlarmPresenter::AlarmPresenter(WidgetAlarmBar *bar, const MonitorCollection *monitors,
                               QObject *parent)
    : QObject(parent), bar(bar), monitors(monitors)
{
    AlarmRules &rules = AlarmRules::instance();
    // Raises and clears come from the reader thread, queued; acknowledgements from here.
    connect(&rules, &AlarmRules::signal_raised, this, &AlarmPresenter::slot_raised);
    connect(&rules, &AlarmRules::signal_cleared, this, &AlarmPresenter::slot_cleared);
    connect(&rules, &AlarmRules::signal_acked, this, &AlarmPresenter::slot_acked);
    connect(bar, &WidgetAlarmBar::signal_ack, this, [](qint64 key) {
        AlarmRules::instance().acknowledge(quint64(key), QDateTime::currentSecsSinceEpoch());
    });
    connect(bar, &WidgetAlarmBar::signal_ackAll, this,
            [] { AlarmRules::instance().acknowledgeAll(QDateTime::currentSecsSinceEpoch()); });
    // After connecting: an event on its way meanwhile finds its alarm listed and updates it.
    for (const AlarmEvent &alarm : rules.listedAlarms())
        show(alarm);
}

int AlarmPresenter::activeCount() const
{
    int count = 0;
    for (const auto &entry : active)
        count += int(entry.second.size());
    return count;
}

void AlarmPresenter::slot_raised(const AlarmEvent &alarm)
{
    show(alarm);
}

void AlarmPresenter::slot_cleared(const AlarmEvent &alarm)
{
    // Not yet acknowledged, it stays in the bar until it is: the operator sees that it happened.
    if (alarm.acked.empty())
        show(alarm);
    else
        bar->removeAlarm(qint64(alarm.serial));
    const auto found = active.find(alarm.monitor);
    if (found == active.end() || found->second.erase(alarm.serial) == 0)
        return;
    if (found->second.empty())
        active.erase(found);
    refresh(alarm.monitor);
}

void AlarmPresenter::slot_acked(const AlarmEvent &alarm)
{
    if (!alarm.isActive()) {
        bar->removeAlarm(qint64(alarm.serial));
        return;
    }
    bar->setAcked(qint64(alarm.serial));
    const auto found = active.find(alarm.monitor);
    if (found == active.end())
        return;
    const auto shown = found->second.find(alarm.serial);
    if (shown == found->second.end() || shown->second.acked)
        return;
    shown->second.acked = true;
    refresh(alarm.monitor);
}

void AlarmPresenter::show(const AlarmEvent &alarm)
{
    // Cleared and acknowledged: nothing left to show. Cleared only: the bar's row, no mark.
    if (!alarm.isActive() && !alarm.acked.empty())
        return;
    WidgetAlarmBar::Entry entry;
    entry.key = qint64(alarm.serial);
    entry.time = QString::fromStdString(alarm.raised);
    entry.name = QString::fromStdString(alarm.name);
    entry.kind = QString::fromUtf8(alarm.kindText());
    if (alarm.chattering)
        entry.kind += QStringLiteral("（抖动）");
    entry.value = QString::fromStdString(alarm.value);
    entry.limit = QString::fromStdString(alarm.alarmPoint);
    entry.acked = !alarm.acked.empty();
    entry.recovered = !alarm.isActive();
    bar->showAlarm(entry);
    if (entry.recovered)
        return;
    active[alarm.monitor][alarm.serial] =
        Shown{alarm.kind, QString::fromStdString(alarm.factor), entry.value, entry.limit,
              entry.acked};
    refresh(alarm.monitor);
}

void AlarmPresenter::refresh(const void *key)
{
    MonitorBase *monitor = find(key);
    if (!monitor)
        return;
    WidgetMonitorSimple::AlarmLook look = WidgetMonitorSimple::AlarmLook::None;
    QString factor;
    QStringList lines;
    const auto found = active.find(key);
    if (found != active.end()) {
        look = WidgetMonitorSimple::AlarmLook::Steady;
        for (const auto &entry : found->second) {
            const Shown &shown = entry.second;
            if (!shown.acked)
                look = WidgetMonitorSimple::AlarmLook::Flashing;
            if (factor.isEmpty())
                factor = shown.factor;
            lines << describe(shown.kind, shown.value, shown.limit);
        }
    }
    const QString text = lines.join(QLatin1Char('\n'));
    const auto cell = monitor->views.find(1);
    if (cell != monitor->views.end())
        static_cast<WidgetMonitorSimple *>(cell->second)->setAlarm(look, text);
    const auto page = monitor->views.find(0);
    if (page != monitor->views.end())
        static_cast<WidgetMonitorDisplay *>(page->second)->setAlarm(factor, text);
}

MonitorBase *AlarmPresenter::find(const void *key) const
{
    // The alarm may belong to a monitor removed meanwhile, whose views are gone.
    if (!monitors)
        return nullptr;
    for (MonitorBase *monitor : monitors->getMonitors()) {
        if (monitor == key)
            return monitor;
    }
    return nullptr;
}
