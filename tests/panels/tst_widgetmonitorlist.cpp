// The monitor list: the tree, adding, renaming and removing monitors with their refusals,
// the read interval and what reaches Monitor.json; and the polling cycle it runs, from the
// reader thread to the rows in the record database.
#include "app/appcontext.h"
#include "instruments/monitorbase.h"
#include "line/comportreader.h"
#include "line/pollscheduler.h"
#include "panels/elidedlabel.h"
#include "panels/widgetcomport.h"
#include "panels/widgetmonitordisplay.h"
#include "panels/widgetmonitorlist.h"
#include "panels/widgetmonitorsimple.h"
#include "panels/widgetmonitorsimplelist.h"
#include "settings/configfile.h"
#include "storage/recorddatabase.h"
#include "storage/recordwriter.h"
#include "testsupport.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressDialog>
#include <QStackedWidget>
#include <QStandardItemModel>
#include <QTabWidget>
#include <QTableWidget>
#include <QTimer>
#include <QToolTip>
#include <QTreeView>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>

namespace {

const QString inUse = "id已被使用";
const QString nameTaken = "仪表名称重复,请更换其它名称";
const QString refusal = "系统运行中无法进行此操作,请停止系统后重试。";

// A station with the given Monitor.json, the panels as the main window wires them, and the
// list initialised with the grid.
struct Fixture
{
    explicit Fixture(const QList<MonitorEntry> &entries, int interval = 30)
    {
        station.writeFile("config/Monitor.json", monitorJson(interval, entries));
        AppContext::instance().init();
        comPort = new WidgetComPort;
        list = new WidgetMonitorList;
        grid = new WidgetMonitorSimpleList;
        stack.addWidget(grid);
        list->setComPort(comPort);
        list->init(grid);
    }
    ~Fixture()
    {
        delete list;
        delete comPort;
    }
    QTreeView *tree() const { return list->findChild<QTreeView *>("treeViewMonitor"); }
    QStandardItemModel *model() const
    {
        return qobject_cast<QStandardItemModel *>(tree()->model());
    }
    QStandardItem *root() const { return model()->item(0); }
    // The group of line 1, under "所有仪表".
    QStandardItem *group() const { return root()->child(0); }
    QStandardItem *item(int row) const { return group()->child(row); }
    QStringList names() const
    {
        QStringList texts;
        for (int row = 0; row < group()->rowCount(); ++row)
            texts << item(row)->text();
        return texts;
    }
    QLineEdit *interval() const { return list->findChild<QLineEdit *>("lineEditReadInterval"); }
    MonitorBase *monitor(int i) const { return list->collection().getMonitors().at(size_t(i)); }
    // The monitors of Monitor.json as "model:id:name:running:record".
    QStringList stored() const
    {
        const QJsonObject document =
            QJsonDocument::fromJson(station.readFile("config/Monitor.json")).object();
        QStringList entries;
        for (const QJsonValue &value : document["monitor"].toArray()) {
            const QJsonObject entry = value.toObject();
            entries << QStringLiteral("%1:%2:%3:%4:%5")
                           .arg(entry["model"].toString())
                           .arg(entry["id"].toInt())
                           .arg(entry["username"].toString())
                           .arg(entry["running"].toBool())
                           .arg(entry["record"].toBool());
        }
        return entries;
    }
    int storedInterval() const
    {
        return QJsonDocument::fromJson(station.readFile("config/Monitor.json"))
            .object()["interval"]
            .toInt(-1);
    }
    void rename(int row, const QString &name) { item(row)->setText(name); }

    TempStation station;
    MessageBoxRecorder boxes;
    WidgetComPort *comPort;
    WidgetMonitorList *list;
    WidgetMonitorSimpleList *grid;
    QStackedWidget stack;
};

// The list polling a simulated line at a 1 s interval, wired as the main window wires it:
// the reader thread, the list's handling of each pass, the panels' record writers and the
// record database.
struct LiveLine
{
    LiveLine(const QStringList &instruments, const QList<MonitorEntry> &entries,
             const QStringList &options = QStringList(), int baudrate = 9600)
        : sim(instruments, options)
    {
        station.writeFile("config/ComPort.json", comPortJson(sim.linkPath(), baudrate, 0.3));
        station.writeFile("config/Monitor.json", monitorJson(1, entries));
        AppContext::instance().init();
        comPort = new WidgetComPort;
        list = new WidgetMonitorList;
        grid = new WidgetMonitorSimpleList;
        stack.addWidget(grid);
        QObject::connect(comPort, &WidgetComPort::signal_comPort, list,
                         &WidgetMonitorList::on_comPort);
        QObject::connect(list, &WidgetMonitorList::signal_read, comPort, &WidgetComPort::on_read);
        list->setComPort(comPort);
        QObject::connect(comPort->getReader(), &ComPortReader::signal_readDone, list,
                         &WidgetMonitorList::on_readDone);
        QObject::connect(comPort->getReader(), &ComPortReader::signal_readDone, list,
                         [this] { ++passes; });
        list->init(grid);
    }
    ~LiveLine()
    {
        delete list;
        delete comPort;
    }
    // Polls until `count` passes are done or `until` holds, then switches the line off and
    // waits until every row handed over is stored.
    bool run(int count, const std::function<bool()> &until = nullptr)
    {
        // The simulator's faults are timed from its start: started afresh here, so that a slow
        // set-up above (a sanitizer build) cannot let them begin before the first sync.
        if (!sim.start())
            return false;
        auto *lineSwitch = comPort->findChild<QCheckBox *>("checkBoxConnect");
        lineSwitch->setChecked(true);
        const bool done =
            QTest::qWaitFor([&] { return passes >= count || (until && passes > 0 && until()); },
                            count * 3000 + 10000);
        lineSwitch->setChecked(false);
        const bool off = QTest::qWaitFor([&] { return comPort->isLineOff(); }, 10000);
        RecordWriter::waitForAll();
        return sim.isReady() && done && off;
    }
    // The stored rows of one factor of a monitor in stored order, as "time|status|value".
    QStringList rows(const QString &name, int channel) const
    {
        return selectWithKey(AppContext::instance().path(RecordDb),
                             qPrintable(QStringLiteral("SELECT time,status,value FROM Record "
                                                       "WHERE name='%1' AND channel=%2 ORDER BY "
                                                       "uid")
                                            .arg(name)
                                            .arg(channel)));
    }
    MonitorBase *monitor(int i) const { return list->collection().getMonitors().at(size_t(i)); }

