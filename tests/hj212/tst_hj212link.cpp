#include "app/appcontext.h"
#include "hj212/hj212link.h"
#include "hj212/hj212uploader.h"
#include "hj212platform.h"
#include "storage/recorddatabase.h"
#include "testsupport.h"

#include <QtTest>

#include <algorithm>

class TestHj212Link : public QObject
{
    Q_OBJECT

private slots:
    void readingsAreUploadedInOrderAndAnswered();
    void unansweredMessagesAreRetriedThenTheConnectionIsMadeAgain_data();
    void unansweredMessagesAreRetriedThenTheConnectionIsMadeAgain();
    void backlogOfAnOutageAndARestartArrivesInOrder();
    void platformClosingEverySecondStillGetsEverything();
    void backlogOfALongOutageStaysBoundedAndCountsWhatItDrops();
    void periodsTheQueueCouldNotStoreAreMadeAgainOnceItCan();
    void endedPeriodsAreUploadedOnceAcrossARestart();
    void historyRequestsAreAnsweredFromTheRecordFile();
    void floodOfRequestsIsBoundedAndEveryOneAnswered();
    void commandsAreAnsweredOrRefusedAndGarbageIsSkipped();
};

namespace {

const int waitMs = 15000;
const std::map<std::string, std::string> models{{"A", "DI590"}, {"B", "DO580"}};

Hj212Link::Config configFor(int port, int minuteInterval = 1)
{
    Hj212Link::Config config;
    config.platform.name = "市平台";
    config.platform.host = "127.0.0.1";
    config.platform.port = port;
    config.platform.pw = "123456";
    config.platform.rtdInterval = 1;
    config.platform.minuteInterval = minuteInterval;
    config.platform.overTime = 1;
    config.platform.reCount = 2;
    config.point = {"HV0001", {"A", "B"}};
    config.codes = Hj212Settings().resolve(config.point, models);
    config.queueFolder =
        Hj212Uploader::pointFolder(AppContext::instance().path(Hj212Outbox), "市平台", "HV0001")
            .toStdString();
    config.recordFile = AppContext::instance().path(RecordDb).toStdString();
    config.reconnectMs = 200;
    config.settleMs = 0;
    return config;
}

RecordRow reading(const std::string &time, const std::string &value = "8.25",
                  const std::string &status = "N")
{
    RecordRow row = makeRecord("A", 0, time);
    row.value = value;
    row.status = status;
    return row;
}

std::string timeAt(int second)
{
    return QDateTime(QDate(2024, 3, 1), QTime(8, 0))
        .addSecs(second)
        .toString("yyyy-MM-dd hh:mm:ss")
        .toStdString();
}

std::string cpValue(const Hj212Platform::Received &item, const std::string &key)
{
    const auto values = Hj212Packet::cpValues(item.fields.cp);
    const auto found = values.find(key);
    return found == values.end() ? std::string() : found->second;
}

// The DataTimes of the real-time data received, each at its first arrival.
std::vector<std::string> realTimes(const Hj212Platform &platform)
{
    std::vector<std::string> times;
    for (const auto &item : platform.received("2011")) {
        const std::string time = cpValue(item, "DataTime");
        if (std::find(times.begin(), times.end(), time) == times.end())
            times.push_back(time);
    }
    return times;
}

// Hands one reading over and waits until a real-time upload has taken it into the queue.
bool feed(Hj212Link &link, const RecordRow &row, qint64 backlogAfter)
{
    link.takeRow(row);
    return QTest::qWaitFor([&] { return link.status().backlog >= backlogAfter; }, waitMs);
}

std::vector<std::string> packetTimes(const std::vector<std::string> &stored)
{
    std::vector<std::string> times;
    for (const std::string &time : stored)
        times.push_back(Hj212Statistics::packetText(time));
    return times;
}

class LinkStation
{
public:
    LinkStation()
    {
        QDir().mkpath(station.filePath("db"));
        RecordDatabase database(AppContext::instance().path(RecordDb).toStdString());
        database.openOrCreate();
        database.close();
    }
    TempStation station;
};

} // namespace

