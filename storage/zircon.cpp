#include "zircon.h"

// Declares sqlite3_key; only the storage code may see it.
#define SQLITE_HAS_CODEC 1
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <thread>
#include <unistd.h>

struct zircon_db
{
    sqlite3 *db = nullptr;
    std::string path;
    bool readOnly = false;
    std::atomic<int> busyTimeoutMs{5000};
    std::atomic<bool> interrupted{false};
    // Start of the current wait for a lock; only the thread running a statement touches it.
    std::chrono::steady_clock::time_point waitingSince;
};

namespace {

// Written by zircon_create into the plain header, so that only our own fresh files are ever
// encrypted in place; any other plain SQLite file stays untouched and unreadable with the key.
const unsigned int freshFileMark = 0x48565a31; // "HVZ1"

// The SQLCipher 3.4 defaults, spelled out so that the format does not follow a library
// upgrade: AES-256-CBC, 1024-byte pages, PBKDF2-HMAC-SHA1 with 64000 iterations, per-page
// HMAC-SHA1. SQLCipher 4 opens these files after PRAGMA cipher_compatibility = 3.
int applyCipherSettings(sqlite3 *db, const char *schema)
{
    char *sql = sqlite3_mprintf("PRAGMA \"%w\".cipher_page_size = 1024;"
                                "PRAGMA \"%w\".kdf_iter = 64000;"
                                "PRAGMA \"%w\".cipher_use_hmac = ON;",
                                schema, schema, schema);
    if (!sql)
        return SQLITE_NOMEM;
    const int rc = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
    sqlite3_free(sql);
    return rc;
}

// SQLite's own timeout sleeps whole seconds when built without usleep, and a record writer
// that meets a page read must wait milliseconds, not a second.
int waitForLock(void *user, int attempts)
{
    zircon_db *handle = static_cast<zircon_db *>(user);
    if (handle->interrupted.load())
        return 0;
    const auto now = std::chrono::steady_clock::now();
    if (attempts == 0)
        handle->waitingSince = now;
    else if (now - handle->waitingSince >=
             std::chrono::milliseconds(handle->busyTimeoutMs.load()))
        return 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(attempts < 20 ? 1 : 4));
    return 1;
}

// Also stops statements that run long between rows, such as a sort or an index build.
int stopWhenInterrupted(void *user)
{
    return static_cast<zircon_db *>(user)->interrupted.load() ? 1 : 0;
}

int openConnection(zircon_db *handle, int flags)
{
    const int rc =
        sqlite3_open_v2(handle->path.c_str(), &handle->db, flags | SQLITE_OPEN_FULLMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        sqlite3_close(handle->db);
        handle->db = nullptr;
        return rc;
    }
    sqlite3_busy_handler(handle->db, waitForLock, handle);
    sqlite3_progress_handler(handle->db, 1000, stopWhenInterrupted, handle);
    return SQLITE_OK;
}

int keyConnection(sqlite3 *db, const void *phrase, int length)
{
    const int rc = sqlite3_key(db, phrase, length);
    return rc != SQLITE_OK ? rc : applyCipherSettings(db, "main");
}

bool isFreshPlainFile(const std::string &path)
{
    unsigned char header[72];
    FILE *file = std::fopen(path.c_str(), "rb");
    if (!file)
        return false;
    const size_t got = std::fread(header, 1, sizeof(header), file);
    std::fclose(file);
    if (got != sizeof(header) || std::memcmp(header, "SQLite format 3", 16) != 0)
        return false;
    const unsigned int mark = (unsigned(header[68]) << 24) | (unsigned(header[69]) << 16) |
                              (unsigned(header[70]) << 8) | unsigned(header[71]);
    return mark == freshFileMark;
}

