#include "excelwriter.h"

#include "history/recordworkbook.h"

#include <QMutexLocker>
#include <QTableWidget>

ExcelWriter::ExcelWriter(QObject *parent) : QObject(parent)
{
    // The table travels in queued signals between the threads.
    qRegisterMetaType<QTableWidget *>();
}

void ExcelWriter::handOver(const QTableWidget *table, const TableTexts &texts)
{
    QMutexLocker locker(&handOverMutex);
    handedTable = table;
    handedTexts = texts;
}

void ExcelWriter::write(QTableWidget *table, QString path)
{
    const TableTexts texts = takeTexts(table);
    bool saved = false;
    {
        RecordWorkbook workbook(path);
        workbook.beginInitialSheet(texts.headers);
        workbook.appendRows(texts, [this](int row) { emit signal_progressExcel(row); });
        saved = workbook.save();
    }
    if (saved)
        emit signal_writeDone(table, path);
    else
        emit signal_writeFailed(table, path);
}

TableTexts ExcelWriter::takeTexts(const QTableWidget *table)
{
    if (!table)
        return TableTexts();
    {
        QMutexLocker locker(&handOverMutex);
        if (handedTable == table) {
            handedTable = nullptr;
            return std::move(handedTexts);
        }
    }
    return TableTexts::of(table);
}
