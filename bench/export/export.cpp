// Search and export figures on one record file, each beside a baseline from the same run:
//   the search dialog from click to the first painted rows and to the finished search, against
//   the bare query;
//   ExcelWriter writing every found row against a plain libxlsxwriter loop writing the same
//   cells;
//   the full export of the backup/export/clear dialog against the same plain loop, per sheet.
// Every phase runs in a process of its own, so that each peak resident size (VmHWM) is its own.
//
// usage: export [ROWS [FOLDER]]   (ROWS defaults to 1000000; FOLDER to the current one)

#include "app/appcontext.h"
#include "benchsupport.h"
#include "history/dialogbec.h"
#include "history/dialogsearch.h"
#include "history/excelwriter.h"
#include "history/recordresultmodel.h"
#include "history/recordworkbook.h"
#include "panels/desktopopener.h"
#include "panels/messageboxes.h"
#include "storage/recorddatabase.h"
#include "storage/recordresult.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <malloc.h>
#include <string>
#include <vector>

#include <xlsxwriter.h>

namespace {

const int instruments = 20;

void report(const char *what, double ms, long rows)
{
    std::printf("%-58s %9.0f ms %8.0f rows/s  peak %6ld MB\n", what, ms, rows / (ms / 1000),
                statusKb("VmHWM:") / 1024);
    std::fflush(stdout);
}

RecordDatabase *database()
{
    return static_cast<RecordDatabase *>(AppContext::instance().object(RecordDb));
}

std::vector<RecordRow *> queryAll(const std::string &condition = std::string())
{
    std::vector<RecordRow *> rows;
    database()->query(condition, rows);
    return rows;
}

// The baseline writer: libxlsxwriter alone, constant memory, the same cells and format.
class PlainWorkbook
{
public:
    explicit PlainWorkbook(const QString &path)
    {
        lxw_workbook_options options{};
        options.constant_memory = LXW_TRUE;
        workbook = workbook_new_opt(path.toUtf8().constData(), &options);
        format = workbook_add_format(workbook);
        format_set_align(format, LXW_ALIGN_CENTER);
        format_set_align(format, LXW_ALIGN_VERTICAL_CENTER);
    }
    void sheet(const char *title, const std::vector<RecordRow *> &rows)
    {
        lxw_worksheet *sheet = workbook_add_worksheet(workbook, title);
        const QStringList headers = RecordWorkbook::headers();
        for (int c = 0; c < headers.size(); ++c)
            worksheet_write_string(sheet, 0, c, headers[c].toUtf8().constData(), format);
        lxw_row_t at = 1;
        for (const RecordRow *row : rows) {
            worksheet_write_string(sheet, at, 0, row->time.c_str(), format);
            worksheet_write_string(sheet, at, 1, row->name.c_str(), format);
            worksheet_write_string(sheet, at, 2, row->model.c_str(), format);
            worksheet_write_number(sheet, at, 3, row->slave, format);
            worksheet_write_number(sheet, at, 4, row->channel, format);
            worksheet_write_string(sheet, at, 5, row->factor.c_str(), format);
            worksheet_write_string(sheet, at, 6, row->value.c_str(), format);
            worksheet_write_string(sheet, at, 7, row->unit.c_str(), format);
            worksheet_write_string(sheet, at, 8, row->status.c_str(), format);
            ++at;
        }
    }
    int close() { return workbook_close(workbook); }

private:
    lxw_workbook *workbook;
    lxw_format *format;
};

void answerEverything()
{
    MessageBoxes::setResponder([](const MessageBoxes::Box &) { return QMessageBox::Ok; });
    DesktopOpener::setHandler([](const QString &) { return true; });
}

int runPhase(const QString &phase, const QString &out)
{
    malloc_trim(0);
    const long restKb = statusKb("VmRSS:");
    QElapsedTimer timer;
    if (phase == "open") {
        // Opening builds the indexes in the background; nothing to measure, but the later
        // phases need them.
        while (database()->indexState() == RecordDatabase::IndexesBuilding)
            QThread::msleep(100);
    } else if (phase == "query") {
        resetPeak();
        timer.start();
        std::vector<RecordRow *> rows = queryAll();
        report("query of every row (baseline of the search)", msSince(timer), long(rows.size()));
        RecordDatabase::freeRows(rows);
    } else if (phase == "search") {
        answerEverything();
        DialogSearch dialog;
        dialog.show();
        QCoreApplication::processEvents();
        double firstPainted = -1;
        QEventLoop finished;
        QObject::connect(&dialog, &DialogSearch::signal_firstRowsPainted,
                         [&] { firstPainted = msSince(timer); });
        QObject::connect(&dialog, &DialogSearch::signal_searchFinished, &finished,
                         &QEventLoop::quit);
        // The interface thread's longest wait between two ticks of a 10 ms timer.
        QTimer ticks;
        QElapsedTimer sinceTick;
        double stall = 0;
        QObject::connect(&ticks, &QTimer::timeout, [&] {
            stall = std::max(stall, msSince(sinceTick));
            sinceTick.start();
        });
        resetPeak();
        timer.start();
        sinceTick.start();
        ticks.start(10);
        dialog.findChild<QPushButton *>("pushButtonSearch")->click();
        finished.exec();
        ticks.stop();
        const double done = msSince(timer);
        QCoreApplication::processEvents();
        const long found = dialog.resultModel()->rowCount();
        report("DialogSearch, click to finished search", done, found);
        std::printf("  first rows painted after %.0f ms; longest interface stall %.0f ms\n",
                    firstPainted, stall);
    } else if (phase == "plain-write") {
        std::vector<RecordRow *> rows = queryAll();
        resetPeak();
        const long before = statusKb("VmRSS:");
        timer.start();
        PlainWorkbook workbook(out);
        workbook.sheet(nullptr, rows);
        const int rc = workbook.close();
        report(rc == 0 ? "plain libxlsxwriter loop, same cells (baseline)" : "plain loop FAILED",
               msSince(timer), long(rows.size()));
        std::printf("  input: the query rows, %ld MB above the resting process (%ld MB)\n",
                    (before - restKb) / 1024, restKb / 1024);
        RecordDatabase::freeRows(rows);
    } else if (phase == "excelwriter") {
        // The rows as the search dialog keeps them and hands them over.
        std::vector<RecordRow *> rows = queryAll();
        RecordBatchBuilder builder;
        for (const RecordRow *row : rows)
            builder.add(*row);
        RecordDatabase::freeRows(rows);
        auto result = std::make_shared<RecordResult>();
        result->append(std::move(*builder.take()));
        result->finish();
        malloc_trim(0);
        ExcelWriter writer;
        bool saved = false;
        QObject::connect(&writer, &ExcelWriter::signal_writeDone, [&] { saved = true; });
        resetPeak();
        const long before = statusKb("VmRSS:");
        timer.start();
        writer.write(result, out);
        report(saved ? "ExcelWriter::write, the search result handed over" : "ExcelWriter FAILED",
               msSince(timer), result->rowCount());
        std::printf("  input: the search result, %ld MB above the resting process (%ld MB)\n",
                    (before - restKb) / 1024, restKb / 1024);
    } else if (phase == "plain-export") {
        std::vector<std::string> names;
        resetPeak();
        timer.start();
        database()->distinctNames(names);
        PlainWorkbook workbook(out);
        long total = 0;
        for (const std::string &name : names) {
            std::string condition;
            RecordDatabase::appendNameCondition(condition, name, true);
            std::vector<RecordRow *> rows = queryAll(condition);
            workbook.sheet(name.c_str(), rows);
            total += long(rows.size());
            RecordDatabase::freeRows(rows);
        }
        workbook.sheet("Sheet1", {});
        workbook.close();
        report("query per name + plain libxlsxwriter loop (baseline)", msSince(timer), total);
    } else if (phase == "bec") {
        std::vector<RecordRow *> all = queryAll();
        const long rows = long(all.size());
        RecordDatabase::freeRows(all);
        answerEverything();
        DialogBEC dialog(nullptr, DialogBEC::ExportStage);
        dialog.show();
        QCoreApplication::processEvents();
        resetPeak();
        timer.start();
        // The stages run on the dialog's worker; done once the closing box was answered.
        QEventLoop loop;
        QObject::connect(&dialog, &DialogBEC::signal_stagesDone, &loop, &QEventLoop::quit);
        dialog.findChild<QPushButton *>("pushButtonStart")->click();
        loop.exec();
        report("DialogBEC export stage, click to closing box", msSince(timer), rows);
    } else {
        return 2;
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc >= 5 && std::string(argv[1]) == "--phase") {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        QApplication app(argc, argv);
        AppContext::instance().setApplicationDir(QString::fromLocal8Bit(argv[3]));
        AppContext::instance().init();
        const int rc = runPhase(QString::fromLatin1(argv[2]), QString::fromLocal8Bit(argv[4]));
        AppContext::instance().shutdown();
        return rc;
    }

    QCoreApplication app(argc, argv);
    const long rows = argc > 1 ? std::atol(argv[1]) : 1000000;
    const QString parent = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QDir::currentPath();
    QTemporaryDir folder(parent + "/export-XXXXXX");
    if (rows <= 0 || !folder.isValid()) {
        std::fprintf(stderr, "usage: export [ROWS [FOLDER]]\n");
        return 2;
    }
    const QString station = folder.path() + "/station";
    for (const char *sub : {"db", "export", "backup", "config", "user"})
        QDir().mkpath(station + "/" + sub);
    QElapsedTimer timer;
    timer.start();
    const long written = generateRecordFile(station + "/db/record.zdb", rows, instruments);
    std::printf("export: %ld rows, %d instruments x 2 channels, generated in %.1f s in %s\n",
                written, instruments, msSince(timer) / 1000, qPrintable(folder.path()));
    std::fflush(stdout);

    auto phase = [&](const char *name, const QString &out) {
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedChannels);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("XDG_RUNTIME_DIR", folder.path());
        child.setProcessEnvironment(environment);
        child.start(QCoreApplication::applicationFilePath(), {"--phase", name, station, out});
        child.waitForFinished(-1);
        if (!out.isEmpty())
            QFile::remove(out);
        QDir(station + "/export").removeRecursively();
        QDir().mkpath(station + "/export");
    };
    // The first open builds the indexes; keep that out of the figures.
    phase("open", QString());
    std::printf("\n== search, every row\n");
    std::fflush(stdout);
    phase("query", QString());
    phase("search", QString());
    std::printf("\n== writing the found rows\n");
    std::fflush(stdout);
    phase("plain-write", folder.path() + "/plain.xlsx");
    phase("excelwriter", folder.path() + "/writer.xlsx");
    std::printf("\n== full export, one sheet per instrument\n");
    std::fflush(stdout);
    phase("plain-export", folder.path() + "/plain-export.xlsx");
    phase("bec", QString());
    return 0;
}
