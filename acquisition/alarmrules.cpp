#include "alarmrules.h"

#include "instruments/sensorbase.h"

#include <QDateTime>
#include <QMetaMethod>

#include <algorithm>
#include <chrono>

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

const char *AlarmEvent::reasonText(int reason)
{
    switch (reason) {
    case LineOff:
        return "停止采集";
    case MonitorOff:
        return "仪表停用";
    case MonitorRemoved:
        return "仪表删除";
    case Imported:
        return "导入数据";
    case StationStopped:
        return "系统停止";
    case NotWatched:
        return "仪表未采集";
    case Duplicate:
        return "重复报警";
    default:
        return "恢复正常";
    }
}

std::string AlarmEvent::clearText() const
{
    std::string text = reasonText(reason);
    if (chattering)
        text += "（抖动，重复 " + std::to_string(repeats) + " 次）";
    return text;
}

AlarmLogSwitch::AlarmLogSwitch(std::function<bool()> work) : work(std::move(work)) {}

bool AlarmLogSwitch::run()
{
    std::call_once(once, [this] {
        succeeded = work && work();
        promise.set_value(succeeded);
    });
    return succeeded;
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

qint64 AlarmRules::steadyMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void AlarmRules::setDefaultFilter(const AlarmFilter &rule)
{
    if (!rule.isValid())
        return;
    std::lock_guard<std::mutex> guard(mutex);
    filter = rule;
}

AlarmFilter AlarmRules::defaultFilter() const
{
    std::lock_guard<std::mutex> guard(mutex);
    return filter;
}

void AlarmRules::setMonitorFilter(const void *monitor, const AlarmFilter *rule)
{
    std::lock_guard<std::mutex> guard(mutex);
    if (rule && rule->isValid())
        filters[monitor] = *rule;
    else if (!rule)
        filters.erase(monitor);
}

void AlarmRules::setClock(Clock source)
{
    std::lock_guard<std::mutex> guard(mutex);
    clock = std::move(source);
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
                clear(state, AlarmEvent::CommsLoss, reading.time, AlarmEvent::Recovered, changes);
        }
        if (reading.sensor && reading.result.status == 'N') {
            const float value = reading.result.value;
            static const Relay off;
            const Relay &high = reading.relays ? reading.relays[0] : off;
            const Relay &low = reading.relays ? reading.relays[1] : off;
            const auto own = filters.empty() ? filters.end() : filters.find(reading.monitor);
            const AlarmFilter &rule = own != filters.end() ? own->second : filter;
            const qint64 now = clock ? clock() : steadyMs();
            // A control switched off by a re-sync no longer holds its alarm.
            judgeValue(state, reading, AlarmEvent::High, high, high.on && value >= high.alarmPoint,
                       !high.on || value < high.alarmPoint - high.hysteresis, rule, now, changes);
            judgeValue(state, reading, AlarmEvent::Low, low, low.on && value <= low.alarmPoint,
                       !low.on || value > low.alarmPoint + low.hysteresis, rule, now, changes);
        }
    }
    if (!changes.empty())
        announce(changes);
}

void AlarmRules::judgeValue(MonitorState &state, const AlarmReading &reading, int kind,
                            const Relay &relay, bool present, bool ended, const AlarmFilter &rule,
                            qint64 now, std::vector<AlarmLogEntry> &out)
{
    ValueState &value = state.values[kind];
    if (state.serials[kind]) {
        // Held while chattering: it clears once its condition stayed away long enough, and the
        // returns meanwhile are counted, not raised. A control switched off clears it at once.
        if (value.chattering && relay.on) {
            if (!ended) {
                // A return counts as a raise: the alarm chatters on while it comes back.
                if (present && value.absentSince >= 0) {
                    ++value.repeats;
                    noteRaise(value, rule, now);
                }
                value.absentSince = -1;
                return;
            }
            if (value.absentSince < 0)
                value.absentSince = now;
            if (now - value.absentSince < qint64(rule.chatterHold) * 1000)
                return;
        }
        if (ended)
            clear(state, kind, reading.time, AlarmEvent::Recovered, out);
        return;
    }
    if (!present) {
        value.pending = 0;
        return;
    }
    if (++value.pending < rule.onDelay)
        return;
    value.pending = 0;
    const bool chattering = noteRaise(value, rule, now);
    value.chattering = chattering;
    value.repeats = 0;
    value.absentSince = -1;
    raise(state, reading, kind, relay.alarmPoint, out, chattering);
}

