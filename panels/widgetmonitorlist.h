#ifndef WIDGETMONITORLIST_H
#define WIDGETMONITORLIST_H

#include "acquisition/alarmfilter.h"
#include "instruments/monitorcollection.h"
#include "line/readclient.h"

#include <QModelIndex>
#include <QPoint>
#include <QPointer>
#include <QWidget>

class ComPortCtrl;
class ComPortReader;
class ConfigFile;
class MonitorBase;
class PollScheduler;
class QThread;
class RecordWriter;
class QAction;
class QMenu;
class QStandardItem;
class QStandardItemModel;
class WidgetComPort;
class WidgetMonitorSimpleList;

namespace Ui {
class WidgetMonitorList;
}

// The configured monitors as a tree under "所有仪表", where they are added, renamed and
// removed; the read interval; and the polling cycle while the line is on. Owns the monitor
// collection loaded from Monitor.json and builds each monitor's detail panel and overview
// cell. Every change of a monitor reaches Monitor.json at once; an edited interval at the
// next store or at saveConfig().
//
// The read pass request carries this list's ReadClient pointer (readToken()). The serial
// port panel that owns the link must outlive this list.
class WidgetMonitorList : public QWidget, public ReadClient
{
    Q_OBJECT

public:
    // Item data of the tree.
    static constexpr int KindRole = Qt::UserRole + 1;    // 0 root, 1 monitor
    static constexpr int MonitorRole = Qt::UserRole + 2; // MonitorBase * as void *
    static constexpr int DemotionRole = Qt::UserRole + 3; // the demotion shown, empty if none

    explicit WidgetMonitorList(QWidget *parent = nullptr);
    // Waits for the reader, then deletes the monitors and their detail panels.
    ~WidgetMonitorList() override;

    // The serial port panel's line and reader; set once, before init().
    void setComPortCtrl(ComPortCtrl *ctrl);
    void setReader(ComPortReader *reader);
    // Once at start: builds every monitor's views into the tree and the grid, then selects
    // the root so that the grid is the first page shown.
    void init(QWidget *simpleListPage);
    // Refuses a used slave id ("id已被使用") or name; null when refused or the model is
    // unknown. The new monitor runs and records.
    MonitorBase *addMonitor(const QString &model, const QString &userName, int id, int channel);
    void selectRoot();
    // Stores Monitor.json if the read interval was edited, or a store failed, since the last
    // store. Every failed store is shown, naming the file.
    void saveConfig();

    // Reader thread, line mutex held.
    void readAll(modbus_t *context, const PassPlan &plan) override;
    void lineRestored() override;
    void *readToken() { return static_cast<void *>(static_cast<ReadClient *>(this)); }

    const MonitorCollection &collection() const { return monitors; }
    // Sets the alarm filter of all monitors (monitor null) or of one (filter null: it follows
    // that of all monitors again), and stores Monitor.json.
    void setAlarmFilter(MonitorBase *monitor, const AlarmFilter *filter);
    const PollScheduler *pollScheduler() const { return scheduler; }
    bool isLineOn() const { return lineOn; }
    // Whether renaming, removing, the interval and the monitors' run and record switches are
    // open to whoever is at the keyboard (they are until the window says otherwise). When not,
    // the interval is locked with the reason in its tooltip, and the rest are refused with a
    // message.
    void setMaintenanceAllowed(bool allowed);
    bool isMaintenanceAllowed() const { return maintenanceAllowed; }

    // Shows what could not be used of ComPort.json and Monitor.json as one critical box,
    // once; 0 when there was nothing to show. Until it has been answered, neither file is
    // replaced if it could not be loaded.
    static int showSettingsProblems();

signals:
    void signal_activeMonitor(MonitorBase *monitor);
    void signal_activeMonitorSimpleList();
    void signal_read(void *reader, const PassPlan &plan);
    void signal_stopRead();
    // A change made here or on a monitor's page, for the trail: what was done and to what, in
    // the operator's words.
    void signal_maintenance(const QString &action, const QString &detail);

public slots:
    void slot_selectItem(QModelIndex index);
    void slot_activeMonitor(MonitorBase *monitor);
    void slot_changedMonitor(MonitorBase *monitor);
    void slot_itemChanged(QStandardItem *item);
    void slot_lineEditReadInterval_textChanged(const QString &arg1);
    void slot_popRightMenu(const QPoint &pos);
    void slot_show();
    void slot_rename();
    void slot_remove();
    // Forwards to the poll scheduler, whose own timer drives it.
    void on_readTimer();
    // The pass's missed intervals are recorded as failed, then its readings shown.
    void on_readDone(const PassPlan &plan = PassPlan());
    void on_comPort(bool status);

private:
    void addMonitorItem(MonitorBase *monitor);
    // The line is two intervals late: the readings shown no longer stand for the present.
    void showLate();
    // Whether the line keeps the interval; when it cannot, says so beside the interval.
    void showPace();
    // Marks a demoted monitor in the tree (grey, the reason and the next try in the tooltip)
    // and in the grid; `text` is empty when it is not demoted.
    void showDemotion(MonitorBase *monitor, const QString &text);
    // Interval and every monitor into Monitor.json, stored.
    void storeMonitors();
    // Saves Monitor.json as it is in memory; when that fails the list stays marked changed.
    void storeConfig();
    // Every request queued to the reader so far has run.
    void waitForReader();
    // The alarms an earlier run left open in the log go on as their monitors' (AlarmRules::
    // resume), those of monitors not read clear now, and those that cleared unacknowledged are
    // listed again.
    void resumeOpenAlarms();
    // Tells an interval edited since it was last told.
    void reportInterval();

    ComPortCtrl *comPortCtrl;
    ComPortReader *reader;
    Ui::WidgetMonitorList *ui;
    WidgetMonitorSimpleList *simpleList;
    QStandardItemModel *model;
    QStandardItem *rootItem;
    MonitorCollection monitors;
    ConfigFile *monitorConfig;
    PollScheduler *scheduler;
    bool changed;
    bool lineOn;
    bool keepsInterval = true; // as shown beside the interval
    bool maintenanceAllowed = true;
    // The interval as last told by signal_maintenance.
    int reportedInterval = 0;
    QPointer<WidgetComPort> comPort;
    QMenu *menu;
    QAction *actionShow;
    QAction *actionRename;
    QAction *actionRemove;
    // Stores the alarm rules' changes into table Alarm on a thread of its own.
    QThread *alarmThread;
    RecordWriter *alarmWriter;
};

#endif // WIDGETMONITORLIST_H
