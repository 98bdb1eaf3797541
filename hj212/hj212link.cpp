#include "hj212link.h"

#include "hj212/hj212message.h"
#include "hj212/hj212packet.h"
#include "hj212/hj212stream.h"
#include "storage/recordreader.h"

#include <QFile>
#include <QSaveFile>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const int cursorSaveMs = 1000;
const int backlogReportMs = 500;
const size_t historyRoom = 512;   // packets of history answers made ahead of the sending
const size_t readLimit = 1 << 20; // bytes read before timeouts are looked at again
const char *const uploadedFile = "/uploaded";

qint64 nowMs()
{
    return QDateTime::currentMSecsSinceEpoch();
}

qint64 steadyMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
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
    case MqttQueue::TooLarge:
        return QStringLiteral("消息过大");
    }
    return QString();
}

QString connectReason(int error)
{
    switch (error) {
    case ECONNREFUSED:
        return QStringLiteral("连接被拒绝");
    case ETIMEDOUT:
        return QStringLiteral("连接超时");
    case EHOSTUNREACH:
    case ENETUNREACH:
        return QStringLiteral("无法连接平台");
    default:
        return QStringLiteral("连接失败（%1）").arg(QString::fromLocal8Bit(std::strerror(error)));
    }
}

} // namespace

Hj212Link::Hj212Link(const Config &config, std::function<void()> notify)
    : config(config), notify(std::move(notify)),
      monitors(config.point.monitors.begin(), config.point.monitors.end()),
      queue(config.queueFolder, config.maxMessages, config.segmentMessages),
      reader(new RecordReader(config.recordFile)), rtdSeconds(config.platform.rtdInterval)
{
    queue.setRetryInterval(config.queueRetryMs);
    if (queue.open() != 0)
        qWarning("hydrovane: HJ 212 queue folder %s cannot be used", config.queueFolder.c_str());
    wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    std::lock_guard<std::mutex> locker(statusMutex);
    countsInto(shown);
}

Hj212Link::~Hj212Link()
{
    stop();
    if (wakeFd >= 0)
        ::close(wakeFd);
}

void Hj212Link::start()
{
    if (network.joinable())
        return;
    stopping = false;
    reader->resetCancel();
    setState(Connecting, QString());
    network = std::thread(&Hj212Link::runNetwork, this);
    compute = std::thread(&Hj212Link::runCompute, this);
}

void Hj212Link::stop()
{
    stopping = true;
    reader->cancel();
    wakeNetwork();
    {
        std::lock_guard<std::mutex> locker(computeMutex);
    }
    computeWake.notify_all();
    if (network.joinable())
        network.join();
    if (compute.joinable())
        compute.join();
    reader->close();
    queue.saveCursor();
    setState(Off, QString());
}

void Hj212Link::wakeNetwork()
{
    if (wakeFd < 0)
        return;
    const uint64_t one = 1;
    if (::write(wakeFd, &one, sizeof(one)) < 0) {
        // Already signalled: the counter is full only after billions of wakes.
    }
}

Hj212Packet::Header Hj212Link::header(const std::string &qn, const std::string &cn, int flag) const
{
    Hj212Packet::Header header;
    header.qn = qn;
    header.st = config.platform.st;
    header.cn = cn;
    header.pw = config.platform.pw;
    header.mn = config.point.mn;
    header.flag = flag;
    return header;
}

std::string Hj212Link::nextQn()
{
    qint64 ms = nowMs();
    {
        // Unique per point even for messages made in the same millisecond.
        std::lock_guard<std::mutex> locker(qnMutex);
        if (ms <= lastQnMs)
            ms = lastQnMs + 1;
        lastQnMs = ms;
    }
    return QDateTime::fromMSecsSinceEpoch(ms)
        .toString(QStringLiteral("yyyyMMddhhmmsszzz"))
        .toStdString();
}

