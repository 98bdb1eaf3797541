// poll_pass: read passes over 32 simulated instruments through MonitorCollection::readAll,
// each figure printed beside its baseline from the same run.
//   1. no wire time: exchanges per second against a plain libmodbus loop making the same
//      requests (goal: at least 0.9 times the loop);
//   2. with --wire-time at 9600 8N2 and 19200 8E1: one pass against the wire-time limit of
//      its frames (goal: at most 1.10 times the limit).
//   3. 50 instruments, none faulty, no wire time: the pass with the line and instrument
//      statistics against the same pass without their cost (goal: at most 1.02 times).
// Usage: poll_pass [passes]   (passes of each kind for the first figure, default 200)
#include "benchsupport.h"
#include "acquisition/comportctrl.h"
#include "acquisition/linehealth.h"
#include "acquisition/linestatistics.h"
#include "acquisition/monitorbase.h"
#include "acquisition/monitorcollection.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

int instrumentCount = 32;
// One read: a request of 8 characters, an answer of 5 + 2 words x 2 characters.
const int requestCharacters = 8;
const int answerCharacters = 9;

struct Line
{
    int baud;
    char parity;
    int stopbits;
};

// 32 DI590s on hydrovane-sim, the line opened on them and one synced monitor for each.
class SimulatedChain
{
public:
    SimulatedChain(const Line &line, bool wireTime)
    {
        QStringList arguments{
            "--link",   dir.filePath("line"), "--baud",     QString::number(line.baud),
            "--parity", QString(line.parity), "--stopbits", QString::number(line.stopbits)};
        if (wireTime)
            arguments << "--wire-time";
        for (int id = 1; id <= instrumentCount; ++id)
            arguments << QString("%1:DI590").arg(id);
        const bool answered = startSimulator(simulator, arguments);
        ctrl.setPort(dir.filePath("line").toUtf8().constData());
        ctrl.setBaudrate(line.baud);
        ctrl.setParity(line.parity);
        ctrl.setStopbit(line.stopbits);
        ready = answered && ctrl.open() == 0;
        for (int id = 1; ready && id <= instrumentCount; ++id) {
            MonitorBase *monitor = collection.create("DI590", "DI590", id, -1, true, true);
            ready = monitor->sync(ctrl.getContext()) == 0;
        }
        if (!ready)
            std::fprintf(stderr, "poll_pass: the simulator did not answer\n");
    }
    ~SimulatedChain()
    {
        qDeleteAll(collection.getMonitors());
        ctrl.close();
        simulator.terminate(); // SIGTERM: it removes its link
        simulator.waitForFinished(5000);
    }

    bool allNormal() const
    {
        for (const MonitorBase *monitor : collection.getMonitors()) {
            if (monitor->snapshot().result("DO").status != 'N')
                return false;
        }
        return true;
    }

    QTemporaryDir dir;
    QProcess simulator;
    ComPortCtrl ctrl;
    MonitorCollection collection;
    bool ready = false;
};

