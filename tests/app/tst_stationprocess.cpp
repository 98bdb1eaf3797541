// The built station as a process, stopped from outside as a system stops it: signals to the real
// hydrovane against hydrovane-sim and a real broker, and kills at any moment.
#include "app/stationlock.h"
#include "app/stopsignals.h"
#include "brokerprocess.h"
#include "mqtt/mqttqueue.h"
#include "mqttsubscriber.h"
#include "storage/passphrase.h"
#include "storage/zircon.h"
#include "testsupport.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QtTest>

#include <csignal>
#include <memory>

class TestStationProcess : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void eachStopSignalStoresEveryRowAndReleasesTheFolder();
    void aStopDoesNotWaitLongerThanASilentInstrument();
    void aSecondSignalEndsTheStopAtOnce();
    void killsUnderLoadLeaveEveryFileIntact();
    void refusedStartsMakeNothing();
    void aSecondStationWithoutADisplayEndsAtOnce();
    void aLogThatCannotBeWrittenIsToldOnceAndTheStationRuns();

private:
    std::unique_ptr<BrokerProcess> broker;
    QTemporaryDir brokerDir;
};

namespace {

// hydrovane --station DIR --connect in a child process, its output kept, on a folder of its own
// laid out for the simulator's line at a 1-second interval and publishing as stop/NAME.
struct Child
{
    Child(const SimulatorProcess &sim, const QList<MonitorEntry> &monitors, int port,
          double timeout = 0)
        : name(QString::number(++made)),
          readings(("tst-readings-" + name).toStdString(), port,
                   ("stop/" + name + "/readings/#").toStdString(), true)
    {
        const QJsonObject mqtt{{"enabled", true}, {"host", "127.0.0.1"},
                               {"port", port},    {"clientId", "tst-station-" + name},
                               {"topic", "stop"}, {"station", name}};
        const std::pair<const char *, QByteArray> files[] = {
            {"ComPort.json", comPortJson(sim.linkPath(), 9600, timeout)},
            {"Monitor.json", monitorJson(1, monitors)},
            {"Mqtt.json", QJsonDocument(mqtt).toJson()}};
        QDir(dir.path()).mkpath("config");
        for (const auto &file : files) {
            QFile out(dir.filePath("config/") + file.first);
            out.open(QIODevice::WriteOnly);
            out.write(file.second);
        }
        process.setProcessChannelMode(QProcess::MergedChannels);
    }
    ~Child()
    {
        process.kill();
        process.waitForFinished(5000);
    }
    // Starts the station and waits until it published n readings.
    bool start(size_t n)
    {
        connected = connected || readings.connect();
        readings.clear();
        text.clear();
        process.start(QStringLiteral(HYDROVANE_PATH), {"--station", dir.path(), "--connect"});
        return connected && process.waitForStarted(10000) &&
               (n == 0 || readings.waitForCount(n, 60000));
    }
    void signal(int number) const { ::kill(pid_t(process.processId()), number); }
    bool waitForOutput(const QString &wanted)
    {
        QElapsedTimer waited;
        waited.start();
        while (!output().contains(wanted) && waited.elapsed() < 10000 &&
               process.state() != QProcess::NotRunning)
            process.waitForReadyRead(50);
        return output().contains(wanted);
    }
    // The exit code of a process that ended by itself within 10 s; -1 otherwise.
    int finish()
    {
        const bool ended = process.waitForFinished(10000);
        return ended && process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }
    QString output()
    {
        text += process.readAll();
        return QString::fromUtf8(text);
    }
    // The rows the stop told it handed to the database, with none left unstored; -1 otherwise.
    qint64 handed()
    {
        const QRegularExpressionMatch told =
            QRegularExpression("本次运行 (\\d+) 条读数交给数据库,0 条未能保存").match(output());
        return told.hasMatch() ? told.captured(1).toLongLong() : -1;
    }
    // hydrovane --count-records.
    qint64 stored() const
    {
        QProcess count;
        count.start(QStringLiteral(HYDROVANE_PATH), {"--station", dir.path(), "--count-records"});
        return count.waitForFinished(60000) && count.exitCode() == 0
                   ? count.readAllStandardOutput().trimmed().toLongLong()
                   : -1;
    }
    QString records() const { return dir.filePath("db/record.zdb"); }

