// The detail panel against simulated instruments: sync, the tables and graphs it builds, the
// readings it shows and records, and its switches.
#include "app/appcontext.h"
#include "instruments/monitorbase.h"
#include "instruments/monitorcollection.h"
#include "panels/recordhandoff.h"
#include "panels/widgetmonitordisplay.h"
#include "testsupport.h"
#include "trend/widgetaxesdisplay.h"

#include <QCheckBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTableWidget>
#include <QtTest>

#include <qcustomplot.h>

namespace {

const char *const recordQuery = "SELECT time, model, name, slave, channel, factor, unit, value, "
                                "status FROM Record ORDER BY uid";

// A station directory, with its record database open, for the panels of a test.
struct Station : TempStation
{
    Station() { AppContext::instance().init(); }
};

// One monitor and its panel.
struct Fixture
{
    Fixture(const char *model, const std::string &name, int id, bool record = true)
    {
        monitor = collection.create(model, name, id, -1, true, record);
        display = new WidgetMonitorDisplay;
        display->setMonitor(monitor);
    }
    ~Fixture()
    {
        delete display;
        qDeleteAll(collection.getMonitors());
    }
    // What a sync on the reader thread and its answer do.
    void sync(SimulatorProcess &sim)
    {
        display->syncMonitor(sim.context());
        display->on_syncDone(display->syncToken());
    }
    void readAndShow(SimulatorProcess &sim, int interval = 30)
    {
        monitor->read(sim.context());
        display->showReading(interval);
    }
    // Ends the panel, which stores every row handed to its writer, and returns the rows.
    QStringList storedRows()
    {
        delete display;
        display = nullptr;
        return selectWithKey(AppContext::instance().path(RecordDb), recordQuery);
    }
    // The page with its widgets, built if it never was.
    WidgetMonitorDisplay *page() const
    {
        display->ensureBuilt();
        return display;
    }
    QTableWidget *table(const char *name) const { return page()->findChild<QTableWidget *>(name); }
    QString text(const char *tableName, int row, int column) const
    {
        const QTableWidgetItem *item = table(tableName)->item(row, column);
        return item ? item->text() : QStringLiteral("<none>");
    }
    QCheckBox *checkBox(const char *name) const { return page()->findChild<QCheckBox *>(name); }
    QTabWidget *tabs() const { return page()->findChild<QTabWidget *>("tabWidgetMonitor"); }
    WidgetAxesDisplay *graph(int factor) const
    {
        return qobject_cast<WidgetAxesDisplay *>(tabs()->widget(factor + 1));
    }

    MonitorCollection collection;
    MonitorBase *monitor;
    WidgetMonitorDisplay *display;
};

QString switchSheet(const char *off, const char *on)
{
    return QStringLiteral(
               "QCheckBox::indicator::unchecked {   \n    image: url(:/res/image/%1);\n}"
               "\n\nQCheckBox::indicator::checked { \n    image: url(:/res/image/%2);\n}")
        .arg(QLatin1String(off), QLatin1String(on));
}

QStringList headers(QTableWidget *table)
{
    QStringList texts;
    for (int i = 0; i < table->columnCount(); ++i)
        texts << table->horizontalHeaderItem(i)->text();
    return texts;
}

} // namespace

class TestWidgetMonitorDisplay : public QObject
{
    Q_OBJECT

private slots:
    void formShowsTheMonitorAndStaysEmptyUntilSynced();
    void syncBuildsRelayTableFactorRowsAndGraphs();
    void answersForOtherPanelsAreIgnored();
    void readingsAreShownSentToTheCellAndRecordedWithOneTime();
    void failedExchangesAreShownAndRecordedWithStatusB();
    void recordingOffStoresNothing();
    void runSwitchOffStopsTheMonitorAndTheCell();
    void cellSwitchesDriveThePanelSwitchesOnlyOnChange();
    void switchesAreRefusedWithoutMaintenanceAndChangesAreTold();
    void lineOffMarksUnsyncedAndSendsTheStoppedReading();
    void failedSyncSaysWhyAndHidesTheLastReading();
    void rowsAfterARenameCarryTheNewName();
    void syncButtonTriesADemotedMonitorAtOnce();
    void pageNeverOpenedWorksAndShowsWhatItKeptWhenOpened();
};