void TestHj212Link::readingsAreUploadedInOrderAndAnswered()
{
    LinkStation station;
    Hj212Platform platform;
    QVERIFY(platform.start());
    Hj212Link link(configFor(platform.port()), nullptr);
    link.start();
    QTRY_COMPARE_WITH_TIMEOUT(link.status().state, Hj212Link::Connected, waitMs);
    std::vector<std::string> sent;
    for (int i = 0; i < 4; ++i) {
        sent.push_back(timeAt(i));
        link.takeRow(reading(sent.back(), "8.2" + std::to_string(i), i == 2 ? "B" : "N"));
        QTRY_COMPARE_WITH_TIMEOUT(realTimes(platform).size(), size_t(i + 1), waitMs);
    }
    QCOMPARE(realTimes(platform), packetTimes(sent));
    QTRY_COMPARE_WITH_TIMEOUT(link.status().backlog, qint64(0), waitMs);
    const auto received = platform.received("2011");
    // A failed reading carries no value.
    QCOMPARE(cpValue(received[0], "w01009-Rtd"), std::string("8.20"));
    QCOMPARE(cpValue(received[2], "w01009-Rtd"), std::string());
    QCOMPARE(cpValue(received[2], "w01009-Flag"), std::string("B"));
    for (size_t i = 1; i < received.size(); ++i)
        QVERIFY(received[i - 1].fields.value("QN") < received[i].fields.value("QN"));
    QCOMPARE(received[0].fields.value("Flag"), std::string("5"));
    QCOMPARE(received[0].fields.value("ST"), std::string("32"));
    QCOMPARE(received[0].fields.value("MN"), std::string("HV0001"));
    QCOMPARE(link.status().dropped, qint64(0));
}

void TestHj212Link::unansweredMessagesAreRetriedThenTheConnectionIsMadeAgain_data()
{
    QTest::addColumn<int>("mode");
    QTest::newRow("never answers") << int(Hj212Platform::Silent);
    QTest::newRow("answers another QN") << int(Hj212Platform::OtherQn);
    QTest::newRow("answers with a wrong CRC") << int(Hj212Platform::WrongCrc);
}

void TestHj212Link::unansweredMessagesAreRetriedThenTheConnectionIsMadeAgain()
{
    QFETCH(int, mode);
    LinkStation station;
    Hj212Platform platform;
    platform.setMode(Hj212Platform::Mode(mode));
    QVERIFY(platform.start());
    Hj212Link link(configFor(platform.port()), nullptr);
    link.start();
    QTRY_COMPARE_WITH_TIMEOUT(link.status().state, Hj212Link::Connected, waitMs);
    QVERIFY(feed(link, reading(timeAt(0)), 1));
    link.takeRow(reading(timeAt(1)));
    // Sent once and again reCount times on the first connection, then first on the next.
    QTRY_VERIFY_WITH_TIMEOUT(platform.connections() >= 2 && !platform.received("2011").empty() &&
                                 platform.received("2011").back().connection >= 2,
                             waitMs);
    const auto received = platform.received("2011");
    const std::string first = received[0].fields.value("QN");
    long onFirst = 0;
    for (const auto &item : received)
        if (item.connection == 1) {
            QCOMPARE(item.fields.value("QN"), first);
            ++onFirst;
        }
    QCOMPARE(onFirst, 3L);
    const auto again = std::find_if(received.begin(), received.end(),
                                    [](const auto &item) { return item.connection == 2; });
    QCOMPARE(again->fields.value("QN"), first);
    QVERIFY(received[1].atMs - received[0].atMs >= 900);
    QCOMPARE(link.status().backlog, qint64(2));

    platform.setMode(Hj212Platform::Answer);
    QTRY_COMPARE_WITH_TIMEOUT(link.status().backlog, qint64(0), waitMs);
    QCOMPARE(realTimes(platform), packetTimes({timeAt(0), timeAt(1)}));
    QCOMPARE(link.status().state, Hj212Link::Connected);
}

