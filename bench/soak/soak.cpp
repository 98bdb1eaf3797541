// The real station (main window, panels, reader, record writers, database) against
// hydrovane-sim with many analysers at a 1-second interval, recording on. Prints every minute
// and at the end: read passes, readings shown, rows handed to the record writers, rows
// stored, resident memory. Optionally faults during the run:
//
//   line      the line-health scenario: the first five analysers silent from --fault-at
//             (60 s) for --fault-for (120 s); once all five are read again (at the earliest
//             20 s after, at the latest 70 s after), the simulator is killed (its link
//             removed, as a vanished device's node) and started again on the same path
//             --down (10 s) later; the station reopens the line by itself; the run ends 60 s
//             after the simulator's return
//   kill      only the kill: at --fault-at (120 s), back --fault-for (60 s) later
//   silent    the first five analysers stop answering from --fault-at for --fault-for
//   garbage   the first five analysers answer with noise from --fault-at for --fault-for
//   flap      analyser 1 answers every other request from --fault-at (20 s) for --fault-for
//             (300 s)
//   crc       analysers 1-10 spoil the CRC of an answer with a probability of 1 % (drawn by
//             the simulator from a fixed seed) from --fault-at (20 s) for --fault-for (300 s)
//   readonly  the db folder cannot be written from --fault-at for --fault-for
//   diskfull  the disk holding the db folder is full (a tmpfs of its own, filled up)
//
// soak [--minutes M] [--instruments N] [--fault F] [--fault-at S] [--fault-for S] [--down S]
//      [--quick] [--demotion on|off]
//
// A line fault (line, kill, silent, garbage, flap, crc) runs twice in the process, each time
// on a fresh station folder, simulator, registry and main window: first with demotion off
// (nobody is demoted, the station as it was before demotion: the baseline), then with it on.
// Its run ends 60 s after the simulator's return (line, kill), 70 s after the fault (silent,
// garbage) or 10 s after it (flap, crc) unless --minutes is given; the others run once, 30
// minutes by default. --demotion on|off runs a line fault once, with that setting only.
// --quick shortens the defaults for a check: faults from 20 s for 30 s (flap, crc: 60 s), the
// kill at the earliest 5 s after them and for 5 s, 30 s after the return, 2 minutes without a
// line fault.
//
// Every run checks the record file against what the station handed over: every row handed to
// the record writers is stored; rows handed over are the factor rows shown plus the 'B' rows
// of intervals the line had no time for, which are not shown; no analyser's channel is stored
// twice under one time. Where analysers are at fault, every whole second inside the fault
// window (one interval each) has exactly one row per factor of every analyser.
//
// The figures, each with the baseline run's value beside it:
//   healthy_readings_during_fault_pct  (line, silent, garbage) of the intervals inside the
//       fault window, the share of the healthy analysers' expected rows (their factor rows
//       times the intervals) that were stored with status 'N'; a row counts once per
//       analyser, factor and time stamp
//   recovery_after_fault_s  (line, silent, garbage) from the fault's end to each faulty
//       analyser's first 'N' reading shown, the longest of them
//   reconnect_s  (line, kill) from the simulator's return to the first 'N' reading shown
//       after it
//   flap_normal_pct  (flap) of the intervals inside the fault window, the share whose row of
//       the flapping analyser's main factor was stored 'N'
//   crc1pct_lost_pct  (crc) of the affected analysers' expected rows inside the fault window,
//       the share not stored 'N'; printed with the CRC errors the station counted meanwhile
//   soak_day_rss_growth_pct  (no fault, runs longer than 5 minutes) resident memory growth
//       from minute 5 to the end; printed with the open file descriptors and threads at both
//       and the rows stored and handed over
// An event that does not happen (a faulty analyser not read again before the kill or the
// end, no reading after the return) gives the time waited for it, and the exit code is 1;
// so it is when no row was stored, the checks of the record file fail, or a fault did not
// take. A figure that misses its goal is reported, not a failure of the run.

#include "benchsupport.h"

#include "app/appcontext.h"
#include "app/mainwindow.h"
#include "instruments/monitorbase.h"
#include "instruments/monitorcollection.h"
#include "line/comportctrl.h"
#include "line/comportreader.h"
#include "line/linehealth.h"
#include "line/linestatistics.h"
#include "panels/messageboxes.h"
#include "panels/widgetcomport.h"
#include "panels/widgetmonitordisplay.h"
#include "panels/widgetmonitorlist.h"
#include "storage/passphrase.h"
#include "storage/recordwriter.h"
#include "storage/zircon.h"
#include "trend/widgetaxesdisplay.h"

#include <QApplication>
#include <QCheckBox>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTimer>

#include <qcustomplot.h>

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <unistd.h>

namespace {

// Analysers at fault: silent or answering noise, with a spoilt CRC now and then.
const int silencedInstruments = 5;
const int crcInstruments = 10;
const double crcRate = 0.01;
// Of the simulator's draws of spoilt answers, and of its waveforms' noise.
const char *const simulatorSeed = "7";
// The line scenario's kill waits for the faulty analysers to be read again, but no longer than
// this after their fault: beyond the recovery goal.
const qint64 recoveryLimitMs = 70000;
// After a flap or CRC fault: time for the window's last rows to reach the record file.
const qint64 settleMs = 10000;

struct Options
{
    int minutes = 30;
    bool minutesGiven = false;
    int instruments = 50;
    QString fault;
    int faultAt = -1;
    int faultFor = -1;
    int down = -1;
    int tail = 60;
    int killGap = 20; // line: the kill comes at the earliest this long after the fault
    bool quick = false;
    QString demotion; // empty: both for a line fault, on otherwise

