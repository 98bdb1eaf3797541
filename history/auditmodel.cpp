#include "auditmodel.h"

int AuditModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : rows.size();
}

int AuditModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : 4;
}

QVariant AuditModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= rows.size())
        return QVariant();
    const Accounts::AuditEntry &entry = rows.at(index.row());
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole)
        return QVariant();
    switch (index.column()) {
    case 0:
        return entry.time;
    case 1:
        return entry.user;
    case 2:
        return entry.action;
    case 3:
        return entry.detail;
    default:
        return QVariant();
    }
}

QVariant AuditModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    switch (section) {
    case 0:
        return QStringLiteral("时间");
    case 1:
        return QStringLiteral("用户");
    case 2:
        return QStringLiteral("操作");
    case 3:
        return QStringLiteral("详情");
    default:
        return QVariant();
    }
}

void AuditModel::setEntries(const QVector<Accounts::AuditEntry> &found)
{
    beginResetModel();
    rows = found;
    endResetModel();
}