void TestWidgetMonitorDisplay::formShowsTheMonitorAndStaysEmptyUntilSynced()
{
    Station station;
    Fixture f("DI590", "池一", 7);
    WidgetMonitorDisplay *display = f.display;
    QVERIFY(!display->isBuilt());
    display->ensureBuilt();
    QCOMPARE(display->size(), QSize(633, 468));
    QCOMPARE(display->font().family(), QString("微软雅黑"));
    QCOMPARE(display->font().pointSize(), 12);
    QCOMPARE(f.monitor->views.at(0), static_cast<void *>(display));
    QCOMPARE(f.tabs()->count(), 1);
    QCOMPARE(f.tabs()->tabText(0), QString("池一"));
    QCOMPARE(display->findChild<QPushButton *>("pushButtonSync")->text(), QString("同步"));
    QCOMPARE(display->findChild<QLineEdit *>("lineEditName")->text(), QString("DI590"));
    QCOMPARE(display->findChild<QLineEdit *>("lineEditId")->text(), QString("7"));
    auto *channel = display->findChild<QLineEdit *>("lineEditChannel");
    QVERIFY(!channel->isEnabled());
    QVERIFY(channel->text().isEmpty());
    QVERIFY(display->findChild<QLineEdit *>("lineEditName")->isReadOnly());

    QCOMPARE(f.checkBox("checkBoxStatus")->text(), QString("开关"));
    QCOMPARE(f.checkBox("checkBoxRecord")->text(), QString("记录"));
    QCOMPARE(f.checkBox("checkBoxStatus")->styleSheet(),
             switchSheet("switch_off.png", "switch_on.png"));
    QCOMPARE(f.checkBox("checkBoxRecord")->styleSheet(),
             switchSheet("switch_off.png", "switch_on.png"));
    QCOMPARE(f.checkBox("checkBoxRun")->styleSheet(), switchSheet("stop.png", "running.png"));
    QVERIFY(!f.checkBox("checkBoxRun")->isEnabled());
    QVERIFY(f.checkBox("checkBoxStatus")->isChecked());
    QVERIFY(f.checkBox("checkBoxRecord")->isChecked());
    // The style sheets keep the panel's font.
    QCOMPARE(f.checkBox("checkBoxStatus")->font().family(), QString("微软雅黑"));

    QTableWidget *factors = f.table("tableWidgetFactor");
    QCOMPARE(headers(factors), QStringList({"监测因子", "读值", "单位", "状态", "时间"}));
    QTableWidget *relays = f.table("tableWidgetRelay");
    QCOMPARE(headers(relays), QStringList({"继电器", "开关", "报警点", "迟滞量"}));
    for (QTableWidget *table : {factors, relays}) {
        QCOMPARE(table->editTriggers(), QAbstractItemView::NoEditTriggers);
        QVERIFY(table->verticalHeader()->isHidden());
        QCOMPARE(table->horizontalHeader()->styleSheet(),
                 QString("QHeaderView::section{background:lightblue;}"));
    }
    QCOMPARE(relays->horizontalHeader()->sectionResizeMode(0), QHeaderView::Stretch);

    // Never synced: both tables empty; the first reading asks for a sync instead.
    QCOMPARE(factors->rowCount(), 0);
    QCOMPARE(relays->rowCount(), 2);
    QCOMPARE(f.text("tableWidgetRelay", 0, 0), QString("<none>"));
    QSignalSpy sync(display, &WidgetMonitorDisplay::signal_sync);
    QSignalSpy result(display, &WidgetMonitorDisplay::signal_updateResult);
    display->showReading(5);
    QCOMPARE(sync.count(), 1);
    QCOMPARE(sync.at(0).at(0).value<void *>(), display->syncToken());
    QCOMPARE(result.count(), 0);
    display->findChild<QPushButton *>("pushButtonSync")->click();
    QCOMPARE(sync.count(), 2);

    // A monitor switched off shows no run indicator.
    MonitorBase *off = f.collection.create("RA550", "off", 8, -1, false, true);
    WidgetMonitorDisplay second;
    second.setMonitor(off);
    // Showing the page builds it.
    second.show();
    QVERIFY(second.isBuilt());
    QVERIFY(second.findChild<QCheckBox *>("checkBoxRun")->isHidden());
    QVERIFY(!second.findChild<QCheckBox *>("checkBoxStatus")->isChecked());
}

