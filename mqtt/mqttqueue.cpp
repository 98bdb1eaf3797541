#include "mqttqueue.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QSaveFile>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const int headerSize = 8;
const char *const segmentSuffix = ".seg";
const int sequenceDigits = 20;

uint32_t crc32Of(const char *data, size_t size)
{
    static uint32_t table[256];
    static const bool filled = [] {
        for (uint32_t n = 0; n < 256; ++n) {
            uint32_t c = n;
            for (int k = 0; k < 8; ++k)
                c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            table[n] = c;
        }
        return true;
    }();
    (void)filled;
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; ++i)
        crc = table[(crc ^ static_cast<unsigned char>(data[i])) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

void putLittle(char *at, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        at[i] = char((value >> (8 * i)) & 0xFF);
}

uint32_t getLittle(const char *at)
{
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = (value << 8) | static_cast<unsigned char>(at[i]);
    return value;
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

bool readFully(int fd, char *buffer, size_t size, int64_t offset)
{
    while (size > 0) {
        const ssize_t got = ::pread(fd, buffer, size, offset);
        if (got <= 0)
            return false;
        buffer += got;
        size -= size_t(got);
        offset += got;
    }
    return true;
}

// Reads the record at offset: false when it is torn, too large or fails its checksum.
bool readRecord(int fd, int64_t offset, std::string &body)
{
    char header[headerSize];
    if (!readFully(fd, header, headerSize, offset))
        return false;
    const uint32_t length = getLittle(header);
    if (length < 2 || length > MqttQueue::maxRecordSize)
        return false;
    body.resize(length);
    if (!readFully(fd, &body[0], length, offset + headerSize))
        return false;
    return crc32Of(body.data(), length) == getLittle(header + 4);
}

} // namespace

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

std::string MqttQueue::segmentPath(uint64_t first) const
{
    std::string name = std::to_string(first);
    name.insert(0, size_t(sequenceDigits) - std::min<size_t>(name.size(), sequenceDigits), '0');
    return folder + '/' + name + segmentSuffix;
}

int MqttQueue::open()
{
    std::lock_guard<std::mutex> locker(mutex);
    closeRead();
    closeWrite();
    segments.clear();
    usable = false;
    const QString path = QString::fromStdString(folder);
    QDir dir(path);
    if (!dir.mkpath(path))
        return -1;

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
    // Segments follow each other; the last one may end in a record torn by a kill.
    for (size_t i = 0; i < segments.size(); ++i) {
        if (i + 1 < segments.size())
            segments[i].count = segments[i + 1].first - segments[i].first;
        else
            scan(segments[i]);
    }
    nextSequence = segments.empty() ? 0 : segments.back().first + segments.back().count;

    uint64_t stored = 0;
    QFile cursorFile(path + QStringLiteral("/cursor"));
    if (cursorFile.open(QIODevice::ReadOnly))
        stored = cursorFile.read(32).trimmed().toULongLong();
    if (segments.empty())
        nextSequence = std::max(nextSequence, stored);
    acknowledged = std::min(std::max(stored, segments.empty() ? stored : segments.front().first),
                            nextSequence);
    savedCursor = stored;
    readAt = acknowledged;
    usable = true;
    dropAcknowledgedSegments();
    if (!segments.empty() && segments.back().count < segmentMessages) {
        writeFd = ::open(segments.back().path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
        if (writeFd >= 0)
            ::ftruncate(writeFd, off_t(segments.back().bytes));
    }
    // What an earlier run left may still be only in the system's cache (after a kill).
    dataDirty = writeFd >= 0;
    folderDirty = true;
    synced = 0;
    if (!syncer.joinable()) {
        {
            std::lock_guard<std::mutex> syncing(syncMutex);
            syncStopping = false;
        }
        syncer = std::thread(&MqttQueue::syncLoop, this);
    }
    return 0;
}

void MqttQueue::setSyncEnabled(bool enabled)
{
    syncEnabled = enabled;
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
        const bool failed = sync() != 0;
        locker.lock();
        if (failed && !syncFailing)
            qWarning("hydrovane: MQTT queue %s cannot be forced to the disk: %s", folder.c_str(),
                     std::strerror(errno));
        syncFailing = failed;
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

void MqttQueue::scan(Segment &segment) const
{
    segment.count = 0;
    segment.bytes = 0;
    const int fd = ::open(segment.path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    std::string body;
    while (readRecord(fd, int64_t(segment.bytes), body)) {
        ++segment.count;
        segment.bytes += headerSize + body.size();
    }
    ::close(fd);
    // Appends go on after the last whole record.
    ::truncate(segment.path.c_str(), off_t(segment.bytes));
}

bool MqttQueue::append(const std::string &topic, const std::string &payload)
{
    const size_t length = 2 + topic.size() + payload.size();
    std::lock_guard<std::mutex> locker(mutex);
    if (!usable || topic.size() > 0xFFFF || length > maxRecordSize) {
        ++lost;
        return false;
    }
    if (writeFd < 0 || segments.empty() || segments.back().count >= segmentMessages) {
        // A full segment is forced to the disk before its descriptor goes; once per segment.
        if (writeFd >= 0 && dataDirty && syncEnabled.load() && ::fdatasync(writeFd) == 0)
            dataDirty = false;
        closeWrite();
        Segment segment;
        segment.first = nextSequence;
        segment.path = segmentPath(nextSequence);
        writeFd = ::open(segment.path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0660);
        if (writeFd < 0) {
            ++lost;
            return false;
        }
        // An empty file left by an earlier failed append, or a first segment of this run.
        if (segments.empty() || segments.back().first != segment.first)
            segments.push_back(segment);
        folderDirty = true;
    }

    std::string record(headerSize + length, '\0');
    char *body = &record[headerSize];
    body[0] = char(topic.size() & 0xFF);
    body[1] = char(topic.size() >> 8);
    std::memcpy(body + 2, topic.data(), topic.size());
    std::memcpy(body + 2 + topic.size(), payload.data(), payload.size());
    putLittle(&record[0], uint32_t(length));
    putLittle(&record[4], crc32Of(body, length));

    Segment &segment = segments.back();
    const ssize_t written = ::write(writeFd, record.data(), record.size());
    if (written != ssize_t(record.size())) {
        // A partial record would hide every later one.
        if (written > 0)
            ::ftruncate(writeFd, off_t(segment.bytes));
        ++lost;
        return false;
    }
    segment.bytes += record.size();
    ++segment.count;
    ++nextSequence;
    dataDirty = true;
    enforceBound();
    return true;
}

void MqttQueue::enforceBound()
{
    while (segments.size() > 1 && nextSequence - segments.front().first > maxMessages) {
        const Segment &oldest = segments.front();
        const uint64_t end = oldest.first + oldest.count;
        if (acknowledged < end) {
            lost += end - std::max(acknowledged, oldest.first);
            acknowledged = end;
        }
        if (readFd >= 0 && readFirst == oldest.first)
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
        if (readFd >= 0 && readFirst == segments.front().first)
            closeRead();
        ::unlink(segments.front().path.c_str());
        segments.pop_front();
    }
}

bool MqttQueue::seekRead()
{
    closeRead();
    const auto holding = std::find_if(segments.begin(), segments.end(), [&](const Segment &s) {
        return readAt < s.first + s.count;
    });
    if (holding == segments.end())
        return false;
    if (readAt < holding->first) {
        // A segment went missing: what it held is lost.
        lost += holding->first - readAt;
        readAt = holding->first;
    }
    readFd = ::open(holding->path.c_str(), O_RDONLY | O_CLOEXEC);
    const uint64_t end = holding->first + holding->count;
    readFirst = holding->first;
    readOffset = 0;
    char header[headerSize];
    bool found = readFd >= 0;
    for (uint64_t at = holding->first; found && at < readAt; ++at) {
        found = readFully(readFd, header, headerSize, readOffset);
        const uint32_t length = found ? getLittle(header) : 0;
        found = found && length >= 2 && length <= maxRecordSize;
        readOffset += headerSize + int64_t(length);
    }
    if (!found) {
        lost += end - readAt;
        readAt = end;
        closeRead();
    }
    return found;
}

bool MqttQueue::next(Entry &entry)
{
    std::lock_guard<std::mutex> locker(mutex);
    if (readAt < acknowledged) {
        readAt = acknowledged;
        closeRead();
    }
    std::string body;
    while (readAt < nextSequence) {
        const bool inOpen = readFd >= 0 && readAt >= readFirst &&
                            std::any_of(segments.begin(), segments.end(), [&](const Segment &s) {
                                return s.first == readFirst && readAt < s.first + s.count;
                            });
        if (!inOpen && !seekRead())
            continue;
        if (!readRecord(readFd, readOffset, body)) {
            // Damaged on disk: the rest of this segment cannot be told apart.
            for (const Segment &s : segments)
                if (s.first == readFirst) {
                    lost += s.first + s.count - readAt;
                    readAt = s.first + s.count;
                }
            closeRead();
            continue;
        }
        const size_t topicSize =
            static_cast<unsigned char>(body[0]) | size_t(static_cast<unsigned char>(body[1])) << 8;
        if (2 + topicSize > body.size()) {
            ++lost;
            ++readAt;
            readOffset += headerSize + int64_t(body.size());
            continue;
        }
        entry.sequence = readAt;
        entry.topic.assign(body, 2, topicSize);
        entry.payload.assign(body, 2 + topicSize, std::string::npos);
        readOffset += headerSize + int64_t(body.size());
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
    std::lock_guard<std::mutex> locker(mutex);
    return writeCursor();
}

int MqttQueue::writeCursor()
{
    if (!usable || acknowledged == savedCursor)
        return 0;
    // Replaced whole: a cursor half written at a kill would skip or repeat at random.
    QSaveFile file(QString::fromStdString(folder) + QStringLiteral("/cursor"));
    if (!file.open(QIODevice::WriteOnly))
        return -1;
    file.write(QByteArray::number(qulonglong(acknowledged)) + '\n');
    // QSaveFile forces the new cursor to the disk before the rename; the rename is the folder's.
    if (!file.commit())
        return -1;
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
    return lost;
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
    if (readFd >= 0)
        ::close(readFd);
    readFd = -1;
}

void MqttQueue::closeWrite()
{
    if (writeFd >= 0)
        ::close(writeFd);
    writeFd = -1;
}
