#include "mqttpublisher.h"

#include "acquisition/alarmrules.h"
#include "mqtt/mqttmessage.h"
#include "mqtt/mqtttopic.h"

#include <QtGlobal>

#include <mosquitto.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <set>

namespace {

const int keepAliveSeconds = 10;
const int loopWaitMs = 50;
const int cursorSaveMs = 1000;
const int backlogReportMs = 500;
const char *const online = "online";
const char *const offline = "offline";

qint64 nowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void initLibrary()
{
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
}

// What the operator reads for a failed connect or a lost connection.
QString reasonFor(int result, int error, bool connecting, bool withCaFile)
{
    switch (result) {
    case MOSQ_ERR_EAI:
        return QStringLiteral("无法解析主机名");
    case MOSQ_ERR_ERRNO:
        switch (error) {
        case ECONNREFUSED:
            return QStringLiteral("连接被拒绝");
        case ETIMEDOUT:
        case EHOSTUNREACH:
        case ENETUNREACH:
            return QStringLiteral("无法连接服务器");
        case ECONNRESET:
        case EPIPE:
        case 0:
            return connecting ? QStringLiteral("连接被服务器关闭") : QStringLiteral("连接中断");
        default:
            return QStringLiteral("连接失败（%1）").arg(QString::fromLocal8Bit(std::strerror(error)));
        }
    case MOSQ_ERR_TLS:
        return withCaFile && connecting ? QStringLiteral("CA文件无效") : QStringLiteral("TLS握手失败");
    case MOSQ_ERR_TLS_HANDSHAKE:
        return QStringLiteral("TLS握手失败");
    case MOSQ_ERR_AUTH:
    case MOSQ_ERR_CONN_REFUSED:
        return QStringLiteral("用户名或密码错误");
    case MOSQ_ERR_KEEPALIVE:
        return QStringLiteral("服务器无响应");
    case MOSQ_ERR_CONN_LOST:
    case MOSQ_ERR_NO_CONN:
        return connecting ? QStringLiteral("连接被服务器关闭") : QStringLiteral("连接中断");
    default:
        return QStringLiteral("连接失败（%1）").arg(QString::fromUtf8(mosquitto_strerror(result)));
    }
}

QString problemText(MqttQueue::Problem problem)
{
    switch (problem) {
    case MqttQueue::NoProblem:
        return QString();
    case MqttQueue::NotWritable:
        return QStringLiteral("队列无法写入");
    case MqttQueue::DiskFull:
        return QStringLiteral("磁盘已满");
    case MqttQueue::TopicTooLong:
        return QStringLiteral("主题过长");
    case MqttQueue::TooLarge:
        return QStringLiteral("消息过大");
    }
    return QString();
}

QString connackReason(int code)
{
    switch (code) {
    case 4: // bad user name or password
    case 5: // not authorised
        return QStringLiteral("用户名或密码错误");
    case 2:
        return QStringLiteral("服务器拒绝客户端标识");
    default:
        return QStringLiteral("服务器拒绝连接（%1）").arg(QString::fromUtf8(mosquitto_connack_string(code)));
    }
}

} // namespace

// One connection's state, touched only on the network thread (libmosquitto's callbacks come
// from mosquitto_loop there).
struct MqttPublisher::Session
{
    MqttPublisher *publisher = nullptr;
    mosquitto *client = nullptr;
    bool answered = false;
    int connack = -1;
    bool lost = false;
    int lostCode = 0;
    std::map<int, uint64_t> sent; // message id -> sequence
    std::set<uint64_t> pending;   // sequences sent and not acknowledged
    int offlineMid = -1;
    bool offlineAcked = false;
};

MqttPublisher::MqttPublisher(const QString &queueFolder, QObject *parent, uint64_t maxMessages,
                             uint32_t segmentMessages)
    : QObject(parent), queue(queueFolder.toStdString(), maxMessages, segmentMessages)
{
    initLibrary();
    // The queue tells the log why it cannot be used, and what damage it found.
    queue.open();
    std::lock_guard<std::mutex> locker(statusMutex);
    countsInto(shown);
}

MqttPublisher::~MqttPublisher()
{
    stop(1000);
}

