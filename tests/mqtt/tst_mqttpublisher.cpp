#include "acquisition/alarmrules.h"
#include "acquisition/threadhandoff.h"
#include "app/appcontext.h"
#include "brokerprocess.h"
#include "mqtt/mqttpublisher.h"
#include "mqttsubscriber.h"
#include "storage/recorddatabase.h"
#include "storage/recordrow.h"
#include "storage/recordwriter.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QProcess>
#include <QScopeGuard>
#include <QThread>
#include <QtTest>

#include <nlohmann/json.hpp>

#include <mutex>
#include <set>

#include <unistd.h>

using nlohmann::json;

class TestMqttPublisher : public QObject
{
    Q_OBJECT

private slots:
    void readingsAlarmsAndTrailRowsArriveWithPayloadsAndEscapedTopics();
    void statusIsRetainedOnlineAndOfflineAsWillAndAtAStop();
    void backlogKeptThroughAnOutageArrivesInOrder();
    void backlogOnDiskIsSentByTheNextPublisher();
    void brokerKilledMidStreamIsReportedAndSendingResumes();
    void failedConnectsAreReportedAndRetried_data();
    void failedConnectsAreReportedAndRetried();
    void registryPublishesExactlyWhatTheRecordWriterIsHanded();
    void whatTheDatabaseRefusesNeverReachesTheBroker();
    void longNamesArriveUnderCutTopics();
    void unwritableQueueIsReportedWhileConnectedAndTriedAgain();
    void unusableSettingsAreOffWithTheirReason();
};

namespace {

const int waitMs = 10000;

MqttSettings settingsFor(int port, const std::string &clientId = "hv-test")
{
    MqttSettings settings;
    settings.enabled = true;
    settings.host = "127.0.0.1";
    settings.port = port;
    settings.clientId = clientId;
    settings.topic = "hv";
    settings.station = "st";
    return settings;
}

RecordRow rowOf(int number, const std::string &name = "a", const std::string &factor = "pH")
{
    RecordRow row;
    row.time = "2024-03-01 08:00:00";
    row.model = "DI590";
    row.name = name;
    row.slave = 1;
    row.channel = number;
    row.factor = factor;
    row.unit = "ppm";
    row.value = "8.50";
    row.status = "N";
    return row;
}

// The channel numbers of the readings received, each at its first arrival: QoS 1 may repeat a
// message after a reconnect, but must neither lose nor reorder.
std::vector<int> firstArrivals(const MqttSubscriber &subscriber)
{
    std::vector<int> numbers;
    std::set<int> seen;
    for (const auto &message : subscriber.messages("hv/st/readings/")) {
        const int number = json::parse(message.payload)["channel"].get<int>();
        if (seen.insert(number).second)
            numbers.push_back(number);
    }
    return numbers;
}

bool allArrived(const MqttSubscriber &subscriber, int count)
{
    return firstArrivals(subscriber).size() >= size_t(count);
}

std::vector<std::string> statusTexts(const MqttSubscriber &subscriber)
{
    std::vector<std::string> texts;
    for (const auto &message : subscriber.messages("hv/st/status"))
        texts.push_back(message.payload);
    return texts;
}

// Every reason the publisher reported, in order, also those replaced at once.
class ReasonLog
{
public:
    explicit ReasonLog(MqttPublisher &publisher)
    {
        connection = QObject::connect(&publisher, &MqttPublisher::signal_statusChanged, &publisher,
                         [this, &publisher] {
                             std::lock_guard<std::mutex> locker(mutex);
                             reasons << publisher.status().reason;
                         },
                         Qt::DirectConnection);
    }
    ~ReasonLog() { QObject::disconnect(connection); }
    bool contains(const QString &reason)
    {
        std::lock_guard<std::mutex> locker(mutex);
        return reasons.contains(reason);
    }
    QStringList all()
    {
        std::lock_guard<std::mutex> locker(mutex);
        return reasons;
    }

private:
    QMetaObject::Connection connection;
    std::mutex mutex;
    QStringList reasons;
};

// Every message logged from any thread while keepWarnings is the handler.
std::mutex warningsMutex;
QStringList warnings;
QtMessageHandler previousHandler = nullptr;

void keepWarnings(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    {
        std::lock_guard<std::mutex> locker(warningsMutex);
        warnings << text;
    }
    previousHandler(type, context, text);
}

int warningsWith(const QString &part)
{
    std::lock_guard<std::mutex> locker(warningsMutex);
    return warnings.filter(part).size();
}

} // namespace