    bool lineFault() const { return fault == "kill" || faultyAnalysers(); }
    // Analysers that give no reading while the fault lasts.
    bool silencing() const { return fault == "line" || fault == "silent" || fault == "garbage"; }
    // Analysers still answering, now and then wrongly.
    bool unsteady() const { return fault == "flap" || fault == "crc"; }
    bool faultyAnalysers() const { return silencing() || unsteady(); }
    bool killing() const { return fault == "line" || fault == "kill"; }
    // The analysers at fault are 1 to this.
    int faultyCount() const
    {
        return fault == "flap" ? 1 : fault == "crc" ? crcInstruments : silencedInstruments;
    }
    // The simulator's keys for the faulty analysers, without the window.
    QString analyserFault() const
    {
        if (fault == "crc")
            return QStringLiteral("crcrate=%1").arg(crcRate);
        return QStringLiteral("fault=%1").arg(fault == "line" ? QStringLiteral("silent") : fault);
    }
};

bool parse(const QStringList &arguments, Options &options)
{
    for (int i = 1; i < arguments.size(); ++i) {
        const QString &name = arguments.at(i);
        if (name == "--quick") {
            options.quick = true;
            continue;
        }
        if (i + 1 >= arguments.size())
            return false;
        const QString value = arguments.at(++i);
        bool number = true;
        const int count = value.toInt(&number);
        if (name == "--minutes" && number) {
            options.minutes = count;
            options.minutesGiven = true;
        } else if (name == "--instruments" && number) {
            options.instruments = count;
        } else if (name == "--fault") {
            options.fault = value;
        } else if (name == "--fault-at" && number && count >= 0) {
            options.faultAt = count;
        } else if (name == "--fault-for" && number && count > 0) {
            options.faultFor = count;
        } else if (name == "--down" && number && count > 0) {
            options.down = count;
        } else if (name == "--demotion" && (value == "on" || value == "off")) {
            options.demotion = value;
        } else {
            return false;
        }
    }
    const bool line = options.fault == "line";
    if (options.faultAt < 0)
        options.faultAt = options.quick || options.unsteady() ? 20 : line ? 60 : 120;
    if (options.faultFor < 0)
        options.faultFor = options.unsteady() ? (options.quick ? 60 : 300)
                           : options.quick    ? 30
                           : line             ? 120
                                              : 60;
    if (options.down < 0)
        options.down = options.quick ? 5 : 10;
    if (options.quick) {
        options.tail = 30;
        options.killGap = 5;
        if (!options.minutesGiven)
            options.minutes = 2;
    }
    const QStringList faults{"",     "line", "kill",     "silent",  "garbage",
                             "flap", "crc",  "readonly", "diskfull"};
    // Faulty analysers need healthy ones beside them.
    return options.minutes > 0 &&
           options.instruments > (options.faultyAnalysers() ? options.faultyCount() : 0) &&
           faults.contains(options.fault);
}

// The times of every normal reading of each monitor, in ms on the run's clock, as its detail
// page shows them.
class GoodReadings : public QObject
{
public:
    // Monitors of slave id 1 to `faultyCount` are the faulty ones.
    GoodReadings(const MonitorCollection &monitors, const QElapsedTimer &clock, int faultyCount)
        : faultyCount(faultyCount)
    {
        for (MonitorBase *monitor : monitors.getMonitors()) {
            auto *page = static_cast<WidgetMonitorDisplay *>(monitor->views.at(0));
            const int index = int(times.size());
            times.emplace_back();
            ids.push_back(monitor->getId());
            connect(page, &WidgetMonitorDisplay::signal_updateResult, this,
                    [this, index, &clock](const QString &, const QString &, const QString &status) {
                        if (status == QLatin1String("N"))
                            times[size_t(index)].push_back(clock.elapsed());
                    });
        }
    }

    bool faulty(int index) const { return ids[size_t(index)] <= faultyCount; }
    int count() const { return int(ids.size()); }
    // Normal readings of monitor `index` from..to (ms, to excluded).
    long between(int index, qint64 from, qint64 to) const
    {
        return AcquisitionCounter::countBetween(times[size_t(index)], from, to);
    }
    // Ms from `from` to the monitor's first normal reading in from..to (to excluded, -1 for
    // no end); -1 when there is none.
    qint64 firstAfter(int index, qint64 from, qint64 to = -1) const
    {
        const std::vector<qint64> &mine = times[size_t(index)];
        const auto found = std::lower_bound(mine.begin(), mine.end(), from);
        return found == mine.end() || (to >= 0 && *found >= to) ? -1 : *found - from;
    }
    // Every faulty monitor has been read normally since `from`.
    bool faultyAllAfter(qint64 from) const
    {
        for (int i = 0; i < count(); ++i)
            if (faulty(i) && firstAfter(i, from) < 0)
                return false;
        return true;
    }

private:
    std::vector<std::vector<qint64>> times;
    std::vector<int> ids;
    int faultyCount;
};

// What the reader thread does, timed where it happens (not when the interface thread gets to
// it): passes ended, syncs ended, the line lost and reopened.
class ReaderEvents : public QObject
{
public:
    ReaderEvents(ComPortReader *reader, const QElapsedTimer &clock) : clock(clock)
    {
        connect(
            reader, &ComPortReader::signal_readDone, this, [this] { note(passes); },
            Qt::DirectConnection);
        connect(
            reader, &ComPortReader::signal_syncDone, this, [this] { note(syncs); },
            Qt::DirectConnection);
        connect(
            reader, &ComPortReader::signal_lineLost, this, [this] { note(losses); },
            Qt::DirectConnection);
        connect(
            reader, &ComPortReader::signal_lineRestored, this, [this] { note(reopens); },
            Qt::DirectConnection);
    }

