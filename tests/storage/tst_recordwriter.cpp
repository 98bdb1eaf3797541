#include "acquisition/alarmrules.h"
#include "acquisition/threadhandoff.h"
#include "app/appcontext.h"
#include "instruments/sensorbase.h"
#include "storage/recorddatabase.h"
#include "storage/recordingstatus.h"
#include "storage/recordsink.h"
#include "storage/recordwriter.h"
#include "testsupport.h"

#include <QDateTime>
#include <QPointer>
#include <QThread>
#include <QtTest>

#include <sqlite3.h>

#include <algorithm>
#include <mutex>

// Plays a detail panel: owns a writer on a thread of its own and hands it copies of its row.
class Panel : public QObject
{
    Q_OBJECT

public:
    Panel()
    {
        writer = new RecordWriter;
        connect(this, &Panel::signal_record, writer, &RecordWriter::record);
        connect(this, &Panel::signal_rows, writer, &RecordWriter::recordRows);
        ThreadHandOff::start(writer, &thread);
    }
    ~Panel() override { RecordWriter::stopThread(writer, &thread); }

    void emitRow(const RecordRow &row)
    {
        auto *copy = new RecordRow(row);
        ThreadHandOff::release();
        emit signal_record(this, copy);
    }
    void emitRows(const std::vector<RecordRow> &rows)
    {
        auto *copy = new std::vector<RecordRow>(rows);
        ThreadHandOff::release();
        emit signal_rows(this, copy);
    }

    QThread thread;
    QPointer<RecordWriter> writer;

signals:
    void signal_record(void *writer, void *data);
    void signal_rows(void *writer, void *rows);
};

class TestRecordWriter : public QObject
{
    Q_OBJECT

private slots:
    void refillingTheRowAfterEmittingDoesNotChangeWhatIsStored();
    void stoppingTheThreadStoresQueuedRowsFirst();
    void exitStoresEveryQueuedRowBeforeTheDatabaseCloses();
    void refusedRowsAreStoredOnceTheDatabaseTakesThemAgain();
    void aPassOfRowsIsStoredAfterTheHeldOnesAndHeldItselfWhileRefused();
    void heldRowsAreBounded();
    void heldAndDroppedRowsAreCountedOverAllWriters();
    void alarmChangesAreHeldWhileRefusedAndStoredInOrder();
    void alarmLogDroppedOrUnwritableHoldsChangesTellsAndLosesNothing();
};

namespace {

RecordRow panelRow(const std::string &name, int channel)
{
    RecordRow row;
    row.model = "DO580";
    row.name = name;
    row.slave = 7;
    row.channel = channel;
    row.factor = channel == 0 ? "pH" : "Temper";
    row.unit = row.factor;
    row.status = "F";
    return row;
}

QString storedFile()
{
    return AppContext::instance().path(RecordDb);
}

// Plays an outside interface (the publisher, the uploader): the times of the rows handed to it.
class TimesSink : public RecordSink
{
public:
    TimesSink() { RecordSink::add(this); }
    ~TimesSink() override { RecordSink::remove(this); }
    void recordRow(const RecordRow &row) override
    {
        std::lock_guard<std::mutex> locker(mutex);
        times << QString::fromStdString(row.time);
    }
    void alarmChange(int, const AlarmEvent &) override {}
    QStringList all()
    {
        std::lock_guard<std::mutex> locker(mutex);
        return times;
    }

private:
    std::mutex mutex;
    QStringList times;
};

int storedCount()
{
    const QStringList count = selectWithKey(storedFile(), "SELECT count(*) FROM Record");
    return count.isEmpty() ? -1 : count.first().toInt();
}

} // namespace

void TestRecordWriter::refillingTheRowAfterEmittingDoesNotChangeWhatIsStored()
{
    TempStation station;
    AppContext::instance().init();
    Panel panel;
    QList<void *> done;
    connect(panel.writer, &RecordWriter::signal_recordDone, this,
            [&done](void *writer) { done.append(writer); });

    RecordRow row = panelRow("池'1", 0);
    for (int reading = 0; reading < 40; ++reading) {
        row.time = QString("2024-01-02 08:%1:00").arg(reading, 2, 10, QChar('0')).toStdString();
        row.value = std::to_string(reading) + ".00";
        row.status = "N";
        panel.emitRow(row);
        // The panel refills its row at once, as the next reading would.
        row.time = "refilled";
        row.value = "garbage";
        row.status = "B";
    }
    panel.writer->waitForQueued();

    QTRY_COMPARE(done.size(), 40);
    QVERIFY(std::all_of(done.begin(), done.end(), [&panel](void *p) { return p == &panel; }));
    const QStringList stored =
        selectWithKey(storedFile(), "SELECT time, value, status FROM Record ORDER BY uid");
    QCOMPARE(stored.size(), 40);
    QCOMPARE(stored.first(), QString("2024-01-02 08:00:00|0.00|N"));
    QCOMPARE(stored.last(), QString("2024-01-02 08:39:00|39.00|N"));
}

