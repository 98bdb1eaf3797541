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

#include <QMutex>
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

QTEST_GUILESS_MAIN(TestComPortReader)
#include "tst_comportreader.moc"
