#include "instruments/monitorcollection.h"
#include "instruments/monitordi590.h"
#include "instruments/monitorro592.h"
#include "testsupport.h"

#include <QtTest>

// DI590 and RO592 against the simulator over a pseudo-terminal.
class TestMonitorDI590 : public QObject
{
    Q_OBJECT

private slots:
    void syncReadsSensorsAndRelays();
    void readsScaledValuesAndTexts();
    void unitChangesBringTheirOwnScale();
    void withoutTemperatureReadsOneWord();
    void ro592AlwaysHasTemperature();
    void anotherModelNeverSyncs();
    void unsyncedMonitorIsMarkedWithoutAsking();
};

void TestMonitorDI590::syncReadsSensorsAndRelays()
{
    SimulatorProcess sim({"3:DI590:unit=1,r0on=1,r0sp=1250,r0hy=50,r1on=0,r1sp=300,r1hy=20"});
    QVERIFY(sim.isReady());
    MonitorDI590 monitor("溶解氧一号", 3, true, true);
    QCOMPARE(monitor.sync(sim.context()), 0);

    const MonitorSnapshot snapshot = monitor.snapshot();
    QVERIFY(snapshot.synced);
    QCOMPARE(snapshot.sensors.size(), size_t(2));
    QCOMPARE(snapshot.sensors[0].factor, std::string("DO"));
    QCOMPARE(snapshot.sensors[0].unit, std::string("mg/L"));
    QCOMPARE(snapshot.sensors[0].decimals, 2);
    QCOMPARE(snapshot.sensors[1].factor, std::string("Temper"));
    QCOMPARE(snapshot.mainIndex, 0);
    QVERIFY(snapshot.relays[0].on);
    QCOMPARE(snapshot.relays[0].alarmPoint, 12.5f);
    QCOMPARE(snapshot.relays[0].hysteresis, 0.5f);
    QVERIFY(!snapshot.relays[1].on);
    QCOMPARE(snapshot.relays[1].alarmPoint, 3.0f);
    QCOMPARE(snapshot.relays[1].hysteresis, 0.2f);
    for (const RelaySnapshot &relay : snapshot.relays) {
        QVERIFY(relay.sensor.has_value());
        QCOMPARE(relay.sensor->factor, std::string("DO"));
    }
}

void TestMonitorDI590::readsScaledValuesAndTexts()
{
    SimulatorProcess sim({"3:DI590:main=850,temper=0xFF9C"});
    MonitorDI590 monitor("DI590#3", 3, true, true);
    QCOMPARE(monitor.sync(sim.context()), 0);
    QCOMPARE(monitor.read(sim.context()), 0);

    const MonitorSnapshot snapshot = monitor.snapshot();
    QCOMPARE(snapshot.result("DO").value, 8.5f);
    QCOMPARE(snapshot.result("DO").status, 'N');
    QCOMPARE(snapshot.sensors[0].valueText(snapshot.result("DO").value), std::string("8.50"));
    QCOMPARE(snapshot.result("Temper").value, -10.0f);
    QCOMPARE(snapshot.result("Temper").status, 'N');
    QCOMPARE(snapshot.sensors[1].valueText(snapshot.result("Temper").value), std::string("-10.0"));
}

