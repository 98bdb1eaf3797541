#include "instruments/monitorcollection.h"
#include "instruments/monitordi590.h"
#include "line/comportctrl.h"
#include "testsupport.h"

#include <QElapsedTimer>
#include <QtTest>

#include <memory>
#include <thread>

// What every model shares: failed exchanges, faulty instruments, addressing and the
// monitor's lock between the reader thread and the interface thread.
class TestMonitorBase : public QObject
{
    Q_OBJECT

private slots:
    void faultyInstrumentReadsAsFailed_data();
    void faultyInstrumentReadsAsFailed();
    void faultyInstrumentNeverSyncs_data();
    void faultyInstrumentNeverSyncs();
    void failedSyncKeepsItsCauseUntilASyncSucceeds_data();
    void failedSyncKeepsItsCauseUntilASyncSucceeds();
    void lateAnswerIsNeverTakenForAnotherInstruments();
    void closedLineFailsLikeASilentInstrument();
    void idsOutsideTheBusRangeAreNeverAddressed();
    void clearingSyncedDuringASyncWins();
    void modelIsCheckedAgainBeforeTheFirstReadingOfAReopenedLine();
    void snapshotsStayConsistentWhileTheReaderWorks();

private:
    // Syncs monitors 1..count on a healthy chain of DI590s.
    static bool syncAll(MonitorCollection &collection, int count);
};

bool TestMonitorBase::syncAll(MonitorCollection &collection, int count)
{
    QStringList chain;
    for (int id = 1; id <= count; ++id)
        chain << QString("%1:DI590").arg(id);
    SimulatorProcess healthy(chain);
    for (int id = 1; id <= count; ++id) {
        MonitorBase *monitor = collection.create("DI590", "DI590", id, -1, true, true);
        if (monitor->sync(healthy.context()) != 0)
            return false;
    }
    return true;
}

void TestMonitorBase::faultyInstrumentReadsAsFailed_data()
{
    QTest::addColumn<QString>("fault");
    for (const char *fault : {"silent", "crc", "exception", "garbage"})
        QTest::newRow(fault) << fault;
}

void TestMonitorBase::faultyInstrumentReadsAsFailed()
{
    QFETCH(QString, fault);
    MonitorCollection collection;
    QVERIFY(syncAll(collection, 2));
    SimulatorProcess faulty({"1:DI590:fault=" + fault, "2:DI590:main=850,temper=100"});

    for (int pass = 0; pass < 2; ++pass) {
        collection.readAll(faulty.context());
        const MonitorSnapshot failed = collection.getMonitors()[0]->snapshot();
        for (const char *factor : {"DO", "Temper"}) {
            QCOMPARE(failed.result(factor).status, 'B');
            QCOMPARE(failed.result(factor).value, 0.0f);
        }
        // A failed reading does not unsync, and the line is clean for the next instrument.
        QVERIFY(failed.synced);
        const MonitorSnapshot next = collection.getMonitors()[1]->snapshot();
        QCOMPARE(next.result("DO").status, 'N');
        QCOMPARE(next.result("DO").value, 8.5f);
    }

    // The next pass on a healthy line reads normally again.
    SimulatorProcess healthy({"1:DI590:main=420"});
    MonitorBase *monitor = collection.getMonitors()[0];
    QCOMPARE(monitor->read(healthy.context()), 0);
    QCOMPARE(monitor->snapshot().result("DO").status, 'N');
    QCOMPARE(monitor->snapshot().result("DO").value, 4.2f);
    qDeleteAll(collection.getMonitors());
}

void TestMonitorBase::faultyInstrumentNeverSyncs_data()
{
    faultyInstrumentReadsAsFailed_data();
}

void TestMonitorBase::faultyInstrumentNeverSyncs()
{
    QFETCH(QString, fault);
    SimulatorProcess faulty({"1:DI590:fault=" + fault});
    MonitorDI590 monitor("DI590", 1, true, true);
    QCOMPARE(monitor.sync(faulty.context()), -1);
    QVERIFY(!monitor.isSynced());
    QVERIFY(monitor.snapshot().sensors.empty());
}