void TestMqttPublisher::readingsAlarmsAndTrailRowsArriveWithPayloadsAndEscapedTopics()
{
    TempStation station;
    BrokerProcess broker(station.filePath("broker").toStdString());
    QVERIFY(broker.start());
    MqttSubscriber subscriber("sub-payloads", broker.port(), "hv/#", true);
    QVERIFY(subscriber.connect());
    MqttPublisher publisher(station.filePath("mqtt"));
    publisher.apply(settingsFor(broker.port()));
    QTRY_COMPARE_WITH_TIMEOUT(publisher.status().state, MqttPublisher::Connected, waitMs);

    publisher.recordRow(rowOf(0, "池/1#+", "溶解氧"));
    publisher.recordRow(rowOf(1, "", "pH"));
    AlarmEvent alarm;
    alarm.kind = AlarmEvent::Low;
    alarm.name = "池/1#+";
    alarm.factor = "pH";
    alarm.value = "5.00";
    alarm.alarmPoint = "6.00";
    alarm.raised = "2024-03-01 08:00:05";
    publisher.alarmChange(AlarmLogEntry::Raise, alarm);
    // A trail row, its detail with what a line-based copy would split on.
    publisher.auditRow("2024-03-01 08:00:06", "admin", "清空", "第一\n行 \"x\"");
    QVERIFY(subscriber.waitForCount(2, waitMs, "hv/st/readings/"));
    QVERIFY(subscriber.waitForCount(1, waitMs, "hv/st/alarms"));
    QVERIFY(subscriber.waitForCount(1, waitMs, "hv/st/audit"));

    const auto readings = subscriber.messages("hv/st/readings/");
    QCOMPARE(readings.size(), size_t(2));
    QCOMPARE(QString::fromStdString(readings[0].topic),
             QString("hv/st/readings/池%2F1%23%2B/溶解氧"));
    QCOMPARE(readings[1].topic, std::string("hv/st/readings/_/pH"));
    const json payload = json::parse(readings[0].payload);
    QCOMPARE(payload["name"], json("池/1#+"));
    QCOMPARE(payload["value"], json(8.5));
    QCOMPARE(payload["text"], json("8.50"));
    QVERIFY(!readings[0].retained);

    const auto alarms = subscriber.messages("hv/st/alarms");
    QCOMPARE(alarms.size(), size_t(1));
    const json event = json::parse(alarms[0].payload);
    QCOMPARE(event["event"], json("raised"));
    QCOMPARE(event["kind"], json("低报"));
    QCOMPARE(event["time"], json("2024-03-01 08:00:05"));

    const auto trail = subscriber.messages("hv/st/audit");
    QCOMPARE(trail.size(), size_t(1));
    QCOMPARE(json::parse(trail[0].payload), json({{"time", "2024-03-01 08:00:06"},
                                                  {"user", "admin"},
                                                  {"action", "清空"},
                                                  {"detail", "第一\n行 \"x\""}}));
    QVERIFY(!trail[0].retained);
    QTRY_COMPARE_WITH_TIMEOUT(publisher.status().backlog, qint64(0), waitMs);
}

