#ifndef MQTTQUEUE_H
#define MQTTQUEUE_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

// The publisher's messages on disk, first in first out, so that nothing is lost while the broker
// is away or the station restarts.
//
// The folder holds segment files named after the sequence number of their first message, and a
// cursor file with the number of the first message the broker has not acknowledged. A message
// is a record: body length and CRC-32 (little endian), then the topic's length (two bytes), the
// topic and the payload. A record torn by a kill at the end of the last segment is cut off at
// open. Fully acknowledged segments are deleted; beyond maxMessages the oldest segment goes,
// and its messages not yet acknowledged are counted as dropped.
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
    // folder cannot be used (appends then fail).
    int open();

    // false: not stored (no usable folder, disk full, record too large); counted as dropped.
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
    // Messages lost since open: dropped beyond the bound, refused appends, damaged records.
    uint64_t dropped() const;
    uint64_t cursor() const;
    uint64_t readPosition() const;
    uint64_t end() const;

private:
    struct Segment
    {
        uint64_t first = 0;
        uint64_t count = 0;
        uint64_t bytes = 0; // of its valid records
        std::string path;
    };

    std::string segmentPath(uint64_t first) const;
    // Counts the valid records of a segment and their bytes, cutting off a torn or damaged tail.
    void scan(Segment &segment) const;
    // Opens the segment holding readAt and finds its record; false when it is gone or damaged
    // (readAt then moves on to what follows).
    bool seekRead();
    void closeRead();
    void closeWrite();
    void dropAcknowledgedSegments();
    void enforceBound();
    int writeCursor();
    void syncLoop();
    void stopSyncing();

    mutable std::mutex mutex;
    std::string folder;
    uint64_t maxMessages;
    uint32_t segmentMessages;
    bool usable = false;
    std::deque<Segment> segments;
    uint64_t nextSequence = 0; // of the next append
    uint64_t acknowledged = 0; // cursor
    uint64_t savedCursor = 0;
    uint64_t lost = 0;
    int writeFd = -1;
    // Read side: the position, its segment's file and the offset of the record numbered readAt.
    uint64_t readAt = 0;
    int readFd = -1;
    uint64_t readFirst = 0; // first sequence of the segment open for reading
    int64_t readOffset = 0;

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