void TestMonitorBase::failedSyncKeepsItsCauseUntilASyncSucceeds_data()
{
    QTest::addColumn<QString>("model");
    QTest::addColumn<QString>("instrument");
    QTest::addColumn<QString>("cause");
    QTest::newRow("silent") << "DI590"
                            << "1:DI590:fault=silent"
                            << "未同步：仪表无应答";
    for (const char *fault : {"crc", "length", "function"})
        QTest::newRow(fault) << "DI590" << QString("1:DI590:fault=") + fault
                             << "未同步：通讯出错（CRC 或帧错误）";
    QTest::newRow("exception") << "DO580"
                               << "1:DO580:fault=exception"
                               << "未同步：仪表返回异常码 4";
    QTest::newRow("another model") << "DI590"
                                   << "1:RO592"
                                   << "未同步：型号不符（仪表报告 RO592）";
    QTest::newRow("unprintable model name") << "RA550"
                                            << "1:RA550:model=R\tX"
                                            << "未同步：型号不符（仪表报告 R?X）";
    QTest::newRow("unknown variant") << "RA550"
                                     << "1:RA550:mode=0,variant=4"
                                     << "未同步：不支持的仪表配置";
}

void TestMonitorBase::failedSyncKeepsItsCauseUntilASyncSucceeds()
{
    QFETCH(QString, model);
    QFETCH(QString, instrument);
    QFETCH(QString, cause);
    MonitorCollection collection;
    std::unique_ptr<MonitorBase> monitor(
        collection.create(model.toStdString(), "m", 1, -1, true, true));
    QCOMPARE(monitor->lastSyncFailure().kind, SyncFailure::None);
    {
        SimulatorProcess faulty({instrument});
        QVERIFY(monitor->sync(faulty.context()) < 0);
        QCOMPARE(QString::fromStdString(monitor->lastSyncFailure().text()), cause);
        // A read does not change why the monitor is not synced.
        monitor->read(faulty.context());
        QCOMPARE(QString::fromStdString(monitor->lastSyncFailure().text()), cause);
    }
    SimulatorProcess healthy({"1:" + model});
    QCOMPARE(monitor->sync(healthy.context()), 0);
    QCOMPARE(monitor->lastSyncFailure().kind, SyncFailure::None);
    QVERIFY(monitor->lastSyncFailure().text().empty());
}

void TestMonitorBase::lateAnswerIsNeverTakenForAnotherInstruments()
{
    MonitorCollection collection;
    QVERIFY(syncAll(collection, 4));
    // Each instrument reports its own id, so any mix-up shows as a wrong value.
    SimulatorProcess chain({"1:DI590:fault=slow", "2:DI590:main=200,temper=20",
                            "3:DI590:main=300,temper=30", "4:DI590:main=400,temper=40"});

    for (int pass = 0; pass < 2; ++pass) {
        collection.readAll(chain.context());
        QCOMPARE(collection.getMonitors()[0]->snapshot().result("DO").status, 'B');
        for (int i = 1; i < 4; ++i) {
            const MonitorSnapshot snapshot = collection.getMonitors()[size_t(i)]->snapshot();
            const FactorResult result = snapshot.result("DO");
            QVERIFY(result.status == 'N' || result.status == 'B');
            if (result.status == 'N') {
                QCOMPARE(result.value, float(i + 1));
                QCOMPARE(snapshot.result("Temper").value, float(i + 1));
            }
        }
        // The late answer costs at most the exchange it lands in.
        QCOMPARE(collection.getMonitors()[2]->snapshot().result("DO").status, 'N');
        QCOMPARE(collection.getMonitors()[3]->snapshot().result("DO").status, 'N');
    }
    qDeleteAll(collection.getMonitors());
}

void TestMonitorBase::closedLineFailsLikeASilentInstrument()
{
    MonitorCollection collection;
    QVERIFY(syncAll(collection, 1));
    MonitorBase *monitor = collection.getMonitors()[0];
    QCOMPARE(monitor->read(nullptr), -1);
    QCOMPARE(monitor->snapshot().result("DO").status, 'B');
    QCOMPARE(monitor->sync(nullptr), -1);
    QVERIFY(!monitor->isSynced());
    QCOMPARE(monitor->lastSyncFailure().kind, SyncFailure::LineClosed);
    delete monitor;
}

void TestMonitorBase::idsOutsideTheBusRangeAreNeverAddressed()
{
    SimulatorProcess sim({"247:DI590"});
    MonitorDI590 last("DI590", 247, true, true);
    // 0 is the broadcast address; above 247 the library keeps the previous slave, and the
    // monitor would read instrument 247 in its place.
    for (int id : {0, 248, 300, -1}) {
        QCOMPARE(last.sync(sim.context()), 0);
        MonitorDI590 outside("DI590", id, true, true);
        QCOMPARE(outside.sync(sim.context()), -1);
        QVERIFY(!outside.isSynced());
    }
}