void TestWidgetMonitorDisplay::syncBuildsRelayTableFactorRowsAndGraphs()
{
    SimulatorProcess sim({"3:DI590:r0on=1,r0sp=1200,r0hy=50,r1on=0,r1sp=400,r1hy=25",
                          "4:DO580:mode=0,temp=2,r0on=0,r1on=1,r1sp=650,r1hy=10"});
    QVERIFY(sim.isReady());
    Station station;
    Fixture f("DI590", "a", 3);
    f.display->showReading(9); // unsynced: keeps the interval for the graphs
    f.sync(sim);
    QVERIFY(f.monitor->isSynced());
    QVERIFY(f.checkBox("checkBoxRun")->isChecked());

    const QStringList relayRows[2] = {{"高点控制", "打开", "12.00ppm", "0.50ppm"},
                                      {"低点控制", "关闭", "4.00ppm", "0.25ppm"}};
    for (int row = 0; row < 2; ++row) {
        for (int column = 0; column < 4; ++column) {
            QCOMPARE(f.text("tableWidgetRelay", row, column), relayRows[row][column]);
            QCOMPARE(f.table("tableWidgetRelay")->item(row, column)->textAlignment(),
                     int(Qt::AlignCenter));
        }
    }
    QTableWidget *factors = f.table("tableWidgetFactor");
    QCOMPARE(factors->rowCount(), 2);
    const QStringList factorRows[2] = {{"DO", "", "ppm", "B", ""}, {"Temper", "", "℃", "B", ""}};
    for (int row = 0; row < 2; ++row) {
        for (int column = 0; column < 5; ++column)
            QCOMPARE(f.text("tableWidgetFactor", row, column), factorRows[row][column]);
    }
    QCOMPARE(f.tabs()->count(), 3);
    QCOMPARE(f.tabs()->tabText(1), QString("DO"));
    QCOMPARE(f.tabs()->tabText(2), QString("Temper"));
    QCOMPARE(f.tabs()->currentIndex(), 0);
    const QCustomPlot *plot = f.graph(0)->plot();
    QCOMPARE(plot->yAxis->label(), QString("ppm"));
    QCOMPARE(plot->yAxis->range().lower, 0.0);
    QCOMPARE(plot->yAxis->range().upper, 20.0);
    // The controlled factor shows the high point that is on, not the low one that is off.
    f.readAndShow(sim);
    QCOMPARE(f.graph(0)->highGraph()->dataCount(), 1);
    QCOMPARE(f.graph(0)->lowGraph()->dataCount(), 0);
    QCOMPARE(f.graph(1)->highGraph()->dataCount(), 0);

    // A later sync rebuilds rather than adds.
    f.sync(sim);
    QCOMPARE(f.tabs()->count(), 3);
    QCOMPARE(factors->rowCount(), 2);

    // A factor without a unit shows its key as the unit and the axis label.
    Fixture ph("DO580", "b", 4);
    ph.sync(sim);
    ph.readAndShow(sim);
    QCOMPARE(ph.text("tableWidgetFactor", 0, 0), QString("pH"));
    QCOMPARE(ph.text("tableWidgetFactor", 0, 2), QString("pH"));
    QCOMPARE(ph.graph(0)->plot()->yAxis->label(), QString("pH"));
    QCOMPARE(ph.text("tableWidgetRelay", 1, 2), QString("6.50"));
    QCOMPARE(ph.graph(0)->lowGraph()->dataCount(), 1);
    QCOMPARE(ph.graph(0)->highGraph()->dataCount(), 0);

    // A failed sync empties the tables and the graphs.
    sim.kill();
    f.sync(sim);
    QVERIFY(!f.monitor->isSynced());
    QCOMPARE(factors->rowCount(), 0);
    QCOMPARE(f.tabs()->count(), 1);
    QCOMPARE(f.text("tableWidgetRelay", 0, 0), QString("<none>"));
}

