#include "alarmrules.h"

#include "sensorbase.h"

#include <QDateTime>

#include <algorithm>

std::atomic<bool> AlarmRules::enabled{true};

const char *AlarmEvent::kindText(int kind)
{
    switch (kind) {
    case High:
        return "高报";
    case Low:
        return "低报";
    default:
        return "通讯故障";
    }
}

AlarmRules::AlarmRules()
{
    qRegisterMetaType<AlarmEvent>("AlarmEvent");
    qRegisterMetaType<AlarmLogEntry>("AlarmLogEntry");
}

AlarmRules &AlarmRules::instance()
{
    static AlarmRules rules;
    return rules;
}

void AlarmRules::setEnabled(bool on)
{
    enabled.store(on, std::memory_order_relaxed);
}

std::string AlarmRules::timeText(qint64 time)
{
    return QDateTime::fromSecsSinceEpoch(time)
        .toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"))
        .toStdString();
}

void AlarmRules::evaluate(const AlarmReading &reading)
{
    if (!isEnabled() || !reading.monitor)
        return;
    std::vector<AlarmLogEntry> changes;
    {
        std::lock_guard<std::mutex> guard(mutex);
        MonitorState &state = states[reading.monitor];
        if (reading.exchange < 0) {
            if (++state.failures >= commsLossReads && !state.serials[AlarmEvent::CommsLoss])
                raise(state, reading, AlarmEvent::CommsLoss, 0, changes);
        } else if (reading.exchange > 0) {
            state.failures = 0;
            if (state.serials[AlarmEvent::CommsLoss])
                clear(state, AlarmEvent::CommsLoss, reading.time, changes);
        }
        if (reading.sensor && reading.result.status == 'N') {
            const float value = reading.result.value;
            static const Relay off;
            const Relay &high = reading.relays ? reading.relays[0] : off;
            const Relay &low = reading.relays ? reading.relays[1] : off;
            // A control switched off by a re-sync no longer holds its alarm.
            if (state.serials[AlarmEvent::High]) {
                if (!high.on || value < high.alarmPoint - high.hysteresis)
                    clear(state, AlarmEvent::High, reading.time, changes);
            } else if (high.on && value >= high.alarmPoint) {
                raise(state, reading, AlarmEvent::High, high.alarmPoint, changes);
            }
            if (state.serials[AlarmEvent::Low]) {
                if (!low.on || value > low.alarmPoint + low.hysteresis)
                    clear(state, AlarmEvent::Low, reading.time, changes);
            } else if (low.on && value <= low.alarmPoint) {
                raise(state, reading, AlarmEvent::Low, low.alarmPoint, changes);
            }
        }
    }
    if (!changes.empty())
        announce(changes);
}

void AlarmRules::raise(MonitorState &state, const AlarmReading &reading, int kind, float limit,
                       std::vector<AlarmLogEntry> &out)
{
    AlarmEvent alarm;
    alarm.serial = ++lastSerial;
    alarm.monitor = reading.monitor;
    alarm.kind = kind;
    if (reading.name)
        alarm.name = *reading.name;
    alarm.slave = reading.slave;
    alarm.channel = reading.channel;
    if (reading.sensor) {
        alarm.factor = reading.sensor->factor;
        if (kind != AlarmEvent::CommsLoss) {
            alarm.value = reading.sensor->valueText(reading.result.value);
            alarm.alarmPoint = reading.sensor->valueText(limit);
        }
    }
    alarm.raised = timeText(reading.time);
    state.serials[kind] = alarm.serial;
    ++state.active;
    active.push_back(alarm);
    out.push_back(AlarmLogEntry{AlarmLogEntry::Raise, alarm});
    emit signal_log(out.back());
}

void AlarmRules::clear(MonitorState &state, int kind, qint64 time,
                       std::vector<AlarmLogEntry> &out)
{
    const quint64 serial = state.serials[kind];
    state.serials[kind] = 0;
    --state.active;
    const auto found = std::find_if(active.begin(), active.end(), [serial](const AlarmEvent &a) {
        return a.serial == serial;
    });
    if (found == active.end())
        return;
    AlarmLogEntry entry{AlarmLogEntry::Clear, std::move(*found)};
    active.erase(found);
    entry.alarm.cleared = timeText(time);
    out.push_back(std::move(entry));
    emit signal_log(out.back());
}

void AlarmRules::announce(const std::vector<AlarmLogEntry> &changes)
{
    for (const AlarmLogEntry &change : changes) {
        switch (change.change) {
        case AlarmLogEntry::Raise:
            emit signal_raised(change.alarm);
            break;
        case AlarmLogEntry::Clear:
            emit signal_cleared(change.alarm);
            break;
        default:
            emit signal_acked(change.alarm);
            break;
        }
    }
}

void AlarmRules::monitorStopped(const void *monitor, qint64 time)
{
    std::vector<AlarmLogEntry> changes;
    {
        std::lock_guard<std::mutex> guard(mutex);
        const auto found = states.find(monitor);
        if (found == states.end())
            return;
        for (int kind = AlarmEvent::High; kind <= AlarmEvent::CommsLoss; ++kind) {
            if (found->second.serials[kind])
                clear(found->second, kind, time, changes);
        }
        // A monitor at the same address later is another monitor.
        states.erase(found);
    }
    announce(changes);
}

void AlarmRules::stopAll(qint64 time)
{
    std::vector<AlarmLogEntry> changes;
    {
        std::lock_guard<std::mutex> guard(mutex);
        for (auto &entry : states) {
            for (int kind = AlarmEvent::High; kind <= AlarmEvent::CommsLoss; ++kind) {
                if (entry.second.serials[kind])
                    clear(entry.second, kind, time, changes);
            }
        }
        states.clear();
    }
    announce(changes);
}

int AlarmRules::acknowledge(quint64 serial, qint64 time)
{
    std::vector<AlarmLogEntry> changes;
    {
        std::lock_guard<std::mutex> guard(mutex);
        const auto found = std::find_if(active.begin(), active.end(),
                                        [serial](const AlarmEvent &a) { return a.serial == serial; });
        if (found == active.end() || !found->acked.empty())
            return -1;
        found->acked = timeText(time);
        changes.push_back(AlarmLogEntry{AlarmLogEntry::Acknowledge, *found});
        emit signal_log(changes.back());
    }
    announce(changes);
    return 0;
}

int AlarmRules::acknowledgeAll(qint64 time)
{
    std::vector<AlarmLogEntry> changes;
    {
        std::lock_guard<std::mutex> guard(mutex);
        const std::string text = timeText(time);
        for (AlarmEvent &alarm : active) {
            if (!alarm.acked.empty())
                continue;
            alarm.acked = text;
            changes.push_back(AlarmLogEntry{AlarmLogEntry::Acknowledge, alarm});
            emit signal_log(changes.back());
        }
    }
    announce(changes);
    return int(changes.size());
}

std::vector<AlarmEvent> AlarmRules::activeAlarms() const
{
    std::lock_guard<std::mutex> guard(mutex);
    return active;
}

bool AlarmRules::hasActiveAlarm(const void *monitor) const
{
    std::lock_guard<std::mutex> guard(mutex);
    const auto found = states.find(monitor);
    return found != states.end() && found->second.active > 0;
}

void AlarmRules::reset()
{
    std::lock_guard<std::mutex> guard(mutex);
    states.clear();
    active.clear();
}
