// The overview grid and its cells, without a line: placement, the shown reading, the
// context menu and the double click.
#include "instruments/monitorbase.h"
#include "instruments/monitorcollection.h"
#include "panels/alarmflasher.h"
#include "panels/widgetmonitorsimple.h"
#include "panels/widgetmonitorsimplelist.h"
#include "testsupport.h"

#include <QCheckBox>
#include <QHeaderView>
#include <QLCDNumber>
#include <QLabel>
#include <QMenu>
#include <QScrollBar>
#include <QTableWidget>
#include <QtTest>

#include <set>

namespace {

// Monitors for the cells; deleted with the fixture.
class Monitors
{
public:
    ~Monitors() { qDeleteAll(collection.getMonitors()); }
    MonitorBase *add(bool running = true, bool record = true)
    {
        const int id = int(collection.getMonitors().size()) + 1;
        return collection.create("DI590", "m" + std::to_string(id), id, -1, running, record);
    }
    MonitorCollection collection;
};

WidgetMonitorSimple *newCell(MonitorBase *monitor)
{
    auto *cell = new WidgetMonitorSimple;
    cell->setMonitor(monitor);
    cell->setName(QString::fromStdString(monitor->getUsername()));
    return cell;
}

QTableWidget *table(WidgetMonitorSimpleList &grid)
{
    return grid.findChild<QTableWidget *>("tableWidget");
}

QMenu *contextMenu(WidgetMonitorSimpleList &grid)
{
    return grid.findChild<QMenu *>();
}

QAction *menuAction(WidgetMonitorSimpleList &grid, const QString &text)
{
    for (QAction *action : contextMenu(grid)->actions()) {
        if (action->text() == text)
            return action;
    }
    return nullptr;
}

// Right-clicks the slot (row, column) as the table reports it.
void rightClick(WidgetMonitorSimpleList &grid, int row, int column)
{
    QTableWidget *view = table(grid);
    const QRect slot = view->visualRect(view->model()->index(row, column));
    emit view->customContextMenuRequested(slot.center());
}

// Whether the cell, drawn now, shows the alarm red beside its number.
bool drawnRed(WidgetMonitorSimple *cell)
{
    return cell->grab().toImage().pixelColor(2, 2) == QColor(0xE5, 0x39, 0x35);
}

// Counts the paints of a widget and the layouts of its children.
class PaintCounter : public QObject
{
public:
    explicit PaintCounter(QWidget *widget) { widget->installEventFilter(this); }
    int paints = 0;
    int layouts = 0;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        paints += event->type() == QEvent::Paint;
        layouts += event->type() == QEvent::LayoutRequest;
        return false;
    }
};

} // namespace

class TestWidgetMonitorSimpleList : public QObject
{
    Q_OBJECT

private slots:
    void formsHaveTheReferenceLook();
    void cellShowsTheReadingUnitAndRunImage();
    void cellsFillRowsOfFiveAndTheSixthOpensARow();
    void removedSlotsAreFilledFirstWithoutOverlap();
    void menuAppearsOnlyOverACellAndShowsTheFlags();
    void menuSwitchesAskTheDetailPanelOnlyOnChange();
    void detailAndDoubleClickAskForTheMonitor();
    void alarmedCellsFlashTogetherUntilAcknowledgedThenStayRed();
    void thousandsOfCellsScrollAndOnlyThoseInViewArePainted();
};