void TestWidgetMonitorDisplay::answersForOtherPanelsAreIgnored()
{
    SimulatorProcess sim({"3:DI590"});
    QVERIFY(sim.isReady());
    Station station;
    Fixture f("DI590", "a", 3);
    f.display->syncMonitor(sim.context());
    QVERIFY(f.monitor->isSynced());
    // The panel's plain address is not its answer; nor is another panel's.
    f.display->on_syncDone(static_cast<void *>(static_cast<QWidget *>(f.display)));
    WidgetMonitorDisplay other;
    f.display->on_syncDone(other.syncToken());
    QCOMPARE(f.table("tableWidgetFactor")->rowCount(), 0);
    f.display->on_syncDone(f.display->syncToken());
    QCOMPARE(f.table("tableWidgetFactor")->rowCount(), 2);
}

void TestWidgetMonitorDisplay::readingsAreShownSentToTheCellAndRecordedWithOneTime()
{
    SimulatorProcess sim(
        {"5:DO580:mode=0,temp=2,main=1700,temper=253", "6:DI590:main=725,temper=-15"});
    QVERIFY(sim.isReady());
    Station station;
    Fixture f("DO580", "pH池", 5);
    f.sync(sim);
    QSignalSpy result(f.display, &WidgetMonitorDisplay::signal_updateResult);
    f.readAndShow(sim);

    // pH 17.00 is implausible: "----" in the table and the cell, the value in the graph.
    QCOMPARE(f.text("tableWidgetFactor", 0, 1), QString("----"));
    QCOMPARE(f.text("tableWidgetFactor", 0, 3), QString("F"));
    QCOMPARE(f.text("tableWidgetFactor", 1, 1), QString("25.3"));
    QCOMPARE(f.text("tableWidgetFactor", 1, 3), QString("N"));
    const QString time = f.text("tableWidgetFactor", 0, 4);
    QVERIFY(QDateTime::fromString(time, "yyyy-MM-dd hh:mm:ss").isValid());
    QCOMPARE(f.text("tableWidgetFactor", 1, 4), time);
    QCOMPARE(f.graph(0)->valueGraph()->dataCount(), 1);
    QCOMPARE(f.graph(0)->valueGraph()->data()->at(0)->value, 17.0);
    QCOMPARE(float(f.graph(1)->valueGraph()->data()->at(0)->value), 25.3f);
    QCOMPARE(result.count(), 1);
    QCOMPARE(result.at(0), QVariantList({"17.00", "pH", "F"}));
    QVERIFY(!f.checkBox("checkBoxRun")->isChecked());
    const QStringList rows = f.storedRows();
    QCOMPARE(rows, QStringList({time + "|DO580|pH池|5|0|pH|pH|17.00|F",
                                time + "|DO580|pH池|5|1|Temper|℃|25.3|N"}));

    Fixture d("DI590", "溶解氧", 6);
    d.sync(sim);
    QSignalSpy normal(d.display, &WidgetMonitorDisplay::signal_updateResult);
    d.readAndShow(sim);
    d.readAndShow(sim);
    QCOMPARE(normal.count(), 2);
    QCOMPARE(normal.at(1), QVariantList({"7.25", "ppm", "N"}));
    QVERIFY(d.checkBox("checkBoxRun")->isChecked());
    QCOMPARE(d.text("tableWidgetFactor", 1, 1), QString("-1.5"));
    QCOMPARE(d.graph(0)->valueGraph()->dataCount(), 2);

    const QStringList more = d.storedRows();
    QCOMPARE(more.size(), 6); // the panel above and two readings of two factors here
    QCOMPARE(more.mid(2).filter("|溶解氧|6|0|DO|ppm|7.25|N").size(), 2);
    QCOMPARE(more.mid(2).filter("|溶解氧|6|1|Temper|℃|-1.5|N").size(), 2);
    // One time stamp per reading, shared by its factors.
    QCOMPARE(more[2].section('|', 0, 0), more[3].section('|', 0, 0));
    QCOMPARE(more[4].section('|', 0, 0), more[5].section('|', 0, 0));

    // A pass hands the rows of all its pages at once, in the order read; a page that goes
    // while the pass is still open stores its rows first.
    Fixture p("DO580", "一池", 5);
    Fixture q("DI590", "二池", 6);
    p.sync(sim);
    q.sync(sim);
    QSignalSpy batches(RecordHandOff::current(), &RecordHandOff::signal_rows);
    {
        const RecordHandOff::Pass pass;
        p.readAndShow(sim);
        q.readAndShow(sim);
        QCOMPARE(batches.count(), 0);
    }
    QCOMPARE(batches.count(), 1);
    QCOMPARE(batches.at(0).at(2).toInt(), 4);
    QStringList names;
    {
        const RecordHandOff::Pass pass;
        q.readAndShow(sim);
        for (const QString &row : q.storedRows())
            names << row.section('|', 2, 2) + row.section('|', 5, 5);
    }
    QCOMPARE(names.mid(6),
             QStringList({"一池pH", "一池Temper", "二池DO", "二池Temper", "二池DO", "二池Temper"}));
}