void TestRecordWriter::stoppingTheThreadStoresQueuedRowsFirst()
{
    TempStation station;
    AppContext::instance().init();
    QPointer<RecordWriter> writer;
    {
        Panel panel;
        writer = panel.writer;
        RecordRow row = panelRow("removed", 1);
        row.time = "2024-01-02 08:30:05";
        for (int i = 0; i < 300; ++i)
            panel.emitRow(row);
    } // the monitor is removed while its rows are still queued
    QVERIFY(writer.isNull());
    QCOMPARE(storedCount(), 300);
}

void TestRecordWriter::exitStoresEveryQueuedRowBeforeTheDatabaseCloses()
{
    TempStation station;
    AppContext::instance().init();
    auto *database = static_cast<RecordDatabase *>(AppContext::instance().object(RecordDb));
    Panel first, second, third;
    for (int reading = 0; reading < 100; ++reading)
        for (Panel *panel : {&first, &second, &third})
            for (int channel : {0, 1}) {
                RecordRow row = panelRow(std::to_string(quintptr(panel)), channel);
                row.time = "2024-01-02 08:30:05";
                panel->emitRow(row);
            }

    // A confirmed exit, with the writers still busy.
    QCOMPARE(AppContext::instance().shutdown(), 0);
    QVERIFY(!database->isOpen());
    QCOMPARE(storedCount(), 600);

    // Readings that still arrive find the database closed; they are dropped, not written.
    first.emitRow(panelRow("late", 0));
    first.writer->waitForQueued();
    QCOMPARE(storedCount(), 600);
}

void TestRecordWriter::refusedRowsAreStoredOnceTheDatabaseTakesThemAgain()
{
    TempStation station;
    AppContext::instance().init();
    auto *database = static_cast<RecordDatabase *>(AppContext::instance().object(RecordDb));
    // Every sink gets a row once it is stored, and only then.
    TimesSink first, second;
    Panel panel;
    RecordRow row = panelRow("暂停", 0);
    const auto emitAt = [&](int second) {
        row.time =
            QStringLiteral("2024-01-02 08:00:%1").arg(second, 2, 10, QChar('0')).toStdString();
        panel.emitRow(row);
    };
    // The file cannot be written for a while: nothing is stored, nothing is dropped.
    database->close();
    for (int second = 0; second < 10; ++second)
        emitAt(second);
    panel.writer->waitForQueued();
    QCOMPARE(storedCount(), 0);
    QCOMPARE(panel.writer->heldRows(), size_t(10));
    QVERIFY(first.all().isEmpty() && second.all().isEmpty());

    // Writable again: the held rows go first, in their order, then the new one.
    QCOMPARE(database->open(), 0);
    emitAt(10);
    panel.writer->waitForQueued();
    QCOMPARE(panel.writer->heldRows(), size_t(0));
    QStringList expected;
    for (int second = 0; second <= 10; ++second)
        expected << QStringLiteral("2024-01-02 08:00:%1").arg(second, 2, 10, QChar('0'));
    QCOMPARE(selectWithKey(storedFile(), "SELECT time FROM Record ORDER BY uid"), expected);
    QCOMPARE(first.all(), expected);
    QCOMPARE(second.all(), expected);

    // Rows held when the station leaves get a last try before the database closes.
    database->close();
    emitAt(11);
    panel.writer->waitForQueued();
    QCOMPARE(database->open(), 0);
    RecordWriter::waitForAll();
    QCOMPARE(storedCount(), 12);
}