void TestMqttPublisher::statusIsRetainedOnlineAndOfflineAsWillAndAtAStop()
{
    TempStation station;
    BrokerProcess broker(station.filePath("broker").toStdString());
    QVERIFY(broker.start());

    // A publisher in a process of its own that dies without a word: the broker sends the will.
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(),
                {"--publish-child", station.filePath("child"), QString::number(broker.port())});
    QVERIFY(child.waitForStarted());
    QByteArray said;
    QElapsedTimer waited;
    waited.start();
    while (!said.contains("connected") && child.state() == QProcess::Running &&
           waited.elapsed() < waitMs) {
        child.waitForReadyRead(100);
        said += child.readAllStandardOutput();
    }
    QVERIFY2(said.contains("connected"), child.readAllStandardError().constData());
    // The child says so once connected, maybe before the broker has its status: a subscriber
    // that comes first gets it live, and the next one then finds it retained.
    bool retained = false;
    for (int attempt = 0; attempt < 2 && !retained; ++attempt) {
        MqttSubscriber late("sub-online", broker.port(), "hv/st/status", true);
        QVERIFY(late.connect());
        QVERIFY(late.waitForCount(1, waitMs));
        QCOMPARE(late.messages()[0].payload, std::string("online"));
        retained = late.messages()[0].retained;
    }
    QVERIFY(retained);
    MqttSubscriber watcher("sub-will", broker.port(), "hv/st/status", true);
    QVERIFY(watcher.connect());
    QVERIFY(watcher.waitForCount(1, waitMs));
    child.kill();
    QVERIFY(child.waitForFinished());
    QVERIFY(watcher.waitForCount(2, waitMs));
    QCOMPARE(statusTexts(watcher), (std::vector<std::string>{"online", "offline"}));

    // In this process: "online" again, then "offline" at a clean stop, which stays retained.
    watcher.clear();
    {
        MqttPublisher publisher(station.filePath("mqtt"));
        publisher.apply(settingsFor(broker.port()));
        QVERIFY(watcher.waitForCount(1, waitMs));
        QCOMPARE(statusTexts(watcher), std::vector<std::string>{"online"});
        publisher.stop();
        QCOMPARE(publisher.status().state, MqttPublisher::Off);
    }
    QVERIFY(watcher.waitForCount(2, waitMs));
    QCOMPARE(statusTexts(watcher), (std::vector<std::string>{"online", "offline"}));
    MqttSubscriber after("sub-after", broker.port(), "hv/st/status", true);
    QVERIFY(after.connect());
    QVERIFY(after.waitForCount(1, waitMs));
    QCOMPARE(after.messages()[0].payload, std::string("offline"));
    QVERIFY(after.messages()[0].retained);
}

void TestMqttPublisher::backlogKeptThroughAnOutageArrivesInOrder()
{
    TempStation station;
    BrokerProcess::Options options;
    options.persistence = true;
    BrokerProcess broker(station.filePath("broker").toStdString(), options);
    QVERIFY(broker.start());
    MqttSubscriber subscriber("sub-outage", broker.port(), "hv/#", false);
    QVERIFY(subscriber.connect());
    MqttPublisher publisher(station.filePath("mqtt"));
    ReasonLog reasons(publisher);
    publisher.apply(settingsFor(broker.port()));
    QTRY_COMPARE_WITH_TIMEOUT(publisher.status().state, MqttPublisher::Connected, waitMs);
    for (int i = 0; i < 50; ++i)
        publisher.recordRow(rowOf(i));
    QVERIFY(QTest::qWaitFor([&] { return allArrived(subscriber, 50); }, waitMs));

    QVERIFY(broker.stop());
    QTRY_COMPARE_WITH_TIMEOUT(publisher.status().state, MqttPublisher::Connecting, waitMs);
    for (int i = 50; i < 300; ++i)
        publisher.recordRow(rowOf(i));
    QTRY_COMPARE_WITH_TIMEOUT(publisher.status().backlog, qint64(250), waitMs);
    QVERIFY(reasons.contains("连接中断") || reasons.contains("连接被服务器关闭"));

    QVERIFY(broker.start());
    QVERIFY(QTest::qWaitFor([&] { return allArrived(subscriber, 300); }, waitMs));
    QCOMPARE(firstArrivals(subscriber), range(0, 300));
    QTRY_COMPARE_WITH_TIMEOUT(publisher.status().backlog, qint64(0), waitMs);
    QCOMPARE(publisher.status().state, MqttPublisher::Connected);
    QCOMPARE(publisher.status().dropped, qint64(0));
}