    SimulatorProcess sim;
    TempStation station;
    MessageBoxRecorder boxes;
    WidgetComPort *comPort;
    WidgetMonitorList *list;
    WidgetMonitorSimpleList *grid;
    QStackedWidget stack;
    int passes = 0;
};

// Line 1 and "二期" on serial simulators and "池区网关" on a simulated Modbus TCP gateway, the
// same ids on each, polled at a 1 s interval as the main window wires them.
struct LiveLines
{
    explicit LiveLines(const QList<MonitorEntry> &entries)
        : first({"1:DI590:main=100", "2:DI590:main=150"}),
          second({"1:DI590:main=200", "2:DI590:main=250"}),
          gateway({"1:DI590:main=300", "2:DI590:main=350"}, {}, SimulatorProcess::Gateway)
    {
        station.writeFile("config/ComPort.json", comPortJson(first.linkPath(), 9600, 0.3));
        const QJsonObject serial{
            {"name", "二期"},   {"type", "rtu"}, {"comport", second.linkPath()},
            {"baudrate", 9600}, {"databit", 8},  {"parity", "N"},
            {"stopbit", 2},     {"timeout", 0.3}};
        const QJsonObject tcp{{"name", "池区网关"},
                              {"type", "tcp"},
                              {"host", "127.0.0.1"},
                              {"port", gateway.tcpPort()},
                              {"timeout", 0.3}};
        station.writeFile("config/Lines.json",
                          QJsonDocument(QJsonObject{{"lines", QJsonArray{serial, tcp}}}).toJson());
        station.writeFile("config/Monitor.json", monitorJson(1, entries));
        AppContext::instance().init();
        panels.push_back(new WidgetComPort);
        std::vector<ComPortCtrl *> lines{panels[0]->getComPortCtrl()};
        auto *linesConfig = static_cast<ConfigFile *>(AppContext::instance().object(LinesConfig));
        linesConfig->readLines(lines);
        list = new WidgetMonitorList;
        grid = new WidgetMonitorSimpleList;
        stack.addWidget(grid);
        QObject::connect(panels[0], &WidgetComPort::signal_comPort, list,
                         &WidgetMonitorList::on_comPort);
        QObject::connect(list, &WidgetMonitorList::signal_read, panels[0], &WidgetComPort::on_read);
        list->setComPort(panels[0]);
        QObject::connect(panels[0]->getReader(), &ComPortReader::signal_readDone, list,
                         &WidgetMonitorList::on_readDone);
        for (size_t i = 1; i < lines.size(); ++i) {
            panels.push_back(new WidgetComPort(lines[i], linesConfig));
            list->addLine(panels.back());
        }
        passes.assign(panels.size(), 0);
        for (size_t i = 0; i < panels.size(); ++i)
            QObject::connect(panels[i]->getReader(), &ComPortReader::signal_readDone, list,
                             [this, i] { ++passes[i]; });
        list->init(grid);
    }
    ~LiveLines()
    {
        delete list;
        qDeleteAll(panels);
    }
    void switchAll(bool on)
    {
        for (WidgetComPort *panel : panels)
            panel->findChild<QCheckBox *>("checkBoxConnect")->setChecked(on);
    }
    bool allOff() const
    {
        return std::all_of(panels.begin(), panels.end(),
                           [](const WidgetComPort *panel) { return panel->isLineOff(); });
    }
    QStringList rows(const QString &name) const
    {
        return selectWithKey(AppContext::instance().path(RecordDb),
                             qPrintable(QStringLiteral("SELECT time,status,value FROM Record "
                                                       "WHERE name='%1' AND channel=0 ORDER BY "
                                                       "uid")
                                            .arg(name)));
    }

    SimulatorProcess first;
    SimulatorProcess second;
    SimulatorProcess gateway;
    TempStation station;
    MessageBoxRecorder boxes;
    std::vector<WidgetComPort *> panels;
    WidgetMonitorList *list;
    WidgetMonitorSimpleList *grid;
    QStackedWidget stack;
    std::vector<int> passes;
};

// What is wrong with a monitor's rows as one row per interval of `seconds`, each stamped
// with its own interval's time: empty when nothing.
QString intervalProblem(const QStringList &rows, int seconds = 1)
{
    if (rows.isEmpty())
        return QStringLiteral("no rows");
    QDateTime previous;
    for (const QString &row : rows) {
        const QDateTime time =
            QDateTime::fromString(row.section('|', 0, 0), QStringLiteral("yyyy-MM-dd hh:mm:ss"));
        if (!time.isValid())
            return QStringLiteral("bad time in ") + row;
        if (previous.isValid() && previous.secsTo(time) != seconds)
            return QStringLiteral("%1 after %2").arg(row, previous.toString(Qt::ISODate));
        previous = time;
    }
    return QString();
}

int countStatus(const QStringList &rows, const QString &status)
{
    int count = 0;
    for (const QString &row : rows)
        count += row.section('|', 1, 1) == status;
    return count;
}

// The readings of rows with status N are all `value`.
bool normalValuesAre(const QStringList &rows, const QString &value)
{
    for (const QString &row : rows) {
        if (row.section('|', 1, 1) == QLatin1String("N") && row.section('|', 2, 2) != value)
            return false;
    }
    return true;
}

const QList<MonitorEntry> threeMonitors = {{"DI590", "一号池", 1},
                                           {"DO580", "二号池", 2, false, true},
                                           {"RA550", "三号池", 3, true, false}};

} // namespace

class TestWidgetMonitorList : public QObject
{
    Q_OBJECT

private slots:
    void formAndTreeAtStart();
    void everyMonitorGetsALinkedPanelAndCell();
    void selectingItemsAsksForPagesAndRootMenuIsNone();
    void addRefusesUsedIdsBeforeNamesAndStoresAcceptedMonitors();
    void addKeepsUnusualNamesIntact_data();
    void addKeepsUnusualNamesIntact();
    void renameChecksNamesAndRestoresTheOldText();
    void longNamesKeepTheirStartAndShowWholeAsTooltips();
    void cellTellsWhyItsMonitorIsNotSynced();
    void removalAsksTwiceAndDeletesRecordsOnlyOnTheSecondYes();
    void removalIsRefusedWhileTheLineIsOnAndAfterNo();
    void namesWithControlCharactersAreRefused();
    void removalKeepsHistoryAnotherMonitorSharesByName();
    void historyIsDeletedOnAWorkerByExactName();
    void historyThatCannotBeDeletedIsShownAndKept();
    void removedCellsSlotIsReusedByTheNextMonitor();
    void removalOfOneOfTwoMonitorsWithOneIdKeepsTheOther();
    void intervalEditsAreStoredAtSaveOrWithTheNextChange();
    void lineSwitchStartsAndStopsPolling();
    void settingsProblemsAreShownOnceInOneBox();
    void brokenFileIsReplacedOnlyAfterItsProblemsWereShown();
    void lockedListRefusesRenameRemovalAndTheInterval();
    void flappingInstrumentStoresEveryAnswerItGives();
    void oneSilentInstrumentCostsItsNeighboursNothing();
    void silentLineStoresEveryIntervalOnceAndShowsItIsLate();
    void errorsCostOnlyTheReadingTheyHit();
    void lineTooSlowForTheIntervalStoresOneRowPerPass();
    void linesPollTogetherAndADeadOneHoldsNoneBack();
    void idsArePerLineAndTheTreeGroupsByLine();
};

void TestWidgetMonitorList::formAndTreeAtStart()
{
    Fixture f(threeMonitors, 12);
    QCOMPARE(f.list->size(), QSize(213, 252));
    QCOMPARE(f.list->font().family(), QString("微软雅黑"));
    QCOMPARE(f.list->font().pointSize(), 14);
    auto *group = f.list->findChild<QGroupBox *>("groupBox");
    QCOMPARE(group->title(), QString("控制仪列表"));
    QCOMPARE(group->geometry(), QRect(0, 0, 201, 250));
    QCOMPARE(group->font().pointSize(), 12);
    QCOMPARE(f.list->findChild<QLabel *>()->text(), QString("读取间隔(秒）"));
    QCOMPARE(f.tree()->focusPolicy(), Qt::StrongFocus);
    QVERIFY(!f.tree()->acceptDrops());
    QVERIFY(!f.tree()->header()->highlightSections());
    QCOMPARE(f.model()->headerData(0, Qt::Horizontal).toString(), QString("All Monitors"));

    QCOMPARE(f.model()->rowCount(), 1);
    QCOMPARE(f.root()->text(), QString("所有仪表"));
    QCOMPARE(f.root()->data(WidgetMonitorList::KindRole).toInt(), 0);
    QVERIFY(!f.root()->isEditable());
    QCOMPARE(f.names(), QStringList({"一号池", "二号池", "三号池"}));
    for (int row = 0; row < 3; ++row) {
        QCOMPARE(f.item(row)->data(WidgetMonitorList::KindRole).toInt(), 1);
        QCOMPARE(f.item(row)->data(WidgetMonitorList::MonitorRole).value<void *>(),
                 static_cast<void *>(f.monitor(row)));
        QVERIFY(f.item(row)->isEditable());
        QCOMPARE(f.monitor(row)->views.at(2), static_cast<void *>(f.item(row)));
    }
    QVERIFY(f.tree()->isExpanded(f.root()->index()));
    QCOMPARE(f.tree()->currentIndex(), f.root()->index());
    QCOMPARE(f.interval()->text(), QString("12"));
    // Showing the stored interval is no edit: saving writes nothing.
    f.station.writeFile("config/Monitor.json", "untouched");
    f.list->saveConfig();
    QCOMPARE(f.station.readFile("config/Monitor.json"), QByteArray("untouched"));
}

