#include "monitorbase.h"

#include "acquisition/alarmrules.h"
#include "line/linestatistics.h"
#include "line/linestop.h"
#include "line/tcplink.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include <QDateTime>

#include <poll.h>
#include <termios.h>

namespace {

const int firstNameRegister = 0x4001;
const int nameWords = 3;
const int measurementRegister = 0x4004;
const int configurationRegister = 0x3006;
const int relayRegister = 0x300B;
const int relayWords = 6;

// Seconds one character takes on the line, from the port's own settings.
double characterTime(int fd)
{
    termios settings;
    if (tcgetattr(fd, &settings) != 0)
        return 11.0 / 9600;
    static const struct
    {
        speed_t code;
        int baud;
    } speeds[] = {{B1200, 1200},   {B2400, 2400},   {B4800, 4800},   {B9600, 9600},
                  {B19200, 19200}, {B38400, 38400}, {B57600, 57600}, {B115200, 115200}};
    int baud = 9600;
    for (const auto &speed : speeds) {
        if (cfgetospeed(&settings) == speed.code)
            baud = speed.baud;
    }
    const tcflag_t size = settings.c_cflag & CSIZE;
    const int bits = 1 + (size == CS7 ? 7 : 8) + (settings.c_cflag & PARENB ? 1 : 0) +
                     (settings.c_cflag & CSTOPB ? 2 : 1);
    return double(bits) / baud;
}

// Discards input until the line has been quiet for a while. An answer that comes after the
// timeout, or the rest of a broken frame, would otherwise be read as the answer to the next
// request and make that one fail in turn. Quiet means longer than the longest exchange of
// the station plus an instrument's turnaround; a line that never goes quiet is given up on
// after two seconds.
void settleLine(modbus_t *context)
{
    modbus_flush(context);
    const int fd = modbus_get_socket(context);
    if (fd < 0)
        return;
    const int quietMs = int(40 * characterTime(fd) * 1000) + 50;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    pollfd entry = {fd, POLLIN, 0};
    while (poll(&entry, 1, quietMs) > 0 && std::chrono::steady_clock::now() < deadline) {
        if (modbus_flush(context) < 0)
            return;
    }
}

// A device that went away answers every request with one of these.
bool deviceLost(int error)
{
    return error == EIO || error == ENXIO || error == ENODEV || error == EBADF || error == EPIPE;
}

// Frame bytes of a read request and of its answer in RTU.
const int requestBytes = 8;
const int exceptionBytes = 5;

} // namespace

MonitorBase::MonitorBase(const char *model, const std::string &username, int id, bool running,
                         bool record)
    : model(model), username(username), id(id), running(running), record(record)
{
}

MonitorBase::~MonitorBase()
{
    // A monitor later at the same address must not inherit it.
    if (hasOwnFilter)
        AlarmRules::instance().setMonitorFilter(this, nullptr);
}

int MonitorBase::sync(modbus_t *context)
{
    // A demoted instrument's sync fails at once until its retry is due and the line has
    // room for it; the operator's 同步 always goes through (LineHealth::tryNow).
    const LineHealth::Turn turn = health.nextTurn(true);
    if (turn == LineHealth::Skip)
        return -1;
    if (turn == LineHealth::Due) {
        LineStatistics *line = LineStatistics::current();
        if (line && !line->grantRetry(LineStatistics::retryCost(context), health.waited(),
                                      health.forceRetryAfter(), LineHealth::retryCap()))
            return -1;
        health.retrying();
    }
    unsigned epoch;
    {
        std::lock_guard<std::mutex> guard(lock);
        synced = false;
        epoch = unsyncCount;
    }
    exchangeFailure = SyncFailure();
    int rc = checkModel(context);
    if (rc < 0)
        return failSync(rc);
    modelCheckDue = false;
    rc = readSensors(context);
    if (rc < 0)
        return failSync(rc);
    rc = readRelays(context);
    if (rc < 0)
        return failSync(rc);
    std::lock_guard<std::mutex> guard(lock);
    // The instrument answered every step, so nothing stands against it any more.
    syncFailure = SyncFailure();
    if (epoch != unsyncCount)
        return -1;
    synced = true;
    feedAlarmsLocked(QDateTime::currentSecsSinceEpoch(), false);
    return 0;
}

