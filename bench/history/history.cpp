// History at plant scale, each figure beside a baseline measured in the same run:
//
//   search   DialogSearch over every row (name and channel 所有, the dialog's default time range):
//            click to the first rows painted, click to the finished search, and its peak memory,
//            beside RecordDatabase::query of the same condition into a vector and a raw read of
//            the first page in time order. Every search and every query runs in a process of its
//            own, so that each peak (VmHWM) is its own.
//   station  the real main window against hydrovane-sim (--instruments analysers read every
//            second, recording on), signed in as the administrator through 用户 > 登录: the
//            longest gap of a 10 ms timer on the interface thread (the stall), and the readings
//            taken and rows stored as a share of the intervals that elapsed, while idle (the
//            baseline) and while the operator
//              station-search  searches again and again for --seconds,
//              station-export  exports the found rows to a workbook,
//              bec             runs the full export of 备份-导出-清除,
//              backup          backs up the record file,
//              import          imports a backup of the generated rows,
//              remove          removes a monitor together with its history (the line off).
//   chart    the 曲线 tab of DialogSearch on one name and factor with --rows rows: tab to chart
//            painted, and a series of zoom and pan steps, beside a plain QCustomPlot of the same
//            points.
//   legacy   start-up on a record file of --legacy-rows rows without indexes: the stall from the
//            shown main window until the indexes are built in the background, beside the same
//            start-up once they exist.
//
// history [--rows N] [--legacy-rows N] [--instruments N] [--seconds S] [--rounds R]
//         [--only PART[,PART...]] [--folder DIR]
// PART is search, station (all of its operations), one station operation, chart or legacy.
// The files are made once in a temporary folder below DIR (the system's temporary folder by
// default) and removed at the end.
//
// After each timed operation the program checks that it happened: the rows found or charted
// are the stored ones, a workbook reads back, a backup opens with the pass phrase and passes
// the integrity check, the imported rows are the live ones, a removed monitor and its rows are
// gone, and no message box came up but the ones the operation asks when it goes well. A step
// that fails prints "failed STEP: WHAT" and ends the run with exit code 1, without figures.

#include "benchsupport.h"

#include "app/appcontext.h"
#include "app/dialogaccount.h"
#include "app/mainwindow.h"
#include "history/dialogbec.h"
#include "history/dialogsearch.h"
#include "history/recordresultmodel.h"
#include "history/workbookcheck.h"
#include "instruments/monitorbase.h"
#include "panels/desktopopener.h"
#include "panels/filedialogs.h"
#include "panels/messageboxes.h"
#include "panels/widgetcomport.h"
#include "panels/widgetmonitorlist.h"
#include "panels/widgetmonitorsimplelist.h"
#include "storage/accounts.h"
#include "storage/recorddatabase.h"
#include "storage/recordrow.h"
#include "storage/recordwriter.h"
#include "storage/zircondatabase.h"
#include "trend/historychart.h"

#define SQLITE_HAS_CODEC 1
#include <sqlite3.h>

#include <QAbstractEventDispatcher>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QDateTimeEdit>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QMetaEnum>
#include <QMouseEvent>
#include <QProcess>
#include <QPushButton>
#include <QStandardItemModel>
#include <QTabWidget>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QThread>
#include <QTreeView>
#include <QWheelEvent>

#include <qcustomplot.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <functional>
#include <malloc.h>
#include <map>
#include <vector>

namespace {

// The generated history: 20 instruments of two channels each.
const int historyInstruments = 20;
const QStringList stationOperations{"station-search", "station-export", "bec",
                                    "backup",         "import",         "remove"};
const QStringList allParts =
    QStringList{"search"} + stationOperations + QStringList{"chart", "legacy"};

struct Options
{
    long rows = 1000000;
    long legacyRows = 5000000;
    int instruments = 50;
    int seconds = 30;
    int rounds = 3;
    QStringList parts = allParts;
    QString folder = QDir::tempPath();
    // In a child process: its part and station folder, and the backup to import.
    QString child;
    QString station;
    QString importFile;
};

bool parse(const QStringList &arguments, Options &options)
{
    const bool known = parseOptions(arguments, [&](const QString &name, const QString &value) {
        if (name == "--rows")
            options.rows = value.toLong();
        else if (name == "--legacy-rows")
            options.legacyRows = value.toLong();
        else if (name == "--instruments")
            options.instruments = value.toInt();
        else if (name == "--seconds")
            options.seconds = value.toInt();
        else if (name == "--rounds")
            options.rounds = value.toInt();
        else if (name == "--folder")
            options.folder = value;
        else if (name == "--child")
            options.child = value;
        else if (name == "--station")
            options.station = value;
        else if (name == "--import")
            options.importFile = value;
        else if (name == "--only") {
            options.parts.clear();
            for (const QString &part : value.split(',', Qt::SkipEmptyParts)) {
                if (part == "station")
                    options.parts += stationOperations;
                else if (allParts.contains(part))
                    options.parts += part;
                else
                    return false;
            }
        } else
            return false;
        return true;
    });
    return known && options.rows > 0 && options.legacyRows > 0 && options.instruments > 0 &&
           options.seconds > 0 && options.rounds > 0 && !options.parts.isEmpty();
}

// A figure of a child process, read by the parent; not shown.
void value(const char *name, double number)
{
    std::printf("value %s %.6g\n", name, number);
    std::fflush(stdout);
}

void say(const char *format, ...) __attribute__((format(printf, 1, 2)));
void say(const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    std::vprintf(format, arguments);
    va_end(arguments);
    std::fflush(stdout);
}

// Runs an event loop until done() holds; false after timeoutMs. Checks whenever the loop has
// nothing left to do, so that what is timed from a handler is not held up by the wait.
bool waitFor(const std::function<bool()> &done, int timeoutMs)
{
    if (done())
        return true;
    QEventLoop loop;
    QTimer limit;
    limit.setSingleShot(true);
    limit.setTimerType(Qt::PreciseTimer);
    QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    limit.start(timeoutMs);
    QObject::connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock,
                     &loop, [&] {
                         if (done())
                             loop.quit();
                     });
    loop.exec();
    return done();
}

void pause(int ms)
{
    waitFor([] { return false; }, ms);
}

double median(std::vector<double> values)
{
    if (values.empty())
        return NAN;
    std::sort(values.begin(), values.end());
    const size_t half = values.size() / 2;
    return values.size() % 2 ? values[half] : (values[half - 1] + values[half]) / 2;
}

RecordDatabase *recordDatabase()
{
    return static_cast<RecordDatabase *>(AppContext::instance().object(RecordDb));
}

// The condition DialogSearch searches with when only its search button is clicked.
std::string defaultCondition()
{
    DialogSearch dialog;
    const auto text = [&dialog](const char *edit) {
        return dialog.findChild<QDateTimeEdit *>(edit)
            ->dateTime()
            .toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"))
            .toStdString();
    };
    std::string condition;
    RecordDatabase::appendTimeCondition(condition, text("dateTimeEditStart"),
                                        text("dateTimeEditEnd"), true);
    return condition;
}

// Every box the station asked since the current step began.
std::vector<MessageBoxes::Box> askedBoxes;

// Answers every box as an operator who goes on would (Yes where offered, else OK) and keeps it
// for the step's check; the desktop opens nothing.
void answerEverything()
{
    MessageBoxes::setResponder([](const MessageBoxes::Box &box) {
        askedBoxes.push_back(box);
        return box.buttons & QMessageBox::Yes ? QMessageBox::Yes : QMessageBox::Ok;
    });
    DesktopOpener::setHandler([](const QString &) { return true; });
}

QString boxText(const MessageBoxes::Box &box)
{
    const char *icon = box.icon == QMessageBox::Critical      ? "critical"
                       : box.icon == QMessageBox::Warning     ? "warning"
                       : box.icon == QMessageBox::Information ? "information"
                                                              : "other";
    return QStringLiteral("%1 box \"%2: %3\"")
        .arg(QLatin1String(icon), box.title, QString(box.text).replace('\n', QLatin1String(" / ")));
}

// A box a step asks when it goes as it should: icon, title and text, or only the text's start.
struct ExpectedBox
{
    QMessageBox::Icon icon;
    QString title;
    QString text;
    bool prefix = false;

    bool matches(const MessageBoxes::Box &box) const
    {
        return box.icon == icon && box.title == title &&
               (prefix ? box.text.startsWith(text) : box.text == text);
    }
};

// Whether a step did what it is timed for, checked once it ended. Each requirement it missed
// and each box it asked that was not expected (a refusal, a failure) is printed as
// "failed STEP: WHAT"; the parent repeats those lines and the run ends with a non-zero exit.
class StepCheck
{
public:
    // Forgets the boxes asked before the step.
    explicit StepCheck(const char *step) : step(step) { askedBoxes.clear(); }

