// Record storage figures, each beside a baseline measured in the same run:
//   inserts through 100 record writers against raw SQLCipher with one transaction per row;
//   search and name listing on a large record file against the same statements without indexes,
//   and the paged reads of a RecordReader against query();
//   the size and time of a backup against a plain file copy.
//
// usage: record_store [ROWS [FOLDER]]   (ROWS defaults to 5000000; FOLDER to the current one)

#define SQLITE_HAS_CODEC 1
#include <sqlite3.h>

#include "acquisition/threadhandoff.h"
#include "app/appcontext.h"
#include "benchsupport.h"
#include "storage/recorddatabase.h"
#include "storage/recordreader.h"
#include "storage/recordwriter.h"

#include <QCoreApplication>
#include <QDate>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <memory>
#include <unistd.h>
#include <vector>

namespace {

const char *const insertFormat =
    "INSERT INTO Record(time,model,name,slave,channel,factor,unit,value,status) "
    "VALUES(%Q,%Q,%Q,%d,%d,%Q,%Q,%Q,%Q)";

const int instruments = 100;
const int searchInstruments = 20;

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

RecordRow reading(int instrument, int channel, const std::string &time)
{
    RecordRow row;
    row.time = time;
    row.model = "DI590";
    row.name = instrumentName(instrument);
    row.slave = instrument + 1;
    row.channel = channel;
    row.factor = channel == 0 ? "DO" : "Temper";
    row.unit = channel == 0 ? "mg/L" : "℃";
    row.value = channel == 0 ? "8.25" : "21.4";
    row.status = "N";
    return row;
}

// Plays one detail panel: a writer on a thread of its own, fed by a queued signal.
class Panel : public QObject
{
    Q_OBJECT

public:
    explicit Panel(std::atomic<long> &stored)
    {
        writer = new RecordWriter;
        connect(this, &Panel::signal_record, writer, &RecordWriter::record);
        connect(
            writer, &RecordWriter::signal_recordDone, writer, [&stored](void *) { ++stored; },
            Qt::DirectConnection);
        ThreadHandOff::start(writer, &thread);
    }
    ~Panel() override { RecordWriter::stopThread(writer, &thread); }

    void emitRow(const RecordRow &row) { emit signal_record(this, new RecordRow(row)); }

signals:
    void signal_record(void *writer, void *data);

private:
    QThread thread;
    RecordWriter *writer;
};

void benchInserts(const QString &folder)
{
    std::printf("== inserts\n");
    // Baseline: raw SQLCipher, every row its own transaction.
    const QString rawPath = folder + "/raw-inserts.zdb";
    sqlite3 *raw = openRaw(rawPath);
    mustRun(raw, kCreateRecordTable);
    const RecordRow row = reading(0, 0, timeText(kFirstReading));
    long rawRows = 0;
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 5000) {
        char *sql = sqlite3_mprintf(insertFormat, row.time.c_str(), row.model.c_str(),
                                    row.name.c_str(), row.slave, row.channel, row.factor.c_str(),
                                    row.unit.c_str(), row.value.c_str(), row.status.c_str());
        mustRun(raw, sql);
        sqlite3_free(sql);
        ++rawRows;
    }
    const double rawRate = rawRows / (msSince(timer) / 1000);
    sqlite3_close(raw);
    QFile::remove(rawPath);

    AppContext::instance().setApplicationDir(folder + "/station");
    AppContext::instance().init();
    std::atomic<long> stored{0};
    std::vector<std::unique_ptr<Panel>> panels;
    for (int i = 0; i < instruments; ++i)
        panels.emplace_back(new Panel(stored));

    // Capacity: every panel hands over 40 readings of 2 factors at once.
    const int burstReadings = 40;
    double longestEmit = 0;
    timer.restart();
    for (int r = 0; r < burstReadings; ++r) {
        const std::string time = timeText(kFirstReading + r * kReadIntervalSeconds);
        for (int i = 0; i < instruments; ++i)
            for (int channel : {0, 1}) {
                QElapsedTimer emitTimer;
                emitTimer.start();
                panels[i]->emitRow(reading(i, channel, time));
                longestEmit = std::max(longestEmit, msSince(emitTimer));
            }
    }
    RecordWriter::waitForAll();
    const long burstRows = long(burstReadings) * instruments * 2;
    const double writerRate = burstRows / (msSince(timer) / 1000);
    std::printf("raw SQLCipher, one transaction per row, 1 thread : %8.0f rows/s\n", rawRate);
    std::printf("100 RecordWriter threads, %ld rows queued at once: %8.0f rows/s (%.1fx)\n",
                burstRows, writerRate, writerRate / rawRate);
    std::printf("  longest emit on the interface thread            : %8.3f ms\n", longestEmit);

