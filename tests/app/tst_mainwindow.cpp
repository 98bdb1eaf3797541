// The station end to end: the main window with its panels against simulated instruments,
// from switching the line on to the stored records and back off.
#include "acquisition/alarmrules.h"
#include "acquisition/threadhandoff.h"
#include "app/appcontext.h"
#include "app/mainwindow.h"
#include "app/stationlog.h"
#include "app/stopsignals.h"
#include "history/dialogbec.h"
#include "history/dialogsearch.h"
#include "instruments/monitorbase.h"
#include "instruments/monitorcollection.h"
#include "line/comportreader.h"
#include "panels/alarmflasher.h"
#include "panels/desktopopener.h"
#include "panels/dialogalarmfilter.h"
#include "panels/dialoglinestatus.h"
#include "panels/filedialogs.h"
#include "panels/linestatusmodel.h"
#include "panels/recordhandoff.h"
#include "panels/widgetalarmbar.h"
#include "panels/widgetcomport.h"
#include "panels/widgetmonitordisplay.h"
#include "panels/widgetmonitorlist.h"
#include "panels/widgetmonitorsimple.h"
#include "panels/widgetmonitorsimplelist.h"
#include "storage/accounts.h"
#include "storage/autobackup.h"
#include "storage/diskguard.h"
#include "storage/recorddatabase.h"
#include "storage/recordingstatus.h"
#include "storage/recordsink.h"
#include "storage/recordwriter.h"
#include "testsupport.h"
#include "trend/widgetaxesdisplay.h"

#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDateTimeEdit>
#include <QDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLCDNumber>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QStackedWidget>
#include <QStandardItem>
#include <QTabWidget>
#include <QTableWidget>
#include <QTreeView>
#include <QtTest>

#include <qcustomplot.h>

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <mutex>
#include <sys/file.h>
#include <sys/resource.h>
#include <thread>

namespace {

// The main window on a station whose line is the simulator's.
struct Station
{
    Station(SimulatorProcess &sim, const QList<MonitorEntry> &monitors)
    {
        dir.writeFile("config/ComPort.json", comPortJson(sim.linkPath()));
        dir.writeFile("config/Monitor.json", monitorJson(1, monitors));
        AppContext::instance().init();
        window = new MainWindow;
        window->resize(1280, 800);
        window->show();
        list = window->findChild<WidgetMonitorList *>();
        comPort = window->findChild<WidgetComPort *>();
        grid = window->findChild<WidgetMonitorSimpleList *>();
        stack = window->findChild<QStackedWidget *>("stackedWidgetMonitorDisplay");
        QObject::connect(comPort->getReader(), &ComPortReader::signal_readDone, window,
                         [this] { ++passes; });
        // Maintenance is an administrator's; tests of the guards sign out first.
        signedIn = signInAs();
    }
    ~Station()
    {
        Accounts::instance().signOut();
        Accounts::instance().waitForJobs();
        delete window;
        // A sign-out after the exit is held (the file is closed): its news ends here, not in
        // the next test's window.
        QCoreApplication::processEvents();
    }

    void switchLine(bool on) { comPort->findChild<QCheckBox *>("checkBoxConnect")->setChecked(on); }
    MonitorBase *monitor(int i) const { return list->collection().getMonitors().at(size_t(i)); }
    WidgetMonitorDisplay *display(int i) const
    {
        return static_cast<WidgetMonitorDisplay *>(monitor(i)->views.at(0));
    }
    // The page with its widgets, built if it never was.
    WidgetMonitorDisplay *page(int i) const
    {
        display(i)->ensureBuilt();
        return display(i);
    }
    // The cell as it is drawn.
    WidgetMonitorSimple *cell(int i) const
    {
        auto *cell = static_cast<WidgetMonitorSimple *>(monitor(i)->views.at(1));
        cell->prepareToDraw();
        return cell;
    }
    QString factorText(int i, int row, int column) const
    {
        const QTableWidgetItem *item =
            page(i)->findChild<QTableWidget *>("tableWidgetFactor")->item(row, column);
        return item ? item->text() : QString();
    }
    QStringList storedMonitors() const
    {
        QStringList entries;
        const QJsonObject document =
            QJsonDocument::fromJson(dir.readFile("config/Monitor.json")).object();
        for (const QJsonValue &value : document["monitor"].toArray())
            entries << QStringLiteral("%1:%2")
                           .arg(value["username"].toString())
                           .arg(value["running"].toBool());
        return entries;
    }

    TempStation dir;
    MessageBoxRecorder boxes;
    MainWindow *window;
    WidgetMonitorList *list;
    WidgetComPort *comPort;
    WidgetMonitorSimpleList *grid;
    QStackedWidget *stack;
    int passes = 0;
    bool signedIn = false;
};

const QStringList instruments = {"1:DI590:main=725,temper=201",
                                 "2:DO580:mode=0,temp=2,main=700,temper=250,r0on=1,r0sp=900",
                                 "3:RA550:mode=0,variant=0,temp=1,main=150", "4:RO592"};
const QList<MonitorEntry> monitors = {{"DI590", "溶解氧", 1},
                                      {"DO580", "pH", 2},
                                      {"RA550", "余氯", 3},
                                      {"RO592", "不记录", 4, true, false}};

// The main window with a tray that records its balloons instead of showing them.
class TrayWindow : public MainWindow
{
public:
    bool tray = true;
    QStringList balloons;

protected:
    bool trayAvailable() const override { return tray; }
    void showBalloon(const QString &title, const QString &text) override
    {
        balloons << title + ":" + text;
    }
};

// A station without instruments, for the window's own commands.
struct Desk
{
    Desk()
    {
        AppContext::instance().init();
        window.show();
        QTest::qWait(0); // the start-up check of the settings files
        signedIn = signInAs();
    }
    ~Desk()
    {
        // The sign-out's row is written before the station's files go.
        Accounts::instance().signOut();
        Accounts::instance().waitForJobs();
        // After an exit it is held instead: told to this window, not the next test's.
        QCoreApplication::processEvents();
    }
    RecordDatabase *records() const
    {
        return static_cast<RecordDatabase *>(AppContext::instance().object(RecordDb));
    }
    int storedRows() const
    {
        std::vector<RecordRow *> rows;
        records()->query(std::string(), rows);
        RecordDatabase::freeRows(rows);
        return int(rows.size());
    }
    QAction *action(const char *name) const { return window.findChild<QAction *>(name); }
    // Triggers an action whose dialog is closed as soon as it appears; true if one appeared.
    bool triggerDialog(const char *name)
    {
        bool shown = false;
        // Owned here, so that it cannot fire after a refusal that opened no dialog.
        QTimer closer;
        closer.setSingleShot(true);
        QObject::connect(&closer, &QTimer::timeout, [&] {
            if (auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget())) {
                shown = true;
                dialog->reject();
            }
        });
        closer.start(0);
        action(name)->trigger();
        return shown;
    }

    TempStation dir;
    MessageBoxRecorder boxes;
    TrayWindow window;
    bool signedIn = false;
};

const char *const refusal = "系统运行中无法进行此操作,请停止系统后重试。";

// Plays the MQTT publisher for the alarm changes: "event kind name reason" each.
class AlarmSink : public RecordSink
{
public:
    AlarmSink() { RecordSink::setCurrent(this); }
    ~AlarmSink() override { RecordSink::setCurrent(nullptr); }
    void recordRow(const RecordRow &) override {}
    void alarmChange(int change, const AlarmEvent &alarm) override
    {
        static const char *const events[] = {"raised", "cleared", "acked"};
        std::lock_guard<std::mutex> locker(mutex);
        changes << QString("%1 %2 %3 %4")
                       .arg(events[change], QString::fromUtf8(alarm.kindText()),
                            QString::fromStdString(alarm.name),
                            alarm.cleared.empty()
                                ? QString("-")
                                : QString::fromUtf8(AlarmEvent::reasonText(alarm.reason)));
    }
    QStringList all()
    {
        std::lock_guard<std::mutex> locker(mutex);
        return changes;
    }

private:
    std::mutex mutex;
    QStringList changes;
};

// Whether every alarm the bar lists is there as cleared, 已恢复.
bool allRecovered(const WidgetAlarmBar *bar)
{
    for (const AlarmEvent &alarm : AlarmRules::instance().listedAlarms()) {
        if (!bar->isRecovered(qint64(alarm.serial)))
            return false;
    }
    return bar->count() > 0;
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void layoutShowsTheOverviewFirst();
    void severalLinesShareTheColumnAndOneSwitch();
    void readingsReachTablesCellsGraphsAndRecords();
    void cellsAndMenusLeadToTheMonitor();
    void monitorsAreAddedAndRemovedOnlyWhileTheLineIsOff();
    void settingsProblemsAreShownOnceAtStart();
    void menusHoldTheirActionsInOrder();
    void onlyMonitorChangesAreRefusedWhileRunning();
    void closingHidesAndOnlyAConfirmedExitEnds();
    void confirmedExitStoresWhatChangedAndEveryQueuedRow();
    void confirmedExitDoesNotWaitForASilentInstrument();
    void aDemotedInstrumentIsMarkedUntilItAnswersAgain();
    void backupsOfOneDayGetNumberedNames();
    void backupIntoAMissingFolderFails();
    void importKeepsTheDataUnlessTheFileIsARecordDatabase();
    void importTellsWhyAFileWasRefused();
    void clearAsksFirst();
    void aFailedClearIsShownAndKeepsTheRows();
    void recordingThatFailsIsShownUntilEverythingIsStored();
    void settingsThatCannotBeWrittenAreShownAndStoredLater();
    void aMissingUserManualIsShown();
    void theLogFolderOpensAndAnUnwritableLogIsToldOnce();
    void aNearlyFullDiskRefusesBackupsAndExportsAndSaysWhatToDo();
    void aLostLockFileIsTakenAgainOrShownUntilItIs();
    void maintenanceWhileRecordingLosesNoRow();
    void backupOntoAFullDiskFailsAndLeavesTheLiveFileIntact();
    void exitWaitsForMaintenanceToEnd();
    void aStopSignalEndsWhatRunsAndLosesNoRow_data();
    void aStopSignalEndsWhatRunsAndLosesNoRow();
    void aStopClosesWhatIsOpenAndAsksNothing();
    void alarmsAreListedMarkedAndAcknowledgedIntoTheLog();
    void alarmsActiveAtStartAreListed();
    void anImportWithAnActiveAlarmClosesItInBothFilesAndRaisesItAgain();
    void alarmsACrashLeftOpenGoOnOrClearAtTheFirstReading();
    void maintenanceIsRefusedUnlessAnAdministratorIsSignedIn();
    void maintenanceCommandsLeaveRowsInTheTrail();
    void automaticBackupFailuresShowUntilABackupSucceeds();
    void signingOutAndTheIdleSignOutLockMaintenanceAgain();
    void instrumentSwitchesNeedAnAdministratorAndLeaveRows();
    void anEmptyUserFileOnAStationWithRecordsKeepsSignInLocked();
    void trailRowsTheFileRefusesAreShownAndWrittenLater();
};

void TestMainWindow::layoutShowsTheOverviewFirst()
{
    SimulatorProcess sim(instruments);
    QVERIFY(sim.isReady());
    Station station(sim, monitors);
    QCOMPARE(station.window->windowTitle(), QString("HydrovaneV1.5"));
    QCOMPARE(station.stack->currentIndex(), 0);
    QCOMPARE(station.stack->widget(0), static_cast<QWidget *>(station.grid));
    QCOMPARE(station.grid->objectName(), QString("pageMonitorSimpleList"));
    QCOMPARE(station.window->findChild<QPushButton *>("pushButtonHome")->text(),
             QString(" 主监测界面"));
    QCOMPARE(station.window->findChild<QPushButton *>("pushButtonClose")->text(),
             QString("退出系统"));
    QVERIFY(station.window->findChild<QWidget *>("widgetLeft")->isAncestorOf(station.list));
    QVERIFY(station.window->findChild<QWidget *>("widgetLeft")->isAncestorOf(station.comPort));
    for (int i = 0; i < 4; ++i)
        QCOMPARE(station.grid->position(station.cell(i)), std::make_pair(0, i));
    QVERIFY(!station.window->isRunning());
    QTest::qWait(0); // the start-up check of the settings files has run: nothing to show
    QCOMPARE(station.boxes.boxes.size(), 0);
}

