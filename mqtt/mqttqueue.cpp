#include "mqttqueue.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QSaveFile>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <limits>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const int headerSize = 8;
const uint32_t numberedFlag = 0x80000000u;
const int sequenceSize = 8;
const char *const segmentSuffix = ".seg";
const int sequenceDigits = 20;
const size_t windowSize = 256 * 1024;
const uint64_t noEnd = std::numeric_limits<uint64_t>::max();

// CRC-32 (the zlib polynomial), eight bytes a step: every stored byte is checked at open.
uint32_t crc32Of(const char *data, size_t size)
{
    static uint32_t table[8][256];
    static const bool filled = [] {
        for (uint32_t n = 0; n < 256; ++n) {
            uint32_t c = n;
            for (int k = 0; k < 8; ++k)
                c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            table[0][n] = c;
        }
        for (uint32_t n = 0; n < 256; ++n)
            for (int t = 1; t < 8; ++t)
                table[t][n] = (table[t - 1][n] >> 8) ^ table[0][table[t - 1][n] & 0xFF];
        return true;
    }();
    (void)filled;
    const auto *bytes = reinterpret_cast<const unsigned char *>(data);
    uint32_t crc = 0xFFFFFFFFu;
    for (; size >= 8; size -= 8, bytes += 8) {
        const uint32_t low = crc ^ (uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 |
                                    uint32_t(bytes[2]) << 16 | uint32_t(bytes[3]) << 24);
        crc = table[7][low & 0xFF] ^ table[6][(low >> 8) & 0xFF] ^ table[5][(low >> 16) & 0xFF] ^
              table[4][low >> 24] ^ table[3][bytes[4]] ^ table[2][bytes[5]] ^ table[1][bytes[6]] ^
              table[0][bytes[7]];
    }
    for (; size > 0; --size, ++bytes)
        crc = table[0][(crc ^ *bytes) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

void putLittle(char *at, uint64_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        at[i] = char((value >> (8 * i)) & 0xFF);
}

uint64_t getLittle(const char *at, int bytes)
{
    uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i)
        value = (value << 8) | static_cast<unsigned char>(at[i]);
    return value;
}

int64_t nowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

int syncFolderOf(const std::string &folder)
{
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    const int rc = ::fsync(fd);
    ::close(fd);
    return rc;
}

MqttQueue::Problem problemOf(int error)
{
    return error == ENOSPC || error == EDQUOT ? MqttQueue::DiskFull : MqttQueue::NotWritable;
}

// Why a folder cannot be made or used, as an errno.
int folderError(const std::string &folder)
{
    struct stat info;
    if (::stat(folder.c_str(), &info) == 0)
        return S_ISDIR(info.st_mode) ? 0 : ENOTDIR;
    return ::mkdir(folder.c_str(), 0777) == 0 ? 0 : errno;
}

bool writeFully(int fd, const std::string &data, int64_t offset, int &error)
{
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t wrote =
            ::pwrite(fd, data.data() + done, data.size() - done, off_t(offset + int64_t(done)));
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0) {
            error = wrote < 0 ? errno : ENOSPC;
            return false;
        }
        done += size_t(wrote);
    }
    return true;
}

// The cursor's text: the number and a checksum of its digits, so that a damaged cursor is told
// from a moved one.
QByteArray cursorText(uint64_t value)
{
    const QByteArray digits = QByteArray::number(qulonglong(value));
    return digits + ' ' +
           QByteArray::number(crc32Of(digits.constData(), size_t(digits.size())), 16)
               .rightJustified(8, '0') +
           '\n';
}

// Also the checksum-less cursor of older queues.
bool parseCursor(const QByteArray &text, uint64_t &value)
{
    const QList<QByteArray> parts = text.trimmed().split(' ');
    const QByteArray &digits = parts.first();
    if (parts.size() > 2 || digits.isEmpty() || digits.size() > sequenceDigits)
        return false;
    for (char c : digits)
        if (c < '0' || c > '9')
            return false;
    bool ok = false;
    value = digits.toULongLong(&ok);
    return ok && (parts.size() == 1 || cursorText(value) == text);
}

} // namespace

// Reads a segment file forward through a window and finds the valid records past any damage.
class MqttQueue::Finder
{
public:
    struct Record
    {
        int64_t offset = 0;
        int64_t end = 0;
        bool numbered = false;
        uint64_t sequence = 0;
        std::string body; // topic length, topic and payload
    };

