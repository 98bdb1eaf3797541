#ifndef WIDGETMONITORDISPLAY_H
#define WIDGETMONITORDISPLAY_H

#include "line/syncclient.h"

#include <QStringList>
#include <QWidget>

#include <vector>

class MonitorBase;
struct MonitorSnapshot;
class QCheckBox;
class RecordHandOff;
class WidgetAxesDisplay;
struct RecordRow;

namespace Ui {
class WidgetMonitorDisplay;
}

// The page of one monitor: identity, run and record switches, the relay settings and the
// latest reading of each factor, one trend graph per factor. Turns each finished read pass
// into table rows, graph points, the overview cell's reading and, while recording, one
// record row per factor for the writer thread all pages share. An unsynced monitor is synced
// first, and
// the page and the cell say why its last sync failed. Only a normal reading shows a number.
// The factor row of an active alarm is marked red.
//
// The run (开关) and record switches change what is polled and stored: while maintenance is not
// allowed they are refused with the usual message and stay as they were; each change is told
// through signal_maintenance for the trail.
//
// The monitor is read only through its snapshot and its setters. The sync request and its
// answer carry the SyncClient pointer of this panel (syncToken()).
//
// The widgets are made when the page is first shown or ensureBuilt() is called: a station of
// thousands of instruments opens few pages. Until then the page keeps what it would show
// (factor rows, relays, the sync failure, the switches) and does all the rest as before:
// syncs, records, the overview cell's updates and the trend points.
class WidgetMonitorDisplay : public QWidget, public SyncClient
{
    Q_OBJECT

public:
    explicit WidgetMonitorDisplay(QWidget *parent = nullptr);
    // Stores every row already handed to the writer; the last page ends the writer's thread.
    ~WidgetMonitorDisplay() override;

    // Once, right after construction: shows the monitor and enters this panel under key 0
    // of its views.
    void setMonitor(MonitorBase *monitor);
    MonitorBase *getMonitor() const { return monitor; }
    // Makes the widgets, showing what was kept; for code that looks into them. Once.
    void ensureBuilt();
    bool isBuilt() const { return ui != nullptr; }
    // The factor rows shown (or that would be), for those that count them.
    int factorCount() const { return int(factors.size()); }
    // After each finished read pass, for a running monitor. `seconds` is the read interval,
    // `stamp` the pass's time in seconds since the epoch (0: now).
    void showReading(int seconds, qint64 stamp = 0);
    // An interval the line had no time for: a failed row for each recorded factor, if the
    // monitor was synced when it began. Before the next showReading.
    void recordMissed(qint64 stamp);
    // The line is two intervals late: the readings are drawn as failed until the next one.
    void showLate();
    // After a rename: the first tab and the rows recorded from now on carry the new name.
    void updateName();
    // Marks the row of `factor` as alarmed, `text` naming the alarms as its tooltip; an empty
    // factor marks none. Kept across the rebuilds a sync brings.
    void setAlarm(const QString &factor, const QString &text);
    QString alarmedFactor() const { return alarmFactor; }
    // Whether the run and record switches are open to whoever is at the keyboard (they are
    // until the list says otherwise).
    void setMaintenanceAllowed(bool allowed);

    // Reader thread, line mutex held.
    void syncMonitor(modbus_t *context) override;
    void *syncToken() { return static_cast<void *>(static_cast<SyncClient *>(this)); }

signals:
    void signal_sync(void *reader);
    void signal_changedMonitor(MonitorBase *monitor);
    void signal_updateResult(QString value, QString unit, QString status);
    void signal_updateStatus(bool status);
    // Why the monitor is not synced ("未同步：..."), empty when it is; for the overview cell.
    void signal_updateSyncFailure(QString text);
    // A switch was changed, for the trail: what was done and to which monitor.
    void signal_maintenance(const QString &action, const QString &detail);

public slots:
    void on_pushButtonSync_clicked();
    // Every panel receives every answer; the pointer is only compared, never followed.
    void on_syncDone(void *reader);
    void slot_stopRead();
    void slot_checkBoxStatus_stateChanged(int arg1);
    void slot_checkBoxRecord_stateChanged(int arg1);
    void slot_updateStatus(bool enable);
    void slot_updateRecord(bool enable);

protected:
    void showEvent(QShowEvent *event) override;

private:
    // A factor row as the table shows it.
    struct FactorRow
    {
        QString factor;
        QString unit;
        QString value;
        QString status;
        QString time;
    };

    // The kept state into the widgets just made.
    void fillFactorTable();
    void fillRelayTable();
    void showRunSwitch();
    void refreshRelays();
    void rebuildFactors();
    void markAlarm(bool on);
    // The stopped look of the overview cell and the run indicator.
    void showStopped();
    // The rows of the table and the graphs still match the snapshot's sensors.
    bool rowsMatch(const MonitorSnapshot &snapshot) const;
    // Hands a copy of record row `row`, with these texts, to the writer (with the rows of the
    // pass, when one is open).
    void record(int row, const std::string &time, const std::string &value,
                const std::string &status);
    void showSyncFailure();
    // Puts the switch back to `state` without a change signal and shows the refusal.
    // Either may be null on a page not built.
    void refuseSwitch(QCheckBox *box, bool state);
    // The monitor as the trail names it.
    QString trailName() const;

    // Null until built.
    Ui::WidgetMonitorDisplay *ui = nullptr;
    MonitorBase *monitor;
    std::vector<FactorRow> factors;
    // Of a synced monitor: name, state, alarm point and hysteresis of each relay.
    std::vector<QStringList> relays;
    QString syncFailure;
    // The run indicator: the main factor's last reading was normal.
    bool runLit = false;
    int interval;
    // When the latest successful sync was answered, seconds since the epoch: intervals
    // before it were not the monitor's to miss.
    qint64 readySince = 0;
    std::vector<RecordRow *> records;
    std::vector<WidgetAxesDisplay *> graphs;
    RecordHandOff *handOff;
    bool handedRows = false;
    QString alarmFactor;
    QString alarmText;
    bool maintenanceAllowed = true;
};

#endif // WIDGETMONITORDISPLAY_H