void TestMainWindow::readingsReachTablesCellsGraphsAndRecords()
{
    SimulatorProcess sim(instruments);
    QVERIFY(sim.isReady());
    Station station(sim, monitors);
    QVERIFY(QTest::qWaitForWindowExposed(station.window));
    QSignalSpy syncs(station.display(0), &WidgetMonitorDisplay::signal_sync);
    station.switchLine(true);
    QVERIFY(station.window->isRunning());
    // The first pass finds every monitor unsynced and asks for syncs.
    QTRY_COMPARE(station.passes, 1);
    QCOMPARE(syncs.count(), 1);
    QTRY_VERIFY_WITH_TIMEOUT(station.passes >= 3, 10000);
    QCOMPARE(syncs.count(), 1);

    const char *expected[4][2][2] = {{{"7.25", "N"}, {"20.1", "N"}},
                                     {{"7.00", "N"}, {"25.0", "N"}},
                                     {{"1.50", "N"}, {nullptr, nullptr}},
                                     {{nullptr, "N"}, {nullptr, "N"}}};
    for (int i = 0; i < 4; ++i) {
        QVERIFY(station.monitor(i)->isSynced());
        for (int row = 0; row < 2 && expected[i][row][1]; ++row) {
            if (expected[i][row][0])
                QCOMPARE(station.factorText(i, row, 1), QString(expected[i][row][0]));
            QCOMPARE(station.factorText(i, row, 3), QString(expected[i][row][1]));
            QVERIFY(!station.factorText(i, row, 4).isEmpty());
            auto *graph = qobject_cast<WidgetAxesDisplay *>(
                station.page(i)->findChild<QTabWidget *>()->widget(row + 1));
            QVERIFY(graph->valueGraph()->dataCount() >= 2);
        }
        auto *indicator = station.cell(i)->findChild<QCheckBox *>("checkBox");
        QVERIFY(indicator->isChecked());
        QVERIFY(station.page(i)->findChild<QCheckBox *>("checkBoxRun")->isChecked());
    }
    QCOMPARE(station.page(2)->findChild<QTableWidget *>("tableWidgetFactor")->rowCount(), 1);
    QVERIFY(lcdShows(station.cell(0)->findChild<QLCDNumber *>(), "7.25"));
    QVERIFY(lcdShows(station.cell(2)->findChild<QLCDNumber *>(), "1.50"));
    QCOMPARE(station.cell(1)->findChild<QLabel *>("labelUnit")->text(), QString("pH"));
    QCOMPARE(station.cell(0)->findChild<QLabel *>("labelUnit")->text(), QString("ppm"));

    station.switchLine(false);
    QTRY_VERIFY(!station.window->isRunning());
    for (int i = 0; i < 4; ++i) {
        QVERIFY(!station.monitor(i)->isSynced());
        // Nothing is read while the line is off: no number is shown.
        QVERIFY(lcdShows(station.cell(i)->findChild<QLCDNumber *>(), "----"));
        QVERIFY(station.cell(i)->findChild<QLabel *>("labelUnit")->text().isEmpty());
        QVERIFY(!station.cell(i)->findChild<QCheckBox *>("checkBox")->isChecked());
        QVERIFY(!station.page(i)->findChild<QCheckBox *>("checkBoxRun")->isChecked());
    }

    // One row per factor per reading, the factors of a reading under one time stamp.
    station.comPort->waitForReader();
    QCoreApplication::processEvents();
    RecordWriter::waitForAll();
    const QStringList rows = selectWithKey(AppContext::instance().path(RecordDb),
                                           "SELECT name, channel, factor, time, value, status "
                                           "FROM Record ORDER BY uid");
    QMap<QString, QStringList> byName;
    for (const QString &row : rows)
        byName[row.section('|', 0, 0)] << row;
    QCOMPARE(byName.keys(), QStringList({"pH", "余氯", "溶解氧"})); // not "不记录"
    for (const QString &name : {QString("溶解氧"), QString("pH")}) {
        const QStringList &own = byName[name];
        QVERIFY(own.size() >= 4);
        QCOMPARE(own.size() % 2, 0);
        for (int i = 0; i < own.size(); i += 2) {
            QCOMPARE(own[i].section('|', 1, 1), QString("0"));
            QCOMPARE(own[i + 1].section('|', 1, 1), QString("1"));
            QCOMPARE(own[i].section('|', 3, 3), own[i + 1].section('|', 3, 3));
            QCOMPARE(own[i + 1].section('|', 2, 2), QString("Temper"));
        }
    }
    QCOMPARE(byName["溶解氧"][0].section('|', 4, 5), QString("7.25|N"));
    QVERIFY(byName["余氯"].size() >= 2);
    for (const QString &row : byName["余氯"])
        QCOMPARE(row.section('|', 1, 2), QString("0|RCL"));
    // Passes are stored in the order they were read: their times never go back.
    for (const QStringList &own : byName) {
        for (int i = 1; i < own.size(); ++i)
            QVERIFY(own[i - 1].section('|', 3, 3) <= own[i].section('|', 3, 3));
    }
}

void TestMainWindow::cellsAndMenusLeadToTheMonitor()
{
    SimulatorProcess sim(instruments);
    QVERIFY(sim.isReady());
    Station station(sim, monitors);
    QVERIFY(QTest::qWaitForWindowExposed(station.window));
    auto *tree = station.list->findChild<QTreeView *>();

    // A double click on a cell shows its page and selects its monitor in the tree.
    auto *view = station.grid->findChild<QTableWidget *>();
    const auto slot = station.grid->position(station.cell(2));
    const QPoint centre = view->visualRect(view->model()->index(slot.first, slot.second)).center();
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, centre);
    QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, centre);
    QTRY_COMPARE(station.stack->currentWidget(), static_cast<QWidget *>(station.display(2)));
    QCOMPARE(tree->currentIndex().data().toString(), QString("余氯"));
    // Shown again: not added a second time.
    emit station.list->signal_activeMonitor(station.monitor(2));
    QCOMPARE(station.stack->count(), 2);

    station.window->findChild<QPushButton *>("pushButtonHome")->click();
    QCOMPARE(station.stack->currentIndex(), 0);
    QCOMPARE(tree->currentIndex().data().toString(), QString("所有仪表"));

    // The grid's "开关" switches the monitor off through its page and stores it.
    auto *table = station.grid->findChild<QTableWidget *>();
    emit table->customContextMenuRequested(table->visualRect(table->model()->index(0, 1)).center());
    QMenu *menu = station.grid->findChild<QMenu *>();
    QTRY_VERIFY(menu->isVisible());
    menu->actions().at(1)->trigger();
    menu->hide();
    QVERIFY(!station.page(1)->findChild<QCheckBox *>("checkBoxStatus")->isChecked());
    QVERIFY(!station.monitor(1)->isRunning());
    QVERIFY(station.cell(1)->findChild<QCheckBox *>("checkBox")->isHidden());
    QCOMPARE(station.storedMonitors(), QStringList({"溶解氧:1", "pH:0", "余氯:1", "不记录:1"}));
}

void TestMainWindow::monitorsAreAddedAndRemovedOnlyWhileTheLineIsOff()
{
    SimulatorProcess sim(instruments);
    QVERIFY(sim.isReady());
    Station station(sim, monitors);
    station.switchLine(true);
    station.window->on_addMonitor();
    station.window->on_removeMonitor();
    QCOMPARE(station.boxes.boxes.size(), 2);
    for (const MessageBoxes::Box &box : station.boxes.boxes) {
        QCOMPARE(box.title, QString("错误"));
        QCOMPARE(box.text, QString("系统运行中无法进行此操作,请停止系统后重试。"));
    }
    station.switchLine(false);
    QTRY_VERIFY(!station.window->isRunning());

    // An accepted request shows the new page at once.
    station.window->on_addMonitor("DI590", "新池", 9, -1);
    QCOMPARE(station.list->collection().getMonitors().size(), size_t(5));
    QCOMPARE(station.stack->currentWidget(), static_cast<QWidget *>(station.display(4)));
    // A refused one changes nothing.
    station.window->on_addMonitor("DI590", "另一个", 9, -1);
    QCOMPARE(station.boxes.boxes.last().text, QString("id已被使用"));
    QCOMPARE(station.stack->currentWidget(), static_cast<QWidget *>(station.display(4)));

    // Removing the shown monitor takes its page out of the stack and shows the overview.
    station.boxes.queueAnswer(QMessageBox::Yes);
    station.boxes.queueAnswer(QMessageBox::No);
    station.window->on_removeMonitor();
    QCOMPARE(station.list->collection().getMonitors().size(), size_t(4));
    QCOMPARE(station.stack->count(), 1);
    QCOMPARE(station.stack->currentIndex(), 0);
    QCOMPARE(station.storedMonitors().size(), 4);
}

void TestMainWindow::settingsProblemsAreShownOnceAtStart()
{
    SimulatorProcess sim(instruments);
    QVERIFY(sim.isReady());
    TempStation dir;
    dir.writeFile("config/Monitor.json", "{\"interval\": 1, \"monitor\": [{\"model\": 5}]}");
    AppContext::instance().init();
    MessageBoxRecorder boxes;
    MainWindow window;
    window.show();
    QTRY_COMPARE(boxes.boxes.size(), 1);
    QCOMPARE(boxes.boxes[0].title, QString("错误"));
    QCOMPARE(boxes.boxes[0].icon, QMessageBox::Critical);
    QVERIFY(boxes.boxes[0].text.contains("Monitor.json"));
    // Whatever the start posted before this has run.
    bool drained = false;
    QTimer::singleShot(0, [&] { drained = true; });
    QTRY_VERIFY(drained);
    QCOMPARE(boxes.boxes.size(), 1);
}

void TestMainWindow::menusHoldTheirActionsInOrder()
{
    Desk desk;
    QStringList menus;
    for (QAction *menu : desk.window.menuBar()->actions()) {
        QStringList texts;
        for (QAction *action : menu->menu()->actions())
            texts << action->text();
        menus << menu->text() + ":" + texts.join(",");
    }
    QCOMPARE(menus, QStringList({"仪表:添加,删除,通讯状态,,MQTT设置,数据上传,报警过滤设置,运行设置",
                                 "历史记录:查询,报警记录,备份,清空,导入数据(*.zdb),导出为Excel,备份-导出-清除",
                                 "用户:登录,注销,修改密码,添加用户,删除用户,,操作记录",
                                 "帮助:用户手册,打开日志文件夹,关于..."}));
    QCOMPARE(desk.window.windowTitle(), QString("HydrovaneV1.5"));
    QVERIFY(!(desk.window.windowFlags() & Qt::WindowMaximizeButtonHint));
    QCOMPARE(desk.window.findChild<QWidget *>("widgetTime")->maximumHeight(), 65);
}

void TestMainWindow::onlyMonitorChangesAreRefusedWhileRunning()
{
    Desk desk;
    DesktopRecorder desktop;
    FileDialogs::setChooser([](const FileDialogs::Request &) { return QString(); });
    desk.window.slot_comPort(true);
    for (const char *name : {"actionAddMonitor", "actionRemoveMonitor"}) {
        const int before = desk.boxes.boxes.size();
        QVERIFY2(!desk.triggerDialog(name), name);
        QCOMPARE(desk.boxes.boxes.size(), before + 1);
        QCOMPARE(desk.boxes.boxes.last().title, QString("错误"));
        QCOMPARE(desk.boxes.boxes.last().text, QString(refusal));
    }
    // Record maintenance runs on workers and leaves polling and recording going.
    const int before = desk.boxes.boxes.size();
    QVERIFY(desk.triggerDialog("actionExportRecord"));
    QVERIFY(desk.triggerDialog("actionBec"));
    QVERIFY(desk.triggerDialog("actionSearchRecord"));
    QVERIFY(desk.triggerDialog("actionAlarmRecord"));
    QVERIFY(desk.triggerDialog("actionAbout"));
    desk.action("actionImportRecord")->trigger(); // cancelled: no message
    desk.action("actionBackupRecord")->trigger();
    desk.boxes.queueAnswer(QMessageBox::No);
    desk.action("actionClearRecord")->trigger();
    QCOMPARE(desk.boxes.boxes.size(), before + 2);
    QCOMPARE(desk.boxes.boxes[before].text, QString("数据备份成功"));
    QCOMPARE(desk.boxes.boxes[before + 1].text, QString("清空记录后将不可恢复，是否继续？"));
    QCOMPARE(QDir(desk.dir.filePath("backup")).entryList(QDir::Files).size(), 1);
    QVERIFY(desk.dir.writeFile("user/um.mht", "manual"));
    desk.action("actionUserManual")->trigger();
    QCOMPARE(desktop.opened, QStringList({AppContext::instance().path(UserManual)}));

    desk.window.slot_comPort(false);
    const int stopped = desk.boxes.boxes.size();
    QVERIFY(desk.triggerDialog("actionAddMonitor"));
    desk.action("actionRemoveMonitor")->trigger(); // the root is current: nothing to remove
    QCOMPARE(desk.boxes.boxes.size(), stopped);
    FileDialogs::setChooser(FileDialogs::Chooser());
}

void TestMainWindow::closingHidesAndOnlyAConfirmedExitEnds()
{
    Desk desk;
    QSignalSpy exits(&desk.window, &MainWindow::signal_exitConfirmed);
    desk.window.close();
    QVERIFY(desk.window.isHidden());
    desk.window.slot_comPort(true);
    desk.window.showSystem();
    desk.window.close();
    QCOMPARE(desk.window.balloons,
             QStringList({"提示:系统最小化至系统托盘！", "提示:系统后台运行中！"}));
    desk.window.slot_comPort(false);

    // Without a tray the window is minimised, never hidden.
    desk.window.tray = false;
    desk.window.showSystem();
    desk.window.close();
    QVERIFY(!desk.window.isHidden());
    QVERIFY(desk.window.isMinimized());
    desk.window.tray = true;

    // 退出系统, then No: the window stays, and the next close only hides it again.
    desk.window.showSystem();
    desk.boxes.queueAnswer(QMessageBox::No);
    desk.window.findChild<QPushButton *>("pushButtonClose")->click();
    const MessageBoxes::Box question = desk.boxes.boxes.last();
    QCOMPARE(question.title, QString("警告"));
    QCOMPARE(question.text, QString("确认退出系统？"));
    QCOMPARE(question.defaultButton, QMessageBox::No);
    QVERIFY(desk.window.isVisible());
    const int asked = desk.boxes.boxes.size();
    desk.window.close();
    QVERIFY(desk.window.isHidden());
    QCOMPARE(desk.boxes.boxes.size(), asked);
    QCOMPARE(exits.count(), 0);
    QVERIFY(desk.records()->isOpen());
}

