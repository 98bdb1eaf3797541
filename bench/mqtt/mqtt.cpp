// The real station (main window, panels, reader, record writers, publisher) against
// hydrovane-sim with many analysers at a 1-second interval, recording on, publishing to a
// Mosquitto broker started on a free local port, and a subscriber of its own on that broker.
//
//   0. interface thread: one station with publishing switched off and on in turn, in blocks
//      of --block seconds (default 5); its processor time per read pass with publishing on
//      minus off, the mean over the pairs of blocks with its 95 % confidence interval, beside
//      the time in its queued status updates measured directly. The passes' own work varies by
//      about a millisecond from block to block, so the interval narrows only with many pairs:
//      they go on until it is within the goal's 0.2 ms (after 20 pairs at least) or --pairs
//      pairs were made (default 150; on a shared 2-core machine it takes about 100).
//   1. steady: every reading stored is received exactly once (QoS 1 duplicates counted), and
//      none that was not stored is received at all (rows are published once committed)
//   2. outage: the broker stopped for a while and started again; nothing lost, in order, and
//      how long after its return the backlog was received
//   3. kill: a station in a child process is killed while the broker is down and started
//      again; nothing lost once the broker is back
//   4. sync: writer threads publish rows through the publisher into its disk queue as fast as
//      they can, with the broker taking them, in rounds that switch the queue's sync to the
//      disk on and off (on, off, off, on, ...); the throughput of each, and what the sync costs
//
// mqtt [--seconds S] [--outage S] [--instruments N] [--pairs N] [--block S] [--sync-seconds S]
//      [--only station|sync]
// mqtt --station DIR   (the child: the station of DIR until SIGTERM)

#include "benchsupport.h"
#include "brokerprocess.h"

#include "app/appcontext.h"
#include "app/mainwindow.h"
#include "mqtt/mqttpublisher.h"
#include "mqtt/mqttqueue.h"
#include "panels/messageboxes.h"
#include "panels/mqttstatuslabel.h"
#include "panels/widgetcomport.h"
#include "settings/mqttsettings.h"
#include "storage/recordsink.h"
#include "storage/recordwriter.h"

#include <QApplication>
#include <QCheckBox>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <mosquitto.h>
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <csignal>
#include <cstring>
#include <ctime>
#include <cstdio>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <linux/magic.h>
#include <sys/statfs.h>

namespace {

const char *const kTopic = "bench";
// Where the station of the on/off alternation publishes: the subscriber does not listen
// there, so that its own work does not load the machine in the blocks with publishing on only.
const char *const kUnheardTopic = "bench-unheard";
// Threads handing rows to the publisher in the sync part, as several record writers do.
const int kSyncWriters = 4;

struct Options
{
    int seconds = 60;
    int outage = 60;
    int instruments = 100;
    int pairs = 150; // of blocks with publishing off and on, for the interface thread, at most
    int block = 5;   // seconds measured in each block
    int syncSeconds = 24;
    QString only;    // empty: every part
    QString station; // child mode
};

bool parse(const QStringList &arguments, Options &options)
{
    const bool known = parseOptions(arguments, [&](const QString &name, const QString &value) {
        if (name == "--seconds")
            options.seconds = value.toInt();
        else if (name == "--outage")
            options.outage = value.toInt();
        else if (name == "--instruments")
            options.instruments = value.toInt();
        else if (name == "--pairs")
            options.pairs = value.toInt();
        else if (name == "--block")
            options.block = value.toInt();
        else if (name == "--sync-seconds")
            options.syncSeconds = value.toInt();
        else if (name == "--only" && (value == "station" || value == "sync"))
            options.only = value;
        else if (name == "--station")
            options.station = value;
        else
            return false;
        return true;
    });
    return known && options.seconds > 0 && options.outage > 0 && options.instruments > 0 &&
           options.pairs > 1 && options.block > 0 && options.syncSeconds >= 8;
}

// One reading as stored and as published: name, factor, time and text.
using Key = std::string;
Key keyOf(const std::string &name, const std::string &factor, const std::string &time,
          const std::string &text)
{
    return name + '\x1f' + factor + '\x1f' + time + '\x1f' + text;
}

// The reading messages of one station as a libmosquitto client of its own receives them, with
// the wall-clock time of each arrival. Its session outlives broker restarts (a persistent
// broker, a fixed client id, no clean session), so nothing published while it reconnects is
// missed by it.
class Subscriber
{
public:
    struct Arrival
    {
        std::string topic;
        Key key;
        std::string time;
        qint64 atMs;
    };