void TestRecordWriter::aPassOfRowsIsStoredAfterTheHeldOnesAndHeldItselfWhileRefused()
{
    TempStation station;
    AppContext::instance().init();
    auto *database = static_cast<RecordDatabase *>(AppContext::instance().object(RecordDb));
    TimesSink sink;
    Panel panel;
    int done = 0;
    connect(panel.writer, &RecordWriter::signal_recordDone, this, [&done] { ++done; });
    int next = 0;
    const auto rowsOf = [&next](int count) {
        std::vector<RecordRow> rows;
        for (int i = 0; i < count; ++i, ++next) {
            RecordRow row = panelRow("批", next % 2);
            row.time = QDateTime::fromSecsSinceEpoch(1700000000 + next)
                           .toString("yyyy-MM-dd hh:mm:ss")
                           .toStdString();
            row.value = std::to_string(next);
            rows.push_back(row);
        }
        return rows;
    };
    database->close();
    for (const RecordRow &row : rowsOf(3))
        panel.emitRow(row);
    // More rows than one transaction takes.
    panel.emitRows(rowsOf(2500));
    panel.writer->waitForQueued();
    QCOMPARE(panel.writer->heldRows(), size_t(2503));
    QCOMPARE(database->open(), 0);
    panel.emitRows(rowsOf(400));
    panel.writer->waitForQueued();
    QCOMPARE(panel.writer->heldRows(), size_t(0));
    QTRY_COMPARE(done, 5);
    // All of them, in the order handed, to the file and then to the sink.
    QStringList values, times;
    for (int i = 0; i < next; ++i) {
        values << QString::number(i);
        times << QDateTime::fromSecsSinceEpoch(1700000000 + i).toString("yyyy-MM-dd hh:mm:ss");
    }
    QCOMPARE(selectWithKey(storedFile(), "SELECT value FROM Record ORDER BY uid"), values);
    QCOMPARE(sink.all(), times);
}

void TestRecordWriter::heldRowsAreBounded()
{
    TempStation station;
    AppContext::instance().init();
    auto *database = static_cast<RecordDatabase *>(AppContext::instance().object(RecordDb));
    Panel panel;
    database->close();
    RecordRow row = panelRow("满", 1);
    const int extra = 5;
    for (size_t i = 0; i < RecordWriter::maxHeld + extra; ++i) {
        row.value = std::to_string(i);
        panel.emitRow(row);
    }
    panel.writer->waitForQueued();
    QCOMPARE(panel.writer->heldRows(), RecordWriter::maxHeld);
    QCOMPARE(database->open(), 0);
    RecordWriter::waitForAll();
    // The oldest went; the newest are all there.
    QCOMPARE(storedCount(), int(RecordWriter::maxHeld));
    QCOMPARE(selectWithKey(storedFile(), "SELECT min(CAST(value AS INTEGER)) FROM Record"),
             QStringList({QString::number(extra)}));
}

void TestRecordWriter::heldAndDroppedRowsAreCountedOverAllWriters()
{
    TempStation station;
    AppContext::instance().init();
    auto *database = static_cast<RecordDatabase *>(AppContext::instance().object(RecordDb));
    RecordingStatus &status = RecordingStatus::instance();
    const qint64 droppedBefore = status.snapshot().dropped;
    RecordRow row = panelRow("计", 0);
    row.time = "2024-01-02 08:00:00";
    database->close();
    {
        Panel first, second;
        for (int i = 0; i < 3; ++i)
            first.emitRow(row);
        for (size_t i = 0; i < RecordWriter::maxHeld + 2; ++i)
            second.emitRow(row);
        RecordWriter::waitForAll();
        RecordingStatus::Snapshot now = status.snapshot();
        QCOMPARE(now.held, qint64(3 + RecordWriter::maxHeld));
        QCOMPARE(now.dropped - droppedBefore, qint64(2));
        QCOMPARE(now.failing, 2);

        // Stored again: nothing held, nothing failing.
        QCOMPARE(database->open(), 0);
        RecordWriter::waitForAll();
        now = status.snapshot();
        QCOMPARE(now.held, qint64(0));
        QCOMPARE(now.failing, 0);

        // Rows a writer still holds when its monitor goes are lost, and counted.
        database->close();
        first.emitRow(row);
        first.emitRow(row);
        RecordWriter::waitForAll();
    }
    const RecordingStatus::Snapshot now = status.snapshot();
    QCOMPARE(now.held, qint64(0));
    QCOMPARE(now.failing, 0);
    QCOMPARE(now.dropped - droppedBefore, qint64(4));
}