void TestWidgetMonitorDisplay::failedExchangesAreShownAndRecordedWithStatusB()
{
    SimulatorProcess sim({"2:RA550:mode=0,variant=1,temp=1"});
    QVERIFY(sim.isReady());
    Station station;
    Fixture f("RA550", "余氯", 2);
    f.sync(sim);
    QCOMPARE(f.table("tableWidgetFactor")->rowCount(), 1);
    sim.kill();
    QSignalSpy result(f.display, &WidgetMonitorDisplay::signal_updateResult);
    f.readAndShow(sim);
    // A synced monitor that stops answering stays synced; the 0 it carries is not shown, but
    // the record keeps the stored value text with its status.
    QVERIFY(f.monitor->isSynced());
    QCOMPARE(f.text("tableWidgetFactor", 0, 1), QString("----"));
    QCOMPARE(f.text("tableWidgetFactor", 0, 3), QString("B"));
    QCOMPARE(result.at(0), QVariantList({"0.000", "ppm", "B"}));
    const QStringList rows = f.storedRows();
    QCOMPARE(rows.size(), 1);
    QVERIFY(rows[0].endsWith("|RA550|余氯|2|0|RCL|ppm|0.000|B"));
}

void TestWidgetMonitorDisplay::recordingOffStoresNothing()
{
    SimulatorProcess sim({"1:RO592"});
    QVERIFY(sim.isReady());
    Station station;
    Fixture f("RO592", "r", 1);
    f.sync(sim);
    QSignalSpy changed(f.display, &WidgetMonitorDisplay::signal_changedMonitor);
    f.checkBox("checkBoxRecord")->setChecked(false);
    QVERIFY(!f.monitor->isRecord());
    QCOMPARE(changed.count(), 1);
    QCOMPARE(changed.at(0).at(0).value<MonitorBase *>(), f.monitor);
    f.readAndShow(sim);
    // Shown, not stored.
    QCOMPARE(f.text("tableWidgetFactor", 0, 3), QString("N"));
    QCOMPARE(f.storedRows(), QStringList());
}

void TestWidgetMonitorDisplay::runSwitchOffStopsTheMonitorAndTheCell()
{
    SimulatorProcess sim({"3:DI590"});
    QVERIFY(sim.isReady());
    Station station;
    Fixture f("DI590", "a", 3);
    f.sync(sim);
    f.readAndShow(sim);
    QSignalSpy result(f.display, &WidgetMonitorDisplay::signal_updateResult);
    QSignalSpy status(f.display, &WidgetMonitorDisplay::signal_updateStatus);
    QSignalSpy changed(f.display, &WidgetMonitorDisplay::signal_changedMonitor);

    f.checkBox("checkBoxStatus")->setChecked(false);
    QVERIFY(!f.monitor->isRunning());
    QVERIFY(!f.monitor->isSynced());
    QVERIFY(f.checkBox("checkBoxRun")->isHidden());
    QVERIFY(!f.checkBox("checkBoxRun")->isChecked());
    QCOMPARE(result.count(), 1);
    QCOMPARE(result.at(0), QVariantList({"0", "", "B"}));
    QCOMPARE(status.count(), 1);
    QCOMPARE(status.at(0).at(0).toBool(), false);
    QCOMPARE(changed.count(), 1);
    // The last reading stays on the page.
    QCOMPARE(f.table("tableWidgetFactor")->rowCount(), 2);
    QCOMPARE(f.text("tableWidgetFactor", 0, 3), QString("N"));

    f.checkBox("checkBoxStatus")->setChecked(true);
    QVERIFY(f.monitor->isRunning());
    QVERIFY(!f.checkBox("checkBoxRun")->isHidden());
    QCOMPARE(status.at(1).at(0).toBool(), true);
    QCOMPARE(result.count(), 1);
    // Synced again before its next reading.
    QSignalSpy sync(f.display, &WidgetMonitorDisplay::signal_sync);
    f.readAndShow(sim);
    QCOMPARE(sync.count(), 1);

    // Switched off while unsynced: no stopped reading, but no sync in flight may sync it.
    f.checkBox("checkBoxStatus")->setChecked(false);
    QCOMPARE(result.count(), 1);
}

