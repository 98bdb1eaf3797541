// The real station (main window, panels, reader, record writers, database) against
// hydrovane-sim with many analysers at a 1-second interval, recording on, for a long run.
// Prints every minute and at the end: read passes, readings shown, rows handed to the record
// writers, rows stored, resident memory. Optionally one fault during the run:
//
//   kill      the simulator is killed (the device disappears) and started again on the same
//             path; the station reopens the line by itself
//   silent    the first five analysers stop answering
//   garbage   the first five analysers answer with noise
//   readonly  the db folder cannot be written
//   diskfull  the disk holding the db folder is full (a tmpfs of its own, filled up)
//
// soak [--minutes M] [--instruments N] [--fault F] [--fault-at S] [--fault-for S]
//      [--demotion on|off]
//
// --demotion off: nobody is demoted, the station as it was before demotion, for a baseline
// run beside the default one.
//
// With silent or garbage it prints how well the healthy analysers kept their interval during
// the fault and how soon the faulty ones were read again after it; with kill how soon
// readings resumed after the simulator came back.

#include "benchsupport.h"

#include "acquisition/comportreader.h"
#include "acquisition/linehealth.h"
#include "acquisition/monitorbase.h"
#include "acquisition/monitorcollection.h"
#include "app/appcontext.h"
#include "app/mainwindow.h"
#include "trend/widgetaxesdisplay.h"
#include "panels/messageboxes.h"
#include "panels/widgetcomport.h"
#include "panels/widgetmonitordisplay.h"
#include "panels/widgetmonitorlist.h"
#include "storage/passphrase.h"
#include "storage/recordwriter.h"
#include "storage/zircon.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTimer>

#include <qcustomplot.h>

#include <algorithm>
#include <cstdio>
#include <unistd.h>

namespace {

const int faultyInstruments = 5;

struct Options
{
    int minutes = 30;
    int instruments = 50;
    QString fault;
    int faultAt = 120;
    int faultFor = 60;
    bool demotion = true;
};

bool parse(const QStringList &arguments, Options &options)
{
    for (int i = 1; i < arguments.size(); ++i) {
        const QString &name = arguments.at(i);
        if (i + 1 >= arguments.size())
            return false;
        const QString value = arguments.at(++i);
        if (name == "--minutes")
            options.minutes = value.toInt();
        else if (name == "--instruments")
            options.instruments = value.toInt();
        else if (name == "--fault")
            options.fault = value;
        else if (name == "--fault-at")
            options.faultAt = value.toInt();
        else if (name == "--fault-for")
            options.faultFor = value.toInt();
        else if (name == "--demotion" && (value == "on" || value == "off"))
            options.demotion = value == "on";
        else
            return false;
    }
    const QStringList faults{"", "kill", "silent", "garbage", "readonly", "diskfull"};
    return options.minutes > 0 && options.instruments > 0 && faults.contains(options.fault);
}

// The times of every normal reading of each monitor, in ms on the bench's clock, as its
// detail page shows them.
class GoodReadings : public QObject
{
public:
    GoodReadings(const MonitorCollection &monitors, const QElapsedTimer &clock)
    {
        for (MonitorBase *monitor : monitors.getMonitors()) {
            auto *page = static_cast<WidgetMonitorDisplay *>(monitor->views.at(0));
            const int index = int(times.size());
            times.emplace_back();
            ids.push_back(monitor->getId());
            connect(page, &WidgetMonitorDisplay::signal_updateResult, this,
                    [this, index, &clock](const QString &, const QString &, const QString &status) {
                        if (status == QLatin1String("N"))
                            times[index].push_back(clock.elapsed());
                    });
        }
    }

    // Normal readings of monitor `index` from..to (ms, to excluded).
    long between(int index, qint64 from, qint64 to) const
    {
        return AcquisitionCounter::countBetween(times[index], from, to);
    }
    // Ms from `from` to the monitor's first normal reading at or after it; -1 when none.
    qint64 firstAfter(int index, qint64 from) const
    {
        const auto found = std::lower_bound(times[index].begin(), times[index].end(), from);
        return found == times[index].end() ? -1 : *found - from;
    }