void TestMainWindow::confirmedExitStoresWhatChangedAndEveryQueuedRow()
{
    SimulatorProcess sim(instruments);
    QVERIFY(sim.isReady());
    Station station(sim, monitors);
    const QByteArray comPort = station.dir.readFile("config/ComPort.json");
    const QByteArray monitorFile = station.dir.readFile("config/Monitor.json");
    QSignalSpy exits(station.window, &MainWindow::signal_exitConfirmed);

    // Unchanged settings are not rewritten.
    station.boxes.queueAnswer(QMessageBox::Yes);
    station.window->on_pushButtonClose_clicked();
    QCOMPARE(exits.count(), 1);
    QCOMPARE(station.dir.readFile("config/ComPort.json"), comPort);
    QCOMPARE(station.dir.readFile("config/Monitor.json"), monitorFile);
    QVERIFY(!static_cast<RecordDatabase *>(AppContext::instance().object(RecordDb))->isOpen());
    delete station.window;

    // Changed settings are; rows queued at the moment of the exit are all stored.
    AppContext::instance().reset();
    AppContext::instance().init();
    station.window = new MainWindow;
    station.comPort = station.window->findChild<WidgetComPort *>();
    station.list = station.window->findChild<WidgetMonitorList *>();
    station.comPort->findChild<QComboBox *>("comboBoxBaudrate")->setCurrentText("4800");
    station.list->findChild<QLineEdit *>("lineEditReadInterval")->setText("7");
    // Rows handed one by one and a pass's rows handed at once.
    const int queued = 2000;
    for (int i = 0; i < queued / 2; ++i)
        RecordHandOff::current()->add(makeRecord("排队", i % 2, "2024-01-02 08:00:00"));
    {
        const RecordHandOff::Pass pass;
        for (int i = queued / 2; i < queued; ++i)
            RecordHandOff::current()->add(makeRecord("排队", i % 2, "2024-01-02 08:00:01"));
    }
    station.boxes.queueAnswer(QMessageBox::Yes);
    station.window->on_pushButtonClose_clicked();
    QVERIFY(station.dir.readFile("config/ComPort.json").contains("\"baudrate\": 4800"));
    QVERIFY(station.dir.readFile("config/Monitor.json").contains("\"interval\": 7"));
    const QStringList count = selectWithKey(AppContext::instance().path(RecordDb),
                                            "SELECT count(*) FROM Record WHERE name = '排队'");
    QCOMPARE(count, QStringList({QString::number(queued)}));
}

void TestMainWindow::confirmedExitDoesNotWaitForASilentInstrument()
{
    // Instrument 5 never answers: its sync after every pass waits for the timeout.
    SimulatorProcess sim({"1:DI590", "5:DI590:fault=silent"});
    QVERIFY(sim.isReady());
    Station station(sim, {{"DI590", "一号", 1}, {"DI590", "沉默", 5}});
    QSignalSpy exits(station.window, &MainWindow::signal_exitConfirmed);
    station.comPort->findChild<QComboBox *>("comboBoxBaudrate")->setCurrentText("4800");
    station.switchLine(true);
    QTRY_VERIFY(station.passes >= 1);

    station.boxes.queueAnswer(QMessageBox::Yes);
    station.window->on_pushButtonClose_clicked();
    // Back at once, taking no command until the line is off; the window is kept open.
    QCOMPARE(exits.count(), 0);
    QVERIFY(!station.window->isEnabled());
    QVERIFY(station.window->isRunning());
    station.window->on_pushButtonClose_clicked();
    QCOMPARE(station.boxes.boxes.size(), 1);

    QTRY_COMPARE(exits.count(), 1);
    QVERIFY(!station.window->isRunning());
    QVERIFY(!station.window->isVisible());
    QVERIFY(station.dir.readFile("config/ComPort.json").contains("\"baudrate\": 4800"));
    QVERIFY(!static_cast<RecordDatabase *>(AppContext::instance().object(RecordDb))->isOpen());
}

void TestMainWindow::aDemotedInstrumentIsMarkedUntilItAnswersAgain()
{
    // Instrument 2 is silent from second 3 to second 9 of the simulator: demoted during it.
    SimulatorProcess sim({"1:DI590", "2:DI590:fault=silent,faultfrom=3,faultfor=6"});
    QVERIFY(sim.isReady());
    Station station(sim, {{"DI590", "一号", 1}, {"DI590", "二号", 2}});
    station.switchLine(true);
    // The view is open while the line runs, and refreshes by itself.
    const int boxes = station.boxes.boxes.size();
    station.window->findChild<QAction *>("actionLineStatus")->trigger();
    QCOMPARE(station.boxes.boxes.size(), boxes);
    auto *view = station.window->findChild<DialogLineStatus *>();
    QVERIFY(view && view->isVisible() && !view->isModal());
    const LineStatusModel *rows = view->model();
    const auto state = [rows](int row) {
        return rows->data(rows->index(row, LineStatusModel::State)).toString();
    };
    const auto item = [&station](int i) {
        return static_cast<QStandardItem *>(station.monitor(i)->views.at(2));
    };

    QTRY_VERIFY_WITH_TIMEOUT(station.cell(1)->isDemoted(), 30000);
    QVERIFY(!station.cell(0)->isDemoted());
    QVERIFY2(station.cell(1)->toolTip().startsWith("降级："), qPrintable(station.cell(1)->toolTip()));
    QVERIFY(item(1)->toolTip().startsWith("二号\n降级："));
    QCOMPARE(item(1)->foreground().color(), QColor(Qt::gray));
    QCOMPARE(item(0)->toolTip(), QString("一号"));
    QTRY_VERIFY(state(1).startsWith("降级"));
    QCOMPARE(state(0), QString("正常"));
    QVERIFY(rows->data(rows->index(0, LineStatusModel::Exchanges)).toInt() > 0);
    QVERIFY(rows->data(rows->index(1, LineStatusModel::NoAnswer)).toInt() >= LineHealth::demoteAfter);
    QCOMPARE(view->findChild<QLabel *>("labelLineState")->text(), QString("正常"));
    QVERIFY(view->findChild<QLabel *>("labelPasses")->text().toInt() > 0);

    // Its first good answer after the fault promotes it, and the marks go.
    QTRY_VERIFY_WITH_TIMEOUT(!station.cell(1)->isDemoted(), 30000);
    QTRY_COMPARE(state(1), QString("正常"));
    QCOMPARE(item(1)->toolTip(), QString("二号"));
    QCOMPARE(item(1)->foreground(), QBrush());
    QVERIFY(!station.cell(1)->toolTip().contains("降级"));

    station.switchLine(false);
    QTRY_COMPARE(view->findChild<QLabel *>("labelLineState")->text(), QString("关闭"));
}

void TestMainWindow::backupsOfOneDayGetNumberedNames()
{
    onOneDay([](const QString &date) {
        Desk desk;
        desk.action("actionBackupRecord")->trigger();
        desk.action("actionBackupRecord")->trigger();
        QCOMPARE(desk.boxes.boxes.size(), 2);
        for (const MessageBoxes::Box &box : desk.boxes.boxes) {
            QCOMPARE(box.title, QString("通知"));
            QCOMPARE(box.text, QString("数据备份成功"));
        }
        QCOMPARE(QDir(desk.dir.filePath("backup")).entryList(QDir::Files),
                 QStringList({"record1_" + date + ".zdb", "record_" + date + ".zdb"}));
    });
}

void TestMainWindow::backupIntoAMissingFolderFails()
{
    Desk desk;
    QVERIFY(QDir(desk.dir.filePath("backup")).removeRecursively());
    desk.action("actionBackupRecord")->trigger();
    QCOMPARE(desk.boxes.boxes.size(), 1);
    QCOMPARE(desk.boxes.boxes[0].title, QString("错误"));
    QCOMPARE(desk.boxes.boxes[0].text, QString("备份数据失败,请退出系统后手动备份db文件夹"));
}

void TestMainWindow::importKeepsTheDataUnlessTheFileIsARecordDatabase()
{
    Desk desk;
    QCOMPARE(desk.records()->insert(makeRecord("原有", 0, "2024-01-02 08:00:00")), 0);
    desk.action("actionBackupRecord")->trigger();
    const QString backup = onlyBackup(desk.dir.filePath("backup"));
    QCOMPARE(desk.records()->insert(makeRecord("原有", 1, "2024-01-02 08:00:01")), 0);
    QVERIFY(desk.dir.writeFile("backup/notes.zdb", "not a database"));

    FileDialogs::Request asked;
    QString answer;
    FileDialogs::setChooser([&](const FileDialogs::Request &request) {
        asked = request;
        return answer;
    });
    desk.boxes.boxes.clear();
    desk.action("actionImportRecord")->trigger();
    QCOMPARE(asked.title, QString("选择导入数据库"));
    QCOMPARE(asked.folder, AppContext::instance().path(BackupDir));
    QCOMPARE(asked.filter, QString("File(*.zdb)"));
    QVERIFY(desk.boxes.boxes.isEmpty()); // cancelled
    QCOMPARE(desk.storedRows(), 2);

    answer = desk.dir.filePath("backup/notes.zdb");
    desk.action("actionImportRecord")->trigger();
    QCOMPARE(desk.boxes.boxes.last().title, QString("错误"));
    QCOMPARE(desk.boxes.boxes.last().text, QString("数据导入失败!\n所选文件不是本系统的备份数据库。\n"
                                                   "当前数据库未作任何改动。"));
    QCOMPARE(desk.storedRows(), 2);

    // The replaced file is named, and importing it undoes the import.
    answer = backup;
    desk.action("actionImportRecord")->trigger();
    QCOMPARE(desk.boxes.boxes.last().title, QString("通知"));
    const QStringList kept =
        QDir(desk.dir.filePath("backup")).entryList({"record_replaced_*.zdb"}, QDir::Files);
    QCOMPARE(kept.size(), 1);
    answer = desk.dir.filePath("backup/" + kept[0]);
    QCOMPARE(desk.boxes.boxes.last().text,
             QString("数据导入成功!\n原数据库已保存为 %1,可通过导入数据恢复。").arg(answer));
    QCOMPARE(desk.storedRows(), 1);
    QVERIFY(auditRows().contains(
        QString("admin|导入|%1,共 1 条记录,原数据库保存为 %2").arg(backup, answer)));
    desk.action("actionImportRecord")->trigger();
    QCOMPARE(desk.boxes.boxes.last().title, QString("通知"));
    QCOMPARE(desk.storedRows(), 2);
    FileDialogs::setChooser(FileDialogs::Chooser());
}

void TestMainWindow::importTellsWhyAFileWasRefused()
{
    Desk desk;
    std::vector<RecordRow> rows;
    for (int i = 0; i < 3000; ++i)
        rows.push_back(makeRecord("原有", i % 2, "2024-01-02 08:00:00"));
    QCOMPARE(insertRecords(AppContext::instance().path(RecordDb), rows), 0);
    desk.action("actionBackupRecord")->trigger();
    const QString backup = onlyBackup(desk.dir.filePath("backup"));
    QVERIFY(!backup.isEmpty());
    const QByteArray whole = desk.dir.readFile(backup.mid(desk.dir.path().size() + 1));
    QVERIFY(whole.size() > 64 * 1024);

    QByteArray damaged = whole;
    for (int i = 0; i < 64; ++i)
        damaged[20 * 1024 + i] = char(damaged[20 * 1024 + i] ^ 0x5a);
    QVERIFY(desk.dir.writeFile("damaged.zdb", damaged));
    QVERIFY(desk.dir.writeFile("copy.zdb", whole));
    QVERIFY(desk.dir.writeFile("text.zdb", "not a database"));
    QByteArray noise(8192, 0);
    for (int i = 0; i < noise.size(); ++i)
        noise[i] = char((i * 7919 + 13) % 251);
    QVERIFY(desk.dir.writeFile("noise.zdb", noise));
    QVERIFY(desk.dir.writeFile("other.zdb", whole));
    int dropped = -1;
    selectWithKey(desk.dir.filePath("other.zdb"), "DROP TABLE Record", &dropped);
    QCOMPARE(dropped, 0);
    // Record a view of the rows, and a table Record without the station's columns.
    QVERIFY(desk.dir.writeFile("view.zdb", whole));
    selectWithKey(desk.dir.filePath("view.zdb"),
                  "CREATE TABLE Kept AS SELECT * FROM Record; DROP TABLE Record; "
                  "CREATE VIEW Record AS SELECT * FROM Kept",
                  &dropped);
    QCOMPARE(dropped, 0);
    QVERIFY(desk.dir.writeFile("columns.zdb", whole));
    selectWithKey(desk.dir.filePath("columns.zdb"),
                  "DROP TABLE Record; CREATE TABLE Record(uid INTEGER PRIMARY KEY, time, value)",
                  &dropped);
    QCOMPARE(dropped, 0);

    QString answer;
    FileDialogs::setChooser([&](const FileDialogs::Request &) { return answer; });
    const auto refusal = [&](const QString &file) {
        answer = desk.dir.filePath(file);
        desk.boxes.boxes.clear();
        desk.action("actionImportRecord")->trigger();
        if (desk.boxes.boxes.size() != 1 || desk.boxes.boxes[0].title != "错误")
            return QString("no single critical box");
        const QStringList lines = desk.boxes.boxes[0].text.split('\n');
        if (lines.size() != 3 || lines[0] != "数据导入失败!" || lines[2] != "当前数据库未作任何改动。")
            return desk.boxes.boxes[0].text;
        return lines[1];
    };
    QCOMPARE(refusal("missing.zdb"), QString("所选文件不存在或无法读取。"));
    QCOMPARE(refusal("text.zdb"), QString("所选文件不是本系统的备份数据库。"));
    QCOMPARE(refusal("noise.zdb"), QString("所选文件无法解密,不是本系统的数据库。"));
    QCOMPARE(refusal("damaged.zdb"), QString("所选文件已损坏。"));
    QCOMPARE(refusal("other.zdb"), QString("所选文件中没有记录表。"));
    QCOMPARE(refusal("view.zdb"), QString("所选文件不是本系统的备份数据库。"));
    QCOMPARE(refusal("columns.zdb"), QString("所选文件中记录表的列不符。"));

    // A full disk: no file of this process may grow past a quarter of the copy.
    struct rlimit saved;
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto previousHandler = signal(SIGXFSZ, SIG_IGN);
    struct rlimit limited = saved;
    limited.rlim_cur = rlim_t(whole.size() / 4);
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &limited), 0);
    const QString full = refusal("copy.zdb");
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, previousHandler);
    QCOMPARE(full, QString("无法复制所选文件,磁盘可能已满。"));

    // Without the backup folder the current file cannot be kept, so it is not replaced.
    QVERIFY(QDir(desk.dir.filePath("backup")).removeRecursively());
    QCOMPARE(refusal("copy.zdb"), QString("无法在备份文件夹中保留当前数据库。"));

    QCOMPARE(desk.storedRows(), 3000);
    QCOMPARE(selectWithKey(AppContext::instance().path(RecordDb), "PRAGMA integrity_check"),
             QStringList({"ok"}));
    FileDialogs::setChooser(FileDialogs::Chooser());
}