    // Ends from..to (to excluded).
    long between(const std::vector<qint64> &times, qint64 from, qint64 to) const
    {
        std::lock_guard<std::mutex> guard(lock);
        return AcquisitionCounter::countBetween(times, from, to);
    }
    // Every one from `from` on, in s relative to it: "+0.0 s, +2.1 s".
    QString listAfter(const std::vector<qint64> &times, qint64 from) const
    {
        std::lock_guard<std::mutex> guard(lock);
        QStringList texts;
        for (qint64 time : times)
            if (time >= from)
                texts << QStringLiteral("%1 s").arg((time - from) / 1000.0, 0, 'f', 1).prepend('+');
        return texts.isEmpty() ? QStringLiteral("none") : texts.join(QStringLiteral(", "));
    }
    // The first end at or after from; -1 when none.
    qint64 firstAfter(const std::vector<qint64> &times, qint64 from) const
    {
        std::lock_guard<std::mutex> guard(lock);
        const auto found = std::lower_bound(times.begin(), times.end(), from);
        return found == times.end() ? -1 : *found;
    }
    // The longest time from..to without a pass ending, the ends before and after counted.
    qint64 longestPassGap(qint64 from, qint64 to) const
    {
        std::lock_guard<std::mutex> guard(lock);
        qint64 longest = 0, last = from;
        for (qint64 end : passes) {
            if (end < from)
                continue;
            longest = std::max(longest, std::min(end, to) - last);
            last = end;
            if (end >= to)
                break;
        }
        return std::max(longest, to - last);
    }

    std::vector<qint64> passes;
    std::vector<qint64> syncs;
    // When the reader found the line lost, and when it reopened it.
    std::vector<qint64> losses;
    std::vector<qint64> reopens;

private:
    void note(std::vector<qint64> &times)
    {
        const qint64 now = clock.elapsed();
        std::lock_guard<std::mutex> guard(lock);
        times.push_back(now);
    }

    const QElapsedTimer &clock;
    mutable std::mutex lock;
};

// Points held by the trend graphs of every detail page: the history grows by design, one
// point a reading per series, up to the cap; a steady set point is held as two points.
long trendPoints(const MonitorCollection &monitors)
{
    long points = 0;
    for (MonitorBase *monitor : monitors.getMonitors())
        for (const WidgetAxesDisplay *graph :
             static_cast<QWidget *>(static_cast<WidgetMonitorDisplay *>(monitor->views.at(0)))
                 ->findChildren<WidgetAxesDisplay *>())
            for (const QCPGraph *series :
                 {graph->valueGraph(), graph->highGraph(), graph->lowGraph()})
                points += series->dataCount();
    return points;
}

int factorRows(MonitorBase *monitor)
{
    return static_cast<WidgetMonitorDisplay *>(monitor->views.at(0))->factorCount();
}

int run(const QString &program, const QStringList &arguments)
{
    return QProcess::execute(program, arguments);
}

// Makes the db folder unwritable, and writable again. As root only an immutable folder
// keeps the database from writing its journal.
void setWritable(const QString &folder, bool writable)
{
    if (geteuid() == 0)
        run(QStringLiteral("chattr"), {writable ? "-i" : "+i", folder});
    else
        QFile::setPermissions(folder, writable
                                          ? QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                          : QFile::ReadOwner | QFile::ExeOwner);
}

// Fills the file system of `folder` with one file until no byte is left.
void fill(const QString &file)
{
    QFile filler(file);
    if (!filler.open(QIODevice::WriteOnly))
        return;
    const QByteArray block(64 * 1024, '\0');
    while (filler.write(block) == block.size() && filler.flush()) {
    }
    const QByteArray byte(1, '\0');
    while (filler.write(byte) == 1 && filler.flush()) {
    }
}

// A record file's time stamp of a second since the epoch, in local time as the panels write it.
std::string stamp(qint64 second)
{
    return QDateTime::fromSecsSinceEpoch(second)
        .toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"))
        .toStdString();
}

// A figure of one run: its value, and whether what it waits for happened (otherwise the value
// is the time waited); what to print beside it.
struct Figure
{
    bool measured = false;
    double value = 0;
    bool happened = true;
    QString note;
};

struct RunResult
{
    bool ok = true;
    Figure healthyPct;
    Figure recoveryS;
    Figure reconnectS;
    Figure flapNormalPct;
    Figure crcLostPct;
    Figure rssGrowthPct;
};

// Open file descriptors of this process.
long openFds()
{
    return long(QDir(QStringLiteral("/proc/self/fd"))
                    .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)
                    .size());
}

// The rows of a query on the record file, each as its columns' texts; empty when the file
// cannot be read.
std::vector<QStringList> queryRows(const QString &path, const std::string &sql)
{
    std::vector<QStringList> rows;
    zircon_db *handle = nullptr;
    if (zircon_open(&handle, path.toUtf8().constData()) == 0) {
        zircon_set_password(handle, kPassPhrase, kPassPhraseLength);
        zircon_run_sql(handle, sql.c_str(), &rows, [](void *user, int columns, char **texts) {
            QStringList row;
            for (int i = 0; i < columns; ++i)
                row << QString::fromUtf8(texts[i] ? texts[i] : "NULL");
            static_cast<std::vector<QStringList> *>(user)->push_back(row);
            return 0;
        });
    }
    zircon_close(handle);
    return rows;
}

// Prints each row of a query, indented, its columns apart.
void printRows(const QString &path, const std::string &sql)
{
    for (const QStringList &row : queryRows(path, sql))
        std::printf("    %s\n", qPrintable(row.join(QStringLiteral("  "))));
}