void TestWidgetMonitorList::everyMonitorGetsALinkedPanelAndCell()
{
    Fixture f(threeMonitors);
    for (int i = 0; i < 3; ++i) {
        auto *display = static_cast<WidgetMonitorDisplay *>(f.monitor(i)->views.at(0));
        auto *cell = static_cast<WidgetMonitorSimple *>(f.monitor(i)->views.at(1));
        QCOMPARE(display->getMonitor(), f.monitor(i));
        QCOMPARE(cell->monitor(), f.monitor(i));
        QCOMPARE(f.grid->position(cell), std::make_pair(0, i));
        QCOMPARE(cell->findChild<QLabel *>("labelName")->text(), f.names()[i]);
        QVERIFY(!display->parentWidget());
        // Pages are made when first opened.
        QVERIFY(!display->isBuilt());
        QVERIFY(!display->findChild<QTableWidget *>());
    }
    // The grid's menu switches a page that was never opened.
    auto *unopened = static_cast<WidgetMonitorSimple *>(f.monitor(1)->views.at(1));
    emit unopened->signal_updateRecord(false);
    emit unopened->signal_updateStatus(true);
    QCOMPARE(f.stored()[1], QString("DO580:2:二号池:1:0"));
    QVERIFY(!unopened->findChild<QCheckBox *>("checkBox")->isHidden());
    emit unopened->signal_updateStatus(false);
    QVERIFY(unopened->findChild<QCheckBox *>("checkBox")->isHidden());
    QCOMPARE(f.stored()[1], QString("DO580:2:二号池:0:0"));
    QVERIFY(!static_cast<WidgetMonitorDisplay *>(f.monitor(1)->views.at(0))->isBuilt());

    // The panel's run switch and the cell's indicator follow each other.
    auto *display = static_cast<WidgetMonitorDisplay *>(f.monitor(0)->views.at(0));
    auto *cell = static_cast<WidgetMonitorSimple *>(f.monitor(0)->views.at(1));
    display->ensureBuilt();
    auto *indicator = cell->findChild<QCheckBox *>("checkBox");
    QVERIFY(!indicator->isHidden());
    display->findChild<QCheckBox *>("checkBoxStatus")->setChecked(false);
    QVERIFY(indicator->isHidden());
    QCOMPARE(f.stored()[0], QString("DI590:1:一号池:0:1"));
    emit cell->signal_updateStatus(true);
    QVERIFY(f.monitor(0)->isRunning());
    QVERIFY(!indicator->isHidden());
    emit cell->signal_updateRecord(false);
    QCOMPARE(f.stored()[0], QString("DI590:1:一号池:1:0"));
    // The line going off reaches every panel and its cell.
    QSignalSpy result(display, &WidgetMonitorDisplay::signal_updateResult);
    f.list->on_comPort(false);
    QCOMPARE(result.count(), 1);
}

void TestWidgetMonitorList::selectingItemsAsksForPagesAndRootMenuIsNone()
{
    Fixture f(threeMonitors);
    QSignalSpy monitor(f.list, &WidgetMonitorList::signal_activeMonitor);
    QSignalSpy overview(f.list, &WidgetMonitorList::signal_activeMonitorSimpleList);
    f.list->slot_selectItem(f.item(1)->index());
    QCOMPARE(monitor.count(), 1);
    QCOMPARE(monitor.at(0).at(0).value<MonitorBase *>(), f.monitor(1));
    f.list->slot_selectItem(f.root()->index());
    QCOMPARE(overview.count(), 1);

    // The grid's double click selects the monitor in the tree.
    emit f.grid->signal_activeMonitor(f.monitor(2));
    QCOMPARE(f.tree()->currentIndex(), f.item(2)->index());
    QCOMPARE(monitor.count(), 2);
    f.list->selectRoot();
    QCOMPARE(f.tree()->currentIndex(), f.root()->index());
    QCOMPARE(overview.count(), 2);

    f.list->resize(213, 252);
    f.list->show();
    QVERIFY(QTest::qWaitForWindowExposed(f.list));
    QMenu *menu = f.list->findChild<QMenu *>();
    const auto rightClick = [&](const QModelIndex &index) {
        const QPoint pos = index.isValid() ? f.tree()->visualRect(index).center() : QPoint(5, 150);
        emit f.tree()->customContextMenuRequested(pos);
    };
    rightClick(f.root()->index());
    QVERIFY(!menu->isVisible());
    rightClick(QModelIndex());
    QVERIFY(!menu->isVisible());
    rightClick(f.item(1)->index());
    QTRY_VERIFY(menu->isVisible());
    QCOMPARE(f.tree()->currentIndex(), f.item(1)->index());
    QStringList texts;
    for (QAction *action : menu->actions())
        texts << action->text();
    QCOMPARE(texts, QStringList({"显示", "重命名", "删除"}));
    menu->actions()[0]->trigger();
    QCOMPARE(monitor.count(), 3);
    QCOMPARE(monitor.at(2).at(0).value<MonitorBase *>(), f.monitor(1));
    menu->hide();
}

void TestWidgetMonitorList::addRefusesUsedIdsBeforeNamesAndStoresAcceptedMonitors()
{
    Fixture f(threeMonitors);
    const QStringList before = f.stored();

    QVERIFY(!f.list->addMonitor("RO592", "新池", 2, -1)); // id of a DO580
    QVERIFY(!f.list->addMonitor("DI590", "二号池", 9, -1));
    QVERIFY(!f.list->addMonitor("DI590", "一号池", 1, -1)); // both: the id is named
    // The first monitor has the name, the second the id: the walk meets the name first.
    QVERIFY(!f.list->addMonitor("DI590", "一号池", 2, -1));
    QVERIFY(!f.list->addMonitor("di590", "小写", 20, -1)); // unknown model: nothing
    QCOMPARE(f.boxes.boxes.size(), 4);
    const QString expected[] = {inUse, nameTaken, inUse, nameTaken};
    for (int i = 0; i < 4; ++i) {
        const MessageBoxes::Box &box = f.boxes.boxes[i];
        QCOMPARE(box.icon, QMessageBox::Warning);
        QCOMPARE(box.title, QString("警告"));
        QCOMPARE(box.text, expected[i]);
        QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        QCOMPARE(box.defaultButton, QMessageBox::Ok);
    }
    QCOMPARE(f.stored(), before);
    QCOMPARE(f.names().size(), 3);
    QCOMPARE(f.list->collection().getMonitors().size(), size_t(3));

    MonitorBase *added = f.list->addMonitor("RO592", "四号池", 4, -1);
    QVERIFY(added);
    QVERIFY(added->isRunning());
    QVERIFY(added->isRecord());
    QCOMPARE(added->getChannel(), -1);
    QCOMPARE(f.names().last(), QString("四号池"));
    QCOMPARE(f.tree()->currentIndex(), f.item(3)->index());
    QCOMPARE(f.stored(), before + QStringList("RO592:4:四号池:1:1"));
    QCOMPARE(f.grid->position(static_cast<WidgetMonitorSimple *>(added->views.at(1))),
             std::make_pair(0, 3));
}