    explicit Finder(int fd) : fd(fd) {}
    ~Finder() { ::close(fd); }
    Finder(const Finder &) = delete;
    Finder &operator=(const Finder &) = delete;

    // Nothing at or past it is read.
    int64_t limit = 0;
    // A read failed: nothing is known past the record last found.
    bool failed = false;

    // The first valid record that begins at or after `from`; false when none does.
    bool find(int64_t from, Record &record, bool withBody)
    {
        for (int64_t at = from; at + headerSize <= limit && !failed; ++at) {
            const char *header = view(at, headerSize);
            if (!header)
                return false;
            const uint32_t raw = uint32_t(getLittle(header, 4));
            const bool numbered = raw & numberedFlag;
            const uint32_t length = raw & ~numberedFlag;
            const uint32_t least = numbered ? sequenceSize + 2 : 2;
            if (length < least || length > maxRecordSize || at + headerSize + length > limit)
                continue;
            const char *data = view(at, headerSize + length);
            if (!data)
                return false;
            const char *body = data + headerSize;
            if (crc32Of(body, length) != uint32_t(getLittle(data + 4, 4)))
                continue;
            const size_t skip = numbered ? sequenceSize : 0;
            const size_t topicSize = size_t(getLittle(body + skip, 2));
            if (skip + 2 + topicSize > length)
                continue;
            record.offset = at;
            record.end = at + headerSize + length;
            record.numbered = numbered;
            record.sequence = numbered ? getLittle(body, sequenceSize) : 0;
            if (withBody)
                record.body.assign(body + skip, length - skip);
            return true;
        }
        return false;
    }

    // Whether all from `from` on is what a write cut short leaves: the beginning of one record
    // that the end of the file cuts, or nothing but zero bytes (space the system gave the file
    // and a power cut kept it from filling).
    bool tornOrBlank(int64_t from)
    {
        if (limit - from < headerSize)
            return view(from, size_t(limit - from)) != nullptr;
        const char *header = view(from, headerSize);
        if (!header)
            return false;
        const uint32_t raw = uint32_t(getLittle(header, 4));
        const uint32_t length = raw & ~numberedFlag;
        if (length >= 2 && length <= maxRecordSize && from + headerSize + length > limit)
            return true;
        for (int64_t at = from; at < limit;) {
            const size_t size = size_t(std::min<int64_t>(limit - at, int64_t(windowSize)));
            const char *data = view(at, size);
            if (!data || std::any_of(data, data + size, [](char c) { return c != 0; }))
                return false;
            at += int64_t(size);
        }
        return true;
    }

private:
    // [at, at + size) of the file; null past the limit or on a read error.
    const char *view(int64_t at, size_t size)
    {
        if (at + int64_t(size) > limit)
            return nullptr;
        if (at >= windowStart && at + int64_t(size) <= windowStart + int64_t(filled))
            return window.data() + (at - windowStart);
        const size_t want = size_t(std::min<int64_t>(std::max(size, windowSize), limit - at));
        if (window.size() < want)
            window.resize(want);
        size_t got = 0;
        while (got < want) {
            const ssize_t n = ::pread(fd, &window[got], want - got, off_t(at + int64_t(got)));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                failed = true;
            if (n <= 0)
                break;
            got += size_t(n);
        }
        windowStart = at;
        filled = failed ? 0 : got;
        if (filled < size) {
            // Shorter than when it was measured.
            if (!failed)
                limit = at + int64_t(filled);
            return nullptr;
        }
        return window.data();
    }

    int fd;
    std::string window;
    int64_t windowStart = 0;
    size_t filled = 0;
};

MqttQueue::MqttQueue(const std::string &folder, uint64_t maxMessages, uint32_t segmentMessages)
    : folder(folder), maxMessages(std::max<uint64_t>(maxMessages, 2)),
      segmentMessages(segmentMessages)
{
    // The bound is kept by whole segments: several must fit in it.
    if (this->segmentMessages == 0 || uint64_t(this->segmentMessages) * 2 > this->maxMessages)
        this->segmentMessages = uint32_t(std::max<uint64_t>(this->maxMessages / 2, 1));
}