    void require(bool ok, const QString &what)
    {
        ++conditions;
        if (!ok)
            failures << what;
    }
    // The boxes asked since the step began must be exactly these, in this order.
    void expectBoxes(const std::vector<ExpectedBox> &expected = {})
    {
        const auto text = [](const ExpectedBox &box) {
            return QStringLiteral("\"%1: %2\"").arg(box.title, box.text);
        };
        for (size_t i = 0; i < askedBoxes.size(); ++i)
            if (i >= expected.size())
                failures << QStringLiteral("unexpected ") + boxText(askedBoxes[i]);
            else if (!expected[i].matches(askedBoxes[i]))
                failures << QStringLiteral("unexpected %1 instead of %2")
                                .arg(boxText(askedBoxes[i]), text(expected[i]));
        for (size_t i = askedBoxes.size(); i < expected.size(); ++i)
            failures << QStringLiteral("no box ") + text(expected[i]);
        boxes = expected.size();
    }
    // Prints the outcome; true when nothing failed.
    bool passed() const
    {
        for (const QString &failure : failures)
            say("failed %s: %s\n", step, qPrintable(failure));
        if (failures.isEmpty())
            say("    checked %s: %d conditions held, %zu box(es) as expected\n", step, conditions,
                boxes);
        return failures.isEmpty();
    }

private:
    const char *step;
    QStringList failures;
    int conditions = 0;
    size_t boxes = 0;
};

// Runs sql on a database file through a read-only keyed connection of the station's own
// database layer; each result row as its columns joined by '|'. *rc gets the result.
QStringList selectRows(const QString &file, const std::string &sql, int *rc = nullptr)
{
    QStringList rows;
    zircon_db *db = nullptr;
    int result = ZirconDatabase::openKeyedConnection(file.toStdString(), &db, 5000, true);
    if (result == 0)
        result = zircon_run_sql(db, sql.c_str(), &rows, [](void *user, int columns, char **texts) {
            QStringList row;
            for (int c = 0; c < columns; ++c)
                row << (texts[c] ? QString::fromUtf8(texts[c]) : QStringLiteral("<null>"));
            static_cast<QStringList *>(user)->append(row.join(QLatin1Char('|')));
            return 0;
        });
    zircon_close(db);
    if (rc)
        *rc = result;
    return rows;
}

// The files of a folder matching pattern, by name.
QStringList filesIn(const QString &folder, const QString &pattern)
{
    return QDir(folder).entryList({pattern}, QDir::Files, QDir::Name);
}

// The rows of each sheet of a search export of rows records, header rows included: the rows
// continue on a further sheet when one is full.
std::vector<int> searchExportSheets(long rows)
{
    const long perSheet = 1048576 - 1;
    std::vector<int> sheets;
    do {
        const long rowsHere = std::min(rows, perSheet);
        sheets.push_back(int(rowsHere + 1));
        rows -= rowsHere;
    } while (rows > 0);
    return sheets;
}

// The names of a fresh DialogSearch come from its worker: the operator sees them first.
bool waitForNames(QWidget *dialog)
{
    const auto *names = dialog->findChild<QComboBox *>("comboBoxName");
    return waitFor([names] { return names->count() > 1; }, 30000);
}

// The longest gaps, with the time the interface thread ran in each and waited for a processor.
void printGaps(std::vector<StallMeter::Gap> gaps)
{
    if (gaps.empty())
        return;
    std::sort(gaps.begin(), gaps.end(), [](const StallMeter::Gap &a, const StallMeter::Gap &b) {
        return a.lengthMs > b.lengthMs;
    });
    say("    %zu gaps over %.0f ms; the longest (ms at s: ran, waited for a processor):",
        gaps.size(), StallMeter::longGapMs);
    for (size_t i = 0; i < gaps.size() && i < 6; ++i)
        say(" %.0f at %.1f: %.0f, %.0f;", gaps[i].lengthMs, gaps[i].atMs / 1000, gaps[i].runMs,
            gaps[i].queuedMs);
    say("\n");
}

// Times every event the interface thread delivers, to tell where a stall went: the slow
// deliveries that ran no event loop of their own, and every outermost delivery.
class TimedApplication : public QApplication
{
public:
    using QApplication::QApplication;

    static constexpr double slowMs = 25;

    void startWatch()
    {
        outermost.clear();
        slow.clear();
        watch.start();
    }
    // The slowest deliveries since startWatch(), longest first, and what the interface thread
    // delivered during the longest gap.
    void printSlowest(const std::vector<StallMeter::Gap> &gaps, size_t count) const
    {
        std::vector<Slow> sorted = slow;
        std::sort(sorted.begin(), sorted.end(),
                  [](const Slow &a, const Slow &b) { return a.ms > b.ms; });
        if (sorted.size() > count)
            sorted.resize(count);
        for (const Slow &delivery : sorted)
            say("      %5.0f ms at %5.1f s: %s%s\n", delivery.ms, delivery.atMs / 1000,
                delivery.depth ? "inside another event: " : "", qPrintable(delivery.what));
        if (gaps.empty())
            return;
        const StallMeter::Gap &gap = *std::max_element(
            gaps.begin(), gaps.end(), [](const StallMeter::Gap &a, const StallMeter::Gap &b) {
                return a.lengthMs < b.lengthMs;
            });
        struct Kind
        {
            QString what;
            int count = 0;
            double ms = 0;
        };
        std::map<std::pair<const char *, int>, Kind> within;
        for (const Delivery &delivery : outermost)
            if (delivery.atMs + delivery.ms > gap.atMs && delivery.atMs < gap.atMs + gap.lengthMs) {
                Kind &kind = within[{delivery.className, delivery.type}];
                kind.what = describe(delivery.className, delivery.type);
                ++kind.count;
                kind.ms += delivery.ms;
            }
        std::vector<Kind> kinds;
        for (const auto &entry : within)
            kinds.push_back(entry.second);
        std::sort(kinds.begin(), kinds.end(),
                  [](const Kind &a, const Kind &b) { return a.ms > b.ms; });
        say("      in the longest gap the interface thread delivered:");
        for (size_t i = 0; i < kinds.size() && i < 5; ++i)
            say(" %d x %s in %.0f ms;", kinds[i].count, qPrintable(kinds[i].what), kinds[i].ms);
        say(kinds.empty() ? " nothing\n" : "\n");
    }

    bool notify(QObject *receiver, QEvent *event) override
    {
        if (!watch.isValid() || QThread::currentThread() != thread())
            return QApplication::notify(receiver, event);
        const int level = QThread::currentThread()->loopLevel();
        for (Frame &frame : frames)
            frame.looped = frame.looped || frame.level < level;
        // Read before the delivery, which may delete the receiver.
        const char *className = receiver->metaObject()->className();
        const int type = event->type();
        frames.push_back({watch.nsecsElapsed(), level, false});
        const bool result = QApplication::notify(receiver, event);
        const Frame frame = frames.back();
        frames.pop_back();
        if (frame.looped)
            return result;
        const double ms = (watch.nsecsElapsed() - frame.startNs) / 1e6;
        // Only deliveries that wait for this one to return are its callers.
        const int depth = int(std::count_if(frames.begin(), frames.end(),
                                            [](const Frame &outer) { return !outer.looped; }));
        if (depth == 0)
            outermost.push_back({frame.startNs / 1e6, ms, className, type});
        if (ms > slowMs)
            slow.push_back({frame.startNs / 1e6, ms, depth, describe(className, type)});
        return result;
    }

private:
    struct Frame
    {
        qint64 startNs;
        int level;
        bool looped;
    };
    struct Delivery
    {
        double atMs;
        double ms;
        const char *className;
        int type;
    };
    struct Slow
    {
        double atMs;
        double ms;
        int depth;
        QString what;
    };
    static QString describe(const char *className, int type)
    {
        const char *name = QMetaEnum::fromType<QEvent::Type>().valueToKey(type);
        return QString::fromLatin1(className) + QLatin1Char(' ') +
               (name ? QString::fromLatin1(name) : QString::number(type));
    }

    QElapsedTimer watch;
    std::vector<Frame> frames;
    std::vector<Delivery> outermost;
    std::vector<Slow> slow;
};

TimedApplication *timedApp()
{
    return static_cast<TimedApplication *>(QCoreApplication::instance());
}

// The interface thread's share of a search: each batch of found rows merged into the dialog's
// model, together with the view's handling of the insert.
class AppendWatch : public QObject
{
public:
    explicit AppendWatch(QAbstractItemModel *model)
    {
        connect(model, &QAbstractItemModel::rowsAboutToBeInserted, this,
                [this](const QModelIndex &, int first, int last) {
                    rows = last - first + 1;
                    timer.start();
                });
        connect(model, &QAbstractItemModel::rowsInserted, this, [this] {
            const double ms = msSince(timer);
            totalMs += ms;
            ++batches;
            if (ms > longestMs) {
                longestMs = ms;
                longestRows = rows;
            }
        });
    }
    void reset()
    {
        longestMs = totalMs = 0;
        longestRows = batches = 0;
    }
    QString text() const
    {
        return QStringLiteral("%1 batches merged into the model in %2 ms, the longest %3 ms for "
                              "%4 rows")
            .arg(batches)
            .arg(totalMs, 0, 'f', 0)
            .arg(longestMs, 0, 'f', 1)
            .arg(longestRows);
    }

    double longestMs = 0;
    int longestRows = 0;
    double totalMs = 0;
    int batches = 0;

private:
    QElapsedTimer timer;
    int rows = 0;
};

// ---- search: one query or one search in a process of its own ----------------------------------