// The CRC errors and the exchanges the station counted of monitors 1..count.
struct FrameCount
{
    long long errors = 0;
    long long exchanges = 0;
};
FrameCount frameCount(const MonitorCollection &monitors, int count)
{
    FrameCount sum;
    for (MonitorBase *monitor : monitors.getMonitors()) {
        if (monitor->getId() > count)
            continue;
        const InstrumentHealth health = monitor->healthSnapshot();
        sum.errors += health.frameErrors;
        sum.exchanges += health.exchanges;
    }
    return sum;
}

void fail(RunResult &result, const char *what)
{
    std::printf("CHECK FAILED: %s\n", what);
    result.ok = false;
}

RunResult runOnce(const Options &options, bool demotion)
{
    RunResult result;
    LineHealth::setDemotionEnabled(demotion);
    std::printf("demotion %s\n", demotion ? "on" : "off");
    QTemporaryDir station;
    const QString db = station.filePath(QStringLiteral("db"));
    QDir().mkpath(db);
    const bool diskfull = options.fault == "diskfull";
    if (diskfull &&
        run(QStringLiteral("mount"), {"-t", "tmpfs", "-o", "size=64m", "tmpfs", db}) != 0) {
        std::fprintf(stderr, "soak: cannot mount a tmpfs on %s (root needed)\n", qPrintable(db));
        result.ok = false;
        return result;
    }

    const QString link = station.filePath(QStringLiteral("line"));
    // After a kill the simulator comes back without the analysers' fault: its fault window
    // counts from its own start.
    QStringList simulatorArguments{"--link", link, "--seed", simulatorSeed},
        restartArguments{"--link", link, "--seed", simulatorSeed};
    std::vector<ChainMonitor> monitors;
    for (int id = 1; id <= options.instruments; ++id) {
        const QString instrument = QStringLiteral("%1:%2").arg(id).arg(chainModel(id));
        restartArguments << instrument;
        if (options.faultyAnalysers() && id <= options.faultyCount())
            simulatorArguments << instrument + QStringLiteral(":%1,faultfrom=%2,faultfor=%3")
                                                   .arg(options.analyserFault())
                                                   .arg(options.faultAt)
                                                   .arg(options.faultFor);
        else
            simulatorArguments << instrument;
        monitors.push_back({id, chainModel(id), QStringLiteral("仪表%1").arg(id)});
    }
    // Before the folder goes: nothing is left mounted on it.
    const auto abandon = [&] {
        if (diskfull)
            run(QStringLiteral("umount"), {db});
        result.ok = false;
        return result;
    };
    QProcess simulator;
    if (!startSimulator(simulator, simulatorArguments) ||
        !writeStationConfig(station.path(), link, 1, monitors))
        return abandon();
    // The simulator's fault window counts from its start, which is just before its answer.
    QElapsedTimer clock;
    clock.start();
    const qint64 wallAtZero = QDateTime::currentMSecsSinceEpoch();

    AppContext::instance().setApplicationDir(station.path());
    if (AppContext::instance().init() != AppContext::InitDone) {
        std::fprintf(stderr, "soak: the station folder could not be set up\n");
        return abandon();
    }
    const QString recordFile = AppContext::instance().path(RecordDb);
    MessageBoxes::setResponder([](const MessageBoxes::Box &box) {
        std::printf("message %s: %s\n", qPrintable(box.title), qPrintable(box.text));
        return QMessageBox::Yes;
    });
    auto *window = new MainWindow;
    window->show();
    auto *line = window->findChild<WidgetComPort *>();
    auto *list = window->findChild<WidgetMonitorList *>();
    QCheckBox *lineSwitch = line->findChild<QCheckBox *>(QStringLiteral("checkBoxConnect"));
    const LineStatistics &lineFigures = line->getComPortCtrl()->statistics();

    auto *counter = new AcquisitionCounter(window);
    auto *good = new GoodReadings(list->collection(), clock, options.faultyCount());
    auto *reader = new ReaderEvents(line->getReader(), clock);
    lineSwitch->setChecked(true);

    const QString faultName = options.faultyAnalysers() ? QStringLiteral("%1 (analysers 1-%2)")
                                                              .arg(options.analyserFault())
                                                              .arg(options.faultyCount())
                                                        : options.fault;
    const qint64 faultFromMs = options.faultAt * 1000LL;
    const qint64 faultToMs = faultFromMs + options.faultFor * 1000LL;
    long residentAtFive = -1, pointsAtFive = 0, fdsAtFive = -1, threadsAtFive = -1;
    bool faultOn = false, faultDone = options.fault.isEmpty() || options.fault == "kill";
    long storedAtFaultStart = 0, handedAtFaultStart = 0, storedAtFaultEnd = 0, handedAtFaultEnd = 0;
    long long skippedAtFaultStart = 0, skippedAtFaultEnd = 0;
    long healthyRowsPerPass = 0, faultyRowsPerPass = 0;
    bool healthyAllRead = true;
    // The channel of analyser 1's main factor.
    int firstMainChannel = -1;
    FrameCount framesAtFaultStart, framesAtFaultEnd;
    qint64 killMs = -1, backMs = -1, firstGoodMs = -1;
    long long skippedAtBack = 0, skippedAtFirstGood = 0;
    bool restarted = false;
    const auto say = [&](const char *what) {
        std::printf("%7.1f s: %s\n", clock.elapsed() / 1000.0, what);
        std::fflush(stdout);
    };
    const auto report = [&](const char *what) {
        std::printf("%s %5.1f min: passes %ld, readings shown %ld, factor rows shown %ld, rows "
                    "handed over %ld, rows stored %ld, resident %ld KiB, trend points %ld\n",
                    what, clock.elapsed() / 60000.0, counter->passes, counter->readings,
                    counter->factorsShown, counter->rowsHanded, storedRows(recordFile),
                    statusKb("VmRSS:"), trendPoints(list->collection()));
        std::fflush(stdout);
    };

    QTimer minute;
    QObject::connect(&minute, &QTimer::timeout, [&] {
        report("at");
        if (clock.elapsed() >= 5 * 60000 - 1000 && residentAtFive < 0) {
            residentAtFive = statusKb("VmRSS:");
            pointsAtFive = trendPoints(list->collection());
            fdsAtFive = openFds();
            threadsAtFive = statusKb("Threads:");
        }
    });
    minute.start(60000);

    QEventLoop loop;
    QTimer faults;
    QObject::connect(&faults, &QTimer::timeout, [&] {
        const qint64 now = clock.elapsed();
        if (!faultDone && !faultOn && now >= faultFromMs) {
            faultOn = true;
            storedAtFaultStart = storedRows(recordFile);
            handedAtFaultStart = counter->rowsHanded;
            skippedAtFaultStart = lineFigures.snapshot().skippedTicks;
            // What each gives a pass, once each has been read.
            for (MonitorBase *monitor : list->collection().getMonitors()) {
                if (monitor->getId() == 1)
                    firstMainChannel = monitor->snapshot().mainIndex;
                if (monitor->getId() <= options.faultyCount()) {
                    faultyRowsPerPass += factorRows(monitor);
                    continue;
                }
                healthyRowsPerPass += factorRows(monitor);
                healthyAllRead = healthyAllRead && factorRows(monitor) > 0;
            }
            framesAtFaultStart = frameCount(list->collection(), options.faultyCount());
            say(qPrintable(QStringLiteral("fault %1 begins").arg(faultName)));
            if (options.fault == "readonly")
                setWritable(db, false);
            else if (diskfull)
                fill(db + QStringLiteral("/filler"));
        } else if (faultOn && now >= faultToMs) {
            faultOn = false;
            faultDone = true;
            if (options.fault == "readonly")
                setWritable(db, true);
            else if (diskfull)
                QFile::remove(db + QStringLiteral("/filler"));
            storedAtFaultEnd = storedRows(recordFile);
            handedAtFaultEnd = counter->rowsHanded;
            framesAtFaultEnd = frameCount(list->collection(), options.faultyCount());
            skippedAtFaultEnd = lineFigures.snapshot().skippedTicks;
            say(qPrintable(QStringLiteral("fault %1 ends").arg(faultName)));
        }

        if (options.killing() && killMs < 0) {
            const bool due = options.fault == "kill"
                                 ? now >= faultFromMs
                                 : faultDone && ((now >= faultToMs + options.killGap * 1000LL &&
                                                  good->faultyAllAfter(faultToMs)) ||
                                                 now >= faultToMs + recoveryLimitMs);
            if (due) {
                killMs = now;
                simulator.kill();
                simulator.waitForFinished();
                // A vanished device leaves no node behind. The killed simulator's link would
                // point at a pseudo-terminal number that any other process may take next, and
                // the station would reopen the line on a stranger's terminal.
                QFile::remove(link);
                say("simulator killed, its link removed");
            }
        }
        const qint64 downMs = (options.fault == "kill" ? options.faultFor : options.down) * 1000LL;
        if (killMs >= 0 && backMs < 0 && now >= killMs + downMs) {
            skippedAtBack = lineFigures.snapshot().skippedTicks;
            restarted = startSimulator(simulator, restartArguments);
            backMs = clock.elapsed();
            say(restarted ? "simulator back" : "simulator did not start again");
        }
        if (backMs >= 0 && firstGoodMs < 0) {
            for (int i = 0; i < good->count(); ++i) {
                const qint64 wait = good->firstAfter(i, backMs);
                if (wait >= 0)
                    firstGoodMs =
                        firstGoodMs < 0 ? backMs + wait : std::min(firstGoodMs, backMs + wait);
            }
            if (firstGoodMs >= 0)
                skippedAtFirstGood = lineFigures.snapshot().skippedTicks;
        }

        qint64 endMs = options.minutes * 60000LL;
        if (!options.minutesGiven && options.lineFault())
            endMs = options.killing()     ? (backMs < 0 ? -1 : backMs + options.tail * 1000LL)
                    : options.silencing() ? faultToMs + recoveryLimitMs
                                          : faultToMs + settleMs;
        if (endMs >= 0 && now >= endMs)
            loop.quit();
    });
    faults.start(250);
    loop.exec();
    const qint64 endMs = clock.elapsed();
    faults.stop();
    minute.stop();

    // With the line still open, as at minute 5.
    const long fdsEnd = openFds(), threadsEnd = statusKb("Threads:");
    lineSwitch->setChecked(false);
    line->waitForReader();
    QCoreApplication::processEvents();
    RecordWriter::waitForAll();
    report("end");
    const long stored = storedRows(recordFile);
    const long residentEnd = statusKb("VmRSS:");
    // A missed interval's 'B' rows are handed over and stored, but not shown.
    const long handed = counter->rowsHanded, shown = counter->factorsShown;
    const long failedRows = storedRows(recordFile, " WHERE status = 'B'");
    const std::string firstOfEach = "SELECT min(uid) FROM Record GROUP BY name, channel, time";
    const long twice = storedRows(recordFile, " WHERE uid NOT IN (" + firstOfEach + ")");
    std::printf("rows stored %ld, handed over %ld (%s), factor rows shown %ld: %ld handed over "
                "without being shown, 'B' rows stored %ld; rows of a channel and time already "
                "stored %ld\n",
                stored, handed, stored == handed ? "equal" : "NOT equal", shown, handed - shown,
                failedRows, twice);
    // At a 1 s interval, seconds between a channel's first and last row that have no row of it.
    const std::vector<QStringList> gaps = queryRows(
        recordFile, "SELECT ifnull(sum(missing), 0), ifnull(max(missing), 0) FROM (SELECT "
                    "strftime('%s', max(time)) - strftime('%s', min(time)) + 1 - "
                    "count(DISTINCT time) AS missing FROM Record GROUP BY name, channel)");
    if (!gaps.empty())
        std::printf("intervals without a row between a channel's first and last row: %s in "
                    "all, %s at most of one channel\n",
                    qPrintable(gaps[0].value(0)), qPrintable(gaps[0].value(1)));
    if (stored <= 0 || counter->readings <= 0)
        fail(result, "no reading was shown or stored");
    if (stored != handed)
        fail(result, "rows handed over and stored differ");
    if (handed < shown)
        fail(result, "fewer rows were handed over than shown");
    else if (failedRows < handed - shown)
        fail(result, "rows were handed over without being shown that are no 'B' rows");
    if (twice != 0) {
        fail(result, "a channel was stored twice under one time");
        printRows(recordFile, "SELECT name, channel, time, group_concat(status) FROM Record "
                              "GROUP BY name, channel, time HAVING count(*) > 1 LIMIT 10");
    }
    if (residentAtFive > 0) {
        const long pointKiB =
            (trendPoints(list->collection()) - pointsAtFive) * long(sizeof(QCPGraphData)) / 1024;
        std::printf("resident memory from minute 5 to the end: %ld -> %ld KiB (%+.2f %%); trend "
                    "points added meanwhile hold %ld KiB, growth without them %+.2f %%\n",
                    residentAtFive, residentEnd,
                    100.0 * (residentEnd - residentAtFive) / residentAtFive, pointKiB,
                    100.0 * (residentEnd - residentAtFive - pointKiB) / residentAtFive);
        std::printf("open file descriptors from minute 5 to the end: %ld -> %ld (%s); threads "
                    "%ld -> %ld (%s)\n",
                    fdsAtFive, fdsEnd, fdsAtFive == fdsEnd ? "unchanged" : "CHANGED", threadsAtFive,
                    threadsEnd, threadsAtFive == threadsEnd ? "unchanged" : "CHANGED");
        // The whole station's growth over the run of a day's passes and more, without faults.
        if (options.fault.isEmpty())
            result.rssGrowthPct = {true, 100.0 * (residentEnd - residentAtFive) / residentAtFive,
                                   true,
                                   QStringLiteral(" (%1 -> %2 KiB; rows stored %3, handed over "
                                                  "%4; fds %5 -> %6, threads %7 -> %8)")
                                       .arg(residentAtFive)
                                       .arg(residentEnd)
                                       .arg(stored)
                                       .arg(handed)
                                       .arg(fdsAtFive)
                                       .arg(fdsEnd)
                                       .arg(threadsAtFive)
                                       .arg(threadsEnd)};
    } else if (options.fault.isEmpty() && options.minutes > 5) {
        fail(result, "no resident size was taken at minute 5");
    }
    if (!options.fault.isEmpty() && options.fault != "kill") {
        if (!faultDone)
            fail(result, "the run ended before the fault did");
        std::printf("fault %s from %d s for %d s: rows handed over meanwhile %ld, stored "
                    "meanwhile %ld; rows lost in all %ld\n",
                    qPrintable(options.fault), options.faultAt, options.faultFor,
                    handedAtFaultEnd - handedAtFaultStart, storedAtFaultEnd - storedAtFaultStart,
                    handed - stored);
    }

    if (options.faultyAnalysers() && faultDone) {
        // Whole seconds inside the window, each one interval of 1 s.
        const qint64 firstSecond = (wallAtZero + faultFromMs + 999) / 1000;
        const qint64 endSecond = (wallAtZero + faultToMs) / 1000;
        const long intervals = long(endSecond - firstSecond);
        const std::string window =
            " AND time >= '" + stamp(firstSecond) + "' AND time < '" + stamp(endSecond) + "'";
        const std::string faulty = " WHERE slave <= " + std::to_string(options.faultyCount());
        const std::string healthy = " WHERE slave > " + std::to_string(options.faultyCount());
        // Rows stored 'N' matching `where`, once per analyser, factor and time.
        const auto normalOnce = [&](const std::string &where) {
            return storedRows(recordFile, " WHERE uid IN (SELECT min(uid) FROM Record" + where +
                                              " AND status = 'N'" + window +
                                              " GROUP BY slave, factor, time)");
        };

        // One row per factor of every analyser and interval, the faulty ones' too.
        const long rowsPerPass = healthyRowsPerPass + faultyRowsPerPass;
        const long windowRows = storedRows(recordFile, " WHERE 1" + window);
        std::printf("fault window %s .. %s, %ld intervals: rows stored %ld, one per factor and "
                    "interval %ld (%ld a pass)\n",
                    stamp(firstSecond).c_str(), stamp(endSecond).c_str(), intervals, windowRows,
                    intervals * rowsPerPass, rowsPerPass);
        if (windowRows != intervals * rowsPerPass) {
            fail(result, "the fault window does not hold one row per factor and interval");
            // Analysers and channels with more or fewer rows than intervals.
            printRows(recordFile, "SELECT slave, channel, count(*), group_concat(status, '') "
                                  "FROM Record WHERE 1" +
                                      window + " GROUP BY slave, channel HAVING count(*) <> " +
                                      std::to_string(intervals) + " LIMIT 10");
        }

        const long expected = intervals * healthyRowsPerPass;
        const long normal = normalOnce(healthy);
        const long normalRows = storedRows(recordFile, healthy + " AND status = 'N'" + window);
        const long otherRows = storedRows(recordFile, healthy + " AND status <> 'N'" + window);
        double worstPct = 100;
        long faultyInside = 0;
        bool faultyBefore = true;
        for (int i = 0; i < good->count(); ++i) {
            if (!good->faulty(i))
                worstPct = std::min(worstPct, 100.0 * good->between(i, faultFromMs, faultToMs) /
                                                  options.faultFor);
            else {
                // A pass that began before the fault may show a reading well into it.
                faultyInside += good->between(i, faultFromMs + 10000, faultToMs - 1000);
                faultyBefore = faultyBefore && good->between(i, 0, faultFromMs) > 0;
            }
        }
        std::printf("  healthy analysers' rows stored 'N' %ld of %ld expected (%ld rows with "
                    "'N', %ld others); worst healthy analyser shown 'N' in %.1f %% of its "
                    "intervals; passes ended %ld, ticks skipped %lld\n",
                    normal, expected, normalRows, otherRows, worstPct,
                    reader->between(reader->passes, faultFromMs, faultToMs),
                    skippedAtFaultEnd - skippedAtFaultStart);
        if (!healthyAllRead || expected <= 0 || normal < 0)
            fail(result, "a healthy analyser had not been read when the fault began");
        if (!faultyBefore)
            fail(result, "the faulty analysers were not read before the fault");
        if (options.silencing() && faultyInside > 0)
            fail(result, "the faulty analysers were read during the fault");

        if (options.silencing()) {
            result.healthyPct = {true, expected > 0 ? 100.0 * normal / expected : 0, true, {}};

            // Up to the kill: what comes after it is the line's return, not the analyser's.
            const qint64 until = killMs >= 0 ? killMs : endMs;
            qint64 recovery = 0;
            bool all = true;
            for (int i = 0; i < good->count(); ++i) {
                if (!good->faulty(i))
                    continue;
                const qint64 wait = good->firstAfter(i, faultToMs, until);
                all = all && wait >= 0;
                recovery = std::max(recovery, wait >= 0 ? wait : until - faultToMs);
                std::printf("  faulty analyser %d read 'N' again %s %.1f s after the fault\n",
                            i + 1, wait >= 0 ? "at" : "NOT within",
                            (wait >= 0 ? wait : until - faultToMs) / 1000.0);
            }
            result.recoveryS = {true, recovery / 1000.0, all, {}};
        }

        if (options.fault == "flap") {
            // Analyser 1's main factor: one row an interval, 'N' where its answer was good.
            const std::string main =
                " WHERE slave = 1 AND channel = " + std::to_string(firstMainChannel) + window;
            const long rows = storedRows(recordFile, main);
            const long times = storedRows(recordFile, " WHERE uid IN (SELECT min(uid) FROM Record" +
                                                          main + " GROUP BY time)");
            const long flapNormal = storedRows(recordFile, main + " AND status = 'N'");
            std::printf("  flapping analyser 1, main factor: rows stored %ld under %ld times in "
                        "%ld intervals, %ld of them 'N'; readings shown 'N' %ld\n",
                        rows, times, intervals, flapNormal,
                        good->between(0, faultFromMs, faultToMs));
            if (firstMainChannel < 0 || rows != intervals || times != intervals)
                fail(result, "the flapping analyser has not one row per interval");
            result.flapNormalPct = {
                true, intervals > 0 ? 100.0 * flapNormal / intervals : 0, true, {}};
        }

        if (options.fault == "crc") {
            const long affected = intervals * faultyRowsPerPass;
            const long faultyNormal = normalOnce(faulty);
            const long long errors = framesAtFaultEnd.errors - framesAtFaultStart.errors;
            const long long exchanges = framesAtFaultEnd.exchanges - framesAtFaultStart.exchanges;
            std::printf("  analysers 1-%d at a CRC error rate of %g %%: rows stored 'N' %ld of "
                        "%ld expected; CRC errors counted by the station %lld in %lld exchanges\n",
                        options.faultyCount(), 100 * crcRate, faultyNormal, affected, errors,
                        exchanges);
            if (affected <= 0 || faultyNormal < 0)
                fail(result, "the analysers with CRC errors had not been read when the fault "
                             "began");
            if (errors <= 0)
                fail(result, "the station counted no CRC error");
            result.crcLostPct = {
                true, affected > 0 ? 100.0 * (affected - faultyNormal) / affected : 0, true,
                // The simulator's draws, not the station, decide how far this is from 1 %.
                QStringLiteral("; CRC errors counted %1 of %2 exchanges (%3 %)")
                    .arg(errors)
                    .arg(exchanges)
                    .arg(exchanges > 0 ? 100.0 * errors / exchanges : 0, 0, 'f', 2)};
        }
    }

    if (options.killing()) {
        if (killMs < 0 || !restarted) {
            fail(result, "the simulator was not killed and started again");
        } else {
            if (reader->firstAfter(reader->losses, killMs) < 0 ||
                reader->firstAfter(reader->reopens, killMs) < 0)
                fail(result, "the station did not notice the loss of the line and reopen it");
            const qint64 firstReopen = reader->firstAfter(reader->reopens, killMs);
            if (firstReopen >= 0 && firstReopen < backMs - 500)
                fail(result, "the line was reopened before the simulator was back");
            qint64 every = 0;
            int neverAgain = 0;
            for (int i = 0; i < good->count(); ++i) {
                const qint64 wait = good->firstAfter(i, backMs);
                if (wait < 0)
                    ++neverAgain;
                every = std::max(every, wait < 0 ? endMs - backMs : wait);
            }
            const qint64 first = firstGoodMs >= 0 ? firstGoodMs : endMs;
            const qint64 firstSync = reader->firstAfter(reader->syncs, backMs);
            std::printf("killed at %.1f s, back %+.1f s later; after the kill the line was "
                        "found lost at %s and reopened at %s\n",
                        killMs / 1000.0, (backMs - killMs) / 1000.0,
                        qPrintable(reader->listAfter(reader->losses, killMs)),
                        qPrintable(reader->listAfter(reader->reopens, killMs)));
            std::printf(
                "  after the return: first sync ended %+.1f s, first 'N' reading %+.1f "
                "s, every analyser %s %+.1f s%s\n",
                firstSync < 0 ? -1.0 : (firstSync - backMs) / 1000.0, (first - backMs) / 1000.0,
                neverAgain ? "NOT within" : "read by", every / 1000.0,
                neverAgain ? qPrintable(QStringLiteral(" (%1 never)").arg(neverAgain)) : "");
            std::printf(
                "  from the return to the first 'N' reading: passes ended %ld, syncs "
                "ended %ld, poll ticks skipped %lld, longest time without a pass ending "
                "%.1f s\n",
                reader->between(reader->passes, backMs, first),
                reader->between(reader->syncs, backMs, first),
                (firstGoodMs >= 0 ? skippedAtFirstGood : lineFigures.snapshot().skippedTicks) -
                    skippedAtBack,
                reader->longestPassGap(backMs, first) / 1000.0);
            result.reconnectS = {true, (first - backMs) / 1000.0, firstGoodMs >= 0, {}};
        }
    }

    MessageBoxes::setResponder([](const MessageBoxes::Box &) { return QMessageBox::Yes; });
    window->on_pushButtonClose_clicked();
    delete reader;
    delete good;
    delete counter;
    delete window;
    AppContext::instance().reset();
    simulator.terminate();
    simulator.waitForFinished();
    if (diskfull)
        run(QStringLiteral("umount"), {db});
    return result;
}

