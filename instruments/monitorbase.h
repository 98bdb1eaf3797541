#ifndef MONITORBASE_H
#define MONITORBASE_H

#include "acquisition/alarmfilter.h"
#include "factorresult.h"
#include "line/linehealth.h"
#include "monitorsnapshot.h"
#include "relay.h"
#include "sensorbase.h"
#include "syncfailure.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <QtGlobal>

#include <modbus.h>

// One configured instrument on the line. A sync learns which sensors and relay settings the
// instrument has; a read fetches its measurements. Each model knows its own registers.
//
// Threads: `sync` and `read` run on the reader thread; everything else on the interface
// thread. Every field the reader writes (results, sensors, main sensor, sensor map, relays,
// the DO unit and decimals, `synced`) is guarded by the monitor's own lock. A Modbus
// exchange runs without that lock, so the interface never waits for an instrument's
// timeout; its outcome is applied under it. The interface thread reads all of it through
// `snapshot()`, which returns copies. Its own flags (running, record, username, clearing
// `synced`) go through the setters below and are safe against the reader.
class MonitorBase
{
public:
    enum RegisterKind
    {
        InputRegisters,
        HoldingRegisters
    };

    MonitorBase(const MonitorBase &) = delete;
    MonitorBase &operator=(const MonitorBase &) = delete;
    virtual ~MonitorBase();

    // Model check, configuration, relays; `synced` becomes true only when all three
    // succeed. 0 success, -1 a failed exchange or an unknown sensor variant, -2 the
    // instrument names another model. A failure is kept for lastSyncFailure().
    virtual int sync(modbus_t *context);
    // One exchange for the main factor and, where fitted, the temperature. An unsynced
    // monitor is not asked anything: its factors are marked 'F'. A demoted one is not asked
    // either: its factors are marked 'B', as for a failed exchange. 0 success, -1 failure,
    // retryDue when it is failing and due to be asked after the others (see retry); only
    // inside a pass of the reader (LineStatistics::Scope), outside one it is asked at once.
    // After lineRestored() the first exchange that goes through checks the model name first.
    virtual int read(modbus_t *context);
    // For a monitor whose read() returned retryDue: the exchange read() left out, whose
    // outcome is the pass's reading. 0 success, else -1.
    int retry(modbus_t *context);
    // For a monitor whose read() returned retryDue and that the line had no room for: its
    // factors are marked 'B' for the pass.
    void markMissed();
    static constexpr int retryDue = 1;
    // The line was reopened after its device had gone away: the next read checks first that
    // the same model still answers at this id. Any thread.
    void checkModelAgain() { modelCheckDue = true; }
    virtual int checkModel(modbus_t *context);
    virtual int readSensors(modbus_t *context) = 0;
    virtual int readRelays(modbus_t *context);

    // Feeds the latest reading of the controlled factor to the alarm rules, as of time
    // (seconds since the epoch). afterRead: the reading is the outcome of an exchange, so a
    // failure counts toward a loss of communication; otherwise (after a sync) only the value
    // is judged again, against the set points just read. Reader thread.
    void feedAlarms(qint64 time, bool afterRead);
    // An interval the line had no time for counts as a failed read, as of time. Reader
    // thread.
    void feedMissed(qint64 time);

    MonitorSnapshot snapshot() const;
    // Any thread.
    InstrumentHealth healthSnapshot() const { return health.snapshot(); }
    LineHealth &lineHealth() const { return health; }

