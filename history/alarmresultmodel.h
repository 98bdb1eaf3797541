#ifndef ALARMRESULTMODEL_H
#define ALARMRESULTMODEL_H

#include "storage/alarmreader.h"

#include <QAbstractTableModel>
#include <QMetaType>
#include <QStringList>

#include <memory>
#include <vector>

// Found alarms as they travel between the lookup's threads; never changed once handed over.
using AlarmEntries = std::shared_ptr<const std::vector<AlarmReader::Entry>>;
Q_DECLARE_METATYPE(AlarmEntries)

// The found alarms as a read-only table of the alarm workbook's columns, every text centred;
// an alarm still active shows 未解除 as its clear time, in red.
class AlarmResultModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    explicit AlarmResultModel(QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    void setEntries(AlarmEntries found);
    AlarmEntries entries() const { return rows; }

private:
    AlarmEntries rows;
    QStringList headers;
};

#endif // ALARMRESULTMODEL_H
