#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include "panels/databasetask.h"

#include <QMainWindow>
#include <QPointer>
#include <QString>
#include <QSystemTrayIcon>

#include <atomic>
#include <vector>

class AlarmPresenter;
class AutoBackup;
class DialogAccount;
class DialogHj212;
class DialogAudit;
class DialogLineStatus;
class DialogAlarmFilter;
class DialogMqtt;
class DialogRunSettings;
class DiskStatusLabel;
class MonitorBase;
class Hj212StatusLabel;
class MqttStatusLabel;
class QLabel;
class QMenu;
class QThread;
class QTimer;
class QCheckBox;
class WidgetComPort;

namespace Ui {
class MainWindow;
}

// The station's only top-level window: the monitor list, the serial port panel and the clock
// on the left, the overview grid and the monitors' detail pages on the right, the record
// maintenance menus and the tray icon. Adding and removing monitors are refused while the line
// is on; record maintenance runs on workers, so polling and recording go on through it.
// Closing the window hides it, and only a confirmed exit ends the program.
//
// Readings that are not being stored are shown: a red line in the status bar while the record
// database is closed or rows wait to be stored, and one message when that starts and when rows
// have to be given up. An alarm clear or acknowledgement the log had no row for stays in that
// line for the rest of the run.
//
// Active alarms are listed in the bar under the pages, which hides while there are none; the
// overview cells and detail pages of alarmed monitors are marked.
//
// The station starts signed out. Watching, alarms, search and export are open to everyone;
// maintenance (monitors, clear, import, the full backup-export-clear, the interval, the serial
// settings, the monitors' run and record switches, the accounts and the trail) needs a signed-in
// administrator, and each command that ran leaves a row in the trail. The status bar shows who
// is signed in, whether readings reach the MQTT broker, trail rows user.zdb did not take
// (told like records that are not stored) and the free space of the station's disk. A user.zdb
// without an administrator is told at start. Backups and exports are refused while the disk is
// nearly full; the line's and the recording's state changes go to the log.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    bool isRunning() const { return running; }
    // Rows the record writers still held when the databases closed at the exit: lost.
    qint64 rowsLostAtExit() const { return lostAtExit; }

signals:
    // The operator confirmed leaving: settings stored, queued readings stored, databases
    // closed. The program's event loop ends on it.
    void signal_exitConfirmed();

public slots:
    void on_addMonitor();
    // The add-monitor dialog's request: model name, user name, slave id, channel.
    void on_addMonitor(const QString &model, const QString &userName, int id, int channel,
                       int line = 0);
    void on_removeMonitor();
    // Shows the 通讯状态 view, also while the line is on; one window, raised when open.
    void slot_lineStatus();
    // The publishing settings; administrators only.
    void slot_mqttSettings();
    void slot_hj212Settings();
    void slot_alarmFilter();
    // Autostart and the automatic backups; administrators only.
    void slot_runSettings();
    void on_activeMonitor(MonitorBase *monitor);
    void slot_activeMonitorSimpleList();
    void slot_comPort(bool status);
    // Every line switched on, as the system switch does (an unattended start).
    void slot_switchAllOn();
    void slot_searchRecord();
    void slot_alarmRecord();
    void slot_backupRecord();
    void slot_clearRecord();
    void slot_importRecord();
    void slot_exportRecord();
    void slot_bec();
    void slot_about();
    void slot_userManual();
    // Opens the folder of the station's log with the desktop's file manager.
    void slot_openLogFolder();
    void slot_createRecordDB();
    void slot_createUserDB();
    void slot_signIn();
    void slot_signOut();
    void slot_changePassword();
    void slot_addUser();
    void slot_deleteUser();
    // Shows the 操作记录 view; administrators only.
    void slot_auditLog();
    void on_pushButtonHome_clicked();
    void on_pushButtonClose_clicked();
    void slot_activeSystemTrayIcon(QSystemTrayIcon::ActivationReason reason);
    void showSystem();
    void closeSystem();
    // A stop asked from outside (SIGTERM, SIGINT, SIGHUP): the confirmed exit without the
    // question. From here on no box waits for an answer; open dialogs and menus are closed, a
    // search or an export is cancelled and leaves no file, an import not yet swapped in is
    // rolled back, a backup, a clear or a backup-export-clear stage under way is finished
    // (the stages not begun are skipped); then, with the line off, everything is stored and
    // closed as at a confirmed exit. Later calls, and calls during a confirmed exit, join it.
    void slot_stop();
    // Looks on a worker whether the station folder's lock file is still the one held, as it
    // does each minute; a deleted one is made and taken again. A lock file that another program
    // took or that something else replaced is shown in red in the status bar until it is ours
    // again, with one message each time.
    void slot_checkStationLock();

signals:
    // A look at the lock file ended; check is a StationLock::Check.
    void signal_stationLockChecked(int check);