void TestMqttPublisher::backlogOnDiskIsSentByTheNextPublisher()
{
    TempStation station;
    BrokerProcess broker(station.filePath("broker").toStdString());
    const int port = BrokerProcess::freePort();
    {
        // Nothing listens yet: every message waits on disk.
        MqttPublisher publisher(station.filePath("mqtt"));
        publisher.apply(settingsFor(port));
        QTRY_COMPARE_WITH_TIMEOUT(publisher.status().reason, QString("连接被拒绝"), waitMs);
        QCOMPARE(publisher.status().state, MqttPublisher::Connecting);
        for (int i = 0; i < 40; ++i)
            publisher.recordRow(rowOf(i));
        QCOMPARE(publisher.status().backlog, qint64(40));
    }
    QVERIFY(broker.start());
    MqttSubscriber subscriber("sub-restart", broker.port(), "hv/#", true);
    QVERIFY(subscriber.connect());
    MqttPublisher publisher(station.filePath("mqtt"));
    QCOMPARE(publisher.status().backlog, qint64(40));
    publisher.apply(settingsFor(broker.port()));
    publisher.recordRow(rowOf(40));
    QVERIFY(QTest::qWaitFor([&] { return allArrived(subscriber, 41); }, waitMs));
    QCOMPARE(firstArrivals(subscriber), range(0, 41));
}

void TestMqttPublisher::brokerKilledMidStreamIsReportedAndSendingResumes()
{
    TempStation station;
    BrokerProcess broker(station.filePath("broker").toStdString());
    QVERIFY(broker.start());
    MqttPublisher publisher(station.filePath("mqtt"));
    ReasonLog reasons(publisher);
    publisher.apply(settingsFor(broker.port()));
    QTRY_COMPARE_WITH_TIMEOUT(publisher.status().state, MqttPublisher::Connected, waitMs);
    for (int i = 0; i < 2000; ++i)
        publisher.recordRow(rowOf(i));
    broker.kill();
    QTRY_VERIFY_WITH_TIMEOUT(reasons.contains("连接中断"), waitMs);

    QVERIFY(broker.start());
    MqttSubscriber subscriber("sub-resume", broker.port(), "hv/#", true);
    QVERIFY(subscriber.connect());
    QTRY_COMPARE_WITH_TIMEOUT(publisher.status().state, MqttPublisher::Connected, waitMs);
    for (int i = 2000; i < 2020; ++i)
        publisher.recordRow(rowOf(i));
    QTRY_COMPARE_WITH_TIMEOUT(publisher.status().backlog, qint64(0), waitMs);
    // What was not acknowledged before the kill went to the new broker, ahead of the rest.
    const std::vector<int> arrived = firstArrivals(subscriber);
    QVERIFY(arrived.size() >= 20);
    QVERIFY(std::is_sorted(arrived.begin(), arrived.end()));
    QCOMPARE(arrived.back(), 2019);
    // A publish that met the dead connection was kept for the next one, not skipped.
    QCOMPARE(publisher.status().dropped, qint64(0));
}

void TestMqttPublisher::failedConnectsAreReportedAndRetried_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<bool>("login");
    QTest::addColumn<bool>("tls");
    QTest::addColumn<QString>("reason");
    QTest::newRow("unresolvable host") << "no-such-host.invalid" << false << false << "无法解析主机名";
    QTest::newRow("wrong credentials") << "127.0.0.1" << true << false << "用户名或密码错误";
    QTest::newRow("bad CA file") << "127.0.0.1" << false << true << "CA文件无效";
}