bool AlarmRules::noteRaise(ValueState &value, const AlarmFilter &rule, qint64 now)
{
    if (rule.chatterRaises <= 0)
        return false;
    const qint64 window = qint64(rule.chatterWindow) * 1000;
    while (!value.raises.empty() && now - value.raises.front() >= window)
        value.raises.pop_front();
    value.raises.push_back(now);
    // Only the last chatterRaises + 1 decide.
    while (value.raises.size() > size_t(rule.chatterRaises) + 1)
        value.raises.pop_front();
    return value.raises.size() > size_t(rule.chatterRaises);
}

void AlarmRules::raise(MonitorState &state, const AlarmReading &reading, int kind, float limit,
                       std::vector<AlarmLogEntry> &out, bool chattering)
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
    alarm.chattering = chattering;
    state.serials[kind] = alarm.serial;
    ++state.active;
    active.push_back(alarm);
    out.push_back(AlarmLogEntry{AlarmLogEntry::Raise, alarm, nullptr});
    emit signal_log(out.back());
}

void AlarmRules::clear(MonitorState &state, int kind, qint64 time, int reason,
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
    AlarmLogEntry entry{AlarmLogEntry::Clear, std::move(*found), nullptr};
    active.erase(found);
    entry.alarm.cleared = timeText(time);
    entry.alarm.reason = reason;
    if (kind != AlarmEvent::CommsLoss) {
        ValueState &value = state.values[kind];
        entry.alarm.repeats = value.repeats;
        value.chattering = false;
        value.repeats = 0;
        value.absentSince = -1;
    }
    keepUnacknowledged(entry.alarm);
    out.push_back(std::move(entry));
    emit signal_log(out.back());
}

void AlarmRules::clearAlone(AlarmEvent alarm, qint64 time, int reason,
                            std::vector<AlarmLogEntry> &out)
{
    alarm.serial = ++lastSerial;
    alarm.monitor = nullptr;
    alarm.cleared = timeText(time);
    alarm.reason = reason;
    keepUnacknowledged(alarm);
    out.push_back(AlarmLogEntry{AlarmLogEntry::Clear, std::move(alarm), nullptr});
    emit signal_log(out.back());
}

void AlarmRules::clearEvery(qint64 time, int reason, std::vector<AlarmLogEntry> &out)
{
    // In the order they were raised, so that the log and its readers get them so.
    std::vector<std::pair<const void *, int>> raised;
    for (const AlarmEvent &alarm : active)
        raised.emplace_back(alarm.monitor, alarm.kind);
    for (const auto &alarm : raised)
        clear(states[alarm.first], alarm.second, time, reason, out);
}

