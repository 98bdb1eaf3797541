#include "app/appcontext.h"
#include "storage/alarmreader.h"
#include "storage/recorddatabase.h"
#include "testsupport.h"

#include <QtTest>

class TestAlarmReader : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void activeAlarmsComeFirstThenByRaisedTime();
    void rangeAndNameFilterTheRaisedAlarms_data();
    void rangeAndNameFilterTheRaisedAlarms();
    void fileWithoutTheLogHoldsNoAlarm();
    void olderLogsGainTheReasonAndAClearKeepsWhatAlarmsStillNeed();

private:
    std::unique_ptr<TempStation> station;
};

namespace {

std::string recordPath()
{
    return AppContext::instance().path(RecordDb).toUtf8().toStdString();
}

// Raised at 08:00 to 10:00 on 2024-01-02, one on another day; "O'Brien" tests the quoting.
void storeSample()
{
    std::vector<AlarmReader::Entry> alarms = {
        makeAlarm("A", "2024-01-02 08:00:00", false, true),
        makeAlarm("B", "2024-01-02 09:00:00", true),
        makeAlarm("A", "2024-01-02 07:00:00", true, true),
        makeAlarm("O'Brien", "2024-01-02 08:30:00", false),
        makeAlarm("A", "2024-02-01 10:00:00", false),
        makeAlarm("B", "2024-01-02 09:00:00", false),
    };
    alarms[1].kind = "通讯故障";
    alarms[1].value = "";
    alarms[1].alarmPoint = "";
    alarms[1].channel = 1;
    QCOMPARE(insertAlarms(AppContext::instance().path(RecordDb), alarms), 0);
}

// Each alarm as "name raised", an active one marked with a star.
QStringList keys(const std::vector<AlarmReader::Entry> &alarms)
{
    QStringList list;
    for (const AlarmReader::Entry &alarm : alarms)
        list << QString::fromStdString(alarm.name + " " + alarm.raised) + (alarm.isActive() ? "*" : "");
    return list;
}

} // namespace

void TestAlarmReader::init()
{
    station = std::make_unique<TempStation>();
    QCOMPARE(AppContext::instance().init(), 0);
}

void TestAlarmReader::cleanup()
{
    station.reset();
}

void TestAlarmReader::activeAlarmsComeFirstThenByRaisedTime()
{
    storeSample();
    AlarmReader reader(recordPath());
    std::vector<AlarmReader::Entry> alarms;
    QCOMPARE(reader.read(std::string(), std::string(), std::string(), alarms), 0);

    QCOMPARE(keys(alarms), QStringList({"A 2024-01-02 07:00:00*", "B 2024-01-02 09:00:00*",
                                        "A 2024-01-02 08:00:00", "O'Brien 2024-01-02 08:30:00",
                                        "B 2024-01-02 09:00:00", "A 2024-02-01 10:00:00"}));
    // Every column read back, NULL times as empty.
    const AlarmReader::Entry &lost = alarms[1];
    QCOMPARE(lost.kind, std::string("通讯故障"));
    QCOMPARE(lost.channel, 1);
    QVERIFY(lost.value.empty() && lost.cleared.empty() && lost.acked.empty());
    const AlarmReader::Entry &high = alarms[2];
    QVERIFY(high.id > 0);
    QCOMPARE(high.slave, 3);
    QCOMPARE(high.factor + "|" + high.kind + "|" + high.value + "|" + high.alarmPoint,
             std::string("DO|高报|8.25|8.0"));
    QCOMPARE(high.cleared, std::string("2024-01-02 23:50:00"));
    QCOMPARE(high.acked, std::string("2024-01-02 23:40:00"));

    std::vector<std::string> names;
    QCOMPARE(reader.distinctNames(names), 0);
    QCOMPARE(names, std::vector<std::string>({"A", "B", "O'Brien"}));
}

void TestAlarmReader::rangeAndNameFilterTheRaisedAlarms_data()
{
    QTest::addColumn<QString>("from");
    QTest::addColumn<QString>("to");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("bounds inclusive")
        << "2024-01-02 08:00:00"
        << "2024-01-02 09:00:00" << ""
        << QStringList({"B 2024-01-02 09:00:00*", "A 2024-01-02 08:00:00",
                        "O'Brien 2024-01-02 08:30:00", "B 2024-01-02 09:00:00"});
    QTest::newRow("name") << "" << "" << "A"
                          << QStringList({"A 2024-01-02 07:00:00*", "A 2024-01-02 08:00:00",
                                          "A 2024-02-01 10:00:00"});
    QTest::newRow("quoted name and open end")
        << "2024-01-02 08:30:00" << "" << "O'Brien" << QStringList({"O'Brien 2024-01-02 08:30:00"});
    QTest::newRow("range and name") << "2024-01-03 00:00:00" << "2024-12-31 23:59:59" << "A"
                                    << QStringList({"A 2024-02-01 10:00:00"});
}

