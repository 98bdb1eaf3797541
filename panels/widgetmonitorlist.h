#ifndef WIDGETMONITORLIST_H
#define WIDGETMONITORLIST_H

#include "acquisition/alarmfilter.h"
#include "instruments/monitorcollection.h"

#include <QModelIndex>
#include <QPoint>
#include <QPointer>
#include <QWidget>

#include <memory>
#include <vector>

class ConfigFile;
class LineMonitors;
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

// The configured monitors as a tree under "所有仪表", grouped by their line, where they are
// added, renamed and removed; the read interval; and each line's polling cycle while that
// line is on. Owns the monitor collection loaded from Monitor.json and builds each monitor's
// detail panel and overview cell. Every change of a monitor reaches Monitor.json at once; an
// edited interval at the next store or at saveConfig().
//
// Every line has its own poll schedule and reader: a slow or dead line never holds up
// another's passes. Line 0's read requests leave through signal_read and its answers come in
// through on_comPort and on_readDone, wired by the window; further lines are wired here by
// addLine. The panels that own the lines must outlive this list.
class WidgetMonitorList : public QWidget
{
    Q_OBJECT

public:
    // Item data of the tree.
    static constexpr int KindRole = Qt::UserRole + 1;    // 0 root, 1 monitor
    static constexpr int MonitorRole = Qt::UserRole + 2; // MonitorBase * as void *
    static constexpr int DemotionRole = Qt::UserRole + 3; // the demotion shown, empty if none
    static constexpr int LineRole = Qt::UserRole + 4;     // of a line's item: its index, -1 unknown
    // KindRole of a line's item.
    static constexpr int LineKind = 2;

    explicit WidgetMonitorList(QWidget *parent = nullptr);
    // Waits for the reader, then deletes the monitors and their detail panels.
    ~WidgetMonitorList() override;

    // The panel of line 0 (ComPort.json); set once, before init().
    void setComPort(WidgetComPort *port);
    // A further line, before init(): its schedule, reader and switch are wired here. Returns
    // the line's index.
    int addLine(WidgetComPort *port);
    int lineCount() const { return int(lines.size()); }
    WidgetComPort *linePanel(int line) const;
    const PollScheduler *pollScheduler(int line = 0) const;
    // What a read request of the line carries (ReadClient as void *).
    void *readToken(int line = 0) const;
    // Once at start: loads Monitor.json for the lines set, builds every monitor's views into
    // the tree and the grid, then selects the root so that the grid is the first page shown.
    void init(QWidget *simpleListPage);
    // Refuses an id used on the same line ("id已被使用") or a used name; null when refused or
    // the model is unknown. The new monitor runs and records.
    MonitorBase *addMonitor(const QString &model, const QString &userName, int id, int channel,
                            int line = 0);
    void selectRoot();
    // Stores Monitor.json if the read interval was edited, or a store failed, since the last
    // store. Every failed store is shown, naming the file.
    void saveConfig();

    const MonitorCollection &collection() const { return monitors; }
    // Sets the alarm filter of all monitors (monitor null) or of one (filter null: it follows
    // that of all monitors again), and stores Monitor.json.
    void setAlarmFilter(MonitorBase *monitor, const AlarmFilter *filter);
    // Whether any line is on.
    bool isLineOn() const;
    bool isLineOn(int line) const;
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
    // Line 0's read requests.
    void signal_read(void *reader, const PassPlan &plan);
    // The line of the item selected: its panel is the one to show.
    void signal_activeLine(int line);
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
    // Forwards to line 0's poll scheduler, whose own timer drives it.
    void on_readTimer();
    // A line's pass ended: its missed intervals are recorded as failed, then its readings
    // shown and recorded, and the line's next pass may start.
    void lineReadDone(int line, const PassPlan &plan);
    // Line 0's pass ended.
    void on_readDone(const PassPlan &plan = PassPlan());
    void on_comPort(bool status);

private:
    struct Line
    {
        QPointer<WidgetComPort> port;
        std::unique_ptr<LineMonitors> monitors;
        PollScheduler *scheduler = nullptr;
        QStandardItem *item = nullptr;
        bool on = false;
        bool keepsInterval = true;
    };

    // A line's schedule and reader client; line 0's exist from the start.
    void makeLine();
    void wireLine(int line);
    void switchLine(int line, bool on);
    // The tree's group of a line, made for unknown line names on first use.
    QStandardItem *lineItem(const MonitorBase *monitor);
    void addMonitorItem(MonitorBase *monitor);
    // The line is two intervals late: the readings shown no longer stand for the present.
    void showLate(int line);
    // Whether every line keeps the interval; where one cannot, says so beside the interval.
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

    Ui::WidgetMonitorList *ui;
    WidgetMonitorSimpleList *simpleList;
    QStandardItemModel *model;
    QStandardItem *rootItem;
    MonitorCollection monitors;
    ConfigFile *monitorConfig;
    std::vector<Line> lines;
    // Groups of monitors whose line the station does not have, by name.
    std::vector<QStandardItem *> unknownLines;
    bool changed;
    bool maintenanceAllowed = true;
    // The interval as last told by signal_maintenance.
    int reportedInterval = 0;
    QMenu *menu;
    QAction *actionShow;
    QAction *actionRename;
    QAction *actionRemove;
    // Stores the alarm rules' changes into table Alarm on a thread of its own.
    QThread *alarmThread;
    RecordWriter *alarmWriter;
};

#endif // WIDGETMONITORLIST_H