    Subscriber(int port, const std::string &filter) : filter(filter)
    {
        client = mosquitto_new("hydrovane-bench-subscriber", false, this);
        mosquitto_connect_callback_set(client, [](mosquitto *m, void *self, int rc) {
            if (rc == 0)
                mosquitto_subscribe(m, nullptr, static_cast<Subscriber *>(self)->filter.c_str(),
                                    1);
        });
        mosquitto_message_callback_set(
            client, [](mosquitto *, void *self, const mosquitto_message *message) {
                static_cast<Subscriber *>(self)->take(message);
            });
        mosquitto_reconnect_delay_set(client, 1, 1, false);
        mosquitto_connect(client, "127.0.0.1", port, 30);
        mosquitto_loop_start(client);
    }
    ~Subscriber()
    {
        mosquitto_disconnect(client);
        mosquitto_loop_stop(client, false);
        mosquitto_destroy(client);
    }

    std::vector<Arrival> arrivals() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return list;
    }
    size_t count() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return list.size();
    }
    long unreadable() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return bad;
    }

private:
    void take(const mosquitto_message *message)
    {
        const qint64 at = wallMs();
        const QJsonObject payload =
            QJsonDocument::fromJson(QByteArray(static_cast<const char *>(message->payload),
                                               message->payloadlen))
                .object();
        std::lock_guard<std::mutex> lock(mutex);
        if (!std::strstr(message->topic, "/readings/"))
            return;
        if (payload.isEmpty()) {
            ++bad;
            return;
        }
        const std::string time = payload.value("time").toString().toStdString();
        list.push_back({message->topic,
                        keyOf(payload.value("name").toString().toStdString(),
                              payload.value("factor").toString().toStdString(), time,
                              payload.value("text").toString().toStdString()),
                        time, at});
    }

    std::string filter;
    mosquitto *client = nullptr;
    mutable std::mutex mutex;
    std::vector<Arrival> list;
    long bad = 0;
};

// The rows of a station's record file as keys, with their times.
struct StoredRow
{
    Key key;
    std::string time;
};
std::vector<StoredRow> storedKeys(const QString &file)
{
    std::vector<StoredRow> rows;
    sqlite3 *db = openRaw(file);
    // The station's writer may hold the file for a moment.
    sqlite3_busy_timeout(db, 10000);
    for (int attempt = 0; attempt < 50; ++attempt) {
        rows.clear();
        sqlite3_stmt *select = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT name, factor, time, value FROM Record ORDER BY uid",
                               -1, &select, nullptr) == SQLITE_OK) {
            const auto column = [&select](int i) {
                const unsigned char *text = sqlite3_column_text(select, i);
                return text ? std::string(reinterpret_cast<const char *>(text)) : std::string();
            };
            int step;
            while ((step = sqlite3_step(select)) == SQLITE_ROW)
                rows.push_back({keyOf(column(0), column(1), column(2), column(3)), column(2)});
            sqlite3_finalize(select);
            if (step == SQLITE_DONE)
                break;
        }
        QThread::msleep(100);
    }
    sqlite3_close(db);
    return rows;
}

// How the messages received compare with the rows stored.
struct Tally
{
    long stored = 0;
    long received = 0;
    long lost = 0;       // stored, never received
    long duplicates = 0; // received more often than stored (QoS 1 redelivery)
    long extra = 0;      // received, never stored: must not happen, rows go out once committed
    long outOfOrder = 0; // first receipts older than an earlier one of the same topic
};