void TestMqttPublisher::failedConnectsAreReportedAndRetried()
{
    QFETCH(QString, host);
    QFETCH(bool, login);
    QFETCH(bool, tls);
    QFETCH(QString, reason);
    TempStation station;
    BrokerProcess::Options options;
    options.requireLogin = login;
    BrokerProcess broker(station.filePath("broker").toStdString(), options);
    QVERIFY(broker.start());
    MqttSettings settings = settingsFor(broker.port());
    settings.host = host.toStdString();
    settings.username = "someone";
    settings.password = "wrong";
    settings.tls = tls;
    station.writeFile("garbage.pem", "-----BEGIN CERTIFICATE-----\nnot base64 at all\n");
    settings.caFile = station.filePath("garbage.pem").toStdString();

    MqttPublisher publisher(station.filePath("mqtt"));
    QSignalSpy changes(&publisher, &MqttPublisher::signal_statusChanged);
    publisher.apply(settings);
    QTRY_COMPARE_WITH_TIMEOUT(publisher.status().reason, reason, waitMs);
    QCOMPARE(publisher.status().state, MqttPublisher::Connecting);
    publisher.recordRow(rowOf(0));
    QCOMPARE(publisher.status().backlog, qint64(1));
    QVERIFY(!changes.isEmpty());

    // Settings put right reach the broker with what waited.
    if (!login) {
        MqttSubscriber subscriber("sub-fixed", broker.port(), "hv/#", true);
        QVERIFY(subscriber.connect());
        publisher.apply(settingsFor(broker.port()));
        QVERIFY(QTest::qWaitFor([&] { return allArrived(subscriber, 1); }, waitMs));
        QCOMPARE(publisher.status().reason, QString());
    }
}

void TestMqttPublisher::registryPublishesExactlyWhatTheRecordWriterIsHanded()
{
    TempStation station;
    BrokerProcess broker(station.filePath("broker").toStdString());
    QVERIFY(broker.start());
    MqttSubscriber subscriber("sub-registry", broker.port(), "hv/#", true);
    QVERIFY(subscriber.connect());
    station.writeFile("config/Mqtt.json", QByteArray::fromStdString(json{
        {"enabled", true}, {"host", "127.0.0.1"}, {"port", broker.port()}, {"topic", "hv"},
        {"station", "st"}, {"clientId", "hv-registry"}}.dump()));
    QCOMPARE(AppContext::instance().init(), 0);
    auto *publisher = static_cast<MqttPublisher *>(AppContext::instance().object(MqttOutbox));
    QVERIFY(publisher);
    QTRY_COMPARE_WITH_TIMEOUT(publisher->status().state, MqttPublisher::Connected, waitMs);

    QThread thread;
    auto *writer = new RecordWriter;
    ThreadHandOff::start(writer, &thread);
    for (int i = 0; i < 3; ++i) {
        auto *row = new RecordRow(rowOf(i));
        QMetaObject::invokeMethod(writer, [writer, row] { writer->record(nullptr, row); },
                                  Qt::QueuedConnection);
    }
    AlarmLogEntry entry;
    entry.alarm.name = "a";
    entry.alarm.raised = "2024-03-01 08:00:00";
    QMetaObject::invokeMethod(writer, [writer, entry] { writer->alarm(entry); },
                              Qt::QueuedConnection);
    writer->waitForQueued();
    RecordWriter::stopThread(writer, &thread);
    QVERIFY(subscriber.waitForCount(3, waitMs, "hv/st/readings/"));
    QVERIFY(subscriber.waitForCount(1, waitMs, "hv/st/alarms"));
    QCOMPARE(firstArrivals(subscriber), range(0, 3));
    QCOMPARE(subscriber.messages("hv/st/alarms").size(), size_t(1));

    AppContext::instance().shutdown();
    QVERIFY(subscriber.waitForCount(2, waitMs, "hv/st/status"));
    QCOMPARE(statusTexts(subscriber).back(), std::string("offline"));
}

