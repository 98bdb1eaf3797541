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
    void eachLossShowsItsReasonInRed();
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

void TestMqttStatusLabel::eachLossShowsItsReasonInRed()
{
    // Each cause as the publisher reports it: the label's text and a line of its tooltip.
    struct Case
    {
        QString problem;
        qint64 refused;
        QString refusedReason;
        qint64 damaged;
        bool cursorDamaged;
        QString settingsReason;
        QString text;
        QString tip;
    };
    const QString dollar = QStringLiteral("MQTT 主题前缀不能以 $ 开头");
    const Case cases[] = {
        {"队列无法写入", 12, "队列无法写入", 0, false, "", "MQTT 队列无法写入,未能发布 12 条",
         "队列无法写入:新的消息无法保存,每分钟重试一次"},
        {"磁盘已满", 3, "磁盘已满", 0, false, "", "MQTT 磁盘已满,未能发布 3 条",
         "3 条消息未能发布(磁盘已满)"},
        // Past: the queue is sound again, the loss stays in sight.
        {"", 1, "主题过长", 0, false, "", "MQTT 已连接,未能发布 1 条",
         "1 条消息未能发布(主题过长)"},
        {"", 0, "", 5, false, "", "MQTT 已连接,损坏 5 条", "至少 5 条消息无法读取"},
        {"", 0, "", 0, true, "", "MQTT 已连接,队列游标损坏", "重新发送"},
        {"", 0, "", 0, false, dollar, "MQTT 设置无效", dollar},
    };
    for (const Case &c : cases) {
        MqttPublisher::Status status;
        status.state = c.settingsReason.isEmpty() ? MqttPublisher::Connected : MqttPublisher::Off;
        status.reason = c.settingsReason;
        status.queueProblem = c.problem;
        status.refused = c.refused;
        status.refusedReason = c.refusedReason;
        status.damaged = c.damaged;
        status.cursorDamaged = c.cursorDamaged;
        status.dropped = c.refused + c.damaged;
        MqttStatusLabel label;
        label.showStatus(status);
        QCOMPARE(label.text(), c.text);
        QVERIFY2(label.toolTip().contains(c.tip), qPrintable(label.toolTip()));
        QVERIFY(label.styleSheet().contains("#c62828"));
        // Not taken for the bound's overflow.
        QVERIFY(!label.toolTip().contains("积压超出上限"));
        QVERIFY(MqttStatusLabel::describe(status).contains(c.text.mid(5)));
    }
}

QTEST_MAIN(TestMqttStatusLabel)
#include "tst_mqttstatuslabel.moc"
