// lines: several serial lines polled at once, each by its own reader thread as the station
// polls them, against each line polled alone in the same run.
//   4 lines of 32 simulated DI590s at 9600 8N2 with the wire's time (hydrovane-sim
//   --wire-time), one MonitorCollection holding all 128 monitors, each line read by a
//   ComPortReader on a thread of its own through its LineMonitors.
//   Rounds alternate: every line alone in turn, then all lines together; each line's median
//   pass together is set against its median pass alone.
// Usage: lines [--rounds N] [--passes N] [--lines N]   (defaults 3, 3, 4)
#include "acquisition/threadhandoff.h"
#include "benchsupport.h"
#include "instruments/linemonitors.h"
#include "instruments/monitorbase.h"
#include "instruments/monitorcollection.h"
#include "line/comportctrl.h"
#include "line/comportreader.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QMutex>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

const int instrumentsPerLine = 32;

// One simulated chain, its line opened on it, and the reader that polls it.
struct Line
{
    QTemporaryDir dir;
    QProcess simulator;
    ComPortCtrl ctrl;
    QMutex mutex;
    QThread thread;
    ComPortReader *reader = nullptr;
    std::unique_ptr<LineMonitors> client;
    // Passes asked for and not yet done, and the times of those done.
    int pending = 0;
    QElapsedTimer passTimer;
    std::vector<double> alone;
    std::vector<double> together;
};

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    int rounds = 3, passes = 3, lineCount = 4;
    const bool parsed =
        parseOptions(application.arguments(), [&](const QString &name, const QString &value) {
            const int number = value.toInt();
            if (number < 1)
                return false;
            if (name == "--rounds")
                rounds = number;
            else if (name == "--passes")
                passes = number;
            else if (name == "--lines")
                lineCount = number;
            else
                return false;
            return true;
        });
    if (!parsed || lineCount < 2) {
        std::fprintf(stderr, "usage: lines [--rounds N] [--passes N] [--lines N>=2]\n");
        return 2;
    }

    MonitorCollection collection;
    std::vector<std::unique_ptr<Line>> lines;
    for (int index = 0; index < lineCount; ++index) {
        lines.push_back(std::make_unique<Line>());
        Line &line = *lines.back();
        const QString link = line.dir.filePath(QStringLiteral("line"));
        QStringList arguments{"--link", link,         "--baud", "9600",       "--parity",
                              "N",      "--stopbits", "2",      "--wire-time"};
        for (int id = 1; id <= instrumentsPerLine; ++id)
            arguments << QStringLiteral("%1:DI590").arg(id);
        if (!startSimulator(line.simulator, arguments))
            return 1;
        line.ctrl.setPort(link.toUtf8().constData());
        line.ctrl.setBaudrate(9600);
        line.ctrl.setParity('N');
        line.ctrl.setStopbit(2);
        if (line.ctrl.open() != 0) {
            std::fprintf(stderr, "lines: line %d did not open\n", index + 1);
            return 1;
        }
        // The same ids on every line: each line's monitors are its own.
        for (int id = 1; id <= instrumentsPerLine; ++id) {
            MonitorCollection factory;
            MonitorBase *monitor = factory.create(
                "DI590", QStringLiteral("线路%1-%2").arg(index + 1).arg(id).toStdString(), id, -1,
                true, true);
            monitor->setLineIndex(index);
            if (monitor->sync(line.ctrl.getContext()) != 0) {
                std::fprintf(stderr, "lines: instrument %d of line %d did not sync\n", id,
                             index + 1);
                return 1;
            }
            collection.append(monitor);
        }
        line.client = std::make_unique<LineMonitors>(&collection, index);
        line.reader = new ComPortReader(&line.mutex);
        QObject::connect(line.reader, &ComPortReader::signal_readDone, &application,
                         [&line](const PassPlan &) {
                             ThreadHandOff::acquire();
                             --line.pending;
                         });
        ThreadHandOff::start(line.reader, &line.thread);
    }

    bool allNormal = true;
    const auto checkReadings = [&](int index) {
        for (const MonitorBase *monitor : collection.getMonitors()) {
            if (monitor->getLineIndex() == index && monitor->snapshot().result("DO").status != 'N')
                allNormal = false;
        }
    };
    // `passes` passes back to back on each of `chosen`, all at once; each pass's time goes
    // to its line's list.
    const auto run = [&](const std::vector<int> &chosen, bool together) {
        std::vector<int> left(lines.size(), 0);
        const auto ask = [&](int index) {
            Line &line = *lines[size_t(index)];
            line.pending = 1;
            line.passTimer.start();
            ComPortReader *reader = line.reader;
            ComPortCtrl *ctrl = &line.ctrl;
            void *token = line.client->readToken();
            ThreadHandOff::release();
            QMetaObject::invokeMethod(
                reader, [reader, token, ctrl] { reader->read(token, ctrl, PassPlan()); },
                Qt::QueuedConnection);
        };
        for (int index : chosen) {
            left[size_t(index)] = passes;
            ask(index);
        }
        const bool done = serveUntil(
            [&] {
                bool finished = true;
                for (int index : chosen) {
                    Line &line = *lines[size_t(index)];
                    if (line.pending == 0 && left[size_t(index)] > 0) {
                        const double ms = line.passTimer.nsecsElapsed() / 1e6;
                        (together ? line.together : line.alone).push_back(ms);
                        checkReadings(index);
                        if (--left[size_t(index)] > 0)
                            ask(index);
                    }
                    finished = finished && left[size_t(index)] == 0;
                }
                return finished;
            },
            120000);
        if (!done)
            allNormal = false;
    };
    // Alone first and together next, or the other way, in turns.
    for (int round = 0; round < rounds; ++round) {
        std::vector<int> all;
        for (int index = 0; index < lineCount; ++index)
            all.push_back(index);
        if (round % 2 == 1)
            run(all, true);
        for (int index = 0; index < lineCount; ++index)
            run({index}, false);
        if (round % 2 == 0)
            run(all, true);
    }

    std::printf("%d lines x %d DI590 at 9600 8N2 with wire time, %d rounds of %d passes\n",
                lineCount, instrumentsPerLine, rounds, passes);
    double worst = 0;
    for (int index = 0; index < lineCount; ++index) {
        const Line &line = *lines[size_t(index)];
        const double alone = median(line.alone);
        const double together = median(line.together);
        const double ratio = alone > 0 ? together / alone : 0;
        worst = std::max(worst, ratio);
        std::printf("  line %d: alone %8.1f ms, together %8.1f ms (median pass), ratio %.3f\n",
                    index + 1, alone, together, ratio);
    }
    for (auto &line : lines) {
        line->reader->requestStop();
        ThreadHandOff::stop(line->reader, &line->thread);
        line->ctrl.close();
        line->simulator.terminate();
        line->simulator.waitForFinished(5000);
    }
    qDeleteAll(collection.getMonitors());
    if (!allNormal) {
        std::fprintf(stderr, "lines: a pass did not end or an instrument did not read 'N'\n");
        return 1;
    }
    std::printf("figure lines_parallel_ratio %.3f ratio (worst line; goal <= 1.05)\n", worst);
    return 0;
}