void TestWidgetMonitorDisplay::cellSwitchesDriveThePanelSwitchesOnlyOnChange()
{
    Station station;
    Fixture f("DI590", "a", 3);
    QSignalSpy changed(f.display, &WidgetMonitorDisplay::signal_changedMonitor);
    f.display->slot_updateStatus(true);
    f.display->slot_updateRecord(true);
    QCOMPARE(changed.count(), 0);
    f.display->slot_updateStatus(false);
    QVERIFY(!f.checkBox("checkBoxStatus")->isChecked());
    QVERIFY(!f.monitor->isRunning());
    f.display->slot_updateRecord(false);
    QVERIFY(!f.checkBox("checkBoxRecord")->isChecked());
    QVERIFY(!f.monitor->isRecord());
    QCOMPARE(changed.count(), 2);
}

void TestWidgetMonitorDisplay::switchesAreRefusedWithoutMaintenanceAndChangesAreTold()
{
    Station station;
    MessageBoxRecorder boxes;
    Fixture f("DI590", "曝气池", 3);
    QSignalSpy changed(f.display, &WidgetMonitorDisplay::signal_changedMonitor);
    QSignalSpy status(f.display, &WidgetMonitorDisplay::signal_updateStatus);
    QSignalSpy told(f.display, &WidgetMonitorDisplay::signal_maintenance);
    f.display->setMaintenanceAllowed(false);
    QCOMPARE(f.checkBox("checkBoxRecord")->toolTip(), QString("请先以管理员身份登录。"));

    // Clicked on the page, and asked from the grid's menu: each refused with one box.
    f.checkBox("checkBoxRecord")->click();
    f.checkBox("checkBoxStatus")->click();
    f.display->slot_updateRecord(false);
    f.display->slot_updateStatus(false);
    QCOMPARE(boxes.boxes.size(), 4);
    for (const MessageBoxes::Box &box : boxes.boxes)
        QCOMPARE(box.text, QString("请先以管理员身份登录。"));
    QVERIFY(f.checkBox("checkBoxRecord")->isChecked() && f.checkBox("checkBoxStatus")->isChecked());
    QVERIFY(f.monitor->isRecord() && f.monitor->isRunning());
    QCOMPARE(changed.count(), 0);
    QCOMPARE(told.count(), 0);
    // The grid's cell, which may already show what its menu asked, is set back.
    QCOMPARE(status.count(), 2);
    QVERIFY(status.at(0).at(0).toBool() && status.at(1).at(0).toBool());

    boxes.boxes.clear();
    f.display->setMaintenanceAllowed(true);
    f.checkBox("checkBoxRecord")->click();
    f.checkBox("checkBoxStatus")->click();
    f.checkBox("checkBoxRecord")->click();
    QVERIFY(boxes.boxes.isEmpty());
    QVERIFY(f.monitor->isRecord() && !f.monitor->isRunning());
    QCOMPARE(changed.count(), 3);
    QCOMPARE(told.count(), 3);
    const QString name = "DI590 \"曝气池\",从站 3";
    QCOMPARE(told.at(0), QVariantList({"停止记录", name}));
    QCOMPARE(told.at(1), QVariantList({"关闭仪表", name}));
    QCOMPARE(told.at(2), QVariantList({"开启记录", name}));
}

