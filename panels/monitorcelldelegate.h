#ifndef MONITORCELLDELEGATE_H
#define MONITORCELLDELEGATE_H

#include <QStyledItemDelegate>

class WidgetMonitorSimpleList;

// Draws the overview grid's cells into their slots over the slot's own look (the hover colour
// above all), and answers tooltips with the cell's.
class MonitorCellDelegate : public QStyledItemDelegate
{
    Q_OBJECT

public:
    explicit MonitorCellDelegate(WidgetMonitorSimpleList *grid);

    void paint(QPainter *painter, const QStyleOptionViewItem &option,
               const QModelIndex &index) const override;
    bool helpEvent(QHelpEvent *event, QAbstractItemView *view, const QStyleOptionViewItem &option,
                   const QModelIndex &index) override;

private:
    WidgetMonitorSimpleList *grid;
};

#endif // MONITORCELLDELEGATE_H