void Hj212Link::takeRow(const RecordRow &row)
{
    if (!monitors.count(row.name))
        return;
    bool reportUncoded = false;
    {
        std::lock_guard<std::mutex> locker(rowsMutex);
        const auto key = std::make_pair(row.name, row.factor);
        auto found = latest.find(key);
        if (found == latest.end()) {
            found = latest.emplace(key, Latest()).first;
            // A code left empty on purpose is no omission.
            const bool explicitNone = config.codes.codes.count(row.name + "/" + row.factor) ||
                                      config.codes.codes.count(row.factor);
            if (config.codes.code(row.name, row.factor).empty() && !explicitNone &&
                Hj212Settings::codeIn(config.codes.codes, row.name, row.factor).empty())
                reportUncoded = uncoded.insert(row.name + "/" + row.factor).second;
        }
        Latest &entry = found->second;
        entry.time = row.time;
        entry.value = row.value;
        entry.status = row.status;
        entry.channel = row.channel;
        std::string &seen = lastSeen[row.name];
        if (row.time > seen)
            seen = row.time;
        if (row.time > newestTime)
            newestTime = row.time;
    }
    if (reportUncoded) {
        qWarning("hydrovane: HJ 212: %s/%s has no code and is not uploaded to %s", row.name.c_str(),
                 row.factor.c_str(), config.point.mn.c_str());
        if (notify)
            notify();
    }
}

Hj212Link::Status Hj212Link::status() const
{
    Status now;
    {
        std::lock_guard<std::mutex> locker(statusMutex);
        now = shown;
    }
    countsInto(now);
    {
        std::lock_guard<std::mutex> locker(historyMutex);
        now.requests = int(requests.size());
    }
    std::lock_guard<std::mutex> locker(rowsMutex);
    for (const std::string &name : uncoded)
        now.uncoded << QString::fromStdString(name);
    return now;
}

// --- network thread --------------------------------------------------------------------------

bool Hj212Link::connectOnce(QString &reason)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    const std::string port = std::to_string(config.platform.port);
    if (::getaddrinfo(config.platform.host.c_str(), port.c_str(), &hints, &found) != 0 || !found) {
        reason = QStringLiteral("无法解析主机名");
        return false;
    }
    int error = ECONNREFUSED;
    for (addrinfo *at = found; at && !stopping; at = at->ai_next) {
        const int fd = ::socket(at->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            error = errno;
            continue;
        }
        int rc = ::connect(fd, at->ai_addr, at->ai_addrlen);
        if (rc != 0 && errno == EINPROGRESS) {
            // Waits for the connect, or for a stop.
            const qint64 deadline = steadyMs() + connectTimeoutMs;
            rc = -1;
            errno = ETIMEDOUT;
            while (!stopping) {
                const qint64 left = deadline - steadyMs();
                if (left <= 0) {
                    errno = ETIMEDOUT;
                    break;
                }
                pollfd fds[2] = {{fd, POLLOUT, 0}, {wakeFd, POLLIN, 0}};
                if (::poll(fds, 2, int(std::min<qint64>(left, 500))) < 0 && errno != EINTR)
                    break;
                if (fds[1].revents) {
                    uint64_t count = 0;
                    if (::read(wakeFd, &count, sizeof(count)) < 0) {
                    }
                }
                if (fds[0].revents) {
                    int soError = 0;
                    socklen_t length = sizeof(soError);
                    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &length);
                    rc = soError == 0 ? 0 : -1;
                    errno = soError;
                    break;
                }
            }
        }
        if (rc == 0) {
            const int on = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
            socketFd = fd;
            ::freeaddrinfo(found);
            return true;
        }
        error = errno;
        ::close(fd);
    }
    ::freeaddrinfo(found);
    reason = connectReason(error);
    return false;
}

void Hj212Link::dropConnection(const QString &reason)
{
    if (socketFd >= 0)
        ::close(socketFd);
    socketFd = -1;
    output.clear();
    answers.clear();
    // What was sent and not answered goes again on the next connection, first.
    waiting = Waiting();
    queue.rewind();
    queue.saveCursor();
    setState(Connecting, reason);
}

