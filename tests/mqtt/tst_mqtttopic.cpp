#include "mqtt/mqtttopic.h"

#include <QtTest>

class TestMqttTopic : public QObject
{
    Q_OBJECT

private slots:
    void levelsCannotChangeTheTopicStructure_data();
    void levelsCannotChangeTheTopicStructure();
    void topicsJoinPrefixStationAndEscapedNames();
};

void TestMqttTopic::levelsCannotChangeTheTopicStructure_data()
{
    QTest::addColumn<QByteArray>("level");
    QTest::addColumn<QByteArray>("escaped");
    QTest::newRow("plain") << QByteArray("DO-1") << QByteArray("DO-1");
    QTest::newRow("separators and wildcards") << QByteArray("a/b+c#") << QByteArray("a%2Fb%2Bc%23");
    QTest::newRow("the escape itself") << QByteArray("50%") << QByteArray("50%25");
    QTest::newRow("Chinese stays") << QByteArray("溶解氧 1号") << QByteArray("溶解氧 1号");
    QTest::newRow("controls") << QByteArray("a\x01\x7f", 3) << QByteArray("a%01%7F");
    QTest::newRow("NUL") << QByteArray("a\0b", 3) << QByteArray("a%00b");
    QTest::newRow("invalid UTF-8") << QByteArray("\xff\xe6\xba") << QByteArray("%FF%E6%BA");
    QTest::newRow("C1 control") << QByteArray("\xc2\x85") << QByteArray("%C2%85");
    QTest::newRow("empty") << QByteArray() << QByteArray("_");
}

void TestMqttTopic::levelsCannotChangeTheTopicStructure()
{
    QFETCH(QByteArray, level);
    QFETCH(QByteArray, escaped);
    const std::string out = MqttTopic::escapeLevel(level.toStdString());
    QCOMPARE(QByteArray::fromStdString(out), escaped);
}

void TestMqttTopic::topicsJoinPrefixStationAndEscapedNames()
{
    QCOMPARE(MqttTopic::readings("plant/water", "s/1", "a#", "pH"),
             std::string("plant/water/s%2F1/readings/a%23/pH"));
    QCOMPARE(MqttTopic::alarms("hv", ""), std::string("hv/_/alarms"));
    QCOMPARE(MqttTopic::status("hv", "站"), std::string("hv/站/status"));
}

QTEST_GUILESS_MAIN(TestMqttTopic)
#include "tst_mqtttopic.moc"