int queryChild()
{
    const std::string condition = defaultCondition();
    QCoreApplication::processEvents();

    // The raw library's first page in time order, the floor of the first rows shown.
    sqlite3 *raw = openRaw(AppContext::instance().path(RecordDb));
    // The key is derived at the first read, as the search's reader does before it is asked.
    mustRun(raw, "SELECT count(*) FROM sqlite_master");
    QElapsedTimer timer;
    timer.start();
    const std::string sql =
        "SELECT uid,time,model,name,slave,channel,factor,unit,value,status FROM Record" +
        condition + " ORDER BY time, uid LIMIT 1000";
    sqlite3_stmt *statement = nullptr;
    sqlite3_prepare_v2(raw, sql.c_str(), -1, &statement, nullptr);
    long pageRows = 0;
    std::vector<RecordRow> page;
    const auto text = [statement](int column) {
        const unsigned char *value = sqlite3_column_text(statement, column);
        return value ? std::string(reinterpret_cast<const char *>(value)) : std::string();
    };
    while (sqlite3_step(statement) == SQLITE_ROW) {
        RecordRow row;
        row.time = text(1);
        row.model = text(2);
        row.name = text(3);
        row.slave = sqlite3_column_int(statement, 4);
        row.channel = sqlite3_column_int(statement, 5);
        row.factor = text(6);
        row.unit = text(7);
        row.value = text(8);
        row.status = text(9);
        page.push_back(std::move(row));
        ++pageRows;
    }
    sqlite3_finalize(statement);
    const double pageMs = msSince(timer);
    sqlite3_close(raw);
    page.clear();
    page.shrink_to_fit();

    malloc_trim(0);
    const long rest = statusKb("VmRSS:");
    resetPeak();
    timer.start();
    std::vector<RecordRow *> rows;
    const int rc = recordDatabase()->query(condition, rows);
    const double queryMs = msSince(timer);
    const long peak = statusKb("VmHWM:");
    say("  query into a vector:   %8.0f ms, %ld rows (rc %d), peak %ld MB, %ld MB above the "
        "resting process; raw first page of %ld rows in time order %.1f ms\n",
        queryMs, long(rows.size()), rc, peak / 1024, (peak - rest) / 1024, pageRows, pageMs);
    const long stored = storedRows(AppContext::instance().path(RecordDb), condition);
    StepCheck check("query");
    check.require(rc == 0, QStringLiteral("the query failed with %1").arg(rc));
    check.require(long(rows.size()) == stored,
                  QStringLiteral("the query gave %1 of %2 rows").arg(rows.size()).arg(stored));
    check.require(pageRows == std::min(stored, 1000L),
                  QStringLiteral("the first page held %1 rows").arg(pageRows));
    RecordDatabase::freeRows(rows);
    if (!check.passed())
        return 1;
    value("query_ms", queryMs);
    value("query_rows", stored);
    value("query_peak_kb", peak);
    value("query_growth_kb", peak - rest);
    value("first_page_ms", pageMs);
    return 0;
}

int searchChild()
{
    answerEverything();
    StepCheck check("search");
    DialogSearch dialog;
    dialog.show();
    const bool named = waitForNames(&dialog);
    QCoreApplication::processEvents();
    malloc_trim(0);
    const long rest = statusKb("VmRSS:");

    double firstMs = -1, doneMs = -1;
    int found = -1;
    QElapsedTimer timer;
    QObject::connect(&dialog, &DialogSearch::signal_firstRowsPainted,
                     [&] { firstMs = msSince(timer); });
    QObject::connect(&dialog, &DialogSearch::signal_searchFinished, [&](int rows) {
        doneMs = msSince(timer);
        found = rows;
    });
    AppendWatch appends(dialog.resultModel());
    StallMeter meter;
    resetPeak();
    meter.start();
    timedApp()->startWatch();
    timer.start();
    dialog.findChild<QPushButton *>("pushButtonSearch")->click();
    const bool finished = waitFor([&] { return found >= 0; }, 600000);
    const double stall = meter.longestMs();
    const long peak = statusKb("VmHWM:");
    meter.stop();
    const long stored = storedRows(AppContext::instance().path(RecordDb), defaultCondition());
    check.require(named, QStringLiteral("the dialog listed no names"));
    check.require(finished, QStringLiteral("the search did not finish in ten minutes"));
    check.require(found == stored,
                  QStringLiteral("the search found %1 of %2 rows").arg(found).arg(stored));
    check.require(firstMs >= 0, QStringLiteral("no rows were painted"));
    check.expectBoxes();
    if (!check.passed())
        return 1;
    say("  DialogSearch:          %8.0f ms, %d rows, peak %ld MB, %ld MB above the resting "
        "process; first rows painted after %.0f ms; stall %.0f ms\n",
        doneMs, found, peak / 1024, (peak - rest) / 1024, firstMs, stall);
    value("search_ms", doneMs);
    value("search_rows", found);
    value("search_first_ms", firstMs);
    value("search_peak_kb", peak);
    value("search_growth_kb", peak - rest);
    value("search_quiet_stall_ms", stall);
    printGaps(meter.longGaps());
    if (stall > 50)
        timedApp()->printSlowest(meter.longGaps(), 8);
    say("    %s\n", qPrintable(appends.text()));
    return 0;
}

// ---- chart -----------------------------------------------------------------------------------

// Zoom and pan steps on a plot, each timed from the event to its replot painted.
class StepSeries
{
public:
    explicit StepSeries(QCustomPlot *plot) : plot(plot)
    {
        QObject::connect(plot, &QCustomPlot::afterReplot, [this] { ++replots; });
    }

    // Ten zoom steps in, twenty pan steps, ten zoom steps out, at the middle of the plot; check
    // gets whether each step moved the time axis and was painted.
    std::vector<double> run(StepCheck &check)
    {
        missed = 0;
        std::vector<double> steps;
        const QPointF middle = plot->axisRect()->rect().center();
        const QCPRange whole = plot->xAxis->range();
        for (int i = 0; i < 10; ++i)
            steps.push_back(wheel(middle, 120));
        const QCPRange zoomed = plot->xAxis->range();
        QMouseEvent press(QEvent::MouseButtonPress, middle, Qt::LeftButton, Qt::LeftButton,
                          Qt::NoModifier);
        QCoreApplication::sendEvent(plot, &press);
        for (int i = 1; i <= 20; ++i) {
            QMouseEvent move(QEvent::MouseMove, middle + QPointF(i * 8, 0), Qt::NoButton,
                             Qt::LeftButton, Qt::NoModifier);
            steps.push_back(timed(&move));
        }
        QMouseEvent release(QEvent::MouseButtonRelease, middle + QPointF(160, 0), Qt::LeftButton,
                            Qt::NoButton, Qt::NoModifier);
        QCoreApplication::sendEvent(plot, &release);
        QCoreApplication::processEvents();
        const QCPRange panned = plot->xAxis->range();
        for (int i = 0; i < 10; ++i)
            steps.push_back(wheel(middle, -120));
        const double zoomedPct = 100 * zoomed.size() / whole.size();
        const double pannedPct = 100 * std::abs(panned.lower - zoomed.lower) / zoomed.size();
        const double outPct = 100 * plot->xAxis->range().size() / whole.size();
        say("    the time axis zoomed in to %.1f %% of its span, panned by %.1f %% of the zoomed "
            "span, zoomed out to %.1f %%\n",
            zoomedPct, pannedPct, outPct);
        check.require(zoomedPct < 100,
                      QStringLiteral("zooming in left the span at %1 %").arg(zoomedPct));
        check.require(pannedPct > 0, QStringLiteral("panning did not move the time axis"));
        check.require(outPct > zoomedPct,
                      QStringLiteral("zooming out left the span at %1 %").arg(outPct));
        check.require(missed == 0, QStringLiteral("%1 steps were never painted").arg(missed));
        return steps;
    }

    // Waits for the next replot and its paint; ms since timer. A replot that does not come
    // within a minute counts as missed.
    double painted(const QElapsedTimer &timer, int before)
    {
        if (!waitFor([&] { return replots > before; }, 60000))
            ++missed;
        QCoreApplication::processEvents();
        return msSince(timer);
    }