void TestHj212Link::backlogOfAnOutageAndARestartArrivesInOrder()
{
    LinkStation station;
    Hj212Platform platform;
    QVERIFY(platform.start());
    std::vector<std::string> sent;
    {
        Hj212Link link(configFor(platform.port()), nullptr);
        link.start();
        QTRY_COMPARE_WITH_TIMEOUT(link.status().state, Hj212Link::Connected, waitMs);
        sent.push_back(timeAt(0));
        link.takeRow(reading(sent.back()));
        QTRY_COMPARE_WITH_TIMEOUT(realTimes(platform).size(), size_t(1), waitMs);
        QTRY_COMPARE_WITH_TIMEOUT(link.status().backlog, qint64(0), waitMs);

        platform.stop();
        QTRY_COMPARE_WITH_TIMEOUT(link.status().reason, QString("连接被拒绝"), waitMs);
        QCOMPARE(link.status().state, Hj212Link::Connecting);
        for (int i = 1; i <= 5; ++i) {
            sent.push_back(timeAt(i));
            QVERIFY(feed(link, reading(sent.back()), i));
        }
        // The station stops with the backlog on disk.
    }
    Hj212Link link(configFor(platform.port()), nullptr);
    QCOMPARE(link.status().backlog, qint64(5));
    link.start();
    QVERIFY(platform.start());
    QTRY_COMPARE_WITH_TIMEOUT(link.status().backlog, qint64(0), waitMs);
    QCOMPARE(realTimes(platform), packetTimes(sent));
    QCOMPARE(link.status().dropped, qint64(0));
}

void TestHj212Link::platformClosingEverySecondStillGetsEverything()
{
    LinkStation station;
    Hj212Platform platform;
    platform.setCloseAfterMs(1000);
    platform.setAnswerDelayMs(150);
    QVERIFY(platform.start());
    Hj212Link link(configFor(platform.port()), nullptr);
    link.start();
    std::vector<std::string> sent;
    for (int i = 0; i < 8; ++i) {
        sent.push_back(timeAt(i));
        link.takeRow(reading(sent.back()));
        QTRY_COMPARE_WITH_TIMEOUT(realTimes(platform).size(), size_t(i + 1), waitMs);
    }
    QTRY_COMPARE_WITH_TIMEOUT(link.status().backlog, qint64(0), waitMs * 2);
    QCOMPARE(realTimes(platform), packetTimes(sent));
    QVERIFY(platform.connections() >= 2);
}

void TestHj212Link::backlogOfALongOutageStaysBoundedAndCountsWhatItDrops()
{
    LinkStation station;
    Hj212Platform platform;
    QVERIFY(platform.start());
    platform.stop();
    Hj212Link::Config config = configFor(platform.port());
    config.maxMessages = 3;
    config.segmentMessages = 1;
    Hj212Link link(config, nullptr);
    link.start();
    std::vector<std::string> sent;
    for (int i = 0; i < 5; ++i) {
        sent.push_back(timeAt(i));
        link.takeRow(reading(sent.back()));
        QTRY_COMPARE_WITH_TIMEOUT(link.status().backlog + link.status().dropped, qint64(i + 1),
                                  waitMs);
    }
    // The oldest go, counted as beyond the bound and nothing else.
    const Hj212Link::Status status = link.status();
    QCOMPARE(status.backlog, qint64(3));
    QCOMPARE(status.dropped, qint64(2));
    QCOMPARE(status.refused + status.damaged, qint64(0));
    QVERIFY(status.queueProblem.isEmpty());
    QCOMPARE(status.state, Hj212Link::Connecting);

    QVERIFY(platform.start(platform.port()));
    QTRY_COMPARE_WITH_TIMEOUT(link.status().backlog, qint64(0), waitMs);
    QCOMPARE(realTimes(platform), packetTimes({sent.begin() + 2, sent.end()}));
}

