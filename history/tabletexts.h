#ifndef TABLETEXTS_H
#define TABLETEXTS_H

#include <QString>
#include <QStringList>
#include <QVector>

#include <vector>

class QTableWidget;
struct RecordRow;

// The texts of a table taken on the table's own thread, so that another thread can write them
// out without touching the widget. Copies share the strings.
struct TableTexts
{
    QStringList headers;
    // Row by row, headers.size() texts per row.
    QVector<QString> cells;

    int rowCount() const { return headers.isEmpty() ? 0 : cells.size() / headers.size(); }
    // Reads every header and item; call it on the table's thread.
    static TableTexts of(const QTableWidget *table);
    // The rows in the nine columns of a record table (time, name, model, id, channel, factor,
    // value, unit, status). Equal texts of consecutive rows share one string.
    static TableTexts ofRecords(const std::vector<RecordRow *> &rows);
};

#endif // TABLETEXTS_H