void TestMainWindow::clearAsksFirst()
{
    Desk desk;
    QCOMPARE(desk.records()->insert(makeRecord("池", 0, "2024-01-02 08:00:00")), 0);
    desk.boxes.queueAnswer(QMessageBox::No);
    desk.action("actionClearRecord")->trigger();
    QCOMPARE(desk.boxes.boxes.last().text, QString("清空记录后将不可恢复，是否继续？"));
    QCOMPARE(desk.boxes.boxes.last().defaultButton, QMessageBox::No);
    QCOMPARE(desk.storedRows(), 1);
    desk.boxes.queueAnswer(QMessageBox::Yes);
    desk.action("actionClearRecord")->trigger();
    QCOMPARE(desk.storedRows(), 0);
    QCOMPARE(desk.boxes.boxes.size(), 2); // no result message
}

// What the station shows when no file of the process may grow past `bytes`; restores the limit.
struct FullDisk
{
    explicit FullDisk(rlim_t bytes)
    {
        getrlimit(RLIMIT_FSIZE, &saved);
        previousHandler = signal(SIGXFSZ, SIG_IGN);
        struct rlimit limited = saved;
        limited.rlim_cur = bytes;
        ok = setrlimit(RLIMIT_FSIZE, &limited) == 0;
    }
    ~FullDisk()
    {
        setrlimit(RLIMIT_FSIZE, &saved);
        signal(SIGXFSZ, previousHandler);
    }
    struct rlimit saved;
    void (*previousHandler)(int);
    bool ok = false;
};

void TestMainWindow::aFailedClearIsShownAndKeepsTheRows()
{
    Desk desk;
    std::vector<RecordRow> rows;
    for (int i = 0; i < 3000; ++i)
        rows.push_back(makeRecord("池", i % 2, "2024-01-02 08:00:00"));
    QCOMPARE(insertRecords(AppContext::instance().path(RecordDb), rows), 0);
    {
        FullDisk full(1024); // not even the journal fits
        QVERIFY(full.ok);
        desk.boxes.queueAnswer(QMessageBox::Yes);
        desk.action("actionClearRecord")->trigger();
    }
    QCOMPARE(desk.boxes.boxes.size(), 2);
    QCOMPARE(desk.boxes.boxes[1].title, QString("错误"));
    QCOMPARE(desk.boxes.boxes[1].icon, QMessageBox::Critical);
    QCOMPARE(desk.boxes.boxes[1].text, QString("清空记录失败!\n记录未被删除。"));
    QCOMPARE(desk.storedRows(), 3000);
}

namespace {

// A detail panel's record writer on a thread of its own.
struct Writer : QObject
{
    Q_OBJECT

public:
    Writer()
    {
        writer = new RecordWriter;
        connect(this, &Writer::signal_record, writer, &RecordWriter::record);
        ThreadHandOff::start(writer, &thread);
    }
    ~Writer() override { RecordWriter::stopThread(writer, &thread); }
    void emitRows(int count)
    {
        for (int i = 0; i < count; ++i) {
            auto *row = new RecordRow(makeRecord("记", 0, "2024-01-02 08:00:00"));
            ThreadHandOff::release();
            emit signal_record(this, row);
        }
        writer->waitForQueued();
    }
    QThread thread;
    RecordWriter *writer;

signals:
    void signal_record(void *writer, void *data);
};

} // namespace

void TestMainWindow::recordingThatFailsIsShownUntilEverythingIsStored()
{
    {
        // A station with its accounts whose record file cannot be opened at start.
        TempStation dir;
        AppContext::instance().init();
        AppContext::instance().shutdown();
        AppContext::instance().reset();
        QVERIFY(dir.writeFile("db/record.zdb", QByteArray(8192, 'x')));
        AppContext::instance().init();
        MessageBoxRecorder boxes;
        MainWindow window;
        window.show();
        auto *label = window.findChild<QLabel *>("labelRecording");
        QTRY_COMPARE(boxes.boxes.size(), 1);
        QCOMPARE(boxes.boxes[0].title, QString("错误"));
        QVERIFY(boxes.boxes[0].text.contains(AppContext::instance().path(RecordDb)));
        QVERIFY(label->isVisible());
        QCOMPARE(label->text(), QString("数据库无法打开，记录未保存"));
        Writer writer;
        writer.emitRows(4);
        QTRY_COMPARE(label->text(), QString("数据库无法打开，记录未保存：4 条待存"));
        QCOMPARE(boxes.boxes.size(), 1);
    }

    Desk desk;
    auto *label = desk.window.findChild<QLabel *>("labelRecording");
    Writer writer;
    writer.emitRows(3);
    QTest::qWait(20);
    QVERIFY(label->isHidden());
    QVERIFY(desk.boxes.boxes.isEmpty());

    // A full disk: the rows are held and counted, with one message however many come.
    {
        FullDisk full(512);
        QVERIFY(full.ok);
        writer.emitRows(5);
        QTRY_COMPARE(label->text(), QString("记录未保存：5 条待存"));
        writer.emitRows(2);
    }
    QTRY_COMPARE(label->text(), QString("记录未保存：7 条待存"));
    QVERIFY(label->isVisible());
    QCOMPARE(desk.boxes.boxes.size(), 1);
    QCOMPARE(desk.boxes.boxes[0].title, QString("错误"));
    QVERIFY(desk.boxes.boxes[0].text.startsWith("记录无法写入数据库(磁盘"));

    // Room again: the held rows are stored with the next one, and the line goes.
    writer.emitRows(1);
    QTRY_VERIFY(label->isHidden());
    QCOMPARE(desk.storedRows(), 11);

    // Held beyond the bound: the oldest go, and that is told once, with how many.
    desk.records()->close();
    writer.emitRows(int(RecordWriter::maxHeld) + 3);
    QTRY_COMPARE(label->text(),
                 QString("数据库无法打开，记录未保存：%1 条待存，已丢弃 3 条").arg(RecordWriter::maxHeld));
    QTRY_COMPARE(desk.boxes.boxes.size(), 3);
    QVERIFY(desk.boxes.boxes[1].text.contains("无法打开"));
    QCOMPARE(desk.boxes.boxes[2].text, QString("3 条记录无法保存,已被丢弃。"));
    QCOMPARE(desk.records()->open(), 0);
    writer.emitRows(1);
    QTRY_VERIFY(label->isHidden());
    QCOMPARE(desk.storedRows(), 11 + int(RecordWriter::maxHeld) + 1);
    QCOMPARE(desk.boxes.boxes.size(), 3);
}

void TestMainWindow::settingsThatCannotBeWrittenAreShownAndStoredLater()
{
    TempStation dir;
    AppContext::instance().init();
    MessageBoxRecorder boxes;
    MainWindow window;
    QVERIFY(signInAs());
    auto *comPort = window.findChild<WidgetComPort *>();
    auto *list = window.findChild<WidgetMonitorList *>();
    // The folder cannot hold the files.
    QVERIFY(QDir(dir.filePath("config")).removeRecursively());
    QVERIFY(dir.writeFile("config", "a file, not a folder"));
    comPort->findChild<QComboBox *>("comboBoxBaudrate")->setCurrentText("4800");
    list->findChild<QLineEdit *>("lineEditReadInterval")->setText("7");
    comPort->saveConfig();
    list->saveConfig();
    QCOMPARE(boxes.boxes.size(), 2);
    for (const MessageBoxes::Box &box : boxes.boxes)
        QCOMPARE(box.title, QString("错误"));
    QVERIFY(boxes.boxes[0].text.contains(dir.filePath("config/ComPort.json")));
    QVERIFY(boxes.boxes[1].text.contains(dir.filePath("config/Monitor.json")));

    // The changes stay marked: the next save, for example at the exit, stores them.
    QVERIFY(QFile::remove(dir.filePath("config")));
    QVERIFY(QDir(dir.path()).mkdir("config"));
    comPort->saveConfig();
    list->saveConfig();
    QCOMPARE(boxes.boxes.size(), 2);
    QVERIFY(dir.readFile("config/ComPort.json").contains("\"baudrate\": 4800"));
    QVERIFY(dir.readFile("config/Monitor.json").contains("\"interval\": 7"));
    Accounts::instance().signOut();
    Accounts::instance().waitForJobs();
}

void TestMainWindow::aMissingUserManualIsShown()
{
    Desk desk;
    DesktopRecorder desktop;
    desk.action("actionUserManual")->trigger();
    QVERIFY(desktop.opened.isEmpty());
    QCOMPARE(desk.boxes.boxes.size(), 1);
    QCOMPARE(desk.boxes.boxes[0].title, QString("错误"));
    QCOMPARE(desk.boxes.boxes[0].text,
             QString("找不到用户手册:\n%1").arg(AppContext::instance().path(UserManual)));
}

void TestMainWindow::theLogFolderOpensAndAnUnwritableLogIsToldOnce()
{
    QTemporaryDir elsewhere;
    QVERIFY(QFile(elsewhere.filePath("log")).open(QIODevice::WriteOnly));
    StationLog::install(elsewhere.filePath("log"), StationLog::ChainPrevious);
    {
        Desk desk;
        QTRY_COMPARE(desk.boxes.boxes.size(), 1);
        QCOMPARE(desk.boxes.boxes[0].icon, QMessageBox::Warning);
        QVERIFY(desk.boxes.boxes[0].text.contains(QStringLiteral("无法写入")));
        // Later messages and measurements say nothing new.
        qWarning("lost");
        DiskGuard::instance().checkNow();
        QSignalSpy measured(&DiskGuard::instance(), &DiskGuard::signal_changed);
        QVERIFY(measured.wait());
        QCOMPARE(desk.boxes.boxes.size(), 1);
        desk.action("actionOpenLogFolder")->trigger();
        QCOMPARE(desk.boxes.boxes.size(), 2);
        QVERIFY(desk.boxes.boxes[1].text.contains(QStringLiteral("不是文件夹")));
    }
    // A writable log: the menu opens its folder.
    StationLog::install(elsewhere.filePath("good"), StationLog::ChainPrevious);
    {
        Desk desk;
        DesktopRecorder desktop;
        desk.action("actionOpenLogFolder")->trigger();
        QCOMPARE(desktop.opened, QStringList({elsewhere.filePath("good")}));
        QVERIFY(desk.boxes.boxes.isEmpty());
    }
    StationLog::uninstall();
}

