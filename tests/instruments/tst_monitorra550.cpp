#include "instruments/monitorra550.h"
#include "testsupport.h"

#include <QtTest>

// The RA550's chlorine and ozone variants against the simulator.
class TestMonitorRA550 : public QObject
{
    Q_OBJECT

private slots:
    void variantChoosesSensorAndScale_data();
    void variantChoosesSensorAndScale();
    void unknownVariantFailsTheSync_data();
    void unknownVariantFailsTheSync();
    void temperatureFollowsWord3008();
};

void TestMonitorRA550::variantChoosesSensorAndScale_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("variant");
    QTest::addColumn<QString>("factor");
    QTest::addColumn<float>("maximum");
    QTest::addColumn<QString>("text");
    QTest::addColumn<float>("alarmPoint");
    QTest::newRow("chlorine E2P2") << 0 << 0 << "RCL" << 20.0f << "12.34" << 1.5f;
    QTest::newRow("chlorine E3MA2") << 0 << 1 << "RCL" << 2.0f << "1.234" << 0.15f;
    QTest::newRow("chlorine E3MA20") << 0 << 2 << "RCL" << 20.0f << "12.34" << 1.5f;
    QTest::newRow("chlorine E3MA100") << 0 << 3 << "RCL" << 100.0f << "123.4" << 15.0f;
    QTest::newRow("ozone E2P2") << 1 << 0 << "O3" << 20.0f << "12.34" << 1.5f;
    QTest::newRow("ozone E3MA20") << 7 << 1 << "O3" << 20.0f << "12.34" << 1.5f;
}

void TestMonitorRA550::variantChoosesSensorAndScale()
{
    QFETCH(int, mode);
    QFETCH(int, variant);
    QFETCH(QString, factor);
    QFETCH(float, maximum);
    QFETCH(QString, text);
    QFETCH(float, alarmPoint);
    SimulatorProcess sim(
        {QString("3:RA550:mode=%1,variant=%2,main=1234,r0sp=150").arg(mode).arg(variant)});
    MonitorRA550 monitor("RA550#3", 3, true, true);
    QCOMPARE(monitor.sync(sim.context()), 0);
    QCOMPARE(monitor.read(sim.context()), 0);

    const MonitorSnapshot snapshot = monitor.snapshot();
    QCOMPARE(snapshot.sensors.size(), size_t(2));
    const SensorBase *sensor = snapshot.mainSensor();
    QVERIFY(sensor);
    QCOMPARE(QString::fromStdString(sensor->factor), factor);
    QCOMPARE(sensor->maximum, maximum);
    const FactorResult result = snapshot.result(factor.toStdString());
    QCOMPARE(result.status, 'N');
    QCOMPARE(QString::fromStdString(sensor->valueText(result.value)), text);
    QCOMPARE(snapshot.relays[0].alarmPoint, alarmPoint);
    QCOMPARE(snapshot.relays[0].sensor->maximum, maximum);
}

void TestMonitorRA550::unknownVariantFailsTheSync_data()
{
    QTest::addColumn<QString>("configuration");
    QTest::newRow("chlorine variant 4") << "mode=0,variant=4";
    QTest::newRow("ozone variant 2") << "mode=1,variant=2";
    QTest::newRow("variant 0xFFFF") << "mode=0,variant=0xFFFF";
}

void TestMonitorRA550::unknownVariantFailsTheSync()
{
    QFETCH(QString, configuration);
    SimulatorProcess sim({"4:RA550:" + configuration});
    MonitorRA550 monitor("RA550#4", 4, true, true);
    QCOMPARE(monitor.sync(sim.context()), -1);
    QVERIFY(!monitor.isSynced());
    QVERIFY(monitor.snapshot().sensors.empty());
    QCOMPARE(monitor.read(sim.context()), -1);
}

void TestMonitorRA550::temperatureFollowsWord3008()
{
    SimulatorProcess sim({"5:RA550:temp=1,main=50", "6:RA550:temp=2,main=50,temper=180"});
    MonitorRA550 without("without", 5, true, true);
    QCOMPARE(without.sync(sim.context()), 0);
    QCOMPARE(without.read(sim.context()), 0);
    QCOMPARE(without.snapshot().sensors.size(), size_t(1));
    QCOMPARE(without.snapshot().results.count("Temper"), size_t(0));

    MonitorRA550 with("with", 6, true, true);
    QCOMPARE(with.sync(sim.context()), 0);
    QCOMPARE(with.read(sim.context()), 0);
    QCOMPARE(with.snapshot().sensors.size(), size_t(2));
    QCOMPARE(with.snapshot().result("Temper").value, 18.0f);
}

QTEST_GUILESS_MAIN(TestMonitorRA550)
#include "tst_monitorra550.moc"
