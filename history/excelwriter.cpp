#include "excelwriter.h"

#include "acquisition/threadhandoff.h"
#include "history/recordworkbook.h"

#include <QTableWidget>

ExcelWriter::ExcelWriter(QObject *parent) : QObject(parent)
{
    // The table travels in queued signals between the threads.
    qRegisterMetaType<QTableWidget *>();
}

void ExcelWriter::handOver(const QTableWidget *table, const TableTexts &texts)
{
    std::lock_guard<std::mutex> locker(handOverMutex);
    handedTable = table;
    handedTexts = texts;
}

void ExcelWriter::write(QTableWidget *table, QString path)
{
    ThreadHandOff::acquire();
    const TableTexts texts = takeTexts(table);
    bool saved = false;
    {
        RecordWorkbook workbook(path);
        workbook.beginInitialSheet(texts.headers);
        workbook.appendRows(texts, [this](int row) { emit signal_progressExcel(row); });
        saved = workbook.save();
    }
    ThreadHandOff::release();
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
        std::lock_guard<std::mutex> locker(handOverMutex);
        if (handedTable == table) {
            handedTable = nullptr;
            return std::move(handedTexts);
        }
    }
    return TableTexts::of(table);
}
