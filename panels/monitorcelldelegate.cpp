#include "monitorcelldelegate.h"

#include "panels/widgetmonitorsimple.h"
#include "panels/widgetmonitorsimplelist.h"

#include <QAbstractItemView>
#include <QHelpEvent>
#include <QPainter>
#include <QToolTip>

MonitorCellDelegate::MonitorCellDelegate(WidgetMonitorSimpleList *grid)
    : QStyledItemDelegate(grid), grid(grid)
{
}

void MonitorCellDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option,
                                const QModelIndex &index) const
{
    QStyledItemDelegate::paint(painter, option, index);
    WidgetMonitorSimple *cell = grid->cellAt(index.row(), index.column());
    if (!cell)
        return;
    cell->prepareToDraw();
    if (cell->size() != option.rect.size())
        cell->resize(option.rect.size());
    // Without its window background: the slot's hover colour shows through, as it did under
    // a cell widget.
    painter->save();
    painter->translate(option.rect.topLeft());
    cell->render(painter, QPoint(), QRegion(), QWidget::DrawChildren);
    painter->restore();
}

bool MonitorCellDelegate::helpEvent(QHelpEvent *event, QAbstractItemView *view,
                                    const QStyleOptionViewItem &option, const QModelIndex &index)
{
    if (event->type() != QEvent::ToolTip)
        return QStyledItemDelegate::helpEvent(event, view, option, index);
    WidgetMonitorSimple *cell =
        index.isValid() ? grid->cellAt(index.row(), index.column()) : nullptr;
    const QString text = cell ? cell->shownToolTip() : QString();
    if (text.isEmpty()) {
        QToolTip::hideText();
        event->ignore();
        return false;
    }
    QToolTip::showText(event->globalPos(), text, view->viewport(), option.rect);
    return true;
}