void TestWidgetMonitorDisplay::lineOffMarksUnsyncedAndSendsTheStoppedReading()
{
    SimulatorProcess sim({"3:DI590"});
    QVERIFY(sim.isReady());
    Station station;
    Fixture f("DI590", "a", 3);
    f.sync(sim);
    f.readAndShow(sim);
    QVERIFY(f.checkBox("checkBoxRun")->isChecked());
    QSignalSpy result(f.display, &WidgetMonitorDisplay::signal_updateResult);
    f.display->slot_stopRead();
    QVERIFY(!f.monitor->isSynced());
    QVERIFY(!f.checkBox("checkBoxRun")->isChecked());
    QVERIFY(f.monitor->isRunning());
    QCOMPARE(result.at(0), QVariantList({"0", "", "B"}));
}

void TestWidgetMonitorDisplay::failedSyncSaysWhyAndHidesTheLastReading()
{
    Station station;
    Fixture f("DI590", "a", 3);
    auto *cause = f.page()->findChild<QLabel *>("labelSyncFailure");
    QVERIFY(cause->text().isEmpty());
    QSignalSpy causes(f.display, &WidgetMonitorDisplay::signal_updateSyncFailure);
    QSignalSpy result(f.display, &WidgetMonitorDisplay::signal_updateResult);
    {
        SimulatorProcess healthy({"3:DI590"});
        f.sync(healthy);
        f.readAndShow(healthy);
    }
    QCOMPARE(result.last().at(2).toString(), QString("N"));
    SimulatorProcess other({"3:RO592"});
    f.sync(other);
    const QString text = "未同步：型号不符（仪表报告 RO592）";
    QCOMPARE(cause->text(), text);
    QCOMPARE(causes.last().at(0).toString(), text);
    // The cell no longer shows the reading of an instrument that is not the one configured.
    QCOMPARE(result.last(), QVariantList({"0", "", "B"}));
    QVERIFY(!f.checkBox("checkBoxRun")->isChecked());

    SimulatorProcess healthy({"3:DI590"});
    f.sync(healthy);
    QVERIFY(cause->text().isEmpty());
    QVERIFY(causes.last().at(0).toString().isEmpty());
}

void TestWidgetMonitorDisplay::rowsAfterARenameCarryTheNewName()
{
    SimulatorProcess sim({"3:DI590:temp=1"});
    QVERIFY(sim.isReady());
    Station station;
    Fixture f("DI590", "old", 3);
    f.sync(sim);
    f.readAndShow(sim);
    f.monitor->setUsername("new/\"name\"");
    f.display->updateName();
    QCOMPARE(f.tabs()->tabText(0), QString("new/\"name\""));
    f.readAndShow(sim);
    const QStringList rows = f.storedRows();
    QCOMPARE(rows.size(), 2);
    QVERIFY(rows[0].contains("|old|"));
    QVERIFY(rows[1].contains("|new/\"name\"|"));
}

void TestWidgetMonitorDisplay::syncButtonTriesADemotedMonitorAtOnce()
{
    Station station;
    Fixture f("DI590", "a", 3);
    {
        SimulatorProcess healthy({"3:DI590"});
        f.sync(healthy);
    }
    {
        // Nobody answers to id 3 here: demoted after the failures in a row.
        SimulatorProcess without({"4:DI590"});
        for (int i = 0; i < LineHealth::demoteAfter; ++i)
            f.readAndShow(without);
        QVERIFY(f.monitor->healthSnapshot().demoted);
        f.monitor->clearSynced();
    }
    SimulatorProcess healthy({"3:DI590"});
    QSignalSpy asked(f.display, &WidgetMonitorDisplay::signal_sync);
    f.page()->findChild<QPushButton *>("pushButtonSync")->click();
    QCOMPARE(asked.size(), 1);
    // The reader's part of the request: no wait for the monitor's next retry.
    f.sync(healthy);
    QVERIFY(f.monitor->isSynced());
    QVERIFY(!f.monitor->healthSnapshot().demoted);
}

