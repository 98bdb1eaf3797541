#include "widgetmonitorsimplelist.h"
#include "ui_widgetmonitorsimplelist.h"

#include "instruments/monitorbase.h"
#include "panels/alarmflasher.h"
#include "panels/widgetmonitorsimple.h"

#include <QCursor>
#include <QHeaderView>
#include <QMenu>

#include <set>

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
    delete ui;
}

void WidgetMonitorSimpleList::addCell(WidgetMonitorSimple *cell)
{
    std::set<std::pair<int, int>> taken;
    for (const auto &entry : cellPositions)
        taken.insert(entry.second);
    // Slots freed by removals are filled first, so no cell ever lands on another.
    int slot = 0;
    while (taken.count({slot / columns, slot % columns}))
        ++slot;
    const int row = slot / columns;
    const int column = slot % columns;

    QTableWidget *table = ui->tableWidget;
    if (row >= table->rowCount()) {
        table->insertRow(row);
        table->setRowHeight(row, cell->height());
    }
    table->setCellWidget(row, column, cell);
    cellPositions[cell] = {row, column};
    cell->setFlasher(flasher);
}

void WidgetMonitorSimpleList::removeCell(WidgetMonitorSimple *cell)
{
    const auto found = cellPositions.find(cell);
    if (found == cellPositions.end())
        return;
    const auto [row, column] = found->second;
    cellPositions.erase(found);
    if (menuRow == row && menuColumn == column)
        menuRow = menuColumn = -1;
    // The table deletes the cell later; it must not be seen until then.
    cell->setFlasher(nullptr);
    cell->hide();
    ui->tableWidget->removeCellWidget(row, column);
}

WidgetMonitorSimple *WidgetMonitorSimpleList::cellAt(int row, int column) const
{
    return qobject_cast<WidgetMonitorSimple *>(ui->tableWidget->cellWidget(row, column));
}

std::pair<int, int> WidgetMonitorSimpleList::position(WidgetMonitorSimple *cell) const
{
    const auto found = cellPositions.find(cell);
    return found != cellPositions.end() ? found->second : std::make_pair(-1, -1);
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
