#include "acquisition/threadhandoff.h"
#include "instruments/monitorbase.h"
#include "instruments/monitorcollection.h"
#include "line/comportctrl.h"
#include "line/comportreader.h"
#include "line/linehealth.h"
#include "line/linestatistics.h"
#include "line/readclient.h"
#include "line/syncclient.h"
#include "testsupport.h"

#include <QtTest>

namespace {

SyncFailure failure(SyncFailure::Kind kind)
{
    SyncFailure outcome;
    outcome.kind = kind;
    return outcome;
}

const auto someTime = std::chrono::milliseconds(20);

// A pass as the reader runs it.
void pass(MonitorCollection &monitors, ComPortCtrl &ctrl)
{
    LineStatistics::Scope scope(&ctrl.statistics());
    monitors.readAll(ctrl.getContext());
    ctrl.statistics().passEnded();
}

int sync(MonitorBase *monitor, ComPortCtrl &ctrl)
{
    LineStatistics::Scope scope(&ctrl.statistics());
    return monitor->sync(ctrl.getContext());
}

char status(const MonitorBase *monitor)
{
    return monitor->snapshot().result("DO").status;
}

// The monitor list and a detail panel, as far as the reader sees them.
class Client : public ReadClient, public SyncClient
{
public:
    void readAll(modbus_t *context, const PassPlan &plan) override
    {
        monitors.readAll(context, plan);
    }
    void lineRestored() override { monitors.checkModelsAgain(); }
    void syncMonitor(modbus_t *context) override { monitors.getMonitors()[0]->sync(context); }

    void *readToken() { return static_cast<void *>(static_cast<ReadClient *>(this)); }
    void *syncToken() { return static_cast<void *>(static_cast<SyncClient *>(this)); }

    MonitorCollection monitors;
};

} // namespace

class TestLineHealth : public QObject
{
    Q_OBJECT

private slots:
    void demotionBacksOffByDoublingPasses();
    void onlyConsecutiveInstrumentFailuresDemote();
    void demotedMonitorsLeaveTheirNeighboursEveryReading();
    void faultyInstrumentIsPromotedOnceItAnswers();
    void operatorSyncTriesADemotedInstrumentAtOnce();
    void statisticsCountExchangesBytesAndPasses();
    void countingOffLeavesDemotionAsItIs();
    void lostDeviceIsReopenedAndModelsAreCheckedAgain();
};

void TestLineHealth::demotionBacksOffByDoublingPasses()
{
    LineHealth health;
    for (int i = 0; i < LineHealth::demoteAfter; ++i) {
        QVERIFY(!health.snapshot().demoted);
        // After a failure it waits for room on the line.
        QCOMPARE(health.nextTurn(false), i ? LineHealth::Due : LineHealth::Try);
        health.recordExchange(failure(SyncFailure::NoAnswer), someTime);
    }
    QVERIFY(health.snapshot().demoted);
    QCOMPARE(health.snapshot().reasonText(), std::string("仪表无应答"));

    // Tried again after 1 pass, then 2, 4, 8.
    for (int backoff : {1, 2, 4, 8}) {
        QCOMPARE(health.snapshot().nextTryPasses, backoff);
        for (int i = 0; i < backoff; ++i)
            QCOMPARE(health.nextTurn(false), LineHealth::Skip);
        QCOMPARE(health.nextTurn(false), LineHealth::Due);
        health.retrying();
        health.recordExchange(failure(SyncFailure::FrameError), someTime);
    }
    // A due retry the line had no room for stays due.
    for (int i = 0; i < 16; ++i)
        QCOMPARE(health.nextTurn(false), LineHealth::Skip);
    QCOMPARE(health.nextTurn(false), LineHealth::Due);
    QCOMPARE(health.nextTurn(false), LineHealth::Due);

    // The operator's sync goes through once; a pass before it tries as well.
    health.tryNow();
    QCOMPARE(health.nextTurn(false), LineHealth::Try);
    QCOMPARE(health.nextTurn(true), LineHealth::Try);
    QCOMPARE(health.nextTurn(true), LineHealth::Due);

    // The first good answer promotes.
    health.retrying();
    health.recordExchange(SyncFailure(), someTime);
    const InstrumentHealth promoted = health.snapshot();
    QVERIFY(!promoted.demoted);
    QCOMPARE(promoted.consecutiveFailures, 0);
    QVERIFY(promoted.reasonText().empty());
    QCOMPARE(promoted.exchanges, 8LL);
    QCOMPARE(promoted.noAnswer, 3LL);
    QCOMPARE(promoted.frameErrors, 4LL);
    QVERIFY(promoted.lastGoodAnswerMs > 0);
    QCOMPARE(health.nextTurn(false), LineHealth::Try);

    health.reset();
    QCOMPARE(health.snapshot().exchanges, 0LL);
    QCOMPARE(health.snapshot().lastResponseMs, -1);
}