void TestWidgetMonitorSimpleList::formsHaveTheReferenceLook()
{
    Monitors monitors;
    WidgetMonitorSimple *cell = newCell(monitors.add(false));
    QCOMPARE(cell->size(), QSize(165, 110));
    QCOMPARE(cell->minimumHeight(), 110);
    auto *lcd = cell->findChild<QLCDNumber *>("lcdNumber");
    QCOMPARE(lcd->digitCount(), 6);
    QCOMPARE(lcd->segmentStyle(), QLCDNumber::Flat);
    QCOMPARE(lcd->frameShape(), QFrame::NoFrame);
    auto *unit = cell->findChild<QLabel *>("labelUnit");
    QCOMPARE(unit->font().family(), QString("微软雅黑"));
    QCOMPARE(unit->font().pointSize(), 12);
    QVERIFY(unit->text().isEmpty());
    auto *name = cell->findChild<QLabel *>("labelName");
    QCOMPARE(name->font().family(), QString("新宋体"));
    QCOMPARE(name->font().pointSize(), 14);
    QCOMPARE(name->text(), QString("m1"));
    QCOMPARE(name->alignment(), Qt::AlignCenter);
    auto *indicator = cell->findChild<QCheckBox *>("checkBox");
    QVERIFY(!indicator->isEnabled());
    QCOMPARE(indicator->focusPolicy(), Qt::NoFocus);
    QCOMPARE(indicator->styleSheet(), QString("QCheckBox::indicator::unchecked {   \n"
                                              "    image: url(:/res/image/stop.png);\n}\n\n"
                                              "QCheckBox::indicator::checked { \n"
                                              "    image: url(:/res/image/running.png);\n}"));
    // A monitor switched off has no run indicator.
    QVERIFY(indicator->isHidden());
    QCOMPARE(monitors.collection.getMonitors()[0]->views.at(1), static_cast<void *>(cell));
    delete cell;

    WidgetMonitorSimpleList grid;
    QCOMPARE(grid.size(), QSize(586, 466));
    QTableWidget *view = table(grid);
    QCOMPARE(view->columnCount(), 5);
    QCOMPARE(view->rowCount(), 0);
    QVERIFY(view->horizontalHeader()->isHidden());
    QVERIFY(view->verticalHeader()->isHidden());
    QCOMPARE(view->horizontalHeader()->sectionResizeMode(0), QHeaderView::Stretch);
    QCOMPARE(view->selectionMode(), QAbstractItemView::NoSelection);
    QCOMPARE(view->editTriggers(), QAbstractItemView::NoEditTriggers);
    QCOMPARE(view->styleSheet(),
             QString("QTableWidget::item:hover{\n\tbackground-color: rgb(255, 255, 127);\n}"));
    QStringList texts;
    for (QAction *action : contextMenu(grid)->actions())
        texts << action->text() + (action->isCheckable() ? "*" : "");
    QCOMPARE(texts, QStringList({"详情", "开关*", "记录*"}));
}

void TestWidgetMonitorSimpleList::cellShowsTheReadingUnitAndRunImage()
{
    Monitors monitors;
    std::unique_ptr<WidgetMonitorSimple> cell(newCell(monitors.add()));
    cell->resize(165, 110);
    cell->show();
    QVERIFY(QTest::qWaitForWindowExposed(cell.get()));
    auto *lcd = cell->findChild<QLCDNumber *>("lcdNumber");
    auto *unit = cell->findChild<QLabel *>("labelUnit");
    auto *indicator = cell->findChild<QCheckBox *>("checkBox");
    QVERIFY(!indicator->isHidden());
    // Nothing read yet.
    QVERIFY(lcdShows(lcd, "----"));

    cell->slot_updateResult("7.25", "mg/L", "N");
    QVERIFY(lcdShows(lcd, "7.25"));
    QCOMPARE(unit->text(), QString("mg/L"));
    QVERIFY(indicator->isChecked());

    cell->slot_updateResult("17.00", "pH", "F");
    QVERIFY(lcdShows(lcd, "----"));
    QVERIFY(!lcdShows(lcd, "17.00"));
    QVERIFY(!indicator->isChecked());

    // A silent instrument and a line switched off come with a 0 that was never read.
    cell->slot_updateResult("0.00", "mg/L", "B");
    QVERIFY(lcdShows(lcd, "----"));
    QVERIFY(!indicator->isChecked());
    cell->slot_updateResult("0", "", "B");
    QVERIFY(lcdShows(lcd, "----"));
    QVERIFY(unit->text().isEmpty());

    cell->slot_updateStatus(false);
    QVERIFY(indicator->isHidden());
    cell->slot_updateStatus(true);
    QVERIFY(!indicator->isHidden());
}