void Hj212Link::queueAnswer(const std::string &segment)
{
    if (answers.size() < maxAnswers && !segment.empty())
        answers.push_back(Hj212Packet::frame(segment));
}

void Hj212Link::handleSegment(const std::string &segment)
{
    Hj212Packet::Fields fields;
    if (!Hj212Packet::parse(segment, fields))
        return;
    const std::string cn = fields.value("CN");
    if (cn == Hj212Message::dataAnswer) {
        // The echo may stand in CP (the answer then has a QN of its own) or as the QN.
        const auto values = Hj212Packet::cpValues(fields.cp);
        const auto echoed = values.find("QN");
        const std::string qn = echoed != values.end() ? echoed->second : fields.value("QN");
        if (!waiting.active || qn != waiting.qn)
            return;
        if (waiting.history) {
            std::lock_guard<std::mutex> locker(historyMutex);
            if (!historyOut.empty() && historyOut.front().qn == qn)
                historyOut.pop_front();
        } else {
            queue.acknowledge(waiting.sequence + 1);
        }
        waiting = Waiting();
        computeWake.notify_all();
        return;
    }
    const std::string qn = fields.value("QN");
    if (qn.empty() || !Hj212Settings::isPacketText(qn) || qn.size() > 20)
        return;
    if (fields.value("MN") != config.point.mn || fields.value("PW") != config.platform.pw) {
        queueAnswer(Hj212Message::answer(
            header(qn, Hj212Message::requestAnswer, Hj212Packet::version2017), "QnRtn=2"));
        return;
    }
    handleRequest(qn, cn, fields.cp);
}

void Hj212Link::handleRequest(const std::string &qn, const std::string &cn, const std::string &cp)
{
    const int flag = Hj212Packet::version2017;
    const auto reply = [&](const char *command, const std::string &text) {
        queueAnswer(Hj212Message::answer(header(qn, command, flag), text));
    };
    const auto values = Hj212Packet::cpValues(cp);
    const auto value = [&values](const char *key) {
        const auto found = values.find(key);
        return found == values.end() ? std::string() : found->second;
    };
    Hj212Statistics::Kind kind = Hj212Statistics::Minute;
    if (cn == Hj212Message::minuteData || cn == Hj212Message::hourData ||
        cn == Hj212Message::dayData) {
        kind = cn == Hj212Message::minuteData ? Hj212Statistics::Minute
               : cn == Hj212Message::hourData ? Hj212Statistics::Hour
                                              : Hj212Statistics::Day;
        std::unique_lock<std::mutex> locker(historyMutex);
        if (requests.size() >= size_t(maxRequests)) {
            locker.unlock();
            reply(Hj212Message::requestAnswer, "QnRtn=2");
            return;
        }
        locker.unlock();
        reply(Hj212Message::requestAnswer, "QnRtn=1");
        const std::string beginText = value("BeginTime");
        const std::string endText = value("EndTime");
        const QDateTime begin =
            beginText.size() == 14 ? Hj212Statistics::parse(beginText) : QDateTime();
        const QDateTime end = endText.size() == 14 ? Hj212Statistics::parse(endText) : QDateTime();
        if (!begin.isValid() || !end.isValid() || begin > end) {
            reply(Hj212Message::executionResult, "ExeRtn=3");
            return;
        }
        const int minutes = config.platform.minuteInterval;
        // The periods that start between the two times.
        QDateTime from = Hj212Statistics::periodStart(begin, kind, minutes);
        if (from < begin)
            from = Hj212Statistics::nextStart(from, kind, minutes);
        const QDateTime to = Hj212Statistics::nextStart(
            Hj212Statistics::periodStart(end, kind, minutes), kind, minutes);
        if (from >= to) {
            reply(Hj212Message::executionResult, "ExeRtn=100");
            return;
        }
        Request request;
        request.qn = qn;
        request.kind = kind;
        request.from = from;
        request.to = to;
        request.next = from;
        locker.lock();
        requests.push_back(request);
        locker.unlock();
        {
            std::lock_guard<std::mutex> waking(computeMutex);
        }
        computeWake.notify_all();
        reportCounts(true);
        return;
    }
    if (cn == Hj212Message::setRtdInterval) {
        reply(Hj212Message::requestAnswer, "QnRtn=1");
        const std::string text = value("RtdInterval");
        const int seconds = text.empty() || text.size() > 6 ||
                                    text.find_first_not_of("0123456789") != std::string::npos
                                ? -1
                                : std::stoi(text);
        if (seconds < Hj212Settings::minRtdInterval || seconds > Hj212Settings::maxRtdInterval) {
            reply(Hj212Message::executionResult, "ExeRtn=3");
            return;
        }
        rtdSeconds = seconds;
        qWarning("hydrovane: HJ 212: platform %s set the real-time interval of %s to %d s",
                 config.platform.name.c_str(), config.point.mn.c_str(), seconds);
        {
            std::lock_guard<std::mutex> waking(computeMutex);
        }
        computeWake.notify_all();
        reply(Hj212Message::executionResult, "ExeRtn=1");
        return;
    }
    if (cn == Hj212Message::getRtdInterval || cn == Hj212Message::getTime) {
        reply(Hj212Message::requestAnswer, "QnRtn=1");
        if (cn == Hj212Message::getRtdInterval)
            reply(Hj212Message::getRtdInterval, "RtdInterval=" + std::to_string(rtdSeconds.load()));
        else
            reply(Hj212Message::getTime,
                  "SystemTime=" + Hj212Statistics::packetText(QDateTime::currentDateTime()));
        reply(Hj212Message::executionResult, "ExeRtn=1");
        return;
    }
    // Setting the computer's clock among them: the station does not.
    reply(Hj212Message::requestAnswer, "QnRtn=2");
}