void TestWidgetMonitorList::addKeepsUnusualNamesIntact_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("blank") << " ";
    QTest::newRow("quotes") << "池\"1\"'2'";
    QTest::newRow("slashes") << "a/b\\c";
    QTest::newRow("long") << QString(500, QChar(0x6C60));
    QTest::newRow("JSON-like") << "{\"model\": \"RA550\"}";
}

void TestWidgetMonitorList::addKeepsUnusualNamesIntact()
{
    QFETCH(QString, name);
    Fixture f({{"DI590", "一号池", 1}});
    QVERIFY(f.list->addMonitor("DO580", name, 5, -1));
    QCOMPARE(f.names().last(), name);
    QCOMPARE(f.stored().last(), "DO580:5:" + name + ":1:1");
    // The same name again is refused.
    QVERIFY(!f.list->addMonitor("DO580", name, 6, -1));

    // The file loads back as it was written.
    ConfigFile again(AppContext::instance().path(MonitorConfig).toUtf8().constData());
    QCOMPARE(again.load(), 0);
    MonitorCollection loaded;
    again.readMonitors(&loaded);
    QVERIFY(again.problems().empty());
    QCOMPARE(loaded.getMonitors().size(), size_t(2));
    QCOMPARE(QString::fromStdString(loaded.getMonitors()[1]->getUsername()), name);
    qDeleteAll(loaded.getMonitors());
}

void TestWidgetMonitorList::renameChecksNamesAndRestoresTheOldText()
{
    Fixture f(threeMonitors);
    const QStringList before = f.stored();
    const QByteArray file = f.station.readFile("config/Monitor.json");

    f.rename(0, "一号池"); // its own name: nothing happens
    f.rename(0, "二号池"); // another monitor's
    QCOMPARE(f.boxes.boxes.size(), 1);
    QCOMPARE(f.boxes.boxes[0].text, nameTaken);
    QCOMPARE(f.boxes.boxes[0].title, QString("警告"));
    QCOMPARE(f.item(0)->text(), QString("一号池"));
    QCOMPARE(f.monitor(0)->getUsername(), std::string("一号池"));
    f.rename(0, ""); // no name: the old text comes back without a box
    QCOMPARE(f.item(0)->text(), QString("一号池"));
    QCOMPARE(f.boxes.boxes.size(), 1);
    QCOMPARE(f.station.readFile("config/Monitor.json"), file);

    f.rename(0, "进水口/1");
    QCOMPARE(f.monitor(0)->getUsername(), std::string("进水口/1"));
    QCOMPARE(f.stored()[0], QString("DI590:1:进水口/1:1:1"));
    auto *display = static_cast<WidgetMonitorDisplay *>(f.monitor(0)->views.at(0));
    // Renamed before it was built: the page shows the new name when opened.
    display->ensureBuilt();
    QCOMPARE(display->findChild<QTabWidget *>()->tabText(0), QString("进水口/1"));
    auto *cell = static_cast<WidgetMonitorSimple *>(f.monitor(0)->views.at(1));
    QCOMPARE(cell->findChild<QLabel *>("labelName")->text(), QString("进水口/1"));
    // The freed name may be taken by another.
    f.rename(1, "一号池");
    QCOMPARE(f.stored()[1], QString("DO580:2:一号池:0:1"));

    // The editor of the tree commits through the same path.
    f.tree()->setCurrentIndex(f.item(2)->index());
    f.list->slot_rename();
    QTRY_VERIFY(f.tree()->indexWidget(f.item(2)->index()));
    auto *editor = qobject_cast<QLineEdit *>(f.tree()->indexWidget(f.item(2)->index()));
    QVERIFY(editor);
    editor->setText("进水口/1");
    QTest::keyClick(editor, Qt::Key_Return);
    QTRY_COMPARE(f.boxes.boxes.size(), 2);
    QCOMPARE(f.item(2)->text(), QString("三号池"));
}

void TestWidgetMonitorList::longNamesKeepTheirStartAndShowWholeAsTooltips()
{
    const QString name = "9号曝气池东侧溶解氧在线分析仪";
    Fixture f({{"DI590", name, 1}, {"DO580", "短", 2}});
    f.stack.resize(586, 466);
    f.stack.show();
    QVERIFY(QTest::qWaitForWindowExposed(&f.stack));
    auto *cell = static_cast<WidgetMonitorSimple *>(f.monitor(0)->views.at(1));
    auto *label = cell->findChild<ElidedLabel *>("labelName");
    QCOMPARE(label->text(), name);
    QVERIFY(label->shownText().startsWith("9号"));
    QVERIFY(label->shownText().endsWith(QChar(0x2026)));
    QHelpEvent hover(QEvent::ToolTip, label->rect().center(),
                     label->mapToGlobal(label->rect().center()));
    QApplication::sendEvent(label, &hover);
    QTRY_COMPARE(QToolTip::text(), name);
    QToolTip::hideText();
    // A name that fits is drawn whole.
    auto *shortLabel = static_cast<WidgetMonitorSimple *>(f.monitor(1)->views.at(1))
                           ->findChild<ElidedLabel *>("labelName");
    QVERIFY(!shortLabel->isElided());

    auto *display = static_cast<WidgetMonitorDisplay *>(f.monitor(0)->views.at(0));
    QCOMPARE(f.item(0)->toolTip(), name);
    display->ensureBuilt();
    QCOMPARE(display->findChild<QTabWidget *>()->tabToolTip(0), name);
    f.rename(0, "10号" + name);
    QCOMPARE(f.item(0)->toolTip(), "10号" + name);
    QCOMPARE(display->findChild<QTabWidget *>()->tabToolTip(0), "10号" + name);
    QVERIFY(label->shownText().startsWith("10号"));
}

void TestWidgetMonitorList::cellTellsWhyItsMonitorIsNotSynced()
{
    Fixture f(threeMonitors);
    auto *display = static_cast<WidgetMonitorDisplay *>(f.monitor(0)->views.at(0));
    auto *cell = static_cast<WidgetMonitorSimple *>(f.monitor(0)->views.at(1));
    QVERIFY(cell->toolTip().isEmpty());
    display->syncMonitor(nullptr);
    display->on_syncDone(display->syncToken());
    QCOMPARE(cell->toolTip(), QString("未同步：串口未打开"));
    SimulatorProcess sim({"1:DI590"});
    display->syncMonitor(sim.context());
    display->on_syncDone(display->syncToken());
    QVERIFY(cell->toolTip().isEmpty());
}