void TestWidgetMonitorSimpleList::cellsFillRowsOfFiveAndTheSixthOpensARow()
{
    Monitors monitors;
    WidgetMonitorSimpleList grid;
    std::vector<WidgetMonitorSimple *> cells;
    for (int i = 0; i < 6; ++i) {
        cells.push_back(newCell(monitors.add()));
        grid.addCell(cells.back());
        QCOMPARE(table(grid)->rowCount(), i < 5 ? 1 : 2);
    }
    for (int i = 0; i < 6; ++i) {
        QCOMPARE(grid.position(cells[size_t(i)]), std::make_pair(i / 5, i % 5));
        QCOMPARE(grid.cellAt(i / 5, i % 5), cells[size_t(i)]);
    }
    QCOMPARE(table(grid)->rowHeight(0), 110);
    QCOMPARE(table(grid)->rowHeight(1), 110);
    // The grid draws the cells into its slots; none is a window of its own on screen.
    QVERIFY(cells.back()->testAttribute(Qt::WA_DontShowOnScreen));
    QCOMPARE(grid.cellCount(), 6);
}

void TestWidgetMonitorSimpleList::removedSlotsAreFilledFirstWithoutOverlap()
{
    Monitors monitors;
    WidgetMonitorSimpleList grid;
    std::vector<QPointer<WidgetMonitorSimple>> cells;
    for (int i = 0; i < 7; ++i) {
        cells.emplace_back(newCell(monitors.add()));
        grid.addCell(cells.back());
    }
    grid.removeCell(cells[1]); // (0, 1)
    grid.removeCell(cells[5]); // (1, 0)
    QVERIFY(!grid.cellAt(0, 1));
    QTRY_VERIFY(!cells[1]); // deleted by the table
    QCOMPARE(grid.position(cells[2]), std::make_pair(0, 2));
    QCOMPARE(grid.position(cells[6]), std::make_pair(1, 1));

    // Counting the cells would put the next one on (1, 0), then on (1, 1), which is taken.
    const std::pair<int, int> expected[] = {{0, 1}, {1, 0}, {1, 2}};
    for (const auto &slot : expected) {
        WidgetMonitorSimple *cell = newCell(monitors.add());
        grid.addCell(cell);
        QCOMPARE(grid.position(cell), slot);
        QCOMPARE(grid.cellAt(slot.first, slot.second), cell);
    }
    std::set<std::pair<int, int>> taken;
    int present = 0;
    for (int row = 0; row < table(grid)->rowCount(); ++row) {
        for (int column = 0; column < 5; ++column) {
            if (WidgetMonitorSimple *cell = grid.cellAt(row, column)) {
                ++present;
                QCOMPARE(grid.position(cell), std::make_pair(row, column));
                QVERIFY(taken.insert({row, column}).second);
            }
        }
    }
    QCOMPARE(present, 8);
    QCOMPARE(table(grid)->rowCount(), 2);

    // Removing a cell that is not in the grid changes nothing.
    WidgetMonitorSimple stranger;
    grid.removeCell(&stranger);
    QCOMPARE(grid.cellAt(1, 2) != nullptr, true);
}

void TestWidgetMonitorSimpleList::menuAppearsOnlyOverACellAndShowsTheFlags()
{
    Monitors monitors;
    WidgetMonitorSimpleList grid;
    grid.resize(800, 400);
    grid.show();
    QVERIFY(QTest::qWaitForWindowExposed(&grid));
    grid.addCell(newCell(monitors.add(true, false)));
    grid.addCell(newCell(monitors.add(false, true)));
    QMenu *menu = contextMenu(grid);

    rightClick(grid, 0, 3); // an empty slot of the row
    QVERIFY(!menu->isVisible());
    emit table(grid)->customContextMenuRequested(QPoint(10, 380)); // below every row
    QVERIFY(!menu->isVisible());

    rightClick(grid, 0, 1);
    QTRY_VERIFY(menu->isVisible());
    QVERIFY(!menuAction(grid, "开关")->isChecked());
    QVERIFY(menuAction(grid, "记录")->isChecked());
    menu->hide();
    rightClick(grid, 0, 0);
    QTRY_VERIFY(menu->isVisible());
    QVERIFY(menuAction(grid, "开关")->isChecked());
    QVERIFY(!menuAction(grid, "记录")->isChecked());
    menu->hide();
    // Showing the flags switched nothing.
    QVERIFY(monitors.collection.getMonitors()[0]->isRunning());
    QVERIFY(!monitors.collection.getMonitors()[1]->isRunning());
}

