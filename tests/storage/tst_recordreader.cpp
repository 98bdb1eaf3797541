#include "app/appcontext.h"
#include "storage/recorddatabase.h"
#include "storage/recordreader.h"
#include "testsupport.h"

#include <QElapsedTimer>
#include <QtTest>

#include <sqlite3.h>

#include <atomic>
#include <set>
#include <thread>

class TestRecordReader : public QObject
{
    Q_OBJECT

private slots:
    void pagesHoldExactlyTheRowsOfQueryInTimeThenUidOrder_data();
    void pagesHoldExactlyTheRowsOfQueryInTimeThenUidOrder();
    void pageStatementsSeekWithoutSorting();
    void cancelStopsTheReadWithinAPage();
    void writersStoreEveryRowWhileALongReadRuns();
};

namespace {

RecordDatabase *startStation()
{
    AppContext::instance().init();
    return static_cast<RecordDatabase *>(AppContext::instance().object(RecordDb));
}

std::string recordPath()
{
    return AppContext::instance().path(RecordDb).toUtf8().toStdString();
}

QString rowText(const RecordRow &row)
{
    return QString::fromStdString(row.time + "|" + row.model + "|" + row.name + "|" +
                                  std::to_string(row.slave) + "|" + std::to_string(row.channel) +
                                  "|" + row.factor + "|" + row.unit + "|" + row.value + "|" +
                                  row.status);
}

// Every row in the order the reader hands them over; pageSizes gets each page's size.
int readAll(RecordReader &reader, const std::string &condition, int pageRows, QStringList &rows,
            QList<int> *pageSizes = nullptr)
{
    return reader.read(
        condition,
        [&](std::vector<RecordRow> &page) {
            if (pageSizes)
                *pageSizes << int(page.size());
            for (const RecordRow &row : page)
                rows << rowText(row);
            return true;
        },
        pageRows);
}

// Runs of equal times of different lengths, two names, both channels, and rows without a time.
bool fillStation()
{
    std::vector<RecordRow> rows;
    for (int i = 0; i < 240; ++i) {
        const int second = (i * 7) % 40 / 3; // runs of 1 to 6 rows, not in uid order
        RecordRow row = makeRecord(i % 3 ? "a" : "b'c", i % 2,
                                   QString("2024-01-02 08:30:%1").arg(second, 2, 10, QChar('0'))
                                       .toStdString());
        row.value = std::to_string(i);
        rows.push_back(row);
    }
    int rc = insertRecords(QString::fromStdString(recordPath()), rows);
    const char *const untimed = "INSERT INTO Record(time,model,name,slave,channel,factor,value,"
                                "status) VALUES(NULL,'DI590','%1',3,%2,'DO','n','N');";
    const QString sql = QString(untimed).arg("b''c").arg(1) + QString(untimed).arg("a").arg(0) +
                        QString(untimed).arg("b''c").arg(1);
    if (rc == 0)
        selectWithKey(QString::fromStdString(recordPath()), qPrintable(sql), &rc);
    return rc == 0;
}

} // namespace

void TestRecordReader::pagesHoldExactlyTheRowsOfQueryInTimeThenUidOrder_data()
{
    QTest::addColumn<QString>("filter");
    QTest::addColumn<int>("pageRows");
    for (const char *filter : {"all", "time", "time name", "time name channel", "channel"})
        for (int pageRows : {1, 4, 5, 7, 1000})
            QTest::addRow("%s, pages of %d", filter, pageRows) << filter << pageRows;
}

void TestRecordReader::pagesHoldExactlyTheRowsOfQueryInTimeThenUidOrder()
{
    QFETCH(QString, filter);
    QFETCH(int, pageRows);
    TempStation station;
    RecordDatabase *database = startStation();
    QVERIFY(fillStation());

    std::string condition;
    if (filter.contains("time"))
        RecordDatabase::appendTimeCondition(condition, "2024-01-02 08:30:02",
                                            "2024-01-02 08:30:10", true);
    if (filter.contains("name"))
        RecordDatabase::appendNameCondition(condition, "b'c", condition.empty());
    if (filter.contains("channel"))
        RecordDatabase::appendChannelCondition(condition, 1, condition.empty());

    std::vector<RecordRow *> queried;
    QCOMPARE(database->query(condition, queried), 0);
    QStringList expected;
    for (const RecordRow *row : queried)
        expected << rowText(*row);
    RecordDatabase::freeRows(queried);

    RecordReader reader(recordPath());
    QStringList rows;
    QList<int> pageSizes;
    QCOMPARE(readAll(reader, condition, pageRows, rows, &pageSizes), 0);
    for (int size : pageSizes)
        QVERIFY(size >= 1 && size <= pageRows);
    QStringList sorted = rows;
    sorted.sort();
    expected.sort();
    QCOMPARE(sorted, expected);

    // The order an independent reader gives for (time, uid); NULL times sort first.
    const QStringList ordered = selectWithKey(
        QString::fromStdString(recordPath()),
        qPrintable("SELECT ifnull(time,''),model,name,slave,channel,factor,ifnull(unit,''),value,"
                   "status FROM Record" +
                   QString::fromStdString(condition) + " ORDER BY time,uid"));
    QCOMPARE(rows, ordered);
}