// Makes a completed rename durable.
void syncFolderOf(const std::string &path)
{
    const size_t slash = path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

int exportEncrypted(sqlite3 *db, const std::string &target, const void *phrase, int length)
{
    sqlite3_stmt *attach = nullptr;
    int rc = sqlite3_prepare_v2(db, "ATTACH DATABASE ?1 AS zircon_encrypted KEY ?2", -1, &attach,
                                nullptr);
    if (rc != SQLITE_OK)
        return rc;
    sqlite3_bind_text(attach, 1, target.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_blob(attach, 2, phrase, length, SQLITE_TRANSIENT);
    rc = sqlite3_step(attach);
    sqlite3_finalize(attach);
    if (rc != SQLITE_DONE)
        return rc == SQLITE_OK ? SQLITE_ERROR : rc;
    rc = applyCipherSettings(db, "zircon_encrypted");
    if (rc == SQLITE_OK)
        rc = sqlite3_exec(db, "SELECT sqlcipher_export('zircon_encrypted')", nullptr, nullptr,
                          nullptr);
    const int detached =
        sqlite3_exec(db, "DETACH DATABASE zircon_encrypted", nullptr, nullptr, nullptr);
    return rc != SQLITE_OK ? rc : detached;
}

// Replaces the plain file under the handle by an encrypted copy and reopens the handle on it.
// On failure the handle is left closed, so nothing is ever written unencrypted.
int encryptInPlace(zircon_db *handle, const void *phrase, int length)
{
    const std::string target = handle->path + "-encrypting";
    // A file a crash left keeps its own mode when reused.
    std::remove(target.c_str());
    std::remove((target + "-journal").c_str());
    // ATTACH takes the open flags of the handle, which never create a file: start from an
    // empty one, which SQLite reads as an empty database. It becomes the file itself: never
    // open to other users, whatever the umask.
    const int empty =
        ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0660);
    if (empty < 0)
        return SQLITE_CANTOPEN;
    ::close(empty);

    int rc = exportEncrypted(handle->db, target, phrase, length);
    sqlite3_close(handle->db);
    handle->db = nullptr;
    if (rc == SQLITE_OK && std::rename(target.c_str(), handle->path.c_str()) != 0)
        rc = SQLITE_IOERR;
    if (rc != SQLITE_OK) {
        std::remove(target.c_str());
        return rc;
    }
    syncFolderOf(handle->path);

    rc = openConnection(handle, SQLITE_OPEN_READWRITE);
    if (rc == SQLITE_OK)
        rc = keyConnection(handle->db, phrase, length);
    return rc;
}

struct RowAdapter
{
    void *user;
    RowCallback callback;
};

int forwardRow(void *adapter, int columns, char **texts, char **)
{
    const RowAdapter *row = static_cast<const RowAdapter *>(adapter);
    return row->callback(row->user, columns, texts);
}

int openHandle(zircon_db **handle, const char *path, bool readOnly)
{
    if (!handle)
        return SQLITE_MISUSE;
    *handle = nullptr;
    if (!path)
        return SQLITE_MISUSE;
    zircon_db *opened = new zircon_db;
    opened->path = path;
    opened->readOnly = readOnly;
    const int rc =
        openConnection(opened, readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE);
    if (rc != SQLITE_OK) {
        delete opened;
        return rc;
    }
    *handle = opened;
    return SQLITE_OK;
}

} // namespace

extern "C" {

int zircon_create(zircon_db **handle, const char *path)
{
    if (!handle)
        return SQLITE_MISUSE;
    *handle = nullptr;
    if (!path)
        return SQLITE_MISUSE;
    if (FILE *existing = std::fopen(path, "rb")) {
        std::fclose(existing);
        return SQLITE_CANTOPEN;
    }
    zircon_db *created = new zircon_db;
    created->path = path;
    int rc = openConnection(created, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    if (rc == SQLITE_OK) {
        char *mark = sqlite3_mprintf("PRAGMA application_id = %d", int(freshFileMark));
        rc = mark ? sqlite3_exec(created->db, mark, nullptr, nullptr, nullptr) : SQLITE_NOMEM;
        sqlite3_free(mark);
        if (rc != SQLITE_OK)
            std::remove(path);
    }
    if (rc != SQLITE_OK) {
        zircon_close(created);
        return rc;
    }
    *handle = created;
    return SQLITE_OK;
}

int zircon_open(zircon_db **handle, const char *path)
{
    return openHandle(handle, path, false);
}

int zircon_open_readonly(zircon_db **handle, const char *path)
{
    return openHandle(handle, path, true);
}

int zircon_set_password(zircon_db *handle, const void *phrase, int length)
{
    if (!handle || !handle->db || !phrase || length <= 0)
        return SQLITE_MISUSE;
    if (!handle->readOnly && isFreshPlainFile(handle->path))
        return encryptInPlace(handle, phrase, length);
    return keyConnection(handle->db, phrase, length);
}

int zircon_close(zircon_db *handle)
{
    if (!handle)
        return SQLITE_OK;
    // close_v2 never leaves the connection half-open, whatever is still prepared on it.
    const int rc = handle->db ? sqlite3_close_v2(handle->db) : SQLITE_OK;
    delete handle;
    return rc;
}

char *zircon_create_sql(const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    char *sql = sqlite3_vmprintf(format, arguments);
    va_end(arguments);
    return sql;
}

void zircon_destroy_sql(char *sql)
{
    sqlite3_free(sql);
}

int zircon_run_sql(zircon_db *handle, const char *sql, void *user, RowCallback callback)
{
    // A null text would run as an empty statement and report success.
    if (!handle || !handle->db || !sql)
        return SQLITE_MISUSE;
    // The progress handler would let a short statement through.
    if (handle->interrupted.load())
        return SQLITE_INTERRUPT;
    if (!callback)
        return sqlite3_exec(handle->db, sql, nullptr, nullptr, nullptr);
    RowAdapter adapter{user, callback};
    return sqlite3_exec(handle->db, sql, forwardRow, &adapter, nullptr);
}

int zircon_busy_timeout(zircon_db *handle, int milliseconds)
{
    if (!handle || !handle->db || milliseconds < 0)
        return SQLITE_MISUSE;
    handle->busyTimeoutMs = milliseconds;
    return SQLITE_OK;
}

int zircon_interrupt(zircon_db *handle, int on)
{
    if (!handle || !handle->db)
        return SQLITE_MISUSE;
    handle->interrupted = on != 0;
    if (on)
        sqlite3_interrupt(handle->db);
    return SQLITE_OK;
}

} // extern "C"