void MqttPublisher::apply(const MqttSettings &settings)
{
    std::lock_guard<std::mutex> applying(applyMutex);
    const std::vector<std::string> problems = settings.validate();
    const bool usable = settings.enabled && problems.empty();
    {
        std::lock_guard<std::mutex> locker(settingsMutex);
        current = settings;
        readingsPrefix = settings.topic + '/' + MqttTopic::escapeLevel(settings.station);
        alarmTopic = MqttTopic::alarms(settings.topic, settings.station);
        auditTopic = MqttTopic::audit(settings.topic, settings.station);
    }
    // Rows keep going to the queue while the connection is replaced.
    if (usable)
        publishing.store(true);
    if (network.joinable()) {
        {
            // No wait for acknowledgements: the dialog calls this on the interface thread, and
            // what is not acknowledged is sent again on the new connection.
            std::lock_guard<std::mutex> locker(wakeMutex);
            stopping = true;
            stopWaitMs = 0;
        }
        stopRequested.store(true);
        wake.notify_all();
        network.join();
    }
    if (!usable) {
        publishing.store(false);
        // Enabled settings that cannot be used (a file edited by hand) say why.
        setState(Off, settings.enabled ? QString::fromStdString(problems.front()) : QString());
        return;
    }
    {
        std::lock_guard<std::mutex> locker(wakeMutex);
        stopping = false;
    }
    stopRequested.store(false);
    setState(Connecting, QString());
    network = std::thread(&MqttPublisher::run, this, settings);
}

MqttSettings MqttPublisher::settings() const
{
    std::lock_guard<std::mutex> locker(settingsMutex);
    return current;
}

void MqttPublisher::stop(int waitMs)
{
    std::lock_guard<std::mutex> applying(applyMutex);
    publishing.store(false);
    if (network.joinable()) {
        {
            std::lock_guard<std::mutex> locker(wakeMutex);
            stopping = true;
            stopWaitMs = waitMs;
        }
        stopRequested.store(true);
        wake.notify_all();
        network.join();
    }
    queue.saveCursor();
    setState(Off, QString());
}

MqttPublisher::Status MqttPublisher::status() const
{
    // The counts as they are, not as last signalled.
    std::lock_guard<std::mutex> locker(statusMutex);
    Status now = shown;
    countsInto(now);
    return now;
}

void MqttPublisher::countsInto(Status &status) const
{
    const MqttQueue::Health health = queue.health();
    status.backlog = qint64(queue.backlog());
    status.queueProblem = problemText(health.problem);
    status.refused = qint64(health.refused) + rejected;
    status.refusedReason = rejected == 0 || health.refused > queueRefusedAtReject
                               ? problemText(health.lastRefusal)
                               : rejectReason;
    status.damaged = qint64(health.damaged);
    status.cursorDamaged = health.cursorDamaged;
    status.dropped = qint64(health.overflowed + health.refused + health.damaged) + rejected;
}

void MqttPublisher::recordRow(const RecordRow &row)
{
    if (!publishing.load(std::memory_order_relaxed))
        return;
    std::string topic;
    {
        std::lock_guard<std::mutex> locker(settingsMutex);
        topic = readingsPrefix;
    }
    topic += "/readings/" + MqttTopic::escapeLevel(row.name) + '/' +
             MqttTopic::escapeLevel(row.factor);
    append(topic, MqttMessage::readingPayload(row));
}

void MqttPublisher::alarmChange(int change, const AlarmEvent &alarm)
{
    if (!publishing.load(std::memory_order_relaxed))
        return;
    std::string topic;
    {
        std::lock_guard<std::mutex> locker(settingsMutex);
        topic = alarmTopic;
    }
    append(topic, MqttMessage::alarmPayload(change, alarm));
}

void MqttPublisher::auditRow(const std::string &time, const std::string &user,
                             const std::string &action, const std::string &detail)
{
    if (!publishing.load(std::memory_order_relaxed))
        return;
    std::string topic;
    {
        std::lock_guard<std::mutex> locker(settingsMutex);
        topic = auditTopic;
    }
    append(topic, MqttMessage::auditPayload(time, user, action, detail));
}

void MqttPublisher::append(const std::string &topic, const std::string &payload)
{
    // A refusal is counted by the queue, which tells the log once per episode: a full disk
    // would otherwise write a line for every reading.
    queue.append(topic, payload);
}

void MqttPublisher::reject(const MqttQueue::Entry &entry, int result)
{
    QString reason;
    switch (result) {
    case MOSQ_ERR_INVAL:
        reason = QStringLiteral("主题无效或过长");
        break;
    case MOSQ_ERR_MALFORMED_UTF8:
        reason = QStringLiteral("主题不是有效的UTF-8");
        break;
    case MOSQ_ERR_PAYLOAD_SIZE:
    case MOSQ_ERR_OVERSIZE_PACKET:
        reason = QStringLiteral("消息过大");
        break;
    default:
        reason =
            QStringLiteral("MQTT库拒绝发送(%1)").arg(QString::fromUtf8(mosquitto_strerror(result)));
    }
    bool tell = false;
    {
        std::lock_guard<std::mutex> locker(statusMutex);
        ++rejected;
        rejectReason = reason;
        queueRefusedAtReject = queue.health().refused;
        tell = toldRejects.insert(result).second;
    }
    if (tell)
        qWarning("hydrovane: MQTT message for %.200s not sent: %s (further ones are counted)",
                 entry.topic.c_str(), mosquitto_strerror(result));
}