void TestAlarmReader::rangeAndNameFilterTheRaisedAlarms()
{
    QFETCH(QString, from);
    QFETCH(QString, to);
    QFETCH(QString, name);
    QFETCH(QStringList, expected);
    storeSample();
    AlarmReader reader(recordPath());
    std::vector<AlarmReader::Entry> alarms;
    QCOMPARE(reader.read(from.toStdString(), to.toStdString(), name.toStdString(), alarms), 0);
    QCOMPARE(keys(alarms), expected);
}

void TestAlarmReader::fileWithoutTheLogHoldsNoAlarm()
{
    // As an older backup has it.
    int rc = -1;
    selectWithKey(AppContext::instance().path(RecordDb), "DROP TABLE IF EXISTS Alarm", &rc);
    QCOMPARE(rc, 0);
    AlarmReader reader(recordPath());
    std::vector<AlarmReader::Entry> alarms;
    QCOMPARE(reader.read(std::string(), std::string(), std::string(), alarms), 0);
    QVERIFY(alarms.empty());
    std::vector<std::string> names;
    QCOMPARE(reader.distinctNames(names), 0);
    QVERIFY(names.empty());
}

void TestAlarmReader::olderLogsGainTheReasonAndAClearKeepsWhatAlarmsStillNeed()
{
    // A log as builds before the clears' reasons wrote it: one alarm open, one over.
    const QString file = AppContext::instance().path(RecordDb);
    auto *database = static_cast<RecordDatabase *>(AppContext::instance().object(RecordDb));
    database->close();
    int rc = -1;
    selectWithKey(file, "DROP TABLE Alarm", &rc);
    QCOMPARE(insertAlarms(file, {makeAlarm("开", "2024-01-02 08:00:00", true),
                                 makeAlarm("旧", "2024-01-02 07:00:00", false)}),
             0);
    std::vector<AlarmReader::Entry> alarms;
    QCOMPARE(AlarmReader(recordPath()).read({}, {}, {}, alarms), 0);
    QCOMPARE(alarms.size(), size_t(2));

    // Opened by this build: the column is added and the rows kept; a clear says why.
    QCOMPARE(database->open(), 0);
    std::vector<AlarmRow> open;
    QCOMPARE(database->openAlarms(open, 10), 0);
    QCOMPARE(open.size(), size_t(1));
    AlarmRow row = open[0];
    row.cleared = "2024-01-02 09:00:00";
    row.reason = "停止采集";
    QCOMPARE(database->updateAlarm(row, row.id, false), 0);
    row.raised = "2024-01-02 06:00:00"; // no such alarm
    QCOMPARE(database->updateAlarm(row, 0, true), RecordDatabase::NoAlarmRow);
    // What an older build writes names its columns: the added one is no obstacle.
    selectWithKey(file,
                  "INSERT INTO Alarm(name,slave,channel,factor,kind,value,alarmpoint,raised,"
                  "cleared,acked) VALUES('旧版',3,-1,'DO','低报','1','2','2024-01-02 10:00:00',"
                  "NULL,NULL)",
                  &rc);
    QCOMPARE(rc, 0);

    // Cleared unacknowledged by this build, it waits for that: listed at a start, and kept by
    // a clear, which takes the older build's cleared row.
    open.clear();
    QCOMPARE(database->openAlarms(open, 10), 0);
    QCOMPARE(open.size(), size_t(2));
    QCOMPARE(database->clear(), 0);
    alarms.clear();
    QCOMPARE(AlarmReader(recordPath()).read({}, {}, {}, alarms), 0);
    QCOMPARE(keys(alarms), QStringList({"旧版 2024-01-02 10:00:00*", "开 2024-01-02 08:00:00"}));
    QCOMPARE(alarms[1].reason, std::string("停止采集"));
}

QTEST_GUILESS_MAIN(TestAlarmReader)
#include "tst_alarmreader.moc"
