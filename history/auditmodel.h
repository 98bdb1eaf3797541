#ifndef AUDITMODEL_H
#define AUDITMODEL_H

#include "storage/accounts.h"

#include <QAbstractTableModel>
#include <QVector>

// Rows of the trail as a read-only table: 时间, 用户, 操作, 详情.
class AuditModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    using QAbstractTableModel::QAbstractTableModel;

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    void setEntries(const QVector<Accounts::AuditEntry> &found);
    const QVector<Accounts::AuditEntry> &entries() const { return rows; }

private:
    QVector<Accounts::AuditEntry> rows;
};

#endif // AUDITMODEL_H
