#include "mqtt/mqttqueue.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QtEndian>
#include <QtTest>

#include <csignal>

#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>

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
    void damageIsSkippedCountedAndNeverWrittenOver_data();
    void damageIsSkippedCountedAndNeverWrittenOver();
    void damagedCursorSendsEverythingAgain_data();
    void damagedCursorSendsEverythingAgain();
    void unwritableQueueRefusesCountsAndTriesAgain_data();
    void unwritableQueueRefusesCountsAndTriesAgain();
    void oversizedTopicsAndRecordsAreRefusedByName();
    void olderQueuesAreReadAndContinued();
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

// Inverts `count` bytes of a file from `offset` on.
bool flip(const QString &path, qint64 offset, int count)
{
    QFile file(path);
    QByteArray bytes;
    if (!file.open(QIODevice::ReadWrite) || !file.seek(offset))
        return false;
    for (char byte : file.read(count))
        bytes += char(~byte);
    return file.seek(offset) && file.write(bytes) == count;
}

// A segment as queues wrote it before records carried their number: length, CRC-32 of the
// body (computed bit by bit here), the topic's length, the topic and the payload.
QByteArray olderSegment(int from, int to)
{
    QByteArray file;
    for (int i = from; i < to; ++i) {
        const std::string topic = topicOf(i), body = char(topic.size()) + std::string(1, '\0') +
                                                     topic + "payload " + std::to_string(i);
        quint32 crc = 0xFFFFFFFFu;
        for (char byte : body) {
            crc ^= quint8(byte);
            for (int k = 0; k < 8; ++k)
                crc = crc & 1 ? 0xEDB88320u ^ (crc >> 1) : crc >> 1;
        }
        char header[8];
        qToLittleEndian(quint32(body.size()), header);
        qToLittleEndian(~crc, header + 4);
        file += QByteArray(header, 8) + QByteArray::fromStdString(body);
    }
    return file;
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

void TestMqttQueue::damageIsSkippedCountedAndNeverWrittenOver_data()
{
    QTest::addColumn<int>("segment");   // of three: 0-9, 10-19, 20-28
    QTest::addColumn<bool>("truncate"); // else 64 bytes flipped
    QTest::addColumn<std::vector<int>>("lost");
    // The records of a segment are all alike long: the damage begins inside the fourth.
    QTest::newRow("flipped in a full segment") << 1 << false << std::vector<int>{13, 14, 15};
    QTest::newRow("flipped in the last segment") << 2 << false << std::vector<int>{23, 24, 25};
    QTest::newRow("full segment cut short") << 1 << true << range(13, 20);
    // The end of the last segment cannot tell what followed: not counted, the rest is kept.
    QTest::newRow("last segment cut short") << 2 << true << std::vector<int>{};
}

void TestMqttQueue::damageIsSkippedCountedAndNeverWrittenOver()
{
    QFETCH(int, segment);
    QFETCH(bool, truncate);
    QFETCH(std::vector<int>, lost);
    TempStation station;
    const QString folder = station.filePath("mqtt");
    {
        MqttQueue queue(folder.toStdString(), 1000, 10);
        QCOMPARE(queue.open(), 0);
        fill(queue, 0, 29);
    }
    const QString path = folder + "/" + segmentFiles(folder).at(segment);
    const qint64 record = QFileInfo(path).size() / (segment == 2 ? 9 : 10);
    const qint64 middle = 3 * record + record / 2;
    QVERIFY(truncate ? QFile::resize(path, middle) : flip(path, middle, 64));

    std::vector<int> expected;
    for (int i = 0; i < 31; ++i)
        if (std::count(lost.begin(), lost.end(), i) == 0 &&
            !(truncate && segment == 2 && i >= 23 && i < 29))
            expected.push_back(i);
    {
        MqttQueue queue(folder.toStdString(), 1000, 10);
        QCOMPARE(queue.open(), 0);
        QCOMPARE(queue.health().damaged, uint64_t(lost.size()));
        QCOMPARE(queue.health().damagedBytes > 0, !lost.empty());
        QCOMPARE(queue.dropped(), uint64_t(lost.size()));
        // Appended after the last valid record: the survivors still read, nothing counted twice.
        fill(queue, 29, 31);
        QCOMPARE(drain(queue), expected);
        QCOMPARE(queue.dropped(), uint64_t(lost.size()));
        queue.acknowledge(queue.end());
    }
    // Acknowledged, the damage costs nothing any more.
    MqttQueue queue(folder.toStdString(), 1000, 10);
    QCOMPARE(queue.open(), 0);
    QCOMPARE(queue.dropped() + queue.backlog(), uint64_t(0));
}

void TestMqttQueue::damagedCursorSendsEverythingAgain_data()
{
    QTest::addColumn<QByteArray>("cursor"); // "19" keeps the checksum of 12
    QTest::addColumn<int>("resumeAt");
    // The first stored message is 10: the segment before went with the acknowledgement.
    QTest::newRow("a digit changed") << QByteArray("19") << 10;
    QTest::newRow("garbage") << QByteArray("\x93\x07zz\xff", 5) << 10;
    QTest::newRow("an older queue's cursor") << QByteArray("12\n") << 12;
}

void TestMqttQueue::damagedCursorSendsEverythingAgain()
{
    QFETCH(QByteArray, cursor);
    QFETCH(int, resumeAt);
    TempStation station;
    const std::string folder = station.filePath("mqtt").toStdString();
    {
        MqttQueue queue(folder, 1000, 10);
        QCOMPARE(queue.open(), 0);
        fill(queue, 0, 25);
        queue.acknowledge(12);
    }
    const QByteArray saved = station.readFile("mqtt/cursor");
    QVERIFY(saved.startsWith("12 "));
    QVERIFY(station.writeFile("mqtt/cursor", cursor == "19" ? cursor + saved.mid(2) : cursor));
    for (int run = 0; run < 2; ++run) {
        MqttQueue queue(folder, 1000, 10);
        QCOMPARE(queue.open(), 0);
        QCOMPARE(queue.health().cursorDamaged, run == 0 && resumeAt == 10);
        QCOMPARE(drain(queue), range(run == 0 ? resumeAt : 20, 25));
        QCOMPARE(queue.dropped(), uint64_t(0));
        // A sound cursor replaces the damaged one.
        queue.acknowledge(20);
    }
}

void TestMqttQueue::unwritableQueueRefusesCountsAndTriesAgain_data()
{
    QTest::addColumn<QString>("fault");
    QTest::newRow("read-only folder") << "read-only";
    QTest::newRow("a plain file in place of the folder") << "file";
    QTest::newRow("full disk") << "full";
}

void TestMqttQueue::unwritableQueueRefusesCountsAndTriesAgain()
{
    QFETCH(QString, fault);
    TempStation station;
    // Root writes through permissions and has no file size limit that matters: it gets a small
    // memory file system of its own to fill or make read-only.
    const QByteArray disk = QFile::encodeName(station.filePath("disk"));
    QVERIFY(QDir().mkpath(station.filePath("disk")));
    const bool root = ::geteuid() == 0;
    if (root)
        QCOMPARE(::mount("tmpfs", disk, "tmpfs", 0, "size=128k"), 0);
    const auto unmount = qScopeGuard([&] {
        if (root)
            ::umount2(disk, MNT_DETACH);
    });
    const auto remount = [&](unsigned long flags) {
        return ::mount("tmpfs", disk, "tmpfs", MS_REMOUNT | flags, nullptr) == 0;
    };
    const QString folder = station.filePath("disk/mqtt");
    int next = 0;
    std::vector<int> stored;
    uint64_t refused = 0;
    const auto append = [&](MqttQueue &queue) {
        const int number = next++;
        if (!queue.append(topicOf(number), "payload " + std::to_string(number))) {
            ++refused;
            return false;
        }
        stored.push_back(number);
        return true;
    };
    {
        MqttQueue queue(folder.toStdString(), 100000, 1000);
        QCOMPARE(queue.open(), 0);
        for (int i = 0; i < 5; ++i)
            QVERIFY(append(queue));
    }

    MqttQueue::Problem expected = MqttQueue::NotWritable;
    struct rlimit limit;
    ::getrlimit(RLIMIT_FSIZE, &limit);
    const struct rlimit unlimited = limit;
    if (fault == "read-only") {
        QVERIFY(root ? remount(MS_RDONLY)
                     : QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner));
    } else if (fault == "file") {
        QVERIFY(QDir(folder).removeRecursively());
        QVERIFY(station.writeFile("disk/mqtt", "in the way"));
        stored.clear();
    } else if (root) {
        expected = MqttQueue::DiskFull;
    } else {
        // A file size limit fails the write the same way.
        std::signal(SIGXFSZ, SIG_IGN);
        limit.rlim_cur = rlim_t(QFileInfo(folder + "/" + segmentFiles(folder).last()).size());
        QCOMPARE(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    }
    MqttQueue queue(folder.toStdString(), 100000, 1000);
    queue.setRetryInterval(60000);
    QCOMPARE(queue.open(), fault == "file" ? -1 : 0);
    // Larger than the disk: it takes every free byte.
    if (fault == "full" && root)
        QVERIFY(!station.writeFile("disk/filler", QByteArray(128 * 1024, 'f')));
    for (int i = 0; i < 2000 && append(queue); ++i) {
    }
    QCOMPARE(queue.health().problem, expected);
    // Put right, but the retry is not due: refused and counted without touching the disk.
    if (fault == "read-only")
        QVERIFY(root ? remount(0)
                     : QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner |
                                                         QFile::ExeOwner));
    else if (fault == "file")
        QVERIFY(QFile::remove(folder));
    else
        QVERIFY(root ? QFile::remove(station.filePath("disk/filler"))
                     : ::setrlimit(RLIMIT_FSIZE, &unlimited) == 0);
    for (int i = 0; i < 20; ++i)
        QVERIFY(!append(queue));
    QCOMPARE(queue.health().problem, expected);
    QCOMPARE(queue.health().lastRefusal, expected);
    QCOMPARE(queue.health().refused, refused);

    // Tried again by the next append, or by the queue's own thread for a folder it could not
    // open.
    queue.setRetryInterval(0);
    QTRY_VERIFY_WITH_TIMEOUT(append(queue), 2 * MqttQueue::syncIntervalMs + 1000);
    QVERIFY(append(queue));
    QCOMPARE(queue.health().problem, MqttQueue::NoProblem);
    QCOMPARE(queue.dropped(), refused);
    QCOMPARE(drain(queue), stored);
}