// The same requests as a read pass, straight through libmodbus.
bool plainPass(modbus_t *context)
{
    uint16_t words[2];
    bool ok = true;
    for (int id = 1; id <= instrumentCount; ++id) {
        modbus_set_slave(context, id);
        ok = modbus_read_input_registers(context, 0x4004, 2, words) == 2 && ok;
    }
    return ok;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

int throughput(int passes)
{
    SimulatedChain chain(Line{9600, 'N', 2}, false);
    if (!chain.ready)
        return 1;
    modbus_t *context = chain.ctrl.getContext();
    // Pass by pass in turn, so that both sides see the same machine load; the medians of
    // the single passes are compared.
    std::vector<double> station, plain;
    bool ok = true;
    for (int pass = 0; pass < passes; ++pass) {
        QElapsedTimer timer;
        timer.start();
        chain.collection.readAll(context);
        station.push_back(instrumentCount / (timer.nsecsElapsed() / 1e9));
        ok = ok && chain.allNormal();
        timer.restart();
        ok = plainPass(context) && ok;
        plain.push_back(instrumentCount / (timer.nsecsElapsed() / 1e9));
    }
    std::printf("no wire time, %d passes x %d instruments each (median pass)\n", passes,
                instrumentCount);
    std::printf("  readAll              %9.0f exchanges/s\n", median(station));
    std::printf("  plain libmodbus loop %9.0f exchanges/s   ratio %.3f (goal >= 0.90)%s\n",
                median(plain), median(station) / median(plain),
                ok ? "" : "   SOME EXCHANGES FAILED");
    return ok ? 0 : 1;
}

int wirePass(const Line &line)
{
    SimulatedChain chain(line, true);
    if (!chain.ready)
        return 1;
    const int bits = 1 + 8 + (line.parity != 'N' ? 1 : 0) + line.stopbits;
    const double characters = requestCharacters + answerCharacters + 2 * 3.5;
    const double limit = instrumentCount * characters * bits / line.baud * 1000;
    std::vector<double> passes;
    bool ok = true;
    for (int pass = 0; pass < 5; ++pass) {
        QElapsedTimer timer;
        timer.start();
        chain.collection.readAll(chain.ctrl.getContext());
        passes.push_back(timer.nsecsElapsed() / 1e6);
        ok = ok && chain.allNormal();
    }
    std::printf("wire time %d 8%c%d, one pass over %d instruments (median of 5)\n", line.baud,
                line.parity, line.stopbits, instrumentCount);
    std::printf("  readAll pass    %8.1f ms\n", median(passes));
    std::printf("  wire-time limit %8.1f ms   ratio %.3f (goal <= 1.10)%s\n", limit,
                median(passes) / limit, ok ? "" : "   SOME EXCHANGES FAILED");
    return ok ? 0 : 1;
}

// The statistics cannot be switched off, so their cost is measured on its own: the calls one
// pass makes to count every exchange (the clock around it, the instrument's and the line's
// counters and its turn), replayed on counters of their own. Without them the pass would take
// that much less.
int statisticsCost(int passes)
{
    instrumentCount = 50;
    SimulatedChain chain(Line{9600, 'N', 2}, false);
    if (!chain.ready)
        return 1;
    modbus_t *context = chain.ctrl.getContext();
    LineStatistics &line = chain.ctrl.statistics();
    std::vector<LineHealth> health(static_cast<size_t>(instrumentCount));
    LineStatistics replayLine;
    std::vector<double> station, cost;
    bool ok = true;
    for (int pass = 0; pass < passes; ++pass) {
        QElapsedTimer timer;
        timer.start();
        {
            LineStatistics::Scope scope(&line);
            line.passStarted(PassPlan());
            chain.collection.readAll(context, PassPlan());
            line.passEnded();
        }
        station.push_back(timer.nsecsElapsed() / 1e6);
        ok = ok && chain.allNormal();

        timer.restart();
        {
            LineStatistics::Scope scope(&replayLine);
            replayLine.passStarted(PassPlan());
            for (LineHealth &instrument : health) {
                LineStatistics *current = LineStatistics::current();
                instrument.nextTurn(false);
                const auto started = std::chrono::steady_clock::now();
                const auto elapsed = std::chrono::steady_clock::now() - started;
                instrument.recordExchange(SyncFailure(), elapsed);
                if (current && !current->isLost())
                    current->countBytes(8, 9);
            }
            replayLine.passEnded();
        }
        cost.push_back(timer.nsecsElapsed() / 1e6);
    }
    const double pass = median(station), statistics = median(cost);
    std::printf("no wire time, %d instruments, %d passes (median pass)\n", instrumentCount,
                passes);
    std::printf("  readAll with statistics  %8.3f ms\n", pass);
    std::printf("  the statistics' own calls %7.3f ms   baseline pass without them %.3f ms%s\n",
                statistics, pass - statistics, ok ? "" : "   SOME EXCHANGES FAILED");
    std::printf("figure poll_pass_statistics_ratio %.4f x (goal <= 1.02)\n",
                pass / (pass - statistics));
    return ok ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    const int passes = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
    int failed = throughput(passes);
    failed |= wirePass(Line{9600, 'N', 2});
    failed |= wirePass(Line{19200, 'E', 1});
    failed |= statisticsCost(passes);
    return failed;
}
