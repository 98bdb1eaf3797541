#include "acquisition/alarmrules.h"
#include "instruments/monitorbase.h"
#include "instruments/monitorcollection.h"
#include "instruments/sensorbase.h"
#include "testsupport.h"

#include <QDateTime>
#include <QtTest>

class TestAlarmRules : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void valueAlarmsRaiseAndClearWithHysteresis_data();
    void valueAlarmsRaiseAndClearWithHysteresis();
    void controlsOffOrReadingsNotNormalRaiseNothing();
    void acknowledgementsRenameAndStopping();
    void commsLossAfterThreeFailedReadsAndRecoveryAgainstTheSimulator();
    void intervalsTheLineMissedCountAsFailedReads();
    void syncedMonitorIsJudgedAgainstTheInstrumentsSetPoints();
    void alarmsLeftOpenGoOnUntilReadAndClearedOnesWaitForAnAcknowledgement();
    void onDelayRaisesOnlyAfterConsecutiveReadingsPerMonitorOrForAll();
    void chatteringAlarmIsHeldCountedAndMarkedUntilItsConditionStaysAway();
};

namespace {

const qint64 base = QDateTime(QDate(2024, 1, 2), QTime(8, 0)).toSecsSinceEpoch();
const SensorBase sensor("pH", "pH", "pH", 0, 14, 2, true);

// What the log receives, one text per change: "raise 高报 8.00/8.00 @5", "clear 高报 @9",
// "ack 高报 @3" (seconds after base).
QStringList changes(const QSignalSpy &spy)
{
    QStringList texts;
    for (const QList<QVariant> &arguments : spy) {
        const auto entry = arguments.at(0).value<AlarmLogEntry>();
        const AlarmEvent &a = entry.alarm;
        const auto at = [](const std::string &time) {
            const QDateTime when =
                QDateTime::fromString(QString::fromStdString(time), "yyyy-MM-dd hh:mm:ss");
            return QString::number(when.toSecsSinceEpoch() - base);
        };
        const QString kind = QString::fromUtf8(a.kindText());
        if (entry.change == AlarmLogEntry::Raise)
            texts << QString("raise %1 %2/%3 @%4")
                         .arg(kind, QString::fromStdString(a.value),
                              QString::fromStdString(a.alarmPoint), at(a.raised));
        else if (entry.change == AlarmLogEntry::Clear)
            texts << QString("clear %1 @%2").arg(kind, at(a.cleared));
        else
            texts << QString("ack %1 @%2").arg(kind, at(a.acked));
    }
    return texts;
}

struct Feeder
{
    explicit Feeder(const void *monitor) : monitor(monitor) {}

    const void *monitor;
    std::string name = "一号池";
    Relay relays[2];

    void feed(float value, int second, char status = 'N', int exchange = 1)
    {
        AlarmReading reading;
        reading.monitor = monitor;
        reading.name = &name;
        reading.slave = 7;
        reading.sensor = &sensor;
        reading.result = FactorResult{value, status};
        reading.relays = relays;
        reading.exchange = exchange;
        reading.time = base + second;
        AlarmRules::instance().evaluate(reading);
    }
};

} // namespace

void TestAlarmRules::init()
{
    AlarmRules::instance().reset();
    AlarmRules::setEnabled(true);
}

void TestAlarmRules::valueAlarmsRaiseAndClearWithHysteresis_data()
{
    QTest::addColumn<bool>("high");
    QTest::addColumn<QList<float>>("values");
    QTest::addColumn<QStringList>("expected");
    // Set point 8.00 or 3.00, hysteresis 0.50; a reading each second.
    QTest::newRow("high") << true << QList<float>{7.9f, 8.0f, 7.6f, 8.3f, 7.6f, 7.4f, 9.0f}
                          << QStringList{"raise 高报 8.00/8.00 @1", "clear 高报 @5",
                                         "raise 高报 9.00/8.00 @6"};
    QTest::newRow("low") << false << QList<float>{3.1f, 3.0f, 3.4f, 1.0f, 3.4f, 3.6f, 2.0f}
                         << QStringList{"raise 低报 3.00/3.00 @1", "clear 低报 @5",
                                        "raise 低报 2.00/3.00 @6"};
}