void TestLineHealth::onlyConsecutiveInstrumentFailuresDemote()
{
    // An instrument that answers every second time.
    LineHealth flapping;
    for (int i = 0; i < 20; ++i)
        flapping.recordExchange(i % 2 ? SyncFailure() : failure(SyncFailure::NoAnswer), someTime);
    QVERIFY(!flapping.snapshot().demoted);

    // The port's own failures and refusals at a sync are not the instrument's silence.
    LineHealth port;
    for (int i = 0; i < 5; ++i) {
        port.recordExchange(failure(SyncFailure::PortError), someTime);
        port.recordSyncRefusal(SyncFailure::otherModel("XY100"));
    }
    QVERIFY(!port.snapshot().demoted);
    QCOMPARE(port.snapshot().portErrors, 5LL);
    QCOMPARE(port.snapshot().otherModel, 5LL);

    // Exception answers do demote; with demotion off nothing does.
    LineHealth refusing;
    for (int i = 0; i < 3; ++i)
        refusing.recordExchange(SyncFailure::fromModbusError(MODBUS_ENOBASE + 2), someTime);
    QVERIFY(refusing.snapshot().demoted);
    QCOMPARE(refusing.snapshot().exceptionAnswers, 3LL);

    LineHealth::setDemotionEnabled(false);
    LineHealth silent;
    for (int i = 0; i < 10; ++i)
        silent.recordExchange(failure(SyncFailure::NoAnswer), someTime);
    QVERIFY(!silent.snapshot().demoted);
    QCOMPARE(silent.nextTurn(false), LineHealth::Try);
    LineHealth::setDemotionEnabled(true);
}

void TestLineHealth::demotedMonitorsLeaveTheirNeighboursEveryReading()
{
    SimulatorProcess sim({"1:DI590:main=100", "2:DI590:main=200,fault=silent,faultfrom=2",
                          "3:DI590:main=300,fault=garbage,faultfrom=2", "4:DI590:main=400"});
    ComPortCtrl ctrl;
    // Long enough for a healthy answer on a loaded machine: a healthy 'B' would fail the test.
    ctrl.setTimeout(0.5);
    QCOMPARE(sim.open(ctrl), 0);
    MonitorCollection monitors;
    for (int id = 1; id <= 4; ++id)
        QCOMPARE(sync(monitors.create("DI590", "m", id, -1, true, true), ctrl), 0);
    const std::vector<MonitorBase *> &all = monitors.getMonitors();
    MonitorBase *healthy[] = {all[0], all[3]};
    MonitorBase *faulty[] = {all[1], all[2]};

    const auto checkHealthy = [&] {
        for (MonitorBase *monitor : healthy) {
            if (status(monitor) != 'N' || monitor->healthSnapshot().demoted)
                return false;
        }
        return true;
    };
    QElapsedTimer clock;
    clock.start();
    while (!faulty[0]->healthSnapshot().demoted || !faulty[1]->healthSnapshot().demoted) {
        QVERIFY(clock.elapsed() < 20000);
        pass(monitors, ctrl);
        QVERIFY(checkHealthy());
    }

    long long before[2] = {faulty[0]->healthSnapshot().exchanges,
                           faulty[1]->healthSnapshot().exchanges};
    const int passes = 12;
    for (int i = 0; i < passes; ++i) {
        pass(monitors, ctrl);
        // A retry that goes unanswered is the pass's reading: the outage is shown.
        for (MonitorBase *monitor : faulty)
            QCOMPARE(status(monitor), 'B');
        QVERIFY(checkHealthy());
    }
    // Retried after 1, 2 and 4 passes, not at every pass.
    for (int f = 0; f < 2; ++f) {
        const long long retries = faulty[f]->healthSnapshot().exchanges - before[f];
        QVERIFY2(retries >= 2 && retries <= 4, QByteArray::number(retries));
    }
    qDeleteAll(all);
}

