// The station uploading over HJ 212-2017 to a platform of the bench's own on the loopback
// (the tests' Hj212Platform, which answers every data message with its 9014):
//
//   resend:    a day of minute data of 20 factors (10 analysers, DO and temperature every 30 s)
//              in a record file, asked for by one 2051 request; the time from the request to the
//              9012, beside the same statistics computed alone and the same packets sent by a
//              bare client that waits for each answer; a second request must give the same
//              packets.
//   interface: the real station (main window, panels, reader, writers) against hydrovane-sim
//              at a 1-second interval with uploads switched off and on in turn, in blocks of
//              --block seconds; the interface thread's processor time per pass with uploads on
//              minus off, the mean over the pairs with its 95 % interval, beside the time of its
//              queued status updates measured directly. Pairs go on until the interval is
//              within 0.2 ms (after 20 pairs at least) or --pairs pairs were made.
//   lost:      a station in a child process uploads for --steady seconds, the platform goes
//              away for --outage seconds, halfway through which the station is killed and
//              started again 10 s later, then the platform returns and the station runs on
//              for --steady seconds and stops. Every message its queue ever held must have
//              reached the platform, and every minute with rows in its record file must have
//              its minute data there.
//
// hj212 [--instruments N] [--pairs N] [--block S] [--steady S] [--outage S] [--only PART,...]
// hj212 --station DIR   (the child: the station of DIR until SIGTERM)
// hj212 --listen PORT [--mn MN] [--pw PW] [--history MINUTES]
//       a platform on PORT that answers and prints every packet; with --history it asks the
//       first station that connects for the minute data of the last MINUTES minutes

#include "benchsupport.h"
#include "hj212platform.h"

#include "app/appcontext.h"
#include "app/mainwindow.h"
#include "hj212/hj212message.h"
#include "hj212/hj212statistics.h"
#include "hj212/hj212stream.h"
#include "hj212/hj212uploader.h"
#include "mqtt/mqttqueue.h"
#include "panels/hj212statuslabel.h"
#include "panels/messageboxes.h"
#include "panels/widgetcomport.h"
#include "storage/recorddatabase.h"
#include "storage/recordreader.h"
#include "storage/recordsink.h"
#include "storage/recordwriter.h"

#include <QApplication>
#include <QCheckBox>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <sqlite3.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

const char *const kPw = "123456";
const char *const kMn = "HV0001";
const char *const kPlatformName = "bench";

struct Options
{
    int instruments = 20;
    int pairs = 150; // of blocks with uploads off and on, at most
    int block = 5;   // seconds measured in each block
    int steady = 60;
    int outage = 120;
    QStringList only{"resend", "interface", "lost"};
    QString station; // child mode
    int listen = 0;  // listen mode
    QString mn = kMn;
    QString pw = kPw;
    int history = 0;
};

bool parse(const QStringList &arguments, Options &options)
{
    const bool known = parseOptions(arguments, [&](const QString &name, const QString &value) {
        if (name == "--instruments")
            options.instruments = value.toInt();
        else if (name == "--pairs")
            options.pairs = value.toInt();
        else if (name == "--block")
            options.block = value.toInt();
        else if (name == "--steady")
            options.steady = value.toInt();
        else if (name == "--outage")
            options.outage = value.toInt();
        else if (name == "--only")
            options.only = value.split(',');
        else if (name == "--station")
            options.station = value;
        else if (name == "--listen")
            options.listen = value.toInt();
        else if (name == "--mn")
            options.mn = value;
        else if (name == "--pw")
            options.pw = value;
        else if (name == "--history")
            options.history = value.toInt();
        else
            return false;
        return true;
    });
    return known && options.instruments > 0 && options.pairs > 1 && options.block > 0 &&
           options.steady > 0 && options.outage >= 20;
}

// Every factor a model can report, under a code of its own for each monitor: the point holds
// every analyser of the chain.
QJsonObject codesFor(const std::vector<std::pair<std::string, std::string>> &monitors)
{
    QJsonObject codes;
    int number = 0;
    for (const auto &monitor : monitors)
        for (const std::string &factor : Hj212Settings::factorsOfModel(monitor.second))
            codes[QString::fromStdString(monitor.first + "/" + factor)] =
                QStringLiteral("w9%1").arg(++number, 4, 10, QLatin1Char('0'));
    return codes;
}

