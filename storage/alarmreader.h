#ifndef ALARMREADER_H
#define ALARMREADER_H

#include "storage/alarmrow.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

struct zircon_db;

// Reads the alarm log (table Alarm of the record file) for the lookup and the full export,
// through a read-only connection of its own on a worker, so that the record writer goes on
// storing. Used from one thread at a time; cancel() may be called from any thread.
class AlarmReader
{
public:
    static constexpr int Cancelled = -1;

    // One logged alarm; active while its cleared time is empty (NULL in the table).
    using Entry = AlarmRow;

    // path: the record file (UTF-8).
    explicit AlarmReader(const std::string &path);
    ~AlarmReader();
    AlarmReader(const AlarmReader &) = delete;
    AlarmReader &operator=(const AlarmReader &) = delete;

    // Appends the alarms raised between from and to (both "yyyy-MM-dd hh:mm:ss", inclusive;
    // an empty bound is open) of the instrument name (every name when empty): the active ones
    // first, then by raised time and id. A file without the table holds no alarm. 0, Cancelled,
    // or the library's code; rows read before a failure stay in entries.
    int read(const std::string &from, const std::string &to, const std::string &name,
             std::vector<Entry> &entries);
    // Appends every name in the log once, ascending.
    int distinctNames(std::vector<std::string> &names);

    // Any thread: stops the running call and every later one.
    void cancel();

private:
    int open();
    // Runs sql on the open connection; 0 at once when the file has no alarm table.
    int run(const std::string &sql, void *user, int (*callback)(void *, int, char **));

    const std::string path;
    std::mutex handleMutex; // guards handle against cancel() from another thread
    zircon_db *handle = nullptr;
    bool hasTable = false;
    bool hasReason = false;
    std::atomic<bool> cancelled{false};
};

#endif // ALARMREADER_H