void MonitorBase::setRunning(bool on)
{
    running = on;
    if (!on)
        AlarmRules::instance().monitorStopped(this, QDateTime::currentSecsSinceEpoch(),
                                              AlarmEvent::MonitorOff);
}

void MonitorBase::setOwnAlarmFilter(const AlarmFilter *filter)
{
    if (filter && !filter->isValid())
        return;
    hasOwnFilter = filter != nullptr;
    if (filter)
        alarmFilter = *filter;
    AlarmRules::instance().setMonitorFilter(this, filter);
}

void MonitorBase::feedAlarms(qint64 time, bool afterRead)
{
    if (!AlarmRules::isEnabled())
        return;
    std::lock_guard<std::mutex> guard(lock);
    feedAlarmsLocked(time, afterRead);
}

void MonitorBase::feedMissed(qint64 time)
{
    if (!AlarmRules::isEnabled())
        return;
    std::lock_guard<std::mutex> guard(lock);
    if (synced)
        feedAlarmsLocked(time, true, true);
}

void MonitorBase::feedAlarmsLocked(qint64 time, bool afterRead, bool missed)
{
    if (!AlarmRules::isEnabled())
        return;
    AlarmReading reading;
    reading.monitor = this;
    reading.name = &username;
    reading.slave = id;
    reading.sensor = relays[0].sensor ? relays[0].sensor : relays[1].sensor;
    // Numbered as the records are: the factor's place among the fitted sensors (0 the main
    // factor), which a loss of communication takes from the main factor.
    const SensorBase *factor = reading.sensor ? reading.sensor : mainSensor;
    const auto place = std::find(sensors.begin(), sensors.end(), factor);
    reading.channel = place != sensors.end() ? int(place - sensors.begin()) : 0;
    reading.relays = relays;
    reading.time = time;
    if (reading.sensor && !missed) {
        const auto found = results.find(reading.sensor->factor);
        if (found != results.end())
            reading.result = found->second;
    }
    if (missed) {
        reading.result.status = 'B';
        reading.exchange = -1;
    }
    // Only a synced monitor is read; a DO580's implausible value ('F') was still an answer.
    if (afterRead && synced && mainSensor && !missed) {
        const auto main = results.find(mainSensor->factor);
        const char status = main != results.end() ? main->second.status : 0;
        if (status != 0)
            reading.exchange = status == 'B' ? -1 : 1;
    }
    if (!synced)
        reading.sensor = nullptr;
    AlarmRules::instance().evaluate(reading);
}

SyncFailure MonitorBase::stepFailure(int rc) const
{
    if (rc == -2)
        return SyncFailure::otherModel(reportedModel);
    if (exchangeFailure.kind != SyncFailure::None)
        return exchangeFailure;
    // The step's exchange went through: the instrument's answer is what it could not use.
    SyncFailure failure;
    failure.kind = SyncFailure::UnsupportedConfiguration;
    return failure;
}

int MonitorBase::failSync(int rc)
{
    const SyncFailure failure = stepFailure(rc);
    if (failure.kind == SyncFailure::OtherModel ||
        failure.kind == SyncFailure::UnsupportedConfiguration)
        health.recordSyncRefusal(failure);
    std::lock_guard<std::mutex> guard(lock);
    syncFailure = failure;
    return rc;
}

int MonitorBase::read(modbus_t *context)
{
    {
        std::lock_guard<std::mutex> guard(lock);
        if (!synced) {
            for (const auto &entry : sensorMap)
                results[entry.first] = FactorResult{0, 'F'};
            return -1;
        }
    }
    switch (health.nextTurn(false)) {
    case LineHealth::Try:
        return readNow(context);
    case LineHealth::Skip:
        markResults('B');
        return -1;
    case LineHealth::Due:
        break;
    }
    // Outside a reader's pass nobody asks it later: asked now.
    if (!LineStatistics::current())
        return retry(context);
    // Asked after the others, so that its timeout does not hold up their readings.
    return retryDue;
}

int MonitorBase::retry(modbus_t *context)
{
    health.retrying();
    return readNow(context);
}

void MonitorBase::markMissed()
{
    markResults('B');
}

void MonitorBase::markResults(char status)
{
    const std::string mainKey = mainFactor();
    if (mainKey.empty())
        return;
    std::lock_guard<std::mutex> guard(lock);
    if (sensorMap.at("Temper"))
        results["Temper"] = FactorResult{0, status};
    results[mainKey] = FactorResult{0, status};
}