void TestMainWindow::aNearlyFullDiskRefusesBackupsAndExportsAndSaysWhatToDo()
{
    const qint64 freeBytes = 150LL << 20;
    DiskGuard::setMeasure([=](const QString &, qint64 *free, qint64 *total, QString *) {
        *free = freeBytes;
        *total = 20LL << 30;
        return true;
    });
    {
        Desk desk;
        QVERIFY(desk.signedIn);
        // Told once on entering the level, with what to do; the status bar keeps showing it.
        QTRY_COMPARE(desk.boxes.boxes.size(), 1);
        QVERIFY(desk.boxes.boxes[0].text.contains(QStringLiteral("备份和导出已暂停")));
        QVERIFY(desk.boxes.boxes[0].text.contains(QStringLiteral("删除")));
        auto *label = desk.window.findChild<QLabel *>("labelDisk");
        QVERIFY(label && label->isVisible());
        QVERIFY(label->text().contains(QStringLiteral("150 MB")));
        QVERIFY(label->toolTip().contains(desk.dir.path()));

        QCOMPARE(desk.records()->insert(makeRecord("一号", 0, "2024-01-02 08:00:00")), 0);
        desk.action("actionBackupRecord")->trigger();
        QCOMPARE(desk.boxes.boxes.size(), 2);
        QCOMPARE(desk.boxes.boxes[1].icon, QMessageBox::Critical);
        QVERIFY(desk.boxes.boxes[1].text.contains(QStringLiteral("磁盘空间不足")));
        QVERIFY(QDir(desk.dir.filePath("backup")).entryList({"*.zdb"}, QDir::Files).isEmpty());

        QTimer::singleShot(0, [] {
            if (auto *bec = qobject_cast<DialogBEC *>(QApplication::activeModalWidget()))
                bec->start();
        });
        desk.action("actionBec")->trigger();
        QCOMPARE(desk.boxes.boxes.size(), 3);
        const QString told = desk.boxes.boxes[2].text;
        QVERIFY2(told.contains(QStringLiteral("备份数据、导出数据、清除数据")) &&
                     told.contains(QStringLiteral("导出已暂停")),
                 qPrintable(told));
        QVERIFY(QDir(desk.dir.filePath("export")).entryList(QDir::Files).isEmpty());
        // Nothing was copied, so nothing was cleared.
        QCOMPARE(desk.storedRows(), 1);
    }
    DiskGuard::setMeasure(DiskGuard::Measure());
}

void TestMainWindow::aLostLockFileIsTakenAgainOrShownUntilItIs()
{
    Desk desk;
    QLabel *label = desk.window.findChild<QLabel *>("labelStationLock");
    QVERIFY(label && label->isHidden());
    const QString lockFile = StationLock::lockFilePath(desk.dir.path());
    QSignalSpy checked(&desk.window, &MainWindow::signal_stationLockChecked);
    const auto check = [&] {
        checked.clear();
        desk.window.slot_checkStationLock();
        return checked.wait(10000) ? checked.at(0).at(0).toInt() : -1;
    };
    QCOMPARE(check(), int(StationLock::Intact));

    // Deleted: made and locked again, and nothing is shown.
    QVERIFY(QFile::remove(lockFile));
    QCOMPARE(check(), int(StationLock::Retaken));
    QVERIFY(QFile::exists(lockFile));
    QVERIFY(label->isHidden());
    QVERIFY(desk.boxes.boxes.isEmpty());

    // Deleted and taken by another program meanwhile: a lasting line and one box.
    QVERIFY(QFile::remove(lockFile));
    QVERIFY(desk.dir.writeFile("hydrovane.lock", QByteArray()));
    const int other = ::open(QFile::encodeName(lockFile).constData(), O_RDONLY | O_CLOEXEC);
    QVERIFY(other >= 0 && ::flock(other, LOCK_EX | LOCK_NB) == 0);
    QCOMPARE(check(), int(StationLock::TakenElsewhere));
    QCOMPARE(check(), int(StationLock::TakenElsewhere));
    ::close(other);
    QVERIFY(!label->isHidden());
    QVERIFY2(label->text().contains("另一个程序锁定"), qPrintable(label->text()));
    QCOMPARE(desk.boxes.boxes.size(), 1);
    QCOMPARE(desk.boxes.boxes[0].title, QString("错误"));
    QVERIFY(desk.boxes.boxes[0].text.contains(lockFile));

    // Free again: taken back and the line goes.
    QCOMPARE(check(), int(StationLock::Retaken));
    QVERIFY(label->isHidden());
    QCOMPARE(desk.boxes.boxes.size(), 1);
}

namespace {

// Stores numbered rows of one name on a thread of its own until it is stopped. Like a record
// writer, it holds a row the database refuses for a moment and stores it before the next.
struct Recorder
{
    explicit Recorder(RecordDatabase *database)
        : thread([this, database] {
              for (int i = 0; !stop; ++i) {
                  RecordRow row = makeRecord("录", 0, "2024-01-02 08:00:00");
                  row.value = std::to_string(i);
                  while (database->insert(row) != 0) {
                      if (++refusals > 100000)
                          return;
                      std::this_thread::sleep_for(std::chrono::milliseconds(1));
                  }
                  ++written;
              }
          })
    {
    }
    ~Recorder() { finish(); }
    void finish()
    {
        stop = true;
        if (thread.joinable())
            thread.join();
    }
    // Waits until n more rows were stored.
    bool goesOn(int n = 5)
    {
        const int until = written + n;
        QElapsedTimer waited;
        waited.start();
        while (written < until && waited.elapsed() < 30000)
            QTest::qWait(5);
        return written >= until;
    }

    std::atomic<bool> stop{false};
    std::atomic<int> written{0};
    // Inserts refused for a moment; a bound keeps a broken database from hanging the test.
    std::atomic<int> refusals{0};
    std::thread thread;
};

QSet<int> recorded(const QString &file)
{
    QSet<int> values;
    for (const QString &value : selectWithKey(file, "SELECT value FROM Record WHERE name = '录'"))
        values << value.toInt();
    return values;
}

QStringList missing(const QSet<int> &values, int from, int to)
{
    QStringList absent;
    for (int i = from; i < to; ++i) {
        if (!values.contains(i))
            absent << QString::number(i);
    }
    return absent;
}

} // namespace

void TestMainWindow::maintenanceWhileRecordingLosesNoRow()
{
    Desk desk;
    const QString live = AppContext::instance().path(RecordDb);
    const QString backupDir = desk.dir.filePath("backup/");
    desk.window.slot_comPort(true);
    Recorder recorder(desk.records());
    QVERIFY(recorder.goesOn(20));

    // Backup: every row stored before it is in the copy, and none is missing from the table.
    const int beforeBackup = recorder.written;
    desk.action("actionBackupRecord")->trigger();
    QCOMPARE(desk.boxes.boxes.last().text, QString("数据备份成功"));
    const QString backup = backupDir + QDir(backupDir).entryList(QDir::Files).value(0);
    const QSet<int> copied = recorded(backup);
    QVERIFY(recorder.goesOn());
    // Counted before the rows are looked at: rows stored later need not be there.
    int stored = recorder.written;
    QCOMPARE(missing(copied, 0, beforeBackup), QStringList());
    QCOMPARE(missing(recorded(live), 0, stored), QStringList());

    // Import of that backup: rows stored until the swap are in the replaced file, kept in the
    // backup folder; rows after it in the new table.
    FileDialogs::setChooser([&](const FileDialogs::Request &) { return backup; });
    desk.action("actionImportRecord")->trigger();
    FileDialogs::setChooser(FileDialogs::Chooser());
    QCOMPARE(desk.boxes.boxes.last().title, QString("通知"));
    QVERIFY(desk.boxes.boxes.last().text.startsWith("数据导入成功!\n"));
    QVERIFY(recorder.goesOn());
    stored = recorder.written;
    const QStringList replaced = QDir(backupDir).entryList({"record_replaced_*"}, QDir::Files);
    QCOMPARE(replaced.size(), 1);
    QSet<int> everywhere = recorded(live);
    everywhere.unite(recorded(backupDir + replaced[0]));
    QCOMPARE(missing(everywhere, 0, stored), QStringList());
    QVERIFY(recorded(live).contains(copied));

    // Clear: whatever is stored once it is done stays.
    desk.boxes.queueAnswer(QMessageBox::Yes);
    const int boxes = desk.boxes.boxes.size();
    desk.action("actionClearRecord")->trigger();
    QCOMPARE(desk.boxes.boxes.size(), boxes + 1); // the question only
    const int afterClear = recorder.written;
    QVERIFY(recorder.goesOn());
    stored = recorder.written;
    const QSet<int> kept = recorded(live);
    QVERIFY(!kept.contains(0));
    // The row after the last one counted may have been stored before the delete.
    QCOMPARE(missing(kept, afterClear + 1, stored), QStringList());

    // A file that is no record file is refused; the live rows stay and recording goes on.
    QVERIFY(desk.dir.writeFile("backup/notes.zdb", QByteArray(4096, 'x')));
    FileDialogs::setChooser(
        [&](const FileDialogs::Request &) { return desk.dir.filePath("backup/notes.zdb"); });
    desk.action("actionImportRecord")->trigger();
    FileDialogs::setChooser(FileDialogs::Chooser());
    QCOMPARE(desk.boxes.boxes.last().title, QString("错误"));
    QVERIFY(desk.boxes.boxes.last().text.startsWith("数据导入失败!\n"));
    QVERIFY(recorder.goesOn());
    stored = recorder.written;
    QCOMPARE(missing(recorded(live), afterClear + 1, stored), QStringList());
    recorder.finish();
    QVERIFY(recorder.refusals < 100000);
}

void TestMainWindow::backupOntoAFullDiskFailsAndLeavesTheLiveFileIntact()
{
    Desk desk;
    std::vector<RecordRow> rows;
    for (int i = 0; i < 3000; ++i)
        rows.push_back(makeRecord("满", i % 2, "2024-01-02 08:00:00"));
    const QString live = AppContext::instance().path(RecordDb);
    QCOMPARE(insertRecords(live, rows), 0);
    const qint64 size = QFileInfo(live).size();
    QVERIFY(size > 64 * 1024);

    // No file of this process may grow past half the record file: the copy runs out of room.
    struct rlimit saved;
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto previousHandler = signal(SIGXFSZ, SIG_IGN);
    struct rlimit limited = saved;
    limited.rlim_cur = rlim_t(size / 2);
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &limited), 0);
    desk.action("actionBackupRecord")->trigger();
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, previousHandler);

    QCOMPARE(desk.boxes.boxes.size(), 1);
    QCOMPARE(desk.boxes.boxes[0].title, QString("错误"));
    QCOMPARE(desk.boxes.boxes[0].text, QString("备份数据失败,请退出系统后手动备份db文件夹"));
    QVERIFY(QDir(desk.dir.filePath("backup")).entryList(QDir::Files).isEmpty());
    QCOMPARE(selectWithKey(live, "PRAGMA integrity_check"), QStringList({"ok"}));
    QCOMPARE(desk.storedRows(), 3000);
    QCOMPARE(desk.records()->insert(makeRecord("满", 0, "2024-01-02 08:00:01")), 0);
}

void TestMainWindow::exitWaitsForMaintenanceToEnd()
{
    Desk desk;
    QSignalSpy exits(&desk.window, &MainWindow::signal_exitConfirmed);
    // The exit asked for from the tray while the backup runs: queued ahead of its end.
    QMetaObject::invokeMethod(
        &desk.window, [&] { desk.window.closeSystem(); }, Qt::QueuedConnection);
    desk.action("actionBackupRecord")->trigger();
    QCOMPARE(exits.count(), 0);
    QVERIFY(desk.records()->isOpen());
    QCOMPARE(desk.boxes.boxes.size(), 2);
    QCOMPARE(desk.boxes.boxes[0].title, QString("错误"));
    QCOMPARE(desk.boxes.boxes[1].text, QString("数据备份成功"));
    desk.boxes.queueAnswer(QMessageBox::Yes);
    desk.window.closeSystem();
    QCOMPARE(exits.count(), 1);
}

namespace {

// Runs start from an event loop of its own, as the application's loop runs a menu command, until
// the window's exit or timeoutMs; true on the exit.
bool runUntilExit(MainWindow *window, const std::function<void()> &start, int timeoutMs)
{
    QEventLoop loop;
    bool exited = false;
    QObject::connect(window, &MainWindow::signal_exitConfirmed, &loop, [&] {
        exited = true;
        loop.quit();
    });
    QTimer::singleShot(0, &loop, start);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    loop.exec();
    return exited;
}

// SIGTERM once per case, from whichever thread: a second one would end this process.
std::atomic<bool> stopRaised{false};
void raiseStopOnce()
{
    if (!stopRaised.exchange(true))
        ::raise(SIGTERM);
}

qint64 countOf(const QString &file)
{
    return selectWithKey(file, "SELECT count(*) FROM Record").value(0).toLongLong();
}

} // namespace

void TestMainWindow::aStopSignalEndsWhatRunsAndLosesNoRow_data()
{
    QTest::addColumn<QString>("action");
    QTest::newRow("search") << "actionSearchRecord";
    QTest::newRow("search, export") << "actionSearchRecord";
    QTest::newRow("backup") << "actionBackupRecord";
    QTest::newRow("import") << "actionImportRecord";
    QTest::newRow("backup-export-clear") << "actionBec";
    QTest::newRow("export") << "actionExportRecord";
}

