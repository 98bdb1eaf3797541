#include "storage/recordresult.h"
#include "storage/recordrow.h"
#include "testsupport.h"
#include "trend/historychart.h"

#include <QtTest>

#include <cmath>

class TestHistoryChart : public QObject
{
    Q_OBJECT

private slots:
    void storedTimesBecomeWallClockSeconds_data();
    void storedTimesBecomeWallClockSeconds();
    void seriesHoldsOneInstrumentsFactorWithGapsForFailedReadings();
    void readoutShowsTheNearestPointWithAValue();
};

namespace {

RecordRow reading(const std::string &name, int channel, const std::string &factor,
                  const std::string &time, const std::string &value,
                  const std::string &status = "N")
{
    RecordRow row = makeRecord(name, channel, time);
    row.factor = factor;
    row.value = value;
    row.status = status;
    return row;
}

double utc(const QDate &date, const QTime &time)
{
    return double(QDateTime(date, time, Qt::UTC).toSecsSinceEpoch());
}

QString pointText(const QCPGraphData &point)
{
    return QDateTime::fromSecsSinceEpoch(qint64(point.key), Qt::UTC)
               .toString("yyyy-MM-dd hh:mm:ss") +
           "=" + (std::isnan(point.value) ? QString("nan") : QString::number(point.value));
}

} // namespace

void TestHistoryChart::storedTimesBecomeWallClockSeconds_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("expected");
    const double nan = std::nan("");
    QTest::newRow("plain") << "2024-01-02 03:04:05" << utc(QDate(2024, 1, 2), QTime(3, 4, 5));
    QTest::newRow("leap day") << "2024-02-29 23:59:59"
                              << utc(QDate(2024, 2, 29), QTime(23, 59, 59));
    QTest::newRow("before 1970") << "1969-12-31 23:00:00" << -3600.0;
    QTest::newRow("far ahead") << "2099-01-01 00:00:00" << utc(QDate(2099, 1, 1), QTime(0, 0));
    QTest::newRow("empty") << "" << nan;
    QTest::newRow("month 13") << "2024-13-01 00:00:00" << nan;
    QTest::newRow("hour 24") << "2024-01-01 24:00:00" << nan;
    QTest::newRow("short") << "2024-01-01 0:00:00" << nan;
    QTest::newRow("trailing") << "2024-01-01 00:00:00Z" << nan;
    QTest::newRow("letters") << "2024-0a-01 00:00:00" << nan;
}

void TestHistoryChart::storedTimesBecomeWallClockSeconds()
{
    QFETCH(QString, text);
    QFETCH(double, expected);
    const double found = RecordResult::secondsOf(text.toLatin1().constData());
    if (std::isnan(expected))
        QVERIFY(std::isnan(found));
    else
        QCOMPARE(found, expected);
}

void TestHistoryChart::seriesHoldsOneInstrumentsFactorWithGapsForFailedReadings()
{
    // In reading order. Channels 0 and 2 of A both measure DO; B's DO and A's Temper stay out.
    const std::vector<RecordRow> rows{
        reading("A", 0, "DO", "2024-01-02 08:00:00", "8.25"),
        reading("A", 2, "DO", "2024-01-02 08:00:30", "7.5"),
        reading("A", 1, "Temper", "2024-01-02 08:00:30", "21.40"),
        reading("B", 0, "DO", "2024-01-02 08:00:40", "1.00"),
        reading("A", 0, "DO", "2024-01-02 08:01:00", "0.00", "B"),
        reading("A", 2, "DO", "2024-01-02 08:01:30", "99.000", "F"),
        reading("A", 0, "DO", "2024-01-02 08:02:00", "----"),
        reading("A", 0, "DO", "not a time", "5.00"),
        reading("A", 0, "DO", "2024-01-02 08:03:00", "-0.125"),
    };
    const auto result = RecordResult::fromRows(rows);
    const HistorySeries series = HistoryChart::seriesOf(*result, "A", "DO");

    QStringList points;
    for (auto point = series.points->constBegin(); point != series.points->constEnd(); ++point)
        points << pointText(*point);
    QCOMPARE(points, QStringList({"2024-01-02 08:00:00=8.25", "2024-01-02 08:00:30=7.5",
                                  "2024-01-02 08:01:00=nan", "2024-01-02 08:01:30=nan",
                                  "2024-01-02 08:02:00=nan", "2024-01-02 08:03:00=-0.125"}));
    QCOMPARE(series.unit, QString("mg/L"));
    // Of the values drawn, and of the gaps: "99.000" is a number, only hidden by its status.
    QCOMPARE(series.decimals, 3);
    QCOMPARE(HistoryChart::seriesOf(*result, "A", "pH").points->size(), 0);
}

void TestHistoryChart::readoutShowsTheNearestPointWithAValue()
{
    const std::vector<RecordRow> rows{
        reading("A", 0, "DO", "2024-01-02 03:04:05", "8.25"),
        reading("A", 0, "DO", "2024-01-02 03:05:05", "0.00", "B"),
        reading("A", 0, "DO", "2024-01-02 03:06:05", "0.00", "B"),
        reading("A", 0, "DO", "2024-01-02 03:07:05", "9.50"),
    };
    HistoryChart chart;
    chart.resize(800, 400);
    chart.setSeries(HistoryChart::seriesOf(*RecordResult::fromRows(rows), "A", "DO"));
    chart.replot();
    const double first = utc(QDate(2024, 1, 2), QTime(3, 4, 5));
    QCOMPARE(chart.xAxis->range().lower, first);
    QCOMPARE(chart.xAxis->range().upper, first + 180);
    auto at = [&](double key) { return chart.pointAt(chart.xAxis->coordToPixel(key)); };

    QCOMPARE(at(first), QString("2024-01-02 03:04:05  8.25 mg/L"));
    QCOMPARE(chart.readout(), QString("2024-01-02 03:04:05  8.25 mg/L"));
    // Over the gap: the nearer point with a value.
    QCOMPARE(at(first + 70), QString("2024-01-02 03:04:05  8.25 mg/L"));
    QCOMPARE(at(first + 110), QString("2024-01-02 03:07:05  9.50 mg/L"));
    // Beyond the ends: the end points.
    QCOMPARE(at(first - 1000), QString("2024-01-02 03:04:05  8.25 mg/L"));
    QCOMPARE(at(first + 1000), QString("2024-01-02 03:07:05  9.50 mg/L"));

    chart.clearSeries();
    QCOMPARE(chart.pointAt(100), QString());
    QCOMPARE(chart.readout(), QString());
}

QTEST_MAIN(TestHistoryChart)
#include "tst_historychart.moc"
