#include "recordresultmodel.h"

#include "history/recordworkbook.h"

RecordResultModel::RecordResultModel(QObject *parent)
    : QAbstractTableModel(parent), rows(std::make_shared<RecordResult>()),
      headers(RecordWorkbook::headers())
{
}

int RecordResultModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : rows->rowCount();
}

int RecordResultModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : headers.size();
}

QVariant RecordResultModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= rows->rowCount())
        return QVariant();
    if (role == Qt::DisplayRole || role == Qt::ToolTipRole)
        return rows->text(index.row(), index.column());
    if (role == Qt::TextAlignmentRole)
        return int(Qt::AlignCenter);
    return QVariant();
}

QVariant RecordResultModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole)
        return headers.value(section);
    return QAbstractTableModel::headerData(section, orientation, role);
}

void RecordResultModel::clear()
{
    beginResetModel();
    // A writer may still hold the old rows; they go when it lets them go.
    rows = std::make_shared<RecordResult>();
    endResetModel();
}

void RecordResultModel::append(RecordBatch &&batch)
{
    if (batch.rows.empty())
        return;
    // New rows mostly land in the middle, one run per instrument and channel. Announced as they
    // are, each run would make the view's header move its record of every later row; so the
    // view is told of as many rows added at the end, and of changed contents from the first
    // row that moved.
    const int before = rows->rowCount();
    const int added = int(batch.rows.size());
    beginInsertRows(QModelIndex(), before, before + added - 1);
    const int firstChanged = rows->append(std::move(batch));
    endInsertRows();
    if (firstChanged < before)
        emit dataChanged(index(firstChanged, 0), index(before - 1, headers.size() - 1));
}

void RecordResultModel::finish()
{
    rows->finish();
    if (rows->rowCount() > 0)
        emit dataChanged(index(0, 0), index(rows->rowCount() - 1, headers.size() - 1));
}