void TestMainWindow::aStopSignalEndsWhatRunsAndLosesNoRow()
{
    QFETCH(QString, action);
    const QString work = QTest::currentDataTag();
    SimulatorProcess sim(instruments);
    QVERIFY(sim.isReady());
    Station station(sim, monitors);
    const QString live = AppContext::instance().path(RecordDb);
    const QDir backups(station.dir.filePath("backup"));
    // History enough that each command is still at work when the signal comes.
    std::vector<RecordRow> history;
    const QDateTime first(QDate(2024, 1, 2), QTime(8, 0));
    for (int i = 0; i < 100000; ++i)
        history.push_back(makeRecord(
            "历史", i % 2, first.addSecs(i).toString("yyyy-MM-dd hh:mm:ss").toStdString()));
    QCOMPARE(insertRecords(live, history), 0);
    const QString source = station.dir.filePath("source.zdb");
    QVERIFY(QFile::copy(live, source));
    FileDialogs::setChooser([&](const FileDialogs::Request &) { return source; });

    // As the program wires it: the signal to the process, the stop from the event loop; here
    // once the work shows progress, or right before a task that shows none.
    StopSignals stopSignals;
    QObject::connect(&stopSignals, &StopSignals::signal_stopAsked, station.window,
                     &MainWindow::slot_stop);
    stopRaised = false;
    const auto raiseOnProgress = [](QProgressBar *bar) {
        QObject::connect(bar, &QProgressBar::valueChanged, [](int value) {
            if (value > 0)
                raiseStopOnce();
        });
    };
    // Looks at what the command opened, from the loop it runs.
    const auto atWork = [&] {
        if (auto *bec = qobject_cast<DialogBEC *>(QApplication::activeModalWidget())) {
            raiseOnProgress(bec->findChild<QProgressBar *>("progressBar"));
            bec->start();
        } else if (auto *search = qobject_cast<DialogSearch *>(QApplication::activeModalWidget())) {
            search->findChild<QDateTimeEdit *>("dateTimeEditStart")->setDateTime(first);
            search->findChild<QDateTimeEdit *>("dateTimeEditEnd")->setDateTime(first.addDays(2));
            auto *bar = search->findChild<QProgressBar *>("progressBarExport");
            if (work == "search")
                raiseOnProgress(bar);
            else
                QObject::connect(search, &DialogSearch::signal_searchFinished, [=] {
                    raiseOnProgress(bar);
                    search->findChild<QPushButton *>("pushButtonExport")->click();
                });
            search->findChild<QPushButton *>("pushButtonSearch")->click();
        } else {
            raiseStopOnce();
        }
    };
    const RecordingStatus::Snapshot before = RecordingStatus::instance().snapshot();
    station.switchLine(true);
    QTRY_VERIFY_WITH_TIMEOUT(station.passes >= 2, 10000);
    const int boxes = station.boxes.boxes.size();
    QVERIFY(runUntilExit(
        station.window,
        [&] {
            QTimer::singleShot(0, atWork);
            station.window->findChild<QAction *>(action)->trigger();
        },
        10000));
    FileDialogs::setChooser(FileDialogs::Chooser());
    // Nobody was asked anything; no half-written file: the exports were cancelled, every copy
    // is whole, no import is left half way.
    QCOMPARE(station.boxes.boxes.size(), boxes);
    QCOMPARE(QDir(station.dir.filePath("export")).entryList(QDir::Files), QStringList());
    QCOMPARE(QDir(station.dir.filePath("db")).entryList(QDir::Files), QStringList({"record.zdb"}));
    for (const QString &copy : backups.entryList(QDir::Files))
        QCOMPARE(selectWithKey(backups.filePath(copy), "PRAGMA integrity_check"),
                 QStringList({"ok"}));
    const QStringList replaced = backups.entryList({"record_replaced_*"}, QDir::Files);
    QCOMPARE(backups.entryList(QDir::Files).size() - replaced.size(),
             int(work == "backup" || work == "backup-export-clear"));
    // Stages skipped by the stop did not happen, and the trail does not say they did.
    if (work == "backup-export-clear") {
        const QString trail =
            selectWithKey(station.dir.filePath("user/user.zdb"),
                          "SELECT detail FROM Audit WHERE action = '备份-导出-清除'")
                .value(0);
        QVERIFY2(trail.contains("导出失败") && trail.contains("清除失败"), qPrintable(trail));
    }

    // Every row handed to the writers is stored: in the live file, or in the file an import
    // replaced (which then holds the history besides).
    const RecordingStatus::Snapshot after = RecordingStatus::instance().snapshot();
    QCOMPARE(after.dropped, before.dropped);
    QVERIFY(after.handed > before.handed);
    qint64 stored = countOf(live);
    if (!replaced.isEmpty())
        stored += countOf(backups.filePath(replaced[0])) - qint64(history.size());
    QCOMPARE(stored, qint64(history.size()) + after.handed - before.handed);
}

void TestMainWindow::aStopClosesWhatIsOpenAndAsksNothing()
{
    Desk desk;
    // Real boxes: the about box, a question over it and a menu over that, each in its own loop.
    MessageBoxes::setResponder(MessageBoxes::Responder());
    QMessageBox::StandardButton answer = QMessageBox::Yes;
    QMenu menu;
    menu.addAction("菜单");
    const auto open = [&] {
        QTimer::singleShot(0, [&] {
            QTimer::singleShot(0, [&] {
                QTimer::singleShot(0, &desk.window, &MainWindow::slot_stop);
                menu.exec(QPoint(10, 10));
            });
            answer = MessageBoxes::warning("警告", "确认?", QMessageBox::Yes | QMessageBox::No,
                                           QMessageBox::No);
        });
        desk.action("actionAbout")->trigger();
    };
    QVERIFY(runUntilExit(&desk.window, open, 10000));
    QVERIFY(answer != QMessageBox::Yes);
    QVERIFY(!desk.records()->isOpen());
    // Once stopped, boxes wait for nobody: they get their default answer unseen.
    QCOMPARE(MessageBoxes::information("通知", "完成"), QMessageBox::Ok);
    // The exit button afterwards would ask nobody anything.
    MessageBoxes::setUnattended(false);
    MessageBoxRecorder boxes;
    desk.window.on_pushButtonClose_clicked();
    QCOMPARE(boxes.boxes.size(), 0);
}

void TestMainWindow::alarmsAreListedMarkedAndAcknowledgedIntoTheLog()
{
    // 8.50 mg/L over a high point of 5.00; 2.00 mg/L under a low point of 3.00; one quiet.
    SimulatorProcess sim({"1:DI590:unit=1,main=850,r0on=1,r0sp=500,r1on=0",
                          "2:DI590:unit=1,main=200,r0on=0,r1on=1,r1sp=300",
                          "3:DI590:unit=1,main=400,r0on=1,r0sp=500,r1on=1,r1sp=300"});
    QVERIFY(sim.isReady());
    // Alarms are shown whether the monitor records or not.
    Station station(sim, {{"DI590", "高", 1}, {"DI590", "低", 2, true, false}, {"DI590", "静", 3}});
    auto *bar = station.window->findChild<WidgetAlarmBar *>();
    auto *table = bar->findChild<QTableWidget *>("tableWidgetAlarm");
    QVERIFY(bar->isHidden());
    station.switchLine(true);
    QTRY_COMPARE_WITH_TIMEOUT(bar->count(), 2, 20000);
    QVERIFY(bar->isVisible());
    const auto rowOf = [table](const QString &name) {
        for (int r = 0; r < table->rowCount(); ++r) {
            if (table->item(r, 1)->text() == name)
                return r;
        }
        return -1;
    };
    QStringList high;
    for (int c = 1; c < 5; ++c)
        high << table->item(rowOf("高"), c)->text();
    QCOMPARE(high, QStringList({"高", "高报", "8.50", "5.00"}));
    QCOMPARE(table->item(rowOf("低"), 2)->text(), QString("低报"));
    QVERIFY(QDateTime::fromString(table->item(rowOf("高"), 0)->text(), "yyyy-MM-dd hh:mm:ss")
                .isValid());

    using Look = WidgetMonitorSimple::AlarmLook;
    QCOMPARE(station.cell(0)->alarmLook(), Look::Flashing);
    QCOMPARE(station.cell(1)->alarmLook(), Look::Flashing);
    QCOMPARE(station.cell(2)->alarmLook(), Look::None);
    QCOMPARE(station.display(0)->alarmedFactor(), QString("DO"));
    QVERIFY(station.display(2)->alarmedFactor().isEmpty());
    auto *factors = station.page(0)->findChild<QTableWidget *>("tableWidgetFactor");
    QCOMPARE(factors->item(0, 0)->text(), QString("DO"));
    QCOMPARE(factors->item(0, 1)->background().color(), QColor(0xE5, 0x39, 0x35));
    QCOMPARE(factors->item(1, 1)->background(), QBrush());

    // 确认 on one row: that cell steadies, the other goes on flashing.
    auto *button = qobject_cast<QPushButton *>(table->cellWidget(rowOf("高"), 5));
    // An operator may acknowledge, under its own name.
    QCOMPARE(addAccount("值班员", "值班", Accounts::Operator), int(Accounts::Ok));
    QVERIFY(signInAs("值班员", "值班"));
    QTest::mouseClick(button, Qt::LeftButton);
    QTRY_COMPARE(station.cell(0)->alarmLook(), Look::Steady);
    QTRY_VERIFY(auditRows().contains("值班员|确认报警|高 DO 高报"));
    QCOMPARE(station.cell(1)->alarmLook(), Look::Flashing);
    QVERIFY(!button->isEnabled());
    QCOMPARE(station.grid->alarmFlasher()->count(), 1);
    QTest::mouseClick(bar->findChild<QPushButton *>("pushButtonAckAll"), Qt::LeftButton);
    QTRY_COMPARE(station.cell(1)->alarmLook(), Look::Steady);
    QVERIFY(!station.grid->alarmFlasher()->isRunning());

    // Both acknowledgements reach the log, the low alarm's although it is not recorded.
    const QString file = AppContext::instance().path(RecordDb);
    const char *const logged = "SELECT name, kind, value, alarmpoint, acked IS NOT NULL, "
                               "cleared IS NULL FROM Alarm ORDER BY name";
    QTRY_COMPARE_WITH_TIMEOUT(selectWithKey(file, logged),
                              QStringList({"低|低报|2.00|3.00|1|1", "高|高报|8.50|5.00|1|1"}),
                              10000);

    // Switched off by its run switch, a monitor's alarm goes from the bar, cell and page.
    QVERIFY(signInAs());
    station.page(0)->findChild<QCheckBox *>("checkBoxStatus")->setChecked(false);
    QTRY_COMPARE(bar->count(), 1);
    QCOMPARE(station.cell(0)->alarmLook(), Look::None);
    QVERIFY(station.display(0)->alarmedFactor().isEmpty());
    QCOMPARE(factors->item(0, 1)->background(), QBrush());
    station.page(1)->findChild<QCheckBox *>("checkBoxStatus")->setChecked(false);
    QTRY_VERIFY(bar->isHidden());
    station.switchLine(false);
    QTRY_COMPARE_WITH_TIMEOUT(selectWithKey(file, "SELECT count(*) FROM Alarm WHERE cleared IS "
                                                  "NOT NULL"),
                              QStringList({"2"}), 10000);
}

void TestMainWindow::alarmsActiveAtStartAreListed()
{
    SimulatorProcess sim({"5:DI590:unit=1,main=850,r0on=1,r0sp=500,r1on=0"});
    QVERIFY(sim.isReady());
    TempStation dir;
    MessageBoxRecorder boxes;
    AppContext::instance().init();
    // Raised before the window is built, by a monitor it does not show.
    MonitorCollection collection;
    MonitorBase *monitor = collection.create("DI590", "早", 5, -1, true, true);
    QCOMPARE(monitor->sync(sim.context()), 0);
    collection.readAll(sim.context());
    QTRY_COMPARE(int(AlarmRules::instance().activeAlarms().size()), 1);
    {
        MainWindow window;
        window.show();
        auto *bar = window.findChild<WidgetAlarmBar *>();
        QCOMPARE(bar->count(), 1);
        QVERIFY(bar->isVisible());
        const quint64 serial = AlarmRules::instance().activeAlarms().front().serial;
        QCOMPARE(bar->rowTexts(qint64(serial)).mid(1),
                 QStringList({"早", "高报", "8.50", "5.00"}));
        // The raise still on its way to this thread adds no second row.
        QCoreApplication::processEvents();
        QCOMPARE(bar->count(), 1);
        // Removed before anyone acknowledged its alarm: 已恢复, until someone does.
        collection.remove(monitor);
        QTRY_VERIFY(bar->isRecovered(qint64(serial)));
        QTest::mouseClick(bar->findChild<QPushButton *>("pushButtonAckAll"), Qt::LeftButton);
        QTRY_VERIFY(bar->isHidden());
    }
    delete monitor;
}