    static inline int made = 0;
    QTemporaryDir dir;
    QString name;
    MqttSubscriber readings;
    bool connected = false;
    QProcess process;
    QByteArray text;
};

// What a next start would find broken in the folder: either database failing its integrity
// check, or a message of the MQTT queue that does not read back; empty when all is whole.
QString damage(const QString &folder)
{
    for (const char *file : {"/db/record.zdb", "/user/user.zdb"}) {
        if (QFileInfo::exists(folder + file) &&
            selectWithKey(folder + file, "PRAGMA integrity_check") != QStringList({"ok"}))
            return file;
    }
    MqttQueue queue((folder + "/mqtt").toStdString());
    if (queue.open() != 0)
        return "mqtt";
    const uint64_t held = queue.backlog();
    uint64_t read = 0;
    for (MqttQueue::Entry entry; queue.next(entry);)
        read += QJsonDocument::fromJson(QByteArray::fromStdString(entry.payload)).isObject();
    return read == held && queue.dropped() == 0
               ? QString()
               : QStringLiteral("mqtt: %1 of %2 read").arg(read).arg(held);
}

// The first instrument's 8.50 is over its high point of 5.00: an alarm from the first pass on.
const QStringList chain = {"1:DI590:unit=1,main=850,r0on=1,r0sp=500,r1on=0", "2:DO580:mode=0",
                           "3:RA550:mode=0"};
const QList<MonitorEntry> chainMonitors = {
    {"DI590", "高", 1}, {"DO580", "pH", 2}, {"RA550", "氯", 3}};

} // namespace

void TestStationProcess::initTestCase()
{
    QVERIFY(brokerDir.isValid());
    broker = std::make_unique<BrokerProcess>(brokerDir.path().toStdString());
    QVERIFY2(broker->start(), broker->log().c_str());
}

void TestStationProcess::eachStopSignalStoresEveryRowAndReleasesTheFolder()
{
    SimulatorProcess sim(chain);
    QVERIFY(sim.isReady());
    Child child(sim, chainMonitors, broker->port());
    MqttSubscriber alarms("tst-alarms", broker->port(),
                          "stop/" + child.name.toStdString() + "/alarms");
    QVERIFY(alarms.connect());
    qint64 before = 0;
    // Each started right after the one before ended: nothing holds the folder.
    for (int number : {SIGTERM, SIGINT, SIGHUP}) {
        QVERIFY2(child.start(10), qPrintable(child.output()));
        QVERIFY(alarms.waitForCount(1, 30000));
        child.signal(number);
        QCOMPARE(child.finish(), 0);
        QVERIFY2(child.output().contains("已停止(" + StopSignals::name(number) + ")"),
                 qPrintable(child.output()));
        QVERIFY(child.handed() >= 10);
        QCOMPARE(child.stored(), before + child.handed());
        before += child.handed();
    }
    // Alarms active at a stop are closed; the broker keeps "offline"; the folder is free.
    QCOMPARE(selectWithKey(child.records(), "SELECT count(*) > 0 AND count(*) = "
                                            "count(nullif(cleared, '')) FROM Alarm"),
             QStringList({"1"}));
    MqttSubscriber status("tst-status", broker->port(),
                          "stop/" + child.name.toStdString() + "/status");
    QVERIFY(status.connect() && status.waitForCount(1, 5000));
    QCOMPARE(status.messages().back().payload, std::string("offline"));
    QVERIFY(status.messages().back().retained);
    StationLock lock;
    QCOMPARE(lock.acquire(child.dir.path()), StationLock::Acquired);
    // Support finds the runs in the log: the line's states and each stop with its count.
    QFile log(child.dir.filePath("log/hydrovane.log"));
    QVERIFY(log.open(QIODevice::ReadOnly));
    const QString logged = QString::fromUtf8(log.readAll());
    QCOMPARE(logged.count(QRegularExpression(" INFO  hydrovane: 串口 \\S+ 已打开")), 3);
    for (int number : {SIGTERM, SIGINT, SIGHUP})
        QVERIFY(logged.contains(" INFO  hydrovane: 已停止(" + StopSignals::name(number) + ")"));
}

