#ifndef DIALOGSEARCH_H
#define DIALOGSEARCH_H

#include "storage/recordresult.h"
#include "trend/historychart.h"

#include <QByteArray>
#include <QDialog>
#include <QThread>

#include <memory>

class ExcelWriter;
class RecordResultModel;
class RecordSearch;

namespace Ui {
class DialogSearch;
}

// Searches the stored records by instrument, channel and time range, shows them in a table and
// as a chart over time, and exports them to a workbook in the export folder. Searching and
// writing run on worker threads of their own: the rows stream into the table while the search
// reads them, and the station goes on polling and recording meanwhile. A search that a read
// error ended keeps what it found, says why, and marks its chart and its workbook's name as
// partial.
class DialogSearch : public QDialog
{
    Q_OBJECT

public:
    explicit DialogSearch(QWidget *parent = nullptr);
    // Returns at once: a search stops, an export under way is cancelled and leaves no file.
    ~DialogSearch() override;

    bool isSearching() const { return searching; }
    bool isExporting() const { return exporting; }
    RecordResultModel *resultModel() const { return model; }
    // The worker object on the search thread; its signals come from that thread.
    RecordSearch *searchWorker() const { return searcher; }

signals:
    void signal_exportExcel(std::shared_ptr<const RecordResult> rows, QString path);
    void signal_search(quint64 search, QByteArray condition);
    void signal_makeSeries(quint64 request, std::shared_ptr<const RecordResult> rows, QString name,
                           QString factor);
    // Milestones, for benchmarks: the table painted its first found rows; a search ended with
    // rows found (stopped or not); an export ended; the chart shows a new series.
    void signal_firstRowsPainted(int rows);
    void signal_searchFinished(int rows);
    void signal_exportFinished(QString path, bool saved);
    void signal_chartShown(int points);

private slots:
    void on_pushButtonSearch_clicked();
    void on_pushButtonStop_clicked();
    void on_pushButtonExport_clicked();
    void on_comboBoxChartName_currentIndexChanged(int index);
    void on_comboBoxChartFactor_currentIndexChanged(int index);
    void on_tabWidgetResult_currentChanged(int index);
    void slot_progressExcel(int row);
    void slot_exportExcelDone(QString path);
    void slot_exportExcelFailed(QString path);
    void slot_names(QStringList names);
    void slot_rows(quint64 search, std::shared_ptr<RecordBatch> batch, int permille);
    void slot_searchDone(quint64 search, int result);
    void slot_series(quint64 request, HistorySeries series);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void setIdle(bool idle);
    void fillChartNames();
    void fillChartFactors();
    // Asks for the chosen series when the chart is in view and shows another.
    void requestChart();

    Ui::DialogSearch *ui;
    RecordResultModel *model;
    QThread searchThread;
    RecordSearch *searcher;
    // Heap-owned: a closed dialog leaves a cancelled write to end on its own.
    QThread *writerThread;
    ExcelWriter *writer;
    quint64 searchNumber = 0;
    bool searching = false;
    bool stopAsked = false;
    bool exporting = false;
    bool awaitingPaint = false;
    // The shown result ended at a read error: it and its export are marked as partial.
    bool partial = false;
    quint64 chartRequest = 0;
    // What the chart shows or is being made for.
    std::shared_ptr<const RecordResult> chartRows;
    QString chartName;
    QString chartFactor;
};

#endif // DIALOGSEARCH_H