void Hj212Link::fillOutput(qint64 now)
{
    while (!answers.empty()) {
        output += answers.front();
        answers.pop_front();
    }
    if (waiting.active)
        return;
    for (int turn = 0; turn < 2 && !waiting.active; ++turn) {
        const bool history = historyTurn;
        historyTurn = !historyTurn;
        if (history) {
            std::lock_guard<std::mutex> locker(historyMutex);
            while (!historyOut.empty() && !historyOut.front().answered) {
                output += historyOut.front().packet;
                historyOut.pop_front();
            }
            if (historyOut.empty())
                continue;
            waiting.active = true;
            waiting.history = true;
            waiting.qn = historyOut.front().qn;
            waiting.packet = historyOut.front().packet;
        } else {
            MqttQueue::Entry entry;
            if (!queue.next(entry))
                continue;
            waiting.active = true;
            waiting.history = false;
            waiting.sequence = entry.sequence;
            waiting.qn = entry.topic;
            waiting.packet = entry.payload;
        }
        waiting.sentAt = now;
        waiting.tries = 0;
        output += waiting.packet;
    }
    // Room for the next day of a history answer.
    computeWake.notify_all();
}

bool Hj212Link::writeOutput()
{
    while (!output.empty()) {
        const ssize_t sent = ::send(socketFd, output.data(), output.size(), MSG_NOSIGNAL);
        if (sent > 0) {
            output.erase(0, size_t(sent));
            continue;
        }
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            return true;
        return false;
    }
    return true;
}

