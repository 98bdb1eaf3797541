#ifndef EXCELWRITER_H
#define EXCELWRITER_H

#include "history/tabletexts.h"

#include <QObject>
#include <QString>

#include <mutex>

class QTableWidget;

// Writes a search result table to an .xlsx workbook on the search dialog's worker thread.
class ExcelWriter : public QObject
{
    Q_OBJECT

public:
    explicit ExcelWriter(QObject *parent = nullptr);

    // Texts of table taken on the interface thread; the next write of that table writes them
    // instead of reading the widget, which the interface thread may be painting. Any thread.
    void handOver(const QTableWidget *table, const TableTexts &texts);

public slots:
    // Without a hand-over the table is read directly, which is safe on its own thread only.
    void write(QTableWidget *table, QString path);

signals:
    void signal_progressExcel(int row);
    void signal_writeDone(QTableWidget *table, QString path);
    // The workbook could not be saved; no file is left at path.
    void signal_writeFailed(QTableWidget *table, QString path);

private:
    TableTexts takeTexts(const QTableWidget *table);

    std::mutex handOverMutex;
    const QTableWidget *handedTable = nullptr;
    TableTexts handedTexts;
};

#endif // EXCELWRITER_H
