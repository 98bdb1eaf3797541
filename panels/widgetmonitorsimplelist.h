#ifndef WIDGETMONITORSIMPLELIST_H
#define WIDGETMONITORSIMPLELIST_H

#include <QPoint>
#include <QWidget>

#include <set>
#include <unordered_map>
#include <utility>
#include <vector>

class AlarmFlasher;
class MonitorBase;
class QAction;
class QMenu;
class WidgetMonitorSimple;

namespace Ui {
class WidgetMonitorSimpleList;
}

// The overview grid: one cell per monitor, five to a row, with a context menu per cell to
// open the monitor's page and to switch its run state and recording. Its cells' alarm colour
// blinks to one timer.
//
// The cells are not children of the table: thousands of them would all be laid out, polished
// and moved on every scroll. The table only holds empty slots, and its delegate draws the cells
// of the slots in view; a cell that changes asks for its slot to be drawn again.
class WidgetMonitorSimpleList : public QWidget
{
    Q_OBJECT

public:
    static constexpr int columns = 5;

    explicit WidgetMonitorSimpleList(QWidget *parent = nullptr);
    ~WidgetMonitorSimpleList() override;

    // Puts the cell into the first free slot in reading order, adding a row of the cell's
    // height when every slot is taken. The grid takes the cell over.
    void addCell(WidgetMonitorSimple *cell);
    // Empties the cell's slot and deletes the cell later; the other cells stay where they are.
    void removeCell(WidgetMonitorSimple *cell);
    int cellCount() const { return int(cellPositions.size()); }
    // The cell standing at a slot, or null.
    WidgetMonitorSimple *cellAt(int row, int column) const;
    // The slot of a cell, or (-1, -1).
    std::pair<int, int> position(WidgetMonitorSimple *cell) const;
    AlarmFlasher *alarmFlasher() const { return flasher; }
    // Draws the cell's slot again if it is in view.
    void updateCell(WidgetMonitorSimple *cell);

signals:
    void signal_activeMonitor(MonitorBase *monitor);

public slots:
    void on_tableWidget_cellDoubleClicked(int row, int column);
    // pos in the table's viewport, as its customContextMenuRequested gives it.
    void slot_popRightMenu(const QPoint &pos);
    void slot_showDetail();
    void slot_setSwitch(bool checked);
    void slot_setRecord(bool checked);

private:
    void updateFlashing();

    Ui::WidgetMonitorSimpleList *ui;
    std::unordered_map<WidgetMonitorSimple *, std::pair<int, int>> cellPositions;
    // Cells by slot (row * columns + column); null where a cell was removed.
    std::vector<WidgetMonitorSimple *> slotCells;
    // Emptied slots, filled first.
    std::set<int> freeSlots;
    QMenu *menu;
    AlarmFlasher *flasher;
    QAction *actionDetail;
    QAction *actionSwitch;
    QAction *actionRecord;
    int menuRow;
    int menuColumn;
};

#endif // WIDGETMONITORSIMPLELIST_H
