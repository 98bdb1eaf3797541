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
    if (queue.open() != 0)
        qWarning("hydrovane: MQTT queue folder %s cannot be used", qPrintable(queueFolder));
    std::lock_guard<std::mutex> locker(statusMutex);
    shown.backlog = qint64(queue.backlog());
}

MqttPublisher::~MqttPublisher()
{
    stop(1000);
}

void MqttPublisher::apply(const MqttSettings &settings)
{
    std::lock_guard<std::mutex> applying(applyMutex);
    const bool usable = settings.enabled && settings.validate().empty();
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
        setState(Off, QString());
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
    Status now;
    {
        std::lock_guard<std::mutex> locker(statusMutex);
        now = shown;
    }
    // The counts as they are, not as last signalled.
    now.backlog = qint64(queue.backlog());
    now.dropped = qint64(queue.dropped());
    return now;
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
    if (!queue.append(topic, payload))
        qWarning("hydrovane: MQTT message for %s could not be queued", topic.c_str());
}

void MqttPublisher::setState(State state, const QString &reason)
{
    {
        std::lock_guard<std::mutex> locker(statusMutex);
        shown.backlog = qint64(queue.backlog());
        shown.dropped = qint64(queue.dropped());
        if (shown.state == state && shown.reason == reason)
            return;
        if (!reason.isEmpty() && reason != shown.reason)
            qWarning("hydrovane: MQTT: %s", qPrintable(reason));
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
        const qint64 backlog = qint64(queue.backlog());
        const qint64 dropped = qint64(queue.dropped());
        const bool droppedChanged = dropped != shown.dropped;
        const bool backlogDue = backlog != shown.backlog &&
                                (force || now - lastBacklogReport >= backlogReportMs);
        if (!droppedChanged && !backlogDue)
            return;
        if (droppedChanged)
            qWarning("hydrovane: MQTT: %lld messages dropped so far (queue full or not storable)",
                     dropped);
        shown.backlog = backlog;
        shown.dropped = dropped;
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
            rc = mosquitto_publish(client, &mid, entry.topic.c_str(), int(entry.payload.size()),
                                   entry.payload.data(), settings.qos, false);
            if (rc == MOSQ_ERR_SUCCESS && settings.qos > 0) {
                session.sent[mid] = entry.sequence;
            } else if (rc == MOSQ_ERR_SUCCESS) {
                // QoS 0 has no acknowledgement: handed over is done.
                session.pending.erase(entry.sequence);
                queue.acknowledge(session.pending.empty() ? queue.readPosition()
                                                          : *session.pending.begin());
            } else if (rc == MOSQ_ERR_NO_CONN || rc == MOSQ_ERR_CONN_LOST || rc == MOSQ_ERR_NOMEM) {
                lostReason = reasonFor(rc, 0, false, withCaFile);
                break;
            } else {
                // The broker would never take this one (a topic it refuses): skipped, not lost
                // for the rest.
                qWarning("hydrovane: MQTT message for %s skipped: %s", entry.topic.c_str(),
                         mosquitto_strerror(rc));
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