void TestAlarmRules::valueAlarmsRaiseAndClearWithHysteresis()
{
    QFETCH(bool, high);
    QFETCH(QList<float>, values);
    QFETCH(QStringList, expected);
    QSignalSpy log(&AlarmRules::instance(), &AlarmRules::signal_log);
    QSignalSpy raised(&AlarmRules::instance(), &AlarmRules::signal_raised);
    int other = 0;
    Feeder feeder{&other};
    feeder.relays[high ? 0 : 1] = Relay{true, high ? 8.0f : 3.0f, 0.5f, nullptr};
    // The other control is on too, far away: it never fires.
    feeder.relays[high ? 1 : 0] = Relay{true, high ? -5.0f : 50.0f, 0.5f, nullptr};
    for (int i = 0; i < values.size(); ++i)
        feeder.feed(values[i], i);
    QCOMPARE(changes(log), expected);
    QCOMPARE(raised.size(), 2);
    const auto first = raised.at(0).at(0).value<AlarmEvent>();
    const auto second = raised.at(1).at(0).value<AlarmEvent>();
    QVERIFY(first.serial != 0 && second.serial != first.serial);
    QCOMPARE(first.name, std::string("一号池"));
    QCOMPARE(first.slave, 7);
    QCOMPARE(first.factor, std::string("pH"));
    QCOMPARE(first.raised, AlarmRules::timeText(base + 1));
    QVERIFY(AlarmRules::instance().hasActiveAlarm(&other));
    QCOMPARE(AlarmRules::instance().activeAlarms().size(), size_t(1));
}

void TestAlarmRules::controlsOffOrReadingsNotNormalRaiseNothing()
{
    QSignalSpy log(&AlarmRules::instance(), &AlarmRules::signal_log);
    int monitor = 0;
    Feeder feeder{&monitor};
    // Never set: off, set points 0.
    for (float value : {0.0f, -1.0f, 14.0f})
        feeder.feed(value, 0);
    // Controls on, but readings that failed or were judged implausible carry no value.
    feeder.relays[0] = Relay{true, 8.0f, 0.5f, nullptr};
    feeder.relays[1] = Relay{true, 3.0f, 0.5f, nullptr};
    feeder.feed(0, 1, 'B', -1);
    feeder.feed(20, 2, 'F', 1);
    feeder.feed(0, 3, 'F', 0);
    QCOMPARE(changes(log), QStringList());

    // A re-sync switching a control off ends its alarm.
    feeder.feed(9, 4);
    feeder.relays[0].on = false;
    feeder.feed(9, 5, 'N', 0);
    QCOMPARE(changes(log), QStringList({"raise 高报 9.00/8.00 @4", "clear 高报 @5"}));

    // Off, the rules see nothing at all.
    AlarmRules::setEnabled(false);
    feeder.feed(1, 6);
    AlarmRules::setEnabled(true);
    QCOMPARE(log.size(), 2);
}

void TestAlarmRules::acknowledgementsRenameAndStopping()
{
    AlarmRules &rules = AlarmRules::instance();
    QSignalSpy log(&rules, &AlarmRules::signal_log);
    QSignalSpy acked(&rules, &AlarmRules::signal_acked);
    QSignalSpy cleared(&rules, &AlarmRules::signal_cleared);
    int a = 0, b = 0;
    Feeder first{&a};
    Feeder second{&b};
    second.name = "二号池";
    first.relays[0] = second.relays[0] = Relay{true, 8.0f, 0.5f, nullptr};
    first.relays[1] = second.relays[1] = Relay{true, 3.0f, 0.5f, nullptr};
    first.feed(9, 0);
    second.feed(1, 1);
    const std::vector<AlarmEvent> active = rules.activeAlarms();
    QCOMPARE(int(active.size()), 2);
    QCOMPARE(active[0].name, std::string("一号池"));
    QCOMPARE(active[1].kind, int(AlarmEvent::Low));

    QCOMPARE(rules.acknowledge(active[0].serial, base + 2), 0);
    QCOMPARE(rules.acknowledge(active[0].serial, base + 3), -1);
    QCOMPARE(rules.acknowledge(9999, base + 3), -1);
    QCOMPARE(rules.acknowledgeAll(base + 4), 1); // only the one not yet acknowledged
    QCOMPARE(rules.acknowledgeAll(base + 5), 0);
    QCOMPARE(acked.size(), 2);
    QCOMPARE(acked.at(0).at(0).value<AlarmEvent>().acked, AlarmRules::timeText(base + 2));

    // Renamed while alarmed: the alarm keeps the name it was raised under.
    first.name = "改名";
    first.feed(7, 6);
    QCOMPARE(cleared.size(), 1);
    const auto clearedAlarm = cleared.at(0).at(0).value<AlarmEvent>();
    QCOMPARE(clearedAlarm.name, std::string("一号池"));
    QCOMPARE(clearedAlarm.acked, AlarmRules::timeText(base + 2));
    QCOMPARE(rules.acknowledge(clearedAlarm.serial, base + 7), -1);

    // Stopped: its alarms clear at that moment; fed again later it starts afresh.
    rules.monitorStopped(&b, base + 8);
    QVERIFY(!rules.hasActiveAlarm(&b));
    QVERIFY(rules.activeAlarms().empty());
    second.feed(1, 9);
    QCOMPARE(changes(log),
             QStringList({"raise 高报 9.00/8.00 @0", "raise 低报 1.00/3.00 @1", "ack 高报 @2",
                          "ack 低报 @4", "clear 高报 @6", "clear 低报 @8",
                          "raise 低报 1.00/3.00 @9"}));
}