    const std::string &getModel() const { return model; }
    int getId() const { return id; }
    int getChannel() const { return channel; }
    int getChannelMode() const { return channelMode; }
    std::string getUsername() const;
    void setUsername(const std::string &name);
    // The name of the line the monitor is on, as Monitor.json gives it; empty: the first line.
    // Interface thread.
    const std::string &getLine() const { return line; }
    void setLine(const std::string &name) { line = name; }
    // The index of that line among the station's lines; -1 while the station has no line of
    // that name, and the monitor is not polled. Any thread.
    int getLineIndex() const { return lineIndex; }
    void setLineIndex(int index) { lineIndex = index; }
    bool isRunning() const { return running; }
    // Switched off, the monitor's alarms clear.
    void setRunning(bool on);
    bool isRecord() const { return record; }
    void setRecord(bool on) { record = on; }
    // The monitor's own alarm filter; null: it follows the station's (MonitorCollection).
    // Interface thread; the alarm rules get a copy.
    const AlarmFilter *ownAlarmFilter() const { return hasOwnFilter ? &alarmFilter : nullptr; }
    void setOwnAlarmFilter(const AlarmFilter *filter);
    bool isSynced() const;
    // Why the last sync failed; None once a sync has succeeded (and before any sync).
    SyncFailure lastSyncFailure() const;
    // The line went off or the run switch was turned off; a sync running meanwhile does not
    // set the flag again.
    void clearSynced();

    // Objects that show this monitor: 0 detail panel, 1 overview cell, 2 tree item.
    // Interface thread only.
    std::map<int, void *> views;

protected:
    MonitorBase(const char *model, const std::string &username, int id, bool running, bool record);

    // Key of the main factor the instrument was configured with, empty when none.
    virtual std::string mainFactor() const = 0;
    // Divides the main factor's words and the relay set points.
    virtual float mainDivisor() const = 0;
    // Status of a value read without error; only the DO580 checks plausibility.
    virtual char judge(const std::string &factor, float value) const;

    // Sets the slave, zeroes `words` and reads `count` registers. A failed exchange flushes
    // the line until it is quiet, so a late answer is never taken for the next request's.
    // A null context, an id that cannot be addressed, a stop of the line (LineStop) or a
    // line whose device has gone away fails like a silent instrument, without waiting. The
    // outcome is kept in `exchangeFailure` and counted in the line health.
    bool exchange(modbus_t *context, RegisterKind kind, int address, int count,
                  uint16_t *words) const;
    // Empties the sensor list, then reads `count` configuration words from 0x3006.
    bool configurationWords(modbus_t *context, int count, uint16_t *words);
    static float scaled(uint16_t word, float divisor) { return int16_t(word) / divisor; }
    // Sets a sensor-map entry and, when the sensor is fitted, appends it to `sensors`.
    void fit(const std::string &factor, SensorBase *sensor);

    // Guarded by `lock`.
    std::map<std::string, FactorResult> results;
    std::vector<SensorBase *> sensors;
    SensorBase *mainSensor = nullptr;
    int channelMode = 0;
    const std::string model;
    std::string username;
    std::string line;
    std::atomic<int> lineIndex{0};
    const int id;
    const int channel = -1;
    bool synced = false;
    std::atomic<bool> running;
    std::atomic<bool> record;
    Relay relays[2];
    // Changed only by the reader thread (under the lock), which therefore reads it without.
    std::map<std::string, SensorBase *> sensorMap;

    mutable std::mutex lock;

private:
    // Interface thread only.
    AlarmFilter alarmFilter;
    bool hasOwnFilter = false;
    // The exchange of a read, and the results it gives.
    int readNow(modbus_t *context);
    void markResults(char status);
    // `missed`: a read that could not be made, counted as failed.
    void feedAlarmsLocked(qint64 time, bool afterRead, bool missed = false);
    // The model-name check of a read after the line came back; 0 the same model, -1 the
    // exchange failed, -2 another model (the monitor is then unsynced).
    int recheckModel(modbus_t *context);
    // The model-name exchange and comparison of a sync's first step.
    int matchModel(modbus_t *context);
    // Why a sync step that returned `rc` failed.
    SyncFailure stepFailure(int rc) const;
    int failSync(int rc);

    unsigned unsyncCount = 0; // bumped by clearSynced, guarded by `lock`
    SyncFailure syncFailure;  // guarded by `lock`
    // Only on the thread that runs sync and read (the line's mutex keeps it to one).
    mutable SyncFailure exchangeFailure; // of the last exchange; None when it succeeded
    std::string reportedModel;           // the model name of the last model check
    std::atomic<bool> modelCheckDue{false};
    mutable LineHealth health;
};

#endif // MONITORBASE_H