void TestMqttPublisher::whatTheDatabaseRefusesNeverReachesTheBroker()
{
    TempStation station;
    BrokerProcess broker(station.filePath("broker").toStdString());
    QVERIFY(broker.start());
    MqttSubscriber subscriber("sub-refused", broker.port(), "hv/#", true);
    QVERIFY(subscriber.connect());
    station.writeFile("config/Mqtt.json", QByteArray::fromStdString(json{
        {"enabled", true}, {"host", "127.0.0.1"}, {"port", broker.port()}, {"topic", "hv"},
        {"station", "st"}, {"clientId", "hv-refused"}}.dump()));
    QCOMPARE(AppContext::instance().init(), 0);
    auto *publisher = static_cast<MqttPublisher *>(AppContext::instance().object(MqttOutbox));
    QTRY_COMPARE_WITH_TIMEOUT(publisher->status().state, MqttPublisher::Connected, waitMs);
    // The database refuses the rows of channel 1 for good, and takes none for a while.
    auto *database = static_cast<RecordDatabase *>(AppContext::instance().object(RecordDb));
    database->close();
    int rc = -1;
    selectWithKey(AppContext::instance().path(RecordDb),
                  "CREATE TRIGGER refuse BEFORE INSERT ON Record WHEN NEW.channel = 1 BEGIN "
                  "SELECT RAISE(ABORT, 'refused'); END",
                  &rc);
    QCOMPARE(rc, 0);

    QThread thread;
    auto *writer = new RecordWriter;
    ThreadHandOff::start(writer, &thread);
    for (int i = 0; i < 3; ++i) {
        auto *row = new RecordRow(rowOf(i));
        QMetaObject::invokeMethod(writer, [writer, row] { writer->record(nullptr, row); },
                                  Qt::QueuedConnection);
    }
    // A clear whose raise the log never got (stored as a whole row), then a raise.
    AlarmLogEntry cleared;
    cleared.change = AlarmLogEntry::Clear;
    cleared.alarm.name = "无行";
    cleared.alarm.raised = "2024-03-01 08:00:00";
    cleared.alarm.cleared = "2024-03-01 08:01:00";
    AlarmLogEntry raised;
    raised.alarm.name = "有行";
    raised.alarm.raised = "2024-03-01 08:02:00";
    for (const AlarmLogEntry &entry : {cleared, raised})
        QMetaObject::invokeMethod(writer, [writer, entry] { writer->alarm(entry); },
                                  Qt::QueuedConnection);
    writer->waitForQueued();
    QCOMPARE(database->open(), 0);
    writer->waitForQueued();
    RecordWriter::stopThread(writer, &thread);
    // Published in order: once the last arrived, anything before it would have.
    QVERIFY(subscriber.waitForCount(2, waitMs, "hv/st/readings/"));
    QVERIFY(subscriber.waitForCount(2, waitMs, "hv/st/alarms"));
    QCOMPARE(firstArrivals(subscriber), std::vector<int>({0, 2}));
    // Both alarm changes were stored once the database took rows again, and only then sent.
    const auto alarms = subscriber.messages("hv/st/alarms");
    QCOMPARE(alarms.size(), size_t(2));
    QCOMPARE(json::parse(alarms[0].payload)["name"], json("无行"));
    QCOMPARE(json::parse(alarms[1].payload)["name"], json("有行"));
    AppContext::instance().shutdown();
}

void TestMqttPublisher::longNamesArriveUnderCutTopics()
{
    TempStation station;
    BrokerProcess broker(station.filePath("broker").toStdString());
    QVERIFY(broker.start());
    MqttSubscriber subscriber("sub-long", broker.port(), "hv/#", true);
    QVERIFY(subscriber.connect());
    MqttPublisher publisher(station.filePath("mqtt"));
    publisher.apply(settingsFor(broker.port()));
    QTRY_COMPARE_WITH_TIMEOUT(publisher.status().state, MqttPublisher::Connected, waitMs);

    // Longer than MQTT allows for a whole topic, and two alike for their first 300 bytes.
    const std::vector<std::string> names = {std::string(70000, 'n'), std::string(300, 'a') + "1",
                                            std::string(300, 'a') + "2"};
    for (size_t i = 0; i < names.size(); ++i)
        publisher.recordRow(rowOf(int(i), names[i], std::string(400, 'f')));
    QVERIFY(subscriber.waitForCount(names.size(), waitMs, "hv/st/readings/"));
    const auto readings = subscriber.messages("hv/st/readings/");
    QCOMPARE(readings.size(), names.size());
    std::set<std::string> topics;
    for (const auto &message : readings) {
        const json payload = json::parse(message.payload);
        const size_t number = payload["channel"].get<size_t>();
        // The payload keeps the name whole.
        QCOMPARE(payload["name"].get<std::string>(), names.at(number));
        QVERIFY(message.topic.size() < 600);
        topics.insert(message.topic);
    }
    QCOMPARE(topics.size(), names.size());
    QTRY_COMPARE_WITH_TIMEOUT(publisher.status().backlog, qint64(0), waitMs);
    QCOMPARE(publisher.status().dropped, qint64(0));
}