void Hj212Link::runNetwork()
{
    Hj212Stream stream;
    qint64 nextConnect = 0;
    qint64 lastSave = steadyMs();
    std::vector<char> buffer(64 * 1024);
    std::vector<std::string> segments;
    const qint64 answerWaitMs = qint64(config.platform.overTime) * 1000;
    while (!stopping) {
        qint64 now = steadyMs();
        if (socketFd < 0) {
            if (now < nextConnect) {
                pollfd wake = {wakeFd, POLLIN, 0};
                ::poll(&wake, 1, int(std::min<qint64>(nextConnect - now, backlogReportMs)));
                if (wake.revents) {
                    uint64_t count = 0;
                    if (::read(wakeFd, &count, sizeof(count)) < 0) {
                    }
                }
                reportCounts(false);
                continue;
            }
            QString reason;
            if (!connectOnce(reason)) {
                if (!stopping)
                    setState(Connecting, reason);
                nextConnect = steadyMs() + config.reconnectMs;
                continue;
            }
            stream.clear();
            output.clear();
            answers.clear();
            waiting = Waiting();
            queue.rewind();
            setState(Connected, QString());
            now = steadyMs();
        }

        fillOutput(now);
        if (!output.empty() && !writeOutput()) {
            dropConnection(QStringLiteral("连接中断"));
            nextConnect = steadyMs() + config.reconnectMs;
            continue;
        }
        int timeout = backlogReportMs;
        if (waiting.active)
            timeout = int(std::max<qint64>(
                0, std::min<qint64>(waiting.sentAt + answerWaitMs - now, timeout)));
        pollfd fds[2] = {{socketFd, short(POLLIN | (output.empty() ? 0 : POLLOUT)), 0},
                         {wakeFd, POLLIN, 0}};
        if (::poll(fds, 2, timeout) < 0 && errno != EINTR) {
            dropConnection(QStringLiteral("连接中断"));
            nextConnect = steadyMs() + config.reconnectMs;
            continue;
        }
        if (fds[1].revents) {
            uint64_t count = 0;
            if (::read(wakeFd, &count, sizeof(count)) < 0) {
            }
        }
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            QString lost;
            size_t taken = 0;
            while (taken < readLimit) {
                const ssize_t got = ::recv(socketFd, buffer.data(), buffer.size(), 0);
                if (got > 0) {
                    taken += size_t(got);
                    segments.clear();
                    stream.feed(buffer.data(), size_t(got), segments);
                    for (const std::string &segment : segments)
                        handleSegment(segment);
                    continue;
                }
                if (got == 0)
                    lost = QStringLiteral("平台关闭了连接");
                else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                    lost = QStringLiteral("连接中断");
                break;
            }
            if (!lost.isEmpty()) {
                dropConnection(lost);
                nextConnect = steadyMs() + config.reconnectMs;
                continue;
            }
        }
        now = steadyMs();
        if (waiting.active && now >= waiting.sentAt + answerWaitMs) {
            if (waiting.tries < config.platform.reCount) {
                ++waiting.tries;
                waiting.sentAt = now;
                output += waiting.packet;
            } else {
                dropConnection(QStringLiteral("平台无应答"));
                nextConnect = steadyMs() + config.reconnectMs;
                continue;
            }
        }
        if (now - lastSave >= cursorSaveMs) {
            queue.saveCursor();
            lastSave = now;
        }
        reportCounts(false);
    }
    if (socketFd >= 0)
        ::close(socketFd);
    socketFd = -1;
    queue.saveCursor();
}

// --- compute thread --------------------------------------------------------------------------

QDateTime Hj212Link::loadUploadedUpTo() const
{
    QFile file(QString::fromStdString(config.queueFolder) + QLatin1String(uploadedFile));
    if (!file.open(QIODevice::ReadOnly))
        return QDateTime();
    return Hj212Statistics::parse(file.read(64).trimmed().toStdString());
}

void Hj212Link::saveUploadedUpTo(const QDateTime &end) const
{
    // Replaced whole: a half-written time would skip or repeat periods at random.
    QSaveFile file(QString::fromStdString(config.queueFolder) + QLatin1String(uploadedFile));
    if (!file.open(QIODevice::WriteOnly))
        return;
    file.write(QByteArray::fromStdString(Hj212Statistics::storedText(end)) + '\n');
    file.commit();
}

bool Hj212Link::appendSegments(const std::vector<std::string> &segments, const std::string &qn)
{
    // The queue tells its refusals itself, once per episode.
    bool stored = true;
    for (const std::string &segment : segments)
        if (!queue.append(qn, Hj212Packet::frame(segment))) {
            stored = false;
            break;
        }
    wakeNetwork();
    reportCounts(false);
    return stored;
}