    int replots = 0;
    int missed = 0;

private:
    double wheel(const QPointF &at, int angle)
    {
        QWheelEvent event(at, plot->mapToGlobal(at.toPoint()), QPoint(), QPoint(0, angle),
                          Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        return timed(&event);
    }
    double timed(QEvent *event)
    {
        const int before = replots;
        QElapsedTimer timer;
        timer.start();
        QCoreApplication::sendEvent(plot, event);
        return painted(timer, before);
    }

    QCustomPlot *plot;
};

void reportSteps(const char *what, const std::vector<double> &steps, const char *prefix)
{
    const double worst = *std::max_element(steps.begin(), steps.end());
    say("  %-44s median %6.1f ms, worst %6.1f ms (%zu zoom and pan steps)\n", what, median(steps),
        worst, steps.size());
    value((std::string(prefix) + "_step_median_ms").c_str(), median(steps));
    value((std::string(prefix) + "_step_worst_ms").c_str(), worst);
}

int chartChild()
{
    answerEverything();
    DialogSearch dialog;
    dialog.resize(1200, 800);
    dialog.show();
    StepCheck search("chart search");
    search.require(waitForNames(&dialog), QStringLiteral("the dialog listed no names"));
    int found = -1;
    QObject::connect(&dialog, &DialogSearch::signal_searchFinished,
                     [&](int rows) { found = rows; });
    dialog.findChild<QPushButton *>("pushButtonSearch")->click();
    search.require(waitFor([&] { return found >= 0; }, 600000),
                   QStringLiteral("the search did not finish in ten minutes"));
    const long stored = storedRows(AppContext::instance().path(RecordDb), defaultCondition());
    search.require(found == stored && found > 0,
                   QStringLiteral("the search found %1 of %2 rows").arg(found).arg(stored));
    if (!search.passed())
        return 1;
    QCoreApplication::processEvents();

    auto *chart = dialog.findChild<HistoryChart *>();
    auto *tabs = dialog.findChild<QTabWidget *>("tabWidgetResult");
    StepSeries chartSteps(chart);
    int points = -1;
    QObject::connect(&dialog, &DialogSearch::signal_chartShown, [&](int shown) { points = shown; });
    QElapsedTimer timer;
    timer.start();
    const int before = chartSteps.replots;
    StepCheck open("chart open");
    tabs->setCurrentWidget(dialog.findChild<QWidget *>("tabChart"));
    open.require(waitFor([&] { return points >= 0; }, 600000),
                 QStringLiteral("the chart was not shown in ten minutes"));
    const double openMs = chartSteps.painted(timer, before);
    say("  %d rows found; the chart of %s %s shows %d points\n", found,
        qPrintable(chart->series().name), qPrintable(chart->series().factor), points);
    say("  曲线 tab clicked to the chart painted:        %6.0f ms\n", openMs);
    open.require(points > 0 && chart->valueGraph()->data()->size() == points,
                 QStringLiteral("the chart shows %1 points, its graph holds %2")
                     .arg(points)
                     .arg(chart->valueGraph()->data()->size()));
    open.require(chartSteps.missed == 0, QStringLiteral("the chart was never painted"));
    open.expectBoxes();
    if (!open.passed())
        return 1;
    value("chart_open_ms", openMs);
    value("chart_points", points);
    StepCheck steps("chart steps");
    const std::vector<double> chartTimes = chartSteps.run(steps);
    steps.expectBoxes();
    if (!steps.passed())
        return 1;
    reportSteps("HistoryChart in the dialog:", chartTimes, "chart");

    // The baseline: a plain plot of the same points, the same size, the same interactions.
    QCustomPlot plain;
    plain.resize(chart->size());
    plain.show();
    QCPGraph *graph = plain.addGraph();
    QSharedPointer<QCPAxisTickerDateTime> ticker(new QCPAxisTickerDateTime);
    ticker->setDateTimeFormat(QStringLiteral("yyyy-MM-dd\nhh:mm:ss"));
    plain.xAxis->setTicker(ticker);
    plain.setInteractions(QCP::iRangeDrag | QCP::iRangeZoom);
    plain.axisRect()->setRangeDrag(Qt::Horizontal);
    plain.axisRect()->setRangeZoom(Qt::Horizontal);
    QCoreApplication::processEvents();
    QVector<QCPGraphData> copy;
    copy.reserve(chart->valueGraph()->data()->size());
    for (const QCPGraphData &point : *chart->valueGraph()->data())
        copy.append(point);
    StepSeries plainSteps(&plain);
    timer.start();
    const int plainBefore = plainSteps.replots;
    graph->data()->set(copy, true);
    plain.rescaleAxes();
    plain.replot();
    const double plainOpenMs = plainSteps.painted(timer, plainBefore);
    say("  baseline: plain QCustomPlot, points set to painted: %6.0f ms\n", plainOpenMs);
    StepCheck baseline("chart baseline");
    baseline.require(graph->data()->size() == points && plainSteps.missed == 0,
                     QStringLiteral("the plain plot holds %1 points, painted %2")
                         .arg(graph->data()->size())
                         .arg(plainSteps.missed ? "never" : "once"));
    const std::vector<double> plainTimes = plainSteps.run(baseline);
    baseline.expectBoxes();
    if (!baseline.passed())
        return 1;
    value("plain_open_ms", plainOpenMs);
    reportSteps("baseline: plain QCustomPlot:", plainTimes, "plain");
    return 0;
}

// ---- legacy start-up --------------------------------------------------------------------------

// Notes the first paint of a widget.
class PaintWatch : public QObject
{
public:
    bool painted = false;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        painted = painted || event->type() == QEvent::Paint;
        return false;
    }
};

// Start-up on the station folder: init, the main window shown and painted, then the interface
// thread running until the indexes are built (or for seconds when they exist already).
int startupChild(int seconds)
{
    answerEverything();
    StepCheck check("start-up");
    QElapsedTimer timer;
    timer.start();
    AppContext::instance().init();
    const double initMs = msSince(timer);
    RecordDatabase *database = recordDatabase();
    const bool building = database->indexState() == RecordDatabase::IndexesBuilding;
    auto *window = new MainWindow;
    PaintWatch paint;
    window->findChild<WidgetMonitorSimpleList *>()
        ->findChild<QTableWidget *>()
        ->viewport()
        ->installEventFilter(&paint);
    window->show();
    check.require(waitFor([&] { return paint.painted; }, 60000),
                  QStringLiteral("the main window was not painted within a minute"));
    const double shownMs = msSince(timer);

    StallMeter meter;
    meter.start();
    timedApp()->startWatch();
    QElapsedTimer running;
    running.start();
    if (building)
        waitFor([&] { return database->indexState() != RecordDatabase::IndexesBuilding; },
                3600 * 1000);
    else
        pause(seconds * 1000);
    const double stall = meter.longestMs();
    const double runMs = msSince(running);
    const bool ready = database->indexState() == RecordDatabase::IndexesReady;
    say("  %-38s init %5.0f ms, window painted at %5.0f ms; then %6.1f s %s: stall %.0f ms\n",
        building ? "without indexes:" : "baseline, indexes present:", initMs, shownMs, runMs / 1000,
        building ? (ready ? "until the indexes were built" : "until the index build FAILED")
                 : "running",
        stall);
    meter.stop();
    printGaps(meter.longGaps());
    if (stall > 50)
        timedApp()->printSlowest(meter.longGaps(), 8);
    check.require(ready, QStringLiteral("the indexes were not built"));
    check.require(database->isOpen(), QStringLiteral("the record file is not open"));
    check.expectBoxes();
    const bool passed = check.passed();
    if (passed) {
        value(building ? "legacy_stall_ms" : "indexed_stall_ms", stall);
        value(building ? "legacy_build_s" : "indexed_run_s", runMs / 1000);
    }
    MessageBoxes::setResponder([](const MessageBoxes::Box &) { return QMessageBox::Yes; });
    window->on_pushButtonClose_clicked();
    delete window;
    return passed ? 0 : 1;
}

// ---- station ----------------------------------------------------------------------------------

// The station at plant scale: the real main window polling a simulated chain and recording.
class Station
{
public:
    explicit Station(const Options &options) : options(options) {}

    int run();

private:
    // An operation from its start to its end, in wall-clock ms since the epoch.
    struct Span
    {
        qint64 startMs = 0;
        qint64 endMs = 0;
        double stallMs = 0;
        std::vector<StallMeter::Gap> gaps;
    };
    void begin(Span &span)
    {
        span.startMs = QDateTime::currentMSecsSinceEpoch();
        meter.start();
        timedApp()->startWatch();
    }
    void end(Span &span)
    {
        meter.stop();
        span.stallMs = meter.longestMs();
        span.gaps = meter.longGaps();
        span.endMs = QDateTime::currentMSecsSinceEpoch();
    }
    // The phase (ms into the second) at which no reading is shown, half a second from the
    // middle of the passes while idle; -1 when the passes spread over more than that.
    void findQuietPhase();
    // Readings taken and rows stored in span as percentages of what every interval that elapsed
    // brings; prints them beside the idle baseline. Rows are counted in the record file through
    // a connection of its own once the writers have stored what they were handed.
    double acquisition(const char *what, const Span &span, bool countRows = true);
    void report(const char *what, const Span &span, const char *extra = "");
    // Each step returns whether it did what it is timed for (see StepCheck).
    bool signIn();
    bool idle();
    bool search(bool repeat, bool exportRows);
    bool bec();
    bool backup();
    bool import();
    bool remove();
    // The operator's hand on the mouse before a command: the input that keeps a signed-in
    // administrator from being signed out as idle however long the run.
    void touch();
    // Shows the readings that waited while the interface thread was held up (by the checks)
    // and waits until their rows are stored, so that the counts that follow are complete.
    void catchUp()
    {
        QCoreApplication::processEvents();
        RecordWriter::waitForAll();
    }
    // Before a timed operation: the station back in its stride after the counts and checks
    // that held the interface thread up, every monitor read again since (while the line is on).
    void settle()
    {
        catchUp();
        if (!window->isRunning())
            return;
        const qint64 from = QDateTime::currentMSecsSinceEpoch();
        waitFor(
            [&] {
                return AcquisitionCounter::countBetween(counter->readingTimes, from,
                                                        QDateTime::currentMSecsSinceEpoch() + 1) >=
                       counter->monitors();
            },
            10000);
    }
    // The station folder's folders.
    QString folder(int kind) const { return AppContext::instance().path(kind); }