void TestMainWindow::anImportWithAnActiveAlarmClosesItInBothFilesAndRaisesItAgain()
{
    SimulatorProcess sim({"5:DI590:unit=1,main=850,r0on=1,r0sp=500,r1on=0"});
    QVERIFY(sim.isReady());
    Station station(sim, {{"DI590", "高", 5}});
    auto *bar = station.window->findChild<WidgetAlarmBar *>();
    // A backup from before the alarm, with an alarm nobody closed.
    station.window->findChild<QAction *>("actionBackupRecord")->trigger();
    const QString backup = onlyBackup(station.dir.filePath("backup"));
    QVERIFY(!backup.isEmpty());
    QCOMPARE(insertAlarms(backup, {makeAlarm("旧", "2024-01-01 08:00:00", true)}), 0);
    const QString live = AppContext::instance().path(RecordDb);
    station.switchLine(true);
    // Numbered as the records: the main factor's channel.
    QTRY_COMPARE_WITH_TIMEOUT(selectWithKey(live, "SELECT name,kind,channel,cleared FROM Alarm"),
                              QStringList({"高|高报|0|<null>"}), 20000);

    FileDialogs::setChooser([&](const FileDialogs::Request &) { return backup; });
    station.window->findChild<QAction *>("actionImportRecord")->trigger();
    FileDialogs::setChooser(FileDialogs::Chooser());
    QCOMPARE(station.boxes.boxes.last().title, QString("通知"));
    const QStringList kept =
        QDir(station.dir.filePath("backup")).entryList({"record_replaced_*.zdb"}, QDir::Files);
    QCOMPARE(kept.size(), 1);
    // The replaced file: the alarm ended at the import.
    const QStringList before = selectWithKey(station.dir.filePath("backup/" + kept[0]),
                                             "SELECT name,cleared,reason FROM Alarm");
    QCOMPARE(before.size(), 1);
    const QString importTime = before[0].section('|', 1, 1);
    QCOMPARE(before[0], "高|" + importTime + "|导入数据");
    // The new file: its own open row closed at the same time, the alarm carried over closed
    // (it waits for an acknowledgement), and raised again at the next reading.
    QTRY_COMPARE_WITH_TIMEOUT(
        selectWithKey(live, "SELECT count(*) FROM Alarm WHERE name = '高' AND cleared IS NULL"),
        QStringList({"1"}), 20000);
    QCOMPARE(selectWithKey(live, "SELECT name,cleared,reason FROM Alarm WHERE cleared IS NOT NULL "
                                 "ORDER BY id"),
             QStringList({"旧|" + importTime + "|导入数据", "高|" + importTime + "|导入数据"}));
    QTRY_COMPARE(bar->count(), 2);
    QVERIFY(!allRecovered(bar));

    // The line switched off: the alarm ends then, for that reason, and is no longer shown as
    // alarmed; both stay listed until they are acknowledged, and each acknowledgement reaches
    // its row.
    station.switchLine(false);
    QTRY_COMPARE_WITH_TIMEOUT(
        selectWithKey(live, "SELECT reason FROM Alarm WHERE id = (SELECT max(id) FROM Alarm)"),
        QStringList({"停止采集"}), 10000);
    QTRY_VERIFY(allRecovered(bar));
    QCOMPARE(station.cell(0)->alarmLook(), WidgetMonitorSimple::AlarmLook::None);
    QVERIFY(station.display(0)->alarmedFactor().isEmpty());
    QTest::mouseClick(bar->findChild<QPushButton *>("pushButtonAckAll"), Qt::LeftButton);
    QTRY_VERIFY(bar->isHidden());
    QTRY_COMPARE_WITH_TIMEOUT(
        selectWithKey(live, "SELECT count(*) FROM Alarm WHERE name = '高' AND acked IS NOT NULL"),
        QStringList({"2"}), 10000);
    QVERIFY(station.window->findChild<QLabel *>("labelRecording")->isHidden());
}

void TestMainWindow::alarmsACrashLeftOpenGoOnOrClearAtTheFirstReading()
{
    SimulatorProcess sim({"5:DI590:unit=1,main=850,r0on=1,r0sp=500,r1on=0"});
    QVERIFY(sim.isReady());
    TempStation dir;
    MessageBoxRecorder boxes;
    dir.writeFile("config/ComPort.json", comPortJson(sim.linkPath()));
    dir.writeFile("config/Monitor.json", monitorJson(1, {{"DI590", "高", 5}}));
    AppContext::instance().init();
    const QString live = AppContext::instance().path(RecordDb);
    // What a run that crashed left: a high alarm, acknowledged; a low alarm, whose control is
    // off by now; one of an instrument no longer configured; one over, not acknowledged.
    AlarmReader::Entry high = makeAlarm("高", "2024-01-02 08:00:00", true, true);
    high.slave = 5;
    high.channel = -1; // as older builds wrote it
    AlarmReader::Entry low = high;
    low.kind = "低报";
    low.acked.clear();
    QCOMPARE(insertAlarms(live, {high, low, makeAlarm("旧", "2024-01-02 09:00:00", true),
                                 makeAlarm("停", "2024-01-02 10:00:00", false)}),
             0);
    selectWithKey(live, "UPDATE Alarm SET reason = '停止采集' WHERE id = 4");
    AlarmSink sink;
    MainWindow window;
    window.show();
    auto *bar = window.findChild<WidgetAlarmBar *>();
    QCOMPARE(bar->count(), 4);
    QTRY_COMPARE(selectWithKey(live, "SELECT reason FROM Alarm WHERE id = 3"),
                 QStringList({"仪表未采集"}));
    window.findChild<QCheckBox *>("checkBoxConnect")->setChecked(true);
    // The low alarm's condition is gone at the first reading: cleared at that reading's time.
    const char *const readings = "SELECT min(time), count(*) FROM Record WHERE status = 'N'";
    QTRY_VERIFY_WITH_TIMEOUT(selectWithKey(live, readings).value(0).section('|', 1).toInt() >= 3,
                             20000);
    QCOMPARE(selectWithKey(live, "SELECT cleared,reason FROM Alarm WHERE id = 2"),
             QStringList({selectWithKey(live, readings).value(0).section('|', 0, 0) +
                          "|恢复正常"}));
    // The high one still holds: the same row goes on, acknowledged, and no other is made.
    QCOMPARE(selectWithKey(live, "SELECT id,cleared,acked FROM Alarm WHERE kind = '高报' AND "
                                 "name = '高'"),
             QStringList({"1|<null>|2024-01-02 23:40:00"}));
    QCOMPARE(selectWithKey(live, "SELECT count(*) FROM Alarm"), QStringList({"4"}));
    QCOMPARE(sink.all(), QStringList({"cleared 高报 旧 仪表未采集", "cleared 低报 高 恢复正常"}));

    // Each acknowledgement reaches its row; off, the high one ends.
    QTest::mouseClick(bar->findChild<QPushButton *>("pushButtonAckAll"), Qt::LeftButton);
    window.findChild<QCheckBox *>("checkBoxConnect")->setChecked(false);
    QTRY_VERIFY(bar->isHidden());
    QTRY_COMPARE_WITH_TIMEOUT(
        selectWithKey(live, "SELECT reason,acked IS NOT NULL FROM Alarm ORDER BY id"),
        QStringList({"停止采集|1", "恢复正常|1", "仪表未采集|1", "停止采集|1"}), 10000);
}

void TestMainWindow::maintenanceIsRefusedUnlessAnAdministratorIsSignedIn()
{
    Desk desk;
    QVERIFY(desk.signedIn);
    auto *user = desk.window.findChild<QLabel *>("labelUser");
    QCOMPARE(user->text(), QString("管理员 admin"));
    QCOMPARE(addAccount("操作员'甲", "口令 \"1\"", Accounts::Operator), int(Accounts::Ok));
    QCOMPARE(desk.records()->insert(makeRecord("原有", 0, "2024-01-02 08:00:00")), 0);
    int chosen = 0;
    FileDialogs::setChooser([&](const FileDialogs::Request &) {
        ++chosen;
        return QString();
    });
    auto *interval = desk.window.findChild<QLineEdit *>("lineEditReadInterval");
    auto *baud = desk.window.findChild<QComboBox *>("comboBoxBaudrate");
    auto *connect = desk.window.findChild<QCheckBox *>("checkBoxConnect");
    const char *const guarded[] = {"actionAddMonitor", "actionRemoveMonitor", "actionClearRecord",
                                   "actionImportRecord", "actionBec",  "actionAddUser",
                                   "actionDeleteUser", "actionMqttSettings",
                                   "actionHj212Settings", "actionAuditLog", "actionAlarmFilter"};

    // Signed out, then as an operator: each command refused with one box, nothing opened.
    for (const bool operatorSignedIn : {false, true}) {
        Accounts::instance().signOut();
        if (operatorSignedIn) {
            QVERIFY(signInAs("操作员'甲", "口令 \"1\""));
            QCOMPARE(user->text(), QString("操作员 操作员'甲"));
        } else {
            QCOMPARE(user->text(), QString("未登录"));
        }
        for (const char *name : guarded) {
            desk.boxes.boxes.clear();
            QVERIFY2(!desk.triggerDialog(name), name);
            QCOMPARE(desk.boxes.boxes.size(), 1);
            QCOMPARE(desk.boxes.boxes[0].text, QString("请先以管理员身份登录。"));
        }
        QCOMPARE(chosen, 0);
        QCOMPARE(desk.storedRows(), 1);
        // Locked where the value stays in sight; the line switch stays open.
        QVERIFY(!interval->isEnabled() && !baud->isEnabled());
        QCOMPARE(baud->toolTip(), QString("请先以管理员身份登录。"));
        QVERIFY(connect->isEnabled());
        // Watching, search and its export stay open.
        desk.boxes.boxes.clear();
        for (const char *name : {"actionSearchRecord", "actionAlarmRecord", "actionExportRecord"})
            QVERIFY2(desk.triggerDialog(name), name);
        QVERIFY(desk.boxes.boxes.isEmpty());
    }

    QVERIFY(signInAs());
    QVERIFY(interval->isEnabled() && baud->isEnabled());
    for (const char *name : {"actionAddMonitor", "actionBec", "actionAddUser", "actionDeleteUser",
                             "actionMqttSettings", "actionHj212Settings", "actionAuditLog",
                             "actionAlarmFilter"})
        QVERIFY2(desk.triggerDialog(name), name);
    desk.boxes.queueAnswer(QMessageBox::Yes);
    desk.action("actionClearRecord")->trigger();
    QCOMPARE(desk.storedRows(), 0);
    desk.action("actionImportRecord")->trigger();
    QCOMPARE(chosen, 1);
}

void TestMainWindow::maintenanceCommandsLeaveRowsInTheTrail()
{
    Desk desk;
    QVERIFY(desk.signedIn);
    desk.window.on_addMonitor("DO580", "一号池", 3, 0);
    auto *list = desk.window.findChild<WidgetMonitorList *>();
    auto *tree = list->findChild<QTreeView *>();
    auto *model = static_cast<QStandardItemModel *>(tree->model());
    model->item(0)->child(0)->child(0)->setText("二号池");
    auto *interval = desk.window.findChild<QLineEdit *>("lineEditReadInterval");
    interval->setText("45");
    emit interval->editingFinished();
    desk.window.findChild<QComboBox *>("comboBoxBaudrate")->setCurrentText("4800");
    QTimer::singleShot(0, [] {
        if (auto *dialog = qobject_cast<DialogAlarmFilter *>(QApplication::activeModalWidget())) {
            dialog->findChild<QSpinBox *>("spinBoxOnDelay")->setValue(3);
            dialog->accept();
        }
    });
    desk.action("actionAlarmFilter")->trigger();
    QCOMPARE(list->collection().getAlarmFilter().onDelay, 3);
    // The rules are the process's: later tests raise at the first reading again.
    AlarmRules::instance().setDefaultFilter(AlarmFilter());
    for (int i = 0; i < 2; ++i)
        QCOMPARE(desk.records()->insert(makeRecord("二号池", i, "2024-01-02 08:00:00")), 0);
    desk.boxes.queueAnswer(QMessageBox::Yes);
    desk.action("actionClearRecord")->trigger();
    desk.action("actionBackupRecord")->trigger();
    const QString backup = onlyBackup(desk.dir.filePath("backup"));
    QVERIFY(!backup.isEmpty());
    tree->setCurrentIndex(model->item(0)->child(0)->child(0)->index());
    desk.boxes.queueAnswer(QMessageBox::Yes); // remove
    desk.boxes.queueAnswer(QMessageBox::Yes); // and its history
    desk.action("actionRemoveMonitor")->trigger();
    QVERIFY(list->collection().getMonitors().empty());

    QCOMPARE(desk.records()->insert(makeRecord("三号池", 0, "2024-01-02 08:00:00")), 0);
    DesktopRecorder desktop;
    QTimer::singleShot(0, [] {
        if (auto *bec = qobject_cast<DialogBEC *>(QApplication::activeModalWidget()))
            bec->start();
    });
    desk.action("actionBec")->trigger();
    const QDir backups(desk.dir.filePath("backup"));
    QStringList becBackup = backups.entryList({"record*.zdb"}, QDir::Files);
    becBackup.removeOne(QFileInfo(backup).fileName());
    QCOMPARE(becBackup.size(), 1);
    const QDir exports(desk.dir.filePath("export"));
    const QStringList workbooks = exports.entryList(QDir::Files);
    QCOMPARE(workbooks.size(), 1);

    QStringList rows = auditRows();
    QVERIFY(!rows.isEmpty());
    QCOMPARE(rows.takeFirst(), QString("admin|登录|管理员"));
    const QStringList expected = {
        "admin|添加仪表|DO580 \"一号池\",从站 3,通道 0",
        "admin|重命名仪表|\"一号池\" → \"二号池\"",
        "admin|修改采集间隔|30 秒 → 45 秒",
        "admin|修改串口设置|波特率: 9600 → 4800",
        "admin|修改报警过滤|全部仪表：连续 1 次读数超限报警，600 秒内"
        "报警超过 5 次为抖动，恢复持续 60 秒才解除 → 连续 3 次读数超限报警"
        "，600 秒内报警超过 5 次为抖动，恢复持续 60 秒才解除",
        "admin|清空|所有记录已清空,共删除 2 条记录",
        "admin|备份|备份成功,已写入 " + backup,
        "admin|删除仪表|DO580 \"二号池\",从站 3,历史数据已删除",
        "admin|备份-导出-清除|备份完成,导出完成,清除完成;已写入 " + backups.filePath(becBackup[0]) +
            "、" + exports.filePath(workbooks[0])};
    for (const QString &row : expected)
        QVERIFY2(rows.contains(row), qPrintable(row + "\n" + rows.join('\n')));
}