void TestMqttPublisher::unwritableQueueIsReportedWhileConnectedAndTriedAgain()
{
    TempStation station;
    BrokerProcess broker(station.filePath("broker").toStdString());
    QVERIFY(broker.start());
    MqttSubscriber subscriber("sub-unwritable", broker.port(), "hv/#", true);
    QVERIFY(subscriber.connect());
    QVERIFY(station.writeFile("mqtt", "a file where the queue's folder belongs"));
    previousHandler = qInstallMessageHandler(keepWarnings);
    const auto restore = qScopeGuard([] { qInstallMessageHandler(previousHandler); });
    MqttPublisher publisher(station.filePath("mqtt"));
    QSignalSpy changes(&publisher, &MqttPublisher::signal_statusChanged);
    publisher.apply(settingsFor(broker.port()));
    QTRY_COMPARE_WITH_TIMEOUT(publisher.status().state, MqttPublisher::Connected, waitMs);

    for (int i = 0; i < 30; ++i)
        publisher.recordRow(rowOf(i));
    MqttPublisher::Status status = publisher.status();
    QCOMPARE(status.state, MqttPublisher::Connected);
    QCOMPARE(status.queueProblem, QString("队列无法写入"));
    QCOMPARE(status.refused, qint64(30));
    QCOMPARE(status.refusedReason, QString("队列无法写入"));
    QCOMPARE(status.dropped, qint64(30));
    // Told to the interface, and to the log once, not once a message.
    QTRY_VERIFY_WITH_TIMEOUT(!changes.isEmpty(), waitMs);
    QCOMPARE(warningsWith("cannot be written"), 1);

    // Put right, the folder is opened again within a retry and readings flow.
    QVERIFY(QFile::remove(station.filePath("mqtt")));
    publisher.diskQueue().setRetryInterval(0);
    QTRY_VERIFY_WITH_TIMEOUT(publisher.status().queueProblem.isEmpty(),
                             2 * MqttQueue::syncIntervalMs + 1000);
    for (int i = 30; i < 40; ++i)
        publisher.recordRow(rowOf(i));
    QVERIFY(QTest::qWaitFor([&] { return allArrived(subscriber, 10); }, waitMs));
    QCOMPARE(firstArrivals(subscriber), range(30, 40));
    QCOMPARE(publisher.status().refused, qint64(30));
    QCOMPARE(warningsWith("written again; 30 messages were not stored"), 1);
}

void TestMqttPublisher::unusableSettingsAreOffWithTheirReason()
{
    TempStation station;
    MqttPublisher publisher(station.filePath("mqtt"));
    MqttSettings settings = settingsFor(BrokerProcess::freePort());
    settings.topic = "$SYS/hv";
    publisher.apply(settings);
    QCOMPARE(publisher.status().state, MqttPublisher::Off);
    QVERIFY(publisher.status().reason.contains("$"));
    publisher.recordRow(rowOf(0));
    QCOMPARE(publisher.status().backlog, qint64(0));
}

// The child of statusIsRetainedOnlineAndOfflineAsWillAndAtAStop: connects, says so, and waits
// to be killed.
static int publishChild(const char *folder, int port)
{
    MqttPublisher publisher(QString::fromLocal8Bit(folder));
    publisher.apply(settingsFor(port, "hv-child"));
    for (int i = 0; i < 1000 && publisher.status().state != MqttPublisher::Connected; ++i)
        QThread::msleep(10);
    if (publisher.status().state != MqttPublisher::Connected)
        return 1;
    const char said[] = "connected\n";
    if (::write(STDOUT_FILENO, said, sizeof(said) - 1) < 0)
        return 1;
    for (;;)
        ::pause();
}

int main(int argc, char **argv)
{
    if (argc == 4 && qstrcmp(argv[1], "--publish-child") == 0)
        return publishChild(argv[2], atoi(argv[3]));
    QCoreApplication app(argc, argv);
    TestMqttPublisher test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_mqttpublisher.moc"