QJsonObject settingsJson(int port, bool enabled,
                         const std::vector<std::pair<std::string, std::string>> &monitors)
{
    QJsonArray names;
    for (const auto &monitor : monitors)
        names.append(QString::fromStdString(monitor.first));
    const QJsonObject platform{
        {"name", kPlatformName},
        {"enabled", enabled},
        {"host", "127.0.0.1"},
        {"port", port},
        {"st", "32"},
        {"pw", kPw},
        {"rtdInterval", 30},
        {"minuteInterval", 1},
        {"overTime", 5},
        {"reCount", 3},
        {"points", QJsonArray{QJsonObject{{"mn", kMn}, {"monitors", names}}}}};
    return QJsonObject{{"platforms", QJsonArray{platform}}, {"codes", codesFor(monitors)}};
}

Hj212Settings settingsOf(const QJsonObject &json)
{
    Hj212Settings settings;
    const QJsonObject platformJson = json["platforms"].toArray().at(0).toObject();
    Hj212Settings::Platform platform;
    platform.name = platformJson["name"].toString().toStdString();
    platform.enabled = platformJson["enabled"].toBool();
    platform.host = platformJson["host"].toString().toStdString();
    platform.port = platformJson["port"].toInt();
    platform.pw = kPw;
    platform.rtdInterval = 30;
    platform.minuteInterval = 1;
    Hj212Settings::Point point;
    point.mn = kMn;
    for (const QJsonValue &name :
         platformJson["points"].toArray().at(0).toObject()["monitors"].toArray())
        point.monitors.push_back(name.toString().toStdString());
    platform.points.push_back(point);
    settings.platforms.push_back(platform);
    const QJsonObject codes = json["codes"].toObject();
    for (auto it = codes.begin(); it != codes.end(); ++it)
        settings.codes[it.key().toStdString()] = it.value().toString().toStdString();
    return settings;
}

bool writeHj212Config(const QString &station, const QJsonObject &json)
{
    QDir().mkpath(station + QStringLiteral("/config"));
    QFile file(station + QStringLiteral("/config/Hj212.json"));
    return file.open(QIODevice::WriteOnly) && file.write(QJsonDocument(json).toJson()) > 0;
}

std::string cpValue(const Hj212Platform::Received &item, const std::string &key)
{
    const auto values = Hj212Packet::cpValues(item.fields.cp);
    const auto found = values.find(key);
    return found == values.end() ? std::string() : found->second;
}

bool isData(const std::string &cn)
{
    return cn == "2011" || cn == "2051" || cn == "2061" || cn == "2031";
}

// ---- resend -----------------------------------------------------------------------------------

