#include "widgetmonitorsimplelist.h"
#include "ui_widgetmonitorsimplelist.h"

#include "instruments/monitorbase.h"
#include "panels/alarmflasher.h"
#include "panels/monitorcelldelegate.h"
#include "panels/widgetmonitorsimple.h"

#include <QCursor>
#include <QHeaderView>
#include <QMenu>

WidgetMonitorSimpleList::WidgetMonitorSimpleList(QWidget *parent)
    : QWidget(parent), ui(new Ui::WidgetMonitorSimpleList), menu(new QMenu(this)),
      flasher(new AlarmFlasher(this)), menuRow(-1), menuColumn(-1)
{
    ui->setupUi(this);
    QTableWidget *table = ui->tableWidget;
    table->setColumnCount(columns);
    table->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    table->horizontalHeader()->hide();
    table->verticalHeader()->hide();
    table->setItemDelegate(new MonitorCellDelegate(this));
    // Scrolled by a fraction of a row, the cells a wheel turn passes stay readable.
    table->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    connect(flasher, &AlarmFlasher::signal_flipped, this, &WidgetMonitorSimpleList::updateFlashing);

    actionDetail = menu->addAction(QStringLiteral("详情"));
    actionSwitch = menu->addAction(QStringLiteral("开关"));
    actionSwitch->setCheckable(true);
    actionRecord = menu->addAction(QStringLiteral("记录"));
    actionRecord->setCheckable(true);
    connect(actionDetail, &QAction::triggered, this, &WidgetMonitorSimpleList::slot_showDetail);
    connect(actionSwitch, &QAction::toggled, this, &WidgetMonitorSimpleList::slot_setSwitch);
    connect(actionRecord, &QAction::toggled, this, &WidgetMonitorSimpleList::slot_setRecord);
    table->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(table, &QWidget::customContextMenuRequested, this,
            &WidgetMonitorSimpleList::slot_popRightMenu);
}

WidgetMonitorSimpleList::~WidgetMonitorSimpleList()
{
    std::vector<WidgetMonitorSimple *> cells;
    for (const auto &entry : cellPositions)
        cells.push_back(entry.first);
    for (WidgetMonitorSimple *cell : cells) {
        disconnect(cell, nullptr, this, nullptr);
        delete cell;
    }
    delete ui;
}

void WidgetMonitorSimpleList::addCell(WidgetMonitorSimple *cell)
{
    if (cellPositions.count(cell))
        return;
    // Slots freed by removals are filled first, so no cell ever lands on another.
    int slot = int(slotCells.size());
    if (!freeSlots.empty()) {
        slot = *freeSlots.begin();
        freeSlots.erase(freeSlots.begin());
    } else {
        slotCells.push_back(nullptr);
    }
    slotCells[size_t(slot)] = cell;
    const int row = slot / columns;
    const int column = slot % columns;

    QTableWidget *table = ui->tableWidget;
    if (row >= table->rowCount()) {
        if (table->rowCount() == 0)
            table->verticalHeader()->setDefaultSectionSize(cell->height());
        table->insertRow(row);
        if (table->rowHeight(row) != cell->height())
            table->setRowHeight(row, cell->height());
    }
    cellPositions[cell] = {row, column};
    // Drawn by the table, never shown itself: no window of its own ever appears.
    cell->setParent(nullptr);
    cell->setAttribute(Qt::WA_DontShowOnScreen);
    cell->setFlasher(flasher);
    connect(cell, &WidgetMonitorSimple::signal_changed, this, [this, cell] { updateCell(cell); });
    // A cell deleted by someone else leaves its slot empty.
    connect(cell, &QObject::destroyed, this, [this, cell] {
        const auto gone = cellPositions.find(cell);
        if (gone == cellPositions.end())
            return;
        const int slot = gone->second.first * columns + gone->second.second;
        cellPositions.erase(gone);
        slotCells[size_t(slot)] = nullptr;
        freeSlots.insert(slot);
    });
    updateCell(cell);
}

void WidgetMonitorSimpleList::removeCell(WidgetMonitorSimple *cell)
{
    const auto found = cellPositions.find(cell);
    if (found == cellPositions.end())
        return;
    const auto [row, column] = found->second;
    cellPositions.erase(found);
    slotCells[size_t(row * columns + column)] = nullptr;
    freeSlots.insert(row * columns + column);
    if (menuRow == row && menuColumn == column)
        menuRow = menuColumn = -1;
    disconnect(cell, nullptr, this, nullptr);
    cell->setFlasher(nullptr);
    // Deleted later, as a table deletes a cell widget: the caller may still hold it.
    cell->deleteLater();
    QTableWidget *table = ui->tableWidget;
    table->viewport()->update(table->visualRect(table->model()->index(row, column)));
}

WidgetMonitorSimple *WidgetMonitorSimpleList::cellAt(int row, int column) const
{
    if (row < 0 || column < 0 || column >= columns)
        return nullptr;
    const size_t slot = size_t(row) * columns + size_t(column);
    return slot < slotCells.size() ? slotCells[slot] : nullptr;
}

std::pair<int, int> WidgetMonitorSimpleList::position(WidgetMonitorSimple *cell) const
{
    const auto found = cellPositions.find(cell);
    return found != cellPositions.end() ? found->second : std::make_pair(-1, -1);
}

void WidgetMonitorSimpleList::updateCell(WidgetMonitorSimple *cell)
{
    const auto found = cellPositions.find(cell);
    if (found == cellPositions.end())
        return;
    QTableWidget *table = ui->tableWidget;
    if (!table->isVisible())
        return;
    const QRect rect =
        table->visualRect(table->model()->index(found->second.first, found->second.second));
    if (rect.intersects(table->viewport()->rect()))
        table->viewport()->update(rect);
}

void WidgetMonitorSimpleList::updateFlashing()
{
    for (QWidget *widget : flasher->widgets())
        updateCell(static_cast<WidgetMonitorSimple *>(widget));
}

void WidgetMonitorSimpleList::on_tableWidget_cellDoubleClicked(int row, int column)
{
    if (WidgetMonitorSimple *cell = cellAt(row, column))
        emit signal_activeMonitor(cell->monitor());
}

void WidgetMonitorSimpleList::slot_popRightMenu(const QPoint &pos)
{
    const QModelIndex index = ui->tableWidget->indexAt(pos);
    WidgetMonitorSimple *cell = index.isValid() ? cellAt(index.row(), index.column()) : nullptr;
    if (!cell)
        return;
    menuRow = index.row();
    menuColumn = index.column();
    // The slots ignore values equal to the monitor's flags, so this switches nothing.
    actionSwitch->setChecked(cell->monitor()->isRunning());
    actionRecord->setChecked(cell->monitor()->isRecord());
    menu->popup(QCursor::pos());
}

void WidgetMonitorSimpleList::slot_showDetail()
{
    if (WidgetMonitorSimple *cell = cellAt(menuRow, menuColumn))
        emit signal_activeMonitor(cell->monitor());
    menuRow = menuColumn = -1;
}

void WidgetMonitorSimpleList::slot_setSwitch(bool checked)
{
    WidgetMonitorSimple *cell = cellAt(menuRow, menuColumn);
    if (!cell || checked == cell->monitor()->isRunning())
        return;
    cell->slot_updateStatus(checked);
    emit cell->signal_updateStatus(checked);
}

void WidgetMonitorSimpleList::slot_setRecord(bool checked)
{
    WidgetMonitorSimple *cell = cellAt(menuRow, menuColumn);
    if (cell && checked != cell->monitor()->isRecord())
        emit cell->signal_updateRecord(checked);
}