void TestAlarmRules::commsLossAfterThreeFailedReadsAndRecoveryAgainstTheSimulator()
{
    SimulatorProcess sim({"5:DI590:main=850"});
    QVERIFY(sim.isReady());
    MonitorCollection collection;
    MonitorBase *monitor = collection.create("DI590", "三号池", 5, -1, true, true);
    QCOMPARE(monitor->sync(sim.context()), 0);
    QSignalSpy log(&AlarmRules::instance(), &AlarmRules::signal_log);
    // No line is like a silent instrument. A good read in between starts the count again.
    collection.readAll(nullptr);
    collection.readAll(nullptr);
    collection.readAll(sim.context());
    collection.readAll(nullptr);
    collection.readAll(nullptr);
    QCOMPARE(log.size(), 0);
    collection.readAll(nullptr);
    QCOMPARE(log.size(), 1);
    collection.readAll(nullptr);
    QCOMPARE(log.size(), 1);
    const auto raised = log.at(0).at(0).value<AlarmLogEntry>();
    QCOMPARE(raised.change, int(AlarmLogEntry::Raise));
    QCOMPARE(raised.alarm.kind, int(AlarmEvent::CommsLoss));
    QCOMPARE(raised.alarm.name, std::string("三号池"));
    QCOMPARE(raised.alarm.slave, 5);
    QVERIFY(raised.alarm.value.empty() && raised.alarm.alarmPoint.empty());
    QVERIFY(AlarmRules::instance().hasActiveAlarm(monitor));

    // Demoted meanwhile: the first read that reaches it again clears it.
    collection.resetHealth();
    collection.readAll(sim.context());
    QCOMPARE(log.size(), 2);
    QCOMPARE(log.at(1).at(0).value<AlarmLogEntry>().change, int(AlarmLogEntry::Clear));

    // Removed while alarmed, its alarm clears.
    collection.readAll(nullptr);
    collection.readAll(nullptr);
    collection.readAll(nullptr);
    QCOMPARE(log.size(), 3);
    collection.remove(monitor);
    QCOMPARE(log.size(), 4);
    QVERIFY(!AlarmRules::instance().hasActiveAlarm(monitor));
    delete monitor;
}

void TestAlarmRules::intervalsTheLineMissedCountAsFailedReads()
{
    SimulatorProcess sim({"5:DI590:main=850"});
    QVERIFY(sim.isReady());
    MonitorCollection collection;
    MonitorBase *monitor = collection.create("DI590", "三号池", 5, -1, true, true);
    MonitorBase *unsynced = collection.create("DI590", "未同步", 6, -1, true, true);
    QCOMPARE(monitor->sync(sim.context()), 0);
    QSignalSpy log(&AlarmRules::instance(), &AlarmRules::signal_log);
    // Two missed intervals and a failed read: three in a row, raised at the pass's time.
    PassPlan plan;
    plan.stamp = base + 3;
    plan.missed = {base + 1, base + 2};
    collection.readAll(nullptr, plan);
    QCOMPARE(changes(log), QStringList({"raise 通讯故障 / @3"}));
    // A pass that reaches it clears it; one that missed nothing adds nothing.
    plan.stamp = base + 4;
    plan.missed.clear();
    collection.readAll(sim.context(), plan);
    QCOMPARE(changes(log), QStringList({"raise 通讯故障 / @3", "clear 通讯故障 @4"}));
    // A monitor that was never synced was never read: nothing is held against it.
    QVERIFY(!AlarmRules::instance().hasActiveAlarm(unsynced));
    collection.remove(monitor);
    collection.remove(unsynced);
    delete monitor;
    delete unsynced;
}