protected:
    void closeEvent(QCloseEvent *event) override;
    // The desktop's tray, behind two calls so that a test can stand in for it.
    virtual bool trayAvailable() const;
    virtual void showBalloon(const QString &title, const QString &text);

private slots:
    // Brings the status bar's recording line up to date and tells what newly went wrong.
    void updateRecordingState();
    // The same for trail rows held by the accounts.
    void updateTrailState();
    // Who is signed in: the status bar, and what the panels leave open.
    void updateUser();
    void slot_idleSignedOut();
    // The disk guard's level changed: logged by the guard, told here once per entry into
    // critical.
    void slot_diskLevelChanged(int level, int before);
    // A log that cannot be written is said once, in a box; the station goes on.
    void tellLogProblem();

private:
    void showStationLock(int check);
    // At a confirmed exit, once the databases are closed: rows the writers still hold are lost.
    void endRecordingState();
    // Shows the refusal and returns true while the line is on.
    bool rejectWhileRunning() const;
    // Shows the refusal and returns true unless an administrator is signed in.
    bool rejectWithoutAdministrator() const;
    // Tells once at start when no account of user.zdb is an administrator.
    void checkAdministrators();
    // Runs the account dialog in `mode`; an idle sign-out closes it.
    void runAccountDialog(int mode);
    // Returns the stages that failed, or -1 when the dialog ran none; *written gets the files
    // the stages wrote.
    int runBec(int stageMask, QStringList *written = nullptr);
    // The confirmed exit once the line is off: settings, queued rows, databases.
    void finishExit();
    // Runs job on a worker behind a modal progress box naming it; returns the job's result.
    int runTask(const QString &text, const DatabaseTask::Job &job);
    // Asks what keeps a stop waiting to end, and finishes the exit once nothing does.
    void continueStop();
    void endModalWork();

    // Lines of Lines.json get their panels beside line 1's, in a stack the tree switches, and
    // a switch for all lines.
    void setUpLines();
    // The line's states go to the log, and the window's running state follows them.
    void watchLine(WidgetComPort *panel);
    bool allLinesOff() const;
    void switchAllOff();
    void disconnectExitOnLineOff();

    Ui::MainWindow *ui;
    // Line 1's panel first.
    std::vector<WidgetComPort *> linePanels;
    QCheckBox *systemSwitch = nullptr;
    // The line of the tree's selection, offered for a new monitor; -1 for none.
    int currentLine = 0;
    // Whether any line is on.
    bool running;
    bool quitRequested;
    QSystemTrayIcon *trayIcon;
    QMenu *trayMenu;
    DialogLineStatus *lineStatus = nullptr;
    AlarmPresenter *alarms = nullptr;
    // Maintenance dialogs open: the exit would close the database under their stages.
    int maintenance = 0;
    QLabel *userLabel = nullptr;
    QPointer<DialogAccount> accountDialog;
    QPointer<DialogMqtt> mqttDialog;
    QPointer<DialogAudit> auditDialog;
    QPointer<DialogAlarmFilter> alarmFilterDialog;
    QPointer<DialogRunSettings> runSettingsDialog;
    MqttStatusLabel *mqttLabel = nullptr;
    DiskStatusLabel *diskLabel = nullptr;
    // For the log: whether recording was healthy.
    bool recordingHealthyLogged = true;
    QPointer<DialogHj212> hj212Dialog;
    Hj212StatusLabel *hj212Label = nullptr;
    // The automatic backups, and their line in the status bar: shown in red from a failure
    // until the next backup that succeeds.
    AutoBackup *autoBackup = nullptr;
    QLabel *autoBackupLabel = nullptr;

    // The recording line, and what was told since recording last went well.
    QLabel *recordingLabel = nullptr;
    qint64 droppedBefore = 0;
    qint64 unmatchedBefore = 0;
    bool toldClosed = false;
    bool toldRefused = false;
    bool toldDropped = false;
    // The same for the alarm log: the failing episodes told, the changes given up before.
    qint64 alarmEpisodesTold = 0;
    qint64 alarmDroppedBefore = 0;
    bool toldAlarmDropped = false;
    bool recordingEnded = false;
    // The lock file's line, its look under way, and whether its trouble was told.
    QLabel *lockLabel = nullptr;
    QThread *lockChecker = nullptr;
    bool toldLock = false;
    // The trail's line, and whether its trouble was told since the held rows were last stored.
    QLabel *trailLabel = nullptr;
    bool toldTrail = false;
    // The exit is confirmed and waits for every line to go off.
    bool leaving = false;
    std::vector<QMetaObject::Connection> exitOnLineOff;
    bool exitDone = false;
    qint64 lostAtExit = 0;
    // A stop asked from outside is under way; workers read it.
    std::atomic<bool> stopping{false};
    QTimer *stopCheck = nullptr;
    // The event loop that runs the window (the application's): a stop ends only there, never
    // in a dialog's loop with the dialog's caller still to run on the databases.
    int outerLoopLevel = 1;
};

#endif // MAINWINDOW_H
