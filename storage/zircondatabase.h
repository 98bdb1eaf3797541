#ifndef ZIRCONDATABASE_H
#define ZIRCONDATABASE_H

#include "storage/zircon.h"

#include <atomic>
#include <mutex>
#include <string>

// One encrypted database file and its handle. Every statement and file-level operation on the
// handle is serialised by one lock, and a statement on a closed handle fails without touching it.
class ZirconDatabase
{
public:
    // createStatement makes the file's table; it must outlive the object.
    ZirconDatabase(const std::string &path, const char *createStatement);
    virtual ~ZirconDatabase();
    ZirconDatabase(const ZirconDatabase &) = delete;
    ZirconDatabase &operator=(const ZirconDatabase &) = delete;

    const std::string &getPath() const { return path; }
    // Never waits for the lock: the interface thread may ask while a statement runs.
    bool isOpen() const;

    // Opens and keys the file. Non-zero (the library's code) leaves the handle closed:
    // a missing file, or one that cannot be read with the key. A keyed file without any
    // table yet gets the table.
    int open();
    // 0 when already closed; otherwise the library's close result.
    int close();
    // Opens the file, first making it with its table when it does not exist.
    int openOrCreate();

    // A keyed handle on an existing file for a connection of the caller's own, waiting up to
    // busyTimeoutMs for locks other connections hold: 0, or the library's code with *out null.
    static int openKeyedConnection(const std::string &path, zircon_db **out, int busyTimeoutMs,
                                   bool readOnly);

    // Row callbacks for zircon_run_sql: the first column as an int64_t into *user, and the
    // non-null first columns appended to a std::vector<std::string> at user.
    static int readInteger(void *user, int columns, char **texts);
    static int appendText(void *user, int columns, char **texts);

protected:
    // Deletes the file, makes a new one holding only the table, and opens it.
    int create();
    // Runs under the lock right after the file was opened and keyed.
    virtual void opened() {}
    // Runs under the lock right before the handle closes.
    virtual void closing() {}
    // Runs under the lock once the table of a new file exists and the file is open.
    virtual void tableCreated() {}

    // The "Locked" members expect the caller to hold lock().
    std::unique_lock<std::mutex> lock() const { return std::unique_lock<std::mutex>(mutex); }
    int openLocked();
    int closeLocked();
    int recreateLocked();
    int runLocked(const char *sql, void *user = nullptr, RowCallback callback = nullptr);
    // Formats with zircon_create_sql (%Q for const char *, %d for int) and runs the text.
    template <typename... Args> int runFormattedLocked(const char *format, Args... args)
    {
        char *sql = zircon_create_sql(format, args...);
        const int rc = runLocked(sql);
        zircon_destroy_sql(sql);
        return rc;
    }

    int run(const char *sql, void *user = nullptr, RowCallback callback = nullptr);
    template <typename... Args> int runFormatted(const char *format, Args... args)
    {
        auto locked = lock();
        return runFormattedLocked(format, args...);
    }

    // openKeyedConnection on this file, for statements that must not hold the lock; fails with
    // SQLITE_MISUSE while this database is closed, as its statements do.
    int openOwnConnection(zircon_db **out, int busyTimeoutMs, bool readOnly = false) const;

private:
    const std::string path;
    const char *const createStatement;
    zircon_db *handle = nullptr;
    // handle is open and keyed; read without the lock.
    std::atomic<bool> openNow{false};
    mutable std::mutex mutex;
};

#endif // ZIRCONDATABASE_H
