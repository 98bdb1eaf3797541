#ifndef MQTTQUEUE_H
#define MQTTQUEUE_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

// The publisher's messages on disk, first in first out, so that nothing is lost while the broker
// is away or the station restarts.
//
// The folder holds segment files named after the sequence number of their first message, and a
// cursor file with the number of the first message the broker has not acknowledged and a
// checksum of it. A message is a record: body length and CRC-32 (little endian), then the body:
// the message's sequence number (8 bytes), the topic's length (two bytes), the topic and the
// payload. The top bit of the length marks the sequence number; records of older queues have
// none and take their number from their place in the segment. Fully acknowledged segments are
// deleted; beyond maxMessages the oldest segment goes, and its messages not yet acknowledged
// are counted as overflowed.
//
// Damage is scanned past, at open and while reading: a record that fails its length or its
// checksum is skipped to the next valid one, and the messages missing between them (their
// numbers say how many) are counted as damaged and logged. Appends go on after the last valid
// byte of the last segment, never over data that was not read; a record that a power cut tore
// at the end of the last segment is cut off. A cursor that fails its checksum is reported too,
// and everything stored is sent again rather than anything skipped.
//
// An append the disk refuses (a folder that cannot be written, a full disk) is counted as
// refused and logged once per episode; appends are then refused without touching the disk, and
// the disk is tried again every retryMs (the next append does, or the sync thread opens a
// folder that could not be opened).
//
// Writers append from any thread; one reader (the network side) reads in order from a read
// position, rewinds it to the cursor after a lost connection and acknowledges. All under one
// mutex: every operation is a short file access.
//
// Appends reach the disk within syncIntervalMs: a thread of the queue's own forces the segment
// written to (fdatasync) and, after a segment or the cursor was created or replaced, the
// folder; never under the mutex, so appends do not wait for the disk. A power cut loses at most
// the messages of that last interval; a kill loses none (the system keeps what was written).
class MqttQueue
{
public:
    // A week of 100 monitors of two factors every 30 s is 4,032,000 messages.
    static constexpr uint64_t defaultMaxMessages = 4500000;
    static constexpr uint32_t defaultSegmentMessages = 50000;
    // Larger records are refused on append and taken as damage on reading.
    static constexpr uint32_t maxRecordSize = 1 << 20;
    static constexpr int syncIntervalMs = 1000;
    // MQTT's limit: the topic's length is two bytes on the wire.
    static constexpr size_t maxTopicSize = 65535;
    static constexpr int retryMs = 60000;

    enum Problem
    {
        NoProblem = 0,
        NotWritable = 1, // no folder, no permission, a read-only file system, an I/O error
        DiskFull = 2,    // no space or quota left
        TopicTooLong = 3,
        TooLarge = 4, // a record beyond maxRecordSize
    };
    // What went wrong, and what it cost since open.
    struct Health
    {
        // Why appends fail now (NotWritable or DiskFull); NoProblem once one is stored again.
        Problem problem = NoProblem;
        int error = 0; // errno behind problem
        // Why the last refused append was refused.
        Problem lastRefusal = NoProblem;
        uint64_t overflowed = 0; // beyond maxMessages
        uint64_t refused = 0;    // appends not stored
        uint64_t damaged = 0;    // not acknowledged and unreadable on the disk (at least)
        uint64_t damagedBytes = 0;
        bool cursorDamaged = false;
    };

    struct Entry
    {
        uint64_t sequence = 0;
        std::string topic;
        std::string payload;
    };

    explicit MqttQueue(const std::string &folder, uint64_t maxMessages = defaultMaxMessages,
                       uint32_t segmentMessages = defaultSegmentMessages);
    ~MqttQueue();
    MqttQueue(const MqttQueue &) = delete;
    MqttQueue &operator=(const MqttQueue &) = delete;

    // Creates the folder if needed and takes up what an earlier run left. 0 ready, -1 the
    // folder cannot be used (appends then fail until a retry opens it).
    int open();

    // false: not stored (no usable folder, disk full, topic or record too large); counted.
    bool append(const std::string &topic, const std::string &payload);