void TestMonitorBase::clearingSyncedDuringASyncWins()
{
    // At 1200 baud the three exchanges of a sync take about 0.7 s.
    SimulatorProcess sim({"1:DI590"}, {"--wire-time", "--baud", "1200"});
    ComPortCtrl ctrl;
    ctrl.setBaudrate(1200);
    QCOMPARE(sim.open(ctrl), 0);
    MonitorDI590 monitor("DI590", 1, true, true);
    int rc = 0;
    std::thread reader([&] { rc = monitor.sync(ctrl.getContext()); });
    // Once the sensors are known the relays are being read: switch the monitor off now.
    QElapsedTimer waited;
    waited.start();
    while (monitor.snapshot().sensors.empty() && waited.elapsed() < 5000)
        std::this_thread::yield();
    monitor.clearSynced();
    reader.join();
    QVERIFY(!monitor.snapshot().sensors.empty());
    QCOMPARE(rc, -1);
    QVERIFY(!monitor.isSynced());
}

void TestMonitorBase::modelIsCheckedAgainBeforeTheFirstReadingOfAReopenedLine()
{
    SimulatorProcess same({"1:DI590:main=725"});
    SimulatorProcess other({"1:RO592"});
    MonitorCollection collection;
    MonitorBase *monitor = collection.create("DI590", "a", 1, -1, true, true);
    QCOMPARE(monitor->sync(same.context()), 0);

    // The same model answers: one exchange more, then the reading.
    monitor->checkModelAgain();
    long long exchanges = monitor->healthSnapshot().exchanges;
    QCOMPARE(monitor->read(same.context()), 0);
    QCOMPARE(monitor->healthSnapshot().exchanges, exchanges + 2);
    QCOMPARE(monitor->snapshot().result("DO").status, 'N');
    exchanges = monitor->healthSnapshot().exchanges;
    QCOMPARE(monitor->read(same.context()), 0);
    QCOMPARE(monitor->healthSnapshot().exchanges, exchanges + 1);

    // Unanswered, the check waits for the next reading; another model unsyncs the monitor
    // with the reason, and nothing it sent is taken for a reading.
    monitor->checkModelAgain();
    QCOMPARE(monitor->read(nullptr), -1);
    QCOMPARE(monitor->snapshot().result("DO").status, 'B');
    QVERIFY(monitor->isSynced());
    QCOMPARE(monitor->read(other.context()), -1);
    QVERIFY(!monitor->isSynced());
    QCOMPARE(monitor->lastSyncFailure().kind, SyncFailure::OtherModel);
    QCOMPARE(monitor->lastSyncFailure().reportedModel, std::string("RO592"));
    QCOMPARE(monitor->snapshot().result("DO").status, 'F');
    QCOMPARE(monitor->healthSnapshot().otherModel, 1LL);
    delete monitor;
}

void TestMonitorBase::snapshotsStayConsistentWhileTheReaderWorks()
{
    SimulatorProcess percent({"1:DI590:unit=2,main=500"});
    MonitorDI590 monitor("DI590", 1, true, true);
    std::atomic<bool> done{false};
    std::thread reader([&] {
        for (int i = 0; i < 40; ++i) {
            monitor.sync(percent.context());
            monitor.read(percent.context());
        }
        done = true;
    });
    int synced = 0;
    while (!done) {
        const MonitorSnapshot snapshot = monitor.snapshot();
        if (!snapshot.synced)
            continue;
        ++synced;
        QCOMPARE(snapshot.sensors.size(), size_t(2));
        QCOMPARE(snapshot.mainIndex, 0);
        QCOMPARE(snapshot.sensors[0].unit, std::string("%"));
        QCOMPARE(snapshot.sensors[0].decimals, 1);
        QCOMPARE(snapshot.relays[0].sensor->decimals, 1);
        const FactorResult result = snapshot.result("DO");
        QVERIFY(result.status == 0 || (result.status == 'N' && result.value == 50.0f));
    }
    reader.join();
    QVERIFY(synced > 0);
}

QTEST_GUILESS_MAIN(TestMonitorBase)
#include "tst_monitorbase.moc"