    // Steady load: 100 instruments x 2 factors every second, queue sampled before each tick.
    const int seconds = 10;
    long emitted = 0;
    long maxQueued = 0;
    double longestTick = 0;
    stored = 0;
    QEventLoop loop;
    QTimer tick;
    int ticks = 0;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        maxQueued = std::max(maxQueued, emitted - stored.load());
        QElapsedTimer tickTimer;
        tickTimer.start();
        const std::string time = timeText(kFirstReading + ticks);
        for (int i = 0; i < instruments; ++i)
            for (int channel : {0, 1})
                panels[i]->emitRow(reading(i, channel, time));
        emitted += instruments * 2;
        longestTick = std::max(longestTick, msSince(tickTimer));
        if (++ticks == seconds)
            loop.quit();
    });
    tick.start(1000);
    loop.exec();
    timer.restart();
    RecordWriter::waitForAll();
    std::printf("steady 100 instruments x 2 factors every second, %d s:\n", seconds);
    std::printf("  rows still queued when the next second starts: at most %ld (of 200)\n",
                maxQueued);
    std::printf("  interface thread per second (200 emits)      : at most %.2f ms\n", longestTick);
    std::printf("  waitForAll at the end                        : %.2f ms\n", msSince(timer));
    panels.clear();
    AppContext::instance().shutdown();
    AppContext::instance().reset();
    QDir(folder + "/station").removeRecursively();
}

int countRows(void *user, int, char **, char **)
{
    ++*static_cast<long *>(user);
    return 0;
}

// Median of three runs of a statement on a raw connection; rows counted into *rows.
double timeRaw(sqlite3 *db, const char *sql, long *rows)
{
    std::vector<double> runs;
    for (int i = 0; i < 3; ++i) {
        *rows = 0;
        QElapsedTimer timer;
        timer.start();
        sqlite3_exec(db, sql, countRows, rows, nullptr);
        runs.push_back(msSince(timer));
    }
    return median(runs);
}

