#ifndef RECORDRESULT_H
#define RECORDRESULT_H

#include <QMetaType>
#include <QString>

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

struct RecordRow;

// One hand-over of found rows from the search worker to the interface thread: the rows with
// their texts in blocks of their own, and the instruments and kinds first seen in them. Built by
// RecordBatchBuilder, taken apart by RecordResult::append.
struct RecordBatch
{
    // What the rows of one instrument share besides name and channel.
    struct Kind
    {
        std::string model, factor, unit, status;
        int slave = 0;
    };
    struct Bucket
    {
        std::string name;
        int channel = 0;
    };
    struct Row
    {
        uint32_t bucket;
        uint32_t kind;
        // time, NUL, value, NUL.
        const char *texts;
    };

    std::vector<Kind> kinds;
    std::vector<Bucket> buckets;
    std::vector<Row> rows;
    std::vector<std::unique_ptr<char[]>> blocks;
    size_t blockBytes = 0;
};

// Turns rows, in the order they are read, into batches; the kind and bucket numbers it hands
// out run on from batch to batch, so that one builder serves one result.
class RecordBatchBuilder
{
public:
    void add(const RecordRow &row);
    int pendingRows() const { return int(batch.rows.size()); }
    // The rows added since the last take.
    std::shared_ptr<RecordBatch> take();

private:
    char *store(size_t bytes);

    std::unordered_map<std::string, uint32_t> kindIds;
    std::unordered_map<std::string, uint32_t> bucketIds;
    std::string key;
    RecordBatch batch;
    // The unused end of the newest block; a taken batch keeps its blocks to itself.
    char *blockFree = nullptr;
    size_t blockFreeBytes = 0;
};

// The rows a search found, each held once: the texts shared by many rows (name, model, factor,
// unit, status) once per instrument and kind, time and value in blocks, about 50 bytes a row.
// Rows are kept in the order of a stored-record listing: name (byte order, as the database
// compares), channel, then newest first, rows of equal time in the order they were stored.
//
// Rows are appended on one thread; once finish() ran the result no longer changes and may be
// read from any thread.
class RecordResult
{
public:
    struct Kind
    {
        QString model, slave, factor, unit, status;
        std::string modelUtf8, factorUtf8, unitUtf8, statusUtf8;
        int slaveNumber = 0;
    };
    struct Bucket
    {
        QString name, channel;
        std::string nameUtf8;
        int channelNumber = 0;
        struct Row
        {
            const char *texts;
            uint32_t kind;
        };
        // Oldest first: reading order, so that new rows are appended.
        std::vector<Row> rows;
        // Every kind among the rows, in the order first seen.
        std::vector<uint32_t> kinds;
    };
    // One row without building texts.
    struct RowView
    {
        const Bucket *bucket;
        const Kind *kind;
        const char *time;
        const char *value;
    };

    // Rows are appended in time order; a row older than the latest of its instrument and channel
    // is put in its place. Returns the first row index whose contents changed.
    int append(RecordBatch &&batch);
    // Puts rows of equal time into the order they were stored. Call once after the last append.
    void finish();

    int rowCount() const { return total; }
    // The memory the rows take, for benchmarks.
    size_t memoryBytes() const;
    RowView row(int index) const;
    // The text of a cell in the columns of RecordWorkbook::headers().
    QString text(int index, int column) const;

    // Buckets in listing order.
    int bucketCount() const { return int(order.size()); }
    const Bucket &bucket(int position) const { return buckets[order[position]]; }
    const Kind &kind(uint32_t id) const { return kinds[id]; }
    static const char *valueOf(const char *texts);

    // Seconds since 1970 of a "yyyy-MM-dd hh:mm:ss" text read as UTC, so that wall-clock texts
    // keep their spacing across daylight-saving changes; NaN for any other text.
    static double secondsOf(const char *time);

    // A finished result of rows given in the order they were stored.
    static std::shared_ptr<RecordResult> fromRows(const std::vector<RecordRow> &rows);

private:
    std::vector<Kind> kinds;
    std::vector<Bucket> buckets;
    // Bucket numbers in listing order, and the index of each one's first row.
    std::vector<uint32_t> order;
    std::vector<int> starts;
    std::vector<std::unique_ptr<char[]>> blocks;
    size_t blockBytes = 0;
    int total = 0;
};

// Both travel in queued signals between the search, the writer and the interface threads.
Q_DECLARE_METATYPE(std::shared_ptr<RecordBatch>)
Q_DECLARE_METATYPE(std::shared_ptr<const RecordResult>)

#endif // RECORDRESULT_H