    std::vector<std::vector<qint64>> times;
    std::vector<int> ids;
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

} // namespace

int main(int argc, char *argv[])
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    Options options;
    if (!parse(app.arguments(), options)) {
        std::fprintf(stderr, "usage: soak [--minutes M] [--instruments N] "
                             "[--fault kill|silent|garbage|readonly|diskfull] [--fault-at S] "
                             "[--fault-for S] [--demotion on|off]\n");
        return 2;
    }

    LineHealth::setDemotionEnabled(options.demotion);
    std::printf("demotion %s\n", options.demotion ? "on" : "off");
    QTemporaryDir station;
    const QString db = station.filePath(QStringLiteral("db"));
    QDir().mkpath(db);
    const bool diskfull = options.fault == "diskfull";
    if (diskfull &&
        run(QStringLiteral("mount"), {"-t", "tmpfs", "-o", "size=64m", "tmpfs", db}) != 0) {
        std::fprintf(stderr, "soak: cannot mount a tmpfs on %s (root needed)\n", qPrintable(db));
        return 1;
    }

    const QString link = station.filePath(QStringLiteral("line"));
    QStringList simulatorArguments{"--link", link};
    std::vector<ChainMonitor> monitors;
    for (int id = 1; id <= options.instruments; ++id) {
        QString instrument = QStringLiteral("%1:%2").arg(id).arg(chainModel(id));
        if ((options.fault == "silent" || options.fault == "garbage") && id <= faultyInstruments)
            instrument += QStringLiteral(":fault=%1,faultfrom=%2,faultfor=%3")
                              .arg(options.fault)
                              .arg(options.faultAt)
                              .arg(options.faultFor);
        simulatorArguments << instrument;
        monitors.push_back({id, chainModel(id), QStringLiteral("仪表%1").arg(id)});
    }
    QProcess simulator;
    // The simulator's fault windows count from its start.
    QElapsedTimer simulatorClock;
    simulatorClock.start();
    if (!startSimulator(simulator, simulatorArguments))
        return 1;
    if (!writeStationConfig(station.path(), link, 1, monitors))
        return 1;
    AppContext::instance().setApplicationDir(station.path());
    AppContext::instance().init();
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

    AcquisitionCounter counter(window);
    GoodReadings good(list->collection(), simulatorClock);
    qint64 simulatorBackMs = -1;
    lineSwitch->setChecked(true);

    QElapsedTimer clock;
    clock.start();
    long residentAtFive = -1, pointsAtFive = 0;
    bool faultOn = false, faultDone = options.fault.isEmpty();
    long storedAtFaultStart = 0, handedAtFaultStart = 0, storedAtFaultEnd = 0, handedAtFaultEnd = 0;
    const auto report = [&](const char *what) {
        std::printf("%s %5.1f min: passes %ld, readings shown %ld, factor rows shown %ld, rows "
                    "handed over %ld, rows stored %ld, resident %ld KiB, trend points %ld\n",
                    what, clock.elapsed() / 60000.0, counter.passes, counter.readings,
                    counter.factorsShown, counter.rowsHanded, storedRows(recordFile),
                    statusKb("VmRSS:"), trendPoints(list->collection()));
        std::fflush(stdout);
    };

    QTimer minute;
    QObject::connect(&minute, &QTimer::timeout, [&] {
        report("at");
        if (clock.elapsed() >= 5 * 60000 - 1000 && residentAtFive < 0) {
            residentAtFive = statusKb("VmRSS:");
            pointsAtFive = trendPoints(list->collection());
        }
    });
    minute.start(60000);

    QTimer faults;
    QObject::connect(&faults, &QTimer::timeout, [&] {
        const qint64 second = clock.elapsed() / 1000;
        if (!faultDone && !faultOn && second >= options.faultAt) {
            faultOn = true;
            storedAtFaultStart = storedRows(recordFile);
            handedAtFaultStart = counter.rowsHanded;
            std::printf("fault %s begins\n", qPrintable(options.fault));
            if (options.fault == "kill") {
                simulator.kill();
                simulator.waitForFinished();
            } else if (options.fault == "readonly") {
                setWritable(db, false);
            } else if (diskfull) {
                fill(db + QStringLiteral("/filler"));
            }
        } else if (faultOn && second >= options.faultAt + options.faultFor) {
            faultOn = false;
            faultDone = true;
            std::printf("fault %s ends\n", qPrintable(options.fault));
            if (options.fault == "kill") {
                startSimulator(simulator, simulatorArguments);
                simulatorBackMs = simulatorClock.elapsed();
            } else if (options.fault == "readonly") {
                setWritable(db, true);
            } else if (diskfull) {
                QFile::remove(db + QStringLiteral("/filler"));
            }
            storedAtFaultEnd = storedRows(recordFile);
            handedAtFaultEnd = counter.rowsHanded;
        }
        if (clock.elapsed() >= options.minutes * 60000LL)
            app.quit();
    });
    faults.start(250);
    app.exec();

