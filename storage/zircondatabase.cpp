#include "zircondatabase.h"

#include "storage/passphrase.h"

#include <cstdio>
#include <cstdlib>

namespace {

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
    auto locked = lock();
    return handle != nullptr;
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
    // Keying is lazy: a file that is not ours only shows at the first read.
    long tables = -1;
    rc = runLocked("SELECT count(*) FROM sqlite_master", &tables, readCount);
    if (rc != 0) {
        closeLocked();
        return rc;
    }
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
