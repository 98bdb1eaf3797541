#ifndef MQTTPUBLISHER_H
#define MQTTPUBLISHER_H

#include "mqtt/mqttqueue.h"
#include "settings/mqttsettings.h"
#include "storage/recordsink.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

struct mosquitto;

// Publishes the rows and alarm changes the record writers are handed to an MQTT broker.
//
// The writers' threads format each message and append it to the disk queue (MqttQueue) before
// anything depends on the network. A thread of the publisher's own connects (libmosquitto; its
// DNS lookups and connects may block), sends the queue in order with a bounded window of
// unacknowledged messages and moves the queue's cursor as acknowledgements come. A lost
// connection is retried about every second, whatever the error; what was not acknowledged is
// sent again (QoS 1 may deliver twice, never lose). The station's state goes to
// PREFIX/STATION/status, retained: "online" on each connect, "offline" as last will and at a
// clean stop. Trail rows go to PREFIX/STATION/audit.
class MqttPublisher : public QObject, public RecordSink
{
    Q_OBJECT

public:
    enum State
    {
        Off = 0,
        Connecting = 1, // also while reconnecting
        Connected = 2,
    };
    struct Status
    {
        State state = Off;
        // The last failure in Chinese for the operator; empty when none.
        QString reason;
        // Messages on disk the broker has not acknowledged.
        qint64 backlog = 0;
        // Messages lost since the start: beyond the disk bound (what refused and damaged do
        // not account for), refused or damaged.
        qint64 dropped = 0;
        // Why messages cannot be stored now ("队列无法写入", "磁盘已满"); empty while they can.
        QString queueProblem;
        // Not stored or not sendable, and why the last one was.
        qint64 refused = 0;
        QString refusedReason;
        // Not acknowledged and unreadable in the queue's files, at least.
        qint64 damaged = 0;
        // The queue's cursor was damaged: what it held is being sent again.
        bool cursorDamaged = false;
    };

    // Messages sent but not yet acknowledged, at most.
    static constexpr int window = 500;
    static constexpr int reconnectMs = 1000;
    // A connect not answered within this is given up and tried again.
    static constexpr int connectTimeoutMs = 5000;

    // queueFolder: the station's mqtt folder. Nothing is published before apply().
    explicit MqttPublisher(const QString &queueFolder, QObject *parent = nullptr,
                           uint64_t maxMessages = MqttQueue::defaultMaxMessages,
                           uint32_t segmentMessages = MqttQueue::defaultSegmentMessages);
    ~MqttPublisher() override;

    // Stops the network side and starts it again with these settings; with publishing off or
    // settings that fail validate(), nothing is queued or sent from now on. Call from any
    // thread but the publisher's. Returns at once unless a name lookup of the old connection is
    // under way.
    void apply(const MqttSettings &settings);
    MqttSettings settings() const;
    // Publishes "offline", waits up to waitMs for the broker to acknowledge what was sent and
    // stops; what is not acknowledged stays on disk for the next start.
    void stop(int waitMs = 2000);

    // Thread-safe; the counts are current, not those of the last signal.
    Status status() const;
    // The disk queue, for checks and for the benchmark's switch of its sync.
    MqttQueue &diskQueue() { return queue; }

    void recordRow(const RecordRow &row) override;
    void alarmChange(int change, const AlarmEvent &alarm) override;
    void auditRow(const std::string &time, const std::string &user, const std::string &action,
                  const std::string &detail) override;

signals:
    // The state, the reason, the queue's problem, a count of lost messages or (at most twice a
    // second) the backlog changed.
    // Emitted on the publisher's own thread: connect queued.
    void signal_statusChanged();

private:
    struct Session;

    void run(MqttSettings settings);
    // One connection from connect to loss or stop; false when it never connected.
    void runSession(const MqttSettings &settings, Session &session);
    void setState(State state, const QString &reason);
    // The queue's counts and problem into status, under statusMutex.
    void countsInto(Status &status) const;
    // Emits when the backlog or dropped count changed, the backlog at most every 500 ms.
    void reportCounts(bool force);
    void waitBeforeRetry();
    void append(const std::string &topic, const std::string &payload);
    // A message the library refuses to send (mosquitto_publish's result): counted, and told
    // once for each reason.
    void reject(const MqttQueue::Entry &entry, int result);

    static void onConnect(mosquitto *client, void *self, int code);
    static void onDisconnect(mosquitto *client, void *self, int code);
    static void onPublish(mosquitto *client, void *self, int mid);

    MqttQueue queue;
    mutable std::mutex settingsMutex;
    MqttSettings current;
    std::string readingsPrefix; // under settingsMutex
    std::string alarmTopic;
    std::string auditTopic;
    std::atomic<bool> publishing{false};

    std::mutex applyMutex; // one apply or stop at a time
    std::thread network;
    std::mutex wakeMutex;
    std::condition_variable wake;
    bool stopping = false; // under wakeMutex
    int stopWaitMs = 0;
    std::atomic<bool> stopRequested{false};

    mutable std::mutex statusMutex;
    Status shown;
    qint64 reportedOverflow = 0;
    qint64 lastBacklogReport = 0; // ms, steady clock
    // Under statusMutex: messages the library refused, the last reason, the queue's refusals
    // at that moment, and the reasons told.
    qint64 rejected = 0;
    QString rejectReason;
    uint64_t queueRefusedAtReject = 0;
    std::set<int> toldRejects;
};

#endif // MQTTPUBLISHER_H