void TestWidgetMonitorDisplay::pageNeverOpenedWorksAndShowsWhatItKeptWhenOpened()
{
    SimulatorProcess sim({"3:DI590:main=725,temper=253,r0on=1,r0sp=1200,r0hy=50,r1on=0"});
    QVERIFY(sim.isReady());
    Station station;
    MessageBoxRecorder boxes;
    Fixture f("DI590", "池三", 3);
    QSignalSpy result(f.display, &WidgetMonitorDisplay::signal_updateResult);
    QSignalSpy causes(f.display, &WidgetMonitorDisplay::signal_updateSyncFailure);
    QSignalSpy records(RecordHandOff::current(), &RecordHandOff::signal_rows);
    f.sync(sim);
    f.readAndShow(sim);
    f.display->recordMissed(QDateTime::currentSecsSinceEpoch() + 60);
    f.readAndShow(sim);
    f.display->setAlarm("DO", "DO 高于 5.00");
    f.display->setMaintenanceAllowed(false);
    f.display->slot_updateRecord(false);
    QCOMPARE(boxes.boxes.size(), 1);
    QVERIFY(f.monitor->isRecord());

    // All of it happened without a widget of the page.
    QVERIFY(!f.display->isBuilt());
    QVERIFY(!f.display->findChild<QTableWidget *>());
    QCOMPARE(f.display->factorCount(), 2);
    QCOMPARE(result.count(), 2);
    QCOMPARE(result.last(), QVariantList({"7.25", "ppm", "N"}));
    QCOMPARE(causes.last().at(0).toString(), QString());
    QCOMPARE(records.count(), 6);

    const QStringList relayRow = {"高点控制", "打开", "12.00ppm", "0.50ppm"};
    for (int column = 0; column < 4; ++column)
        QCOMPARE(f.text("tableWidgetRelay", 0, column), relayRow[column]);
    QVERIFY(f.display->isBuilt());
    const QString time = f.text("tableWidgetFactor", 0, 4);
    QVERIFY(QDateTime::fromString(time, "yyyy-MM-dd hh:mm:ss").isValid());
    const QStringList factorRows[2] = {{"DO", "7.25", "ppm", "N", time},
                                       {"Temper", "25.3", "℃", "N", time}};
    for (int row = 0; row < 2; ++row) {
        for (int column = 0; column < 5; ++column)
            QCOMPARE(f.text("tableWidgetFactor", row, column), factorRows[row][column]);
    }
    QCOMPARE(f.table("tableWidgetFactor")->item(0, 1)->toolTip(), QString("DO 高于 5.00"));
    QCOMPARE(f.table("tableWidgetFactor")->item(1, 1)->toolTip(), QString());
    QVERIFY(f.checkBox("checkBoxRun")->isChecked());
    QVERIFY(f.checkBox("checkBoxStatus")->isChecked() && f.checkBox("checkBoxRecord")->isChecked());
    QCOMPARE(f.checkBox("checkBoxStatus")->toolTip(), QString("请先以管理员身份登录。"));
    // The graphs got every point, the missed interval's 0 between the readings.
    QCOMPARE(f.tabs()->count(), 3);
    QCOMPARE(f.graph(0)->valueGraph()->dataCount(), 3);
    QCOMPARE(f.graph(0)->valueGraph()->data()->at(1)->value, 0.0);

    // Late and stopped before it is opened: the page shows that, not the last reading.
    Fixture late("DI590", "池四", 3);
    late.sync(sim);
    late.readAndShow(sim);
    late.display->showLate();
    QCOMPARE(late.text("tableWidgetFactor", 0, 1), QString("----"));
    QCOMPARE(late.text("tableWidgetFactor", 0, 3), QString("B"));
    QVERIFY(!late.checkBox("checkBoxRun")->isChecked());
    Fixture failed("DI590", "池五", 3);
    failed.sync(sim);
    failed.display->syncMonitor(nullptr);
    failed.display->on_syncDone(failed.display->syncToken());
    QCOMPARE(failed.page()->findChild<QLabel *>("labelSyncFailure")->text(),
             QString("未同步：串口未打开"));
    QCOMPARE(failed.table("tableWidgetFactor")->rowCount(), 0);
    QCOMPARE(failed.text("tableWidgetRelay", 0, 0), QString("<none>"));
}

QTEST_MAIN(TestWidgetMonitorDisplay)
#include "tst_widgetmonitordisplay.moc"