void TestWidgetMonitorSimpleList::menuSwitchesAskTheDetailPanelOnlyOnChange()
{
    Monitors monitors;
    WidgetMonitorSimpleList grid;
    grid.resize(800, 400);
    MonitorBase *monitor = monitors.add(true, true);
    WidgetMonitorSimple *cell = newCell(monitor);
    grid.addCell(cell);
    QSignalSpy status(cell, &WidgetMonitorSimple::signal_updateStatus);
    QSignalSpy record(cell, &WidgetMonitorSimple::signal_updateRecord);
    auto *indicator = cell->findChild<QCheckBox *>("checkBox");

    rightClick(grid, 0, 0);
    QCOMPARE(status.count(), 0);
    QCOMPARE(record.count(), 0);
    menuAction(grid, "开关")->trigger();
    QCOMPARE(status.count(), 1);
    QCOMPARE(status.at(0).at(0).toBool(), false);
    QVERIFY(indicator->isHidden());
    menuAction(grid, "记录")->trigger();
    QCOMPARE(record.count(), 1);
    QCOMPARE(record.at(0).at(0).toBool(), false);

    // The detail panel did not follow (nothing is connected here): the next menu shows the
    // monitor's flags again and asks again only on a change.
    rightClick(grid, 0, 0);
    QCOMPARE(status.count(), 1);
    QCOMPARE(record.count(), 1);
    monitor->setRunning(false);
    menuAction(grid, "开关")->trigger(); // checked -> unchecked equals the flag now
    QCOMPARE(status.count(), 1);
    menuAction(grid, "开关")->trigger(); // unchecked -> checked
    QCOMPARE(status.count(), 2);
    QCOMPARE(status.at(1).at(0).toBool(), true);
    QVERIFY(!indicator->isHidden());
}

void TestWidgetMonitorSimpleList::detailAndDoubleClickAskForTheMonitor()
{
    Monitors monitors;
    WidgetMonitorSimpleList grid;
    grid.resize(800, 400);
    grid.show();
    QVERIFY(QTest::qWaitForWindowExposed(&grid));
    MonitorBase *first = monitors.add();
    MonitorBase *second = monitors.add();
    grid.addCell(newCell(first));
    WidgetMonitorSimple *cell = newCell(second);
    grid.addCell(cell);
    QSignalSpy active(&grid, &WidgetMonitorSimpleList::signal_activeMonitor);

    rightClick(grid, 0, 1);
    menuAction(grid, "详情")->trigger();
    QCOMPARE(active.count(), 1);
    QCOMPARE(active.at(0).at(0).value<MonitorBase *>(), second);
    // The remembered slot is used once.
    menuAction(grid, "详情")->trigger();
    QCOMPARE(active.count(), 1);

    // A double click on the cell's slot. As a window system sends it: press and release, then
    // the double click.
    QTableWidget *view = table(grid);
    const QPoint centre = view->visualRect(view->model()->index(0, 1)).center();
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, centre);
    QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, centre);
    QTRY_COMPARE(active.count(), 2);
    QCOMPARE(active.at(1).at(0).value<MonitorBase *>(), second);
    grid.on_tableWidget_cellDoubleClicked(0, 4); // empty slot
    QCOMPARE(active.count(), 2);
}

