#ifndef LINESTATUSMODEL_H
#define LINESTATUSMODEL_H

#include "line/linehealth.h"

#include <QAbstractTableModel>
#include <QString>

#include <array>
#include <vector>

// One row per instrument of the line with its exchange statistics and demotion, as the
// 通讯状态 view shows them. update() runs after every pass: it turns only the figures that
// changed into texts and announces only those cells, so a view repaints a few cells instead
// of the whole table.
class LineStatusModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum Column
    {
        Name,
        Id,
        Model,
        State,
        Exchanges,
        NoAnswer,
        FrameErrors,
        ExceptionAnswers,
        OtherModel,
        Unsupported,
        PortErrors,
        LastResponse,
        MedianResponse,
        MaxResponse,
        LastGoodAnswer,
        ColumnCount
    };

    // What one row is made of, copied from a monitor on the interface thread.
    struct Instrument
    {
        QString name;
        int id = 0;
        QString model;
        bool synced = false;
        SyncFailure syncFailure;
        InstrumentHealth health;
    };

    explicit LineStatusModel(QObject *parent = nullptr);

    // Rows follow `instruments` in order; a changed number of rows resets the model, anything
    // else only emits dataChanged for the cells that changed.
    void update(const std::vector<Instrument> &instruments);

    // "正常", "降级，约N秒后重试" or the reason the instrument is not synced.
    static QString stateText(const Instrument &instrument);
    // The reason and the next try of a demoted instrument, for tooltips; empty when it is not.
    static QString demotionText(const InstrumentHealth &health);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

private:
    struct Row
    {
        std::array<QString, ColumnCount> texts;
        bool demoted = false;
        QString tip;
        Instrument shown; // the figures the texts were made from
    };

    static std::array<bool, ColumnCount> differences(const Instrument &was, const Instrument &now);
    // Makes the texts of the columns in `which` from `instrument`.
    void fill(const Instrument &instrument, const std::array<bool, ColumnCount> &which, Row &row);
    // "yyyy-MM-dd hh:mm:ss" of a wall-clock time; the instruments of a pass mostly answer
    // within the same second, and a time-zone conversion costs more than all other texts.
    const QString &timeText(long long msSinceEpoch);

    std::vector<Row> rows;
    long long shownSecond = -1;
    QString shownTime;
};

#endif // LINESTATUSMODEL_H
