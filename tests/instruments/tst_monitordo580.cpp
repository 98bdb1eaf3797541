#include "instruments/monitordo580.h"
#include "testsupport.h"

#include <QtTest>

// The DO580 in pH and ORP mode against the simulator.
class TestMonitorDO580 : public QObject
{
    Q_OBJECT

private slots:
    void phModeReadsPhAndTemperature();
    void plausibleRangesAreInclusive_data();
    void plausibleRangesAreInclusive();
    void orpModeNeverHasTemperature();
    void phModeWithoutTemperature();
};

void TestMonitorDO580::phModeReadsPhAndTemperature()
{
    SimulatorProcess sim({"8:DO580:mode=0,temp=2,main=725,temper=253,r0sp=850,r0hy=10"});
    MonitorDO580 monitor("DO580#8", 8, true, false);
    QCOMPARE(monitor.sync(sim.context()), 0);
    QCOMPARE(monitor.read(sim.context()), 0);

    const MonitorSnapshot snapshot = monitor.snapshot();
    QCOMPARE(snapshot.sensors.size(), size_t(2));
    QCOMPARE(snapshot.sensors[0].factor, std::string("pH"));
    QCOMPARE(snapshot.sensors[0].unit, std::string());
    QCOMPARE(snapshot.mainIndex, 0);
    QCOMPARE(snapshot.result("pH").value, 7.25f);
    QCOMPARE(snapshot.result("pH").status, 'N');
    QCOMPARE(snapshot.result("Temper").value, 25.3f);
    QCOMPARE(snapshot.relays[0].alarmPoint, 8.5f);
    QCOMPARE(snapshot.relays[0].hysteresis, 0.1f);
    QCOMPARE(snapshot.relays[0].sensor->factor, std::string("pH"));
}

void TestMonitorDO580::plausibleRangesAreInclusive_data()
{
    QTest::addColumn<QString>("instrument");
    QTest::addColumn<QString>("factor");
    QTest::addColumn<float>("value");
    QTest::addColumn<char>("status");
    QTest::newRow("pH 16.00") << "main=1600"
                              << "pH" << 16.0f << 'N';
    QTest::newRow("pH 17.00") << "main=1700"
                              << "pH" << 17.0f << 'F';
    QTest::newRow("pH -2.00") << "main=-200"
                              << "pH" << -2.0f << 'N';
    QTest::newRow("pH -2.01") << "main=-201"
                              << "pH" << -2.01f << 'F';
    QTest::newRow("temperature 130.0") << "temper=1300"
                                       << "Temper" << 130.0f << 'N';
    QTest::newRow("temperature 130.1") << "temper=1301"
                                       << "Temper" << 130.1f << 'F';
    QTest::newRow("temperature -30.1") << "temper=-301"
                                       << "Temper" << -30.1f << 'F';
    QTest::newRow("ORP 2000") << "mode=1,main=2000"
                              << "ORP" << 2000.0f << 'N';
    QTest::newRow("ORP -2001") << "mode=1,main=-2001"
                               << "ORP" << -2001.0f << 'F';
}

void TestMonitorDO580::plausibleRangesAreInclusive()
{
    QFETCH(QString, instrument);
    QFETCH(QString, factor);
    QFETCH(float, value);
    QFETCH(char, status);
    SimulatorProcess sim({"1:DO580:" + instrument});
    MonitorDO580 monitor("DO580#1", 1, true, true);
    QCOMPARE(monitor.sync(sim.context()), 0);
    QCOMPARE(monitor.read(sim.context()), 0);
    // An implausible value is kept beside its 'F'.
    const FactorResult result = monitor.snapshot().result(factor.toStdString());
    QCOMPARE(result.value, value);
    QCOMPARE(result.status, status);
}

void TestMonitorDO580::orpModeNeverHasTemperature()
{
    SimulatorProcess sim({"9:DO580:mode=1,temp=5,main=-1234,temper=250,r1sp=-300"});
    MonitorDO580 monitor("ORP", 9, true, true);
    QCOMPARE(monitor.sync(sim.context()), 0);
    QCOMPARE(monitor.read(sim.context()), 0);

    const MonitorSnapshot snapshot = monitor.snapshot();
    QCOMPARE(snapshot.sensors.size(), size_t(1));
    QCOMPARE(snapshot.sensors[0].factor, std::string("ORP"));
    QCOMPARE(snapshot.result("ORP").value, -1234.0f);
    QCOMPARE(snapshot.sensors[0].valueText(snapshot.result("ORP").value), std::string("-1234"));
    QCOMPARE(snapshot.results.count("Temper"), size_t(0));
    QCOMPARE(snapshot.relays[1].alarmPoint, -300.0f);
    QCOMPARE(snapshot.relays[1].sensor->factor, std::string("ORP"));
}

void TestMonitorDO580::phModeWithoutTemperature()
{
    SimulatorProcess sim({"2:DO580:mode=0,temp=1,main=700"});
    MonitorDO580 monitor("pH", 2, true, true);
    QCOMPARE(monitor.sync(sim.context()), 0);
    QCOMPARE(monitor.read(sim.context()), 0);
    const MonitorSnapshot snapshot = monitor.snapshot();
    QCOMPARE(snapshot.sensors.size(), size_t(1));
    QCOMPARE(snapshot.result("pH").value, 7.0f);
    QCOMPARE(snapshot.results.count("Temper"), size_t(0));
}

QTEST_GUILESS_MAIN(TestMonitorDO580)
#include "tst_monitordo580.moc"