// A client of its own that sends each packet and waits for its 9014: the network's share.
double rawRoundTrips(int port, const std::vector<std::string> &segments, long &answered)
{
    answered = 0;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(uint16_t(port));
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    timeval timeout{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    Hj212Stream stream;
    std::vector<char> buffer(4096);
    QElapsedTimer clock;
    clock.start();
    for (const std::string &segment : segments) {
        const std::string packet = Hj212Packet::frame(segment);
        if (::send(fd, packet.data(), packet.size(), MSG_NOSIGNAL) != ssize_t(packet.size()))
            break;
        std::vector<std::string> got;
        while (got.empty()) {
            const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
            if (n <= 0)
                break;
            stream.feed(buffer.data(), size_t(n), got);
        }
        if (got.empty())
            break;
        ++answered;
    }
    const double seconds = msSince(clock) / 1000;
    ::close(fd);
    return seconds;
}

struct Resend
{
    bool ok = false;
    double seconds = 0;
    double computeSeconds = 0;
    double rawSeconds = 0;
    long packets = 0;
    long periods = 0;
    long rows = 0;
    bool identical = false;
};

Resend resendDay(const QString &root)
{
    Resend result;
    const QString folder = root + QStringLiteral("/resend");
    QDir().mkpath(folder + QStringLiteral("/db"));
    const QString recordFile = folder + QStringLiteral("/db/record.zdb");
    const int instruments = 10;
    const long rows = 86400 / kReadIntervalSeconds * instruments * 2;
    result.rows = generateRecordFile(recordFile, rows, instruments, 2);
    {
        // The indexes a station builds at open.
        RecordDatabase database(recordFile.toStdString());
        database.open();
        serveUntil([&] { return database.indexState() == RecordDatabase::IndexesReady; }, 120000);
        database.close();
    }
    std::vector<std::pair<std::string, std::string>> monitors;
    std::map<std::string, std::string> models;
    for (int i = 0; i < instruments; ++i) {
        monitors.emplace_back(instrumentName(i), "DI590");
        models[instrumentName(i)] = "DI590";
    }
    Hj212Platform platform;
    if (!platform.start())
        return result;
    const Hj212Settings settings = settingsOf(settingsJson(platform.port(), true, monitors));
    Hj212Uploader uploader(folder + QStringLiteral("/hj212"), recordFile);
    uploader.apply(settings, models);
    if (!serveUntil([&] { return platform.isConnected(); }, 10000))
        return result;
    serve(500);

    const std::string day = "BeginTime=20240101000000;EndTime=20240101235959";
    const auto ask = [&](const std::string &qn) {
        platform.send(Hj212Platform::request(qn, "2051", kPw, kMn, day));
        serveUntil([&] { return !platform.received("9012", qn).empty(); }, 120000);
    };
    QElapsedTimer clock;
    clock.start();
    ask("20240102000000001");
    result.seconds = msSince(clock) / 1000;
    ask("20240102000000002");
    const auto done = platform.received("9012", "20240102000000001");
    const auto cps = [&](const std::string &qn) {
        std::vector<std::string> list;
        for (const auto &item : platform.received("2051", qn))
            list.push_back(item.fields.value("PNO") + "|" + item.fields.cp);
        return list;
    };
    const std::vector<std::string> first = cps("20240102000000001");
    std::set<std::string> periods;
    std::vector<std::string> segments;
    for (const auto &item : platform.received("2051", "20240102000000001")) {
        periods.insert(cpValue(item, "DataTime"));
        segments.push_back(item.segment);
    }
    result.packets = long(first.size());
    result.periods = long(periods.size());
    result.identical = !first.empty() && first == cps("20240102000000002");
    result.ok = !done.empty() && cpValue(done.front(), "ExeRtn") == "1" && result.periods == 1440;
    uploader.stop();

    // Baseline 1: the same statistics and packets without any network.
    {
        RecordReader reader(recordFile.toStdString());
        Hj212Settings::Resolved codes = settings.resolve(settings.platforms[0].points[0], models);
        Hj212Packet::Header header;
        header.qn = "20240102000000003";
        header.st = "32";
        header.cn = "2051";
        header.pw = kPw;
        header.mn = kMn;
        header.flag = 5;
        long made = 0;
        QElapsedTimer computing;
        computing.start();
        Hj212Statistics::compute(
            reader, settings.platforms[0].points[0].monitors, Hj212Statistics::Minute, 1,
            QDateTime(QDate(2024, 1, 1), QTime(0, 0)), QDateTime(QDate(2024, 1, 2), QTime(0, 0)),
            [&](const Hj212Statistics::Period &period) {
                made += long(Hj212Message::periodData(header, period, codes).size());
                return true;
            });
        result.computeSeconds = msSince(computing) / 1000;
        result.ok = result.ok && made == result.packets;
    }
    // Baseline 2: the same packets from a bare client, one answer at a time.
    long answered = 0;
    result.rawSeconds = rawRoundTrips(platform.port(), segments, answered);
    result.ok = result.ok && answered == long(segments.size());
    return result;
}

// ---- the station ------------------------------------------------------------------------------

// The station with its HJ 212 status label timed, timers included.
class Station : public BenchStation
{
public:
    explicit Station(const QString &folder)
        : BenchStation(folder, Hj212StatusLabel::staticMetaObject,
                       QueuedCallTimer::QueuedCallsAndTimers)
    {
    }
    Hj212Uploader *uploader() const
    {
        return static_cast<Hj212Uploader *>(AppContext::instance().object(Hj212Outbox));
    }
    qint64 backlog() const
    {
        qint64 total = 0;
        for (const auto &point : uploader()->status())
            total += point.status.backlog;
        return total;
    }
};

// Switches uploads on or off as the settings dialog does, off the interface thread.
void switchUploads(Hj212Uploader *uploader, const QJsonObject &json, bool on,
                   const std::map<std::string, std::string> &models)
{
    Hj212Settings settings = settingsOf(json);
    settings.platforms[0].enabled = on;
    std::atomic<bool> done{false};
    std::thread worker([&] {
        uploader->apply(settings, models);
        done.store(true);
    });
    while (!done.load())
        serve(20);
    worker.join();
}

// The mean of the middle 80 % of the values with its 95 % interval, and their median: robust
// against the blocks another process's burst of work happened to fall into.
struct Robust
{
    Spread trimmed;
    double median = 0;
};
Robust robustOf(std::vector<double> values)
{
    Robust robust;
    if (values.empty())
        return robust;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    robust.median = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    const size_t cut = n / 10;
    robust.trimmed =
        spreadOf(std::vector<double>(values.begin() + long(cut), values.end() - long(cut)));
    return robust;
}

struct Alternation
{
    Spread off, on, difference, direct;
    Robust robust;
    long passes = 0;
    int pairs = 0;
    long callsOnInterface = 0;
    long callsElsewhere = 0;
    long received = 0; // data packets the platform got during the blocks with uploads on
    bool ok = true;
};

Alternation alternate(Station &station, Hj212Platform &platform, const QJsonObject &json,
                      const std::map<std::string, std::string> &models, int pairs, int seconds)
{
    const int settleMs = 1000;
    const int leastPairs = 20;
    const double goalMs = 0.2;
    serve(8000); // syncs and the first passes
    Alternation result;
    std::vector<double> off, on, difference, direct;
    for (int pair = 0; pair < pairs; ++pair) {
        PassBlock blocks[2];
        for (int turn = 0; turn < 2; ++turn) {
            const bool uploading = (pair % 2 == 0) == (turn == 1);
            switchUploads(station.uploader(), json, uploading, models);
            serve(settleMs);
            const size_t before = platform.received().size();
            PassBlock &block = blocks[uploading ? 1 : 0];
            block = measurePasses(station, seconds);
            result.passes += block.passes;
            const size_t got = platform.received().size() - before;
            if (uploading)
                result.received += long(got);
            result.ok = result.ok && block.passes > 0 && block.rows > 0 &&
                        (uploading ? station.uploader()->status().size() == 1
                                   : station.uploader()->status().empty());
        }
        off.push_back(blocks[0].cpuPerPassMs);
        on.push_back(blocks[1].cpuPerPassMs);
        difference.push_back(blocks[1].cpuPerPassMs - blocks[0].cpuPerPassMs);
        direct.push_back(blocks[1].statusPerPassMs);
        std::printf("  pair %2d: off %.3f ms, on %.3f ms a pass (%ld and %ld passes), difference "
                    "%+.3f ms; status updates %.4f ms a pass\n",
                    pair + 1, blocks[0].cpuPerPassMs, blocks[1].cpuPerPassMs, blocks[0].passes,
                    blocks[1].passes, difference.back(), blocks[1].statusPerPassMs);
        std::fflush(stdout);
        if (pair + 1 >= leastPairs && spreadOf(difference).half <= goalMs)
            break;
    }
    result.pairs = int(difference.size());
    result.off = spreadOf(off);
    result.on = spreadOf(on);
    result.difference = spreadOf(difference);
    result.robust = robustOf(difference);
    result.direct = spreadOf(direct);
    return result;
}

volatile std::sig_atomic_t terminateRequested = 0;

// The child: the station of `folder` until SIGTERM, then a confirmed exit once what it stored
// has reached the platform (or 30 s passed).
int runChild(const QString &folder)
{
    std::signal(SIGTERM, [](int) { terminateRequested = 1; });
    MessageBoxes::setResponder(Station::printBox);
    {
        Station station(folder);
        std::printf("station up\n");
        std::fflush(stdout);
        serveUntil([] { return terminateRequested != 0; }, INT32_MAX);
        station.line->findChild<QCheckBox *>(QStringLiteral("checkBoxConnect"))->setChecked(false);
        station.line->waitForReader();
        RecordWriter::waitForAll();
        serveUntil([&] { return station.backlog() == 0; }, 30000);
    }
    return 0;
}

// The minutes ("yyyyMMddhhmm00") in which the record file holds rows.
std::set<std::string> minutesWithRows(const QString &file)
{
    std::set<std::string> minutes;
    sqlite3 *db = openRaw(file);
    sqlite3_busy_timeout(db, 10000);
    sqlite3_stmt *select = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT DISTINCT substr(time,1,16) FROM Record", -1, &select,
                           nullptr) == SQLITE_OK) {
        while (sqlite3_step(select) == SQLITE_ROW) {
            const unsigned char *text = sqlite3_column_text(select, 0);
            if (text)
                minutes.insert(Hj212Statistics::packetText(reinterpret_cast<const char *>(text)) +
                               "00");
        }
        sqlite3_finalize(select);
    }
    sqlite3_close(db);
    return minutes;
}