void MqttPublisher::setState(State state, const QString &reason)
{
    {
        std::lock_guard<std::mutex> locker(statusMutex);
        countsInto(shown);
        if (shown.state == state && shown.reason == reason)
            return;
        if (!reason.isEmpty() && reason != shown.reason)
            qWarning("hydrovane: MQTT: %s", qPrintable(reason));
        // The connection's ends, for the log; the attempts between them are not.
        if (state == Connected && shown.state != Connected)
            qInfo("hydrovane: MQTT: 已连接");
        else if (shown.state == Connected && state != Connected)
            qWarning("hydrovane: MQTT: 连接已断开");
        shown.state = state;
        shown.reason = reason;
    }
    emit signal_statusChanged();
}

void MqttPublisher::reportCounts(bool force)
{
    const qint64 now = nowMs();
    {
        std::lock_guard<std::mutex> locker(statusMutex);
        Status counts = shown;
        countsInto(counts);
        const bool lossChanged = counts.dropped != shown.dropped ||
                                 counts.queueProblem != shown.queueProblem ||
                                 counts.cursorDamaged != shown.cursorDamaged;
        const bool backlogDue = counts.backlog != shown.backlog &&
                                (force || now - lastBacklogReport >= backlogReportMs);
        if (!lossChanged && !backlogDue)
            return;
        // The queue tells its refusals and damage itself, once per episode.
        const qint64 overflow = counts.dropped - counts.refused - counts.damaged;
        if (overflow != reportedOverflow)
            qWarning("hydrovane: MQTT: %lld messages dropped so far beyond the queue's bound",
                     overflow);
        reportedOverflow = overflow;
        shown = counts;
        lastBacklogReport = now;
    }
    emit signal_statusChanged();
}

void MqttPublisher::waitBeforeRetry()
{
    const qint64 until = nowMs() + reconnectMs;
    std::unique_lock<std::mutex> locker(wakeMutex);
    while (!stopping) {
        const qint64 left = until - nowMs();
        if (left <= 0)
            break;
        wake.wait_for(locker, std::chrono::milliseconds(std::min<qint64>(left, backlogReportMs)));
        locker.unlock();
        reportCounts(false);
        locker.lock();
    }
}

void MqttPublisher::run(MqttSettings settings)
{
    while (!stopRequested.load()) {
        Session session;
        session.publisher = this;
        runSession(settings, session);
        queue.saveCursor();
        reportCounts(true);
        if (stopRequested.load())
            break;
        waitBeforeRetry();
    }
}

void MqttPublisher::onConnect(mosquitto *, void *self, int code)
{
    auto *session = static_cast<Session *>(self);
    session->answered = true;
    session->connack = code;
}

void MqttPublisher::onDisconnect(mosquitto *, void *self, int code)
{
    auto *session = static_cast<Session *>(self);
    session->lost = true;
    session->lostCode = code;
}

void MqttPublisher::onPublish(mosquitto *, void *self, int mid)
{
    auto *session = static_cast<Session *>(self);
    if (mid == session->offlineMid)
        session->offlineAcked = true;
    const auto found = session->sent.find(mid);
    if (found == session->sent.end())
        return;
    session->pending.erase(found->second);
    session->sent.erase(found);
    MqttQueue &queue = session->publisher->queue;
    queue.acknowledge(session->pending.empty() ? queue.readPosition() : *session->pending.begin());
}