void TestLineHealth::faultyInstrumentIsPromotedOnceItAnswers()
{
    SimulatorProcess sim(
        {"1:DI590:main=100", "2:DI590:main=200,fault=silent,faultfrom=2,faultfor=3"});
    ComPortCtrl ctrl;
    // Long enough for a healthy answer on a loaded machine.
    ctrl.setTimeout(0.5);
    QCOMPARE(sim.open(ctrl), 0);
    MonitorCollection monitors;
    MonitorBase *healthy = monitors.create("DI590", "a", 1, -1, true, true);
    MonitorBase *faulty = monitors.create("DI590", "b", 2, -1, true, true);
    QCOMPARE(sync(healthy, ctrl), 0);
    QCOMPARE(sync(faulty, ctrl), 0);

    // Passes at a short interval, as the poll timer makes them.
    bool demoted = false;
    QElapsedTimer clock;
    clock.start();
    while (!demoted || status(faulty) != 'N') {
        QVERIFY2(clock.elapsed() < 20000, "not promoted");
        pass(monitors, ctrl);
        QCOMPARE(status(healthy), 'N');
        demoted = demoted || faulty->healthSnapshot().demoted;
        QTest::qWait(100);
    }
    QVERIFY(!faulty->healthSnapshot().demoted);
    QVERIFY(faulty->isSynced());
    QCOMPARE(faulty->snapshot().result("DO").value, 2.0f);
    qDeleteAll(monitors.getMonitors());
}

void TestLineHealth::operatorSyncTriesADemotedInstrumentAtOnce()
{
    SimulatorProcess sim({"1:DI590:main=100,fault=silent,faultfor=4"});
    ComPortCtrl ctrl;
    ctrl.setTimeout(0.2);
    QCOMPARE(sim.open(ctrl), 0);
    MonitorCollection monitors;
    MonitorBase *monitor = monitors.create("DI590", "a", 1, -1, true, true);
    // The detail panel asks for a sync after each pass while the monitor is unsynced.
    for (int i = 0; i < LineHealth::demoteAfter; ++i) {
        pass(monitors, ctrl);
        QCOMPARE(sync(monitor, ctrl), -1);
    }
    QVERIFY(monitor->healthSnapshot().demoted);
    const SyncFailure reason = monitor->lastSyncFailure();
    QCOMPARE(reason.kind, SyncFailure::NoAnswer);

    // The panel's sync at the next pass is answered without an exchange, keeping the reason.
    const long long exchanges = monitor->healthSnapshot().exchanges;
    pass(monitors, ctrl);
    QCOMPARE(sync(monitor, ctrl), -1);
    QCOMPARE(monitor->healthSnapshot().exchanges, exchanges);
    QCOMPARE(monitor->lastSyncFailure(), reason);

    // 同步 goes on the wire each time, and promotes once the instrument answers.
    QTRY_VERIFY_WITH_TIMEOUT((monitor->lineHealth().tryNow(), sync(monitor, ctrl) == 0), 10000);
    QVERIFY(monitor->healthSnapshot().exchanges > exchanges);
    QVERIFY(!monitor->healthSnapshot().demoted);
    pass(monitors, ctrl);
    QCOMPARE(status(monitor), 'N');
    qDeleteAll(monitors.getMonitors());
}