int MonitorBase::readNow(modbus_t *context)
{
    const std::string mainKey = mainFactor();
    if (mainKey.empty())
        return -1;
    if (modelCheckDue) {
        const int rc = recheckModel(context);
        if (rc == -1)
            markResults('B');
        if (rc != 0)
            return -1;
    }
    const bool withTemper = sensorMap.at("Temper") != nullptr;
    uint16_t words[2];
    const bool ok =
        exchange(context, InputRegisters, measurementRegister, withTemper ? 2 : 1, words);

    std::lock_guard<std::mutex> guard(lock);
    if (withTemper) {
        const float value = scaled(words[1], 10);
        results["Temper"] = ok ? FactorResult{value, judge("Temper", value)} : FactorResult{0, 'B'};
    }
    const float value = scaled(words[0], mainDivisor());
    results[mainKey] = ok ? FactorResult{value, judge(mainKey, value)} : FactorResult{0, 'B'};
    return ok ? 0 : -1;
}

int MonitorBase::recheckModel(modbus_t *context)
{
    const int rc = matchModel(context);
    if (rc == -1)
        return -1;
    modelCheckDue = false;
    if (rc == 0)
        return 0;
    const SyncFailure failure = SyncFailure::otherModel(reportedModel);
    health.recordSyncRefusal(failure);
    std::lock_guard<std::mutex> guard(lock);
    syncFailure = failure;
    synced = false;
    ++unsyncCount;
    for (const auto &entry : sensorMap)
        results[entry.first] = FactorResult{0, 'F'};
    return -2;
}

int MonitorBase::checkModel(modbus_t *context)
{
    {
        std::lock_guard<std::mutex> guard(lock);
        sensors.clear();
    }
    return matchModel(context);
}

int MonitorBase::matchModel(modbus_t *context)
{
    uint16_t words[nameWords];
    if (!exchange(context, InputRegisters, firstNameRegister, nameWords, words))
        return -1;
    char name[2 * nameWords];
    for (int i = 0; i < nameWords; ++i) {
        name[2 * i] = char(words[i] >> 8);
        name[2 * i + 1] = char(words[i] & 0xFF);
    }
    // Kept for the operator: up to the first NUL, without trailing blanks, and any byte that
    // is not printable ASCII shown as '?'.
    reportedModel.clear();
    for (char c : name) {
        if (c == 0)
            break;
        reportedModel += c >= 0x20 && c <= 0x7E ? c : '?';
    }
    while (!reportedModel.empty() && reportedModel.back() == ' ')
        reportedModel.pop_back();
    return model.size() >= 5 && std::memcmp(name, model.data(), 5) == 0 ? 0 : -2;
}

int MonitorBase::readRelays(modbus_t *context)
{
    uint16_t words[relayWords];
    if (!exchange(context, HoldingRegisters, relayRegister, relayWords, words))
        return -1;
    const std::string key = mainFactor();
    std::lock_guard<std::mutex> guard(lock);
    for (int i = 0; i < 2; ++i) {
        const uint16_t *relay = words + 3 * i;
        relays[i].on = relay[0] != 0;
        // Without a main factor the numbers would have no scale: keep the old ones.
        if (!key.empty()) {
            relays[i].alarmPoint = scaled(relay[1], mainDivisor());
            relays[i].hysteresis = scaled(relay[2], mainDivisor());
            relays[i].sensor = sensorMap.at(key);
        }
    }
    return 0;
}

MonitorSnapshot MonitorBase::snapshot() const
{
    MonitorSnapshot copy;
    std::lock_guard<std::mutex> guard(lock);
    copy.synced = synced;
    copy.sensors.reserve(sensors.size());
    for (const SensorBase *sensor : sensors) {
        if (sensor == mainSensor)
            copy.mainIndex = int(copy.sensors.size());
        copy.sensors.push_back(*sensor);
    }
    copy.results = results;
    for (int i = 0; i < 2; ++i) {
        copy.relays[i].on = relays[i].on;
        copy.relays[i].alarmPoint = relays[i].alarmPoint;
        copy.relays[i].hysteresis = relays[i].hysteresis;
        if (relays[i].sensor)
            copy.relays[i].sensor = *relays[i].sensor;
    }
    return copy;
}

std::string MonitorBase::getUsername() const
{
    std::lock_guard<std::mutex> guard(lock);
    return username;
}