void TestMainWindow::automaticBackupFailuresShowUntilABackupSucceeds()
{
    Desk desk;
    auto *backup = desk.window.findChild<AutoBackup *>();
    auto *label = desk.window.findChild<QLabel *>("labelAutoBackup");
    QVERIFY(backup && label);
    QVERIFY(label->isHidden());
    AutoBackupSettings settings;
    settings.secondFolder = desk.dir.filePath("unplugged");
    backup->setSettings(settings);
    QSignalSpy finished(backup, &AutoBackup::signal_finished);
    QVERIFY(backup->runNow());
    QVERIFY(finished.wait(30000));
    QVERIFY(!label->isHidden());
    QVERIFY2(label->toolTip().contains("不存在"), qPrintable(label->toolTip()));
    Accounts::instance().waitForJobs();
    const QString copy = finished.last().first().value<AutoBackup::Report>().copy;
    QVERIFY(QFile::exists(copy));
    const QStringList rows = auditRows();
    bool found = false;
    for (const QString &row : rows)
        found =
            found || (row.startsWith("admin|自动备份|已写入 " + copy) && row.contains("不存在"));
    QVERIFY2(found, qPrintable(rows.join('\n')));

    // Unplugged no more: the next backup succeeds and the line goes.
    QVERIFY(QDir().mkpath(settings.secondFolder));
    QVERIFY(backup->runNow());
    QVERIFY(finished.wait(30000));
    QVERIFY(label->isHidden());
}

void TestMainWindow::signingOutAndTheIdleSignOutLockMaintenanceAgain()
{
    Desk desk;
    QVERIFY(desk.signedIn);
    auto *user = desk.window.findChild<QLabel *>("labelUser");
    auto *interval = desk.window.findChild<QLineEdit *>("lineEditReadInterval");
    desk.action("actionSignOut")->trigger();
    QCOMPARE(user->text(), QString("未登录"));
    QVERIFY(!interval->isEnabled());
    QVERIFY(!desk.action("actionSignOut")->isEnabled());

    // The idle sign-out closes an administrator's dialog left open and says why in the status
    // bar.
    for (const char *name : {"actionChangePassword", "actionRunSettings"}) {
        QVERIFY(signInAs());
        QVERIFY(interval->isEnabled());
        bool dialogShown = false;
        QTimer::singleShot(0, [&] {
            dialogShown = QApplication::activeModalWidget() != nullptr;
            Accounts::instance().setIdleTimeout(1);
        });
        // Should the dialog outlive the sign-out, the test fails instead of waiting for ever.
        bool outlived = false;
        QTimer guard;
        guard.setSingleShot(true);
        QObject::connect(&guard, &QTimer::timeout, [&] {
            if (QWidget *dialog = QApplication::activeModalWidget()) {
                outlived = true;
                dialog->close();
            }
        });
        guard.start(10000);
        desk.action(name)->trigger();
        Accounts::instance().setIdleTimeout(Accounts::defaultIdleTimeoutMs);
        QVERIFY2(dialogShown, name);
        QVERIFY2(!outlived, name);
        QVERIFY(!Accounts::instance().isSignedIn());
        QCOMPARE(user->text(), QString("未登录(闲置超时,已自动注销)"));
        QVERIFY(!interval->isEnabled());
    }
    QTRY_VERIFY(auditRows().contains("admin|注销|闲置超时，自动注销"));
}

void TestMainWindow::instrumentSwitchesNeedAnAdministratorAndLeaveRows()
{
    SimulatorProcess sim({"3:DO580"});
    QVERIFY(sim.isReady());
    Station station(sim, {{"DO580", "一号池", 3}});
    QVERIFY(station.signedIn);
    MonitorBase *monitor = station.monitor(0);
    auto *record = station.page(0)->findChild<QCheckBox *>("checkBoxRecord");
    auto *run = station.page(0)->findChild<QCheckBox *>("checkBoxStatus");
    const QByteArray stored = station.dir.readFile("config/Monitor.json");
    const auto recorded = [&station] {
        const QJsonObject document =
            QJsonDocument::fromJson(station.dir.readFile("config/Monitor.json")).object();
        return document["monitor"].toArray().at(0)["record"].toBool();
    };
    QVERIFY(recorded());

    // Signed out: the page's switches and the grid's menu are each refused with one box.
    Accounts::instance().signOut();
    station.boxes.boxes.clear();
    record->click();
    run->click();
    auto *table = station.grid->findChild<QTableWidget *>();
    emit table->customContextMenuRequested(table->visualRect(table->model()->index(0, 0)).center());
    QMenu *menu = station.grid->findChild<QMenu *>();
    QTRY_VERIFY(menu->isVisible());
    menu->actions().at(1)->trigger(); // 开关
    menu->actions().at(2)->trigger(); // 记录
    menu->hide();
    QCOMPARE(station.boxes.boxes.size(), 4);
    for (const MessageBoxes::Box &box : station.boxes.boxes)
        QCOMPARE(box.text, QString("请先以管理员身份登录。"));
    QVERIFY(monitor->isRecord() && monitor->isRunning());
    QVERIFY(record->isChecked() && run->isChecked());
    QVERIFY(!station.cell(0)->findChild<QCheckBox *>("checkBox")->isHidden());
    QCOMPARE(station.dir.readFile("config/Monitor.json"), stored);

    // An administrator's changes are stored and leave a row each.
    QVERIFY(signInAs());
    record->click();
    QVERIFY(!monitor->isRecord());
    QVERIFY(!recorded());
    run->click();
    QVERIFY(!monitor->isRunning());
    QCOMPARE(station.storedMonitors(), QStringList({"一号池:0"}));
    QTRY_VERIFY(auditRows().contains("admin|关闭仪表|DO580 \"一号池\",从站 3"));
    const QStringList rows = auditRows();
    QVERIFY(rows.contains("admin|停止记录|DO580 \"一号池\",从站 3"));
    QCOMPARE(rows.filter("未登录|").size(), 0);
}

void TestMainWindow::anEmptyUserFileOnAStationWithRecordsKeepsSignInLocked()
{
    TempStation dir;
    // A station that stored readings, whose user.zdb was emptied and whose marker went too.
    AppContext::instance().init();
    auto *records = static_cast<RecordDatabase *>(AppContext::instance().object(RecordDb));
    QCOMPARE(records->insert(makeRecord("一号池", 0, "2024-01-02 08:00:00")), 0);
    AppContext::instance().shutdown();
    AppContext::instance().reset();
    QVERIFY(QFile::remove(dir.filePath("hydrovane.accounts")));
    QVERIFY(dir.writeFile("user/user.zdb", QByteArray()));

    MessageBoxRecorder boxes;
    AppContext::instance().init();
    MainWindow window;
    window.show();
    QTRY_COMPARE(boxes.boxes.size(), 1);
    QVERIFY2(boxes.boxes[0].text.contains("sudo hydrovane --passwd admin"),
             qPrintable(boxes.boxes[0].text));
    // Whoever is at the keyboard: no default admin, no other name.
    int answer = -1;
    Accounts::instance().signIn("admin", "", nullptr,
                                [&answer](const Accounts::Reply &reply) { answer = reply.result; });
    QTRY_COMPARE(answer, int(Accounts::NoAccounts));
    QVERIFY(!signInAs());
    QVERIFY(!Accounts::instance().isSignedIn());
    QCOMPARE(selectWithKey(AppContext::instance().path(UserDb), "SELECT count(*) FROM User"),
             QStringList({"0"}));
    boxes.boxes.clear();
    window.findChild<QAction *>("actionClearRecord")->trigger();
    QCOMPARE(boxes.boxes.size(), 1);
    QCOMPARE(boxes.boxes[0].text, QString("请先以管理员身份登录。"));
}

void TestMainWindow::trailRowsTheFileRefusesAreShownAndWrittenLater()
{
    Desk desk;
    QVERIFY(desk.signedIn);
    Accounts &accounts = Accounts::instance();
    accounts.waitForJobs();
    auto *label = desk.window.findChild<QLabel *>("labelTrail");
    QVERIFY(label->isHidden());
    // Another program holds user.zdb.
    zircon_db *other = nullptr;
    QCOMPARE(ZirconDatabase::openKeyedConnection(AppContext::instance().path(UserDb).toStdString(),
                                                 &other, 0, false),
             0);
    QCOMPARE(zircon_run_sql(other, "BEGIN EXCLUSIVE", nullptr, nullptr), 0);
    desk.boxes.boxes.clear();
    accounts.audit("清空", "一");
    QTRY_VERIFY(label->isVisible());
    QVERIFY2(label->text().startsWith("操作记录未保存：1 条待存"), qPrintable(label->text()));
    QTRY_COMPARE(desk.boxes.boxes.size(), 1);
    QVERIFY(desk.boxes.boxes[0].text.contains("暂存在内存中"));
    // One box for the episode, the count in the status bar.
    accounts.audit("导入", "二");
    QTRY_VERIFY(label->text().startsWith("操作记录未保存：2 条待存"));
    QCOMPARE(desk.boxes.boxes.size(), 1);

    zircon_run_sql(other, "COMMIT", nullptr, nullptr);
    zircon_close(other);
    QTRY_VERIFY_WITH_TIMEOUT(label->isHidden(), 3 * Accounts::trailRetryMs);
    const QStringList rows = auditRows();
    QCOMPARE(rows.mid(rows.size() - 2), QStringList({"admin|清空|一", "admin|导入|二"}));
    QCOMPARE(desk.boxes.boxes.size(), 1);
}

void TestMainWindow::severalLinesShareTheColumnAndOneSwitch()
{
    SimulatorProcess sim({"1:DI590:main=100"});
    SimulatorProcess gateway({"1:DI590:main=300"}, {}, SimulatorProcess::Gateway);
    TempStation dir;
    MessageBoxRecorder boxes;
    dir.writeFile("config/ComPort.json", comPortJson(sim.linkPath(), 9600, 0.3));
    const QJsonObject tcp{{"name", "池区网关"},
                          {"type", "tcp"},
                          {"host", "127.0.0.1"},
                          {"port", gateway.tcpPort()},
                          {"timeout", 0.3}};
    dir.writeFile("config/Lines.json",
                  QJsonDocument(QJsonObject{{"lines", QJsonArray{tcp}}}).toJson());
    dir.writeFile(
        "config/Monitor.json",
        monitorJson(1, {{"DI590", "一号", 1}, {"DI590", "网关一号", 1, true, true, "池区网关"}}));
    AppContext::instance().init();
    TrayWindow window;
    window.show();
    auto *stack = window.findChild<QStackedWidget *>("stackedWidgetLines");
    auto *system = window.findChild<QCheckBox *>("checkBoxSystem");
    QVERIFY(stack && system && system->isVisible());
    QCOMPARE(stack->count(), 2);
    auto *first = qobject_cast<WidgetComPort *>(stack->widget(0));
    auto *second = qobject_cast<WidgetComPort *>(stack->widget(1));
    QCOMPARE(first->findChild<QGroupBox *>()->title(), QString("串口1 串口配置"));
    QCOMPARE(second->findChild<QGroupBox *>()->title(), QString("池区网关 网关配置"));
    QCOMPARE(second->findChild<QLineEdit *>("lineEditHost")->text(), QString("127.0.0.1"));
    QCOMPARE(second->findChild<QCheckBox *>("checkBoxConnect")->text(), QString("线路开关"));

    // The gateway's monitor brings its line's panel.
    auto *list = window.findChild<WidgetMonitorList *>();
    list->slot_activeMonitor(list->collection().getMonitors().at(1));
    QCOMPARE(stack->currentIndex(), 1);

    // The system switch switches every line, and each line records its own instruments.
    system->click();
    QTRY_VERIFY(!first->isLineOff() && !second->isLineOff());
    QVERIFY(window.isRunning());
    const auto stored = [](const char *name) {
        return selectWithKey(AppContext::instance().path(RecordDb),
                             qPrintable(QStringLiteral("SELECT value FROM Record WHERE name='%1' "
                                                       "AND status='N' AND channel=0 LIMIT 1")
                                            .arg(QString::fromUtf8(name))));
    };
    QTRY_COMPARE_WITH_TIMEOUT(stored("网关一号"), QStringList("3.00"), 15000);
    QTRY_COMPARE_WITH_TIMEOUT(stored("一号"), QStringList("1.00"), 15000);
    // One line off: the station still runs, the system switch is partly on.
    second->switchOff();
    QTRY_VERIFY(second->isLineOff());
    QVERIFY(window.isRunning());
    QCOMPARE(system->checkState(), Qt::PartiallyChecked);
    system->click(); // all on again
    QTRY_VERIFY(!second->isLineOff());
    system->click();
    QTRY_VERIFY(first->isLineOff() && second->isLineOff());
    QVERIFY(!window.isRunning());
    QCOMPARE(system->checkState(), Qt::Unchecked);
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