void TestHj212Link::periodsTheQueueCouldNotStoreAreMadeAgainOnceItCan()
{
    LinkStation station;
    const QDateTime current =
        Hj212Statistics::periodStart(QDateTime::currentDateTime(), Hj212Statistics::Minute, 1);
    std::vector<RecordRow> rows;
    std::vector<std::string> expected;
    for (int back = 2; back >= 1; --back) {
        const QDateTime start = current.addSecs(-60 * back);
        expected.push_back(Hj212Statistics::packetText(start));
        rows.push_back(reading(Hj212Statistics::storedText(start.addSecs(5))));
    }
    QCOMPARE(insertRecords(AppContext::instance().path(RecordDb), rows), 0);
    Hj212Link::Config config = configFor(0);
    config.queueRetryMs = 200;
    const QString folder =
        QString::fromStdString(config.queueFolder).mid(station.station.path().size() + 1);
    QVERIFY(station.station.writeFile(
        folder + "/uploaded",
        QByteArray::fromStdString(Hj212Statistics::storedText(current.addSecs(-120)))));
    // A folder where the first segment would go: every append fails until it is gone.
    const QString blocker = station.station.filePath(folder + "/00000000000000000000.seg");
    QVERIFY(QDir().mkpath(blocker));

    Hj212Platform platform;
    QVERIFY(platform.start());
    config.platform.port = platform.port();
    Hj212Link link(config, nullptr);
    link.start();
    // To be tried again, not given up: nothing counted as lost, nothing sent.
    QTRY_VERIFY_WITH_TIMEOUT(link.status().queueProblem == QString("队列无法写入") &&
                                 link.status().dropped == 0,
                             waitMs);
    QVERIFY(platform.received("2051").empty());

    QVERIFY(QDir(blocker).removeRecursively());
    QTRY_COMPARE_WITH_TIMEOUT(platform.received("2051").size(), size_t(2), waitMs);
    QTRY_COMPARE_WITH_TIMEOUT(link.status().backlog, qint64(0), waitMs);
    std::vector<std::string> times;
    for (const auto &item : platform.received("2051"))
        times.push_back(cpValue(item, "DataTime"));
    QCOMPARE(times, expected);
    QVERIFY(link.status().queueProblem.isEmpty());
    QCOMPARE(link.status().dropped, qint64(0));
}

void TestHj212Link::endedPeriodsAreUploadedOnceAcrossARestart()
{
    LinkStation station;
    const QDateTime current =
        Hj212Statistics::periodStart(QDateTime::currentDateTime(), Hj212Statistics::Minute, 1);
    std::vector<RecordRow> rows;
    std::vector<std::string> expected;
    for (int back = 3; back >= 1; --back) {
        const QDateTime start = current.addSecs(-60 * back);
        expected.push_back(Hj212Statistics::packetText(start));
        rows.push_back(
            reading(Hj212Statistics::storedText(start.addSecs(5)), "7.5" + std::to_string(back)));
    }
    QCOMPARE(insertRecords(AppContext::instance().path(RecordDb), rows), 0);
    Hj212Link::Config config = configFor(0);
    QVERIFY(QDir().mkpath(QString::fromStdString(config.queueFolder)));
    QVERIFY(station.station.writeFile(
        QString::fromStdString(config.queueFolder).mid(station.station.path().size() + 1) +
            "/uploaded",
        QByteArray::fromStdString(Hj212Statistics::storedText(current.addSecs(-180)))));

    Hj212Platform platform;
    QVERIFY(platform.start());
    const auto minuteTimes = [&platform] {
        std::vector<std::string> times;
        for (const auto &item : platform.received("2051"))
            times.push_back(cpValue(item, "DataTime"));
        return times;
    };
    {
        Hj212Link link(configFor(platform.port()), nullptr);
        link.start();
        QTRY_COMPARE_WITH_TIMEOUT(minuteTimes().size(), size_t(3), waitMs);
        QTRY_COMPARE_WITH_TIMEOUT(link.status().backlog, qint64(0), waitMs);
    }
    QCOMPARE(minuteTimes(), expected);
    const auto first = platform.received("2051").front();
    QCOMPARE(cpValue(first, "w01009-Avg"), std::string("7.53"));
    QCOMPARE(cpValue(first, "w01009-Flag"), std::string("N"));
    // Made again and sent: nothing of those periods comes twice.
    Hj212Link link(configFor(platform.port()), nullptr);
    link.start();
    QTRY_COMPARE_WITH_TIMEOUT(link.status().state, Hj212Link::Connected, waitMs);
    link.takeRow(reading(timeAt(0)));
    QTRY_COMPARE_WITH_TIMEOUT(realTimes(platform).size(), size_t(1), waitMs);
    QCOMPARE(minuteTimes(), expected);

    // Asked for again, the periods come with the very numbers of the live upload.
    std::vector<std::string> live;
    for (const auto &item : platform.received("2051"))
        live.push_back(item.fields.cp);
    const std::string qn = "20240301090000001";
    QVERIFY(platform.send(
        Hj212Platform::request(qn, "2051", "123456", "HV0001",
                               "BeginTime=" + expected.front() + ";EndTime=" + expected.back())));
    QTRY_COMPARE_WITH_TIMEOUT(platform.received("9012", qn).size(), size_t(1), waitMs);
    std::vector<std::string> again;
    for (const auto &item : platform.received("2051", qn))
        again.push_back(item.fields.cp);
    QCOMPARE(again, live);
}