void Hj212Link::uploadRealTime()
{
    std::vector<Hj212Message::Reading> readings;
    std::string dataTime;
    {
        std::lock_guard<std::mutex> locker(rowsMutex);
        // Nothing new since the last upload: the platform has these readings already.
        if (newestTime.empty() || newestTime <= lastRtdTime)
            return;
        const QDateTime newest = Hj212Statistics::parse(newestTime);
        if (!newest.isValid())
            return;
        // The readings of the newest pass and those not older than an interval before it:
        // a monitor that stopped drops out.
        const std::string oldest = Hj212Statistics::storedText(newest.addSecs(-rtdSeconds.load()));
        for (const auto &entry : latest) {
            if (entry.second.time < oldest)
                continue;
            Hj212Message::Reading reading;
            reading.monitor = entry.first.first;
            reading.factor = entry.first.second;
            reading.channel = entry.second.channel;
            reading.value = entry.second.value;
            reading.status = entry.second.status;
            readings.push_back(reading);
        }
        dataTime = newestTime;
        lastRtdTime = newestTime;
    }
    const std::string qn = nextQn();
    appendSegments(
        Hj212Message::realTimeData(
            header(qn, Hj212Message::realTime, Hj212Packet::version2017 | Hj212Packet::answerBit),
            Hj212Statistics::packetText(dataTime), readings, config.codes, config.point.monitors),
        qn);
}

bool Hj212Link::uploadPeriodsEndingAt(const QDateTime &end)
{
    const int minutes = config.platform.minuteInterval;
    std::vector<Hj212Statistics::Kind> kinds{Hj212Statistics::Minute};
    if (end.time().minute() == 0)
        kinds.push_back(Hj212Statistics::Hour);
    if (end.time() == QTime(0, 0))
        kinds.push_back(Hj212Statistics::Day);
    // All kinds are made before any is queued: a failed read queues none, and the next try
    // does not repeat the ones that went through.
    std::vector<std::pair<std::string, std::vector<std::string>>> made;
    for (Hj212Statistics::Kind kind : kinds) {
        const QDateTime start = Hj212Statistics::periodStart(end.addSecs(-1), kind, minutes);
        const int rc = Hj212Statistics::compute(
            *reader, config.point.monitors, kind, minutes, start, end,
            [&](const Hj212Statistics::Period &period) {
                const std::string qn = nextQn();
                made.emplace_back(qn, Hj212Message::periodData(
                                          header(qn, Hj212Message::commandOf(kind),
                                                 Hj212Packet::version2017 | Hj212Packet::answerBit),
                                          period, config.codes));
                return true;
            });
        if (rc != 0) {
            // Tried again every second: said once for each new reason.
            if (!stopping && rc != lastReadError)
                qWarning("hydrovane: HJ 212: the record file cannot be read for %s (%d)",
                         config.point.mn.c_str(), rc);
            lastReadError = rc;
            reader->close();
            return false;
        }
    }
    // A connection kept open would go on reading a record file that an import replaced.
    reader->close();
    lastReadError = 0;
    // A message the queue refuses (a folder that cannot be written, a full disk) is made
    // again from the record file once the queue stores again: not lost, at the cost of
    // sending again what of these periods was stored before it.
    const uint64_t refusedBefore = queue.health().refused;
    for (const auto &message : made)
        if (!appendSegments(message.second, message.first)) {
            refusedRetried += queue.health().refused - refusedBefore;
            reportCounts(true);
            return false;
        }
    return true;
}

bool Hj212Link::periodSettled(const QDateTime &start, const QDateTime &end, qint64 now) const
{
    const qint64 endMs = end.toMSecsSinceEpoch();
    if (now < endMs + config.settleMs)
        return false;
    if (now >= endMs + config.settleLimitMs)
        return true;
    // A monitor that delivered in the period has to deliver a later row first: its rows of the
    // period are committed then.
    const std::string low = Hj212Statistics::storedText(start);
    const std::string high = Hj212Statistics::storedText(end);
    std::lock_guard<std::mutex> locker(rowsMutex);
    for (const auto &seen : lastSeen)
        if (seen.second >= low && seen.second < high)
            return false;
    return true;
}