void TestRecordWriter::alarmChangesAreHeldWhileRefusedAndStoredInOrder()
{
    TempStation station;
    AppContext::instance().init();
    auto *database = static_cast<RecordDatabase *>(AppContext::instance().object(RecordDb));
    AlarmRules &rules = AlarmRules::instance();
    rules.reset();
    QThread thread;
    auto *writer = new RecordWriter;
    connect(&rules, &AlarmRules::signal_log, writer, &RecordWriter::alarm, Qt::QueuedConnection);
    ThreadHandOff::start(writer, &thread);

    const qint64 base = QDateTime(QDate(2024, 1, 2), QTime(8, 0)).toSecsSinceEpoch();
    const SensorBase sensor("pH", "pH", "pH", 0, 14, 2, true);
    const Relay relays[2] = {Relay{true, 8.0f, 0.5f, nullptr}, Relay{false, 0, 0, nullptr}};
    int monitor = 0;
    std::string name = "一号池";
    const auto feed = [&](float value, int second) {
        AlarmReading reading;
        reading.monitor = &monitor;
        reading.name = &name;
        reading.slave = 3;
        reading.sensor = &sensor;
        reading.result = FactorResult{value, 'N'};
        reading.relays = relays;
        reading.exchange = 1;
        reading.time = base + second;
        rules.evaluate(reading);
    };
    const char *const columns =
        "SELECT name,slave,channel,factor,kind,value,alarmpoint,raised,cleared,acked FROM Alarm "
        "ORDER BY id";

    // Refused: raise, acknowledgement and clear wait, in their order, and are stored once the
    // file takes rows again; the renamed monitor's row keeps the name it was raised under.
    database->close();
    feed(8.5f, 0);
    QCOMPARE(rules.acknowledgeAll(base + 1), 1);
    name = "改名";
    feed(7.0f, 2);
    writer->waitForQueued();
    QCOMPARE(writer->heldRows(), size_t(3));
    QCOMPARE(database->open(), 0);
    writer->waitForQueued();
    QCOMPARE(writer->heldRows(), size_t(0));
    QCOMPARE(selectWithKey(storedFile(), columns),
             QStringList({"一号池|3|-1|pH|高报|8.50|8.00|2024-01-02 08:00:00|2024-01-02 "
                          "08:00:02|2024-01-02 08:00:01"}));

    // Taken at once, and an acknowledgement reaches the row the raise made.
    QSignalSpy stored(writer, &RecordWriter::signal_alarmStored);
    feed(9.0f, 3);
    QVERIFY(stored.wait());
    QCOMPARE(rules.acknowledge(rules.activeAlarms().at(0).serial, base + 4), 0);
    writer->waitForQueued();
    QCOMPARE(selectWithKey(storedFile(), "SELECT id,name,cleared,acked FROM Alarm WHERE id = "
                                         "(SELECT max(id) FROM Alarm)"),
             QStringList({stored.at(0).at(1).toString() + "|改名|<null>|2024-01-02 08:00:04"}));

    // A new start closes what a run left active.
    QMetaObject::invokeMethod(writer, "clearOpenAlarms", Qt::QueuedConnection,
                              Q_ARG(qint64, base + 5));
    writer->waitForQueued();
    QCOMPARE(selectWithKey(storedFile(), "SELECT count(*) FROM Alarm WHERE cleared IS NULL"),
             QStringList({"0"}));
    RecordWriter::stopThread(writer, &thread);
    rules.reset();
    AppContext::instance().reset();
}

