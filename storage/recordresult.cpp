#include "recordresult.h"

#include "storage/recordrow.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace {

// Large enough that a block serves a few thousand rows, small enough that the last, partly used
// block of each batch costs little.
const size_t blockBytes = 64 * 1024;

bool bucketBefore(const RecordResult::Bucket &a, const RecordResult::Bucket &b)
{
    // std::string compares bytes as unsigned char, as the database's binary collation does.
    const int names = a.nameUtf8.compare(b.nameUtf8);
    return names != 0 ? names < 0 : a.channelNumber < b.channelNumber;
}

bool timeBefore(const char *a, const char *b)
{
    return std::strcmp(a, b) < 0;
}

int digits(const char *text, int count)
{
    int value = 0;
    for (int i = 0; i < count; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return -1;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

// Days from 1970-01-01 to the date of the proleptic Gregorian calendar.
int64_t daysFromCivil(int year, int month, int day)
{
    year -= month <= 2;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const int64_t yearOfEra = year - era * 400;
    const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

} // namespace

void RecordBatchBuilder::add(const RecordRow &row)
{
    key.assign(row.name);
    key.push_back('\0');
    key.append(std::to_string(row.channel));
    auto bucket = bucketIds.find(key);
    if (bucket == bucketIds.end()) {
        bucket = bucketIds.emplace(key, uint32_t(bucketIds.size())).first;
        batch.buckets.push_back({row.name, row.channel});
    }

    key.assign(row.model);
    for (const std::string *text : {&row.factor, &row.unit, &row.status}) {
        key.push_back('\0');
        key.append(*text);
    }
    key.push_back('\0');
    key.append(std::to_string(row.slave));
    auto kind = kindIds.find(key);
    if (kind == kindIds.end()) {
        kind = kindIds.emplace(key, uint32_t(kindIds.size())).first;
        batch.kinds.push_back({row.model, row.factor, row.unit, row.status, row.slave});
    }

    char *texts = store(row.time.size() + row.value.size() + 2);
    std::memcpy(texts, row.time.c_str(), row.time.size() + 1);
    std::memcpy(texts + row.time.size() + 1, row.value.c_str(), row.value.size() + 1);
    batch.rows.push_back({bucket->second, kind->second, texts});
}

char *RecordBatchBuilder::store(size_t bytes)
{
    if (bytes > blockFreeBytes) {
        const size_t size = std::max(blockBytes, bytes);
        batch.blocks.emplace_back(new char[size]);
        batch.blockBytes += size;
        blockFree = batch.blocks.back().get();
        blockFreeBytes = size;
    }
    char *at = blockFree;
    blockFree += bytes;
    blockFreeBytes -= bytes;
    return at;
}

std::shared_ptr<RecordBatch> RecordBatchBuilder::take()
{
    auto taken = std::make_shared<RecordBatch>(std::move(batch));
    batch = RecordBatch();
    blockFree = nullptr;
    blockFreeBytes = 0;
    return taken;
}

int RecordResult::append(RecordBatch &&batch)
{
    for (RecordBatch::Kind &from : batch.kinds) {
        Kind kind;
        kind.model = QString::fromStdString(from.model);
        kind.slave = QString::number(from.slave);
        kind.factor = QString::fromStdString(from.factor);
        kind.unit = QString::fromStdString(from.unit);
        kind.status = QString::fromStdString(from.status);
        kind.modelUtf8 = std::move(from.model);
        kind.factorUtf8 = std::move(from.factor);
        kind.unitUtf8 = std::move(from.unit);
        kind.statusUtf8 = std::move(from.status);
        kind.slaveNumber = from.slave;
        kinds.push_back(std::move(kind));
    }
    for (RecordBatch::Bucket &from : batch.buckets) {
        Bucket bucket;
        bucket.name = QString::fromStdString(from.name);
        bucket.channel = QString::number(from.channel);
        bucket.nameUtf8 = std::move(from.name);
        bucket.channelNumber = from.channel;
        const uint32_t id = uint32_t(buckets.size());
        buckets.push_back(std::move(bucket));
        const auto at =
            std::lower_bound(order.begin(), order.end(), id, [this](uint32_t a, uint32_t b) {
                return bucketBefore(buckets[a], buckets[b]);
            });
        order.insert(at, id);
    }
    for (auto &block : batch.blocks)
        blocks.push_back(std::move(block));
    blockBytes += batch.blockBytes;

    std::vector<bool> touched(buckets.size(), false);
    for (const RecordBatch::Row &from : batch.rows) {
        Bucket &bucket = buckets[from.bucket];
        std::vector<Bucket::Row> &rows = bucket.rows;
        touched[from.bucket] = true;
        if (bucket.kinds.empty() || bucket.kinds.back() != from.kind) {
            if (std::find(bucket.kinds.begin(), bucket.kinds.end(), from.kind) ==
                bucket.kinds.end())
                bucket.kinds.push_back(from.kind);
        }
        const Bucket::Row row{from.texts, from.kind};
        if (rows.empty() || !timeBefore(from.texts, rows.back().texts)) {
            rows.push_back(row);
            continue;
        }
        // Behind rows of the same time, which were stored earlier.
        const auto at = std::upper_bound(rows.begin(), rows.end(), row,
                                         [](const Bucket::Row &a, const Bucket::Row &b) {
                                             return timeBefore(a.texts, b.texts);
                                         });
        rows.insert(at, row);
    }

    starts.resize(order.size());
    int firstChanged = -1;
    total = 0;
    for (size_t position = 0; position < order.size(); ++position) {
        starts[position] = total;
        if (firstChanged < 0 && touched[order[position]])
            firstChanged = total;
        total += int(buckets[order[position]].rows.size());
    }
    return firstChanged < 0 ? total : firstChanged;
}

void RecordResult::finish()
{
    // Reading order gives equal times oldest-stored first; the listing, read backwards, wants
    // them the other way round within each run.
    for (Bucket &bucket : buckets) {
        auto run = bucket.rows.begin();
        while (run != bucket.rows.end()) {
            auto end = run + 1;
            while (end != bucket.rows.end() && std::strcmp(end->texts, run->texts) == 0)
                ++end;
            std::reverse(run, end);
            run = end;
        }
    }
}

size_t RecordResult::memoryBytes() const
{
    size_t bytes = blockBytes + blocks.capacity() * sizeof(blocks[0]) +
                   kinds.capacity() * sizeof(Kind) + buckets.capacity() * sizeof(Bucket) +
                   order.capacity() * sizeof(order[0]) + starts.capacity() * sizeof(starts[0]);
    for (const Bucket &bucket : buckets)
        bytes += bucket.rows.capacity() * sizeof(Bucket::Row) +
                 bucket.kinds.capacity() * sizeof(bucket.kinds[0]);
    return bytes;
}

RecordResult::RowView RecordResult::row(int index) const
{
    const size_t position =
        size_t(std::upper_bound(starts.begin(), starts.end(), index) - starts.begin() - 1);
    const Bucket &bucket = buckets[order[position]];
    // Newest first: the last stored row is the bucket's first.
    const Bucket::Row &row = bucket.rows[bucket.rows.size() - 1 - size_t(index - starts[position])];
    return {&bucket, &kinds[row.kind], row.texts, valueOf(row.texts)};
}

QString RecordResult::text(int index, int column) const
{
    const RowView view = row(index);
    switch (column) {
    case 0:
        return QString::fromUtf8(view.time);
    case 1:
        return view.bucket->name;
    case 2:
        return view.kind->model;
    case 3:
        return view.kind->slave;
    case 4:
        return view.bucket->channel;
    case 5:
        return view.kind->factor;
    case 6:
        return QString::fromUtf8(view.value);
    case 7:
        return view.kind->unit;
    case 8:
        return view.kind->status;
    default:
        return QString();
    }
}

const char *RecordResult::valueOf(const char *texts)
{
    return texts + std::strlen(texts) + 1;
}

double RecordResult::secondsOf(const char *time)
{
    const double invalid = std::numeric_limits<double>::quiet_NaN();
    if (std::strlen(time) != 19 || time[4] != '-' || time[7] != '-' || time[10] != ' ' ||
        time[13] != ':' || time[16] != ':')
        return invalid;
    const int year = digits(time, 4);
    const int month = digits(time + 5, 2);
    const int day = digits(time + 8, 2);
    const int hour = digits(time + 11, 2);
    const int minute = digits(time + 14, 2);
    const int second = digits(time + 17, 2);
    if (year < 0 || month < 1 || month > 12 || day < 1 || day > 31 || hour < 0 || hour > 23 ||
        minute < 0 || minute > 59 || second < 0 || second > 59)
        return invalid;
    return double(daysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second);
}

std::shared_ptr<RecordResult> RecordResult::fromRows(const std::vector<RecordRow> &rows)
{
    RecordBatchBuilder builder;
    for (const RecordRow &row : rows)
        builder.add(row);
    auto result = std::make_shared<RecordResult>();
    result->append(std::move(*builder.take()));
    result->finish();
    return result;
}
