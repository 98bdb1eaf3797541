// The publishing state in the status bar, as reported and as it follows a real publisher.
#include "app/appcontext.h"
#include "brokerprocess.h"
#include "mqtt/mqttpublisher.h"
#include "panels/mqttstatuslabel.h"
#include "testsupport.h"

#include <QtTest>

class TestMqttStatusLabel : public QObject
{
    Q_OBJECT

private slots:
    void eachStateShowsItsTextReasonAndBacklog();
    void followsThePublisherThroughAnOutage();
};

void TestMqttStatusLabel::eachStateShowsItsTextReasonAndBacklog()
{
    MqttStatusLabel label;
    QCOMPARE(label.text(), QString("MQTT 未启用"));
    QVERIFY(label.toolTip().isEmpty());

    MqttPublisher::Status status;
    status.state = MqttPublisher::Connecting;
    status.reason = QStringLiteral("连接被拒绝");
    status.backlog = 1234;
    label.showStatus(status);
    QCOMPARE(label.text(), QString("MQTT 正在重连…"));
    QCOMPARE(label.toolTip(), QString("连接被拒绝\n待发送 1234 条"));
    QCOMPARE(MqttStatusLabel::describe(status), QString("正在重连(连接被拒绝),待发送 1234 条"));

    // A reason left from before is not shown once connected.
    status.state = MqttPublisher::Connected;
    status.backlog = 0;
    label.showStatus(status);
    QCOMPARE(label.text(), QString("MQTT 已连接"));
    QVERIFY(label.toolTip().isEmpty());

    // Dropped messages stay in sight, whatever the state.
    status.dropped = 7;
    label.showStatus(status);
    QCOMPARE(label.text(), QString("MQTT 已连接,已丢弃 7 条"));
    QVERIFY(label.toolTip().contains("7"));
    QVERIFY(label.styleSheet().contains("#c62828"));
}

void TestMqttStatusLabel::followsThePublisherThroughAnOutage()
{
    TempStation station;
    BrokerProcess broker(station.filePath("broker").toStdString());
    QVERIFY(broker.start());
    MqttPublisher publisher(station.filePath("mqtt"));
    MqttStatusLabel label;
    label.follow(&publisher);
    QCOMPARE(label.text(), QString("MQTT 未启用"));

    MqttSettings settings;
    settings.enabled = true;
    settings.host = "127.0.0.1";
    settings.port = broker.port();
    publisher.apply(settings);
    QTRY_COMPARE_WITH_TIMEOUT(label.text(), QString("MQTT 已连接"), 10000);
    QVERIFY(broker.stop());
    QTRY_COMPARE_WITH_TIMEOUT(label.text(), QString("MQTT 正在重连…"), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(!label.toolTip().isEmpty(), 10000);
    QVERIFY(broker.start());
    QTRY_COMPARE_WITH_TIMEOUT(label.text(), QString("MQTT 已连接"), 10000);
    settings.enabled = false;
    publisher.apply(settings);
    QTRY_COMPARE_WITH_TIMEOUT(label.text(), QString("MQTT 未启用"), 10000);
    publisher.stop(0);
}

QTEST_MAIN(TestMqttStatusLabel)
#include "tst_mqttstatuslabel.moc"
