#include "zircondatabase.h"

#include "storage/passphrase.h"

#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

// Other connections hold the file for a page read or a commit, milliseconds. A statement that
// waits longer (behind a backup copy, a vacuum or an index build) fails instead of holding
// the lock every other call on this handle waits for; a record writer keeps its rows and
// stores them later.
const int statementBusyTimeoutMs = 200;

int readCount(void *user, int columns, char **texts)
{
    if (columns > 0 && texts[0])
        *static_cast<long *>(user) = std::strtol(texts[0], nullptr, 10);
    return 0;
}

} // namespace

ZirconDatabase::ZirconDatabase(const std::string &path, const char *createStatement)
    : path(path), createStatement(createStatement)
{
}

ZirconDatabase::~ZirconDatabase()
{
    auto locked = lock();
    closeLocked();
}

bool ZirconDatabase::isOpen() const
{
    return openNow;
}

int ZirconDatabase::open()
{
    auto locked = lock();
    return openLocked();
}

int ZirconDatabase::close()
{
    auto locked = lock();
    return closeLocked();
}

int ZirconDatabase::openOrCreate()
{
    if (FILE *existing = std::fopen(path.c_str(), "rb")) {
        std::fclose(existing);
        return open();
    }
    return create();
}

int ZirconDatabase::create()
{
    auto locked = lock();
    return recreateLocked();
}

int ZirconDatabase::openLocked()
{
    if (handle)
        return 0;
    int rc = zircon_open(&handle, path.c_str());
    if (rc != 0)
        return rc;
    zircon_set_password(handle, kPassPhrase, kPassPhraseLength);
    zircon_busy_timeout(handle, statementBusyTimeoutMs);
    // Keying is lazy: a file that is not ours only shows at the first read.
    long tables = -1;
    rc = runLocked("SELECT count(*) FROM sqlite_master", &tables, readCount);
    if (rc != 0) {
        closeLocked();
        return rc;
    }
    // Before opened(), whose work may look from other threads.
    openNow = true;
    // An empty file (for example one an installer left) holds nothing to keep.
    if (tables == 0 && runLocked(createStatement) == 0)
        tableCreated();
    opened();
    return 0;
}

int ZirconDatabase::closeLocked()
{
    if (!handle)
        return 0;
    openNow = false;
    closing();
    const int rc = zircon_close(handle);
    handle = nullptr;
    return rc;
}

int ZirconDatabase::recreateLocked()
{
    closeLocked();
    std::remove(path.c_str());
    // A journal left beside the old file would be played back into the new one.
    std::remove((path + "-journal").c_str());
    zircon_db *fresh = nullptr;
    int rc = zircon_create(&fresh, path.c_str());
    if (rc == 0)
        rc = zircon_run_sql(fresh, createStatement, nullptr, nullptr);
    zircon_close(fresh);
    if (rc == 0)
        rc = openLocked();
    if (rc == 0)
        tableCreated();
    return rc;
}

int ZirconDatabase::runLocked(const char *sql, void *user, RowCallback callback)
{
    return zircon_run_sql(handle, sql, user, callback);
}

int ZirconDatabase::run(const char *sql, void *user, RowCallback callback)
{
    auto locked = lock();
    return runLocked(sql, user, callback);
}

int ZirconDatabase::openOwnConnection(zircon_db **out, int busyTimeoutMs, bool readOnly) const
{
    *out = nullptr;
    if (!isOpen())
        return SQLITE_MISUSE; // as a statement on the closed handle
    return openKeyedConnection(path, out, busyTimeoutMs, readOnly);
}

int ZirconDatabase::openKeyedConnection(const std::string &path, zircon_db **out,
                                        int busyTimeoutMs, bool readOnly)
{
    *out = nullptr;
    zircon_db *own = nullptr;
    int rc = readOnly ? zircon_open_readonly(&own, path.c_str()) : zircon_open(&own, path.c_str());
    if (rc != 0)
        return rc;
    zircon_set_password(own, kPassPhrase, kPassPhraseLength);
    zircon_busy_timeout(own, busyTimeoutMs);
    // Keying is lazy: a file that is not ours only shows at the first read.
    rc = zircon_run_sql(own, "SELECT count(*) FROM sqlite_master", nullptr, nullptr);
    if (rc != 0) {
        zircon_close(own);
        return rc;
    }
    *out = own;
    return 0;
}

int ZirconDatabase::readInteger(void *user, int columns, char **texts)
{
    if (columns > 0 && texts[0])
        *static_cast<int64_t *>(user) = std::strtoll(texts[0], nullptr, 10);
    return 0;
}

int ZirconDatabase::appendText(void *user, int columns, char **texts)
{
    if (columns > 0 && texts[0])
        static_cast<std::vector<std::string> *>(user)->push_back(texts[0]);
    return 0;
}
