// The acquisition cycle without widgets: the reader on its own thread, the poll scheduler,
// and small clients doing what the monitor list and the detail panels do with a pass.
#include "acquisition/threadhandoff.h"
#include "instruments/monitorbase.h"
#include "instruments/monitorcollection.h"
#include "line/comportctrl.h"
#include "line/comportreader.h"
#include "line/pollscheduler.h"
#include "line/readclient.h"
#include "line/syncclient.h"
#include "testsupport.h"

#include <QElapsedTimer>
#include <QMutex>
#include <QSignalSpy>
#include <QThread>
#include <QtTest>

#include <memory>
#include <mutex>

namespace {

// What the reader thread did, in order.
class Journal
{
public:
    void add(const QString &entry)
    {
        std::lock_guard<std::mutex> guard(lock);
        entries << entry;
    }
    QStringList all() const
    {
        std::lock_guard<std::mutex> guard(lock);
        return entries;
    }

private:
    mutable std::mutex lock;
    QStringList entries;
};

} // namespace

// The serial port panel's part: the line, its mutex, the reader thread and the relays.
class Line : public QObject
{
    Q_OBJECT

public:
    Line() : reader(new ComPortReader(&mutex))
    {
        connect(this, &Line::signal_read, reader, &ComPortReader::read);
        connect(this, &Line::signal_sync, reader, &ComPortReader::sync);
        // As the panel does: a reconnection still running is stopped on the reader thread.
        connect(&thread, &QThread::finished, reader, &ComPortReader::stopReconnecting,
                Qt::DirectConnection);
        ThreadHandOff::start(reader, &thread);
    }
    ~Line() override { stop(); }

    void stop()
    {
        if (reader)
            ThreadHandOff::stop(reader, &thread);
        reader = nullptr;
    }
    bool switchOn(const QString &port)
    {
        ctrl.setPort(port.toUtf8().constData());
        int result;
        {
            HandOffLocker locker(&mutex);
            result = ctrl.open();
        }
        emit signal_comPort(result == 0);
        return result == 0;
    }
    // A gateway line on the simulator's port of 127.0.0.1.
    bool switchOnGateway(int port, double timeout = ComPortCtrl::defaultTimeout)
    {
        ctrl.setType(ComPortCtrl::Tcp);
        ctrl.setHost("127.0.0.1");
        ctrl.setTcpPort(port);
        ctrl.setTimeout(timeout);
        return switchOn(QString());
    }
    void switchOff()
    {
        {
            HandOffLocker locker(&mutex);
            ctrl.close();
        }
        emit signal_comPort(false);
    }

    ComPortCtrl ctrl;
    QMutex mutex;
    QThread thread;
    ComPortReader *reader;

public slots:
    void on_read(void *client, const PassPlan &plan) { emit signal_read(client, &ctrl, plan); }
    void on_sync(void *client) { emit signal_sync(client, &ctrl); }

signals:
    void signal_comPort(bool on);
    void signal_read(void *client, ComPortCtrl *ctrl, const PassPlan &plan);
    void signal_sync(void *client, ComPortCtrl *ctrl);
};

// A detail panel's part: sync while unsynced, else show the snapshot's readings.
class Panel : public QObject, public SyncClient
{
    Q_OBJECT

public:
    Panel(MonitorBase *monitor, Journal &journal) : monitor(monitor), journal(journal)
    {
        monitor->views[0] = this;
    }
    void *token() { return static_cast<void *>(static_cast<SyncClient *>(this)); }

    void syncMonitor(modbus_t *context) override
    {
        journal.add(QStringLiteral("sync %1").arg(monitor->getId()));
        monitor->sync(context);
    }
    void showReading()
    {
        const MonitorSnapshot snapshot = monitor->snapshot();
        if (!snapshot.synced) {
            ++syncRequests;
            emit signal_sync(token());
            return;
        }
        QStringList row;
        for (const SensorBase &sensor : snapshot.sensors) {
            const FactorResult result = snapshot.result(sensor.factor);
            row << QString::fromStdString(sensor.factor + "=" + sensor.valueText(result.value)) +
                       "/" + QChar(result.status);
        }
        readings << row.join(' ');
    }