void TestStationProcess::aStopDoesNotWaitLongerThanASilentInstrument()
{
    // Instrument 5 never answers, at the longest timeout there is: the line nearly always waits.
    SimulatorProcess sim({"1:DI590", "5:DI590:fault=silent"});
    QVERIFY(sim.isReady());
    Child child(sim, {{"DI590", "一号", 1}, {"DI590", "沉默", 5}}, broker->port(), 5.0);
    QVERIFY2(child.start(2), qPrintable(child.output()));
    child.signal(SIGTERM);
    QCOMPARE(child.finish(), 0);
    QVERIFY(child.handed() >= 2);
    QCOMPARE(child.stored(), child.handed());
}

void TestStationProcess::aSecondSignalEndsTheStopAtOnce()
{
    SimulatorProcess sim(chain);
    QVERIFY(sim.isReady());
    Child child(sim, chainMonitors, broker->port());
    QVERIFY2(child.start(6), qPrintable(child.output()));
    // The test holds the record file: the writers cannot store, and the stop waits for them.
    zircon_db *holder = nullptr;
    QCOMPARE(zircon_open(&holder, child.records().toUtf8().constData()), 0);
    QCOMPARE(zircon_set_password(holder, kPassPhrase, kPassPhraseLength), 0);
    QCOMPARE(zircon_run_sql(holder, "BEGIN EXCLUSIVE", nullptr, nullptr), 0);
    child.signal(SIGTERM);
    const bool stopping = child.waitForOutput("正在停止");
    child.signal(SIGTERM);
    const int code = child.finish();
    zircon_run_sql(holder, "ROLLBACK", nullptr, nullptr);
    zircon_close(holder);
    QVERIFY2(stopping, qPrintable(child.output()));
    // Not the orderly end, which says what it stored.
    QCOMPARE(code, 128 + SIGTERM);
    QVERIFY(!child.output().contains("已停止"));
    QCOMPARE(damage(child.dir.path()), QString());
}

void TestStationProcess::killsUnderLoadLeaveEveryFileIntact()
{
    QStringList instruments;
    QList<MonitorEntry> monitors;
    const char *models[] = {"DI590", "RO592", "DO580", "RA550"};
    for (int id = 1; id <= 24; ++id) {
        instruments << QStringLiteral("%1:%2").arg(id).arg(models[id % 4]);
        monitors.append({models[id % 4], QStringLiteral("池%1").arg(id), id});
    }
    SimulatorProcess sim(instruments);
    QVERIFY(sim.isReady());
    Child child(sim, monitors, broker->port());
    // Killed while it starts (its files being made), then at other moments of recording: each
    // next start finds the files whole and goes on with them.
    for (const size_t messages : {0, 40, 170, 95}) {
        QVERIFY2(child.start(messages), qPrintable(child.output()));
        child.signal(SIGKILL);
        QCOMPARE(child.finish(), -1);
        QCOMPARE(damage(child.dir.path()), QString());
    }
    const qint64 before = child.stored();
    QVERIFY(before > 0);
    QVERIFY2(child.start(100), qPrintable(child.output()));
    child.signal(SIGTERM);
    QCOMPARE(child.finish(), 0);
    QCOMPARE(child.stored(), before + child.handed());
    QCOMPARE(damage(child.dir.path()), QString());
}

namespace {

struct Refusal
{
    int code = -1;
    QString errors;
};

// hydrovane with the arguments and without a display, waited for at most 10 s.
Refusal runRefused(const QStringList &arguments)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    // Nothing it could show a box on, nor a platform plugin that would do without a screen.
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        environment.remove(name);
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral(HYDROVANE_PATH), arguments);
    Refusal refusal;
    if (process.waitForFinished(10000) && process.exitStatus() == QProcess::NormalExit)
        refusal.code = process.exitCode();
    else
        process.kill();
    process.waitForFinished(5000);
    refusal.errors = QString::fromUtf8(process.readAllStandardError());
    return refusal;
}

QStringList entries(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
}

} // namespace