Tally compare(const std::vector<StoredRow> &rows, const std::vector<Subscriber::Arrival> &got)
{
    Tally tally;
    std::map<Key, long> want, have;
    for (const StoredRow &row : rows)
        ++want[row.key];
    std::map<std::string, std::string> latest;
    std::set<Key> seen;
    for (const Subscriber::Arrival &arrival : got) {
        ++have[arrival.key];
        if (!seen.insert(arrival.key).second)
            continue;
        std::string &last = latest[arrival.topic];
        if (arrival.time < last)
            ++tally.outOfOrder;
        else
            last = arrival.time;
    }
    tally.stored = long(rows.size());
    tally.received = long(got.size());
    for (const auto &entry : want) {
        const auto found = have.find(entry.first);
        const long count = found == have.end() ? 0 : found->second;
        tally.lost += std::max(0L, entry.second - count);
        tally.duplicates += std::max(0L, count - entry.second);
    }
    for (const auto &entry : have)
        if (!want.count(entry.first))
            tally.extra += entry.second;
    return tally;
}

std::vector<Subscriber::Arrival> ofStation(const Subscriber &subscriber, const std::string &name)
{
    const std::string prefix = std::string(kTopic) + '/' + name + "/readings/";
    std::vector<Subscriber::Arrival> got;
    for (Subscriber::Arrival &arrival : subscriber.arrivals())
        if (arrival.topic.compare(0, prefix.size(), prefix) == 0)
            got.push_back(std::move(arrival));
    return got;
}

// Waits, serving events, until every stored row was received or timeoutMs passed.
Tally waitForAll(const Subscriber &subscriber, const std::string &name, const QString &file,
                 int timeoutMs)
{
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        const Tally tally = compare(storedKeys(file), ofStation(subscriber, name));
        if (tally.lost == 0 || waited.elapsed() > timeoutMs)
            return tally;
        serve(200);
    }
}

void printTally(const char *what, const Tally &tally)
{
    std::printf("  %s: rows stored %ld, messages received %ld, lost %ld, duplicates %ld, "
                "received but not stored %ld, out of order %ld\n",
                what, tally.stored, tally.received, tally.lost, tally.duplicates, tally.extra,
                tally.outOfOrder);
    std::fflush(stdout);
}

bool writeMqttConfig(const QString &station, int port, bool enabled, const QString &name,
                     const char *topic = kTopic)
{
    const QJsonObject config{{"enabled", enabled},
                             {"host", "127.0.0.1"},
                             {"port", port},
                             {"clientId", "hydrovane-bench-" + name},
                             {"topic", topic},
                             {"station", name},
                             {"username", ""},
                             {"password", ""},
                             {"tls", QJsonObject{{"enabled", false}, {"caFile", ""}}},
                             {"qos", 1}};
    QFile file(station + QStringLiteral("/config/Mqtt.json"));
    return file.open(QIODevice::WriteOnly) &&
           file.write(QJsonDocument(config).toJson()) > 0;
}

// The station with its MQTT status label timed.
class Station : public BenchStation
{
public:
    explicit Station(const QString &folder)
        : BenchStation(folder, MqttStatusLabel::staticMetaObject, QueuedCallTimer::QueuedCalls)
    {
    }
    MqttPublisher *publisher() const
    {
        return static_cast<MqttPublisher *>(AppContext::instance().object(MqttOutbox));
    }
    QString recordFile() const { return AppContext::instance().path(RecordDb); }
};

struct SteadyRun
{
    double cpuPerPassMs = 0;
    double statusPerPassMs = 0;
    long statusCalls = 0;
    long passes = 0;
    long rows = 0;
    double rowsPerSecond = 0;
};

// Runs the station for `seconds` after a warm-up and measures its interface thread.
SteadyRun steady(Station &station, int seconds)
{
    serve(5000); // syncs and the first passes
    SteadyRun run;
    const long passesBefore = station.counter->passes;
    const long rowsBefore = station.counter->rowsHanded;
    const double cpuBefore = threadCpuMs();
    const double statusBefore = station.statusCalls->ms();
    const long callsBefore = station.statusCalls->calls;
    serve(seconds * 1000);
    run.passes = station.counter->passes - passesBefore;
    run.rows = station.counter->rowsHanded - rowsBefore;
    run.cpuPerPassMs = run.passes > 0 ? (threadCpuMs() - cpuBefore) / run.passes : 0;
    run.statusPerPassMs =
        run.passes > 0 ? (station.statusCalls->ms() - statusBefore) / run.passes : 0;
    run.statusCalls = station.statusCalls->calls - callsBefore;
    run.rowsPerSecond = double(run.rows) / seconds;
    return run;
}

