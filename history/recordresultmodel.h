#ifndef RECORDRESULTMODEL_H
#define RECORDRESULTMODEL_H

#include "storage/recordresult.h"

#include <QAbstractTableModel>

#include <memory>

// The found records as a read-only table of the nine record columns, every text centred. Rows
// stream in while a search runs; the model keeps them in their final order throughout.
class RecordResultModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    explicit RecordResultModel(QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    // Drops every row and starts a new result.
    void clear();
    void append(RecordBatch &&batch);
    // Rows of equal time into their final order; the result no longer changes afterwards.
    void finish();
    // The rows held now. After finish() it no longer changes and may be read on any thread.
    std::shared_ptr<const RecordResult> result() const { return rows; }

private:
    std::shared_ptr<RecordResult> rows;
    QStringList headers;
};

#endif // RECORDRESULTMODEL_H