void TestWidgetMonitorList::removalAsksTwiceAndDeletesRecordsOnlyOnTheSecondYes()
{
    Fixture f(threeMonitors);
    auto *database = static_cast<RecordDatabase *>(AppContext::instance().object(RecordDb));
    for (const char *name : {"一号池", "二号池"}) {
        RecordRow row;
        row.time = "2024-01-02 03:04:05";
        row.model = "DI590";
        row.name = name;
        row.factor = "DO";
        QCOMPARE(database->insert(row), 0);
    }
    const QString file = AppContext::instance().path(RecordDb);
    const char *names = "SELECT name FROM Record ORDER BY uid";

    // The first monitor's page is in the stack, as the main window puts it there.
    auto *display = static_cast<WidgetMonitorDisplay *>(f.monitor(0)->views.at(0));
    f.stack.addWidget(display);
    f.stack.setCurrentWidget(display);
    QPointer<WidgetMonitorDisplay> page(display);
    QPointer<WidgetMonitorSimple> cell(
        static_cast<WidgetMonitorSimple *>(f.monitor(0)->views.at(1)));
    QSignalSpy overview(f.list, &WidgetMonitorList::signal_activeMonitorSimpleList);

    f.tree()->setCurrentIndex(f.item(0)->index());
    f.boxes.queueAnswer(QMessageBox::Yes);
    f.boxes.queueAnswer(QMessageBox::No);
    f.list->slot_remove();
    QCOMPARE(f.boxes.boxes.size(), 2);
    QCOMPARE(f.boxes.boxes[0].text, QString("确认删除\"一号池\"?"));
    QCOMPARE(f.boxes.boxes[1].text, QString("是否同时删除\"一号池\"的历史数据？"));
    for (const MessageBoxes::Box &box : f.boxes.boxes) {
        QCOMPARE(box.title, QString("警告"));
        QCOMPARE(box.buttons, QMessageBox::Yes | QMessageBox::No);
        QCOMPARE(box.defaultButton, QMessageBox::No);
    }
    QVERIFY(!page);
    QCOMPARE(f.stack.count(), 1);
    QTRY_VERIFY(!cell);
    QCOMPARE(f.names(), QStringList({"二号池", "三号池"}));
    QCOMPARE(f.list->collection().getMonitors().size(), size_t(2));
    QCOMPARE(f.stored(), QStringList({"DO580:2:二号池:0:1", "RA550:3:三号池:1:0"}));
    QCOMPARE(selectWithKey(file, names), QStringList({"一号池", "二号池"}));
    QCOMPARE(f.tree()->currentIndex(), f.root()->index());
    QCOMPARE(overview.count(), 1);

    f.tree()->setCurrentIndex(f.item(0)->index());
    f.boxes.queueAnswer(QMessageBox::Yes);
    f.boxes.queueAnswer(QMessageBox::Yes);
    f.list->slot_remove();
    QCOMPARE(selectWithKey(file, names), QStringList({"一号池"}));
    QCOMPARE(f.stored(), QStringList({"RA550:3:三号池:1:0"}));
}

void TestWidgetMonitorList::namesWithControlCharactersAreRefused()
{
    Fixture f({{"DI590", "一号池", 1}});
    const QByteArray file = f.station.readFile("config/Monitor.json");
    const QString unusable = "仪表名称不能包含控制字符,请更换其它名称";
    // A NUL would be cut by the database, merging "一号池\0二" with "一号池" in the records.
    for (const QString &name : {QString("一号池") + QChar(0) + "二", QString("a\tb"),
                                QString("进水\n口"), QString("x") + QChar(0x85)}) {
        const int asked = f.boxes.boxes.size();
        QVERIFY(!f.list->addMonitor("DO580", name, 7, -1));
        QCOMPARE(f.boxes.boxes.size(), asked + 1);
        QCOMPARE(f.boxes.boxes.last().text, unusable);
        f.rename(0, name);
        QCOMPARE(f.boxes.boxes.size(), asked + 2);
        QCOMPARE(f.boxes.boxes.last().text, unusable);
        QCOMPARE(f.item(0)->text(), QString("一号池"));
    }
    QCOMPARE(f.names(), QStringList({"一号池"}));
    QCOMPARE(f.station.readFile("config/Monitor.json"), file);
}

void TestWidgetMonitorList::removalKeepsHistoryAnotherMonitorSharesByName()
{
    // A hand-edited Monitor.json may hold one name twice; both monitors write under it.
    Fixture f({{"DI590", "一号池", 1}, {"DI590", "一号池", 2}});
    auto *database = static_cast<RecordDatabase *>(AppContext::instance().object(RecordDb));
    QCOMPARE(database->insert(makeRecord("一号池", 0, "2024-01-02 03:04:05")), 0);
    const QString file = AppContext::instance().path(RecordDb);

    f.tree()->setCurrentIndex(f.item(0)->index());
    f.boxes.queueAnswer(QMessageBox::Yes);
    f.boxes.queueAnswer(QMessageBox::Yes);
    f.list->slot_remove();
    QCOMPARE(f.boxes.boxes.size(), 2);
    QCOMPARE(f.boxes.boxes[1].icon, QMessageBox::Information);
    QCOMPARE(f.boxes.boxes[1].text, QString("其他仪表仍在使用名称\"一号池\",其历史数据已保留。"));
    QCOMPARE(f.list->collection().getMonitors().size(), size_t(1));
    QCOMPARE(selectWithKey(file, "SELECT count(*) FROM Record"), QStringList("1"));

    // The last monitor of that name may take its history with it.
    f.tree()->setCurrentIndex(f.item(0)->index());
    f.boxes.queueAnswer(QMessageBox::Yes);
    f.boxes.queueAnswer(QMessageBox::Yes);
    f.list->slot_remove();
    QCOMPARE(f.boxes.boxes.last().text, QString("是否同时删除\"一号池\"的历史数据？"));
    QCOMPARE(selectWithKey(file, "SELECT count(*) FROM Record"), QStringList("0"));
}

void TestWidgetMonitorList::historyIsDeletedOnAWorkerByExactName()
{
    Fixture f(threeMonitors);
    std::vector<RecordRow> rows;
    for (const char *name : {"一号池", "一号池 ", "一号", "一号池2", "二号池", "一号池"})
        rows.push_back(makeRecord(name, 0, "2024-01-02 03:04:05"));
    const QString file = AppContext::instance().path(RecordDb);
    QCOMPARE(insertRecords(file, rows), 0);

    // Queued ahead of the removal: handled only if the interface thread runs while it works.
    QString shown;
    QMetaObject::invokeMethod(
        f.list,
        [&] {
            if (auto *box = qobject_cast<QProgressDialog *>(QApplication::activeModalWidget()))
                shown = box->labelText();
        },
        Qt::QueuedConnection);
    f.tree()->setCurrentIndex(f.item(0)->index());
    f.boxes.queueAnswer(QMessageBox::Yes);
    f.boxes.queueAnswer(QMessageBox::Yes);
    f.list->slot_remove();
    QCOMPARE(shown, QString("正在删除历史数据..."));
    QCOMPARE(selectWithKey(file, "SELECT name FROM Record ORDER BY uid"),
             QStringList({"一号池 ", "一号", "一号池2", "二号池"}));
    QCOMPARE(f.boxes.boxes.size(), 2);
}

void TestWidgetMonitorList::historyThatCannotBeDeletedIsShownAndKept()
{
    Fixture f(threeMonitors);
    std::vector<RecordRow> rows;
    for (int i = 0; i < 3000; ++i)
        rows.push_back(makeRecord("一号池", i % 2, "2024-01-02 03:04:05"));
    const QString file = AppContext::instance().path(RecordDb);
    QCOMPARE(insertRecords(file, rows), 0);

    // No file of the process may grow past 1 kB: the delete's journal does not fit, the
    // shorter Monitor.json does.
    rlimit size;
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &size), 0);
    const rlimit unlimited = size;
    size.rlim_cur = 1024;
    f.tree()->setCurrentIndex(f.item(0)->index());
    f.boxes.queueAnswer(QMessageBox::Yes);
    f.boxes.queueAnswer(QMessageBox::Yes);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &size), 0);
    f.list->slot_remove();
    setrlimit(RLIMIT_FSIZE, &unlimited);
    std::signal(SIGXFSZ, oldHandler);

    QCOMPARE(f.boxes.boxes.size(), 3);
    QCOMPARE(f.boxes.boxes[2].icon, QMessageBox::Critical);
    QCOMPARE(f.boxes.boxes[2].title, QString("错误"));
    QCOMPARE(f.boxes.boxes[2].text, QString("删除\"一号池\"的历史数据失败!\n历史数据未被删除。"));
    // The monitor is gone, its history is whole.
    QCOMPARE(f.names(), QStringList({"二号池", "三号池"}));
    QCOMPARE(f.stored().size(), 2);
    QCOMPARE(selectWithKey(file, "SELECT count(*) FROM Record WHERE name = '一号池'"),
             QStringList("3000"));
}