bool Hj212Link::advanceRequest()
{
    Request request;
    {
        std::lock_guard<std::mutex> locker(historyMutex);
        if (requests.empty() || historyOut.size() >= historyRoom)
            return false;
        request = requests.front();
    }
    const int flag = Hj212Packet::version2017 | Hj212Packet::answerBit;
    std::vector<Outgoing> made;
    bool finished = request.next >= request.to;
    bool failed = false;
    QDateTime chunkEnd = request.to;
    if (!finished) {
        chunkEnd = std::min(Hj212Statistics::nextStart(
                                Hj212Statistics::periodStart(request.next, Hj212Statistics::Day, 0),
                                Hj212Statistics::Day, 0),
                            request.to);
        const char *command = Hj212Message::commandOf(request.kind);
        const int rc = Hj212Statistics::compute(
            *reader, config.point.monitors, request.kind, config.platform.minuteInterval,
            request.next, chunkEnd, [&](const Hj212Statistics::Period &period) {
                for (const std::string &segment : Hj212Message::periodData(
                         header(request.qn, command, flag), period, config.codes))
                    made.push_back(Outgoing{request.qn, Hj212Packet::frame(segment), true});
                return true;
            });
        if (rc != 0) {
            if (stopping)
                return false;
            qWarning("hydrovane: HJ 212: history for %s cannot be read (%d)",
                     config.point.mn.c_str(), rc);
            failed = true;
            finished = true;
            made.clear();
        }
        finished = finished || chunkEnd >= request.to;
        if (finished)
            reader->close();
    }
    {
        std::lock_guard<std::mutex> locker(historyMutex);
        if (requests.empty() || requests.front().qn != request.qn)
            return true;
        Request &front = requests.front();
        front.sentData = front.sentData || !made.empty();
        front.next = chunkEnd;
        for (Outgoing &outgoing : made)
            historyOut.push_back(std::move(outgoing));
        if (finished) {
            const std::string result = front.sentData && !failed ? "ExeRtn=1" : "ExeRtn=100";
            historyOut.push_back(Outgoing{
                request.qn,
                Hj212Packet::frame(Hj212Message::answer(
                    header(request.qn, Hj212Message::executionResult, Hj212Packet::version2017),
                    result)),
                false});
            requests.pop_front();
        }
    }
    wakeNetwork();
    if (finished)
        reportCounts(true);
    return true;
}