void TestLineHealth::statisticsCountExchangesBytesAndPasses()
{
    SimulatorProcess sim({"1:DI590:main=100", "2:DO580:main=800,fault=exception"});
    ComPortCtrl ctrl;
    ctrl.setTimeout(0.2);
    QCOMPARE(sim.open(ctrl), 0);
    MonitorCollection monitors;
    MonitorBase *good = monitors.create("DI590", "a", 1, -1, true, true);
    MonitorBase *refusing = monitors.create("DO580", "b", 2, -1, true, true);
    QCOMPARE(sync(good, ctrl), 0);
    QCOMPARE(sync(refusing, ctrl), -1);
    QCOMPARE(refusing->lastSyncFailure().kind, SyncFailure::ExceptionAnswer);
    good->lineHealth().reset();
    ctrl.statistics().reset();

    const int passes = 5;
    for (int i = 0; i < passes; ++i)
        pass(monitors, ctrl);
    const InstrumentHealth health = good->healthSnapshot();
    QCOMPARE(health.exchanges, (long long)passes);
    QVERIFY(health.lastResponseMs >= 0 && health.medianResponseMs <= health.maxResponseMs);

    const LineFigures line = ctrl.statistics().snapshot();
    QCOMPARE(line.passes, (long long)passes);
    QVERIFY(line.lastPassMs >= 0 && line.medianPassMs <= line.maxPassMs);
    // One request of 8 bytes a pass, an answer of 5 bytes and two for each word.
    const long long words = (long long)good->snapshot().sensors.size();
    QCOMPARE(line.bytesSent, 8LL * passes);
    QCOMPARE(line.bytesReceived, (5 + 2 * words) * passes);
    QVERIFY(!line.lost);
    // The unsynced one is not read, so it costs nothing more.
    QCOMPARE(refusing->healthSnapshot().exceptionAnswers, 1LL);
    qDeleteAll(monitors.getMonitors());
}

void TestLineHealth::countingOffLeavesDemotionAsItIs()
{
    // The same passes with counting on and off: an instrument that answers, falls silent for
    // long enough to be demoted, and answers again.
    const auto run = [](bool counting, QStringList &trace, InstrumentHealth &health,
                        LineFigures &line) {
        SimulatorProcess sim(
            {"1:DI590:main=100", "2:DI590:main=200,fault=burst,burstsilent=4,burstevery=12"});
        ComPortCtrl ctrl;
        ctrl.setTimeout(0.1);
        QCOMPARE(sim.open(ctrl), 0);
        MonitorCollection monitors;
        MonitorBase *healthy = monitors.create("DI590", "a", 1, -1, true, true);
        MonitorBase *faulty = monitors.create("DI590", "b", 2, -1, true, true);
        QCOMPARE(sync(healthy, ctrl), 0);
        QCOMPARE(sync(faulty, ctrl), 0);
        faulty->lineHealth().reset();
        ctrl.statistics().reset();
        LineStatistics::setCountingEnabled(counting);
        for (int i = 0; i < 24; ++i) {
            pass(monitors, ctrl);
            // The neighbour's status, the instrument's, whether it is demoted, its backoff.
            const InstrumentHealth now = faulty->healthSnapshot();
            trace << QString("%1%2%3%4")
                         .arg(status(healthy))
                         .arg(status(faulty))
                         .arg(now.demoted)
                         .arg(now.nextTryPasses);
        }
        LineStatistics::setCountingEnabled(true);
        health = faulty->healthSnapshot();
        line = ctrl.statistics().snapshot();
        qDeleteAll(monitors.getMonitors());
    };
    QStringList counted, uncounted;
    InstrumentHealth health;
    LineFigures line;
    run(true, counted, health, line);
    // Demoted, then promoted again; the neighbour read every time.
    QVERIFY2(counted.indexOf("NB11") >= 0 &&
                 counted.lastIndexOf("NN00") > counted.indexOf("NB11") &&
                 counted.filter(QRegularExpression("^N")).size() == counted.size(),
             qPrintable(counted.join(' ')));
    QVERIFY(health.noAnswer >= LineHealth::demoteAfter);
    run(false, uncounted, health, line);
    QCOMPARE(uncounted, counted);

    // Nothing of what the status view shows moved, except the passes the retries go by.
    QCOMPARE(health.exchanges, 0LL);
    QCOMPARE(health.noAnswer, 0LL);
    QCOMPARE(health.lastResponseMs, -1);
    QCOMPARE(health.lastGoodAnswerMs, 0LL);
    QCOMPARE(line.bytesSent, 0LL);
    QCOMPARE(line.lastPassMs, -1);
    QCOMPARE(line.passes, 24LL);
}