void TestStationProcess::refusedStartsMakeNothing()
{
    QTemporaryDir temp;
    const QString station = temp.filePath("station");
    QVERIFY(QDir().mkpath(station));
    const QString target = temp.filePath("target");
    QFile planted(target);
    QVERIFY(planted.open(QIODevice::WriteOnly) && planted.write("kept\n") == 5);
    planted.close();
    const QString lockFile = station + "/hydrovane.lock";

    // A link planted as the lock file: neither truncated nor written through.
    QVERIFY(QFile::link(target, lockFile));
    Refusal refusal = runRefused({"--station", station, "--connect"});
    QCOMPARE(refusal.code, 1);
    QVERIFY2(refusal.errors.contains("符号链接"), qPrintable(refusal.errors));
    QCOMPARE(entries(station), QStringList({"hydrovane.lock"}));
    QFile kept(target);
    QVERIFY(kept.open(QIODevice::ReadOnly));
    QCOMPARE(kept.readAll(), QByteArray("kept\n"));
    QVERIFY(QFile::remove(lockFile));
    // A folder in its place, where once the station started without a lock.
    QVERIFY(QDir(station).mkdir("hydrovane.lock"));
    refusal = runRefused({"--station", station});
    QCOMPARE(refusal.code, 1);
    QVERIFY2(refusal.errors.contains("文件夹"), qPrintable(refusal.errors));
    QCOMPARE(entries(station), QStringList({"hydrovane.lock"}));

    // Kernel folders and a path longer than the system takes.
    for (const QString &folder :
         {QString("/proc"), QString("/sys"), QString("/dev"), QString("/")}) {
        refusal = runRefused({"--station", folder});
        QCOMPARE(refusal.code, 1);
        QVERIFY2(refusal.errors.contains("系统目录"), qPrintable(refusal.errors));
    }
    const QString tooLong = temp.filePath("deep/" + QString(300, 'x'));
    refusal = runRefused({"--station", tooLong});
    QCOMPARE(refusal.code, 1);
    QVERIFY2(refusal.errors.contains("路径过长"), qPrintable(refusal.errors));
    QCOMPARE(entries(temp.path()), QStringList({"station", "target"}));
}

void TestStationProcess::aSecondStationWithoutADisplayEndsAtOnce()
{
    SimulatorProcess sim(chain);
    QVERIFY(sim.isReady());
    Child child(sim, chainMonitors, broker->port());
    QVERIFY2(child.start(3), qPrintable(child.output()));
    const QString lockFile = child.dir.filePath("hydrovane.lock");
    for (bool deleted : {false, true}) {
        // A deleted lock file lets no second station in: the folder itself stays locked.
        if (deleted)
            QVERIFY(QFile::remove(lockFile));
        QElapsedTimer took;
        took.start();
        const Refusal second = runRefused({"--station", child.dir.path(), "--connect"});
        QCOMPARE(second.code, 1);
        QVERIFY2(second.errors.contains("监测站程序已在运行"), qPrintable(second.errors));
        QVERIFY2(took.elapsed() < 5000, qPrintable(QString::number(took.elapsed())));
        QCOMPARE(QFile::exists(lockFile), !deleted);
    }
    // The first one went on and stored every reading it handed over, the second none.
    QVERIFY(child.process.state() == QProcess::Running);
    child.signal(SIGTERM);
    QCOMPARE(child.finish(), 0);
    QVERIFY(child.handed() >= 3);
    QCOMPARE(child.stored(), child.handed());
}

void TestStationProcess::aLogThatCannotBeWrittenIsToldOnceAndTheStationRuns()
{
    SimulatorProcess sim(chain);
    QVERIFY(sim.isReady());
    Child child(sim, chainMonitors, broker->port());
    {
        QFile blocker(child.dir.filePath("log"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
    }
    QVERIFY2(child.start(6), qPrintable(child.output()));
    child.signal(SIGTERM);
    QCOMPARE(child.finish(), 0);
    QVERIFY(child.handed() >= 6);
    const QString told = child.output();
    QCOMPARE(told.count(QStringLiteral("无法写入")), 1);
    QVERIFY2(told.contains(QStringLiteral("不是文件夹")), qPrintable(told));
    QVERIFY(QFileInfo(child.dir.filePath("log")).isFile());
}

QTEST_GUILESS_MAIN(TestStationProcess)
#include "tst_stationprocess.moc"
