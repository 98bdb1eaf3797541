// The automatic backup of a record file of --rows rows (1,000,000) as the station runs it: the
// copy into backup/auto/ on a worker, its check under the key, the retention. Meanwhile a
// writer stores a row every 100 ms the way recording does (an insert the copy holds back is
// tried again), and a 10 ms timer on the interface thread measures its longest stall. The
// baseline is the same thread, timer and writer for as long again with the backup off.
//
// Prints the backup's time, the copy's rows and the rows recorded meanwhile, then
//   figure auto_backup_stall_ms   the interface thread's longest stall during the backup
//   baseline auto_backup_stall_ms the same with the backup off
// Exits 1 when the backup did not run, failed, or its copy does not hold every row.

#include "benchsupport.h"

#include "app/appcontext.h"
#include "storage/autobackup.h"
#include "storage/autobackupcopies.h"
#include "storage/recorddatabase.h"
#include "storage/recordrow.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QTemporaryDir>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

// Stores a row every 100 ms until stopped; an insert refused while the copy holds the file is
// tried again, as the record writers do.
class Recorder
{
public:
    explicit Recorder(RecordDatabase *database) : database(database) {}
    void start()
    {
        stopAsked = false;
        thread = std::thread([this] { run(); });
    }
    void stop()
    {
        stopAsked = true;
        thread.join();
    }
    long stored = 0;
    double longestHoldMs = 0;

private:
    void run()
    {
        long n = 0;
        while (!stopAsked) {
            RecordRow row;
            row.time = timeText(kFirstReading + 100000000 + n++);
            row.model = "DI590";
            row.name = "记录中";
            row.factor = "DO";
            row.unit = "mg/L";
            row.value = "8.00";
            row.status = "N";
            QElapsedTimer held;
            held.start();
            while (database->insert(row) != 0 && !stopAsked)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            longestHoldMs = std::max(longestHoldMs, msSince(held));
            ++stored;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    RecordDatabase *database;
    std::thread thread;
    std::atomic<bool> stopAsked{false};
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    long rows = 1000000;
    const QStringList arguments = app.arguments();
    for (int i = 1; i < arguments.size(); ++i) {
        if (arguments[i] == QLatin1String("--rows") && i + 1 < arguments.size()) {
            rows = arguments[++i].toLong();
        } else {
            std::fprintf(stderr, "usage: backup [--rows N]\n");
            return 2;
        }
    }
    if (rows <= 0) {
        std::fprintf(stderr, "usage: backup [--rows N]\n");
        return 2;
    }

    QTemporaryDir station;
    AppContext::instance().setApplicationDir(station.path());
    QDir().mkpath(station.filePath(QStringLiteral("db")));
    const QString file = station.filePath(QStringLiteral("db/record.zdb"));
    QElapsedTimer step;
    step.start();
    const long generated = generateRecordFile(file, rows, 50);
    std::printf("record file of %ld rows made in %.1f s, %.1f MB\n", generated,
                msSince(step) / 1000, QFileInfo(file).size() / 1e6);
    std::fflush(stdout);

    RecordDatabase database(file.toStdString());
    if (database.open() != 0) {
        std::fprintf(stderr, "the record file does not open\n");
        return 1;
    }
    // A file without indexes gets them built in the background at open; that build holds the
    // file and is not what is measured.
    step.restart();
    while (database.indexState() == RecordDatabase::IndexesBuilding)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (database.indexState() != RecordDatabase::IndexesReady) {
        std::fprintf(stderr, "the record file's indexes could not be built\n");
        return 1;
    }
    std::printf("indexes built in %.1f s\n", msSince(step) / 1000);
    AutoBackup backup(&database, station.path());
    backup.load();
    StallMeter meter;
    Recorder recorder(&database);

    // The backup, with the writer and the meter running.
    std::vector<AutoBackup::Report> finished;
    QEventLoop waiting;
    QObject::connect(&backup, &AutoBackup::signal_finished,
                     [&finished, &waiting](const AutoBackup::Report &report) {
                         finished.push_back(report);
                         waiting.quit();
                     });
    recorder.start();
    meter.start();
    step.restart();
    const bool began = backup.runNow();
    if (began && finished.empty()) {
        QTimer::singleShot(30 * 60 * 1000, &waiting, &QEventLoop::quit);
        waiting.exec();
    }
    const bool ended = began && !finished.empty();
    const double backupMs = msSince(step);
    meter.stop();
    recorder.stop();
    const double stallMs = meter.longestMs();
    for (const StallMeter::Gap &gap : meter.longGaps())
        std::printf("  backup: gap of %.0f ms at %.0f ms, on a processor %.0f ms, waiting for one "
                    "%.0f ms\n",
                    gap.lengthMs, gap.atMs, gap.runMs, gap.queuedMs);
    const long recordedDuring = recorder.stored;
    const double holdDuring = recorder.longestHoldMs;

    // The baseline: as long again without the backup.
    Recorder idle(&database);
    idle.start();
    meter.start();
    QEventLoop loop;
    QTimer::singleShot(int(backupMs), &loop, &QEventLoop::quit);
    loop.exec();
    meter.stop();
    idle.stop();
    const double baselineMs = meter.longestMs();
    for (const StallMeter::Gap &gap : meter.longGaps())
        std::printf("  baseline: gap of %.0f ms at %.0f ms, on a processor %.0f ms, waiting for "
                    "one %.0f ms\n",
                    gap.lengthMs, gap.atMs, gap.runMs, gap.queuedMs);

    bool ok = true;
    AutoBackup::Report report;
    if (!began || !ended) {
        std::printf("the backup did not %s\n", began ? "end" : "start");
        ok = false;
    } else {
        report = finished.front();
        std::printf("backup %s in %.1f s: %s, %lld rows checked%s%s\n",
                    report.ok ? "made" : "FAILED", backupMs / 1000,
                    qPrintable(QDir::toNativeSeparators(report.copy)), report.rows,
                    report.problems.isEmpty() ? "" : "; ",
                    qPrintable(report.problems.join(QLatin1Char(' '))));
        if (!report.ok || !QFileInfo::exists(report.copy) || report.rows < generated) {
            std::printf("the copy is missing or does not hold every row of the file\n");
            ok = false;
        }
    }
    std::printf("rows recorded during the backup: %ld, longest held back %.0f ms; during the "
                "baseline: %ld, longest %.0f ms\n",
                recordedDuring, holdDuring, idle.stored, idle.longestHoldMs);
    if (recordedDuring <= 0) {
        std::printf("no row was recorded during the backup\n");
        ok = false;
    }
    database.close();
    std::printf("interface thread, longest stall: %.1f ms during the backup (goal <= 50: %s), "
                "%.1f ms baseline\n",
                stallMs, stallMs <= 50 ? "met" : "NOT met", baselineMs);
    std::printf("figure auto_backup_stall_ms %.1f ms\n", stallMs);
    std::printf("baseline auto_backup_stall_ms %.1f ms (backup off)\n", baselineMs);
    return ok ? 0 : 1;
}