    lineSwitch->setChecked(false);
    line->waitForReader();
    QCoreApplication::processEvents();
    RecordWriter::waitForAll();
    report("end");
    const long stored = storedRows(recordFile);
    const long residentEnd = statusKb("VmRSS:");
    std::printf("rows stored %ld, factor rows shown %ld, rows handed over %ld: %s\n", stored,
                counter.factorsShown, counter.rowsHanded,
                stored == counter.factorsShown && counter.rowsHanded == counter.factorsShown
                    ? "equal"
                    : "NOT equal");
    if (residentAtFive > 0) {
        const long pointKiB =
            (trendPoints(list->collection()) - pointsAtFive) * long(sizeof(QCPGraphData)) / 1024;
        std::printf("resident memory from minute 5 to the end: %ld -> %ld KiB (%+.2f %%); trend "
                    "points added meanwhile hold %ld KiB, growth without them %+.2f %%\n",
                    residentAtFive, residentEnd,
                    100.0 * (residentEnd - residentAtFive) / residentAtFive, pointKiB,
                    100.0 * (residentEnd - residentAtFive - pointKiB) / residentAtFive);
    }
    if (!options.fault.isEmpty())
        std::printf("fault %s from %d s for %d s: rows handed over meanwhile %ld, stored "
                    "meanwhile %ld; rows lost in all %ld\n",
                    qPrintable(options.fault), options.faultAt, options.faultFor,
                    handedAtFaultEnd - handedAtFaultStart, storedAtFaultEnd - storedAtFaultStart,
                    counter.factorsShown - stored);
    const qint64 faultFrom = options.faultAt * 1000LL, faultTo = faultFrom + options.faultFor * 1000LL;
    if (options.fault == "silent" || options.fault == "garbage") {
        // Healthy: the worst one's normal readings over its intervals in the fault window.
        // Faulty: the longest wait from answering again to the next normal reading shown.
        double worstPct = 100;
        qint64 recovery = 0;
        for (int i = 0; i < int(good.ids.size()); ++i) {
            if (good.ids[i] > faultyInstruments) {
                worstPct = std::min(worstPct, 100.0 * good.between(i, faultFrom, faultTo) /
                                                  options.faultFor);
            } else {
                const qint64 wait = good.firstAfter(i, faultTo);
                recovery = wait < 0 ? -1 : recovery < 0 ? -1 : std::max(recovery, wait);
            }
        }
        std::printf("figure healthy_readings_during_fault_pct %.1f %%\n", worstPct);
        if (recovery < 0)
            std::printf("figure recovery_after_fault_s never s (a faulty analyser was not read "
                        "again)\n");
        else
            std::printf("figure recovery_after_fault_s %.1f s\n", recovery / 1000.0);
    } else if (options.fault == "kill") {
        // From the simulator answering again to every analyser's next normal reading.
        qint64 first = -1, all = 0;
        for (int i = 0; i < int(good.ids.size()) && simulatorBackMs >= 0; ++i) {
            const qint64 wait = good.firstAfter(i, simulatorBackMs);
            first = wait < 0 ? first : first < 0 ? wait : std::min(first, wait);
            all = wait < 0 || all < 0 ? -1 : std::max(all, wait);
        }
        if (simulatorBackMs < 0 || first < 0 || all < 0)
            std::printf("figure reconnect_s never s (readings did not resume for every "
                        "analyser)\n");
        else
            std::printf("first reading %.1f s after the simulator's return\n"
                        "figure reconnect_s %.1f s\n",
                        first / 1000.0, all / 1000.0);
    }

    MessageBoxes::setResponder([](const MessageBoxes::Box &) { return QMessageBox::Yes; });
    window->on_pushButtonClose_clicked();
    delete window;
    simulator.terminate();
    simulator.waitForFinished();
    if (diskfull)
        run(QStringLiteral("umount"), {db});
    return stored == counter.factorsShown ? 0 : 1;
}