void TestMqttQueue::oversizedTopicsAndRecordsAreRefusedByName()
{
    TempStation station;
    MqttQueue queue(station.filePath("mqtt").toStdString());
    QCOMPARE(queue.open(), 0);
    QVERIFY(queue.append(std::string(MqttQueue::maxTopicSize, 't'), "p"));
    QVERIFY(!queue.append(std::string(MqttQueue::maxTopicSize + 1, 't'), "p"));
    QCOMPARE(queue.health().lastRefusal, MqttQueue::TopicTooLong);
    QVERIFY(!queue.append("t", std::string(MqttQueue::maxRecordSize, 'p')));
    QCOMPARE(queue.health().lastRefusal, MqttQueue::TooLarge);
    // One by one: the queue itself is sound.
    QCOMPARE(queue.health().problem, MqttQueue::NoProblem);
    QVERIFY(queue.append("t", "p"));
    QCOMPARE(queue.dropped() + queue.backlog(), uint64_t(4));
}

void TestMqttQueue::olderQueuesAreReadAndContinued()
{
    TempStation station;
    QVERIFY(station.writeFile("mqtt/00000000000000000000.seg", olderSegment(0, 10)));
    QVERIFY(station.writeFile("mqtt/00000000000000000010.seg", olderSegment(10, 15)));
    QVERIFY(station.writeFile("mqtt/cursor", "3\n"));
    // The sixth record damaged: the segment comes one short, and says so.
    const QString first = station.filePath("mqtt/00000000000000000000.seg");
    QVERIFY(flip(first, QFileInfo(first).size() / 2, 4));
    MqttQueue queue(station.filePath("mqtt").toStdString(), 1000, 10);
    QCOMPARE(queue.open(), 0);
    QCOMPARE(queue.health().damaged, uint64_t(1));
    fill(queue, 15, 20);
    std::vector<int> expected = range(3, 20);
    expected.erase(expected.begin() + 2);
    QCOMPARE(drain(queue), expected);
}

QTEST_GUILESS_MAIN(TestMqttQueue)
#include "tst_mqttqueue.moc"