void AlarmRules::keepUnacknowledged(const AlarmEvent &alarm)
{
    if (!alarm.acked.empty())
        return;
    recovered.push_back(alarm);
    if (recovered.size() > maxRecovered)
        recovered.erase(recovered.begin());
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

void AlarmRules::monitorStopped(const void *monitor, qint64 time, int reason)
{
    std::vector<AlarmLogEntry> changes;
    {
        std::lock_guard<std::mutex> guard(mutex);
        // A monitor at the same address later is another monitor.
        if (reason == AlarmEvent::MonitorRemoved)
            filters.erase(monitor);
        const auto found = states.find(monitor);
        if (found == states.end())
            return;
        for (int kind = AlarmEvent::High; kind <= AlarmEvent::CommsLoss; ++kind) {
            if (found->second.serials[kind])
                clear(found->second, kind, time, reason, changes);
        }
        states.erase(found);
    }
    announce(changes);
}

void AlarmRules::stopAll(qint64 time, int reason)
{
    std::vector<AlarmLogEntry> changes;
    {
        std::lock_guard<std::mutex> guard(mutex);
        clearEvery(time, reason, changes);
        states.clear();
    }
    announce(changes);
}

void AlarmRules::resume(const AlarmEvent &alarm, qint64 time, int reason)
{
    if (alarm.kind < AlarmEvent::High || alarm.kind > AlarmEvent::CommsLoss)
        return;
    std::vector<AlarmLogEntry> changes;
    {
        std::lock_guard<std::mutex> guard(mutex);
        MonitorState *state = alarm.monitor ? &states[alarm.monitor] : nullptr;
        if (!alarm.cleared.empty()) {
            // Over, waiting for an acknowledgement: listed again, as it was.
            AlarmEvent waiting = alarm;
            waiting.serial = ++lastSerial;
            waiting.monitor = nullptr;
            keepUnacknowledged(waiting);
            changes.push_back(AlarmLogEntry{AlarmLogEntry::Clear, std::move(waiting), nullptr});
        } else if (!state || state->serials[alarm.kind]) {
            clearAlone(alarm, time, state ? AlarmEvent::Duplicate : reason, changes);
        } else {
            AlarmEvent taken = alarm;
            taken.serial = ++lastSerial;
            taken.cleared.clear();
            state->serials[taken.kind] = taken.serial;
            ++state->active;
            // Still failing at the next read, the loss of communication goes on.
            if (taken.kind == AlarmEvent::CommsLoss)
                state->failures = commsLossReads;
            active.push_back(taken);
            // Shown, not logged: its row is there.
            changes.push_back(AlarmLogEntry{AlarmLogEntry::Raise, std::move(taken), nullptr});
        }
    }
    announce(changes);
}

bool AlarmRules::switchLog(qint64 time, std::function<bool()> swap)
{
    const auto logSwitch = std::make_shared<AlarmLogSwitch>(std::move(swap));
    std::future<bool> done = logSwitch->result();
    const bool written = isSignalConnected(QMetaMethod::fromSignal(&AlarmRules::signal_log));
    std::vector<AlarmLogEntry> changes;
    {
        std::lock_guard<std::mutex> guard(mutex);
        // The failure counts stay: a silent instrument is reported again at its next read.
        clearEvery(time, AlarmEvent::Imported, changes);
        // Carried in the order they were raised, as the log had them.
        logSwitch->unacknowledged = recovered;
        std::sort(logSwitch->unacknowledged.begin(), logSwitch->unacknowledged.end(),
                  [](const AlarmEvent &a, const AlarmEvent &b) { return a.serial < b.serial; });
        emit signal_log(AlarmLogEntry{AlarmLogEntry::SwitchLog, AlarmEvent(), logSwitch});
    }
    announce(changes);
    // The log writer runs it in its turn. Without one, or with one that never gets to it, the
    // file is replaced all the same rather than never.
    if (!written ||
        done.wait_for(std::chrono::seconds(switchWaitSeconds)) != std::future_status::ready)
        return logSwitch->run();
    return done.get();
}

int AlarmRules::acknowledge(quint64 serial, qint64 time)
{
    std::vector<AlarmLogEntry> changes;
    {
        std::lock_guard<std::mutex> guard(mutex);
        const auto bySerial = [serial](const AlarmEvent &a) { return a.serial == serial; };
        auto found = std::find_if(active.begin(), active.end(), bySerial);
        if (found != active.end()) {
            if (!found->acked.empty())
                return -1;
            found->acked = timeText(time);
            changes.push_back(AlarmLogEntry{AlarmLogEntry::Acknowledge, *found, nullptr});
        } else {
            found = std::find_if(recovered.begin(), recovered.end(), bySerial);
            if (found == recovered.end())
                return -1;
            found->acked = timeText(time);
            changes.push_back(AlarmLogEntry{AlarmLogEntry::Acknowledge, *found, nullptr});
            recovered.erase(found);
        }
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
        // The cleared ones first: they were raised before any still active.
        for (AlarmEvent &alarm : recovered) {
            alarm.acked = text;
            changes.push_back(AlarmLogEntry{AlarmLogEntry::Acknowledge, std::move(alarm), nullptr});
            emit signal_log(changes.back());
        }
        recovered.clear();
        for (AlarmEvent &alarm : active) {
            if (!alarm.acked.empty())
                continue;
            alarm.acked = text;
            changes.push_back(AlarmLogEntry{AlarmLogEntry::Acknowledge, alarm, nullptr});
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

std::vector<AlarmEvent> AlarmRules::listedAlarms() const
{
    std::vector<AlarmEvent> listed;
    {
        std::lock_guard<std::mutex> guard(mutex);
        listed = recovered;
        listed.insert(listed.end(), active.begin(), active.end());
    }
    std::sort(listed.begin(), listed.end(),
              [](const AlarmEvent &a, const AlarmEvent &b) { return a.serial < b.serial; });
    return listed;
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
    recovered.clear();
    filter = AlarmFilter();
    filters.clear();
    clock = nullptr;
}
