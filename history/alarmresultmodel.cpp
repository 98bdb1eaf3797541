#include "alarmresultmodel.h"

#include "history/recordworkbook.h"

#include <QBrush>
#include <QColor>

namespace {

enum Column
{
    RaisedColumn,
    NameColumn,
    SlaveColumn,
    ChannelColumn,
    FactorColumn,
    KindColumn,
    ValueColumn,
    AlarmPointColumn,
    ClearedColumn,
    AckedColumn
};

QString utf8(const std::string &text)
{
    return QString::fromUtf8(text.data(), int(text.size()));
}

} // namespace

AlarmResultModel::AlarmResultModel(QObject *parent)
    : QAbstractTableModel(parent),
      rows(std::make_shared<const std::vector<AlarmReader::Entry>>()),
      headers(RecordWorkbook::alarmHeaders())
{
    qRegisterMetaType<AlarmEntries>();
}

int AlarmResultModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(rows->size());
}

int AlarmResultModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : headers.size();
}

QVariant AlarmResultModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || size_t(index.row()) >= rows->size())
        return QVariant();
    const AlarmReader::Entry &alarm = (*rows)[size_t(index.row())];
    if (role == Qt::TextAlignmentRole)
        return int(Qt::AlignCenter);
    if (role == Qt::ForegroundRole)
        return alarm.isActive() ? QVariant(QBrush(Qt::red)) : QVariant();
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole)
        return QVariant();
    // Why it cleared, where the log says.
    if (role == Qt::ToolTipRole && index.column() == ClearedColumn && !alarm.reason.empty())
        return utf8(alarm.cleared) + QStringLiteral("（") + utf8(alarm.reason) +
               QStringLiteral("）");
    switch (index.column()) {
    case RaisedColumn:
        return utf8(alarm.raised);
    case NameColumn:
        return utf8(alarm.name);
    case SlaveColumn:
        return alarm.slave;
    case ChannelColumn:
        return alarm.channel;
    case FactorColumn:
        return utf8(alarm.factor);
    case KindColumn:
        return utf8(alarm.kind);
    case ValueColumn:
        return utf8(alarm.value);
    case AlarmPointColumn:
        return utf8(alarm.alarmPoint);
    case ClearedColumn:
        return alarm.isActive() ? RecordWorkbook::kActiveText : utf8(alarm.cleared);
    case AckedColumn:
        return utf8(alarm.acked);
    default:
        return QVariant();
    }
}

QVariant AlarmResultModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole)
        return headers.value(section);
    return QAbstractTableModel::headerData(section, orientation, role);
}

void AlarmResultModel::setEntries(AlarmEntries found)
{
    beginResetModel();
    rows = found ? std::move(found) : std::make_shared<const std::vector<AlarmReader::Entry>>();
    endResetModel();
}