// The figure's goal and notes, the baseline's line, then the figure's; false when either run
// waited for what did not happen.
bool printFigure(const char *name, const char *unit, const Figure RunResult::*which, double goal,
                 bool atMost, const std::vector<std::pair<bool, RunResult>> &runs)
{
    bool happened = true;
    for (const auto &run : runs) {
        const Figure &figure = run.second.*which;
        if (!figure.measured)
            continue;
        const bool met = figure.happened && (atMost ? figure.value <= goal : figure.value >= goal);
        std::printf("%s, demotion %s: %.1f %s, goal %s %g: %s%s%s\n", name,
                    run.first ? "on" : "off", figure.value, unit, atMost ? "<=" : ">=", goal,
                    met ? "met" : "NOT met",
                    figure.happened ? "" : " (did not happen: the value is the time waited)",
                    qPrintable(figure.note));
        happened = happened && figure.happened;
    }
    for (const auto &run : runs) {
        const Figure &figure = run.second.*which;
        if (!figure.measured)
            continue;
        if (run.first)
            std::printf("figure %s %.1f %s\n", name, figure.value, unit);
        else
            std::printf("baseline %s %.1f %s (demotion off)\n", name, figure.value, unit);
    }
    return happened;
}

} // namespace

int main(int argc, char *argv[])
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    // The window is closed between runs.
    app.setQuitOnLastWindowClosed(false);
    Options options;
    if (!parse(app.arguments(), options)) {
        std::fprintf(stderr,
                     "usage: soak [--minutes M] [--instruments N] "
                     "[--fault line|kill|silent|garbage|flap|crc|readonly|diskfull] [--fault-at S] "
                     "[--fault-for S] [--down S] [--quick] [--demotion on|off]\n");
        return 2;
    }

    // Demotion off first: the baseline.
    std::vector<bool> settings{options.demotion != "off"};
    if (options.lineFault() && options.demotion.isEmpty())
        settings = {false, true};
    std::vector<std::pair<bool, RunResult>> runs;
    for (size_t i = 0; i < settings.size(); ++i) {
        std::printf("== run %zu of %zu: %s%s\n", i + 1, settings.size(),
                    qPrintable(options.fault.isEmpty() ? QStringLiteral("no fault")
                                                       : QStringLiteral("fault ") + options.fault),
                    settings[i] ? "" : ", baseline");
        std::fflush(stdout);
        runs.emplace_back(settings[i], runOnce(options, settings[i]));
    }

    bool ok = true;
    for (const auto &run : runs)
        ok = ok && run.second.ok;
    if (options.lineFault())
        std::printf("== figures%s\n", runs.size() > 1 ? ", each beside its baseline run" : "");
    ok = printFigure("healthy_readings_during_fault_pct", "%", &RunResult::healthyPct, 95, false,
                     runs) &&
         ok;
    ok = printFigure("recovery_after_fault_s", "s", &RunResult::recoveryS, 60, true, runs) && ok;
    ok = printFigure("reconnect_s", "s", &RunResult::reconnectS, 5, true, runs) && ok;
    ok = printFigure("flap_normal_pct", "%", &RunResult::flapNormalPct, 45, false, runs) && ok;
    ok = printFigure("crc1pct_lost_pct", "%", &RunResult::crcLostPct, 1.5, true, runs) && ok;
    ok = printFigure("soak_day_rss_growth_pct", "%", &RunResult::rssGrowthPct, 2, true, runs) && ok;
    return ok ? 0 : 1;
}