    MonitorBase *monitor;
    Journal &journal;
    int syncRequests = 0;
    int syncsDone = 0;
    QStringList readings;
    QStringList update;

public slots:
    void on_syncDone(void *client)
    {
        ThreadHandOff::acquire();
        if (client == token())
            ++syncsDone;
    }
    void slot_stopRead()
    {
        monitor->clearSynced();
        update = QStringList{"0", "", "B"};
    }

signals:
    void signal_sync(void *client);
};

// The monitor list's part: the collection, the scheduler and the after-pass walk.
class List : public QObject, public ReadClient
{
    Q_OBJECT

public:
    explicit List(Journal &journal) : scheduler(this), journal(journal)
    {
        connect(&scheduler, &PollScheduler::signal_read, this,
                [this](void *client, const PassPlan &plan) {
                    ++requested;
                    maxOutstanding = std::max(maxOutstanding, scheduler.outstanding());
                    emit signal_read(client, plan);
                });
    }
    void readAll(modbus_t *context, const PassPlan &plan) override
    {
        journal.add(QStringLiteral("read"));
        collection.readAll(context, plan);
    }

    MonitorCollection collection;
    PollScheduler scheduler;
    Journal &journal;
    int requested = 0;
    int maxOutstanding = 0;
    // Per pass, the main factor's status of every running monitor.
    QStringList passStatuses;

public slots:
    void on_comPort(bool on)
    {
        if (on) {
            scheduler.start(collection.getInterval());
        } else {
            scheduler.stop();
            emit signal_stopRead();
        }
    }
    void on_readDone()
    {
        ThreadHandOff::acquire();
        QStringList statuses;
        for (MonitorBase *monitor : collection.getMonitors()) {
            if (!monitor->isRunning())
                continue;
            const MonitorSnapshot snapshot = monitor->snapshot();
            const SensorBase *main = snapshot.mainSensor();
            statuses << QChar(snapshot.result(main ? main->factor : "DO").status);
            static_cast<Panel *>(monitor->views[0])->showReading();
        }
        passStatuses << statuses.join(' ');
        scheduler.passDone();
    }

signals:
    void signal_read(void *client, const PassPlan &plan);
    void signal_stopRead();
};

// The three parts wired as the station wires its panels.
class Station
{
public:
    Station()
    {
        QObject::connect(&line, &Line::signal_comPort, &list, &List::on_comPort);
        QObject::connect(&list, &List::signal_read, &line, &Line::on_read);
        QObject::connect(line.reader, &ComPortReader::signal_readDone, &list, &List::on_readDone);
        list.collection.setInterval(1);
    }
    ~Station()
    {
        line.stop();
        qDeleteAll(list.collection.getMonitors());
    }

    Panel &add(const char *model, int id, bool running = true)
    {
        MonitorBase *monitor = list.collection.create(model, model, id, -1, running, false);
        panels.push_back(std::make_unique<Panel>(monitor, journal));
        Panel *panel = panels.back().get();
        QObject::connect(panel, &Panel::signal_sync, &line, &Line::on_sync);
        QObject::connect(line.reader, &ComPortReader::signal_syncDone, panel, &Panel::on_syncDone);
        QObject::connect(&list, &List::signal_stopRead, panel, &Panel::slot_stopRead);
        return *panel;
    }
    // Every request queued so far has run and been answered.
    void settle()
    {
        QTRY_COMPARE_WITH_TIMEOUT(list.scheduler.outstanding(), 0, 20000);
        ThreadHandOff::drain(line.reader);
        QCoreApplication::processEvents();
    }

