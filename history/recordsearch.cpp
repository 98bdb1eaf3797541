#include "recordsearch.h"

#include "acquisition/threadhandoff.h"
#include "storage/recordreader.h"

#include <QElapsedTimer>

#include <algorithm>
#include <cmath>
#include <limits>

RecordSearch::RecordSearch(const QString &recordFile, QObject *parent)
    : QObject(parent), reader(new RecordReader(recordFile.toStdString()))
{
    qRegisterMetaType<std::shared_ptr<RecordBatch>>();
    qRegisterMetaType<std::shared_ptr<const RecordResult>>();
    qRegisterMetaType<HistorySeries>();
}

RecordSearch::~RecordSearch() = default;

void RecordSearch::cancel(quint64 search)
{
    quint64 known = cancelledUpTo.load();
    while (known < search && !cancelledUpTo.compare_exchange_weak(known, search)) {
    }
    reader->cancel();
}

void RecordSearch::listNames()
{
    std::vector<std::string> names;
    reader->distinctNames(names);
    QStringList list;
    for (const std::string &name : names)
        list << QString::fromStdString(name);
    ThreadHandOff::release();
    emit signal_names(list);
}

std::string RecordSearch::newestTime(const std::string &condition)
{
    // The time index finds it in a few steps, where counting the rows would read them all.
    const std::string newest = (condition.empty() ? std::string(" WHERE ") : condition + " AND ") +
                               "time = (SELECT time FROM Record" + condition +
                               " ORDER BY time DESC LIMIT 1)";
    std::string time;
    reader->read(
        newest,
        [&time](std::vector<RecordRow> &page) {
            if (!page.empty())
                time = page.front().time;
            return false;
        },
        1);
    return time;
}

void RecordSearch::search(quint64 search, const QByteArray &condition)
{
    ThreadHandOff::acquire();
    if (stopped(search)) {
        emit signal_searchDone(search, RecordReader::Cancelled);
        return;
    }
    // A cancel of an earlier search must not stop this one; one of this search is seen below.
    reader->resetCancel();
    const std::string where = condition.toStdString();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double last = stopped(search) ? nan : RecordResult::secondsOf(newestTime(where).c_str());
    double first = nan;
    int permille = 0;

    RecordBatchBuilder builder;
    QElapsedTimer sinceHandOver;
    bool handedOver = false;
    auto handOver = [&] {
        ThreadHandOff::release();
        emit signal_rows(search, builder.take(), permille);
        sinceHandOver.start();
        handedOver = true;
    };
    int rc = stopped(search) ? RecordReader::Cancelled : 0;
    if (rc == 0)
        rc = reader->read(where, [&](std::vector<RecordRow> &page) {
            if (stopped(search))
                return false;
            for (const RecordRow &row : page) {
                builder.add(row);
                // Rows without a time come first.
                if (std::isnan(first))
                    first = RecordResult::secondsOf(row.time.c_str());
            }
            const double reached =
                page.empty() ? nan : RecordResult::secondsOf(page.back().time.c_str());
            if (last > first && reached >= first)
                permille = int(std::min(1000.0, (reached - first) / (last - first) * 1000));
            if (!handedOver || sinceHandOver.elapsed() >= kBatchMilliseconds ||
                builder.pendingRows() >= kBatchRows)
                handOver();
            return true;
        });
    if (builder.pendingRows() > 0)
        handOver();
    emit signal_searchDone(search, stopped(search) ? int(RecordReader::Cancelled) : rc);
}

void RecordSearch::makeSeries(quint64 request, std::shared_ptr<const RecordResult> rows,
                              const QString &name, const QString &factor)
{
    ThreadHandOff::acquire();
    HistorySeries series = rows ? HistoryChart::seriesOf(*rows, name, factor) : HistorySeries();
    ThreadHandOff::release();
    emit signal_series(request, series);
}