void TestLineHealth::lostDeviceIsReopenedAndModelsAreCheckedAgain()
{
    SimulatorProcess sim({"1:DI590:main=100"});
    ComPortCtrl ctrl;
    ctrl.setTimeout(0.2);
    QCOMPARE(sim.open(ctrl), 0);
    Client client;
    MonitorBase *monitor = client.monitors.create("DI590", "a", 1, -1, true, true);

    QMutex mutex;
    QThread thread;
    auto *reader = new ComPortReader(&mutex);
    QSignalSpy readDone(reader, &ComPortReader::signal_readDone);
    QSignalSpy syncDone(reader, &ComPortReader::signal_syncDone);
    QSignalSpy lost(reader, &ComPortReader::signal_lineLost);
    QSignalSpy restored(reader, &ComPortReader::signal_lineRestored);
    ThreadHandOff::start(reader, &thread);
    const auto read = [&] {
        const int before = readDone.count();
        QMetaObject::invokeMethod(reader,
                                  [&] { reader->read(client.readToken(), &ctrl, PassPlan()); });
        QTRY_COMPARE_WITH_TIMEOUT(readDone.count(), before + 1, 5000);
        ThreadHandOff::drain(reader);
    };
    const auto syncNow = [&] {
        QMetaObject::invokeMethod(reader, [&] { reader->sync(client.syncToken(), &ctrl); });
        QVERIFY(syncDone.wait(5000));
    };

    syncNow();
    read();
    QCOMPARE(status(monitor), 'N');

    sim.kill();
    read();
    QTRY_COMPARE(lost.count(), 1);
    QVERIFY(ctrl.statistics().snapshot().lost);
    QCOMPARE(status(monitor), 'B');
    // Passes go on without the port, and the instrument is not blamed.
    read();
    QCOMPARE(status(monitor), 'B');
    QVERIFY(!monitor->healthSnapshot().demoted);

    QVERIFY(sim.start());
    QVERIFY(restored.wait(10000));
    QVERIFY(!ctrl.statistics().snapshot().lost);
    // The first pass back reads at once, after one exchange that checks the model.
    const long long exchanges = monitor->healthSnapshot().exchanges;
    read();
    QCOMPARE(status(monitor), 'N');
    QCOMPARE(monitor->healthSnapshot().exchanges, exchanges + 2);
    read();
    QCOMPARE(monitor->healthSnapshot().exchanges, exchanges + 3);
    QCOMPARE(lost.count(), 1);

    QMetaObject::invokeMethod(reader, [&] { reader->closeLine(&ctrl, 1); });
    ThreadHandOff::drain(reader);
    ThreadHandOff::stop(reader, &thread);
    qDeleteAll(client.monitors.getMonitors());
}

QTEST_GUILESS_MAIN(TestLineHealth)
#include "tst_linehealth.moc"