void TestAlarmRules::syncedMonitorIsJudgedAgainstTheInstrumentsSetPoints()
{
    // DO580 in pH mode: 7.25 against a high point of 7.00 and a low point of 7.50 that is off.
    SimulatorProcess sim({"8:DO580:mode=0,temp=2,main=725,r0on=1,r0sp=700,r0hy=10,r1on=0,r1sp=750"});
    QVERIFY(sim.isReady());
    MonitorCollection collection;
    MonitorBase *monitor = collection.create("DO580", "四号池", 8, -1, true, true);
    QSignalSpy log(&AlarmRules::instance(), &AlarmRules::signal_log);
    QCOMPARE(monitor->sync(sim.context()), 0);
    QCOMPARE(log.size(), 0); // nothing read yet
    collection.readAll(sim.context());
    QCOMPARE(log.size(), 1);
    const auto raised = log.at(0).at(0).value<AlarmLogEntry>().alarm;
    QCOMPARE(raised.kind, int(AlarmEvent::High));
    QCOMPARE(raised.factor, std::string("pH"));
    QCOMPARE(raised.value, std::string("7.25"));
    QCOMPARE(raised.alarmPoint, std::string("7.00"));
    collection.readAll(sim.context());
    QCOMPARE(log.size(), 1);

    // The run switch off clears it.
    monitor->setRunning(false);
    QCOMPARE(log.size(), 2);
    QCOMPARE(log.at(1).at(0).value<AlarmLogEntry>().change, int(AlarmLogEntry::Clear));
    collection.remove(monitor);
    delete monitor;
}

void TestAlarmRules::alarmsLeftOpenGoOnUntilReadAndClearedOnesWaitForAnAcknowledgement()
{
    AlarmRules &rules = AlarmRules::instance();
    QSignalSpy log(&rules, &AlarmRules::signal_log);
    int a = 0, b = 0;
    Feeder first{&a};
    first.relays[0] = Relay{true, 8.0f, 0.5f, nullptr};
    const auto open = [](const void *monitor, int kind, qint64 row) {
        AlarmEvent alarm;
        alarm.monitor = monitor;
        alarm.kind = kind;
        alarm.name = "一号池";
        alarm.raised = AlarmRules::timeText(base - 100);
        alarm.row = row;
        return alarm;
    };
    // A crash left a loss of communication of each monitor open, and a second one of a.
    rules.resume(open(&a, AlarmEvent::CommsLoss, 41), base);
    rules.resume(open(&b, AlarmEvent::CommsLoss, 42), base);
    rules.resume(open(&a, AlarmEvent::CommsLoss, 43), base);
    QCOMPARE(changes(log), QStringList({"clear 通讯故障 @0"}));
    QCOMPARE(log.at(0).at(0).value<AlarmLogEntry>().alarm.reason, int(AlarmEvent::Duplicate));
    // Still failing at b's first read, it goes on; a answers, so it ends then, on its own row.
    Feeder second{&b};
    second.feed(0, 1, 'B', -1);
    first.feed(7, 1);
    QCOMPARE(changes(log), QStringList({"clear 通讯故障 @0", "clear 通讯故障 @1"}));
    QCOMPARE(log.at(1).at(0).value<AlarmLogEntry>().alarm.row, qint64(41));
    QVERIFY(rules.hasActiveAlarm(&b));

    // Neither was acknowledged: both stay listed, cleared, until 全部确认 takes them.
    QCOMPARE(rules.listedAlarms().size(), size_t(3));
    rules.stopAll(base + 2, AlarmEvent::LineOff);
    QVERIFY(rules.activeAlarms().empty());
    QCOMPARE(rules.listedAlarms().at(1).reason, int(AlarmEvent::LineOff)); // b's, oldest first
    QCOMPARE(rules.acknowledgeAll(base + 3), 3);
    QVERIFY(rules.listedAlarms().empty());
    const auto late = log.back().at(0).value<AlarmLogEntry>().alarm;
    QCOMPARE(late.cleared + " " + late.acked,
             AlarmRules::timeText(base + 2) + " " + AlarmRules::timeText(base + 3));
}

