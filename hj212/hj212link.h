#ifndef HJ212LINK_H
#define HJ212LINK_H

#include "hj212/hj212packet.h"
#include "hj212/hj212statistics.h"
#include "mqtt/mqttqueue.h"
#include "settings/hj212settings.h"
#include "storage/recordrow.h"

#include <QString>
#include <QStringList>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

class RecordReader;

// One point of one platform: its TCP connection, its queue on disk and its uploads.
//
// Two threads of its own. The compute thread makes the data messages and appends them to the
// queue before anything depends on the network: real-time data every rtdInterval from the
// latest readings handed to takeRow, and the minute, hour and day data of each period once it
// has ended and its rows are in the record file (read through a connection of its own), also
// for periods that ended while the station was off (up to a week back). It also reads the
// periods a history request asks for, a day at a time.
//
// The network thread connects, sends the queue in order and answers the platform's commands.
// A message that asks for an answer (every data message does) waits for the 9014 echoing its
// QN for overTime seconds and is sent again up to reCount times; then the connection is
// dropped, made again after a few seconds, and sending resumes at the first unanswered
// message. A history request's answer (9011, the periods with the request's QN, 9012) is sent
// between the queue's messages, one of each in turn, so that live data keeps going meanwhile.
class Hj212Link
{
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
        QString reason;      // the last failure in Chinese, empty when none
        qint64 backlog = 0;  // messages on disk the platform has not answered
        // Lost since the start: beyond the bound (what refused and damaged do not account
        // for), refused by the queue, or damaged on the disk.
        qint64 dropped = 0;
        qint64 refused = 0;
        qint64 damaged = 0;
        bool cursorDamaged = false; // what the queue held is sent again
        // Why the queue stores nothing now (in Chinese), empty when it does; period data
        // waits meanwhile and is made again from the record file.
        QString queueProblem;
        int requests = 0;    // history requests waiting or being answered
        QStringList uncoded; // "monitor/factor" seen without a code, not uploaded
    };

    struct Config
    {
        Hj212Settings::Platform platform;
        Hj212Settings::Point point;
        Hj212Settings::Resolved codes;
        std::string queueFolder;
        std::string recordFile;
        uint64_t maxMessages = 500000;
        uint32_t segmentMessages = 20000;
        int reconnectMs = 3000;
        // How soon a queue that could not store tries the disk again.
        int queueRetryMs = MqttQueue::retryMs;
        // A period is computed once every monitor that delivered in it delivered a row of
        // a later time (at least settleMs after its end), or settleLimitMs after its end.
        int settleMs = 2000;
        int settleLimitMs = 60000;
        // Periods that ended while the station was off are uploaded back to this age.
        int catchUpDays = 7;
    };

    static constexpr int maxRequests = 8;      // history requests held; more are refused
    static constexpr size_t maxAnswers = 1000; // immediate answers waiting to be written
    static constexpr int connectTimeoutMs = 5000;

    // notify: called from the link's threads when its status changed (at most every 500 ms
    // for a moving backlog).
    Hj212Link(const Config &config, std::function<void()> notify);
    ~Hj212Link();
    Hj212Link(const Hj212Link &) = delete;
    Hj212Link &operator=(const Hj212Link &) = delete;

    void start();
    // Ends both threads; what the platform has not answered stays on disk.
    void stop();

    // A row committed to the record file, from a record writer's thread; rows of other
    // monitors are ignored at the cost of a lookup.
    void takeRow(const RecordRow &row);
    bool reports(const std::string &monitor) const { return monitors.count(monitor) > 0; }

    Status status() const;
    const Config &configuration() const { return config; }
    // The real-time interval in use (the platform may change it).
    int rtdInterval() const { return rtdSeconds.load(); }

private:
    struct Latest
    {
        std::string time;
        std::string value;
        std::string status;
        int channel = 0;
    };
    // A packet of a history answer; those that ask for an answer stay first until answered.
    struct Outgoing
    {
        std::string qn;
        std::string packet;
        bool answered = false; // asks for an answer
    };
    struct Request
    {
        std::string qn;
        Hj212Statistics::Kind kind;
        QDateTime from, to; // periods starting in [from, to)
        QDateTime next;     // the next day to read
        bool sentData = false;
    };
    struct Waiting // the message sent that waits for its answer
    {
        bool active = false;
        bool history = false;
        uint64_t sequence = 0;
        std::string qn;
        std::string packet;
        qint64 sentAt = 0;
        int tries = 0;
    };

    Hj212Packet::Header header(const std::string &qn, const std::string &cn, int flag) const;
    std::string nextQn();

    // Network thread.
    void runNetwork();
    bool connectOnce(QString &reason);
    void dropConnection(const QString &reason);
    void handleSegment(const std::string &segment);
    void handleRequest(const std::string &qn, const std::string &cn, const std::string &cp);
    void queueAnswer(const std::string &segment);
    // Moves the next message to the output when nothing waits for an answer.
    void fillOutput(qint64 now);
    bool writeOutput();

    // Compute thread.
    void runCompute();
    void uploadRealTime();
    // Appends the data of the periods ending at `end`: minute, and hour and day at their ends.
    bool uploadPeriodsEndingAt(const QDateTime &end);
    bool periodSettled(const QDateTime &start, const QDateTime &end, qint64 nowMs) const;
    // false when the queue refused a segment.
    bool appendSegments(const std::vector<std::string> &segments, const std::string &qn);
    void countsInto(Status &status) const;
    // One day of the oldest request into historyOut; true when there was work.
    bool advanceRequest();
    QDateTime loadUploadedUpTo() const;
    void saveUploadedUpTo(const QDateTime &end) const;

    void setState(State state, const QString &reason);
    void reportCounts(bool force);
    void wakeNetwork();

    const Config config;
    const std::function<void()> notify;
    const std::set<std::string> monitors;
    MqttQueue queue;
    std::unique_ptr<RecordReader> reader;
    std::atomic<int> rtdSeconds;

    std::atomic<bool> stopping{false};
    std::thread network;
    std::thread compute;
    int wakeFd = -1;
    std::mutex computeMutex;
    std::condition_variable computeWake;

    // Readings handed over, under rowsMutex.
    mutable std::mutex rowsMutex;
    std::map<std::pair<std::string, std::string>, Latest> latest;
    std::map<std::string, std::string> lastSeen; // monitor -> its newest row's time
    std::string newestTime;
    std::string lastRtdTime; // newestTime at the last real-time upload
    std::set<std::string> uncoded;

    // History requests and what their answers hold, under historyMutex.
    mutable std::mutex historyMutex;
    std::deque<Request> requests;
    std::deque<Outgoing> historyOut;

    // Network thread only.
    int socketFd = -1;
    std::string output;
    std::deque<std::string> answers;
    Waiting waiting;
    bool historyTurn = false;

    int lastReadError = 0; // compute thread
    // Refusals of period data that is made again later: not lost.
    std::atomic<uint64_t> refusedRetried{0};

    // QN, compute thread and network thread.
    std::mutex qnMutex;
    qint64 lastQnMs = 0;

    mutable std::mutex statusMutex;
    Status shown;
    qint64 lastBacklogReport = 0;
};

#endif // HJ212LINK_H