void TestWidgetMonitorSimpleList::alarmedCellsFlashTogetherUntilAcknowledgedThenStayRed()
{
    Monitors monitors;
    WidgetMonitorSimpleList grid;
    grid.resize(900, 400);
    grid.show();
    QVERIFY(QTest::qWaitForWindowExposed(&grid));
    std::vector<QPointer<WidgetMonitorSimple>> cells;
    for (int i = 0; i < 4; ++i) {
        cells.emplace_back(newCell(monitors.add()));
        grid.addCell(cells.back());
    }
    AlarmFlasher *flasher = grid.alarmFlasher();
    QVERIFY(!flasher->isRunning());
    QVERIFY(!drawnRed(cells[0]));

    cells[0]->setAlarm(WidgetMonitorSimple::AlarmLook::Flashing, "报警：高报");
    cells[1]->setAlarm(WidgetMonitorSimple::AlarmLook::Flashing, "报警：低报");
    cells[2]->setAlarm(WidgetMonitorSimple::AlarmLook::Steady, "报警：通讯故障");
    QVERIFY(flasher->isRunning());
    QCOMPARE(flasher->count(), 2);
    QCOMPARE(cells[0]->toolTip(), QString("报警：高报"));
    // Red at once, then the flashing cells go dark and red again together; the acknowledged
    // one stays red and the quiet one never turns.
    for (bool lit : {true, false, true}) {
        QCOMPARE(drawnRed(cells[0]), lit);
        QCOMPARE(drawnRed(cells[1]), lit);
        QVERIFY(drawnRed(cells[2]));
        QVERIFY(!drawnRed(cells[3]));
        flasher->flip();
    }
    flasher->flip();

    // A flip repaints only the flashing cells and lays out nothing (counted after a first
    // flip, once whatever the window still had to paint is done).
    // The rows the cells opened are laid out before counting.
    QCoreApplication::processEvents();
    std::vector<std::unique_ptr<PaintCounter>> counters;
    for (auto &cell : cells)
        counters.emplace_back(new PaintCounter(cell));
    PaintCounter tableLayouts(table(grid));
    for (int round = 0; round < 2; ++round) {
        for (auto &counter : counters)
            counter->paints = counter->layouts = 0;
        flasher->flip();
        QTRY_VERIFY(counters[0]->paints > 0 && counters[1]->paints > 0);
        QCoreApplication::processEvents();
    }
    QCOMPARE(counters[2]->paints, 0);
    QCOMPARE(counters[3]->paints, 0);
    for (auto &counter : counters)
        QCOMPARE(counter->layouts, 0);
    QCOMPARE(tableLayouts.layouts, 0);

    // Acknowledged: steady red whatever the phase. The timer stops with the last flashing cell.
    cells[0]->setAlarm(WidgetMonitorSimple::AlarmLook::Steady, "报警：高报");
    QCOMPARE(flasher->count(), 1);
    flasher->flip();
    QVERIFY(drawnRed(cells[0]));
    // A flashing cell taken out of the grid no longer blinks with it.
    grid.removeCell(cells[1]);
    QTRY_VERIFY(!cells[1]);
    QCOMPARE(flasher->count(), 0);
    QVERIFY(!flasher->isRunning());

    // Cleared: the cell's own look again.
    cells[0]->setAlarm(WidgetMonitorSimple::AlarmLook::None, QString());
    QVERIFY(!drawnRed(cells[0]));
    QVERIFY(cells[0]->toolTip().isEmpty());
    // A new alarm after a quiet spell is red at once.
    cells[3]->setAlarm(WidgetMonitorSimple::AlarmLook::Flashing, "报警：高报");
    QVERIFY(drawnRed(cells[3]));
}

