#include "app/appcontext.h"
#include "hj212/hj212message.h"
#include "hj212/hj212statistics.h"
#include "storage/recorddatabase.h"
#include "storage/recordreader.h"
#include "testsupport.h"

#include <QtTest>

class TestHj212Statistics : public QObject
{
    Q_OBJECT

private slots:
    void periodsMatchTheHandComputedTable();
    void messagesCarryTheTableUnderTheCodes();
    void periodEdgesFollowTheInterval();
};

namespace {

RecordRow rowOf(const std::string &time, const std::string &name, int channel,
                const std::string &factor, const std::string &value, const std::string &status)
{
    RecordRow row;
    row.time = "2024-03-01 " + time;
    if (time.size() > 8)
        row.time = time;
    row.model = name == "B" ? "DO580" : "DI590";
    row.name = name;
    row.slave = name == "B" ? 2 : 1;
    row.channel = channel;
    row.factor = factor;
    row.value = value;
    row.status = status;
    return row;
}

// The rows of the table, stored out of time order to show the statistics do not mind.
std::vector<RecordRow> tableRows()
{
    return {
        // 08:00 - 08:10
        rowOf("08:09:59", "A", 0, "DO", "8.11", "N"),
        rowOf("08:00:00", "A", 0, "DO", "8.25", "N"),
        rowOf("08:03:00", "A", 0, "DO", "8.30", "N"),
        rowOf("08:06:00", "A", 0, "DO", "0.00", "B"),
        rowOf("08:00:00", "A", 1, "Temper", "21.4", "N"),
        rowOf("08:03:00", "A", 1, "Temper", "21.5", "N"),
        rowOf("08:01:00", "B", 0, "pH", "0.00", "B"),
        rowOf("08:05:00", "B", 0, "pH", "0.00", "B"),
        rowOf("08:05:00", "C", 0, "pH", "9.99", "N"), // not a monitor of the point
        // 08:10 - 08:20
        rowOf("08:10:00", "A", 0, "DO", "", "F"),
        rowOf("08:15:00", "A", 0, "DO", "0.00", "F"),
        rowOf("08:10:00", "A", 1, "Temper", "-0.4", "N"),
        rowOf("08:15:00", "A", 1, "Temper", "-0.5", "N"),
        rowOf("08:12:00", "B", 0, "pH", "7.00", "N"),
        // 08:20 - 08:30: nothing
        // 08:30 - 08:40
        rowOf("08:30:00", "B", 0, "pH", "0.00", "F"),
        rowOf("08:31:00", "B", 0, "pH", "0.00", "B"),
        // 08:40 - 08:50, then the next hour and the next day
        rowOf("08:40:00", "B", 0, "pH", "6.50", "N"),
        rowOf("09:00:00", "A", 0, "DO", "9.00", "N"),
        rowOf("2024-03-02 00:05:00", "A", 0, "DO", "7.77", "N"),
    };
}

// Each period as "start|monitor factor min avg max flag|…".
QStringList periodsOf(RecordReader &reader, Hj212Statistics::Kind kind, const QString &from,
                      const QString &to, int *result = nullptr)
{
    QStringList periods;
    const int rc = Hj212Statistics::compute(
        reader, {"A", "B"}, kind, 10, QDateTime::fromString(from, "yyyy-MM-dd hh:mm:ss"),
        QDateTime::fromString(to, "yyyy-MM-dd hh:mm:ss"),
        [&periods](const Hj212Statistics::Period &period) {
            QStringList parts{QString::fromStdString(period.start)};
            for (const Hj212Statistics::Factor &factor : period.factors)
                parts << QString::fromStdString(factor.monitor + " " + factor.factor + " " +
                                                factor.min + " " + factor.avg + " " + factor.max +
                                                " " + std::string(1, factor.flag));
            periods << parts.join('|');
            return true;
        });
    if (result)
        *result = rc;
    return periods;
}

class TableStation
{
public:
    TableStation()
    {
        QDir().mkpath(station.filePath("db"));
        RecordDatabase database(AppContext::instance().path(RecordDb).toStdString());
        database.openOrCreate();
        database.close();
        stored = insertRecords(AppContext::instance().path(RecordDb), tableRows());
    }
    TempStation station;
    int stored = -1;
};

} // namespace