void MqttPublisher::runSession(const MqttSettings &settings, Session &session)
{
    mosquitto *client = mosquitto_new(settings.clientId.c_str(), true, &session);
    if (!client) {
        setState(Connecting, QStringLiteral("无法创建 MQTT 客户端"));
        return;
    }
    session.client = client;
    const std::string statusTopic = MqttTopic::status(settings.topic, settings.station);
    mosquitto_int_option(client, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_connect_callback_set(client, &MqttPublisher::onConnect);
    mosquitto_disconnect_callback_set(client, &MqttPublisher::onDisconnect);
    mosquitto_publish_callback_set(client, &MqttPublisher::onPublish);
    mosquitto_max_inflight_messages_set(client, window);
    if (!settings.username.empty())
        mosquitto_username_pw_set(client, settings.username.c_str(),
                                  settings.password.empty() ? nullptr : settings.password.c_str());
    mosquitto_will_set(client, statusTopic.c_str(), int(std::strlen(offline)), offline,
                       settings.qos, true);
    const bool withCaFile = settings.tls && !settings.caFile.empty();
    if (settings.tls) {
        const int rc = mosquitto_tls_set(client, withCaFile ? settings.caFile.c_str() : nullptr,
                                         withCaFile ? nullptr : "/etc/ssl/certs", nullptr, nullptr,
                                         nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            setState(Connecting, QStringLiteral("CA文件无效"));
            mosquitto_destroy(client);
            return;
        }
    }

    // Non-blocking connect: only the name lookup blocks, so a stop is not held up by a host
    // that does not answer.
    errno = 0;
    int rc = mosquitto_connect_async(client, settings.host.c_str(), settings.port,
                                     keepAliveSeconds);
    const qint64 deadline = nowMs() + connectTimeoutMs;
    while (rc == MOSQ_ERR_SUCCESS && !session.answered && !session.lost && !stopRequested.load() &&
           nowMs() < deadline) {
        errno = 0;
        rc = mosquitto_loop(client, loopWaitMs, 1);
        const int error = errno;
        reportCounts(false);
        errno = error;
    }
    if (!session.answered || session.connack != 0) {
        QString reason;
        if (rc != MOSQ_ERR_SUCCESS)
            reason = reasonFor(rc, errno, true, withCaFile);
        else if (session.answered)
            reason = connackReason(session.connack);
        else if (session.lost)
            reason = reasonFor(session.lostCode == 0 ? MOSQ_ERR_CONN_LOST : session.lostCode, 0,
                               true, withCaFile);
        else if (!stopRequested.load())
            reason = QStringLiteral("连接超时");
        if (!reason.isEmpty())
            setState(Connecting, reason);
        mosquitto_destroy(client);
        return;
    }

    setState(Connected, QString());
    mosquitto_publish(client, nullptr, statusTopic.c_str(), int(std::strlen(online)), online,
                      settings.qos, true);
    queue.rewind();
    qint64 lastSave = nowMs();
    QString lostReason;
    MqttQueue::Entry entry;
    while (!stopRequested.load()) {
        while (session.pending.size() < size_t(window) && !session.lost && queue.next(entry)) {
            session.pending.insert(entry.sequence);
            int mid = 0;
            errno = 0;
            rc = mosquitto_publish(client, &mid, entry.topic.c_str(), int(entry.payload.size()),
                                   entry.payload.data(), settings.qos, false);
            const int error = errno;
            const bool neverSendable = rc == MOSQ_ERR_INVAL || rc == MOSQ_ERR_MALFORMED_UTF8 ||
                                       rc == MOSQ_ERR_PAYLOAD_SIZE ||
                                       rc == MOSQ_ERR_OVERSIZE_PACKET;
            if (rc == MOSQ_ERR_SUCCESS && settings.qos > 0) {
                session.sent[mid] = entry.sequence;
            } else if (rc == MOSQ_ERR_SUCCESS) {
                // QoS 0 has no acknowledgement: handed over is done.
                session.pending.erase(entry.sequence);
                queue.acknowledge(session.pending.empty() ? queue.readPosition()
                                                          : *session.pending.begin());
            } else if (!neverSendable) {
                // The connection failed under it (a broken pipe is MOSQ_ERR_ERRNO): sent again
                // on the next one, like everything not acknowledged.
                lostReason = reasonFor(rc, error, false, withCaFile);
                break;
            } else {
                // The library will never send this one: skipped and counted, so that it does
                // not hold up the rest. The station's own topics always pass (names are
                // escaped and cut, the prefix is checked).
                reject(entry, rc);
                session.pending.erase(entry.sequence);
                queue.acknowledge(session.pending.empty() ? queue.readPosition()
                                                          : *session.pending.begin());
            }
        }
        if (!lostReason.isEmpty())
            break;
        errno = 0;
        rc = mosquitto_loop(client, loopWaitMs, 1);
        if (rc != MOSQ_ERR_SUCCESS || session.lost) {
            lostReason = QStringLiteral("连接中断");
            break;
        }
        const qint64 now = nowMs();
        if (now - lastSave >= cursorSaveMs) {
            queue.saveCursor();
            lastSave = now;
        }
        reportCounts(false);
    }

    if (lostReason.isEmpty()) {
        // A clean stop: "offline" replaces the retained "online", and what was sent gets a
        // moment to be acknowledged.
        int waitMs = 0;
        {
            std::lock_guard<std::mutex> locker(wakeMutex);
            waitMs = stopWaitMs;
        }
        rc = mosquitto_publish(client, &session.offlineMid, statusTopic.c_str(),
                               int(std::strlen(offline)), offline, settings.qos, true);
        const qint64 until = nowMs() + waitMs;
        while (rc == MOSQ_ERR_SUCCESS && !session.lost && nowMs() < until &&
               (!session.pending.empty() || !session.offlineAcked))
            rc = mosquitto_loop(client, 20, 1);
        mosquitto_disconnect(client);
        mosquitto_loop(client, 20, 1);
    } else {
        setState(Connecting, lostReason);
    }
    mosquitto_destroy(client);
}
