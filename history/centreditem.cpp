#include "centreditem.h"

CentredItem::CentredItem(const QString &text) : text(text) {}

QVariant CentredItem::data(int role) const
{
    if (role == Qt::DisplayRole || role == Qt::EditRole || role == Qt::ToolTipRole)
        return text;
    if (role == Qt::TextAlignmentRole)
        return int(Qt::AlignCenter);
    return QTableWidgetItem::data(role);
}
