// poll_pass: read passes over 32 simulated instruments through MonitorCollection::readAll,
// each figure printed beside its baseline from the same run.
//   1. no wire time: exchanges per second against a plain libmodbus loop making the same
//      requests (goal: at least 0.9 times the loop);
//   2. with --wire-time at 9600 8N2 and 19200 8E1: one pass against the wire-time limit of
//      its frames (goal: at most 1.10 times the limit).
//   3. 50 instruments, none faulty, no wire time: the pass with the line and instrument
//      statistics against the same pass with them switched off, passes alternating in the
//      same process (goal: at most 1.02 times).
// Usage: poll_pass [passes]   (passes of each kind for the first and third figures, default 200)
#include "benchsupport.h"
#include "instruments/monitorbase.h"
#include "instruments/monitorcollection.h"
#include "line/comportctrl.h"
#include "line/linestatistics.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cmath>
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

// Pass by pass in pairs, statistics on and off in turn (which goes first alternates, so that
// neither side always follows the other), through the same calls as the reader's pass. Each
// pair gives a ratio; the figure is their median, with its spread over the pairs.
int statisticsCost(int passes)
{
    instrumentCount = 50;
    SimulatedChain chain(Line{9600, 'N', 2}, false);
    if (!chain.ready)
        return 1;
    modbus_t *context = chain.ctrl.getContext();
    LineStatistics &line = chain.ctrl.statistics();
    const auto timedPass = [&](bool counting) {
        LineStatistics::setCountingEnabled(counting);
        const long long before = line.snapshot().bytesSent;
        QElapsedTimer timer;
        timer.start();
        {
            LineStatistics::Scope scope(&line);
            chain.collection.readAll(context);
            line.passEnded();
        }
        const double ms = timer.nsecsElapsed() / 1e6;
        // Every instrument answered, and the statistics counted its exchange only when on.
        const long long counted = line.snapshot().bytesSent - before;
        const bool ok = chain.allNormal() && counted == (counting ? 8LL * instrumentCount : 0);
        return ok ? ms : -1.0;
    };
    std::vector<double> on, off, ratios;
    bool ok = true;
    for (int pass = 0; pass < passes; ++pass) {
        double withStatistics, without;
        if (pass % 2 == 0) {
            withStatistics = timedPass(true);
            without = timedPass(false);
        } else {
            without = timedPass(false);
            withStatistics = timedPass(true);
        }
        ok = ok && withStatistics > 0 && without > 0;
        on.push_back(withStatistics);
        off.push_back(without);
        ratios.push_back(withStatistics / without);
    }
    LineStatistics::setCountingEnabled(true);
    std::sort(ratios.begin(), ratios.end());
    const auto rank = [&](double share) {
        return ratios[std::min(ratios.size() - 1, size_t(std::max(0.0, share * ratios.size())))];
    };
    // The median's 95 % confidence interval from the order statistics of the pairs.
    const double half = 0.98 * std::sqrt(double(ratios.size())) / ratios.size();
    std::printf("no wire time, %d instruments, %d pairs of passes, statistics on and off in turn\n",
                instrumentCount, passes);
    std::printf("  readAll with statistics     %8.3f ms (median pass)\n", median(on));
    std::printf("  readAll, statistics off     %8.3f ms (median pass)%s\n", median(off),
                ok ? "" : "   SOME EXCHANGES FAILED OR WERE COUNTED WRONG");
    std::printf("  ratio of the pairs: median %.4f, 95%% interval of the median %.4f .. %.4f, "
                "quartiles %.4f .. %.4f\n",
                rank(0.5), rank(0.5 - half), rank(0.5 + half), rank(0.25), rank(0.75));
    std::printf("figure poll_pass_statistics_ratio %.4f x (goal <= 1.02)\n", rank(0.5));
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