void TestHj212Link::historyRequestsAreAnsweredFromTheRecordFile()
{
    LinkStation station;
    std::vector<RecordRow> rows;
    for (int second = 0; second < 1800; second += 30)
        rows.push_back(reading(timeAt(second), second < 600 ? "8.00" : "9.00"));
    rows.push_back(reading(timeAt(900), "0.00", "B"));
    QCOMPARE(insertRecords(AppContext::instance().path(RecordDb), rows), 0);
    Hj212Platform platform;
    QVERIFY(platform.start());
    Hj212Link link(configFor(platform.port(), 10), nullptr);
    link.start();
    QTRY_VERIFY_WITH_TIMEOUT(platform.isConnected(), waitMs);

    const auto ask = [&platform](const std::string &qn, const std::string &cn,
                                 const std::string &cp) {
        return platform.send(Hj212Platform::request(qn, cn, "123456", "HV0001", cp));
    };
    const auto result = [&platform](const std::string &qn) {
        const auto got = platform.received("9012", qn);
        return got.empty() ? std::string() : cpValue(got.front(), "ExeRtn");
    };
    // A day with data, a year around it, a reversed range, a range without data.
    QVERIFY(ask("20240301090000001", "2051", "BeginTime=20240301080000;EndTime=20240301082959"));
    QVERIFY(ask("20240301090000002", "2061", "BeginTime=20230301000000;EndTime=20240301235959"));
    QVERIFY(ask("20240301090000003", "2051", "BeginTime=20240301090000;EndTime=20240301080000"));
    QVERIFY(ask("20240301090000004", "2031", "BeginTime=20200101000000;EndTime=20200105000000"));
    QTRY_VERIFY_WITH_TIMEOUT(!result("20240301090000002").empty(), waitMs * 2);
    QTRY_VERIFY_WITH_TIMEOUT(!result("20240301090000001").empty(), waitMs);
    QCOMPARE(result("20240301090000001"), std::string("1"));
    QCOMPARE(result("20240301090000002"), std::string("1"));
    QCOMPARE(result("20240301090000003"), std::string("3"));
    QTRY_COMPARE_WITH_TIMEOUT(result("20240301090000004"), std::string("100"), waitMs);
    for (const char *qn :
         {"20240301090000001", "20240301090000002", "20240301090000003", "20240301090000004"}) {
        const auto accepted = platform.received("9011", qn);
        QCOMPARE(accepted.size(), size_t(1));
        QCOMPARE(cpValue(accepted[0], "QnRtn"), std::string("1"));
    }

    // 9011, the periods with the request's QN in order, then 9012.
    const auto all = platform.received();
    std::vector<std::string> sequence;
    for (const auto &item : all)
        if (item.fields.value("QN") == "20240301090000001")
            sequence.push_back(item.fields.value("CN") + " " + cpValue(item, "DataTime") + " " +
                               cpValue(item, "w01009-Avg") + cpValue(item, "ExeRtn"));
    QCOMPARE(sequence, (std::vector<std::string>{"9011  ", "2051 20240301080000 8.00",
                                                 "2051 20240301081000 9.00",
                                                 "2051 20240301082000 9.00", "9012  1"}));
    const auto hours = platform.received("2061", "20240301090000002");
    QCOMPARE(hours.size(), size_t(1));
    QCOMPARE(cpValue(hours[0], "DataTime"), std::string("20240301080000"));
    QCOMPARE(cpValue(hours[0], "w01009-Min"), std::string("8.00"));
    QCOMPARE(cpValue(hours[0], "w01009-Avg"), std::string("8.67"));
    // Data of a history answer is answered like any upload: the platform got each once.
    QCOMPARE(platform.received("2051").size(), size_t(3));
}