void TestMonitorDI590::unitChangesBringTheirOwnScale()
{
    SimulatorProcess percent({"3:DI590:unit=2,main=850,r0sp=900"});
    SimulatorProcess ppm({"3:DI590:unit=0,main=850,r0sp=900"});
    SimulatorProcess mgl({"3:DI590:unit=1,main=850,r0sp=900"});
    MonitorDI590 monitor("DI590#3", 3, true, true);
    struct Step
    {
        SimulatorProcess *sim;
        const char *unit;
        int decimals;
        float value;
        const char *text;
        float alarmPoint;
    };
    // Back from % to a concentration, the hundredths come back with the unit.
    const Step steps[] = {{&percent, "%", 1, 85.0f, "85.0", 90.0f},
                          {&ppm, "ppm", 2, 8.5f, "8.50", 9.0f},
                          {&percent, "%", 1, 85.0f, "85.0", 90.0f},
                          {&mgl, "mg/L", 2, 8.5f, "8.50", 9.0f}};
    for (const Step &step : steps) {
        QCOMPARE(monitor.sync(step.sim->context()), 0);
        QCOMPARE(monitor.read(step.sim->context()), 0);
        const MonitorSnapshot snapshot = monitor.snapshot();
        QCOMPARE(snapshot.sensors[0].unit, std::string(step.unit));
        QCOMPARE(snapshot.sensors[0].decimals, step.decimals);
        QCOMPARE(snapshot.result("DO").value, step.value);
        QCOMPARE(snapshot.sensors[0].valueText(snapshot.result("DO").value),
                 std::string(step.text));
        QCOMPARE(snapshot.relays[0].alarmPoint, step.alarmPoint);
    }
}

void TestMonitorDI590::withoutTemperatureReadsOneWord()
{
    SimulatorProcess sim({"4:DI590:temp=1,main=700"});
    MonitorDI590 monitor("DI590#4", 4, true, true);
    QCOMPARE(monitor.sync(sim.context()), 0);
    QCOMPARE(monitor.read(sim.context()), 0);

    const MonitorSnapshot snapshot = monitor.snapshot();
    QCOMPARE(snapshot.sensors.size(), size_t(1));
    QCOMPARE(snapshot.sensors[0].factor, std::string("DO"));
    QCOMPARE(snapshot.result("DO").value, 7.0f);
    QCOMPARE(snapshot.results.count("Temper"), size_t(0));
}

void TestMonitorDI590::ro592AlwaysHasTemperature()
{
    // 0x3008 says no temperature, but an RO592 does not read it.
    SimulatorProcess sim({"5:RO592:temp=0,main=1234,temper=215"});
    MonitorCollection collection;
    MonitorBase *monitor = collection.create("RO592", "RO592#5", 5, -1, true, true);
    QVERIFY(monitor);
    QCOMPARE(monitor->getModel(), std::string("RO592"));
    QCOMPARE(monitor->sync(sim.context()), 0);
    QCOMPARE(monitor->read(sim.context()), 0);

    const MonitorSnapshot snapshot = monitor->snapshot();
    QCOMPARE(snapshot.sensors.size(), size_t(2));
    QCOMPARE(snapshot.result("DO").value, 12.34f);
    QCOMPARE(snapshot.result("Temper").value, 21.5f);
    delete monitor;
}

void TestMonitorDI590::anotherModelNeverSyncs()
{
    SimulatorProcess sim({"6:RO592", "7:DI590:model=RO592"});
    for (int id : {6, 7}) {
        MonitorDI590 monitor("DI590", id, true, true);
        QCOMPARE(monitor.sync(sim.context()), -2);
        const MonitorSnapshot snapshot = monitor.snapshot();
        QVERIFY(!snapshot.synced);
        QVERIFY(snapshot.sensors.empty());
        QCOMPARE(monitor.read(sim.context()), -1);
        QCOMPARE(monitor.snapshot().result("DO").status, 'F');
    }
}

void TestMonitorDI590::unsyncedMonitorIsMarkedWithoutAsking()
{
    MonitorDI590 monitor("DI590", 1, true, true);
    QCOMPARE(monitor.read(nullptr), -1);
    const MonitorSnapshot snapshot = monitor.snapshot();
    QCOMPARE(snapshot.results.size(), size_t(2));
    for (const auto &entry : snapshot.results) {
        QCOMPARE(entry.second.status, 'F');
        QCOMPARE(entry.second.value, 0.0f);
    }
}

QTEST_GUILESS_MAIN(TestMonitorDI590)
#include "tst_monitordi590.moc"