void MonitorBase::setUsername(const std::string &name)
{
    std::lock_guard<std::mutex> guard(lock);
    username = name;
}

bool MonitorBase::isSynced() const
{
    std::lock_guard<std::mutex> guard(lock);
    return synced;
}

SyncFailure MonitorBase::lastSyncFailure() const
{
    std::lock_guard<std::mutex> guard(lock);
    return syncFailure;
}

void MonitorBase::clearSynced()
{
    std::lock_guard<std::mutex> guard(lock);
    synced = false;
    ++unsyncCount;
}

char MonitorBase::judge(const std::string &, float) const
{
    return 'N';
}

bool MonitorBase::exchange(modbus_t *context, RegisterKind kind, int address, int count,
                           uint16_t *words) const
{
    std::fill(words, words + count, uint16_t(0));
    exchangeFailure = SyncFailure();
    LineStatistics *line = LineStatistics::current();
    // The line's device went away: the reader reopens it, nothing is sent meanwhile.
    if (line && line->isLost()) {
        exchangeFailure.kind = SyncFailure::PortError;
        return false;
    }
    if (!context) {
        exchangeFailure.kind = SyncFailure::LineClosed;
        return false;
    }
    // 0 would be a broadcast, which accepts any instrument's answer; beyond 247 the library
    // keeps the previous slave and the request would reach another instrument.
    if (id < 1 || id > 247 || modbus_set_slave(context, id) != 0) {
        exchangeFailure.kind = SyncFailure::InvalidId;
        return false;
    }
    // While the line is being switched off nothing more is sent: a sync fails at its next
    // step, as on a closed line.
    if (LineStop::requested()) {
        exchangeFailure.kind = SyncFailure::LineClosed;
        return false;
    }
    const bool tcp = TcpLink::isTcp(context);
    bool gatewayLost = false;
    const auto started = std::chrono::steady_clock::now();
    const int rc = tcp ? TcpLink::readRegisters(context, id, kind == InputRegisters ? 4 : 3,
                                                address, count, words, &gatewayLost)
                   : kind == InputRegisters
                       ? modbus_read_input_registers(context, address, count, words)
                       : modbus_read_registers(context, address, count, words);
    const int error = errno;
    const auto elapsed = std::chrono::steady_clock::now() - started;
    const int sentBytes = tcp ? TcpLink::requestBytes : requestBytes;
    const int headerBytes = tcp ? TcpLink::answerHeaderBytes : exceptionBytes;
    if (rc >= 1) {
        health.recordExchange(SyncFailure(), elapsed);
        if (line)
            line->countBytes(sentBytes, headerBytes + 2 * count);
        return true;
    }
    // Settling included: what the failure cost the line, which its work time leaves out.
    struct FailedTime
    {
        LineStatistics *line;
        std::chrono::steady_clock::time_point started;
        ~FailedTime()
        {
            if (line)
                line->countFailedTime(std::chrono::steady_clock::now() - started);
        }
    } failedTime{line, started};
    exchangeFailure = SyncFailure::fromModbusError(error);
    const bool lost =
        tcp ? gatewayLost
        : exchangeFailure.kind == SyncFailure::PortError
            ? deviceLost(error)
            : exchangeFailure.kind == SyncFailure::NoAnswer && line && line->deviceGone();
    if (lost)
        exchangeFailure.kind = SyncFailure::PortError;
    health.recordExchange(exchangeFailure, elapsed);
    if (line) {
        const bool sent = exchangeFailure.kind != SyncFailure::PortError;
        line->countBytes(sent ? sentBytes : 0,
                         exchangeFailure.kind == SyncFailure::ExceptionAnswer ? headerBytes : 0);
        if (lost)
            line->setLost(true);
    }
    // A device that is gone has no input to settle, and polling it would report it ready
    // for the whole settling time. A gateway's stream was put back in step by dropping the
    // connection.
    if (!lost && !tcp)
        settleLine(context);
    return false;
}

bool MonitorBase::configurationWords(modbus_t *context, int count, uint16_t *words)
{
    {
        std::lock_guard<std::mutex> guard(lock);
        sensors.clear();
    }
    return exchange(context, HoldingRegisters, configurationRegister, count, words);
}

void MonitorBase::fit(const std::string &factor, SensorBase *sensor)
{
    sensorMap[factor] = sensor;
    if (sensor)
        sensors.push_back(sensor);
}