MqttQueue::~MqttQueue()
{
    stopSyncing();
    {
        std::lock_guard<std::mutex> locker(mutex);
        writeCursor();
        // A clean stop leaves nothing to the next power cut.
        if (syncEnabled.load() && dataDirty && writeFd >= 0)
            ::fdatasync(writeFd);
        closeRead();
        closeWrite();
        if (syncEnabled.load() && folderDirty)
            syncFolderOf(folder);
    }
    flushLog();
}

std::string MqttQueue::segmentPath(uint64_t first) const
{
    std::string name = std::to_string(first);
    name.insert(0, size_t(sequenceDigits) - std::min<size_t>(name.size(), sequenceDigits), '0');
    return folder + '/' + name + segmentSuffix;
}

void MqttQueue::note(const std::string &line)
{
    pendingLog += line;
    pendingLog += '\n';
    logPending.store(true);
}

void MqttQueue::flushLog()
{
    if (!logPending.load(std::memory_order_relaxed))
        return;
    std::string text;
    {
        std::lock_guard<std::mutex> locker(mutex);
        text.swap(pendingLog);
        logPending.store(false);
    }
    size_t from = 0;
    for (size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', from)) {
        qWarning("hydrovane: MQTT queue %s %s", folder.c_str(),
                 text.substr(from, end - from).c_str());
        from = end + 1;
    }
}

int MqttQueue::open()
{
    int rc = 0;
    {
        std::lock_guard<std::mutex> locker(mutex);
        rc = openLocked();
        if (!syncer.joinable()) {
            {
                std::lock_guard<std::mutex> syncing(syncMutex);
                syncStopping = false;
            }
            // Also when the folder failed: the thread tries it again.
            syncer = std::thread(&MqttQueue::syncLoop, this);
        }
    }
    flushLog();
    return rc;
}

int MqttQueue::openLocked()
{
    closeRead();
    closeWrite();
    segments.clear();
    usable = false;
    tailDirty = false;
    const QString path = QString::fromStdString(folder);
    QDir dir(path);
    dir.mkpath(path);
    const int error = folderError(folder);
    if (error != 0 || !dir.isReadable()) {
        fail(problemOf(error), error != 0 ? error : EACCES);
        return -1;
    }

    const QStringList names = dir.entryList({QStringLiteral("*") + QLatin1String(segmentSuffix)},
                                            QDir::Files, QDir::Name);
    for (const QString &name : names) {
        const QString digits = name.left(name.size() - int(std::strlen(segmentSuffix)));
        bool ok = false;
        const qulonglong first = digits.toULongLong(&ok);
        if (!ok || digits.size() != sequenceDigits)
            continue;
        Segment segment;
        segment.first = first;
        segment.path = segmentPath(first);
        segments.push_back(segment);
    }

    uint64_t stored = 0;
    bool cursorKnown = false;
    QFile cursorFile(path + QStringLiteral("/cursor"));
    if (cursorFile.exists()) {
        cursorKnown =
            cursorFile.open(QIODevice::ReadOnly) && parseCursor(cursorFile.read(64), stored);
        if (!cursorKnown) {
            // Sent again from the oldest stored: a duplicate is allowed, a skip is a loss.
            state.cursorDamaged = true;
            note("cursor is damaged: every stored message is sent again");
        }
    }

    // Every segment the cursor has not passed is read through: damage is found and reported
    // now, not when the broker is back.
    const uint64_t damagedBefore = state.damaged;
    const uint64_t bytesBefore = state.damagedBytes;
    const uint64_t countFrom = cursorKnown ? stored : 0;
    for (size_t i = 0; i < segments.size(); ++i) {
        Segment &segment = segments[i];
        const uint64_t slotEnd = i + 1 < segments.size() ? segments[i + 1].first : noEnd;
        if (slotEnd != noEnd && slotEnd <= countFrom) {
            segment.count = slotEnd - segment.first; // acknowledged: deleted below
            continue;
        }
        scan(segment, slotEnd, countFrom);
    }
    if (state.damaged != damagedBefore || state.damagedBytes != bytesBefore)
        note("has damaged records: " + std::to_string(state.damagedBytes - bytesBefore) +
             " bytes skipped, at least " + std::to_string(state.damaged - damagedBefore) +
             " messages lost");

    nextSequence = segments.empty() ? 0 : segments.back().first + segments.back().count;
    if (segments.empty() && cursorKnown)
        nextSequence = std::max(nextSequence, stored);
    if (cursorKnown)
        acknowledged = std::min(
            std::max(stored, segments.empty() ? stored : segments.front().first), nextSequence);
    else
        acknowledged = segments.empty() ? nextSequence : segments.front().first;
    // A damaged cursor is replaced at the next save.
    savedCursor = cursorKnown ? stored : noEnd;
    readAt = acknowledged;
    usable = true;
    dropAcknowledgedSegments();
    if (!segments.empty() && segments.back().count < segmentMessages && !segments.back().sealed)
        writeFd = ::open(segments.back().path.c_str(), O_WRONLY | O_CLOEXEC);
    // What an earlier run left may still be only in the system's cache (after a kill).
    dataDirty = writeFd >= 0;
    folderDirty = true;
    synced = 0;

    if (::access(folder.c_str(), W_OK) != 0) {
        // Told now, not at the first message; the first append tries all the same.
        const int denied = errno;
        fail(problemOf(denied), denied);
        retryAt = nowMs();
    } else if (state.problem != NoProblem) {
        recovered();
    }
    return 0;
}