void TestWidgetMonitorList::removalIsRefusedWhileTheLineIsOnAndAfterNo()
{
    Fixture f(threeMonitors, 86400);
    const QByteArray file = f.station.readFile("config/Monitor.json");
    // Nothing to remove: the root, or no current item.
    f.list->slot_remove();
    QCOMPARE(f.boxes.boxes.size(), 0);

    f.tree()->setCurrentIndex(f.item(1)->index());
    f.list->on_comPort(true);
    f.list->slot_remove();
    QCOMPARE(f.boxes.boxes.size(), 1);
    QCOMPARE(f.boxes.boxes[0].icon, QMessageBox::Critical);
    QCOMPARE(f.boxes.boxes[0].title, QString("错误"));
    QCOMPARE(f.boxes.boxes[0].text, refusal);
    f.list->on_comPort(false);

    f.list->slot_remove(); // the default answer, No
    QCOMPARE(f.boxes.boxes.size(), 2);
    QCOMPARE(f.names().size(), 3);
    QCOMPARE(f.station.readFile("config/Monitor.json"), file);
}

void TestWidgetMonitorList::removedCellsSlotIsReusedByTheNextMonitor()
{
    QList<MonitorEntry> seven;
    for (int id = 1; id <= 7; ++id)
        seven.append({"DI590", QStringLiteral("m%1").arg(id), id});
    Fixture f(seven);
    f.tree()->setCurrentIndex(f.item(1)->index());
    f.boxes.queueAnswer(QMessageBox::Yes);
    f.list->slot_remove();
    MonitorBase *added = f.list->addMonitor("DI590", "m8", 8, -1);
    QCOMPARE(f.grid->position(static_cast<WidgetMonitorSimple *>(added->views.at(1))),
             std::make_pair(0, 1));
    added = f.list->addMonitor("DI590", "m9", 9, -1);
    QCOMPARE(f.grid->position(static_cast<WidgetMonitorSimple *>(added->views.at(1))),
             std::make_pair(1, 2));
}

void TestWidgetMonitorList::removalOfOneOfTwoMonitorsWithOneIdKeepsTheOther()
{
    // Two entries of one id (a file edited by hand): the one removed is the one chosen.
    Fixture f({{"DI590", "甲", 4}, {"DI590", "乙", 4}, {"RA550", "丙", 5}});
    f.tree()->setCurrentIndex(f.item(1)->index());
    f.boxes.queueAnswer(QMessageBox::Yes);
    f.boxes.queueAnswer(QMessageBox::No);
    f.list->slot_remove();
    QCOMPARE(f.names(), QStringList({"甲", "丙"}));
    QCOMPARE(f.stored(), QStringList({"DI590:4:甲:1:1", "RA550:5:丙:1:1"}));
}

void TestWidgetMonitorList::intervalEditsAreStoredAtSaveOrWithTheNextChange()
{
    Fixture f(threeMonitors, 30);
    // Digits only.
    QVERIFY(f.interval()->validator());
    QString text = "12a";
    int position = 0;
    QCOMPARE(f.interval()->validator()->validate(text, position), QValidator::Invalid);
    text = "-5";
    QCOMPARE(f.interval()->validator()->validate(text, position), QValidator::Invalid);

    f.interval()->setText("5");
    QCOMPARE(f.list->collection().getInterval(), 5);
    QCOMPARE(f.storedInterval(), 30);
    f.list->saveConfig();
    QCOMPARE(f.storedInterval(), 5);

    // An empty box counts as 0; a monitor change stores it with the monitors.
    f.interval()->setText("");
    QCOMPARE(f.list->collection().getInterval(), 0);
    auto *display = static_cast<WidgetMonitorDisplay *>(f.monitor(2)->views.at(0));
    display->ensureBuilt();
    display->findChild<QCheckBox *>("checkBoxRecord")->setChecked(true);
    QCOMPARE(f.storedInterval(), 0);
    f.station.writeFile("config/Monitor.json", "untouched");
    f.list->saveConfig(); // nothing changed since
    QCOMPARE(f.station.readFile("config/Monitor.json"), QByteArray("untouched"));

    // More digits than any timer takes: the longest interval.
    f.interval()->setText("99999999999999999999999");
    QCOMPARE(f.list->collection().getInterval(), MonitorCollection::maxInterval);
}

void TestWidgetMonitorList::lineSwitchStartsAndStopsPolling()
{
    Fixture f(threeMonitors, 0);
    QSignalSpy read(f.list, &WidgetMonitorList::signal_read);
    f.list->on_comPort(true);
    QVERIFY(f.list->isLineOn());
    QVERIFY(f.interval()->isReadOnly());
    QVERIFY(f.list->pollScheduler()->isActive());
    QCOMPARE(f.list->pollScheduler()->timer()->interval(), 1000);
    QCOMPARE(read.count(), 1); // at once
    QCOMPARE(read.at(0).at(0).value<void *>(), f.list->readToken());
    // A tick while the pass is still out asks for nothing more.
    f.list->on_readTimer();
    QCOMPARE(read.count(), 1);
    // The next one comes with the next interval.
    f.list->on_readDone();
    QCOMPARE(read.count(), 1);
    QTRY_COMPARE(read.count(), 2);

    f.list->on_comPort(false);
    QVERIFY(!f.list->isLineOn());
    QVERIFY(!f.interval()->isReadOnly());
    QVERIFY(!f.list->pollScheduler()->isActive());
    // Every monitor of the line syncs again at the next switch-on.
    for (const MonitorBase *monitor : f.list->collection().getMonitors())
        QVERIFY(!monitor->isSynced());
}

void TestWidgetMonitorList::settingsProblemsAreShownOnceInOneBox()
{
    TempStation station;
    station.writeFile("config/Monitor.json", "{\"interval\": 5, \"monitor\": [");
    station.writeFile("config/ComPort.json", "{\"comport\": 3}");
    AppContext::instance().init();
    MessageBoxRecorder boxes;
    // The panels apply the files; only then is every problem known.
    WidgetComPort comPort;
    WidgetMonitorList list;
    QVERIFY(WidgetMonitorList::showSettingsProblems() > 0);
    QCOMPARE(boxes.boxes.size(), 1);
    QCOMPARE(boxes.boxes[0].icon, QMessageBox::Critical);
    QCOMPARE(boxes.boxes[0].title, QString("错误"));
    QVERIFY(boxes.boxes[0].text.contains("ComPort.json"));
    QVERIFY(boxes.boxes[0].text.contains("Monitor.json"));
    QCOMPARE(WidgetMonitorList::showSettingsProblems(), 0);
    QCOMPARE(boxes.boxes.size(), 1);
}

void TestWidgetMonitorList::brokenFileIsReplacedOnlyAfterItsProblemsWereShown()
{
    TempStation station;
    const QByteArray broken = "{\"interval\": 5, \"monitor\": [{\"model\": \"DI590\"";
    station.writeFile("config/Monitor.json", broken);
    AppContext::instance().init();
    MessageBoxRecorder boxes;
    WidgetMonitorList list;
    list.init(nullptr);
    // Before the operator was told, the broken file stays as it is.
    QVERIFY(list.addMonitor("DI590", "一号池", 1, -1));
    QCOMPARE(station.readFile("config/Monitor.json"), broken);

    QVERIFY(WidgetMonitorList::showSettingsProblems() > 0);
    QCOMPARE(boxes.boxes.size(), 1);
    QVERIFY(boxes.boxes[0].text.contains("Monitor.json.invalid"));
    QVERIFY(list.addMonitor("DO580", "二号池", 2, -1));
    const QJsonArray stored = QJsonDocument::fromJson(station.readFile("config/Monitor.json"))
                                  .object()["monitor"]
                                  .toArray();
    QCOMPARE(stored.size(), 2);
    QCOMPARE(stored[0].toObject()["username"].toString(), QString("一号池"));
    QCOMPARE(station.readFile("config/Monitor.json.invalid"), broken);
}

