#ifndef RECORDSEARCH_H
#define RECORDSEARCH_H

#include "storage/recordresult.h"
#include "trend/historychart.h"

#include <QByteArray>
#include <QMetaType>
#include <QObject>
#include <QStringList>

#include <atomic>
#include <memory>

class RecordReader;

// The search dialog's reading, on a worker thread with a read connection of its own, so that
// neither the interface thread nor the record writers wait for it: the stored names, the rows of
// a search in batches, and chart series of found rows. Lives on its thread; cancel() is for any
// thread.
class RecordSearch : public QObject
{
    Q_OBJECT

public:
    // Rows are handed over at once after the first page, then at most this often, or sooner
    // when this many have gathered: the interface thread merges a batch in one go, and a
    // smaller one keeps that within a few milliseconds.
    static constexpr int kBatchMilliseconds = 100;
    static constexpr int kBatchRows = 10000;

    // recordFile: the record database's path.
    explicit RecordSearch(const QString &recordFile, QObject *parent = nullptr);
    ~RecordSearch() override;

    // Any thread: the search of that number, and every earlier one, stops within a page.
    void cancel(quint64 search);

public slots:
    void listNames();
    // condition: as RecordDatabase::query takes it. Numbers increase from search to search.
    void search(quint64 search, const QByteArray &condition);
    void makeSeries(quint64 request, std::shared_ptr<const RecordResult> rows, const QString &name,
                    const QString &factor);

signals:
    void signal_names(QStringList names);
    // permille: how far the rows read so far reach into the time span of the matching rows.
    void signal_rows(quint64 search, std::shared_ptr<RecordBatch> batch, int permille);
    // result: 0 when every row was handed over, RecordReader::Cancelled, or the library's code.
    void signal_searchDone(quint64 search, int result);
    void signal_series(quint64 request, HistorySeries series);

private:
    bool stopped(quint64 search) const { return search <= cancelledUpTo.load(); }
    // The newest time among the rows matching condition; empty when none has one.
    std::string newestTime(const std::string &condition);

    std::unique_ptr<RecordReader> reader;
    std::atomic<quint64> cancelledUpTo{0};
};

#endif // RECORDSEARCH_H