void benchSearch(const QString &folder, long rows)
{
    std::printf("\n== search on a record file of %ld rows\n", rows);
    const QString station = folder + "/station";
    QDir().mkpath(station + "/db");
    QDir().mkpath(station + "/backup");
    const QString path = station + "/db/record.zdb";
    QElapsedTimer timer;
    timer.start();
    const long written = generateRecordFile(path, rows, searchInstruments);
    std::printf("generated %ld rows in %.1f s (one transaction, prepared statement)\n", written,
                msSince(timer) / 1000);

    // The day and instrument searched: the middle of the data, instrument 7.
    const long readings = written / (searchInstruments * 2);
    const time_t dayStart = (kFirstReading + readings / 2 * kReadIntervalSeconds) / 86400 * 86400;
    const std::string from = timeText(dayStart), to = timeText(dayStart + 86399);
    const std::string name = instrumentName(6);
    std::string condition;
    RecordDatabase::appendTimeCondition(condition, from, to, true);
    RecordDatabase::appendNameCondition(condition, name, false);
    const std::string querySql =
        "SELECT time,model,name,slave,channel,factor,unit,value,status FROM Record" + condition +
        " ORDER BY name ASC,channel ASC,time DESC";
    const char *distinctSql = "SELECT DISTINCT name FROM Record";

    sqlite3 *raw = openRaw(path);
    long rawNames = 0, rawFound = 0;
    const double rawDistinct = timeRaw(raw, distinctSql, &rawNames);
    const double rawQuery = timeRaw(raw, querySql.c_str(), &rawFound);
    sqlite3_close(raw);

    AppContext::instance().setApplicationDir(station);
    timer.restart();
    RecordDatabase database(path.toStdString());
    database.open();
    const double openMs = msSince(timer);
    timer.restart();
    while (database.indexState() == RecordDatabase::IndexesBuilding)
        QThread::msleep(5);
    const double buildMs = msSince(timer);

    std::vector<double> distinctRuns, queryRuns;
    size_t names = 0, found = 0;
    for (int i = 0; i < 3; ++i) {
        std::vector<std::string> listed;
        timer.restart();
        database.distinctNames(listed);
        distinctRuns.push_back(msSince(timer));
        names = listed.size();

        std::vector<RecordRow *> result;
        timer.restart();
        database.query(condition, result);
        queryRuns.push_back(msSince(timer));
        found = result.size();
        RecordDatabase::freeRows(result);
    }
    // The plain DISTINCT statement once the indexes exist, for comparison.
    raw = openRaw(path);
    long indexedNames = 0;
    const double indexedDistinct = timeRaw(raw, distinctSql, &indexedNames);
    sqlite3_close(raw);

    std::printf("searched: %s, %s to %s\n", name.c_str(), from.c_str(), to.c_str());
    std::printf("first open (indexes built afterwards)    : %9.1f ms\n", openMs);
    std::printf("  index build in the background          : %9.1f ms (%s)\n", buildMs,
                database.indexState() == RecordDatabase::IndexesReady ? "ready" : "failed");
    std::printf("distinctNames                            : %9.2f ms (%zu names)\n",
                median(distinctRuns), names);
    std::printf("  raw SELECT DISTINCT name, no index     : %9.2f ms (%ld names)\n", rawDistinct,
                rawNames);
    std::printf("  raw SELECT DISTINCT name, with indexes : %9.2f ms\n", indexedDistinct);
    std::printf("query, one day, one name                 : %9.2f ms (%zu rows)\n",
                median(queryRuns), found);
    std::printf("  raw statement, no index                : %9.2f ms (%ld rows)\n", rawQuery,
                rawFound);

    // Paged reads: the same search, and the first million rows of the file in time order.
    RecordReader reader(path.toStdString());
    reader.open();
    for (const bool whole : {false, true}) {
        const size_t cap = 1000000;
        size_t paged = 0;
        double firstPageMs = -1;
        timer.restart();
        reader.read(whole ? std::string() : condition, [&](std::vector<RecordRow> &page) {
            if (firstPageMs < 0)
                firstPageMs = msSince(timer);
            paged += page.size();
            return paged < cap;
        });
        const double pagedMs = msSince(timer);
        std::printf("RecordReader, %-27s: %9.2f ms (%zu rows, first page after %.2f ms)\n",
                    whole ? "first 1000000 rows" : "one day, one name", pagedMs, paged,
                    firstPageMs);
    }

    std::printf("\n== backup\n");
    const double megabytes = QFileInfo(path).size() / 1048576.0;
    const QString plainCopy = folder + "/plain-copy.zdb";
    timer.restart();
    QFile::copy(path, plainCopy);
    {
        QFile copied(plainCopy);
        if (copied.open(QIODevice::ReadWrite))
            ::fsync(copied.handle());
    }
    const double plainMs = msSince(timer);
    QFile::remove(plainCopy);
    timer.restart();
    const int rc = database.backupDatabase(RecordDb);
    const double backupMs = msSince(timer);
    std::printf("backupDatabase, file of %.1f MB         : %9.1f ms (result %d)\n", megabytes,
                backupMs, rc);
    std::printf("  plain file copy + fsync                : %9.1f ms\n", plainMs);
    database.close();
    QDir(station).removeRecursively();
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const long rows = argc > 1 ? std::atol(argv[1]) : 5000000;
    const QString parent = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QDir::currentPath();
    QTemporaryDir folder(parent + "/record_store-XXXXXX");
    if (rows <= 0 || !folder.isValid()) {
        std::fprintf(stderr, "usage: record_store [ROWS [FOLDER]]\n");
        return 2;
    }
    std::printf("record_store: working in %s\n", qPrintable(folder.path()));
    benchInserts(folder.path());
    benchSearch(folder.path(), rows);
    return 0;
}

#include "record_store.moc"
