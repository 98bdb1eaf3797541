#include "instruments/sensordocommon.h"
#include "instruments/sensortempercommon.h"

#include <QtTest>

#include <clocale>

class TestSensorBase : public QObject
{
    Q_OBJECT

private slots:
    void valueText_data();
    void valueText();
    void valueTextIgnoresTheLocale();
    void temperatureUnitIsOneCharacterAndCopiesAreIndependent();
};

void TestSensorBase::valueText_data()
{
    QTest::addColumn<int>("decimals");
    QTest::addColumn<float>("value");
    QTest::addColumn<QString>("text");
    QTest::newRow("two decimals") << 2 << 8.5f << "8.50";
    QTest::newRow("one decimal") << 1 << 85.0f << "85.0";
    QTest::newRow("three decimals") << 3 << 1.234f << "1.234";
    QTest::newRow("negative tenths") << 1 << -10.0f << "-10.0";
    QTest::newRow("failed reading") << 2 << 0.0f << "0.00";
    QTest::newRow("integer") << 0 << -1234.0f << "-1234";
    QTest::newRow("truncated down") << 0 << 7.9f << "7";
    QTest::newRow("truncated toward zero") << 0 << -1.7f << "-1";
    QTest::newRow("no negative zero") << 0 << -0.5f << "0";
    QTest::newRow("negative decimals count as none") << -1 << 12.6f << "12";
}

void TestSensorBase::valueText()
{
    QFETCH(int, decimals);
    QFETCH(float, value);
    QFETCH(QString, text);
    const SensorBase sensor("s", "F", "u", 0, 1, decimals, true);
    QCOMPARE(QString::fromStdString(sensor.valueText(value)), text);
}

void TestSensorBase::valueTextIgnoresTheLocale()
{
    // Qt adopts the desktop's locale; stored records must not change with it.
    const std::string previous = std::setlocale(LC_NUMERIC, nullptr);
    // scripts/install-deps generates this locale.
    QVERIFY2(std::setlocale(LC_NUMERIC, "de_DE.UTF-8"), "de_DE.UTF-8 missing: run install-deps");
    QCOMPARE(QByteArray(std::localeconv()->decimal_point), QByteArray(","));
    const std::string text = SensorDOCommon().valueText(8.5f);
    std::setlocale(LC_NUMERIC, previous.c_str());
    QCOMPARE(text, std::string("8.50"));
}

void TestSensorBase::temperatureUnitIsOneCharacterAndCopiesAreIndependent()
{
    QCOMPARE(SensorTemperCommon().unit, std::string("\xE2\x84\x83")); // U+2103
    // Copies are independent: a snapshot must not follow a later unit change.
    SensorDOCommon sensor;
    const SensorBase copy = sensor;
    sensor.unit = "%";
    QCOMPARE(copy.unit, std::string("ppm"));
}

QTEST_APPLESS_MAIN(TestSensorBase)
#include "tst_sensorbase.moc"