// Switches publishing on or off as the settings dialog does, off the interface thread (the
// old connection is joined), serving events meanwhile.
void switchPublishing(MqttPublisher *publisher, bool on)
{
    MqttSettings settings = publisher->settings();
    settings.enabled = on;
    std::atomic<bool> done{false};
    std::thread worker([&] {
        publisher->apply(settings);
        done.store(true);
    });
    while (!done.load())
        serve(20);
    worker.join();
}

// One block of the alternation: what the interface thread did per pass.
struct Block : PassBlock
{
    qint64 backlogEnd = 0; // messages the broker had not acknowledged at the end
    qint64 queued = 0;     // the backlog's growth over the block
};

Block measureBlock(Station &station, int seconds)
{
    Block block;
    const qint64 backlogBefore = station.publisher()->status().backlog;
    static_cast<PassBlock &>(block) = measurePasses(station, seconds);
    block.backlogEnd = station.publisher()->status().backlog;
    block.queued = block.backlogEnd - backlogBefore;
    return block;
}

struct Alternation
{
    Spread off;        // processor time per pass, publishing off
    Spread on;         // and on
    Spread difference; // on minus off, pair by pair
    Spread direct;     // queued status updates per pass, publishing on
    Spread directOff;  // the same with publishing off: none expected
    long passes = 0;
    int pairs = 0;
    long callsOnInterface = 0; // handed to the publisher on the interface thread
    long callsElsewhere = 0;
    // Every block made passes and handed rows over; with publishing on the broker took them
    // as they came (the backlog stayed below a block's rows), with it off none was queued.
    bool ok = true;
};

// Publishing off and on in turn on one station, which goes first alternating from pair to
// pair so that a drift of the machine's load does not favour either side. Each switch is given
// time to settle (connect, the first status updates) before its block is measured.
Alternation alternate(Station &station, int pairs, int blockSeconds)
{
    const int settleMs = 1000;
    const int leastPairs = 20;
    const double goalMs = 0.2;
    serve(8000); // syncs and the first passes
    Alternation result;
    std::vector<double> off, on, difference, direct, directOff;
    for (int pair = 0; pair < pairs; ++pair) {
        Block blocks[2]; // off, on
        for (int turn = 0; turn < 2; ++turn) {
            const bool publishing = (pair % 2 == 0) == (turn == 1);
            switchPublishing(station.publisher(), publishing);
            serve(settleMs);
            Block &block = blocks[publishing ? 1 : 0];
            block = measureBlock(station, blockSeconds);
            result.passes += block.passes;
            result.ok = result.ok && block.passes > 0 && block.rows > 0 &&
                        (publishing ? block.backlogEnd < block.rows : block.queued == 0);
        }
        off.push_back(blocks[0].cpuPerPassMs);
        on.push_back(blocks[1].cpuPerPassMs);
        difference.push_back(blocks[1].cpuPerPassMs - blocks[0].cpuPerPassMs);
        direct.push_back(blocks[1].statusPerPassMs);
        directOff.push_back(blocks[0].statusPerPassMs);
        std::printf("  pair %2d: off %.3f ms, on %.3f ms a pass (%ld and %ld passes), difference "
                    "%+.3f ms; status updates %.4f ms a pass\n",
                    pair + 1, blocks[0].cpuPerPassMs, blocks[1].cpuPerPassMs, blocks[0].passes,
                    blocks[1].passes, difference.back(), blocks[1].statusPerPassMs);
        std::fflush(stdout);
        if (pair + 1 >= leastPairs && spreadOf(difference).half <= goalMs)
            break;
    }
    switchPublishing(station.publisher(), true);
    result.pairs = int(difference.size());
    result.off = spreadOf(off);
    result.on = spreadOf(on);
    result.difference = spreadOf(difference);
    result.direct = spreadOf(direct);
    result.directOff = spreadOf(directOff);
    return result;
}

// Whether path lies on a file system kept in memory, where a sync to the disk costs nothing.
bool onMemoryFileSystem(const QString &path)
{
    struct statfs info;
    return ::statfs(QFile::encodeName(path).constData(), &info) == 0 &&
           (info.f_type == TMPFS_MAGIC || info.f_type == RAMFS_MAGIC);
}