struct Lost
{
    bool ok = false;
    uint64_t stored = 0; // messages the point's queue ever held
    long distinct = 0;   // of them received
    long duplicates = 0;
    long fromQueue = 0;      // made while the platform was away or the station down
    long missingMinutes = 0; // minutes with rows and no minute data received
    long minutes = 0;
    uint64_t leftOnDisk = 0;
    long lost = 0;
};

Lost lostAcrossOutageAndKill(const QString &root, const QString &link,
                             const std::vector<ChainMonitor> &chain, const Options &options)
{
    Lost result;
    const QString folder = root + QStringLiteral("/lost");
    std::vector<std::pair<std::string, std::string>> monitors;
    for (const ChainMonitor &monitor : chain)
        monitors.emplace_back(monitor.name.toStdString(), monitor.model.toStdString());
    Hj212Platform platform;
    if (!platform.start() || !writeStationConfig(folder, link, 1, chain) ||
        !writeHj212Config(folder, settingsJson(platform.port(), true, monitors)))
        return result;
    QProcess child;
    if (!startStationChild(child, folder))
        return result;
    std::printf("lost: station uploading for %d s\n", options.steady);
    std::fflush(stdout);
    serve(options.steady * 1000);
    platform.stop();
    const qint64 away = wallMs();
    std::printf("lost: platform away for %d s; the station killed after %d s and started 10 s "
                "later\n",
                options.outage, options.outage / 2);
    std::fflush(stdout);
    serve(options.outage / 2 * 1000);
    child.kill();
    child.waitForFinished();
    serve(10000);
    if (!startStationChild(child, folder))
        return result;
    serve(std::max(0, options.outage - options.outage / 2 - 10) * 1000);
    if (!platform.start())
        return result;
    const qint64 back = wallMs();
    std::printf("lost: platform back; the station runs on for %d s and stops\n", options.steady);
    std::fflush(stdout);
    serve(options.steady * 1000);
    child.terminate();
    child.waitForFinished(90000);

    MqttQueue queue(
        Hj212Uploader::pointFolder(folder + QStringLiteral("/hj212"), kPlatformName, kMn)
            .toStdString());
    queue.open();
    result.stored = queue.end();
    result.leftOnDisk = queue.backlog();
    std::set<std::string> seen;
    std::set<std::string> minuteData;
    long data = 0;
    for (const auto &item : platform.received()) {
        const std::string cn = item.fields.value("CN");
        if (!isData(cn))
            continue;
        ++data;
        const std::string key = item.fields.value("QN") + "/" + item.fields.value("PNO");
        if (!seen.insert(key).second)
            continue;
        const QDateTime made = QDateTime::fromString(
            QString::fromStdString(item.fields.value("QN")), QStringLiteral("yyyyMMddhhmmsszzz"));
        if (made.toMSecsSinceEpoch() >= away && made.toMSecsSinceEpoch() < back)
            ++result.fromQueue;
        if (cn == "2051")
            minuteData.insert(cpValue(item, "DataTime"));
    }
    result.distinct = long(seen.size());
    result.duplicates = data - result.distinct;
    std::set<std::string> minutes = minutesWithRows(folder + QStringLiteral("/db/record.zdb"));
    // The minute the station stopped in never ended.
    if (!minutes.empty())
        minutes.erase(std::prev(minutes.end()));
    result.minutes = long(minutes.size());
    for (const std::string &minute : minutes)
        result.missingMinutes += minuteData.count(minute) ? 0 : 1;
    result.lost = std::max<long>(0, long(result.stored) - result.distinct) + result.missingMinutes;
    result.ok = result.stored > 0 && result.minutes > 0;
    return result;
}