    const Options &options;
    QString recordFile;
    MainWindow *window = nullptr;
    AcquisitionCounter *counter = nullptr;
    StallMeter meter;
    // When the line was switched on: rows of this run are stored from then.
    qint64 lineOnMs = 0;
    Span idleSpan;
    qint64 quietPhase = -1;
    double idleReadingsPct = NAN;
    double idleRowsPct = NAN;
};

void Station::findQuietPhase()
{
    const qint64 from = idleSpan.startMs, to = idleSpan.endMs;
    const auto begin =
        std::lower_bound(counter->readingTimes.begin(), counter->readingTimes.end(), from);
    const auto end = std::lower_bound(begin, counter->readingTimes.end(), to);
    // The circular mean of the readings' phases in the read interval.
    double x = 0, y = 0;
    for (auto time = begin; time != end; ++time) {
        const double angle = 2 * M_PI * double(*time % 1000) / 1000;
        x += std::cos(angle);
        y += std::sin(angle);
    }
    const qint64 middle = qint64(std::lround(std::atan2(y, x) / (2 * M_PI) * 1000) + 1000) % 1000;
    qint64 spread = 0;
    for (auto time = begin; time != end; ++time) {
        const qint64 off = std::abs(*time % 1000 - middle);
        spread = std::max(spread, std::min(off, 1000 - off));
    }
    quietPhase = spread < 450 ? (middle + 500) % 1000 : -1;
    say("    the readings of a pass are shown within %lld ms of %lld ms into the second\n", spread,
        middle);
}

double Station::acquisition(const char *what, const Span &span, bool countRows)
{
    // Whole intervals between two moments when no reading is shown: each brings exactly one
    // reading of every monitor unless the station missed it. Without such a moment, from the
    // start.
    const int monitors = counter->monitors();
    qint64 from = span.startMs;
    if (quietPhase >= 0)
        from += ((quietPhase - from % 1000) % 1000 + 1000) % 1000;
    const qint64 intervals = (span.endMs - from) / 1000;
    if (intervals < 2) {
        say("    acquisition %-24s (too short to count)\n", what);
        return NAN;
    }
    const double readingsPct =
        100.0 *
        AcquisitionCounter::countBetween(counter->readingTimes, from, from + intervals * 1000) /
        (double(monitors) * intervals);
    say("    acquisition %-24s readings %5.1f %% of %lld intervals x %d monitors", what,
        readingsPct, intervals, monitors);
    double rowsPct = NAN;
    if (countRows) {
        // Rows stored of those handed over in the whole seconds inside the span (a stored time
        // is the second of its reading), applied to the readings' share.
        const qint64 first = span.startMs / 1000 + 1, last = span.endMs / 1000;
        RecordWriter::waitForAll();
        const QString format = QStringLiteral("yyyy-MM-dd hh:mm:ss");
        std::string condition;
        RecordDatabase::appendTimeCondition(
            condition, QDateTime::fromSecsSinceEpoch(first).toString(format).toStdString(),
            QDateTime::fromSecsSinceEpoch(last - 1).toString(format).toStdString(), true);
        const long stored = storedRows(recordFile, condition);
        const long handed =
            AcquisitionCounter::countBetween(counter->handedTimes, first * 1000, last * 1000);
        rowsPct = handed > 0 ? readingsPct * stored / handed : NAN;
        say(", rows stored %5.1f %% (%ld stored of %ld handed over in %lld s)", rowsPct, stored,
            handed, last - first);
    }
    if (&span == &idleSpan) {
        idleReadingsPct = readingsPct;
        idleRowsPct = rowsPct;
    } else {
        say(" (idle baseline %.1f %%, %.1f %%)", idleReadingsPct, idleRowsPct);
    }
    say("\n");
    return countRows ? std::min(readingsPct, rowsPct) : readingsPct;
}

void Station::report(const char *what, const Span &span, const char *extra)
{
    say("  %-40s %7.1f s, stall %5.0f ms (idle baseline %.0f ms)%s\n", what,
        (span.endMs - span.startMs) / 1000.0, span.stallMs, idleSpan.stallMs, extra);
    printGaps(span.gaps);
    if (span.stallMs > 50)
        timedApp()->printSlowest(span.gaps, 8);
}

bool Station::signIn()
{
    // As the operator does at a new station: 用户 > 登录 with the administrator's name and no
    // password, then the new password the form asks for, twice.
    StepCheck check("sign-in");
    const QString name = QStringLiteral("admin");
    const QString password = QStringLiteral("bench-admin-1");
    bool formShown = false;
    QList<int> answers;
    QTimer::singleShot(0, window, [&] {
        auto *dialog = window->findChild<DialogAccount *>();
        if (!dialog)
            return;
        formShown = true;
        const auto field = [dialog](const char *object) {
            return dialog->findChild<QLineEdit *>(object);
        };
        QPushButton *ok = dialog->findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Ok);
        QObject::connect(dialog, &DialogAccount::signal_answered, dialog,
                         [&, dialog, field, ok](int result) {
                             answers << result;
                             if (result == Accounts::MustSetPassword &&
                                 dialog->isSettingPassword() && answers.size() == 1) {
                                 field("lineEditNewPassword")->setText(password);
                                 field("lineEditConfirm")->setText(password);
                                 QTimer::singleShot(0, ok, &QPushButton::click);
                             } else if (result != Accounts::Ok) {
                                 dialog->reject();
                             }
                         });
        // A form that gets no answer is not waited for.
        QTimer::singleShot(60000, dialog, &QDialog::reject);
        field("lineEditName")->setText(name);
        field("lineEditPassword")->clear();
        ok->click();
    });
    window->findChild<QAction *>(QStringLiteral("actionSignIn"))->trigger();

    QStringList answered;
    for (const int result : answers)
        answered << (result == Accounts::Ok ? QStringLiteral("signed in")
                                            : Accounts::Reply{result, 0}.text());
    say("  signed in through 用户 > 登录 as %s: %s\n", qPrintable(name),
        qPrintable(answered.join(QStringLiteral(", then "))));
    const Accounts &accounts = Accounts::instance();
    const QString shown = window->findChild<QLabel *>(QStringLiteral("labelUser"))->text();
    check.require(formShown, QStringLiteral("the sign-in form did not open"));
    check.require(answers == QList<int>{Accounts::MustSetPassword, Accounts::Ok},
                  QStringLiteral("the accounts answered: ") + answered.join(QStringLiteral(", ")));
    check.require(accounts.isAdministrator() && accounts.userName() == name,
                  QStringLiteral("no administrator is signed in"));
    check.require(shown == QStringLiteral("管理员 ") + name,
                  QStringLiteral("the status bar shows \"%1\"").arg(shown));
    check.expectBoxes({{QMessageBox::Information, QStringLiteral("登录"),
                        Accounts::Reply{Accounts::MustSetPassword, 0}.text()}});
    return check.passed();
}

