// The station end to end: the main window with its panels against simulated instruments,
// from switching the line on to the stored records and back off.
#include "acquisition/comportreader.h"
#include "acquisition/monitorbase.h"
#include "app/appcontext.h"
#include "app/mainwindow.h"
#include "history/widgetaxesdisplay.h"
#include "panels/widgetcomport.h"
#include "panels/widgetmonitordisplay.h"
#include "panels/widgetmonitorlist.h"
#include "panels/widgetmonitorsimple.h"
#include "panels/widgetmonitorsimplelist.h"
#include "storage/recordwriter.h"
#include "testsupport.h"

#include <QCheckBox>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLCDNumber>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QStackedWidget>
#include <QTabWidget>
#include <QTableWidget>
#include <QTreeView>
#include <QtTest>

#include <qcustomplot.h>

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
    }
    ~Station() { delete window; }

    void switchLine(bool on) { comPort->findChild<QCheckBox *>("checkBoxConnect")->setChecked(on); }
    MonitorBase *monitor(int i) const { return list->collection().getMonitors().at(size_t(i)); }
    WidgetMonitorDisplay *display(int i) const
    {
        return static_cast<WidgetMonitorDisplay *>(monitor(i)->views.at(0));
    }
    WidgetMonitorSimple *cell(int i) const
    {
        return static_cast<WidgetMonitorSimple *>(monitor(i)->views.at(1));
    }
    QString factorText(int i, int row, int column) const
    {
        const QTableWidgetItem *item =
            display(i)->findChild<QTableWidget *>("tableWidgetFactor")->item(row, column);
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
};

const QStringList instruments = {"1:DI590:main=725,temper=201",
                                 "2:DO580:mode=0,temp=2,main=700,temper=250,r0on=1,r0sp=900",
                                 "3:RA550:mode=0,variant=0,temp=1,main=150", "4:RO592"};
const QList<MonitorEntry> monitors = {{"DI590", "溶解氧", 1},
                                      {"DO580", "pH", 2},
                                      {"RA550", "余氯", 3},
                                      {"RO592", "不记录", 4, true, false}};

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void layoutShowsTheOverviewFirst();
    void readingsReachTablesCellsGraphsAndRecords();
    void cellsAndMenusLeadToTheMonitor();
    void monitorsAreAddedAndRemovedOnlyWhileTheLineIsOff();
    void settingsProblemsAreShownOnceAtStart();
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
                station.display(i)->findChild<QTabWidget *>()->widget(row + 1));
            QVERIFY(graph->valueGraph()->dataCount() >= 2);
        }
        auto *indicator = station.cell(i)->findChild<QCheckBox *>("checkBox");
        QVERIFY(indicator->isChecked());
        QVERIFY(station.display(i)->findChild<QCheckBox *>("checkBoxRun")->isChecked());
    }
    QCOMPARE(station.display(2)->findChild<QTableWidget *>("tableWidgetFactor")->rowCount(), 1);
    QVERIFY(lcdShows(station.cell(0)->findChild<QLCDNumber *>(), "7.25"));
    QVERIFY(lcdShows(station.cell(2)->findChild<QLCDNumber *>(), "1.50"));
    QCOMPARE(station.cell(1)->findChild<QLabel *>("labelUnit")->text(), QString("pH"));
    QCOMPARE(station.cell(0)->findChild<QLabel *>("labelUnit")->text(), QString("ppm"));

    station.switchLine(false);
    QVERIFY(!station.window->isRunning());
    for (int i = 0; i < 4; ++i) {
        QVERIFY(!station.monitor(i)->isSynced());
        QVERIFY(lcdShows(station.cell(i)->findChild<QLCDNumber *>(), "0"));
        QVERIFY(station.cell(i)->findChild<QLabel *>("labelUnit")->text().isEmpty());
        QVERIFY(!station.cell(i)->findChild<QCheckBox *>("checkBox")->isChecked());
        QVERIFY(!station.display(i)->findChild<QCheckBox *>("checkBoxRun")->isChecked());
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
    // Readings of different passes have different times.
    QVERIFY(byName["溶解氧"][0].section('|', 3, 3) != byName["溶解氧"][2].section('|', 3, 3));
}

void TestMainWindow::cellsAndMenusLeadToTheMonitor()
{
    SimulatorProcess sim(instruments);
    QVERIFY(sim.isReady());
    Station station(sim, monitors);
    QVERIFY(QTest::qWaitForWindowExposed(station.window));
    auto *tree = station.list->findChild<QTreeView *>();

    // A double click on a cell shows its page and selects its monitor in the tree.
    QLCDNumber *lcd = station.cell(2)->findChild<QLCDNumber *>();
    QTest::mouseClick(lcd, Qt::LeftButton);
    QTest::mouseDClick(lcd, Qt::LeftButton);
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
    QVERIFY(!station.display(1)->findChild<QCheckBox *>("checkBoxStatus")->isChecked());
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
    QTest::qWait(50);
    QCOMPARE(boxes.boxes.size(), 1);
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