// ---- listen -----------------------------------------------------------------------------------

int runListen(const Options &options)
{
    std::signal(SIGTERM, [](int) { terminateRequested = 1; });
    std::signal(SIGINT, [](int) { terminateRequested = 1; });
    Hj212Platform platform;
    if (!platform.start(options.listen)) {
        std::fprintf(stderr, "hj212: cannot listen on port %d\n", options.listen);
        return 1;
    }
    std::printf("platform listening on port %d; every data message is answered with a 9014\n",
                platform.port());
    std::fflush(stdout);
    size_t printed = 0;
    bool asked = false;
    while (!terminateRequested) {
        serve(200);
        if (options.history > 0 && !asked && platform.isConnected()) {
            const QDateTime now = QDateTime::currentDateTime();
            const std::string qn = now.toString("yyyyMMddhhmmsszzz").toStdString();
            platform.send(Hj212Platform::request(
                qn, "2051", options.pw.toStdString(), options.mn.toStdString(),
                "BeginTime=" + Hj212Statistics::packetText(now.addSecs(-60 * options.history)) +
                    ";EndTime=" + Hj212Statistics::packetText(now)));
            std::printf("asked for the minute data of the last %d minutes (QN %s)\n",
                        options.history, qn.c_str());
            asked = true;
        }
        const auto received = platform.received();
        for (; printed < received.size(); ++printed)
            std::printf("%s %s\n",
                        QDateTime::currentDateTime().toString("hh:mm:ss.zzz").toUtf8().constData(),
                        Hj212Packet::frame(received[printed].segment).c_str());
        std::fflush(stdout);
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
        std::fprintf(stderr,
                     "usage: hj212 [--instruments N] [--pairs N] [--block S] [--steady S] "
                     "[--outage S] [--only resend,interface,lost]\n"
                     "       hj212 --listen PORT [--mn MN] [--pw PW] [--history MINUTES]\n");
        return 2;
    }
    if (options.listen > 0)
        return runListen(options);
    if (!options.station.isEmpty())
        return runChild(options.station);
    MessageBoxes::setResponder(Station::printBox);
    QTemporaryDir root;
    bool ok = true;

    Resend resend;
    if (options.only.contains("resend")) {
        std::printf("resend: a day of minute data of 20 factors asked for by one request\n");
        std::fflush(stdout);
        resend = resendDay(root.path());
        if (!resend.ok) {
            std::printf("resend: FAILED (%ld periods, %ld packets)\n", resend.periods,
                        resend.packets);
            ok = false;
        }
    }

    const QString link = root.filePath(QStringLiteral("line"));
    QStringList simulatorArguments{"--link", link};
    std::vector<ChainMonitor> chain;
    std::vector<std::pair<std::string, std::string>> monitors;
    std::map<std::string, std::string> models;
    for (int id = 1; id <= options.instruments; ++id) {
        simulatorArguments << QStringLiteral("%1:%2").arg(id).arg(chainModel(id));
        chain.push_back({id, chainModel(id), QStringLiteral("仪表%1").arg(id)});
        monitors.emplace_back(chain.back().name.toStdString(), chainModel(id).toStdString());
        models[monitors.back().first] = monitors.back().second;
    }
    QProcess simulator;
    const bool needLine = options.only.contains("interface") || options.only.contains("lost");
    if (needLine && !startSimulator(simulator, simulatorArguments))
        return 1;

    Alternation alternation;
    if (options.only.contains("interface")) {
        std::printf("interface: %d analysers at a 1 s interval, up to %d pairs of %d s blocks "
                    "with uploads off and on in turn\n",
                    options.instruments, options.pairs, options.block);
        std::fflush(stdout);
        Hj212Platform platform;
        platform.start();
        const QString folder = root.filePath(QStringLiteral("interface"));
        const QJsonObject json = settingsJson(platform.port(), true, monitors);
        if (!writeStationConfig(folder, link, 1, chain) || !writeHj212Config(folder, json))
            return 1;
        Station station(folder);
        ThreadCountingSink calls(station.uploader());
        alternation = alternate(station, platform, json, models, options.pairs, options.block);
        alternation.callsOnInterface = calls.onInterface;
        alternation.callsElsewhere = calls.elsewhere;
        alternation.ok = alternation.ok && calls.elsewhere > 0 && calls.onInterface == 0 &&
                         alternation.received > 0;
        if (!alternation.ok) {
            std::printf("interface: SOME BLOCKS MADE NO PASSES, UPLOADED NOTHING OR DID NOT "
                        "FOLLOW THE SWITCH\n");
            ok = false;
        }
    }

    Lost lost;
    if (options.only.contains("lost")) {
        lost = lostAcrossOutageAndKill(root.path(), link, chain, options);
        if (!lost.ok) {
            std::printf("lost: FAILED to run\n");
            ok = false;
        }
    }
    simulator.terminate();
    simulator.waitForFinished();

    if (options.only.contains("resend")) {
        std::printf("baseline: %ld rows; the same statistics and packets made alone %.2f s; the "
                    "same %ld packets sent by a bare client, one answer at a time, %.2f s; a "
                    "second request gave %s packets\n",
                    resend.rows, resend.computeSeconds, resend.packets, resend.rawSeconds,
                    resend.identical ? "the same" : "OTHER");
        std::printf("figure hj212_resend_day_s %.2f s\n", resend.seconds);
        ok = ok && resend.identical;
    }
    if (options.only.contains("interface")) {
        std::printf("baseline: interface thread processor time a pass over %d pairs of %d s "
                    "blocks (%ld passes): uploads off %.3f ms +- %.3f, on %.3f ms +- %.3f\n",
                    alternation.pairs, options.block, alternation.passes, alternation.off.mean,
                    alternation.off.half, alternation.on.mean, alternation.on.half);
        std::printf("baseline: measured directly, its status updates %.4f ms +- %.4f a pass; "
                    "rows handed to the uploader %ld on the interface thread, %ld on others; "
                    "%ld packets received with uploads on\n",
                    alternation.direct.mean, alternation.direct.half, alternation.callsOnInterface,
                    alternation.callsElsewhere, alternation.received);
        std::printf("baseline: on minus off without the pairs another process's load fell "
                    "into: median %+.4f ms, mean of the middle 80 %% %+.4f ms +- %.4f\n",
                    alternation.robust.median, alternation.robust.trimmed.mean,
                    alternation.robust.trimmed.half);
        if (alternation.difference.half > 0.2)
            std::printf("baseline: the difference's interval is wider than the 0.2 ms goal: "
                        "more pairs (--pairs) or a quieter machine narrow it\n");
        std::printf("figure hj212_interface_ms_per_pass %.4f ms (+- %.4f, 95 %%)\n",
                    alternation.difference.mean, alternation.difference.half);
    }
    if (options.only.contains("lost")) {
        std::printf("baseline: %llu messages held by the queue, %ld of them received (%ld made "
                    "while the platform was away or the station down, sent from the queue), "
                    "%llu left on disk at the stop; %ld minutes with rows, %ld without minute "
                    "data received\n",
                    (unsigned long long)lost.stored, lost.distinct, lost.fromQueue,
                    (unsigned long long)lost.leftOnDisk, lost.minutes, lost.missingMinutes);
        std::printf("figure hj212_lost %ld\n", lost.lost);
        std::printf("figure hj212_duplicates %ld\n", lost.duplicates);
        ok = ok && lost.lost == 0;
    }
    return ok ? 0 : 1;
}