struct SyncRun
{
    bool ok = false;
    std::string failure;
    int writers = 0;
    double seconds[2] = {0, 0}; // [0] sync off, [1] on
    long appended[2] = {0, 0};
    double perSecond(int on) const { return seconds[on] > 0 ? appended[on] / seconds[on] : 0; }
    std::vector<std::string> rounds;
    long dropped = 0;
};

// Writer threads hand rows to the publisher as the record writers do, as fast as they can, for
// rounds of equal length; the queue's sync is switched per round in the same publisher, queue
// and process. Each round checks that every call was appended, and that the sync ran in the
// rounds with it on and never in the others.
SyncRun syncCost(const QString &folder, int port, int seconds)
{
    SyncRun run;
    // Rounds of about 2 s (two syncs each), in whole groups of four: many short alternations
    // weigh the other load of the machine on both alike.
    const int rounds = std::max(4, seconds / 2 / 4 * 4);
    const int roundMs = seconds * 1000 / rounds;
    run.writers = kSyncWriters;
    // A bounded queue: the backlog the broker cannot take at this pace stays within ~300 MB.
    MqttPublisher publisher(folder, nullptr, 1000000, 50000);
    MqttSettings settings;
    settings.enabled = true;
    settings.host = "127.0.0.1";
    settings.port = port;
    settings.clientId = "hydrovane-bench-sync";
    settings.topic = kTopic;
    settings.station = "sync";
    settings.qos = 1;
    publisher.apply(settings);
    QElapsedTimer connecting;
    connecting.start();
    while (publisher.status().state != MqttPublisher::Connected && connecting.elapsed() < 10000)
        QThread::msleep(20);
    if (publisher.status().state != MqttPublisher::Connected) {
        run.failure = "the publisher did not connect";
        return run;
    }
    MqttQueue &queue = publisher.diskQueue();
    for (int round = 0; round < rounds; ++round) {
        // on, off, off, on, on, off, off, on: a drift over the run weighs on both alike.
        const int on = (round % 4 == 0 || round % 4 == 3) ? 1 : 0;
        queue.setSyncEnabled(on != 0);
        const uint64_t endBefore = queue.end();
        std::atomic<long> calls{0};
        std::vector<std::thread> threads;
        QElapsedTimer clock;
        clock.start();
        const qint64 until = roundMs;
        for (int w = 0; w < run.writers; ++w)
            threads.emplace_back([&publisher, &calls, &clock, until, w, round] {
                RecordRow row;
                row.model = "DI590";
                row.name = "同步" + std::to_string(w);
                row.slave = w + 1;
                row.factor = "DO";
                row.unit = "mg/L";
                row.status = "N";
                long made = 0;
                for (long i = 0; clock.elapsed() < until; ++i) {
                    row.time = timeText(kFirstReading + round * 100000L + i);
                    row.value = std::to_string(i % 2000) + ".25";
                    publisher.recordRow(row);
                    ++made;
                }
                calls += made;
            });
        for (std::thread &thread : threads)
            thread.join();
        const double elapsed = clock.nsecsElapsed() / 1e9;
        // The sync that covers this round's last appends, outside the timed part.
        if (on)
            QThread::msleep(MqttQueue::syncIntervalMs + 200);
        const long appended = long(queue.end() - endBefore);
        const uint64_t synced = queue.syncedEnd();
        char line[200];
        std::snprintf(line, sizeof line,
                      "round %d sync %-3s %8ld messages in %.2f s, %9.0f a second", round + 1,
                      on ? "on" : "off", appended, elapsed, appended / elapsed);
        run.rounds.push_back(line);
        if (appended != calls.load() || appended <= 0) {
            run.failure = "round " + std::to_string(round + 1) + ": " +
                          std::to_string(calls.load()) + " calls, " + std::to_string(appended) +
                          " appended";
            return run;
        }
        if (on ? synced < endBefore + uint64_t(appended) : synced > endBefore) {
            run.failure = "round " + std::to_string(round + 1) +
                          (on ? ": the sync did not reach the round's appends"
                              : ": the queue synced with the sync off");
            return run;
        }
        run.seconds[on] += elapsed;
        run.appended[on] += appended;
    }
    queue.setSyncEnabled(true);
    run.dropped = long(publisher.status().dropped);
    publisher.stop(0);
    run.ok = true;
    return run;
}