void TestRecordReader::pageStatementsSeekWithoutSorting()
{
    TempStation station;
    startStation();
    const char *const page = "EXPLAIN QUERY PLAN SELECT * FROM Record WHERE %1 AND %2 ORDER BY "
                             "%3 LIMIT 1000";
    const char *const keyset = "time >= '2024-01-02 00:00:01' AND (time > '2024-01-02 00:00:01' "
                               "OR uid > 77)";
    for (const char *condition :
         {"1", " time BETWEEN '2024-01-02 00:00:00' AND '2024-01-02 23:59:59'",
          " time BETWEEN '2024-01-02 00:00:00' AND '2024-01-02 23:59:59' AND name = 'n'",
          " time BETWEEN '2024-01-02 00:00:00' AND '2024-01-02 23:59:59' AND name = 'n' AND "
          "channel = 1"})
        for (const QStringList &paging :
             {QStringList{keyset, "time,uid"}, QStringList{"time IS NOT NULL", "time,uid"},
              QStringList{"time IS NULL AND uid > 5", "uid"}}) {
            // The reader's forms: the condition as terms, or only as a filter for NULL times.
            const QString terms = paging[1] == "uid"
                                      ? QString("CASE WHEN (%1) THEN 1 END").arg(condition)
                                      : QString("(%1)").arg(condition);
            const QString plan = selectWithKey(QString::fromStdString(recordPath()),
                                               qPrintable(QString(page)
                                                              .arg(terms)
                                                              .arg(paging[0])
                                                              .arg(paging[1])))
                                     .join('\n');
            QVERIFY2(plan.contains("USING INDEX") && !plan.contains("TEMP B-TREE"),
                     qPrintable(QString(condition) + " / " + paging[0] + ":\n" + plan));
        }
}

void TestRecordReader::cancelStopsTheReadWithinAPage()
{
    TempStation station;
    startStation();
    std::vector<RecordRow> rows;
    for (int i = 0; i < 5000; ++i)
        rows.push_back(makeRecord("a", 0, "2024-01-02 08:30:05"));
    QCOMPARE(insertRecords(QString::fromStdString(recordPath()), rows), 0);

    RecordReader reader(recordPath());
    int pages = 0;
    // From another thread, while a page is handled: nothing more comes.
    const int rc = reader.read(
        std::string(),
        [&](std::vector<RecordRow> &page) {
            if (++pages == 3)
                std::thread([&reader] { reader.cancel(); }).join();
            return page.size() == 100;
        },
        100);
    QCOMPARE(rc, RecordReader::Cancelled);
    QCOMPARE(pages, 3);
    QVERIFY(reader.isCancelled());

    // The cancel stays until it is reset.
    QStringList found;
    QCOMPARE(readAll(reader, std::string(), 100, found), RecordReader::Cancelled);
    QVERIFY(found.isEmpty());
    reader.resetCancel();
    QCOMPARE(readAll(reader, std::string(), 1000, found), 0);
    QCOMPARE(found.size(), 5000);
}

void TestRecordReader::writersStoreEveryRowWhileALongReadRuns()
{
    TempStation station;
    RecordDatabase *database = startStation();
    QCOMPARE(insertRecords(QString::fromStdString(recordPath()),
                           std::vector<RecordRow>(60000, makeRecord("old", 0, "2024-01-02 08:00"))),
             0);

    // A writer stores numbered rows of a later time the whole time, trying a row refused for a
    // passing reason again, as the record writer does.
    std::atomic<bool> stop{false};
    std::atomic<int> stored{0}, refusedForGood{0}, longestWaitMs{0};
    std::thread writer([&] {
        while (!stop) {
            QElapsedTimer waited;
            waited.start();
            const int rc =
                database->insert(makeRecord("new", 0, "2024-01-02 09:" + std::to_string(stored)));
            longestWaitMs = std::max<int>(longestWaitMs, int(waited.elapsed()));
            stored += rc == 0;
            refusedForGood += rc != 0 && rc != SQLITE_BUSY;
        }
    });
    QTRY_VERIFY(stored > 0);

    RecordReader reader(recordPath());
    std::set<std::string> seen;
    int old = 0, duplicates = 0, storedAtFirstPage = -1;
    qint64 longestPageMs = 0;
    QElapsedTimer sincePage;
    sincePage.start();
    const int rc = reader.read(
        std::string(),
        [&](std::vector<RecordRow> &page) {
            longestPageMs = std::max(longestPageMs, sincePage.elapsed());
            storedAtFirstPage = storedAtFirstPage < 0 ? int(stored) : storedAtFirstPage;
            for (const RecordRow &row : page) {
                old += row.name == "old";
                duplicates += row.name == "new" && seen.count(row.time) > 0;
                seen.insert(row.time);
            }
            sincePage.restart();
            return true;
        },
        500);
    const int storedAtEnd = stored;
    stop = true;
    writer.join();

    QCOMPARE(rc, 0);
    QCOMPARE(old, 60000);
    QCOMPARE(duplicates, 0);
    QCOMPARE(int(refusedForGood), 0);
    // The writer went on between the pages and waited for a page at most, not for the read.
    QVERIFY(storedAtEnd > storedAtFirstPage + 5);
    QVERIFY2(longestWaitMs <= 2 * longestPageMs + 200,
             qPrintable(QString("%1 ms, page %2 ms").arg(int(longestWaitMs)).arg(longestPageMs)));
    QCOMPARE(selectWithKey(QString::fromStdString(recordPath()),
                           "SELECT count(*), count(DISTINCT time) FROM Record WHERE name = 'new'"),
             QStringList({QString("%1|%1").arg(int(stored))}));
}

QTEST_GUILESS_MAIN(TestRecordReader)
#include "tst_recordreader.moc"
