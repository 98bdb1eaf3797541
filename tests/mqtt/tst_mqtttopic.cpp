#include "mqtt/mqtttopic.h"
#include "settings/mqttsettings.h"

#include <QtTest>

#include <set>

class TestMqttTopic : public QObject
{
    Q_OBJECT

private slots:
    void levelsCannotChangeTheTopicStructure_data();
    void levelsCannotChangeTheTopicStructure();
    void topicsJoinPrefixStationAndEscapedNames();
    void longLevelsAreCutWithAHashOfTheWholeName();
    void prefixesThatBrokersRefuseAreRefusedBySettings();
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
    QCOMPARE(MqttTopic::audit("hv", "a/b#"), std::string("hv/a%2Fb%23/audit"));
}

void TestMqttTopic::longLevelsAreCutWithAHashOfTheWholeName()
{
    const std::string exact(MqttTopic::maxLevelSize, 'a'), base(300, 'a');
    QCOMPARE(MqttTopic::escapeLevel(exact), exact);
    std::string chinese(100, 'a');
    for (int i = 0; i < 60; ++i)
        chinese += "池";
    // Alike for their first 300 bytes; longer than a whole topic may be; characters and
    // escapes ("%2F") that must not be split at the cut.
    const std::vector<std::string> names = {base + "b", base + "c", std::string(70000, 'x'),
                                            chinese, std::string(237, 'a') + std::string(9, '/')};
    std::set<std::string> levels;
    for (const std::string &name : names) {
        const std::string level = MqttTopic::escapeLevel(name);
        QVERIFY(level.size() <= MqttTopic::maxLevelSize && MqttTopic::acceptable(level));
        QCOMPARE(level.size() - level.rfind('~'), size_t(17));
        QVERIFY(level.compare(0, 200, name, 0, 200) == 0);
        QCOMPARE(MqttTopic::escapeLevel(name), level);
        levels.insert(level);
    }
    QCOMPARE(levels.size(), names.size());
    QCOMPARE(MqttTopic::escapeLevel(chinese).substr(0, 239), chinese.substr(0, 238) + "~");
    QCOMPARE(MqttTopic::escapeLevel(names[4]).substr(0, 238), std::string(237, 'a') + "~");
}

void TestMqttTopic::prefixesThatBrokersRefuseAreRefusedBySettings()
{
    MqttSettings settings;
    std::string levels = "a";
    for (size_t i = 1; i < MqttSettings::maxTopicPrefixLevels; ++i)
        levels += "/a";
    for (const std::string &usable : {"水厂/一期/" + std::string(1000, 'p'), levels}) {
        settings.topic = usable;
        QVERIFY(settings.validate().empty());
    }
    for (const std::string &refused :
         {std::string(MqttSettings::maxTopicPrefixSize + 1, 'p'), levels + "/a",
          std::string("$SYS/station"), std::string("plant\xff"), std::string("plant\xc2\x85")}) {
        settings.topic = refused;
        QVERIFY2(!settings.validate().empty(), refused.substr(0, 20).c_str());
    }
}

QTEST_GUILESS_MAIN(TestMqttTopic)
#include "tst_mqtttopic.moc"