volatile std::sig_atomic_t terminateRequested = 0;

// The child: the station of `folder` until SIGTERM, then a confirmed exit.
int runChild(const QString &folder)
{
    std::signal(SIGTERM, [](int) { terminateRequested = 1; });
    MessageBoxes::setResponder(Station::printBox);
    {
        Station station(folder);
        std::printf("station up\n");
        std::fflush(stdout);
        QEventLoop loop;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, &loop, [&loop] {
            if (terminateRequested)
                loop.quit();
        });
        poll.start(100);
        loop.exec();
        // What is stored is sent before the exit; left on disk it would wait for the next start.
        QCheckBox *lineSwitch =
            station.line->findChild<QCheckBox *>(QStringLiteral("checkBoxConnect"));
        lineSwitch->setChecked(false);
        station.line->waitForReader();
        RecordWriter::waitForAll();
        QElapsedTimer waited;
        waited.start();
        while (station.publisher()->status().backlog > 0 && waited.elapsed() < 30000)
            serve(100);
    }
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    Options options;
    if (!parse(app.arguments(), options)) {
        std::fprintf(stderr, "usage: mqtt [--seconds S] [--outage S] [--instruments N] "
                             "[--pairs N] [--block S] [--sync-seconds S] [--only station|sync]\n");
        return 2;
    }
    mosquitto_lib_init();
    if (!options.station.isEmpty())
        return runChild(options.station);
    MessageBoxes::setResponder(Station::printBox);

    QTemporaryDir root;
    const QString link = root.filePath(QStringLiteral("line"));
    QStringList simulatorArguments{"--link", link};
    std::vector<ChainMonitor> monitors;
    for (int id = 1; id <= options.instruments; ++id) {
        simulatorArguments << QStringLiteral("%1:%2").arg(id).arg(chainModel(id));
        monitors.push_back({id, chainModel(id), QStringLiteral("仪表%1").arg(id)});
    }
    QProcess simulator;
    if (!startSimulator(simulator, simulatorArguments))
        return 1;
    BrokerProcess::Options brokerOptions;
    brokerOptions.persistence = true;
    BrokerProcess broker(root.filePath(QStringLiteral("broker")).toStdString(), brokerOptions);
    if (!broker.start()) {
        std::fprintf(stderr, "mqtt: the broker did not start\n");
        return 1;
    }
    // Before the subscriber, which would keep every one of its messages.
    SyncRun sync;
    if (options.only != "station") {
        const QString folder = root.filePath(QStringLiteral("sync"));
        std::printf("sync: %d writer threads through the publisher into %s%s, %d s in rounds\n",
                    kSyncWriters, qPrintable(folder),
                    onMemoryFileSystem(root.path()) ? " (a memory file system: the sync costs "
                                                      "nothing there, move TMPDIR to a disk)"
                                                    : "",
                    options.syncSeconds);
        std::fflush(stdout);
        // The publisher tells every half second how many messages the bound cost; the round
        // lines say it once.
        static QtMessageHandler previous = nullptr;
        previous = qInstallMessageHandler(
            [](QtMsgType type, const QMessageLogContext &context, const QString &message) {
                if (!message.contains(QLatin1String("messages dropped so far")))
                    previous(type, context, message);
            });
        sync = syncCost(folder, broker.port(), options.syncSeconds);
        qInstallMessageHandler(previous);
        for (const std::string &round : sync.rounds)
            std::printf("  %s\n", round.c_str());
        if (!sync.ok) {
            std::fprintf(stderr, "mqtt: sync: %s\n", sync.failure.c_str());
            return 1;
        }
        QDir(folder).removeRecursively();
    }
    const auto printSync = [&sync] {
        std::printf("baseline: the same publisher, queue and threads with the sync off: %.0f "
                    "messages a second (%ld in %.1f s); with it on %.0f (%ld in %.1f s); "
                    "dropped beyond the queue's bound %ld\n",
                    sync.perSecond(0), sync.appended[0], sync.seconds[0], sync.perSecond(1),
                    sync.appended[1], sync.seconds[1], sync.dropped);
        std::printf("figure mqtt_sync_cost_pct %.1f %%\n",
                    100.0 * (sync.perSecond(0) - sync.perSecond(1)) / sync.perSecond(0));
    };
    if (options.only == "sync") {
        printSync();
        simulator.terminate();
        simulator.waitForFinished();
        return 0;
    }
    Subscriber subscriber(broker.port(), std::string(kTopic) + "/#");
    std::printf("%d analysers on hydrovane-sim at a 1 s interval, broker on 127.0.0.1:%d\n",
                options.instruments, broker.port());
    std::fflush(stdout);

    const auto layOut = [&](const char *name, bool enabled, const char *topic = kTopic) {
        const QString folder = root.filePath(QLatin1String(name));
        if (!writeStationConfig(folder, link, 1, monitors) ||
            !writeMqttConfig(folder, broker.port(), enabled, QLatin1String(name), topic)) {
            std::fprintf(stderr, "mqtt: cannot lay out %s\n", qPrintable(folder));
            std::exit(1);
        }
        return folder;
    };

    // 0. The interface thread with publishing off and on in turn.
    Alternation alternation;
    {
        std::printf("interface thread: up to %d pairs of %d s blocks, publishing off and on in "
                    "turn, until the difference is known within 0.2 ms\n",
                    options.pairs, options.block);
        std::fflush(stdout);
        Station station(layOut("alternate", true, kUnheardTopic));
        ThreadCountingSink calls;
        alternation = alternate(station, options.pairs, options.block);
        alternation.callsOnInterface = calls.onInterface;
        alternation.callsElsewhere = calls.elsewhere;
        alternation.ok = alternation.ok && calls.elsewhere > 0;
    }
    if (!alternation.ok)
        std::printf("  SOME BLOCKS MADE NO PASSES, OR THE QUEUE DID NOT FOLLOW THE SWITCH\n");

    // 1. Steady, publishing on.
    SteadyRun on;

    Tally steadyTally, outageTally;
    double drainS = 0;
    bool drained = false;
    long backlogAtReturn = 0;
    double brokerBackS = 0;
    {
        Station station(layOut("on", true));
        on = steady(station, options.seconds);
        std::printf("steady %d s, publishing on: %ld passes, %ld rows (%.0f a second), "
                    "interface thread %.3f ms of processor time a pass\n",
                    options.seconds, on.passes, on.rows, on.rowsPerSecond, on.cpuPerPassMs);
        steadyTally = waitForAll(subscriber, "on", station.recordFile(), 30000);
        printTally("steady", steadyTally);

        // 2. Outage.
        broker.stop();
        std::printf("broker stopped for %d s\n", options.outage);
        std::fflush(stdout);
        serve(options.outage * 1000);
        QElapsedTimer starting;
        starting.start();
        const qint64 returnMs = wallMs();
        const std::string returnTime = QDateTime::fromMSecsSinceEpoch(returnMs)
                                           .toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"))
                                           .toStdString();
        if (MqttPublisher *publisher = station.publisher())
            backlogAtReturn = publisher->status().backlog;
        if (!broker.start()) {
            std::fprintf(stderr, "mqtt: the broker did not start again\n");
            return 1;
        }
        brokerBackS = starting.elapsed() / 1000.0;
        // Drained: every row stored with a time before the return was received.
        QElapsedTimer waited;
        waited.start();
        while (waited.elapsed() < 120000) {
            std::set<Key> before;
            for (const StoredRow &row : storedKeys(station.recordFile()))
                if (row.time < returnTime)
                    before.insert(row.key);
            qint64 last = 0;
            const std::vector<Subscriber::Arrival> got = ofStation(subscriber, "on");
            std::set<Key> firstSeen;
            for (const Subscriber::Arrival &arrival : got)
                if (before.count(arrival.key) && firstSeen.insert(arrival.key).second)
                    last = std::max(last, arrival.atMs);
            if (firstSeen.size() == before.size()) {
                drained = true;
                drainS = std::max<qint64>(0, last - returnMs) / 1000.0;
                break;
            }
            serve(200);
        }
        serve(5000);
        outageTally = waitForAll(subscriber, "on", station.recordFile(), 30000);
        printTally("steady and outage", outageTally);
        std::printf("  backlog when the broker returned %ld messages, received %s %.1f s after "
                    "its return\n",
                    backlogAtReturn, drained ? "all" : "NOT all within 120 s, last at",
                    drained ? drainS : 120.0);
    }

    // 3. The station killed while the broker is down.
    const QString killFolder = layOut("kill", true);
    QProcess child;
    Tally killTally;
    if (!startStationChild(child, killFolder)) {
        std::fprintf(stderr, "mqtt: the station process did not start\n");
        return 1;
    }
    serve(10000);
    broker.stop();
    serve(10000);
    child.kill();
    child.waitForFinished();
    std::printf("station killed while the broker is down\n");
    if (!startStationChild(child, killFolder)) {
        std::fprintf(stderr, "mqtt: the station process did not start again\n");
        return 1;
    }
    serve(10000);
    broker.start();
    // Caught up while it runs, then what its exit leaves.
    const QString killRecords = killFolder + QStringLiteral("/db/record.zdb");
    waitForAll(subscriber, "kill", killRecords, 60000);
    child.terminate();
    child.waitForFinished(60000);
    killTally = waitForAll(subscriber, "kill", killRecords, 30000);
    printTally("kill", killTally);

    std::printf("baseline: rows stored %ld (steady and outage) + %ld (kill), messages received "
                "%ld, QoS 1 duplicates %ld, unreadable %ld\n",
                outageTally.stored, killTally.stored, outageTally.received + killTally.received,
                outageTally.duplicates + killTally.duplicates, subscriber.unreadable());
    std::printf("figure mqtt_lost %ld\n", outageTally.lost + killTally.lost);
    // The broker holds nothing the database lacks: every message is a copy of a stored row.
    const long notStored = outageTally.extra + killTally.extra;
    std::printf("figure mqtt_received_not_stored %ld\n", notStored);
    std::printf("baseline: interface thread processor time a pass over %d pairs of %d s blocks "
                "(%ld passes): publishing off %.3f ms +- %.3f, on %.3f ms +- %.3f (95 %% "
                "intervals of the block means)\n",
                alternation.pairs, options.block, alternation.passes, alternation.off.mean,
                alternation.off.half, alternation.on.mean, alternation.on.half);
    std::printf("baseline: on minus off, pair by pair, %+.4f ms +- %.4f (95 %%); measured "
                "directly, its queued status updates %.4f ms +- %.4f a pass with publishing on, "
                "%.4f ms with it off\n",
                alternation.difference.mean, alternation.difference.half, alternation.direct.mean,
                alternation.direct.half, alternation.directOff.mean);
    std::printf("baseline: rows and alarms handed to the publisher during the alternation: %ld "
                "on the interface thread, %ld on others\n",
                alternation.callsOnInterface, alternation.callsElsewhere);
    if (alternation.difference.half > 0.2)
        std::printf("baseline: the difference's interval is wider than the 0.2 ms goal: the "
                    "passes' own work varies more than that between blocks on this machine; "
                    "more pairs (--pairs) or a quieter machine narrow it\n");
    else
        std::printf("baseline: the difference is known within the 0.2 ms goal after %d pairs\n",
                    alternation.pairs);
    std::printf("figure mqtt_interface_ms_per_pass %.4f ms (+- %.4f, 95 %%)\n",
                alternation.difference.mean, alternation.difference.half);
    std::printf("baseline: broker accepting again %.1f s after its start; %ld messages at %.0f "
                "a second take %.1f s\n",
                brokerBackS, backlogAtReturn, on.rowsPerSecond,
                on.rowsPerSecond > 0 ? backlogAtReturn / on.rowsPerSecond : 0.0);
    if (!drained)
        std::printf("figure mqtt_drain_after_outage_s never s (not drained within 120 s)\n");
    else
        std::printf("figure mqtt_drain_after_outage_s %.1f s\n", drainS);
    if (options.only != "station")
        printSync();
    simulator.terminate();
    simulator.waitForFinished();
    if (notStored > 0)
        std::fprintf(stderr, "mqtt: the broker received %ld readings the database does not hold\n",
                     notStored);
    return outageTally.lost + killTally.lost == 0 && notStored == 0 && drained && alternation.ok
               ? 0
               : 1;
}