void Station::touch()
{
    const QPoint middle = window->rect().center();
    QMouseEvent move(QEvent::MouseMove, middle, window->mapToGlobal(middle), Qt::NoButton,
                     Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(window, &move);
}

bool Station::idle()
{
    StepCheck check("idle");
    begin(idleSpan);
    pause(options.seconds * 1000);
    end(idleSpan);
    report("idle, acquiring only (baseline)", idleSpan);
    findQuietPhase();
    acquisition("idle:", idleSpan);
    check.require(AcquisitionCounter::countBetween(counter->readingTimes, idleSpan.startMs,
                                                   idleSpan.endMs) > 0 &&
                      AcquisitionCounter::countBetween(counter->handedTimes, idleSpan.startMs,
                                                       idleSpan.endMs) > 0,
                  QStringLiteral("the station acquired nothing while idle"));
    check.expectBoxes();
    if (!check.passed())
        return false;
    value("stall_idle_ms", idleSpan.stallMs);
    return true;
}

// The search dialog as the operator opens it from the main window.
bool Station::search(bool repeat, bool exportRows)
{
    bool passed = false;
    QTimer::singleShot(0, window, [&] {
        touch();
        auto *dialog = window->findChild<DialogSearch *>();
        StepCheck check(repeat ? "station-search" : "station-export search");
        check.require(waitForNames(dialog), QStringLiteral("the dialog listed no names"));
        QCoreApplication::processEvents();
        // Its own condition, counted before and after: each search finds every row stored when
        // it read, so at least the rows before and at most those after.
        std::string condition;
        const QString format = QStringLiteral("yyyy-MM-dd hh:mm:ss");
        RecordDatabase::appendTimeCondition(condition,
                                            dialog->findChild<QDateTimeEdit *>("dateTimeEditStart")
                                                ->dateTime()
                                                .toString(format)
                                                .toStdString(),
                                            dialog->findChild<QDateTimeEdit *>("dateTimeEditEnd")
                                                ->dateTime()
                                                .toString(format)
                                                .toStdString(),
                                            true);
        const long before = storedRows(recordFile, condition);
        int found = -1;
        double firstMs = -1;
        QElapsedTimer timer;
        QObject::connect(dialog, &DialogSearch::signal_searchFinished,
                         [&](int rows) { found = rows; });
        QObject::connect(dialog, &DialogSearch::signal_firstRowsPainted, [&] {
            if (firstMs < 0)
                firstMs = msSince(timer);
        });
        auto *button = dialog->findChild<QPushButton *>("pushButtonSearch");
        AppendWatch appends(dialog->resultModel());
        Span span;
        settle();
        if (repeat)
            begin(span);
        int searches = 0;
        std::vector<int> founds;
        do {
            found = -1;
            timer.start();
            button->click();
            if (!waitFor([&] { return found >= 0; }, 600000))
                break;
            founds.push_back(found);
            ++searches;
        } while (repeat &&
                 QDateTime::currentMSecsSinceEpoch() - span.startMs < options.seconds * 1000);
        if (repeat)
            end(span);
        const long after = storedRows(recordFile, condition);
        check.require(found >= 0,
                      QStringLiteral("search %1 did not finish in ten minutes").arg(searches + 1));
        for (const int rows : founds)
            check.require(rows >= before && rows <= after,
                          QStringLiteral("a search found %1 rows, %2 to %3 were stored")
                              .arg(rows)
                              .arg(before)
                              .arg(after));
        check.require(firstMs >= 0, QStringLiteral("no rows were painted"));
        check.expectBoxes();
        if (!check.passed()) {
            dialog->reject();
            return;
        }
        if (repeat) {
            const QByteArray extra = QStringLiteral("; %1 searches of %2 rows, the first rows "
                                                    "of the first painted after %3 ms")
                                         .arg(searches)
                                         .arg(found)
                                         .arg(firstMs, 0, 'f', 0)
                                         .toUtf8();
            report("searching again and again", span, extra.constData());
            say("    %s\n", qPrintable(appends.text()));
            value("stall_search_ms", span.stallMs);
            value("acquisition_during_search_pct", acquisition("while searching:", span));
        }
        if (exportRows) {
            StepCheck exported("station-export");
            QString saved;
            bool ok = false;
            QObject::connect(dialog, &DialogSearch::signal_exportFinished,
                             [&](const QString &path, bool written) {
                                 saved = path;
                                 ok = written;
                             });
            settle();
            touch();
            begin(span);
            dialog->findChild<QPushButton *>("pushButtonExport")->click();
            const bool ended = waitFor([&] { return !saved.isEmpty(); }, 3600 * 1000);
            end(span);
            exported.require(ended, QStringLiteral("the export did not end within an hour"));
            exported.require(ok, QStringLiteral("the export reported failure"));
            // Read back as a reader would: every sheet whole, with exactly the found rows.
            exported.require(ended && WorkbookCheck::isComplete(saved, searchExportSheets(found)),
                             QStringLiteral("%1 does not hold the %2 found rows")
                                 .arg(saved.isEmpty() ? QStringLiteral("no workbook") : saved)
                                 .arg(found));
            exported.expectBoxes({{QMessageBox::Information, QStringLiteral("通知"),
                                   QStringLiteral("记录保存至:\n") + saved}});
            const QByteArray extra = QStringLiteral("; %1 rows, %2 MB workbook")
                                         .arg(found)
                                         .arg(QFileInfo(saved).size() / 1e6, 0, 'f', 1)
                                         .toUtf8();
            QFile::remove(saved);
            if (!exported.passed()) {
                dialog->reject();
                return;
            }
            report("exporting the found rows", span, extra.constData());
            value("stall_export_ms", span.stallMs);
            acquisition("while exporting:", span);
        }
        passed = true;
        dialog->accept();
    });
    window->slot_searchRecord();
    return passed;
}

bool Station::bec()
{
    StepCheck check("bec");
    const QString exports = folder(ExportDir);
    const QStringList before = filesIn(exports, QStringLiteral("*"));
    int failed = -1;
    Span span;
    settle();
    touch();
    QTimer::singleShot(0, window, [&] {
        auto *dialog = window->findChild<DialogBEC *>();
        QObject::connect(dialog, &DialogBEC::signal_stagesDone,
                         [&failed, dialog] { failed = dialog->failedStages(); });
        begin(span);
        dialog->findChild<QPushButton *>("pushButtonStart")->click();
    });
    window->slot_exportRecord();
    end(span);
    qint64 bytes = 0;
    QStringList workbooks;
    for (const QFileInfo &file :
         QDir(exports).entryInfoList(QDir::Files | QDir::NoDotAndDotDot, QDir::Name)) {
        if (!before.contains(file.fileName()) && file.suffix() == QLatin1String("xlsx") &&
            file.size() > 0)
            workbooks << file.fileName();
        bytes += file.size();
        QFile::remove(file.filePath());
    }
    check.require(failed == 0, QStringLiteral("the stages ended with failed mask %1").arg(failed));
    // The dialog saved it only once it read back whole with the rows it wrote.
    check.require(workbooks.size() == 1,
                  QStringLiteral("%1 new workbooks in the export folder").arg(workbooks.size()));
    check.expectBoxes(
        {{QMessageBox::Information, QStringLiteral("通知"), QStringLiteral("操作完成!")}});
    if (!check.passed())
        return false;
    const QByteArray extra = QStringLiteral("; %1 MB workbook %2")
                                 .arg(bytes / 1e6, 0, 'f', 1)
                                 .arg(workbooks.value(0))
                                 .toUtf8();
    report("full export of 备份-导出-清除", span, extra.constData());
    value("stall_bec_export_ms", span.stallMs);
    value("acquisition_during_bec_pct", acquisition("while exporting all:", span));
    return true;
}

bool Station::backup()
{
    StepCheck check("backup");
    const QString backups = folder(BackupDir);
    const QStringList before = filesIn(backups, QStringLiteral("record*.zdb"));
    const long rowsBefore = storedRows(recordFile);
    Span span;
    settle();
    touch();
    begin(span);
    window->slot_backupRecord();
    end(span);
    const long rowsAfter = storedRows(recordFile);
    QStringList made;
    for (const QString &file : filesIn(backups, QStringLiteral("record*.zdb")))
        if (!before.contains(file))
            made << file;
    check.require(made.size() == 1,
                  QStringLiteral("%1 new backups in the backup folder").arg(made.size()));
    long copied = -1;
    if (made.size() == 1) {
        // The copy reads back with the pass phrase, whole, with the rows of one moment.
        const QString copy = QDir(backups).filePath(made[0]);
        int rc = 0;
        const QStringList integrity = selectRows(copy, "PRAGMA integrity_check", &rc);
        check.require(rc == 0 && integrity == QStringList{QStringLiteral("ok")},
                      QStringLiteral("the backup %1 fails the integrity check (%2): %3")
                          .arg(copy)
                          .arg(rc)
                          .arg(integrity.join(QLatin1Char(';'))));
        copied = storedRows(copy);
        check.require(copied >= rowsBefore && copied <= rowsAfter,
                      QStringLiteral("the backup holds %1 rows, %2 to %3 were stored")
                          .arg(copied)
                          .arg(rowsBefore)
                          .arg(rowsAfter));
    }
    check.expectBoxes(
        {{QMessageBox::Information, QStringLiteral("通知"), QStringLiteral("数据备份成功")}});
    if (!check.passed())
        return false;
    const QByteArray extra =
        QStringLiteral("; %1 with %2 rows").arg(made.value(0)).arg(copied).toUtf8();
    report("backup", span, extra.constData());
    value("stall_backup_ms", span.stallMs);
    acquisition("while backing up:", span);
    return true;
}

// The rows of a record file up to uid as one line, to tell two files' rows apart.
QString rowsPrint(const QString &file, long uid)
{
    return selectRows(file, QStringLiteral("SELECT count(*), total(slave), total(channel), "
                                           "total(value), total(length(time) + length(name) + "
                                           "length(factor) + length(status)), min(time), "
                                           "max(time) FROM Record WHERE uid <= %1")
                                .arg(uid)
                                .toStdString())
        .join(QLatin1Char('\n'));
}

bool Station::import()
{
    StepCheck check("import");
    const QString backups = folder(BackupDir);
    const QStringList before = filesIn(backups, QStringLiteral("record_replaced_*.zdb"));
    const QStringList top = selectRows(options.importFile, "SELECT count(*), max(uid) FROM Record");
    const long importRows = top.value(0).section('|', 0, 0).toLong();
    const long importTop = top.value(0).section('|', 1, 1).toLong();
    const QString importPrint = rowsPrint(options.importFile, importTop);
    // The rows this run stored so far, up to a few seconds ago: they go with the replaced file.
    catchUp();
    const auto stamp = [](qint64 ms) {
        return QDateTime::fromMSecsSinceEpoch(ms)
            .toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"))
            .toStdString();
    };
    const qint64 startMs = QDateTime::currentMSecsSinceEpoch();
    std::string ownRows;
    RecordDatabase::appendTimeCondition(ownRows, stamp(lineOnMs - 1000), stamp(startMs - 5000),
                                        true);
    const long ownBefore = storedRows(recordFile, ownRows);
    Span span;
    settle();
    touch();
    begin(span);
    window->slot_importRecord();
    end(span);
    RecordWriter::waitForAll();

    // The live rows up to the imported file's last are the imported ones; this run's earlier
    // rows are gone from the live file and kept in the replaced one.
    check.require(importRows > 0 && ownBefore > 0,
                  QStringLiteral("nothing to tell the files apart by: %1 rows to import, %2 of "
                                 "this run")
                      .arg(importRows)
                      .arg(ownBefore));
    const QString livePrint = rowsPrint(recordFile, importTop);
    check.require(livePrint == importPrint,
                  QStringLiteral("the live rows up to uid %1 are not the imported ones: %2 "
                                 "against %3")
                      .arg(importTop)
                      .arg(livePrint, importPrint));
    const long ownAfter = storedRows(recordFile, ownRows);
    check.require(ownAfter == 0,
                  QStringLiteral("%1 rows stored before the import are still live").arg(ownAfter));
    QStringList kept;
    for (const QString &file : filesIn(backups, QStringLiteral("record_replaced_*.zdb")))
        if (!before.contains(file))
            kept << file;
    check.require(kept.size() == 1,
                  QStringLiteral("%1 replaced files kept in the backup folder").arg(kept.size()));
    const long keptOwn =
        kept.size() == 1 ? storedRows(QDir(backups).filePath(kept[0]), ownRows) : -1;
    check.require(kept.size() != 1 || keptOwn == ownBefore,
                  QStringLiteral("the replaced file holds %1 of the %2 rows of this run")
                      .arg(keptOwn)
                      .arg(ownBefore));
    check.expectBoxes({{QMessageBox::Information, QStringLiteral("通知"),
                        QStringLiteral("数据导入成功!"), true}});
    if (!check.passed())
        return false;
    const QByteArray extra = QStringLiteral("; %1 rows imported, %2 rows live now; the %3 rows "
                                            "stored before kept in %4")
                                 .arg(importRows)
                                 .arg(storedRows(recordFile))
                                 .arg(ownBefore)
                                 .arg(kept.value(0))
                                 .toUtf8();
    report("import of a backup", span, extra.constData());
    value("stall_import_ms", span.stallMs);
    // The rows stored before the swap went with the file it replaced.
    acquisition("while importing:", span, false);
    return true;
}

// The names of the monitors in the station's Monitor.json.
QStringList configuredMonitors()
{
    QFile file(AppContext::instance().path(MonitorConfig));
    QStringList names;
    if (!file.open(QIODevice::ReadOnly))
        return {QStringLiteral("(unreadable)")};
    for (const QJsonValue &entry : QJsonDocument::fromJson(file.readAll())["monitor"].toArray())
        names << entry["username"].toString();
    return names;
}

bool Station::remove()
{
    StepCheck check("remove");
    auto *line = window->findChild<WidgetComPort *>();
    line->findChild<QCheckBox *>(QStringLiteral("checkBoxConnect"))->setChecked(false);
    line->waitForReader();
    catchUp();
    const QString name = QString::fromStdString(instrumentName(0));
    std::string condition;
    RecordDatabase::appendNameCondition(condition, name.toStdString(), true);
    const long history = storedRows(recordFile, condition);
    const long all = storedRows(recordFile);
    const QStringList configured = configuredMonitors();
    auto *list = window->findChild<WidgetMonitorList *>();
    const auto listed = [list, &name] {
        int count = 0;
        for (const MonitorBase *monitor : list->collection().getMonitors())
            count += QString::fromStdString(monitor->getUsername()) == name;
        return count;
    };
    const int monitorsBefore = int(list->collection().getMonitors().size());
    auto *tree = window->findChild<QTreeView *>("treeViewMonitor");
    // The monitors stand under their line's group.
    QStandardItem *root = qobject_cast<QStandardItemModel *>(tree->model())->item(0)->child(0);
    for (int row = 0; row < root->rowCount(); ++row)
        if (root->child(row)->text() == name)
            tree->setCurrentIndex(root->child(row)->index());
    check.require(history > 0 && listed() == 1 && configured.count(name) == 1,
                  QStringLiteral("%1 is not there to remove: %2 rows, listed %3 times, "
                                 "configured %4 times")
                      .arg(name)
                      .arg(history)
                      .arg(listed())
                      .arg(configured.count(name)));
    Span span;
    settle();
    touch();
    begin(span);
    window->on_removeMonitor();
    end(span);
    const long left = storedRows(recordFile);
    const long historyLeft = storedRows(recordFile, condition);
    const QStringList configuredAfter = configuredMonitors();
    check.require(listed() == 0 &&
                      int(list->collection().getMonitors().size()) == monitorsBefore - 1,
                  QStringLiteral("%1 is still listed").arg(name));
    bool inTree = false;
    for (int row = 0; row < root->rowCount(); ++row)
        inTree = inTree || root->child(row)->text() == name;
    check.require(!inTree, QStringLiteral("%1 is still in the monitor tree").arg(name));
    check.require(!configuredAfter.contains(name) &&
                      configuredAfter.size() == configured.size() - 1,
                  QStringLiteral("Monitor.json still holds %1 (%2 monitors)")
                      .arg(name)
                      .arg(configuredAfter.size()));
    check.require(historyLeft == 0,
                  QStringLiteral("%1 rows of %2 are left").arg(historyLeft).arg(name));
    check.require(left == all - history,
                  QStringLiteral("%1 rows left of %2, %3 of them its history")
                      .arg(left)
                      .arg(all)
                      .arg(history));
    const QString quoted = QLatin1Char('"') + name + QLatin1Char('"');
    check.expectBoxes({{QMessageBox::Warning, QStringLiteral("警告"),
                        QStringLiteral("确认删除") + quoted + QLatin1Char('?')},
                       {QMessageBox::Warning, QStringLiteral("警告"),
                        QStringLiteral("是否同时删除") + quoted + QStringLiteral("的历史数据？")}});
    if (!check.passed())
        return false;
    const QByteArray extra = QStringLiteral("; %1 of %2 rows were its history, %3 left")
                                 .arg(history)
                                 .arg(all)
                                 .arg(left)
                                 .toUtf8();
    report("removing a monitor and its history", span, extra.constData());
    value("stall_remove_history_ms", span.stallMs);
    return true;
}

int Station::run()
{
    const QString link = QDir(options.station).filePath(QStringLiteral("line"));
    QStringList arguments{"--link", link};
    std::vector<ChainMonitor> monitors;
    for (int id = 1; id <= options.instruments; ++id) {
        arguments << QStringLiteral("%1:%2").arg(id).arg(chainModel(id));
        monitors.push_back({id, chainModel(id), QString::fromStdString(instrumentName(id - 1))});
    }
    QProcess simulator;
    if (!startSimulator(simulator, arguments) ||
        !writeStationConfig(options.station, link, 1, monitors))
        return 1;
    AppContext::instance().init();
    recordFile = AppContext::instance().path(RecordDb);
    answerEverything();
    const QString importFile = options.importFile;
    FileDialogs::setChooser([importFile](const FileDialogs::Request &) { return importFile; });

    window = new MainWindow;
    window->show();
    counter = new AcquisitionCounter(window, true);
    // Maintenance is an administrator's.
    bool passed = signIn();
    if (passed) {
        StepCheck start("line on");
        lineOnMs = QDateTime::currentMSecsSinceEpoch();
        window->findChild<WidgetComPort *>()
            ->findChild<QCheckBox *>(QStringLiteral("checkBoxConnect"))
            ->setChecked(true);
        // Every monitor synchronised and read in the last second.
        const int expected = counter->monitors();
        start.require(waitFor(
                          [&] {
                              const qint64 now = QDateTime::currentMSecsSinceEpoch();
                              return now > lineOnMs + 3000 &&
                                     AcquisitionCounter::countBetween(counter->readingTimes,
                                                                      now - 1000, now) >= expected;
                          },
                          120000),
                      QStringLiteral("the chain was not read in full within two minutes"));
        start.expectBoxes();
        passed = start.passed();
        if (passed) {
            pause(2000);
            say("  %d monitors read every second, %ld factor rows a pass\n", expected,
                counter->rowsPerPass());
            passed = idle();
        }
    }
    const bool searching = options.parts.contains("station-search");
    const bool exporting = options.parts.contains("station-export");
    if (passed && (searching || exporting))
        passed = search(searching, exporting);
    if (passed && options.parts.contains("bec"))
        passed = bec();
    if (passed && options.parts.contains("backup"))
        passed = backup();
    if (passed && options.parts.contains("import"))
        passed = import();
    if (passed && options.parts.contains("remove"))
        passed = remove();

    MessageBoxes::setResponder([](const MessageBoxes::Box &) { return QMessageBox::Yes; });
    window->on_pushButtonClose_clicked();
    delete counter;
    delete window;
    simulator.terminate();
    simulator.waitForFinished();
    return passed ? 0 : 1;
}

// ---- the parent -------------------------------------------------------------------------------

using Values = std::map<std::string, std::vector<double>>;

// Runs this program as a child on part; forwards its output and collects its values and the
// steps that failed. False when the child failed.
bool runChild(const Options &options, const QString &part, const QString &station,
              const QString &tempFolder, Values &values, QStringList &failures)
{
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_RUNTIME_DIR", tempFolder);
    child.setProcessEnvironment(environment);
    QStringList arguments{"--child",       part,
                          "--station",     station,
                          "--instruments", QString::number(options.instruments),
                          "--seconds",     QString::number(options.seconds),
                          "--only",        options.parts.join(',')};
    if (!options.importFile.isEmpty())
        arguments << "--import" << options.importFile;
    child.start(QCoreApplication::applicationFilePath(), arguments);
    const auto take = [&] {
        while (child.canReadLine()) {
            const QByteArray line = child.readLine();
            const QList<QByteArray> fields = line.trimmed().split(' ');
            if (fields.size() == 3 && fields[0] == "value") {
                values[fields[1].toStdString()].push_back(fields[2].toDouble());
                continue;
            }
            if (line.startsWith("failed "))
                failures << part + QLatin1Char('/') + QString::fromUtf8(line.mid(7).trimmed());
            std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
        }
        std::fflush(stdout);
    };
    while (child.waitForReadyRead(-1))
        take();
    child.waitForFinished(-1);
    take();
    const QByteArray rest = child.readAll();
    std::fwrite(rest.constData(), 1, size_t(rest.size()), stdout);
    if (child.exitStatus() != QProcess::NormalExit || child.exitCode() != 0) {
        std::printf("  (the %s part ended with code %d)\n", qPrintable(part), child.exitCode());
        if (failures.isEmpty())
            failures << QStringLiteral("%1: ended with code %2").arg(part).arg(child.exitCode());
        return false;
    }
    return true;
}

// A station folder holding a record file of rows rows.
QString makeStation(const QString &folder, const char *name, long rows, int instruments,
                    int channels, bool indexes)
{
    const QString station = folder + QLatin1Char('/') + QLatin1String(name);
    for (const char *sub : {"db", "export", "backup", "config", "user"})
        QDir().mkpath(station + QLatin1Char('/') + QLatin1String(sub));
    const QString file = station + QStringLiteral("/db/record.zdb");
    QElapsedTimer timer;
    timer.start();
    const long written = generateRecordFile(file, rows, instruments, channels);
    const double generated = msSince(timer) / 1000;
    double indexed = 0;
    if (indexes) {
        // Built by the station's own background build, waited for here.
        timer.start();
        RecordDatabase database(file.toStdString());
        database.open();
        while (database.indexState() == RecordDatabase::IndexesBuilding)
            QThread::msleep(20);
        indexed = msSince(timer) / 1000;
        if (database.indexState() != RecordDatabase::IndexesReady)
            say("  the indexes of %s could not be built\n", qPrintable(file));
        database.close();
    }
    say("%s: %ld rows of %d instrument(s) x %d channel(s), %.1f MB, generated in %.1f s%s\n", name,
        written, instruments, channels, QFileInfo(file).size() / 1e6, generated,
        indexes ? qPrintable(QStringLiteral(", indexed in %1 s").arg(indexed, 0, 'f', 1))
                : ", no indexes");
    return station;
}

struct Figure
{
    const char *name;
    const char *unit;
    bool atMost;
    double goal;
};

const Figure figures[] = {
    {"search_first_rows_ms", "ms", true, 300},
    {"search_time_ratio", "x", true, 1.3},
    {"search_peak_ratio", "x", true, 1.5},
    {"stall_search_ms", "ms", true, 50},
    {"stall_export_ms", "ms", true, 50},
    {"stall_bec_export_ms", "ms", true, 50},
    {"stall_backup_ms", "ms", true, 50},
    {"stall_import_ms", "ms", true, 50},
    {"stall_remove_history_ms", "ms", true, 50},
    {"stall_startup_legacy_ms", "ms", true, 50},
    {"acquisition_during_search_pct", "%", false, 95},
    {"acquisition_during_bec_pct", "%", false, 95},
    {"chart_open_ms", "ms", true, 1000},
    {"chart_step_ms", "ms", true, 50},
};

int parentMain(Options options)
{
    QTemporaryDir temporary(options.folder + QStringLiteral("/history-XXXXXX"));
    if (!temporary.isValid()) {
        std::fprintf(stderr, "history: cannot make a folder in %s\n", qPrintable(options.folder));
        return 1;
    }
    const QString folder = temporary.path();
    const auto wanted = [&](const QString &part) { return options.parts.contains(part); };
    bool station = false;
    for (const QString &operation : stationOperations)
        station = station || wanted(operation);
    Values values;
    QStringList failures;
    QElapsedTimer total;
    total.start();
    say("history: parts %s; files in %s\n", qPrintable(options.parts.join(',')),
        qPrintable(folder));
    const auto run = [&](const char *part, const QString &station) {
        return runChild(options, QLatin1String(part), station, folder, values, failures);
    };
    // A step that did not happen ends the run: the figures would time something else.
    const auto stop = [&] {
        say("\n== the run FAILED after %.1f min, without figures:\n", total.elapsed() / 60000.0);
        for (const QString &failure : failures)
            say("  %s\n", qPrintable(failure));
        return 1;
    };

    QString plant;
    if (wanted("search") || station)
        plant = makeStation(folder, "plant", options.rows, historyInstruments, 2, true);
    if (wanted("import")) {
        // The backup to import: the generated file as it is now, indexes and all.
        options.importFile = plant + QStringLiteral("/backup/generated.zdb");
        if (!QFile::copy(plant + QStringLiteral("/db/record.zdb"), options.importFile)) {
            failures << QStringLiteral("import: the backup to import could not be made");
            return stop();
        }
    }

    if (wanted("search")) {
        say("\n== search of every row (%d rounds, each query and search in a process of its "
            "own)\n",
            options.rounds);
        for (int round = 0; round < options.rounds; ++round)
            if (!run("search", plant) || !run("query", plant))
                return stop();
        const double search = median(values["search_ms"]), query = median(values["query_ms"]);
        const double searchPeak = median(values["search_growth_kb"]);
        const double queryPeak = median(values["query_growth_kb"]);
        say("  medians: search %.0f ms against the query's %.0f ms: %.2f x; first rows painted "
            "after %.0f ms against the raw first page's %.1f ms\n",
            search, query, search / query, median(values["search_first_ms"]),
            median(values["first_page_ms"]));
        say("  peak above the resting process: search %.0f MB against the query's %.0f MB: "
            "%.2f x (whole processes: %.0f MB against %.0f MB)\n",
            searchPeak / 1024, queryPeak / 1024, searchPeak / queryPeak,
            median(values["search_peak_kb"]) / 1024, median(values["query_peak_kb"]) / 1024);
        values["search_first_rows_ms"] = {median(values["search_first_ms"])};
        values["search_time_ratio"] = {search / query};
        values["search_peak_ratio"] = {searchPeak / queryPeak};
    }

    if (station) {
        say("\n== the station acquiring from %d simulated analysers every second, recording on\n",
            options.instruments);
        if (!run("station", plant))
            return stop();
    }
    if (!plant.isEmpty())
        QDir(plant).removeRecursively();

    if (wanted("chart")) {
        say("\n== history chart\n");
        const QString chart = makeStation(folder, "chart", options.rows, 1, 1, true);
        if (!run("chart", chart))
            return stop();
        if (!values["chart_step_worst_ms"].empty())
            values["chart_step_ms"] = values["chart_step_worst_ms"];
        QDir(chart).removeRecursively();
    }

    if (wanted("legacy")) {
        say("\n== start-up on a record file without indexes\n");
        const QString legacy =
            makeStation(folder, "legacy", options.legacyRows, historyInstruments, 2, false);
        std::vector<ChainMonitor> monitors;
        for (int id = 1; id <= options.instruments; ++id)
            monitors.push_back(
                {id, chainModel(id), QString::fromStdString(instrumentName(id - 1))});
        writeStationConfig(legacy, legacy + QStringLiteral("/line"), 1, monitors);
        if (!run("startup", legacy) || !run("startup", legacy))
            return stop();
        if (!values["legacy_stall_ms"].empty())
            values["stall_startup_legacy_ms"] = values["legacy_stall_ms"];
        QDir(legacy).removeRecursively();
    }

    say("\n== goals (the run took %.1f min)\n", total.elapsed() / 60000.0);
    for (const Figure &figure : figures) {
        const auto found = values.find(figure.name);
        if (found == values.end() || found->second.empty())
            continue;
        const double number = found->second.back();
        const bool met = figure.atMost ? number <= figure.goal : number >= figure.goal;
        say("  %-32s %10.2f %-2s goal %s %g: %s\n", figure.name, number, figure.unit,
            figure.atMost ? "<=" : ">=", figure.goal, met ? "met" : "NOT met");
    }
    for (const Figure &figure : figures) {
        const auto found = values.find(figure.name);
        if (found != values.end() && !found->second.empty())
            say("figure %s %.2f %s\n", figure.name, found->second.back(), figure.unit);
    }
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    Options options;
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    if (!parse(arguments, options)) {
        std::fprintf(stderr,
                     "usage: history [--rows N] [--legacy-rows N] [--instruments N] [--seconds S] "
                     "[--rounds R] [--only PART[,PART...]] [--folder DIR]\n"
                     "PART: %s, station\n",
                     qPrintable(allParts.join(", ")));
        return 2;
    }
    if (options.child.isEmpty()) {
        QCoreApplication app(argc, argv);
        return parentMain(options);
    }

    TimedApplication app(argc, argv);
    AppContext::instance().setApplicationDir(options.station);
    if (options.child == "startup")
        return startupChild(5);
    if (options.child == "station")
        return Station(options).run();
    AppContext::instance().init();
    int rc = 2;
    if (options.child == "query")
        rc = queryChild();
    else if (options.child == "search")
        rc = searchChild();
    else if (options.child == "chart")
        rc = chartChild();
    AppContext::instance().shutdown();
    return rc;
}