void TestHj212Link::floodOfRequestsIsBoundedAndEveryOneAnswered()
{
    LinkStation station;
    QCOMPARE(insertRecords(AppContext::instance().path(RecordDb), {reading(timeAt(0))}), 0);
    Hj212Platform platform;
    platform.setAnswerDelayMs(20);
    QVERIFY(platform.start());
    Hj212Link link(configFor(platform.port(), 1), nullptr);
    link.start();
    QTRY_VERIFY_WITH_TIMEOUT(platform.isConnected(), waitMs);
    std::string flood;
    for (int i = 0; i < 100; ++i)
        flood += Hj212Packet::frame(Hj212Platform::request(
            "20240301090000" + QString::number(i).rightJustified(3, '0').toStdString(), "2051",
            "123456", "HV0001", "BeginTime=20240229000000;EndTime=20240302000000"));
    QVERIFY(platform.sendRaw(flood));
    QTRY_COMPARE_WITH_TIMEOUT(platform.received("9011").size(), size_t(100), waitMs);
    long accepted = 0;
    for (const auto &item : platform.received("9011"))
        accepted += cpValue(item, "QnRtn") == "1" ? 1 : 0;
    QVERIFY(accepted >= Hj212Link::maxRequests && accepted < 100);
    // Each one accepted is carried out.
    QTRY_COMPARE_WITH_TIMEOUT(platform.received("9012").size(), size_t(accepted), waitMs * 2);
    for (const auto &item : platform.received("9012"))
        QCOMPARE(cpValue(item, "ExeRtn"), std::string("1"));
    QCOMPARE(link.status().requests, 0);
}

void TestHj212Link::commandsAreAnsweredOrRefusedAndGarbageIsSkipped()
{
    LinkStation station;
    Hj212Platform platform;
    QVERIFY(platform.start());
    Hj212Link link(configFor(platform.port()), nullptr);
    link.start();
    QTRY_VERIFY_WITH_TIMEOUT(platform.isConnected(), waitMs);
    // 10 MB without CR LF first: what follows is still understood.
    QVERIFY(platform.sendRaw(std::string(10 << 20, '#')));
    const auto ask = [&platform](const std::string &qn, const std::string &cn,
                                 const std::string &cp, const std::string &pw = "123456") {
        return platform.send(Hj212Platform::request(qn, cn, pw, "HV0001", cp));
    };
    QVERIFY(ask("20240301090000001", "1062", "RtdInterval=60"));
    QVERIFY(ask("20240301090000002", "1062", "RtdInterval=5"));
    QVERIFY(ask("20240301090000003", "1061", ""));
    QVERIFY(ask("20240301090000004", "1011", ""));
    QVERIFY(ask("20240301090000005", "1012", "SystemTime=20240301090000"));
    QVERIFY(ask("20240301090000006", "3020", ""));
    QVERIFY(ask("20240301090000007", "1061", "", "654321"));
    QTRY_COMPARE_WITH_TIMEOUT(platform.received("9011").size(), size_t(7), waitMs);
    const auto answerOf = [&platform](const std::string &qn, const std::string &cn,
                                      const std::string &key) {
        const auto got = platform.received(cn, qn);
        return got.size() == 1 ? cpValue(got[0], key) : std::string("?");
    };
    QCOMPARE(answerOf("20240301090000001", "9012", "ExeRtn"), std::string("1"));
    QCOMPARE(link.rtdInterval(), 60);
    QCOMPARE(answerOf("20240301090000002", "9012", "ExeRtn"), std::string("3"));
    QCOMPARE(answerOf("20240301090000003", "1061", "RtdInterval"), std::string("60"));
    const std::string time = answerOf("20240301090000004", "1011", "SystemTime");
    QVERIFY(Hj212Statistics::parse(time).isValid());
    for (const char *qn : {"20240301090000005", "20240301090000006", "20240301090000007"})
        QCOMPARE(answerOf(qn, "9011", "QnRtn"), std::string("2"));
    QCOMPARE(answerOf("20240301090000001", "9011", "QnRtn"), std::string("1"));
    QCOMPARE(platform.connections(), 1);
}

QTEST_GUILESS_MAIN(TestHj212Link)
#include "tst_hj212link.moc"
