#include "history/sheetrecords.h"
#include "storage/recordrow.h"

#include <QtTest>

class TestSheetRecords : public QObject
{
    Q_OBJECT

private slots:
    void channelsAscendNewestFirstWithEveryTextIntact();
};

namespace {

RecordRow row(int channel, const std::string &time, const std::string &value,
              const std::string &status = "N", int slave = 3, const std::string &unit = "mg/L")
{
    RecordRow r;
    r.time = time;
    r.model = "DI590";
    r.name = "池";
    r.slave = slave;
    r.channel = channel;
    r.factor = channel == 0 ? "DO" : "Temper";
    r.unit = unit;
    r.value = value;
    r.status = status;
    return r;
}

QStringList visitAll(const SheetRecords &records)
{
    QStringList cells;
    records.visit([&](const SheetRecords::Cells &c) {
        cells << QStringLiteral("%1|%2|%3|%4|%5|%6|%7|%8")
                     .arg(c.channel)
                     .arg(QString::fromUtf8(c.time), QString::fromUtf8(c.model))
                     .arg(c.slave)
                     .arg(QString::fromUtf8(c.factor), QString::fromUtf8(c.unit),
                          QString::fromUtf8(c.value), QString::fromUtf8(c.status));
        return true;
    });
    return cells;
}

} // namespace

void TestSheetRecords::channelsAscendNewestFirstWithEveryTextIntact()
{
    SheetRecords records;
    // Oldest first, channels interleaved; the repeating texts change now and then.
    records.add(row(1, "2024-01-02 08:00:00", "20.5"));
    records.add(row(0, "2024-01-02 08:00:00", "8.25"));
    records.add(row(-1, "", "")); // a foreign file's row without time or channel
    records.add(row(0, "2024-01-02 08:00:01", "8.30", "B"));
    records.add(row(1, "2024-01-02 08:00:01", "20.6", "N", 4));
    records.add(row(0, "2024-01-02 08:00:02", "8.35", "N", 3, "ppm"));
    records.add(row(0, "2024-01-02 08:00:03", "一二三四五六七八九十一二三四五六七八九十"));
    QCOMPARE(records.size(), size_t(7));
    QCOMPARE(
        visitAll(records),
        QStringList(
            {"-1||DI590|3|Temper|mg/L||N",
             "0|2024-01-02 08:00:03|DI590|3|DO|mg/L|一二三四五六七八九十一二三四五六七八九十|N",
             "0|2024-01-02 08:00:02|DI590|3|DO|ppm|8.35|N",
             "0|2024-01-02 08:00:01|DI590|3|DO|mg/L|8.30|B",
             "0|2024-01-02 08:00:00|DI590|3|DO|mg/L|8.25|N",
             "1|2024-01-02 08:00:01|DI590|4|Temper|mg/L|20.6|N",
             "1|2024-01-02 08:00:00|DI590|3|Temper|mg/L|20.5|N"}));

    // The next instrument's sheet starts empty.
    records.clear();
    records.add(row(0, "2024-01-02 08:00:05", "2", "F"));
    QCOMPARE(visitAll(records), QStringList({"0|2024-01-02 08:00:05|DI590|3|DO|mg/L|2|F"}));
}

QTEST_MAIN(TestSheetRecords)
#include "tst_sheetrecords.moc"
