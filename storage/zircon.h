#ifndef ZIRCON_H
#define ZIRCON_H

// The station's database library: a small C interface over encrypted SQLite files.
// Results are SQLite result codes: 0 is success, anything else a failure.

#ifdef __cplusplus
extern "C" {
#endif

typedef struct zircon_db zircon_db;

// Called once per result row with the column texts in SELECT order (null for NULL values).
// Returning non-zero stops the statement.
typedef int (*RowCallback)(void *user, int columns, char **texts);

// Makes a new, empty, unkeyed file and an open handle. Refuses a path that already exists.
int zircon_create(zircon_db **handle, const char *path);
// Opens an existing file read-write; never creates one. *handle is null on failure.
int zircon_open(zircon_db **handle, const char *path);
// The same, read-only: statements that write fail, and a fresh file is never encrypted through it.
int zircon_open_readonly(zircon_db **handle, const char *path);
// Keys the handle. A file made by zircon_create is encrypted in place on its first keying.
int zircon_set_password(zircon_db *handle, const void *phrase, int length);
// Ends the handle; a null handle is accepted.
int zircon_close(zircon_db *handle);

// Formats SQL text: %Q quotes a C string as an SQL literal (NULL for a null pointer),
// %d writes an int. The result is freed with zircon_destroy_sql.
char *zircon_create_sql(const char *format, ...);
void zircon_destroy_sql(char *sql);

// Runs the statement(s); the callback may be null.
int zircon_run_sql(zircon_db *handle, const char *sql, void *user, RowCallback callback);

// How long a statement waits for a lock another connection holds on the file before it fails
// with SQLITE_BUSY. The wait polls every few milliseconds, so it ends soon after the lock goes.
// New handles wait 5000 ms.
int zircon_busy_timeout(zircon_db *handle, int milliseconds);
// Any thread, while the handle is open: with on non-zero, the running statement and every one
// started afterwards stop with SQLITE_INTERRUPT (also while waiting for a lock), until it is
// called again with on zero. An interrupted write is rolled back.
int zircon_interrupt(zircon_db *handle, int on);

#ifdef __cplusplus
}
#endif

#endif // ZIRCON_H