void MqttQueue::scan(Segment &segment, uint64_t slotEnd, uint64_t countFrom)
{
    const bool last = slotEnd == noEnd;
    segment.count = 0;
    segment.bytes = 0;
    segment.sealed = false;
    segment.checkedTo = std::max(segment.first, countFrom);
    const int fd = ::open(segment.path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat info;
    if (fd < 0 || ::fstat(fd, &info) != 0) {
        if (fd >= 0)
            ::close(fd);
        // Unreadable: what it held is lost, and nothing is written over it.
        segment.sealed = true;
        if (last)
            slotEnd = segment.first + 1;
        countDamage(segment, segment.first, slotEnd);
        segment.count = slotEnd - segment.first;
        return;
    }
    Finder finder(fd);
    finder.limit = int64_t(info.st_size);
    Finder::Record record;
    uint64_t place = segment.first; // the number of the next record
    int64_t at = 0;
    while (finder.find(at, record, false)) {
        const uint64_t number = record.numbered ? record.sequence : place;
        if (record.numbered && (number < place || number >= slotEnd)) {
            // Whole but out of place: not one of this segment's messages.
            at = record.end;
            continue;
        }
        if (record.offset > at || number > place) {
            // Damage before this record: the numbers it hid, at least one in the last segment
            // of an older queue (its records carry no numbers; in other segments the count
            // comes short at the end). Damage among acknowledged messages costs nothing.
            if (record.numbered)
                countDamage(segment, place, number);
            else if (last && place >= segment.checkedTo)
                ++state.damaged;
            if (number >= countFrom)
                state.damagedBytes += uint64_t(record.offset - at);
        }
        place = number + 1;
        at = record.end;
    }
    segment.bytes = uint64_t(at);
    // Past a read error nothing is known: kept as it is and never appended to.
    segment.sealed = finder.failed;
    const int64_t end = finder.failed ? int64_t(info.st_size) : finder.limit;
    if (at < end && (finder.failed || !(last && finder.tornOrBlank(at)))) {
        // A damaged tail: the rest of the numbers, or at least one in the last segment (a new
        // segment begins after it when it is sealed).
        if (last && place >= segment.checkedTo)
            ++state.damaged;
        if (last ? place >= countFrom : slotEnd > countFrom)
            state.damagedBytes += uint64_t(end - at);
        if (last && finder.failed)
            ++place;
    }
    if (!last)
        countDamage(segment, place, slotEnd); // a segment cut short
    segment.count = (last ? place : slotEnd) - segment.first;
    segment.checkedTo = segment.first + segment.count;
    // Appends go on after the last valid record: what follows it was read and holds none.
    if (last && !segment.sealed && info.st_size > off_t(at))
        tailDirty = ::truncate(segment.path.c_str(), off_t(at)) != 0;
}

void MqttQueue::countDamage(Segment &segment, uint64_t from, uint64_t to)
{
    from = std::max(from, segment.checkedTo);
    if (to <= from)
        return;
    state.damaged += to - from;
    segment.checkedTo = to;
}

void MqttQueue::setSyncEnabled(bool enabled)
{
    syncEnabled = enabled;
}

void MqttQueue::setRetryInterval(int ms)
{
    std::lock_guard<std::mutex> locker(mutex);
    retryInterval = std::max(ms, 0);
    retryAt = std::min(retryAt, nowMs() + retryInterval);
}

uint64_t MqttQueue::syncedEnd() const
{
    return synced.load();
}

int MqttQueue::sync()
{
    int fd = -1;
    bool folderChanged = false;
    uint64_t upTo = 0;
    {
        std::lock_guard<std::mutex> locker(mutex);
        if (!usable || !syncEnabled.load())
            return 0;
        // A duplicate: the disk is waited for without the mutex, while appends go on.
        if (dataDirty && writeFd >= 0 && (fd = ::fcntl(writeFd, F_DUPFD_CLOEXEC, 0)) < 0)
            return -1;
        folderChanged = folderDirty;
        upTo = nextSequence;
        dataDirty = false;
        folderDirty = false;
    }
    bool ok = true;
    if (fd >= 0) {
        ok = ::fdatasync(fd) == 0;
        ::close(fd);
    }
    if (ok && folderChanged)
        ok = syncFolderOf(folder) == 0;
    if (!ok) {
        std::lock_guard<std::mutex> locker(mutex);
        dataDirty = dataDirty || fd >= 0;
        folderDirty = folderDirty || folderChanged;
        return -1;
    }
    uint64_t before = synced.load();
    while (before < upTo && !synced.compare_exchange_weak(before, upTo)) {
    }
    return 0;
}

void MqttQueue::syncLoop()
{
    std::unique_lock<std::mutex> locker(syncMutex);
    while (!syncStopping) {
        syncWake.wait_for(locker, std::chrono::milliseconds(syncIntervalMs));
        if (syncStopping)
            break;
        locker.unlock();
        watch();
        const bool failed = sync() != 0;
        const int error = errno;
        flushLog();
        locker.lock();
        if (failed && !syncFailing)
            qWarning("hydrovane: MQTT queue %s cannot be forced to the disk: %s", folder.c_str(),
                     std::strerror(error));
        syncFailing = failed;
    }
}

void MqttQueue::watch()
{
    std::lock_guard<std::mutex> locker(mutex);
    if (!usable) {
        if (nowMs() >= retryAt)
            openLocked();
        return;
    }
    // A segment deleted under the queue (its folder removed or replaced) is let go: what comes
    // next goes to a file a restart finds, or is refused and told.
    struct stat info;
    if (writeFd >= 0 && ::fstat(writeFd, &info) == 0 && info.st_nlink == 0) {
        const std::string &path = segments.back().path;
        note("segment " + path.substr(path.rfind('/') + 1) + " was deleted while in use");
        closeWrite();
        segments.back().sealed = true;
    }
}

void MqttQueue::stopSyncing()
{
    {
        std::lock_guard<std::mutex> syncing(syncMutex);
        syncStopping = true;
    }
    syncWake.notify_all();
    if (syncer.joinable())
        syncer.join();
}

void MqttQueue::refuse(Problem problem)
{
    ++state.refused;
    state.lastRefusal = problem;
    if (problem != TopicTooLong && problem != TooLarge)
        return;
    // These come from one name or message each: told once a run.
    if (toldRefusals & (1u << problem))
        return;
    toldRefusals |= 1u << problem;
    note(problem == TopicTooLong ? "refused a message whose topic is longer than MQTT allows "
                                   "(65535 bytes)"
                                 : "refused a message larger than a record may be");
}

void MqttQueue::fail(Problem problem, int error)
{
    if (state.problem != problem) {
        if (state.problem == NoProblem)
            refusedAtStart = state.refused;
        note(std::string(problem == DiskFull ? "cannot be written, the disk is full ("
                                             : "cannot be written (") +
             std::strerror(error) + "): messages are not stored; tried again every " +
             std::to_string(retryInterval / 1000) + " s");
    }
    state.problem = problem;
    state.error = error;
    retryAt = nowMs() + retryInterval;
}

void MqttQueue::recovered()
{
    note("is written again; " + std::to_string(state.refused - refusedAtStart) +
         " messages were not stored meanwhile");
    state.problem = NoProblem;
    state.error = 0;
}

bool MqttQueue::append(const std::string &topic, const std::string &payload)
{
    bool stored = false;
    {
        std::lock_guard<std::mutex> locker(mutex);
        stored = appendLocked(topic, payload);
    }
    flushLog();
    return stored;
}

bool MqttQueue::appendLocked(const std::string &topic, const std::string &payload)
{
    const size_t length = sequenceSize + 2 + topic.size() + payload.size();
    if (topic.size() > maxTopicSize || length > maxRecordSize) {
        refuse(topic.size() > maxTopicSize ? TopicTooLong : TooLarge);
        return false;
    }
    // Until the retry is due the disk is left alone: a failing disk would hold up every writer.
    if (!usable || (state.problem != NoProblem && nowMs() < retryAt)) {
        refuse(state.problem != NoProblem ? state.problem : NotWritable);
        return false;
    }
    if (writeFd < 0 || segments.empty() || segments.back().count >= segmentMessages ||
        segments.back().sealed) {
        // A full segment is forced to the disk before its descriptor goes; once per segment.
        if (writeFd >= 0 && dataDirty && syncEnabled.load() && ::fdatasync(writeFd) == 0)
            dataDirty = false;
        closeWrite();
        Segment segment;
        segment.first = nextSequence;
        segment.checkedTo = nextSequence;
        segment.path = segmentPath(nextSequence);
        int fd = ::open(segment.path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0660);
        if (fd < 0 && errno == ENOENT && QDir().mkpath(QString::fromStdString(folder)))
            fd = ::open(segment.path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0660);
        if (fd < 0) {
            const int error = errno;
            fail(problemOf(error), error);
            refuse(problemOf(error));
            return false;
        }
        writeFd = fd;
        // A segment without messages (an earlier failed append, a first segment of this run)
        // is taken over; what a failed write may have left in it goes.
        if (!segments.empty() && segments.back().first == segment.first)
            segments.pop_back();
        segments.push_back(segment);
        tailDirty = true;
        folderDirty = true;
    }

    std::string record(headerSize + length, '\0');
    char *body = &record[headerSize];
    putLittle(body, nextSequence, sequenceSize);
    putLittle(body + sequenceSize, topic.size(), 2);
    std::memcpy(body + sequenceSize + 2, topic.data(), topic.size());
    std::memcpy(body + sequenceSize + 2 + topic.size(), payload.data(), payload.size());
    putLittle(&record[0], uint32_t(length) | numberedFlag, 4);
    putLittle(&record[4], crc32Of(body, length), 4);

    // Written at the end of the last valid record, not at the end of the file: a partial
    // record left by a failed write is overwritten, never followed.
    Segment &segment = segments.back();
    int error = 0;
    if (tailDirty && ::ftruncate(writeFd, off_t(segment.bytes)) != 0)
        error = errno;
    else
        tailDirty = false;
    if (error != 0 || !writeFully(writeFd, record, int64_t(segment.bytes), error)) {
        tailDirty = true;
        fail(problemOf(error), error);
        refuse(problemOf(error));
        return false;
    }
    segment.bytes += record.size();
    ++segment.count;
    ++nextSequence;
    dataDirty = true;
    if (state.problem != NoProblem)
        recovered();
    enforceBound();
    return true;
}

void MqttQueue::enforceBound()
{
    while (segments.size() > 1 && nextSequence - segments.front().first > maxMessages) {
        const Segment &oldest = segments.front();
        const uint64_t end = oldest.first + oldest.count;
        if (acknowledged < end) {
            state.overflowed += end - std::max(acknowledged, oldest.first);
            acknowledged = end;
        }
        if (reader && readFirst == oldest.first)
            closeRead();
        ::unlink(oldest.path.c_str());
        segments.pop_front();
    }
    readAt = std::max(readAt, acknowledged);
}

void MqttQueue::dropAcknowledgedSegments()
{
    // The last segment stays: appends go on in it.
    while (segments.size() > 1 && segments.front().first + segments.front().count <= acknowledged) {
        if (reader && readFirst == segments.front().first)
            closeRead();
        ::unlink(segments.front().path.c_str());
        segments.pop_front();
    }
}

bool MqttQueue::next(Entry &entry)
{
    bool found = false;
    {
        std::lock_guard<std::mutex> locker(mutex);
        const uint64_t damagedBefore = state.damaged;
        found = nextLocked(entry);
        if (state.damaged != damagedBefore)
            note("has damaged records: " + std::to_string(state.damaged - damagedBefore) +
                 " messages skipped while reading");
    }
    flushLog();
    return found;
}

bool MqttQueue::nextLocked(Entry &entry)
{
    if (readAt < acknowledged) {
        readAt = acknowledged;
        closeRead();
    }
    Finder::Record record;
    while (readAt < nextSequence) {
        const auto holding = std::find_if(segments.begin(), segments.end(), [&](const Segment &s) {
            return readAt < s.first + s.count;
        });
        if (holding == segments.end())
            return false;
        Segment &segment = *holding;
        const uint64_t end = segment.first + segment.count;
        if (readAt < segment.first) {
            // A segment went missing: what it held is lost.
            state.damaged += segment.first - readAt;
            readAt = segment.first;
        }
        if (!reader || readFirst != segment.first || readPlace > readAt) {
            closeRead();
            const int fd = ::open(segment.path.c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0) {
                countDamage(segment, readAt, end);
                readAt = end;
                continue;
            }
            reader.reset(new Finder(fd));
            readFirst = segment.first;
            readOffset = 0;
            readPlace = segment.first;
        }
        reader->limit = int64_t(segment.bytes);
        if (!reader->find(readOffset, record, true)) {
            // Nothing valid up to its end: the rest of its numbers are lost.
            countDamage(segment, readAt, end);
            readAt = end;
            closeRead();
            continue;
        }
        readOffset = record.end;
        const uint64_t number = record.numbered ? record.sequence : readPlace;
        if (record.numbered && (number < readPlace || number >= end))
            continue;
        readPlace = number + 1;
        if (number < readAt)
            continue;
        if (number > readAt) {
            countDamage(segment, readAt, number);
            readAt = number;
        }
        const size_t topicSize = size_t(getLittle(record.body.data(), 2));
        entry.sequence = number;
        entry.topic.assign(record.body, 2, topicSize);
        entry.payload.assign(record.body, 2 + topicSize, std::string::npos);
        ++readAt;
        return true;
    }
    return false;
}

void MqttQueue::rewind()
{
    std::lock_guard<std::mutex> locker(mutex);
    if (readAt != acknowledged) {
        readAt = acknowledged;
        closeRead();
    }
}

void MqttQueue::acknowledge(uint64_t sequence)
{
    std::lock_guard<std::mutex> locker(mutex);
    sequence = std::min(sequence, nextSequence);
    if (sequence <= acknowledged)
        return;
    acknowledged = sequence;
    readAt = std::max(readAt, acknowledged);
    dropAcknowledgedSegments();
}

int MqttQueue::saveCursor()
{
    int rc = 0;
    {
        std::lock_guard<std::mutex> locker(mutex);
        rc = writeCursor();
    }
    flushLog();
    return rc;
}

int MqttQueue::writeCursor()
{
    if (!usable || acknowledged == savedCursor)
        return 0;
    // Replaced whole: a cursor half written at a kill would skip or repeat at random.
    QSaveFile file(QString::fromStdString(folder) + QStringLiteral("/cursor"));
    const QByteArray text = cursorText(acknowledged);
    // QSaveFile forces the new cursor to the disk before the rename; the rename is the folder's.
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit()) {
        if (!cursorFailing)
            note("cursor cannot be written (" + file.errorString().toStdString() +
                 "): acknowledged messages would be sent again after a restart");
        cursorFailing = true;
        return -1;
    }
    if (cursorFailing)
        note("cursor is written again");
    cursorFailing = false;
    folderDirty = true;
    savedCursor = acknowledged;
    return 0;
}

uint64_t MqttQueue::backlog() const
{
    std::lock_guard<std::mutex> locker(mutex);
    return nextSequence - acknowledged;
}

uint64_t MqttQueue::dropped() const
{
    std::lock_guard<std::mutex> locker(mutex);
    return state.overflowed + state.refused + state.damaged;
}

MqttQueue::Health MqttQueue::health() const
{
    std::lock_guard<std::mutex> locker(mutex);
    return state;
}

uint64_t MqttQueue::cursor() const
{
    std::lock_guard<std::mutex> locker(mutex);
    return acknowledged;
}

uint64_t MqttQueue::readPosition() const
{
    std::lock_guard<std::mutex> locker(mutex);
    return readAt;
}

uint64_t MqttQueue::end() const
{
    std::lock_guard<std::mutex> locker(mutex);
    return nextSequence;
}

void MqttQueue::closeRead()
{
    reader.reset();
}

void MqttQueue::closeWrite()
{
    if (writeFd >= 0)
        ::close(writeFd);
    writeFd = -1;
}