void TestWidgetMonitorSimpleList::thousandsOfCellsScrollAndOnlyThoseInViewArePainted()
{
    // Eight lines of 247 instruments.
    constexpr int count = 1976;
    Monitors monitors;
    std::vector<WidgetMonitorSimple *> cells;
    {
        WidgetMonitorSimpleList grid;
        grid.resize(900, 500);
        for (int i = 0; i < count; ++i) {
            cells.push_back(newCell(monitors.add(i != 1502, true)));
            grid.addCell(cells.back());
        }
        grid.show();
        QVERIFY(QTest::qWaitForWindowExposed(&grid));
        QTableWidget *view = table(grid);
        QCOMPARE(view->rowCount(), count / 5 + 1);
        QCOMPARE(grid.cellCount(), count);

        // Far down: the slot under the pointer is the cell of that slot, for the menu and the
        // double click alike.
        const QModelIndex far = view->model()->index(1502 / 5, 1502 % 5);
        view->scrollTo(far, QAbstractItemView::PositionAtCenter);
        QTRY_VERIFY(view->viewport()->rect().contains(view->visualRect(far).center()));
        QVERIFY(view->verticalScrollBar()->value() > 0);
        QCOMPARE(grid.cellAt(far.row(), far.column()), cells[1502]);
        emit view->customContextMenuRequested(view->visualRect(far).center());
        QTRY_VERIFY(contextMenu(grid)->isVisible());
        QVERIFY(!menuAction(grid, "开关")->isChecked()); // the only monitor switched off
        contextMenu(grid)->hide();
        QSignalSpy active(&grid, &WidgetMonitorSimpleList::signal_activeMonitor);
        const QPoint centre = view->visualRect(far).center();
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, centre);
        QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, centre);
        QTRY_COMPARE(active.count(), 1);
        QCOMPARE(active.at(0).at(0).value<MonitorBase *>(),
                 monitors.collection.getMonitors()[1502]);

        // The cell is drawn where its slot is: red there, not in the neighbouring slot.
        cells[1502]->setAlarm(WidgetMonitorSimple::AlarmLook::Steady, "报警：高报");
        const QRect slot = view->visualRect(far);
        const QRect next = view->visualRect(view->model()->index(far.row(), far.column() + 1));
        QTRY_COMPARE(view->viewport()->grab().toImage().pixelColor(slot.topLeft() + QPoint(4, 4)),
                     QColor(0xE5, 0x39, 0x35));
        QVERIFY(view->viewport()->grab().toImage().pixelColor(next.topLeft() + QPoint(4, 4)) !=
                QColor(0xE5, 0x39, 0x35));

        // A new reading repaints the cell in view and none out of it.
        QCoreApplication::processEvents();
        PaintCounter shown(cells[1502]);
        PaintCounter hidden(cells[0]);
        cells[1502]->slot_updateResult("7.25", "mg/L", "N");
        cells[0]->slot_updateResult("7.25", "mg/L", "N");
        QTRY_VERIFY(shown.paints > 0);
        QCoreApplication::processEvents();
        QCOMPARE(hidden.paints, 0);
        // The same reading again changes nothing and paints nothing.
        shown.paints = 0;
        cells[1502]->slot_updateResult("7.25", "mg/L", "N");
        QCoreApplication::processEvents();
        QCOMPARE(shown.paints, 0);
        // Only the drawn cell's widgets took the reading; the other's take it when drawn.
        QVERIFY(lcdShows(cells[1502]->findChild<QLCDNumber *>(), "7.25"));
        QVERIFY(lcdShows(cells[0]->findChild<QLCDNumber *>(), "----"));
        view->scrollToTop();
        QTRY_VERIFY(hidden.paints > 0);
        QVERIFY(lcdShows(cells[0]->findChild<QLCDNumber *>(), "7.25"));
        QCOMPARE(cells[0]->findChild<QLabel *>("labelUnit")->text(), QString("mg/L"));

        // A removed slot draws nothing and is refilled first, even far down.
        QPointer<WidgetMonitorSimple> removed(cells[1502]);
        grid.removeCell(cells[1502]);
        QTRY_VERIFY(!removed);
        QVERIFY(!grid.cellAt(far.row(), far.column()));
        WidgetMonitorSimple *added = newCell(monitors.add());
        grid.addCell(added);
        QCOMPARE(grid.position(added), std::make_pair(far.row(), far.column()));
        cells[1502] = added;
    }
}

QTEST_MAIN(TestWidgetMonitorSimpleList)
#include "tst_widgetmonitorsimplelist.moc"
