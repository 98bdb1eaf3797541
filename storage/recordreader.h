#ifndef RECORDREADER_H
#define RECORDREADER_H

#include "storage/recordrow.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

struct zircon_db;

// A read-only connection of its own on the record file, for long reads on a worker while the
// record writers go on storing. Rows come in pages, each read by one short statement, so the
// writers' commits go through between pages. Used from one thread at a time; cancel() may be
// called from any thread. A reader opened before an import or a re-creation of the file keeps
// reading the file it opened: open a new one afterwards.
class RecordReader
{
public:
    // Result of the reading calls when cancel() or the page handler stopped them.
    static constexpr int Cancelled = -1;
    static constexpr int defaultPageRows = 1000;

    // Gets each page, in (time, uid) order; it may move rows out of the page, which is refilled
    // for the next one. Returning false stops the read with the result Cancelled.
    using PageHandler = std::function<bool(std::vector<RecordRow> &page)>;

    // path: the record file (UTF-8), as AppContext::path(RecordDb) gives it.
    explicit RecordReader(const std::string &path);
    ~RecordReader();
    RecordReader(const RecordReader &) = delete;
    RecordReader &operator=(const RecordReader &) = delete;

    // Opens the file read-only and keys the connection: 0, or the library's code (missing file,
    // not a record file). The reading calls open the reader themselves when needed.
    int open();
    void close();
    bool isOpen() const;

    // Hands over every row matching condition (text from RecordDatabase's append...Condition
    // builders, or empty for all rows) exactly once, ordered by time then uid; rows without a
    // time come first, by uid. Rows stored while the read runs may or may not come, never twice.
    // 0 when every row was handed over, Cancelled, or the library's code; pages handed over
    // before a failure stay the handler's. pageRows below 1 means defaultPageRows.
    int read(const std::string &condition, const PageHandler &handler,
             int pageRows = defaultPageRows);
    // Appends every stored monitor name once, ascending.
    int distinctNames(std::vector<std::string> &names);
    // The highest uid stored now, 0 when the table is empty. A read started afterwards hands
    // over every matching row with a uid up to it (unless deleted meanwhile), so a clear up to
    // this uid removes only rows that read saw.
    int highestUid(int64_t &uid);

    // Any thread: stops the running call within the current page, and every later one until
    // resetCancel().
    void cancel();
    void resetCancel();
    bool isCancelled() const { return cancelled.load(); }

private:
    int runChecked(const std::string &sql, void *user, int (*callback)(void *, int, char **));
    int readPages(const std::string &head, const std::string &limit, bool nullTimes,
                  const PageHandler &handler, int pageRows);

    const std::string path;
    // Guards handle against close() while cancel() interrupts it from another thread.
    mutable std::mutex handleMutex;
    zircon_db *handle = nullptr;
    std::atomic<bool> cancelled{false};
};

#endif // RECORDREADER_H