void TestAlarmRules::onDelayRaisesOnlyAfterConsecutiveReadingsPerMonitorOrForAll()
{
    AlarmRules &rules = AlarmRules::instance();
    QSignalSpy log(&rules, &AlarmRules::signal_log);
    int first = 0, second = 0;
    Feeder station{&first}, own{&second};
    station.relays[0] = own.relays[0] = Relay{true, 8.0f, 0.5f, nullptr};
    AlarmFilter all;
    all.onDelay = 3;
    rules.setDefaultFilter(all);
    AlarmFilter quick;
    rules.setMonitorFilter(&second, &quick);
    // A reading below the point starts the count again; invalid filters change nothing.
    AlarmFilter invalid;
    invalid.onDelay = 0;
    rules.setDefaultFilter(invalid);
    rules.setMonitorFilter(&first, &invalid);
    const QList<float> values{8.5f, 8.5f, 7.9f, 8.5f, 8.5f, 8.6f, 8.7f};
    for (int i = 0; i < values.size(); ++i)
        station.feed(values[i], i);
    QCOMPARE(changes(log), QStringList{"raise 高报 8.60/8.00 @5"});
    log.clear();
    own.feed(8.5f, 0);
    QCOMPARE(changes(log), QStringList{"raise 高报 8.50/8.00 @0"});

    // Back to the station's filter: the clear is not delayed, the next raise is.
    log.clear();
    rules.setMonitorFilter(&second, nullptr);
    own.feed(7.0f, 1);
    own.feed(8.5f, 2);
    own.feed(8.5f, 3);
    QCOMPARE(changes(log), QStringList{"clear 高报 @1"});
    own.feed(8.5f, 4);
    QCOMPARE(changes(log), QStringList({"clear 高报 @1", "raise 高报 8.50/8.00 @4"}));
}

void TestAlarmRules::chatteringAlarmIsHeldCountedAndMarkedUntilItsConditionStaysAway()
{
    AlarmRules &rules = AlarmRules::instance();
    qint64 clockMs = 0;
    rules.setClock([&clockMs] { return clockMs; });
    QSignalSpy log(&rules, &AlarmRules::signal_log);
    int monitor = 0;
    Feeder feeder{&monitor};
    // Hysteresis 0: every swing across the point raises or clears.
    feeder.relays[0] = Relay{true, 8.0f, 0.0f, nullptr};
    const auto at = [&](float value, int second) {
        clockMs = qint64(second) * 1000;
        feeder.feed(value, second);
    };
    const auto raises = [&log] {
        int count = 0;
        for (const QList<QVariant> &arguments : log)
            count += arguments.at(0).value<AlarmLogEntry>().change == AlarmLogEntry::Raise;
        return count;
    };
    // Ten minutes of a value alternating each second around the point: five alarms come and
    // go, the sixth is held, and every later return is only counted.
    int second = 0;
    for (; second < 600; ++second)
        at(second % 2 ? 7.5f : 8.5f, second);
    QCOMPARE(raises(), 6);
    QCOMPARE(log.size(), 11);
    const auto held = log.last().at(0).value<AlarmLogEntry>().alarm;
    QVERIFY(held.chattering);
    QCOMPARE(held.raised, AlarmRules::timeText(base + 10));
    QVERIFY(rules.hasActiveAlarm(&monitor));

    // Away for less than the hold: still active; away for the hold: cleared, counted, marked.
    at(8.5f, second++);
    for (const int until = second + 60; second < until; ++second)
        at(7.5f, second);
    QCOMPARE(log.size(), 11);
    at(7.5f, second);
    QCOMPARE(log.size(), 12);
    const auto cleared = log.last().at(0).value<AlarmLogEntry>();
    QCOMPARE(cleared.change, int(AlarmLogEntry::Clear));
    QCOMPARE(cleared.alarm.cleared, AlarmRules::timeText(base + second));
    QCOMPARE(cleared.alarm.repeats, 295);
    QCOMPARE(cleared.alarm.clearText(), std::string("恢复正常（抖动，重复 295 次）"));
    QVERIFY(!rules.hasActiveAlarm(&monitor));

    // Within the window of the earlier raises the next one is held at once; ten quiet
    // minutes later an alarm is an ordinary one again.
    at(8.5f, ++second);
    QVERIFY(log.last().at(0).value<AlarmLogEntry>().alarm.chattering);
    const int quiet = second + 600;
    at(7.5f, quiet - 60);
    at(7.5f, quiet);
    at(8.5f, quiet + 1);
    const auto ordinary = log.last().at(0).value<AlarmLogEntry>();
    QCOMPARE(ordinary.change, int(AlarmLogEntry::Raise));
    QVERIFY(!ordinary.alarm.chattering);
    at(7.5f, quiet + 2);
    QCOMPARE(log.last().at(0).value<AlarmLogEntry>().alarm.clearText(), std::string("恢复正常"));

    // Switched off, the rule lets every swing through.
    AlarmFilter off;
    off.chatterRaises = 0;
    rules.setDefaultFilter(off);
    log.clear();
    for (second = quiet + 3; second < quiet + 63; ++second)
        at(second % 2 ? 8.5f : 7.5f, second);
    QCOMPARE(raises(), 30);
}

QTEST_GUILESS_MAIN(TestAlarmRules)
#include "tst_alarmrules.moc"