void Hj212Link::runCompute()
{
    const int minutes = config.platform.minuteInterval;
    const QDateTime started = QDateTime::currentDateTime();
    const QDateTime current =
        Hj212Statistics::periodStart(started, Hj212Statistics::Minute, minutes);
    // The end of the last period whose data is queued: periods that ended while the station
    // was off are made now, up to catchUpDays back; a first start begins with this period.
    QDateTime uploaded = loadUploadedUpTo();
    if (uploaded.isValid())
        uploaded = Hj212Statistics::periodStart(uploaded, Hj212Statistics::Minute, minutes);
    const QDateTime earliest = Hj212Statistics::periodStart(started.addDays(-config.catchUpDays),
                                                            Hj212Statistics::Minute, minutes);
    if (!uploaded.isValid() || uploaded > current) {
        uploaded = current;
    } else if (uploaded < earliest) {
        qWarning("hydrovane: HJ 212: periods of %s before %s are not uploaded again (too old)",
                 config.point.mn.c_str(), Hj212Statistics::storedText(earliest).c_str());
        uploaded = earliest;
    }

    const auto nextTick = [this](qint64 now) {
        const qint64 interval = qint64(std::max(1, rtdSeconds.load())) * 1000;
        const QDateTime midnight(QDateTime::fromMSecsSinceEpoch(now).date(), QTime(0, 0));
        const qint64 since = now - midnight.toMSecsSinceEpoch();
        return midnight.toMSecsSinceEpoch() + (since / interval + 1) * interval;
    };
    qint64 tick = nextTick(nowMs());
    int tickInterval = rtdSeconds.load();
    while (!stopping) {
        const qint64 now = nowMs();
        const QDateTime nowTime = QDateTime::fromMSecsSinceEpoch(now);
        QDateTime end = Hj212Statistics::nextStart(uploaded, Hj212Statistics::Minute, minutes);
        bool retryLater = false;
        while (!stopping && end <= nowTime && periodSettled(uploaded, end, now)) {
            if (!uploadPeriodsEndingAt(end)) {
                retryLater = true;
                break;
            }
            uploaded = end;
            saveUploadedUpTo(end);
            end = Hj212Statistics::nextStart(uploaded, Hj212Statistics::Minute, minutes);
        }
        if (tickInterval != rtdSeconds.load()) {
            tickInterval = rtdSeconds.load();
            tick = nextTick(now);
        }
        if (now >= tick) {
            uploadRealTime();
            tick = nextTick(now);
        }
        const bool busy = !stopping && advanceRequest();

        // Until the next tick, the next period's end or its settling, or a wake.
        qint64 until = tick;
        const qint64 endMs = end.toMSecsSinceEpoch() + config.settleMs;
        until = std::min(until, std::max(endMs, now + 250));
        if (retryLater)
            until = std::min(until, now + 1000);
        std::unique_lock<std::mutex> locker(computeMutex);
        if (busy || stopping)
            continue;
        computeWake.wait_for(locker, std::chrono::milliseconds(std::max<qint64>(
                                         1, std::min<qint64>(until - nowMs(), 1000))));
    }
}

void Hj212Link::setState(State state, const QString &reason)
{
    {
        std::lock_guard<std::mutex> locker(statusMutex);
        countsInto(shown);
        if (shown.state == state && shown.reason == reason)
            return;
        if (!reason.isEmpty() && reason != shown.reason)
            qWarning("hydrovane: HJ 212 %s/%s: %s", config.platform.name.c_str(),
                     config.point.mn.c_str(), qPrintable(reason));
        shown.state = state;
        shown.reason = reason;
    }
    if (notify)
        notify();
}

void Hj212Link::reportCounts(bool force)
{
    const qint64 now = steadyMs();
    {
        std::lock_guard<std::mutex> locker(statusMutex);
        Status counts = shown;
        countsInto(counts);
        const bool lossChanged = counts.dropped != shown.dropped ||
                                 counts.queueProblem != shown.queueProblem ||
                                 counts.cursorDamaged != shown.cursorDamaged;
        const bool backlogDue = counts.backlog != shown.backlog &&
                                (force || now - lastBacklogReport >= backlogReportMs);
        if (!lossChanged && !backlogDue && !force)
            return;
        // The queue tells its refusals and damage itself.
        const qint64 overflow = counts.dropped - counts.refused - counts.damaged;
        const qint64 overflowBefore = shown.dropped - shown.refused - shown.damaged;
        if (overflow != overflowBefore)
            qWarning("hydrovane: HJ 212 %s: %lld messages dropped so far beyond the queue's bound",
                     config.point.mn.c_str(), overflow);
        shown.backlog = counts.backlog;
        shown.dropped = counts.dropped;
        shown.refused = counts.refused;
        shown.damaged = counts.damaged;
        shown.cursorDamaged = counts.cursorDamaged;
        shown.queueProblem = counts.queueProblem;
        lastBacklogReport = now;
    }
    if (notify)
        notify();
}

void Hj212Link::countsInto(Status &status) const
{
    const MqttQueue::Health health = queue.health();
    status.backlog = qint64(queue.backlog());
    status.queueProblem = problemText(health.problem);
    status.refused = qint64(health.refused - std::min(health.refused, refusedRetried.load()));
    status.damaged = qint64(health.damaged);
    status.cursorDamaged = health.cursorDamaged;
    status.dropped = qint64(health.overflowed + health.damaged) + status.refused;
}