void TestHj212Statistics::periodsMatchTheHandComputedTable()
{
    TableStation table;
    QCOMPARE(table.stored, 0);
    RecordReader reader(AppContext::instance().path(RecordDb).toStdString());
    int rc = -1;
    // The average of 21.4 and 21.5 rounds half away from zero, as does -0.45.
    QCOMPARE(
        periodsOf(reader, Hj212Statistics::Minute, "2024-03-01 08:00:00", "2024-03-02 00:10:00",
                  &rc),
        (QStringList{"2024-03-01 08:00:00|A DO 8.11 8.22 8.30 N|A Temper 21.4 21.5 21.5 N|"
                     "B pH    B",
                     "2024-03-01 08:10:00|A DO    F|A Temper -0.5 -0.5 -0.4 N|"
                     "B pH 7.00 7.00 7.00 N",
                     "2024-03-01 08:30:00|B pH    B", "2024-03-01 08:40:00|B pH 6.50 6.50 6.50 N",
                     "2024-03-01 09:00:00|A DO 9.00 9.00 9.00 N",
                     "2024-03-02 00:00:00|A DO 7.77 7.77 7.77 N"}));
    QCOMPARE(rc, 0);
    QCOMPARE(periodsOf(reader, Hj212Statistics::Hour, "2024-03-01 08:00:00", "2024-03-01 10:00:00"),
             (QStringList{"2024-03-01 08:00:00|A DO 8.11 8.22 8.30 N|"
                          "A Temper -0.5 10.5 21.5 N|B pH 6.50 6.75 7.00 N",
                          "2024-03-01 09:00:00|A DO 9.00 9.00 9.00 N"}));
    QCOMPARE(periodsOf(reader, Hj212Statistics::Day, "2024-03-01 00:00:00", "2024-03-03 00:00:00"),
             (QStringList{"2024-03-01 00:00:00|A DO 8.11 8.42 9.00 N|"
                          "A Temper -0.5 10.5 21.5 N|B pH 6.50 6.75 7.00 N",
                          "2024-03-02 00:00:00|A DO 7.77 7.77 7.77 N"}));
    // A range is half open, and an empty one has no period.
    QCOMPARE(
        periodsOf(reader, Hj212Statistics::Minute, "2024-03-01 08:10:00", "2024-03-01 08:30:00")
            .size(),
        1);
    QVERIFY(periodsOf(reader, Hj212Statistics::Minute, "2024-03-01 08:20:00", "2024-03-01 08:30:00")
                .isEmpty());
}

void TestHj212Statistics::messagesCarryTheTableUnderTheCodes()
{
    TableStation table;
    QCOMPARE(table.stored, 0);
    RecordReader reader(AppContext::instance().path(RecordDb).toStdString());
    Hj212Settings settings;
    Hj212Settings::Point point{"HV0001", {"A", "B"}};
    const Hj212Settings::Resolved codes = settings.resolve(point, {{"A", "DI590"}, {"B", "DO580"}});
    Hj212Packet::Header header;
    header.qn = "20240301081002000";
    header.st = "32";
    header.cn = Hj212Message::minuteData;
    header.pw = "123456";
    header.mn = "HV0001";
    header.flag = 5;
    std::vector<std::string> segments;
    Hj212Statistics::compute(
        reader, point.monitors, Hj212Statistics::Minute, 10,
        QDateTime(QDate(2024, 3, 1), QTime(8, 0)), QDateTime(QDate(2024, 3, 1), QTime(8, 20)),
        [&](const Hj212Statistics::Period &period) {
            for (const std::string &segment : Hj212Message::periodData(header, period, codes))
                segments.push_back(segment);
            return true;
        });
    QCOMPARE(segments.size(), size_t(2));
    QCOMPARE(segments[0],
             std::string("QN=20240301081002000;ST=32;CN=2051;PW=123456;MN=HV0001;Flag=5;CP=&&"
                         "DataTime=20240301080000;"
                         "w01009-Min=8.11,w01009-Avg=8.22,w01009-Max=8.30,w01009-Flag=N;"
                         "w01010-Min=21.4,w01010-Avg=21.5,w01010-Max=21.5,w01010-Flag=N;"
                         "w01001-Flag=B&&"));
    QVERIFY(segments[1].find("DataTime=20240301081000;w01009-Flag=F;w01010-Min=-0.5") !=
            std::string::npos);
}

void TestHj212Statistics::periodEdgesFollowTheInterval()
{
    const QDateTime time(QDate(2024, 3, 1), QTime(23, 59, 59));
    QCOMPARE(Hj212Statistics::periodStart(time, Hj212Statistics::Minute, 15),
             QDateTime(QDate(2024, 3, 1), QTime(23, 45)));
    QCOMPARE(Hj212Statistics::nextStart(QDateTime(QDate(2024, 3, 1), QTime(23, 45)),
                                        Hj212Statistics::Minute, 15),
             QDateTime(QDate(2024, 3, 2), QTime(0, 0)));
    QCOMPARE(Hj212Statistics::periodStart(time, Hj212Statistics::Hour, 15),
             QDateTime(QDate(2024, 3, 1), QTime(23, 0)));
    QCOMPARE(Hj212Statistics::nextStart(QDateTime(QDate(2024, 2, 28), QTime(0, 0)),
                                        Hj212Statistics::Day, 0),
             QDateTime(QDate(2024, 2, 29), QTime(0, 0)));
    QCOMPARE(Hj212Statistics::packetText("2024-03-01 08:05:09"), std::string("20240301080509"));
    QCOMPARE(Hj212Statistics::parse("20240301080509"),
             QDateTime(QDate(2024, 3, 1), QTime(8, 5, 9)));
    QVERIFY(!Hj212Statistics::parse("2024-13-01 08:05:09").isValid());
}

QTEST_GUILESS_MAIN(TestHj212Statistics)
#include "tst_hj212statistics.moc"
