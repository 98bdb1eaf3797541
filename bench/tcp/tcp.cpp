// tcp: exchanges per second through the station's Modbus TCP line (read passes of a
// MonitorCollection of 32 simulated analysers, asked of a ComPortReader on its own thread and
// answered by its signal, as the station polls) against a plain libmodbus TCP loop making the
// same register reads to the same hydrovane-sim gateway, the two in turn in the same run
// (goal: at least 0.9 times the loop).
// Usage: tcp [--rounds N] [--passes N]   (default 8 rounds of 100 passes on each side)
#include "acquisition/threadhandoff.h"
#include "benchsupport.h"
#include "instruments/monitorbase.h"
#include "instruments/monitorcollection.h"
#include "line/comportctrl.h"
#include "line/comportreader.h"
#include "line/readclient.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QMutex>
#include <QProcess>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

#include <modbus-tcp.h>

namespace {

const int instrumentCount = 32;
const int measurementRegister = 0x4004;

class Monitors : public ReadClient
{
public:
    void readAll(modbus_t *context, const PassPlan &plan) override
    {
        collection.readAll(context, plan);
    }
    MonitorCollection collection;
};

// The line of a gateway with its reader on a thread of its own, as the station runs it.
class GatewayLine : public QObject
{
    Q_OBJECT

public:
    explicit GatewayLine(int port) : reader(new ComPortReader(&mutex))
    {
        ctrl.setType(ComPortCtrl::Tcp);
        ctrl.setHost("127.0.0.1");
        ctrl.setTcpPort(port);
        connect(this, &GatewayLine::signal_read, reader, &ComPortReader::read);
        connect(reader, &ComPortReader::signal_readDone, this, [this] {
            ThreadHandOff::acquire();
            ++passesDone;
            waiting.quit();
        });
        ThreadHandOff::start(reader, &thread);
    }
    ~GatewayLine() override
    {
        ThreadHandOff::stop(reader, &thread);
        qDeleteAll(monitors.collection.getMonitors());
    }

    // Passes one after the other, each asked when the previous one is answered; the seconds
    // each took, asked to answered, appended to `seconds`. False when one did not come back.
    bool run(int passes, std::vector<double> &seconds)
    {
        QElapsedTimer timer;
        QTimer timeout;
        timeout.setSingleShot(true);
        connect(&timeout, &QTimer::timeout, &waiting, &QEventLoop::quit);
        for (int pass = 0; pass < passes; ++pass) {
            const long long before = passesDone;
            timer.start();
            ThreadHandOff::release();
            emit signal_read(static_cast<void *>(static_cast<ReadClient *>(&monitors)), &ctrl,
                             PassPlan());
            // Woken by the answer itself, as the station's interface thread is.
            timeout.start(10000);
            waiting.exec();
            if (passesDone == before)
                return false;
            seconds.push_back(timer.nsecsElapsed() / 1e9);
        }
        return true;
    }

    bool allNormal() const
    {
        for (const MonitorBase *monitor : monitors.collection.getMonitors()) {
            const MonitorSnapshot snapshot = monitor->snapshot();
            if (snapshot.result("DO").status != 'N' || snapshot.result("Temper").status != 'N')
                return false;
        }
        return true;
    }

