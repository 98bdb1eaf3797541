#ifndef DIALOGSEARCH_H
#define DIALOGSEARCH_H

#include "history/tabletexts.h"

#include <QDialog>
#include <QThread>

class ExcelWriter;
class QTableWidget;
class RecordDatabase;

namespace Ui {
class DialogSearch;
}

// Searches the stored records by instrument, channel and time range, shows them in a table and
// exports the table to a workbook in the export folder on a worker thread of its own.
class DialogSearch : public QDialog
{
    Q_OBJECT

public:
    explicit DialogSearch(QWidget *parent = nullptr);
    // Waits for a running export: the file is finished, not dropped.
    ~DialogSearch() override;

signals:
    void signal_exportExcel(QTableWidget *table, QString path);

private slots:
    void on_pushButtonSearch_clicked();
    void on_pushButtonExport_clicked();
    void slot_progressExcel(int row);
    void slot_exportExcelDone(QTableWidget *table, QString path);
    void slot_exportExcelFailed(QTableWidget *table, QString path);

private:
    void setIdle(bool idle);

    Ui::DialogSearch *ui;
    RecordDatabase *database;
    QThread thread;
    ExcelWriter *writer;
    // The table's texts, kept while filling it so an export hands them over at no cost.
    TableTexts texts;
};

#endif // DIALOGSEARCH_H