    Journal journal;
    List list{journal};
    std::vector<std::unique_ptr<Panel>> panels;
    Line line;
};

class TestComPortReader : public QObject
{
    Q_OBJECT

private slots:
    void firstPassSyncsThenValuesFollow();
    void switchingOffStopsPollingAndUnsyncs();
    void silentInstrumentStaysSyncedWithB();
    void switchedOffMonitorIsNeitherReadNorSynced();
    void slowPassesKeepOnePassWaiting();
    void gatewayLinePollsByUnitId();
    void gatewayKilledIsLostThenBackWithReadings();
    void silentGatewayTimesOutWithoutLosingTheLine();
    void otherUnitsAnswerIsNeverTaken();
    void gatewayClosingAfterEachAnswerIsReconnectedAtOnce();
    void gatewayDroppingEveryRequestBecomesLostWithoutHanging();
    void hugeAnswerIsRefusedAndTheStreamResynchronised();
};

void TestComPortReader::firstPassSyncsThenValuesFollow()
{
    // Id 1 answers another model, id 2 works, id 3 is absent.
    SimulatorProcess sim({"1:RO592", "2:DI590:main=725,temper=253"});
    QVERIFY(sim.isReady());
    Station station;
    Panel &first = station.add("DI590", 1);
    Panel &second = station.add("DI590", 2);
    Panel &third = station.add("DI590", 3);

    QVERIFY(station.line.switchOn(sim.linkPath()));
    QVERIFY(station.list.scheduler.isActive());
    QTRY_VERIFY_WITH_TIMEOUT(second.readings.size() >= 1, 15000);

    // The first pass asks nobody and marks everyone 'F'; the syncs it asks for run before
    // the next pass, which shows values for the one monitor that synced.
    QCOMPARE(station.list.passStatuses.mid(0, 2), QStringList({"F F F", "F N F"}));
    QCOMPARE(station.journal.all().mid(0, 5),
             QStringList({"read", "sync 1", "sync 2", "sync 3", "read"}));
    QCOMPARE(second.readings.first(), QString("DO=7.25/N Temper=25.3/N"));
    QCOMPARE(second.syncRequests, 1);
    QCOMPARE(second.syncsDone, 1);
    // The others stay unsynced, show nothing and ask again after every pass.
    for (Panel *panel : {&first, &third}) {
        QVERIFY(panel->readings.isEmpty());
        QCOMPARE(panel->syncRequests, station.list.passStatuses.size());
        QVERIFY(!panel->monitor->isSynced());
    }
    station.line.switchOff();
    station.settle();
}

void TestComPortReader::switchingOffStopsPollingAndUnsyncs()
{
    SimulatorProcess sim({"1:DI590:main=725,temper=253"});
    QVERIFY(sim.isReady());
    Station station;
    Panel &panel = station.add("DI590", 1);
    station.list.collection.setInterval(0); // polls every second

    QVERIFY(station.line.switchOn(sim.linkPath()));
    QTRY_VERIFY_WITH_TIMEOUT(panel.readings.size() >= 2, 10000);
    station.line.switchOff();
    QVERIFY(!station.list.scheduler.isActive());
    QVERIFY(!panel.monitor->isSynced());
    QCOMPARE(panel.update, QStringList({"0", "", "B"}));
    station.settle();
    QVERIFY(!panel.monitor->isSynced());

    // The next switch-on starts with a sync again and shows values after it.
    const int shown = panel.readings.size();
    QVERIFY(station.line.switchOn(sim.linkPath()));
    QTRY_VERIFY_WITH_TIMEOUT(panel.readings.size() > shown, 10000);
    QCOMPARE(panel.syncRequests, 2);
    QCOMPARE(panel.readings.last(), QString("DO=7.25/N Temper=25.3/N"));

    // A pass still queued when the line closes runs without a line: the monitor is left
    // unsynced, and the scheduler is ready for the next switch-on.
    station.line.switchOff();
    QVERIFY(station.line.switchOn(sim.linkPath()));
    station.line.switchOff();
    station.settle();
    QVERIFY(!panel.monitor->isSynced());
    QVERIFY(station.line.switchOn(sim.linkPath()));
    QCOMPARE(station.list.scheduler.outstanding(), 1);
    QTRY_VERIFY_WITH_TIMEOUT(panel.monitor->isSynced(), 10000);
    station.line.switchOff();
    station.settle();
}