void TestRecordWriter::alarmLogDroppedOrUnwritableHoldsChangesTellsAndLosesNothing()
{
    TempStation station;
    AppContext::instance().init();
    QVERIFY(AppContext::instance().object(RecordDb));
    AlarmRules &rules = AlarmRules::instance();
    rules.reset();
    QThread thread;
    auto *writer = new RecordWriter;
    connect(&rules, &AlarmRules::signal_log, writer, &RecordWriter::alarm, Qt::QueuedConnection);
    ThreadHandOff::start(writer, &thread);
    RecordingStatus &status = RecordingStatus::instance();
    const RecordingStatus::Snapshot before = status.snapshot();

    const qint64 base = QDateTime(QDate(2024, 1, 2), QTime(8, 0)).toSecsSinceEpoch();
    const SensorBase sensor("pH", "pH", "pH", 0, 14, 2, true);
    const Relay relays[2] = {Relay{true, 8.0f, 0.5f, nullptr}, Relay{false, 0, 0, nullptr}};
    int monitor = 0;
    const std::string name = "二号池";
    const auto feed = [&](float value, int second) {
        AlarmReading reading;
        reading.monitor = &monitor;
        reading.name = &name;
        reading.slave = 4;
        reading.sensor = &sensor;
        reading.result = FactorResult{value, 'N'};
        reading.relays = relays;
        reading.exchange = 1;
        reading.time = base + second;
        rules.evaluate(reading);
    };
    const char *const rows = "SELECT value,raised,cleared FROM Alarm ORDER BY id";
    // Another connection changes the file under the station, as a hostile hand would.
    const auto change = [](const char *sql) {
        int result = -1;
        selectWithKey(storedFile(), sql, &result);
        return result;
    };

    // Dropped under the running station: the clear waits, the table is made again, and the
    // alarm whose row went with it is stored whole; the episode is counted for the window.
    feed(8.5f, 0);
    writer->waitForQueued();
    QCOMPARE(change("DROP TABLE Alarm"), 0);
    feed(7.0f, 1);
    feed(9.0f, 2);
    writer->waitForQueued();
    QCOMPARE(writer->heldRows(), size_t(0));
    QCOMPARE(selectWithKey(storedFile(), rows),
             QStringList({"8.50|2024-01-02 08:00:00|2024-01-02 08:00:01",
                          "9.00|2024-01-02 08:00:02|<null>"}));
    RecordingStatus::Snapshot now = status.snapshot();
    QCOMPARE(now.alarmEpisodes - before.alarmEpisodes, qint64(1));
    QCOMPARE(now.alarmFailure & 0xFF, SQLITE_ERROR);
    QCOMPARE(now.unmatched - before.unmatched, qint64(1));
    QCOMPARE(now.alarmHeld, qint64(0));
    QCOMPARE(now.alarmFailing, 0);
    QCOMPARE(now.alarmDropped, before.alarmDropped);

    // Refusing every change: held in their order, shown as failing, the records unaffected.
    QCOMPARE(change("CREATE TRIGGER deny_insert BEFORE INSERT ON Alarm BEGIN SELECT "
                    "RAISE(ABORT,'denied'); END;CREATE TRIGGER deny_update BEFORE UPDATE "
                    "ON Alarm BEGIN SELECT RAISE(ABORT,'denied'); END"),
             0);
    QCOMPARE(rules.acknowledgeAll(base + 3), 2);
    feed(7.0f, 4);
    feed(8.6f, 5);
    writer->waitForQueued();
    QCOMPARE(writer->heldRows(), size_t(4));
    now = status.snapshot();
    QCOMPARE(now.alarmHeld, qint64(4));
    QCOMPARE(now.alarmFailing, 1);
    QCOMPARE(now.alarmFailure & 0xFF, SQLITE_CONSTRAINT);
    QCOMPARE(now.alarmEpisodes - before.alarmEpisodes, qint64(2));
    QCOMPARE(now.held, before.held);
    QCOMPARE(now.failing, before.failing);

    // Writable again: retried on their own, stored in order, nothing given up.
    QCOMPARE(change("DROP TRIGGER deny_insert;DROP TRIGGER deny_update"), 0);
    QTRY_COMPARE_WITH_TIMEOUT(status.snapshot().alarmHeld, qint64(0),
                              RecordWriter::alarmRetryMs * 3);
    QCOMPARE(
        selectWithKey(storedFile(), "SELECT value,raised,cleared,acked FROM Alarm ORDER BY id"),
        QStringList({"8.50|2024-01-02 08:00:00|2024-01-02 08:00:01|2024-01-02 08:00:03",
                     "9.00|2024-01-02 08:00:02|2024-01-02 08:00:04|2024-01-02 08:00:03",
                     "8.60|2024-01-02 08:00:05|<null>|<null>"}));
    now = status.snapshot();
    QCOMPARE(now.alarmFailing, 0);
    QCOMPARE(now.alarmDropped, before.alarmDropped);
    RecordWriter::stopThread(writer, &thread);
    rules.reset();
    AppContext::instance().reset();
}

QTEST_GUILESS_MAIN(TestRecordWriter)
#include "tst_recordwriter.moc"