void TestWidgetMonitorList::flappingInstrumentStoresEveryAnswerItGives()
{
    // Id 2 answers every other request once it is synced.
    LiveLine line(
        {"1:DI590:main=725,temper=201", "2:DI590:main=300,temper=150,fault=flap,faultfrom=2"},
        {{"DI590", "稳定", 1}, {"DI590", "时通时断", 2}});
    QVERIFY(line.run(24));
    for (int channel : {0, 1}) {
        const QStringList steady = line.rows("稳定", channel);
        const QStringList flapping = line.rows("时通时断", channel);
        QVERIFY2(intervalProblem(steady).isEmpty(), qPrintable(intervalProblem(steady)));
        QVERIFY2(intervalProblem(flapping).isEmpty(), qPrintable(intervalProblem(flapping)));
        QCOMPARE(countStatus(steady, "N"), steady.size());
        QVERIFY(normalValuesAre(steady, channel ? "20.1" : "7.25"));
        QVERIFY(normalValuesAre(flapping, channel ? "15.0" : "3.00"));
        // Each answer it gives is its interval's reading: about every other one.
        const int normal = countStatus(flapping, "N");
        QVERIFY2(normal * 100 >= 45 * flapping.size() && countStatus(flapping, "B") >= 6,
                 qPrintable(flapping.join(' ')));
        QVERIFY(!line.monitor(1)->healthSnapshot().demoted);
    }
}

void TestWidgetMonitorList::oneSilentInstrumentCostsItsNeighboursNothing()
{
    LiveLine line({"1:DI590:main=100", "2:DI590:main=200,fault=silent,faultfrom=3,faultfor=8",
                   "3:DI590:main=300", "4:DI590:main=400"},
                  {{"DI590", "a", 1}, {"DI590", "b", 2}, {"DI590", "c", 3}, {"DI590", "d", 4}});
    QVERIFY(line.run(18));
    for (const char *name : {"a", "c", "d"}) {
        const QStringList rows = line.rows(name, 0);
        QVERIFY2(intervalProblem(rows).isEmpty(), qPrintable(intervalProblem(rows)));
        QVERIFY2(countStatus(rows, "N") == rows.size(), qPrintable(rows.join(' ')));
    }
    // The silent one: one failed row in each interval of its outage, and readings again
    // after it, once its retry comes.
    const QStringList silent = line.rows("b", 0);
    QVERIFY2(intervalProblem(silent).isEmpty(), qPrintable(intervalProblem(silent)));
    const int failed = countStatus(silent, "B");
    // Demoted, it is tried again after 1, 2, 4 and 8 passes.
    QVERIFY2(failed >= 7 && failed <= 8 + 8, qPrintable(silent.join(' ')));
    QCOMPARE(silent.size(), line.rows("a", 0).size());
    QCOMPARE(silent.last().section('|', 1, 1), QString("N"));
    QVERIFY(normalValuesAre(silent, "2.00"));
}

void TestWidgetMonitorList::silentLineStoresEveryIntervalOnceAndShowsItIsLate()
{
    // Every instrument goes quiet at once: the first pass takes its 0.3 s timeouts four
    // times over, beyond two intervals.
    QStringList instruments;
    QList<MonitorEntry> entries;
    for (int id = 1; id <= 6; ++id) {
        instruments << QStringLiteral("%1:DI590:main=%2,fault=silent,faultfrom=3,faultfor=7")
                           .arg(id)
                           .arg(id * 100);
        entries << MonitorEntry{"DI590", QStringLiteral("池%1").arg(id), id};
    }
    LiveLine line(instruments, entries);
    auto *scheduler = const_cast<PollScheduler *>(line.list->pollScheduler());
    QSignalSpy late(scheduler, &PollScheduler::signal_late);
    auto *display = static_cast<WidgetMonitorDisplay *>(line.monitor(0)->views.at(0));
    display->ensureBuilt();
    QStringList shownWhileLate;
    QObject::connect(scheduler, &PollScheduler::signal_late, display, [&] {
        shownWhileLate
            << display->findChild<QTableWidget *>("tableWidgetFactor")->item(0, 1)->text();
    });
    QVERIFY(line.run(24));
    QVERIFY(late.count() >= 1);
    QVERIFY(shownWhileLate.contains("----"));
    for (int id = 1; id <= 6; ++id) {
        const QStringList rows = line.rows(QStringLiteral("池%1").arg(id), 0);
        QVERIFY2(intervalProblem(rows).isEmpty(), qPrintable(intervalProblem(rows)));
        const int failed = countStatus(rows, "B");
        QVERIFY2(failed >= 5 && failed <= 10, qPrintable(rows.join(' ')));
        QCOMPARE(rows.last().section('|', 1, 1), QString("N"));
        QVERIFY(normalValuesAre(rows, QStringLiteral("%1.00").arg(id)));
    }
}

void TestWidgetMonitorList::errorsCostOnlyTheReadingTheyHit()
{
    // Id 1 spoils one answer in ten; id 2 answers with a bad CRC, then well, then not, then
    // naming another model, over and over; id 3 is sound.
    LiveLine line({"1:DI590:main=100,crcrate=0.1",
                   "2:DI590:main=200,cycle=crc/ok/silent/model,faultfrom=2", "3:DI590:main=300"},
                  {{"DI590", "a", 1}, {"DI590", "b", 2}, {"DI590", "c", 3}}, {"--seed", "7"});
    QVERIFY(line.run(24));
    const QStringList spoilt = line.rows("a", 0);
    const QStringList cycling = line.rows("b", 0);
    const QStringList sound = line.rows("c", 0);
    for (const QStringList *rows : {&spoilt, &cycling, &sound})
        QVERIFY2(intervalProblem(*rows).isEmpty(), qPrintable(intervalProblem(*rows)));
    QCOMPARE(countStatus(sound, "N"), sound.size());
    // A failed row only where the exchange of its interval failed: never more than the
    // failed exchanges the instrument was charged with.
    const InstrumentHealth health = line.monitor(0)->healthSnapshot();
    QVERIFY2(countStatus(spoilt, "B") <= health.frameErrors, qPrintable(spoilt.join(' ')));
    QVERIFY(normalValuesAre(spoilt, "1.00"));
    // Nothing of another instrument is taken for its reading; its good answers are shown.
    QVERIFY(normalValuesAre(cycling, "2.00"));
    const int normal = countStatus(cycling, "N");
    QVERIFY2(normal * 100 >= 40 * cycling.size() && normal < cycling.size(),
             qPrintable(cycling.join(' ')));
}

void TestWidgetMonitorList::lineTooSlowForTheIntervalStoresOneRowPerPass()
{
    // At 1200 baud six instruments take longer than the 1 s interval.
    QStringList instruments;
    QList<MonitorEntry> entries;
    for (int id = 1; id <= 6; ++id) {
        instruments << QStringLiteral("%1:DI590:main=%2").arg(id).arg(id * 100);
        entries << MonitorEntry{"DI590", QStringLiteral("池%1").arg(id), id};
    }
    LiveLine line(instruments, entries, {"--wire-time", "--baud", "1200"}, 1200);
    QLabel *pace = line.list->findChild<QLabel *>("labelPace");
    bool told = false;
    int shortest = 0;
    QVERIFY(line.run(14, [&] {
        if (!line.list->pollScheduler()->keepsInterval() && !pace->isHidden()) {
            shortest =
                line.comPort->getComPortCtrl()->statistics().snapshot().shortestIntervalSeconds;
            told = pace->text().contains(QStringLiteral("最短可保持 %1 秒").arg(shortest));
        }
        return false;
    }));
    QVERIFY(told);
    QVERIFY(shortest >= 2);
    // Every row is an answer: no interval the wire could not serve is stored as a failure.
    const QStringList rows = line.rows("池1", 0);
    QVERIFY(rows.size() >= 6);
    QCOMPARE(countStatus(rows, "N"), rows.size());
    QDateTime previous;
    for (const QString &row : rows) {
        const QDateTime time = QDateTime::fromString(row.section('|', 0, 0), "yyyy-MM-dd hh:mm:ss");
        QVERIFY2(!previous.isValid() || previous.secsTo(time) >= 1, qPrintable(rows.join(' ')));
        previous = time;
    }
}

