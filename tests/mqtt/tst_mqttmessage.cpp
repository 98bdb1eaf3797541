#include "acquisition/alarmrules.h"
#include "mqtt/mqttmessage.h"
#include "storage/recordrow.h"

#include <QtTest>

#include <nlohmann/json.hpp>

using nlohmann::json;

class TestMqttMessage : public QObject
{
    Q_OBJECT

private slots:
    void readingValueIsANumberOnlyForFiniteDecimals_data();
    void readingValueIsANumberOnlyForFiniteDecimals();
    void alarmCarriesItsEventAndTheTimeOfThatEvent();
};

void TestMqttMessage::readingValueIsANumberOnlyForFiniteDecimals_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("value");
    QTest::newRow("decimal") << "8.50" << "8.5";
    QTest::newRow("negative integer") << "-3" << "-3";
    QTest::newRow("exponent") << "1.5e2" << "150.0";
    QTest::newRow("dashes") << "----" << "null";
    QTest::newRow("text") << "超量程" << "null";
    QTest::newRow("padded") << " 8" << "null";
    QTest::newRow("overflow") << "1e999" << "null";
    QTest::newRow("empty") << "" << "null";
    QTest::newRow("sign only") << "-" << "null";
    QTest::newRow("hex") << "0x10" << "null";
}

void TestMqttMessage::readingValueIsANumberOnlyForFiniteDecimals()
{
    QFETCH(QString, text);
    QFETCH(QString, value);
    RecordRow row;
    row.value = text.toStdString();
    const json payload = json::parse(MqttMessage::readingPayload(row));
    QCOMPARE(QString::fromStdString(payload["value"].dump()), value);
    QCOMPARE(QString::fromStdString(payload["text"].get<std::string>()), text);
}

void TestMqttMessage::alarmCarriesItsEventAndTheTimeOfThatEvent()
{
    AlarmEvent alarm;
    alarm.kind = AlarmEvent::High;
    alarm.name = "a";
    alarm.slave = 3;
    alarm.channel = 1;
    alarm.factor = "pH";
    alarm.value = "9.10";
    alarm.alarmPoint = "9.00";
    alarm.raised = "2024-03-01 08:00:00";
    json payload = json::parse(MqttMessage::alarmPayload(AlarmLogEntry::Raise, alarm));
    QCOMPARE(payload["event"], json("raised"));
    QCOMPARE(payload["time"], json(alarm.raised));
    QCOMPARE(payload["kind"], json("高报"));
    // Numbers, as the readings carry them.
    QCOMPARE(payload["value"].dump(), std::string("9.1"));
    QCOMPARE(payload["alarmPoint"].dump(), std::string("9.0"));
    QCOMPARE(payload["channel"], json(1));
    QCOMPARE(payload["cleared"], json(""));
    QCOMPARE(payload["reason"], json(""));
    QCOMPARE(payload.size(), size_t(13));

    alarm.kind = AlarmEvent::CommsLoss;
    alarm.value.clear();
    alarm.alarmPoint.clear();
    alarm.cleared = "2024-03-01 08:02:00";
    alarm.reason = AlarmEvent::LineOff;
    payload = json::parse(MqttMessage::alarmPayload(AlarmLogEntry::Clear, alarm));
    QCOMPARE(payload["event"], json("cleared"));
    QCOMPARE(payload["time"], json(alarm.cleared));
    QCOMPARE(payload["kind"], json("通讯故障"));
    QVERIFY(payload["value"].is_null() && payload["alarmPoint"].is_null());
    QCOMPARE(payload["reason"], json("停止采集"));
}

QTEST_GUILESS_MAIN(TestMqttMessage)
#include "tst_mqttmessage.moc"
