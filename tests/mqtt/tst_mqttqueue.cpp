#include "mqtt/mqttqueue.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QtTest>

class TestMqttQueue : public QObject
{
    Q_OBJECT

private slots:
    void messagesComeBackInOrderAndRewindToTheCursor();
    void restartResumesAtTheSavedCursor();
    void tornTailIsCutOffAtRestart();
    void boundDropsTheOldestSegmentAndCountsIt();
    void unusableFolderRefusesAndCounts();
    void appendsReachTheDiskWithinTheSyncInterval();
};

namespace {

std::string topicOf(int i)
{
    return "t/" + std::to_string(i);
}

void fill(MqttQueue &queue, int from, int to)
{
    for (int i = from; i < to; ++i)
        QVERIFY(queue.append(topicOf(i), "payload " + std::to_string(i)));
}

// The topics' numbers of every message waiting at the read position.
std::vector<int> drain(MqttQueue &queue)
{
    std::vector<int> numbers;
    MqttQueue::Entry entry;
    while (queue.next(entry)) {
        numbers.push_back(std::stoi(entry.topic.substr(2)));
        if (entry.payload != "payload " + entry.topic.substr(2))
            numbers.push_back(-1);
    }
    return numbers;
}

QStringList segmentFiles(const QString &folder)
{
    return QDir(folder).entryList({"*.seg"}, QDir::Files, QDir::Name);
}

} // namespace

void TestMqttQueue::messagesComeBackInOrderAndRewindToTheCursor()
{
    TempStation station;
    MqttQueue queue(station.filePath("mqtt").toStdString(), 1000, 10);
    QCOMPARE(queue.open(), 0);
    fill(queue, 0, 35);
    QCOMPARE(drain(queue), range(0, 35));
    QCOMPARE(queue.backlog(), uint64_t(35));
    QCOMPARE(segmentFiles(station.filePath("mqtt")).size(), 4);

    // A lost connection: what was read but not acknowledged comes again.
    queue.acknowledge(22);
    queue.rewind();
    fill(queue, 35, 40);
    QCOMPARE(drain(queue), range(22, 40));
    QCOMPARE(queue.backlog(), uint64_t(18));
    // Fully acknowledged segments are gone.
    QCOMPARE(segmentFiles(station.filePath("mqtt")).size(), 2);
    queue.acknowledge(40);
    QCOMPARE(queue.backlog(), uint64_t(0));
    QCOMPARE(queue.dropped(), uint64_t(0));
}

void TestMqttQueue::restartResumesAtTheSavedCursor()
{
    TempStation station;
    const std::string folder = station.filePath("mqtt").toStdString();
    {
        MqttQueue queue(folder, 1000, 10);
        QCOMPARE(queue.open(), 0);
        fill(queue, 0, 25);
        drain(queue);
        queue.acknowledge(12);
        QCOMPARE(queue.saveCursor(), 0);
    }
    {
        MqttQueue queue(folder, 1000, 10);
        QCOMPARE(queue.open(), 0);
        QCOMPARE(queue.backlog(), uint64_t(13));
        fill(queue, 25, 30);
        QCOMPARE(drain(queue), range(12, 30));
        // Everything acknowledged and the segments deleted: numbering still goes on.
        queue.acknowledge(30);
    }
    MqttQueue queue(folder, 1000, 10);
    QCOMPARE(queue.open(), 0);
    QCOMPARE(queue.backlog(), uint64_t(0));
    QCOMPARE(queue.end(), uint64_t(30));
    fill(queue, 30, 32);
    QCOMPARE(drain(queue), range(30, 32));
}

void TestMqttQueue::tornTailIsCutOffAtRestart()
{
    TempStation station;
    const std::string folder = station.filePath("mqtt").toStdString();
    {
        MqttQueue queue(folder, 1000, 100);
        QCOMPARE(queue.open(), 0);
        fill(queue, 0, 5);
    }
    const QStringList segments = segmentFiles(QString::fromStdString(folder));
    QCOMPARE(segments.size(), 1);
    QFile last(QString::fromStdString(folder) + "/" + segments.last());
    QVERIFY(last.open(QIODevice::Append));
    // A kill in the middle of a record: a length promising more than follows.
    last.write(QByteArray("\x40\x00\x00\x00\x12\x34", 6));
    last.close();

    MqttQueue queue(folder, 1000, 100);
    QCOMPARE(queue.open(), 0);
    QCOMPARE(queue.backlog(), uint64_t(5));
    fill(queue, 5, 7);
    QCOMPARE(drain(queue), range(0, 7));
    QCOMPARE(queue.dropped(), uint64_t(0));
}

void TestMqttQueue::boundDropsTheOldestSegmentAndCountsIt()
{
    TempStation station;
    MqttQueue queue(station.filePath("mqtt").toStdString(), 20, 5);
    QCOMPARE(queue.open(), 0);
    fill(queue, 0, 3);
    MqttQueue::Entry entry;
    QVERIFY(queue.next(entry)); // the reader is inside the first segment when it goes
    fill(queue, 3, 30);
    QVERIFY(queue.backlog() <= 20);
    QCOMPARE(queue.backlog() + queue.dropped(), uint64_t(30));
    QCOMPARE(queue.dropped(), uint64_t(10));
    QCOMPARE(drain(queue), range(10, 30));
}

void TestMqttQueue::unusableFolderRefusesAndCounts()
{
    TempStation station;
    station.writeFile("blocker", "a file where the folder should be");
    MqttQueue queue(station.filePath("blocker/mqtt").toStdString());
    QCOMPARE(queue.open(), -1);
    QVERIFY(!queue.append("t", "p"));
    QCOMPARE(queue.dropped(), uint64_t(1));
    MqttQueue::Entry entry;
    QVERIFY(!queue.next(entry));
}

void TestMqttQueue::appendsReachTheDiskWithinTheSyncInterval()
{
    TempStation station;
    MqttQueue queue(station.filePath("mqtt").toStdString(), 1000, 10);
    QCOMPARE(queue.open(), 0);
    // Across two full segments and into a third, with nobody asking for it.
    fill(queue, 0, 25);
    QTRY_COMPARE_WITH_TIMEOUT(queue.syncedEnd(), uint64_t(25), 2 * MqttQueue::syncIntervalMs + 500);

    // Switched off, a sync does nothing; back on, it covers what came meanwhile.
    queue.setSyncEnabled(false);
    fill(queue, 25, 30);
    QCOMPARE(queue.sync(), 0);
    QCOMPARE(queue.syncedEnd(), uint64_t(25));
    queue.setSyncEnabled(true);
    QCOMPARE(queue.sync(), 0);
    QCOMPARE(queue.syncedEnd(), uint64_t(30));
    QCOMPARE(drain(queue), range(0, 30));
}

QTEST_GUILESS_MAIN(TestMqttQueue)
#include "tst_mqttqueue.moc"