void TestWidgetMonitorList::linesPollTogetherAndADeadOneHoldsNoneBack()
{
    // Id 1 and id 2 on every line, each under a name of its own.
    LiveLines lines({{"DI590", "一号", 1},
                     {"DI590", "二号", 2},
                     {"DI590", "二期一号", 1, true, true, "二期"},
                     {"DI590", "二期二号", 2, true, true, "二期"},
                     {"DI590", "网关一号", 1, true, true, "池区网关"},
                     {"DI590", "网关二号", 2, true, true, "池区网关"}});
    QVERIFY(lines.first.isReady() && lines.second.isReady() && lines.gateway.isReady());
    QCOMPARE(lines.list->lineCount(), 3);
    lines.switchAll(true);
    QVERIFY(QTest::qWaitFor([&] { return lines.passes[1] >= 4; }, 20000));
    // "二期" loses its device for good; the others go on at their interval. Its link goes
    // too, so that no terminal another process opens meanwhile can stand in for it.
    lines.second.kill();
    QFile::remove(lines.second.linkPath());
    QVERIFY(QTest::qWaitFor([&] { return lines.panels[1]->isLineLost(); }, 10000));
    const int lostAt = lines.passes[0];
    QVERIFY(QTest::qWaitFor([&] { return lines.passes[0] >= lostAt + 8; }, 30000));
    lines.switchAll(false);
    QVERIFY(QTest::qWaitFor([&] { return lines.allOff(); }, 10000));
    RecordWriter::waitForAll();

    const std::map<QString, QString> values{{"一号", "1.00"},     {"二号", "1.50"},
                                            {"网关一号", "3.00"}, {"网关二号", "3.50"},
                                            {"二期一号", "2.00"}, {"二期二号", "2.50"}};
    for (const auto &monitor : values) {
        const QStringList rows = lines.rows(monitor.first);
        QVERIFY2(intervalProblem(rows).isEmpty(),
                 qPrintable(monitor.first + ": " + intervalProblem(rows)));
        // The same id on another line is another instrument: its own readings only.
        QVERIFY2(normalValuesAre(rows, monitor.second), qPrintable(rows.join(' ')));
        if (monitor.first.startsWith("二期")) {
            // Read until the device went, failed every interval since.
            QVERIFY2(countStatus(rows, "N") >= 3, qPrintable(rows.join(' ')));
            QVERIFY2(rows.last().section('|', 1, 1) == "B", qPrintable(rows.join(' ')));
        } else {
            QVERIFY2(countStatus(rows, "N") == rows.size(), qPrintable(rows.join(' ')));
            QVERIFY(rows.size() >= 10);
        }
    }
}

void TestWidgetMonitorList::idsArePerLineAndTheTreeGroupsByLine()
{
    LiveLines lines({{"DI590", "一号", 1},
                     {"DI590", "二期一号", 1, true, true, "二期"},
                     {"DI590", "三期一号", 1, true, true, "三期"}});
    auto *tree = lines.list->findChild<QTreeView *>("treeViewMonitor");
    const QStandardItem *root = qobject_cast<QStandardItemModel *>(tree->model())->item(0);
    QStringList groups;
    for (int row = 0; row < root->rowCount(); ++row)
        groups << QStringLiteral("%1:%2")
                      .arg(root->child(row)->text())
                      .arg(root->child(row)->rowCount());
    // A line the station lacks keeps its monitors, shown and not polled.
    QCOMPARE(groups,
             QStringList({"串口1:1", "二期:1", "池区网关:0", "三期（线路不存在，不采集）:1"}));
    QCOMPARE(lines.list->collection().getMonitors().at(2)->getLineIndex(), -1);

    // Selecting a line's monitor or group names the line whose panel is to be shown.
    QSignalSpy activeLine(lines.list, &WidgetMonitorList::signal_activeLine);
    lines.list->slot_selectItem(root->child(1)->child(0)->index());
    lines.list->slot_selectItem(root->child(2)->index());
    QCOMPARE(activeLine.count(), 2);
    QCOMPARE(activeLine.at(0).at(0).toInt(), 1);
    QCOMPARE(activeLine.at(1).at(0).toInt(), 2);

    // Id 1 is free on the gateway's line, taken on line 1; names are the station's.
    QVERIFY(!lines.list->addMonitor("DI590", "再一号", 1, -1, 0));
    QCOMPARE(lines.boxes.boxes.value(0).text, inUse);
    QVERIFY(!lines.list->addMonitor("DI590", "一号", 1, -1, 2));
    MonitorBase *added = lines.list->addMonitor("DI590", "网关一号", 1, -1, 2);
    QVERIFY(added);
    QCOMPARE(added->getLineIndex(), 2);
    QCOMPARE(root->child(2)->rowCount(), 1);
    const QJsonArray stored = QJsonDocument::fromJson(lines.station.readFile("config/Monitor.json"))
                                  .object()["monitor"]
                                  .toArray();
    QCOMPARE(stored.last().toObject()["line"].toString(), QString("池区网关"));
    // Line 1's monitors keep the file as one line wrote it.
    QVERIFY(!stored.first().toObject().contains("line"));
}

QTEST_MAIN(TestWidgetMonitorList)
#include "tst_widgetmonitorlist.moc"

void TestWidgetMonitorList::lockedListRefusesRenameRemovalAndTheInterval()
{
    Fixture f(threeMonitors);
    QSignalSpy told(f.list, &WidgetMonitorList::signal_maintenance);
    f.list->setMaintenanceAllowed(false);
    QVERIFY(!f.interval()->isEnabled());
    QCOMPARE(f.interval()->toolTip(), QString("请先以管理员身份登录。"));
    QCOMPARE(f.tree()->editTriggers(), QAbstractItemView::NoEditTriggers);

    // Each refused with the message and nothing changed: no question asked, nothing stored.
    const QStringList before = f.stored();
    f.tree()->setCurrentIndex(f.item(0)->index());
    f.list->slot_remove();
    f.list->slot_rename();
    f.rename(0, "改名"); // an editor opened before the lock
    QCOMPARE(f.boxes.boxes.size(), 3);
    for (const MessageBoxes::Box &box : f.boxes.boxes)
        QCOMPARE(box.text, QString("请先以管理员身份登录。"));
    QCOMPARE(f.names(), QStringList({"一号池", "二号池", "三号池"}));
    QCOMPARE(f.stored(), before);
    QVERIFY(told.isEmpty());

    // Open again: each change is told once, for the trail.
    f.list->setMaintenanceAllowed(true);
    f.interval()->setText("45");
    f.interval()->setText("60");
    emit f.interval()->editingFinished();
    emit f.interval()->editingFinished();
    f.rename(0, "改名");
    QCOMPARE(told.size(), 2);
    QCOMPARE(told[0].at(1).toString(), QString("30 秒 → 60 秒"));
    QCOMPARE(told[1].at(1).toString(), QString("\"一号池\" → \"改名\""));
}