    // The message at the read position, which then moves on; false when none is waiting.
    bool next(Entry &entry);
    // Read position back to the first message not acknowledged.
    void rewind();
    // Every message before `sequence` has been delivered.
    void acknowledge(uint64_t sequence);
    // Writes the cursor if it moved; 0 written or unchanged, -1 not written.
    int saveCursor();

    // On by default. Off, appends stay in the system's cache until it writes them, as a power
    // cut would find them: the benchmark's baseline.
    void setSyncEnabled(bool enabled);
    // Forces what was appended, and the folder's entries, to the disk now. 0 done or nothing to
    // do, -1 failed (tried again at the next interval).
    int sync();
    // Messages before this number are known to be on the disk.
    uint64_t syncedEnd() const;

    // Messages stored and not yet acknowledged.
    uint64_t backlog() const;
    // Messages lost since open: overflowed, refused and damaged.
    uint64_t dropped() const;
    Health health() const;
    // retryMs by default; for tests.
    void setRetryInterval(int ms);
    uint64_t cursor() const;
    uint64_t readPosition() const;
    uint64_t end() const;

private:
    struct Segment
    {
        uint64_t first = 0;
        uint64_t count = 0; // numbers it holds, damaged ones included
        uint64_t bytes = 0; // up to the end of its last valid record (the last segment)
        std::string path;
        // Damage below this number is counted already.
        uint64_t checkedTo = 0;
        // Not appended to: part of it could not be read.
        bool sealed = false;
    };
    class Finder;

    std::string segmentPath(uint64_t first) const;
    int openLocked();
    // Checks a segment whose numbers end at slotEnd (the last segment: the largest number),
    // counting as damaged the missing numbers from countFrom on; sets its count and bytes and
    // cuts off what follows the last valid record of the last segment.
    void scan(Segment &segment, uint64_t slotEnd, uint64_t countFrom);
    // Numbers [from, to) of the segment are missing: counted once.
    void countDamage(Segment &segment, uint64_t from, uint64_t to);
    bool appendLocked(const std::string &topic, const std::string &payload);
    bool nextLocked(Entry &entry);
    // An append not stored, for this reason.
    void refuse(Problem problem);
    // A write or an open failed: the episode begins (told once) and the next try is due in
    // retryInterval.
    void fail(Problem problem, int error);
    void recovered();
    void closeRead();
    void closeWrite();
    void dropAcknowledgedSegments();
    void enforceBound();
    int writeCursor();
    void syncLoop();
    void stopSyncing();
    // On the sync thread: reopens a folder that could not be opened, lets go of a segment
    // deleted under the queue.
    void watch();
    // Under the mutex: a line for the log, written by flushLog() once the mutex is free.
    void note(const std::string &line);
    void flushLog();

    mutable std::mutex mutex;
    std::string folder;
    uint64_t maxMessages;
    uint32_t segmentMessages;
    bool usable = false;
    std::deque<Segment> segments;
    uint64_t nextSequence = 0; // of the next append
    uint64_t acknowledged = 0; // cursor
    uint64_t savedCursor = 0;
    Health state;
    int retryInterval = retryMs;
    int64_t retryAt = 0;         // steady ms: the next attempt after a failed write or open
    uint64_t refusedAtStart = 0; // of the current episode
    unsigned toldRefusals = 0;   // per-message reasons logged once each
    bool cursorFailing = false;
    std::string pendingLog;
    std::atomic<bool> logPending{false};
    int writeFd = -1;
    bool tailDirty = false; // a failed write may have left bytes after the last record
    // Read side: the position, its segment's reader, the offset to look from and the number of
    // the record there (for records without one).
    uint64_t readAt = 0;
    std::unique_ptr<Finder> reader;
    uint64_t readFirst = 0; // first sequence of the segment open for reading
    int64_t readOffset = 0;
    uint64_t readPlace = 0;

    // Sync side. Under mutex: what changed since the last sync.
    bool dataDirty = false;
    bool folderDirty = false;
    std::atomic<bool> syncEnabled{true};
    std::atomic<uint64_t> synced{0};
    std::thread syncer;
    std::mutex syncMutex;
    std::condition_variable syncWake;
    bool syncStopping = false; // under syncMutex
    bool syncFailing = false;  // syncer thread only: told once per run of failures
};

#endif // MQTTQUEUE_H