void TestComPortReader::silentInstrumentStaysSyncedWithB()
{
    SimulatorProcess sim({"1:DI590:main=725,temper=253", "2:DI590:main=500"});
    QVERIFY(sim.isReady());
    Station station;
    Panel &first = station.add("DI590", 1);
    Panel &second = station.add("DI590", 2);
    QVERIFY(station.line.switchOn(sim.linkPath()));
    QTRY_VERIFY_WITH_TIMEOUT(first.readings.size() >= 1 && second.readings.size() >= 1, 10000);

    // The device disappears: passes go on, every reading is 'B' with value 0, and the
    // monitors stay synced.
    // Passes that ended before or during the kill may still be on their way (the kill waits for
    // the process): three passes in a row after it.
    sim.kill();
    const QStringList failedPasses{"B B", "B B", "B B"};
    QTRY_VERIFY_WITH_TIMEOUT(
        station.list.passStatuses.mid(station.list.passStatuses.size() - 3) == failedPasses, 20000);
    QCOMPARE(first.readings.last(), QString("DO=0.00/B Temper=0.0/B"));
    QCOMPARE(second.readings.last(), QString("DO=0.00/B Temper=0.0/B"));
    QVERIFY(first.monitor->isSynced() && second.monitor->isSynced());
    QCOMPARE(first.syncRequests, 1);

    // Back again: switching off and on recovers.
    QVERIFY(sim.start());
    station.line.switchOff();
    station.settle();
    QVERIFY(station.line.switchOn(sim.linkPath()));
    QTRY_COMPARE_WITH_TIMEOUT(first.readings.last(), QString("DO=7.25/N Temper=25.3/N"), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(second.readings.last().startsWith("DO=5.00/N"), 10000);
    station.line.switchOff();
    station.settle();
}

void TestComPortReader::switchedOffMonitorIsNeitherReadNorSynced()
{
    SimulatorProcess sim({"1:DI590:main=725", "2:DI590:main=500"});
    QVERIFY(sim.isReady());
    Station station;
    Panel &on = station.add("DI590", 1);
    Panel &off = station.add("DI590", 2, false);
    QVERIFY(station.line.switchOn(sim.linkPath()));
    QTRY_VERIFY_WITH_TIMEOUT(on.readings.size() >= 2, 10000);
    QCOMPARE(off.syncRequests, 0);
    QVERIFY(off.readings.isEmpty());
    QVERIFY(!off.monitor->isSynced());
    QVERIFY(off.monitor->snapshot().results.empty());
    QVERIFY(!station.journal.all().contains("sync 2"));

    // Switched on while the line runs, it is synced and shown from the next passes on;
    // switched off again (which also unsyncs it), it drops out.
    off.monitor->setRunning(true);
    QTRY_VERIFY_WITH_TIMEOUT(off.readings.size() >= 1, 10000);
    QVERIFY2(off.readings.last().startsWith("DO=5.00/N Temper="), qPrintable(off.readings.last()));
    on.monitor->setRunning(false);
    on.monitor->clearSynced();
    const int shown = on.readings.size();
    const int passes = station.list.passStatuses.size();
    QTRY_VERIFY_WITH_TIMEOUT(station.list.passStatuses.size() >= passes + 2, 10000);
    QCOMPARE(on.readings.size(), shown);
    QCOMPARE(on.syncRequests, 1);
    station.line.switchOff();
    station.settle();
}

void TestComPortReader::slowPassesKeepOnePassWaiting()
{
    // Two synced monitors whose instruments have gone silent: each read waits for the
    // one-second timeout, so a pass takes over two intervals of one second.
    SimulatorProcess answering({"1:DI590", "2:DI590"});
    SimulatorProcess silent({"1:DI590:fault=silent", "2:DI590:fault=silent"});
    QVERIFY(answering.isReady() && silent.isReady());
    Station station;
    Panel &first = station.add("DI590", 1);
    Panel &second = station.add("DI590", 2);
    QCOMPARE(first.monitor->sync(answering.context()), 0);
    QCOMPARE(second.monitor->sync(answering.context()), 0);

    QVERIFY(station.line.switchOn(silent.linkPath()));
    QTRY_VERIFY_WITH_TIMEOUT(station.list.passStatuses.size() >= 3, 30000);
    station.line.switchOff();
    station.settle();
    // Ticks that found a pass waiting asked for nothing: every pass asked for has run,
    // none was waiting behind another.
    QCOMPARE(station.list.maxOutstanding, 1);
    QCOMPARE(station.list.requested, station.list.passStatuses.size());
    QCOMPARE(station.journal.all().count("read"), station.list.requested);
    QCOMPARE(station.list.passStatuses.first(), QString("B B"));
}

void TestComPortReader::gatewayLinePollsByUnitId()
{
    SimulatorProcess sim({"1:DI590:main=725,temper=253", "5:DI590:main=500"}, {},
                         SimulatorProcess::Gateway);
    QVERIFY(sim.isReady());
    Station station;
    Panel &first = station.add("DI590", 1);
    Panel &fifth = station.add("DI590", 5);
    Panel &absent = station.add("DI590", 9);
    QVERIFY(station.line.switchOnGateway(sim.tcpPort(), 0.3));
    QTRY_VERIFY_WITH_TIMEOUT(first.readings.size() >= 2 && fifth.readings.size() >= 2, 15000);
    QCOMPARE(first.readings.last(), QString("DO=7.25/N Temper=25.3/N"));
    QVERIFY2(fifth.readings.last().startsWith("DO=5.00/N"), qPrintable(fifth.readings.last()));
    // An id the gateway has nothing behind stays unsynced; the line is not lost for it.
    QVERIFY(!absent.monitor->isSynced());
    QCOMPARE(absent.monitor->lastSyncFailure().kind, SyncFailure::NoAnswer);
    const LineFigures figures = station.line.ctrl.statistics().snapshot();
    QVERIFY(!figures.lost);
    QVERIFY(figures.bytesSent >= 12 * 6 && figures.bytesReceived > 0);
    station.line.switchOff();
    station.settle();
}

void TestComPortReader::gatewayKilledIsLostThenBackWithReadings()
{
    SimulatorProcess sim({"1:DI590:main=725,temper=253"}, {}, SimulatorProcess::Gateway);
    QVERIFY(sim.isReady());
    Station station;
    Panel &panel = station.add("DI590", 1);
    QSignalSpy lost(station.line.reader, &ComPortReader::signal_lineLost);
    QSignalSpy restored(station.line.reader, &ComPortReader::signal_lineRestored);
    QVERIFY(station.line.switchOnGateway(sim.tcpPort()));
    QTRY_VERIFY_WITH_TIMEOUT(panel.readings.size() >= 1, 10000);

    sim.kill();
    QVERIFY(lost.wait(10000));
    QTRY_COMPARE_WITH_TIMEOUT(panel.readings.last(), QString("DO=0.00/B Temper=0.0/B"), 10000);
    QVERIFY(panel.monitor->isSynced());

    // Back on the same port: reconnected within a reconnection period or two, the model
    // checked again, and values again without a new sync.
    QVERIFY(sim.start());
    QVERIFY(restored.wait(3 * ComPortReader::reconnectMs + 2000));
    QTRY_COMPARE_WITH_TIMEOUT(panel.readings.last(), QString("DO=7.25/N Temper=25.3/N"), 10000);
    QCOMPARE(panel.syncRequests, 1);
    QCOMPARE(lost.size(), 1);
    station.line.switchOff();
    station.settle();
}

void TestComPortReader::silentGatewayTimesOutWithoutLosingTheLine()
{
    SimulatorProcess answering({"1:DI590", "2:DI590"}, {}, SimulatorProcess::Gateway);
    SimulatorProcess silent({"1:DI590", "2:DI590"}, {"--tcp-fault", "silent"},
                            SimulatorProcess::Gateway);
    QVERIFY(answering.isReady() && silent.isReady());
    Station station;
    Panel &first = station.add("DI590", 1);
    Panel &second = station.add("DI590", 2);
    QCOMPARE(first.monitor->sync(answering.context()), 0);
    QCOMPARE(second.monitor->sync(answering.context()), 0);
    QSignalSpy lost(station.line.reader, &ComPortReader::signal_lineLost);

    QVERIFY(station.line.switchOnGateway(silent.tcpPort(), 0.2));
    QTRY_VERIFY_WITH_TIMEOUT(station.list.passStatuses.size() >= 3, 20000);
    station.line.switchOff();
    station.settle();
    for (const QString &pass : station.list.passStatuses)
        QCOMPARE(pass, QString("B B"));
    QCOMPARE(lost.size(), 0);
    QCOMPARE(first.monitor->lineHealth().snapshot().lastFailure.kind, SyncFailure::NoAnswer);
}

void TestComPortReader::otherUnitsAnswerIsNeverTaken()
{
    // The gateway hands a request for id 1 to id 2, whose answer comes back under id 2.
    const QStringList chain{"1:DI590:main=725,temper=253", "2:DI590:main=500,temper=100"};
    SimulatorProcess answering(chain, {}, SimulatorProcess::Gateway);
    SimulatorProcess misrouting(chain, {"--tcp-fault", "otherunit"}, SimulatorProcess::Gateway);
    QVERIFY(answering.isReady() && misrouting.isReady());
    Station station;
    Panel &first = station.add("DI590", 1);
    Panel &second = station.add("DI590", 2);
    Panel &unsynced = station.add("DI590", 1);
    QCOMPARE(first.monitor->sync(answering.context()), 0);
    QCOMPARE(second.monitor->sync(answering.context()), 0);

    QVERIFY(station.line.switchOnGateway(misrouting.tcpPort(), 0.3));
    QTRY_VERIFY_WITH_TIMEOUT(station.list.passStatuses.size() >= 3, 15000);
    station.line.switchOff();
    station.settle();
    QCOMPARE(first.readings.last(), QString("DO=0.00/B Temper=0.0/B"));
    QCOMPARE(second.readings.last(), QString("DO=0.00/B Temper=0.0/B"));
    QVERIFY(!first.readings.join(' ').contains("/N"));
    QCOMPARE(first.monitor->lineHealth().snapshot().lastFailure.kind, SyncFailure::FrameError);
    // Nor does a sync take the other instrument's configuration.
    QVERIFY(!unsynced.monitor->isSynced());
    QCOMPARE(unsynced.monitor->lastSyncFailure().kind, SyncFailure::FrameError);
    QVERIFY(!station.line.ctrl.statistics().snapshot().lost);
}

void TestComPortReader::gatewayClosingAfterEachAnswerIsReconnectedAtOnce()
{
    SimulatorProcess sim({"1:DI590:main=725,temper=253", "2:DI590:main=500"},
                         {"--tcp-fault", "close"}, SimulatorProcess::Gateway);
    QVERIFY(sim.isReady());
    Station station;
    Panel &first = station.add("DI590", 1);
    Panel &second = station.add("DI590", 2);
    QSignalSpy lost(station.line.reader, &ComPortReader::signal_lineLost);
    QVERIFY(station.line.switchOnGateway(sim.tcpPort()));
    QTRY_VERIFY_WITH_TIMEOUT(first.readings.size() >= 2 && second.readings.size() >= 2, 15000);
    station.line.switchOff();
    station.settle();
    QCOMPARE(first.readings.last(), QString("DO=7.25/N Temper=25.3/N"));
    QVERIFY(second.readings.last().startsWith("DO=5.00/N"));
    QCOMPARE(lost.size(), 0);
    // A reconnection per exchange, not a reconnection period: the passes stay short.
    QVERIFY2(station.line.ctrl.statistics().snapshot().maxPassMs < 500,
             qPrintable(QString::number(station.line.ctrl.statistics().snapshot().maxPassMs)));
}

void TestComPortReader::gatewayDroppingEveryRequestBecomesLostWithoutHanging()
{
    SimulatorProcess answering({"1:DI590", "2:DI590"}, {}, SimulatorProcess::Gateway);
    SimulatorProcess dropping({"1:DI590", "2:DI590"}, {"--tcp-fault", "drop"},
                              SimulatorProcess::Gateway);
    QVERIFY(answering.isReady() && dropping.isReady());
    Station station;
    Panel &first = station.add("DI590", 1);
    Panel &second = station.add("DI590", 2);
    QCOMPARE(first.monitor->sync(answering.context()), 0);
    QCOMPARE(second.monitor->sync(answering.context()), 0);
    QSignalSpy lost(station.line.reader, &ComPortReader::signal_lineLost);
    QVERIFY(station.line.switchOnGateway(dropping.tcpPort()));
    QVERIFY(lost.wait(10000));
    QTRY_VERIFY_WITH_TIMEOUT(station.list.passStatuses.size() >= 2, 10000);
    // Bounded: the first exchange gave up after a few connections, the rest of the pass
    // failed at once.
    QVERIFY(station.line.ctrl.statistics().snapshot().maxPassMs < 1000);
    QCOMPARE(station.list.passStatuses.first(), QString("B B"));
    QElapsedTimer switchingOff;
    switchingOff.start();
    station.line.switchOff();
    QVERIFY(switchingOff.elapsed() < 500);
    station.settle();
}

void TestComPortReader::hugeAnswerIsRefusedAndTheStreamResynchronised()
{
    // Every fifth answer is 64 KB long and carries, after the real answer, well-formed
    // answers to the next transactions with the value 0x0BAD (DO 29.89).
    SimulatorProcess sim({"1:DI590:main=725,temper=253", "2:DI590:main=500,temper=100"},
                         {"--tcp-fault", "huge"}, SimulatorProcess::Gateway);
    QVERIFY(sim.isReady());
    Station station;
    Panel &first = station.add("DI590", 1);
    Panel &second = station.add("DI590", 2);
    QVERIFY(station.line.switchOnGateway(sim.tcpPort(), 0.3));
    QTRY_VERIFY_WITH_TIMEOUT(first.readings.size() >= 5 && second.readings.size() >= 5, 30000);
    station.line.switchOff();
    station.settle();
    for (const QString &reading : first.readings)
        QVERIFY2(reading == "DO=7.25/N Temper=25.3/N" || reading == "DO=0.00/B Temper=0.0/B",
                 qPrintable(reading));
    for (const QString &reading : second.readings)
        QVERIFY2(reading == "DO=5.00/N Temper=10.0/N" || reading == "DO=0.00/B Temper=0.0/B",
                 qPrintable(reading));
    QVERIFY(first.readings.contains("DO=7.25/N Temper=25.3/N"));
    QVERIFY(second.readings.contains("DO=5.00/N Temper=10.0/N"));
    QVERIFY(!station.line.ctrl.statistics().snapshot().lost);
}

QTEST_GUILESS_MAIN(TestComPortReader)
#include "tst_comportreader.moc"