    ComPortCtrl ctrl;
    QMutex mutex;
    QThread thread;
    ComPortReader *reader;
    Monitors monitors;
    long long passesDone = 0;
    QEventLoop waiting;

signals:
    void signal_read(void *client, ComPortCtrl *ctrl, const PassPlan &plan);
};

// The same reads as a pass, straight through libmodbus; false when one failed.
bool plainPass(modbus_t *context)
{
    uint16_t words[2];
    bool ok = true;
    for (int id = 1; id <= instrumentCount; ++id) {
        modbus_set_slave(context, id);
        ok = modbus_read_input_registers(context, measurementRegister, 2, words) == 2 && ok;
    }
    return ok;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    int rounds = 8;
    int passes = 100;
    if (!parseOptions(application.arguments(), [&](const QString &name, const QString &value) {
            bool ok = false;
            const int number = value.toInt(&ok);
            if (!ok || number < 1)
                return false;
            if (name == "--rounds")
                rounds = number;
            else if (name == "--passes")
                passes = number;
            else
                return false;
            return true;
        })) {
        std::fprintf(stderr, "usage: tcp [--rounds N] [--passes N]\n");
        return 2;
    }

    QStringList arguments{"--tcp", "127.0.0.1:0"};
    for (int id = 1; id <= instrumentCount; ++id)
        arguments << QString("%1:DI590").arg(id);
    QProcess simulator;
    QByteArray readyLine;
    if (!startSimulator(simulator, arguments, &readyLine))
        return 1;
    // "ready tcp:PORT"
    const int port =
        QString::fromUtf8(readyLine).section("tcp:", 1).section(' ', 0, 0).trimmed().toInt();
    int failed = 0;
    {
        GatewayLine line(port);
        // Synced before the reader's first pass; the reader connects on its own thread.
        bool ready = line.ctrl.open() == 0 && line.ctrl.connectGateway() == 0;
        for (int id = 1; ready && id <= instrumentCount; ++id) {
            MonitorBase *monitor =
                line.monitors.collection.create("DI590", "DI590", id, -1, true, true);
            ready = monitor->sync(line.ctrl.getContext()) == 0;
        }
        modbus_t *plain = modbus_new_tcp("127.0.0.1", port);
        ready = ready && plain && modbus_connect(plain) == 0;
        if (!ready) {
            std::fprintf(stderr, "tcp: the gateway did not answer\n");
            return 1;
        }

        // The two in turn, round by round, so that both see the same machine load; the
        // shared machine stalls either side now and then, so single passes are timed and
        // their medians compared.
        std::vector<double> stationPasses, plainPasses;
        LineStatistics &statistics = line.ctrl.statistics();
        for (int round = 0; round < rounds; ++round) {
            // Every exchange of the station's passes counted on the line, every one answered.
            const LineFigures before = statistics.snapshot();
            const bool answered = line.run(passes, stationPasses);
            const LineFigures after = statistics.snapshot();
            const long long exchanges = (after.bytesSent - before.bytesSent) / 12;
            if (!answered || after.passes - before.passes != passes ||
                exchanges != 1LL * passes * instrumentCount || !line.allNormal() || after.lost) {
                std::fprintf(stderr, "tcp: round %d: station passes failed (%lld exchanges)\n",
                             round, exchanges);
                failed = 1;
            }
            bool ok = true;
            for (int pass = 0; pass < passes; ++pass) {
                QElapsedTimer timer;
                timer.start();
                ok = plainPass(plain) && ok;
                plainPasses.push_back(timer.nsecsElapsed() / 1e9);
            }
            if (!ok) {
                std::fprintf(stderr, "tcp: round %d: plain loop reads failed\n", round);
                failed = 1;
            }
        }
        modbus_close(plain);
        modbus_free(plain);

        const auto sum = [](const std::vector<double> &values) {
            double total = 0;
            for (double value : values)
                total += value;
            return total;
        };
        const double stationRate = instrumentCount / median(stationPasses);
        const double plainRate = instrumentCount / median(plainPasses);
        std::printf("%d rounds of %d passes x %d DI590 on each side, in turn "
                    "(median pass; whole run in brackets)\n",
                    rounds, passes, instrumentCount);
        std::printf("  station TCP line (ComPortReader passes) %9.0f exchanges/s  (%.0f)\n",
                    stationRate, stationPasses.size() * instrumentCount / sum(stationPasses));
        std::printf("  plain libmodbus TCP loop                %9.0f exchanges/s  (%.0f)\n",
                    plainRate, plainPasses.size() * instrumentCount / sum(plainPasses));
        std::printf("  goal: at least 0.9 times the loop%s\n",
                    failed ? "   SOME EXCHANGES FAILED" : "");
        std::printf("figure tcp_poll_ratio %.3f ratio\n", stationRate / plainRate);
    }
    simulator.terminate();
    simulator.waitForFinished(5000);
    return failed;
}

#include "tcp.moc"
