#include "tabletexts.h"

#include "history/recordworkbook.h"
#include "storage/recordrow.h"

#include <QTableWidget>

namespace {

// Keeps cell while the text repeats: rows come sorted by name and channel, so most columns
// repeat from row to row, and shared strings keep a large result small.
void follow(QString &cell, const std::string &text, const std::string *previous)
{
    if (!previous || text != *previous)
        cell = QString::fromStdString(text);
}

void follow(QString &cell, int number, const int *previous)
{
    if (!previous || number != *previous)
        cell = QString::number(number);
}

} // namespace

TableTexts TableTexts::of(const QTableWidget *table)
{
    TableTexts texts;
    const int columns = table->columnCount();
    const int rows = table->rowCount();
    for (int c = 0; c < columns; ++c) {
        const QTableWidgetItem *header = table->horizontalHeaderItem(c);
        texts.headers << (header ? header->text() : QString());
    }
    texts.cells.reserve(rows * columns);
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < columns; ++c) {
            const QTableWidgetItem *item = table->item(r, c);
            texts.cells.append(item ? item->text() : QString());
        }
    return texts;
}

TableTexts TableTexts::ofRecords(const std::vector<RecordRow *> &rows)
{
    TableTexts texts;
    texts.headers = RecordWorkbook::headers();
    texts.cells.reserve(int(rows.size()) * texts.headers.size());
    QString cells[9];
    const RecordRow *previous = nullptr;
    for (const RecordRow *row : rows) {
        follow(cells[0], row->time, previous ? &previous->time : nullptr);
        follow(cells[1], row->name, previous ? &previous->name : nullptr);
        follow(cells[2], row->model, previous ? &previous->model : nullptr);
        follow(cells[3], row->slave, previous ? &previous->slave : nullptr);
        follow(cells[4], row->channel, previous ? &previous->channel : nullptr);
        follow(cells[5], row->factor, previous ? &previous->factor : nullptr);
        follow(cells[6], row->value, previous ? &previous->value : nullptr);
        follow(cells[7], row->unit, previous ? &previous->unit : nullptr);
        follow(cells[8], row->status, previous ? &previous->status : nullptr);
        for (const QString &cell : cells)
            texts.cells.append(cell);
        previous = row;
    }
    return texts;
}
