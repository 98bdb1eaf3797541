#include "recorddatabase.h"

#include "acquisition/alarmrules.h"
#include "app/appcontext.h"
#include "storage/passphrase.h"

#include <QDate>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <sqlite3.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <strings.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

const char *const createRecordTable =
    "CREATE TABLE Record(uid INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL,time DATETIME,model "
    "VARCHAR NOT NULL,name VARCHAR NOT NULL,slave INTEGER NOT NULL,channel INTEGER,factor "
    "VARCHAR NOT NULL,unit VARCHAR,value VARCHAR,status VARCHAR);";

// Alarms live beside the records so that backup, import and clear carry them with the file.
// Files written before alarms existed get the table whenever they are opened, and tables made
// before clears had a reason get the column (added last, so older builds read them as before).
const char *const createAlarmTable =
    "CREATE TABLE IF NOT EXISTS Alarm(id INTEGER PRIMARY KEY AUTOINCREMENT,name VARCHAR,slave "
    "INTEGER,channel INTEGER,factor VARCHAR,kind VARCHAR,value VARCHAR,alarmpoint VARCHAR,raised "
    "VARCHAR,cleared VARCHAR,acked VARCHAR,reason VARCHAR)";

// Rows a clear keeps: an active alarm's row must be there for its clear, and one that cleared
// waiting for an acknowledgement (listed 已恢复, written by a build that gives the reason) for
// its acknowledgement.
#define ALARMS_TO_KEEP "cleared IS NULL OR (acked IS NULL AND reason IS NOT NULL)"
const char *const selectAlarmsToKeep = "SELECT id FROM Alarm WHERE " ALARMS_TO_KEEP;

// The second column of PRAGMA table_info, the column's name, appended to a vector of names.
int appendColumnName(void *user, int columns, char **texts)
{
    if (columns > 1 && texts[1])
        static_cast<std::vector<std::string> *>(user)->push_back(texts[1]);
    return 0;
}

// (name, time) serves a search for one monitor over a time range and the name listing;
// (time) a search over all monitors. With the uid each index ends with, both give the (time,
// uid) order of the paged reads without sorting.
const char *const createNameIndex =
    "CREATE INDEX IF NOT EXISTS Record_name_time ON Record(name,time)";
const char *const createTimeIndex = "CREATE INDEX IF NOT EXISTS Record_time ON Record(time)";
const char *const createIndexes =
    "CREATE INDEX IF NOT EXISTS Record_name_time ON Record(name,time);"
    "CREATE INDEX IF NOT EXISTS Record_time ON Record(time);";
const char *const listIndexes =
    "SELECT name FROM sqlite_master WHERE type = 'index' AND tbl_name = 'Record' AND "
    "name IN ('Record_name_time','Record_time')";

// Connections of their own wait for page reads and commits, and for each other.
const int ownBusyTimeoutMs = 30000;

const char *const selectColumns =
    "SELECT time,model,name,slave,channel,factor,unit,value,status FROM Record";

// SQLite 3.15 answers SELECT DISTINCT by reading every index entry; stepping from one name to
// the next through the index gives the same names in the same order in a few seeks.
const char *const selectNamesBySeeking =
    "WITH RECURSIVE names(name) AS (SELECT min(name) FROM Record UNION ALL "
    "SELECT (SELECT min(name) FROM Record WHERE name > names.name) FROM names "
    "WHERE names.name IS NOT NULL) SELECT name FROM names WHERE name IS NOT NULL";

std::string text(const char *value)
{
    return value ? std::string(value) : std::string();
}

int32_t number(const char *value)
{
    if (!value)
        return 0;
    const long parsed = std::strtol(value, nullptr, 10);
    return parsed > INT32_MAX ? INT32_MAX : parsed < INT32_MIN ? INT32_MIN : int32_t(parsed);
}

int appendRow(void *user, int columns, char **texts)
{
    RecordRow *row = new RecordRow;
    if (columns >= 9) {
        row->time = text(texts[0]);
        row->model = text(texts[1]);
        row->name = text(texts[2]);
        row->slave = number(texts[3]);
        row->channel = number(texts[4]);
        row->factor = text(texts[5]);
        row->unit = text(texts[6]);
        row->value = text(texts[7]);
        row->status = text(texts[8]);
    }
    static_cast<std::vector<RecordRow *> *>(user)->push_back(row);
    return 0;
}

int appendAlarm(void *user, int columns, char **texts)
{
    if (columns < 11)
        return 0;
    AlarmRow row;
    row.id = std::strtoll(texts[0] ? texts[0] : "0", nullptr, 10);
    row.name = text(texts[1]);
    row.slave = number(texts[2]);
    row.channel = number(texts[3]);
    row.factor = text(texts[4]);
    row.kind = text(texts[5]);
    row.value = text(texts[6]);
    row.alarmPoint = text(texts[7]);
    row.raised = text(texts[8]);
    row.cleared = text(texts[9]);
    row.acked = text(texts[10]);
    if (columns > 11)
        row.reason = text(texts[11]);
    static_cast<std::vector<AlarmRow> *>(user)->push_back(std::move(row));
    return 0;
}

int appendName(void *user, int columns, char **texts)
{
    if (columns > 0)
        static_cast<std::vector<std::string> *>(user)->push_back(text(texts[0]));
    return 0;
}

const char *orNull(const std::string &text)
{
    return text.empty() ? nullptr : text.c_str();
}

void appendCondition(std::string &condition, char *formatted, bool first)
{
    condition += first ? " WHERE " : " AND ";
    if (formatted)
        condition += formatted;
    zircon_destroy_sql(formatted);
}

using ImportError = RecordDatabase::ImportError;

// The cipher page size zircon sets: a file of ours is always a whole number of pages.
const int64_t pageSize = 1024;
const size_t copyBlockSize = 1 << 20;

const char *const recordColumns[] = {"uid",     "time",   "model", "name",  "slave",
                                     "channel", "factor", "unit",  "value", "status"};

// Makes a completed link, rename or new file durable.
void syncFolderOf(const std::string &path)
{
    const size_t slash = path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

bool writeAll(int fd, const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        size -= size_t(written);
    }
    return true;
}

// The mode of a file the station makes with none to follow, before the umask: read and write for
// the owner and the group, 0660 under the station's 007, as SQLite's own files get.
const mode_t stationFileMode = 0660;
// copyToNewFile's mode for such a file: the umask applies, as to every file the station makes.
const mode_t underUmask = mode_t(-1);

// A copy keeps the mode of the file it follows, but never gives other users access.
mode_t followedMode(mode_t mode)
{
    return mode & 0770;
}

// Copies a regular file into target, which must not exist yet, gives it mode (or underUmask)
// and syncs it. QFile::copy would give it the source's mode, and a read-only backup would make
// the record file read-only.
ImportError copyToNewFile(const std::string &source, const std::string &target, mode_t mode,
                          const RecordDatabase::ImportProgress &progress = nullptr,
                          int64_t *copied = nullptr)
{
    const int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return RecordDatabase::ImportSourceUnreadable;
    struct stat info;
    // A device or a pipe could fill the disk before it ends.
    if (::fstat(in, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(in);
        return RecordDatabase::ImportSourceUnreadable;
    }
    const int out = ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                           mode == underUmask ? stationFileMode : 0600);
    if (out < 0) {
        ::close(in);
        return RecordDatabase::ImportCopyFailed;
    }
    ImportError error = RecordDatabase::ImportOk;
    std::vector<char> block(copyBlockSize);
    int64_t done = 0;
    for (;;) {
        const ssize_t got = ::read(in, block.data(), block.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            if (got < 0)
                error = RecordDatabase::ImportSourceUnreadable;
            break;
        }
        if (!writeAll(out, block.data(), size_t(got))) {
            error = RecordDatabase::ImportCopyFailed;
            break;
        }
        done += got;
        if (progress && !progress(done, int64_t(info.st_size))) {
            error = RecordDatabase::ImportCancelled;
            break;
        }
    }
    if (error == RecordDatabase::ImportOk &&
        ((mode != underUmask && ::fchmod(out, mode) != 0) || ::fsync(out) != 0))
        error = RecordDatabase::ImportCopyFailed;
    if (::close(out) != 0 && error == RecordDatabase::ImportOk)
        error = RecordDatabase::ImportCopyFailed;
    ::close(in);
    if (error != RecordDatabase::ImportOk)
        ::unlink(target.c_str());
    else if (copied)
        *copied = done;
    return error;
}

bool sameFile(const std::string &a, const std::string &b)
{
    struct stat first, second;
    return ::stat(a.c_str(), &first) == 0 && ::stat(b.c_str(), &second) == 0 &&
           first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

int appendText(void *user, int columns, char **texts)
{
    static_cast<std::vector<std::string> *>(user)->push_back(columns > 0 ? text(texts[0]) : "");
    return 0;
}

int readInteger(void *user, int columns, char **texts)
{
    if (columns > 0 && texts[0])
        *static_cast<int64_t *>(user) = std::strtoll(texts[0], nullptr, 10);
    return 0;
}

struct Column
{
    std::string name;
    bool required; // NOT NULL without a default: an insert of ours would fail
};

// Rows of PRAGMA table_info: cid, name, type, notnull, dflt_value, pk.
int appendColumn(void *user, int columns, char **texts)
{
    if (columns >= 6)
        static_cast<std::vector<Column> *>(user)->push_back(
            {text(texts[1]), number(texts[3]) != 0 && !texts[4] && number(texts[5]) == 0});
    return 0;
}

// SQLCipher checks every page's HMAC on its own from 4.0.1 on; before that, the integrity
// check's reading of every page verifies them.
bool hasCipherIntegrityCheck(zircon_db *db)
{
    std::vector<std::string> version;
    int major = 0, minor = 0, patch = 0;
    if (zircon_run_sql(db, "PRAGMA cipher_version", &version, appendText) != 0 || version.empty() ||
        std::sscanf(version[0].c_str(), "%d.%d.%d", &major, &minor, &patch) < 2)
        return false;
    return major > 4 || (major == 4 && (minor > 0 || patch >= 1));
}

// Every column our statements name is there, and no other column refuses our inserts.
bool hasRecordColumns(const std::vector<Column> &columns)
{
    for (const char *wanted : recordColumns) {
        bool found = false;
        for (const Column &column : columns)
            found = found || strcasecmp(column.name.c_str(), wanted) == 0;
        if (!found)
            return false;
    }
    for (const Column &column : columns) {
        bool ours = false;
        for (const char *name : recordColumns)
            ours = ours || strcasecmp(column.name.c_str(), name) == 0;
        if (!ours && column.required)
            return false;
    }
    return true;
}

ImportError checkKeyedCandidate(zircon_db *db, int64_t *rows, bool buildIndexes = true)
{
    // Keying is lazy: a wrong key or foreign bytes show at the first read.
    if (zircon_run_sql(db, "SELECT count(*) FROM sqlite_master", nullptr, nullptr) != 0)
        return RecordDatabase::ImportNotDecryptable;
    if (hasCipherIntegrityCheck(db)) {
        std::vector<std::string> failures;
        if (zircon_run_sql(db, "PRAGMA cipher_integrity_check", &failures, appendText) != 0 ||
            !failures.empty())
            return RecordDatabase::ImportDamaged;
    }
    std::vector<std::string> verdict;
    if (zircon_run_sql(db, "PRAGMA integrity_check", &verdict, appendText) != 0 ||
        verdict != std::vector<std::string>{"ok"})
        return RecordDatabase::ImportDamaged;
    // A view or a virtual table by that name answers the column list like a table, but takes
    // no row and no index: no station made it.
    std::vector<std::string> definitions;
    if (zircon_run_sql(db,
                       "SELECT sql FROM sqlite_master WHERE name = 'Record' COLLATE NOCASE AND "
                       "type IN ('table','view')",
                       &definitions, appendText) != 0)
        return RecordDatabase::ImportDamaged;
    if (definitions.empty())
        return RecordDatabase::ImportNoRecordTable;
    if (definitions.size() != 1 || strncasecmp(definitions[0].c_str(), "CREATE TABLE", 12) != 0)
        return RecordDatabase::ImportNotStationFile;
    std::vector<Column> columns;
    if (zircon_run_sql(db, "PRAGMA table_info(Record)", &columns, appendColumn) != 0)
        return RecordDatabase::ImportDamaged;
    if (!hasRecordColumns(columns))
        return RecordDatabase::ImportRecordColumnsMismatch;
    // Built here rather than at the reopen, which holds the lock that inserts wait for. Only
    // a write that the disk refused is a failed copy.
    int rc = buildIndexes ? zircon_run_sql(db, createIndexes, nullptr, nullptr) : 0;
    if (rc == 0)
        rc = zircon_run_sql(db, "SELECT count(*) FROM Record", rows, readInteger);
    switch (rc & 0xFF) {
    case SQLITE_OK:
        return RecordDatabase::ImportOk;
    case SQLITE_FULL:
    case SQLITE_IOERR:
    case SQLITE_CANTOPEN:
    case SQLITE_NOMEM:
    case SQLITE_READONLY:
        return RecordDatabase::ImportCopyFailed;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
        return RecordDatabase::ImportDamaged;
    default:
        return RecordDatabase::ImportNotStationFile;
    }
}

// The whole file, not only its first page, must read back under the key.
ImportError checkCandidate(const std::string &path, int64_t *rows, bool writable = true)
{
    struct stat info;
    if (::stat(path.c_str(), &info) != 0)
        return RecordDatabase::ImportCopyFailed;
    if (info.st_size < pageSize || info.st_size % pageSize != 0)
        return RecordDatabase::ImportNotStationFile;
    char header[16] = {};
    FILE *file = std::fopen(path.c_str(), "rb");
    if (!file)
        return RecordDatabase::ImportCopyFailed;
    const size_t got = std::fread(header, 1, sizeof(header), file);
    std::fclose(file);
    // Every file the station leaves is encrypted; a plain one must not even be keyed, which
    // would encrypt a fresh file in place.
    if (got != sizeof(header) || std::memcmp(header, "SQLite format 3", sizeof(header)) == 0)
        return RecordDatabase::ImportNotStationFile;

    zircon_db *candidate = nullptr;
    if ((writable ? zircon_open(&candidate, path.c_str())
                  : zircon_open_readonly(&candidate, path.c_str())) != 0)
        return RecordDatabase::ImportCopyFailed;
    zircon_set_password(candidate, kPassPhrase, kPassPhraseLength);
    const ImportError error = checkKeyedCandidate(candidate, rows, writable);
    zircon_close(candidate);
    return error;
}

// Where the file about to be replaced is kept: a name in the backup folder that no backup takes
// and that never replaces a file. A hard link puts it there at once. Where the folder is on
// another file system, the name is taken by an empty file and the live file moves aside
// (movedTo), to be copied there once the swap is done and the lock released.
struct Keeping
{
    std::string name;
    std::string movedTo; // empty when linked
};

bool keepReplaced(const std::string &live, const std::string &folder, Keeping &keeping)
{
    const std::string stamp =
        QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMddhhmmss")).toStdString();
    bool tryLink = true;
    for (int n = 0; n < 1000; ++n) {
        const std::string name = folder + "record_replaced_" + stamp +
                                 (n > 0 ? "_" + std::to_string(n) : std::string()) + ".zdb";
        if (tryLink) {
            if (::link(live.c_str(), name.c_str()) == 0) {
                syncFolderOf(name);
                keeping = Keeping{name, std::string()};
                return true;
            }
            if (errno == EEXIST)
                continue;
            // Another file system, or one without hard links.
            tryLink = false;
        }
        const int reserved = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (reserved < 0) {
            if (errno == EEXIST)
                continue;
            return false;
        }
        ::close(reserved);
        // Never over a file an earlier, interrupted import left aside.
        for (int m = 0; m < 1000; ++m) {
            const std::string aside = live + ".replaced" + (m > 0 ? std::to_string(m) : "");
            struct stat existing;
            if (::lstat(aside.c_str(), &existing) == 0)
                continue;
            if (std::rename(live.c_str(), aside.c_str()) != 0)
                break;
            syncFolderOf(live);
            keeping = Keeping{name, aside};
            return true;
        }
        ::unlink(name.c_str());
        return false;
    }
    return false;
}

// Deletes the replaced files in the folder beyond the newest `keep`, by the time and number in
// their names, never `justKept`; returns how many went. Only files that can be record files
// (whole pages) count: a file of the operator's that only bears such a name stays.
int pruneKept(const std::string &folder, const std::string &justKept, int keep)
{
    static const QRegularExpression pattern(
        QStringLiteral("^record_replaced_(\\d{14})(?:_(\\d{1,4}))?\\.zdb$"));
    struct Kept
    {
        QString stamp;
        int number;
        QString name;
    };
    std::vector<Kept> kept;
    const QDir dir(QString::fromStdString(folder));
    const QString newest = QFileInfo(QString::fromStdString(justKept)).fileName();
    const QFileInfoList files =
        dir.entryInfoList({QStringLiteral("record_replaced_*.zdb")}, QDir::Files | QDir::Hidden);
    for (const QFileInfo &file : files) {
        const QRegularExpressionMatch match = pattern.match(file.fileName());
        if (match.hasMatch() && !file.isSymLink() && file.size() >= pageSize &&
            file.size() % pageSize == 0 && file.fileName() != newest)
            kept.push_back({match.captured(1), match.captured(2).toInt(), file.fileName()});
    }
    std::sort(kept.begin(), kept.end(), [](const Kept &a, const Kept &b) {
        return a.stamp != b.stamp ? a.stamp > b.stamp : a.number > b.number;
    });
    // The file just kept is the newest whatever its name says (the clock may have gone back).
    const size_t others = size_t(std::max(keep - (newest.isEmpty() ? 0 : 1), 0));
    int removed = 0;
    for (size_t i = others; i < kept.size(); ++i)
        removed += QFile::remove(dir.filePath(kept[i].name)) ? 1 : 0;
    if (removed > 0)
        syncFolderOf(dir.filePath(kept.front().name).toStdString());
    return removed;
}

// Moves the kept file back to the live name.
bool putBack(const Keeping &keeping, const std::string &live)
{
    const std::string &kept = keeping.movedTo.empty() ? keeping.name : keeping.movedTo;
    if (std::rename(kept.c_str(), live.c_str()) != 0)
        return false;
    if (!keeping.movedTo.empty())
        ::unlink(keeping.name.c_str());
    syncFolderOf(live);
    syncFolderOf(keeping.name);
    return true;
}

// Outside the lock: copies a file moved aside into the name taken for it. Where that fails it
// stays aside, beside the record file, and its name is returned.
std::string finishKeeping(const Keeping &keeping, mode_t mode)
{
    if (keeping.movedTo.empty())
        return keeping.name;
    ::unlink(keeping.name.c_str());
    if (copyToNewFile(keeping.movedTo, keeping.name, mode) != RecordDatabase::ImportOk) {
        syncFolderOf(keeping.name);
        return keeping.movedTo;
    }
    syncFolderOf(keeping.name);
    ::unlink(keeping.movedTo.c_str());
    syncFolderOf(keeping.movedTo);
    return keeping.name;
}

// The alarm rows a copy made in the read transaction on own holds as cleared: those up to its
// highest id less the few still active or waiting for an acknowledgement in it. Empty when it
// holds none.
std::string copiedAlarmCondition(zircon_db *own)
{
    int64_t top = 0;
    std::vector<std::string> open;
    if (zircon_run_sql(own, "SELECT max(id) FROM Alarm", &top, readInteger) != 0 || top <= 0 ||
        zircon_run_sql(own, selectAlarmsToKeep, &open, appendText) != 0)
        return std::string();
    std::string condition = "cleared IS NOT NULL AND id <= " + std::to_string(top);
    if (!open.empty()) {
        condition += " AND id NOT IN (";
        for (size_t i = 0; i < open.size(); ++i)
            condition += (i ? "," : "") + std::to_string(std::strtoll(open[i].c_str(), nullptr, 10));
        condition += ")";
    }
    return condition;
}

void removeWithJournal(const std::string &path)
{
    std::remove(path.c_str());
    std::remove((path + "-journal").c_str());
}

} // namespace

RecordDatabase::RecordDatabase(const std::string &path) : ZirconDatabase(path, createRecordTable) {}

RecordDatabase::~RecordDatabase()
{
    stopIndexBuild();
}

void RecordDatabase::opened()
{
    // Fails only on a read-only file, whose alarm statements then fail like its inserts (and
    // try the column again).
    runLocked(createAlarmTable);
    alarmReason = false;
    addReasonColumnLocked();
    std::vector<std::string> present;
    runLocked(listIndexes, &present, appendText);
    nameIndexReady = std::find(present.begin(), present.end(), "Record_name_time") != present.end();
    if (present.size() == 2) {
        indexes = IndexesReady;
        return;
    }
    // Instant on an empty table, and a fresh file is then complete at once.
    std::vector<std::string> anyRow;
    if (runLocked("SELECT 1 FROM Record LIMIT 1", &anyRow, appendText) == 0 && anyRow.empty() &&
        runLocked(createIndexes) == 0) {
        nameIndexReady = true;
        indexes = IndexesReady;
        return;
    }
    stopIndexBuild();
    indexes = IndexesBuilding;
    indexBuilder = std::thread(&RecordDatabase::buildIndexes, this);
}

void RecordDatabase::closing()
{
    stopIndexBuild();
}

void RecordDatabase::buildIndexes()
{
    // Polling, recording and the interface go first.
    ::setpriority(PRIO_PROCESS, id_t(::syscall(SYS_gettid)), 10);
    zircon_db *own = nullptr;
    if (openKeyedConnection(getPath(), &own, ownBusyTimeoutMs, false) != 0) {
        indexes = IndexesMissing;
        return;
    }
    {
        std::lock_guard<std::mutex> guard(builderMutex);
        if (stopBuild) {
            zircon_close(own);
            indexes = IndexesMissing;
            return;
        }
        builderHandle = own;
    }
    bool built = true;
    for (const char *statement : {createNameIndex, createTimeIndex}) {
        int rc;
        while ((rc = zircon_run_sql(own, statement, nullptr, nullptr)) != 0) {
            // Another connection held the file past the timeout: start again, unless closing.
            std::unique_lock<std::mutex> guard(builderMutex);
            if (stopBuild || (rc & 0xFF) != SQLITE_BUSY)
                break;
            builderWake.wait_for(guard, std::chrono::milliseconds(100),
                                 [this] { return stopBuild; });
        }
        if (rc != 0) {
            built = false;
            break;
        }
        if (statement == createNameIndex)
            nameIndexReady = true;
    }
    {
        std::lock_guard<std::mutex> guard(builderMutex);
        builderHandle = nullptr;
    }
    // An interrupted CREATE INDEX has been rolled back: the file is as it was.
    zircon_close(own);
    indexes = built ? IndexesReady : IndexesMissing;
}

void RecordDatabase::stopIndexBuild()
{
    if (!indexBuilder.joinable())
        return;
    {
        std::lock_guard<std::mutex> guard(builderMutex);
        stopBuild = true;
        if (builderHandle)
            zircon_interrupt(builderHandle, 1);
    }
    builderWake.notify_all();
    indexBuilder.join();
    std::lock_guard<std::mutex> guard(builderMutex);
    stopBuild = false;
}

int RecordDatabase::runOnOwnConnection(const char *sql, void *user, RowCallback callback)
{
    std::shared_lock<std::shared_mutex> file(fileMutex);
    zircon_db *own = nullptr;
    int rc = openOwnConnection(&own, ownBusyTimeoutMs);
    if (rc == 0)
        rc = zircon_run_sql(own, sql, user, callback);
    // Closing ends a transaction a failed statement left open, rolling it back.
    zircon_close(own);
    return rc;
}

int RecordDatabase::insert(const RecordRow &row)
{
    std::vector<int> results;
    return insertRows({&row}, results);
}

int RecordDatabase::insertRows(const std::vector<const RecordRow *> &rows,
                               std::vector<int> &results)
{
    std::vector<PendingInsert> entries;
    entries.reserve(rows.size());
    for (const RecordRow *row : rows)
        entries.push_back(PendingInsert{row, 0, false});
    std::unique_lock<std::mutex> queue(queueMutex);
    for (PendingInsert &entry : entries)
        pending.push_back(&entry);
    // Entries are committed in the order queued, so the last one is done last.
    while (!entries.empty() && !entries.back().done) {
        if (committing) {
            committed.wait(queue);
            continue;
        }
        // This thread commits everything queued so far, its own rows included.
        committing = true;
        std::vector<PendingInsert *> batch;
        batch.swap(pending);
        queue.unlock();
        {
            auto locked = lock();
            commitLocked(batch);
        }
        queue.lock();
        for (PendingInsert *done : batch)
            done->done = true;
        committing = false;
        committed.notify_all();
    }
    results.clear();
    int first = 0;
    for (const PendingInsert &entry : entries) {
        results.push_back(entry.result);
        if (first == 0)
            first = entry.result;
    }
    return first;
}

int RecordDatabase::insertLocked(const RecordRow &row)
{
    return runFormattedLocked("INSERT INTO Record(time,model,name,slave,channel,factor,unit,value,"
                              "status) VALUES(%Q,%Q,%Q,%d,%d,%Q,%Q,%Q,%Q)",
                              row.time.c_str(), row.model.c_str(), row.name.c_str(), int(row.slave),
                              int(row.channel), row.factor.c_str(), row.unit.c_str(),
                              row.value.c_str(), row.status.c_str());
}

int RecordDatabase::addReasonColumnLocked()
{
    if (alarmReason)
        return 0;
    std::vector<std::string> columns;
    int rc = runLocked("PRAGMA table_info(Alarm)", &columns, appendColumnName);
    if (rc != 0)
        return rc;
    if (std::find(columns.begin(), columns.end(), "reason") == columns.end())
        rc = runLocked("ALTER TABLE Alarm ADD COLUMN reason VARCHAR");
    alarmReason = rc == 0;
    return rc;
}

int RecordDatabase::insertAlarm(const AlarmRow &alarm, int64_t *id)
{
    if (id)
        *id = 0;
    auto locked = lock();
    int rc = addReasonColumnLocked();
    if (rc == 0)
        rc = runFormattedLocked(
            "INSERT INTO Alarm(name,slave,channel,factor,kind,value,alarmpoint,"
            "raised,cleared,acked,reason) VALUES(%Q,%d,%d,%Q,%Q,%Q,%Q,%Q,%Q,%Q,%Q)",
            orNull(alarm.name), int(alarm.slave), int(alarm.channel), orNull(alarm.factor),
            orNull(alarm.kind), orNull(alarm.value), orNull(alarm.alarmPoint), orNull(alarm.raised),
            orNull(alarm.cleared), orNull(alarm.acked), orNull(alarm.reason));
    int64_t inserted = 0;
    if (rc == 0)
        rc = runLocked("SELECT last_insert_rowid()", &inserted, readInteger);
    if (id)
        *id = rc == 0 ? inserted : 0;
    return rc;
}

int RecordDatabase::updateAlarm(const AlarmRow &alarm, int64_t id, bool acknowledged)
{
    // The row: the one with id while it is still the alarm's, else the alarm's newest.
    char *row = zircon_create_sql(
        "coalesce((SELECT id FROM Alarm WHERE id = %lld AND name IS %Q AND kind IS %Q AND raised "
        "IS %Q),(SELECT max(id) FROM Alarm WHERE name IS %Q AND slave = %d AND channel = %d AND "
        "kind IS %Q AND raised IS %Q))",
        static_cast<long long>(id), orNull(alarm.name), orNull(alarm.kind), orNull(alarm.raised),
        orNull(alarm.name), int(alarm.slave), int(alarm.channel), orNull(alarm.kind),
        orNull(alarm.raised));
    auto locked = lock();
    int rc = addReasonColumnLocked();
    if (rc == 0)
        rc = acknowledged
                 ? runFormattedLocked("UPDATE Alarm SET acked = %Q WHERE id = %s",
                                      orNull(alarm.acked), row)
                 : runFormattedLocked("UPDATE Alarm SET cleared = %Q, reason = %Q WHERE id = %s",
                                      orNull(alarm.cleared), orNull(alarm.reason), row);
    zircon_destroy_sql(row);
    // The statement before on this handle, under the same lock.
    int64_t changed = 0;
    if (rc == 0)
        rc = runLocked("SELECT changes()", &changed, readInteger);
    return rc == 0 && changed == 0 ? NoAlarmRow : rc;
}

int RecordDatabase::clearOpenAlarmsLocked(const std::string &time, const std::string &reason)
{
    int rc = addReasonColumnLocked();
    if (rc == 0)
        rc = runFormattedLocked("UPDATE Alarm SET cleared = %Q, reason = %Q WHERE cleared IS NULL",
                                time.c_str(), orNull(reason));
    return rc;
}

int RecordDatabase::restoreAlarmTable()
{
    auto locked = lock();
    alarmReason = false;
    const int rc = runLocked(createAlarmTable);
    return rc == 0 ? addReasonColumnLocked() : rc;
}

int RecordDatabase::clearOpenAlarms(const std::string &time, const std::string &reason)
{
    auto locked = lock();
    return clearOpenAlarmsLocked(time, reason);
}

int RecordDatabase::openAlarms(std::vector<AlarmRow> &alarms, int waiting)
{
    char *sql = zircon_create_sql(
        "SELECT id,name,slave,channel,factor,kind,value,alarmpoint,raised,cleared,acked,reason "
        "FROM Alarm WHERE cleared IS NULL OR id IN (SELECT id FROM Alarm WHERE cleared IS NOT NULL "
        "AND acked IS NULL AND reason IS NOT NULL ORDER BY id DESC LIMIT %d) ORDER BY id",
        waiting);
    auto locked = lock();
    int rc = addReasonColumnLocked();
    if (rc == 0)
        rc = runLocked(sql, &alarms, appendAlarm);
    zircon_destroy_sql(sql);
    return rc;
}

void RecordDatabase::commitLocked(const std::vector<PendingInsert *> &batch)
{
    const auto settleAll = [&batch](int result) {
        for (PendingInsert *entry : batch)
            entry->result = result;
    };
    const auto locked = [](int result) {
        return (result & 0xFF) == SQLITE_BUSY || (result & 0xFF) == SQLITE_LOCKED;
    };
    if (batch.size() > 1) {
        // Another connection holds the file: trying each row would wait once per row.
        int rc = runLocked("BEGIN IMMEDIATE");
        if (locked(rc))
            return settleAll(rc);
        if (rc == 0) {
            bool ok = true;
            for (const PendingInsert *entry : batch)
                ok = ok && insertLocked(*entry->row) == 0;
            if (ok && (rc = runLocked("COMMIT")) == 0)
                return settleAll(0);
            runLocked("ROLLBACK");
            if (ok && locked(rc))
                return settleAll(rc);
        }
    }
    // One row, or a batch that failed as a whole: each row on its own, so that every caller
    // gets its own row's result.
    int busy = 0;
    for (PendingInsert *entry : batch) {
        entry->result = busy != 0 ? busy : insertLocked(*entry->row);
        if (locked(entry->result))
            busy = entry->result;
    }
}

int RecordDatabase::clear(int64_t *removed)
{
    // One transaction: the numbering is never reset under rows that stay. The whole table goes
    // without a visit to each row, and still counts them.
    int64_t count = 0;
    const int rc = runOnOwnConnection("BEGIN IMMEDIATE;DELETE FROM Record;SELECT changes();"
                                      "UPDATE sqlite_sequence SET seq = 0 WHERE name ='Record';"
                                      "DELETE FROM Alarm WHERE NOT (" ALARMS_TO_KEEP ");COMMIT",
                                      &count, readInteger);
    if (removed)
        *removed = rc == 0 ? count : 0;
    return rc;
}

int RecordDatabase::clearUpTo(int64_t uid)
{
    std::string alarms;
    {
        std::lock_guard<std::mutex> guard(alarmCutMutex);
        if (!alarmCut.empty())
            alarms = "DELETE FROM Alarm WHERE " + alarmCut + ";";
    }
    char *sql = zircon_create_sql(
        "BEGIN IMMEDIATE;DELETE FROM Record WHERE uid <= %lld;"
        "UPDATE sqlite_sequence SET seq = 0 WHERE name = 'Record' AND NOT EXISTS "
        "(SELECT 1 FROM Record);%sCOMMIT",
        static_cast<long long>(uid), alarms.c_str());
    const int rc = runOnOwnConnection(sql);
    zircon_destroy_sql(sql);
    return rc;
}

int RecordDatabase::removeByName(const std::string &name)
{
    char *sql = zircon_create_sql("DELETE FROM Record WHERE name = %Q", name.c_str());
    const int rc = runOnOwnConnection(sql);
    zircon_destroy_sql(sql);
    return rc;
}

int RecordDatabase::vacuum()
{
    return runOnOwnConnection("VACUUM");
}

int RecordDatabase::query(const std::string &condition, std::vector<RecordRow *> &rows)
{
    const std::string sql = selectColumns + condition + " ORDER BY name ASC,channel ASC,time DESC";
    return run(sql.c_str(), &rows, appendRow);
}

int RecordDatabase::distinctNames(std::vector<std::string> &names)
{
    auto locked = lock();
    return runLocked(nameIndexReady ? selectNamesBySeeking : "SELECT DISTINCT name FROM Record",
                     &names, appendName);
}

int RecordDatabase::freeRows(std::vector<RecordRow *> &rows)
{
    for (RecordRow *row : rows)
        delete row;
    return 0;
}

void RecordDatabase::appendChannelCondition(std::string &condition, int channel, bool first)
{
    appendCondition(condition, zircon_create_sql("channel = %d", channel), first);
}

void RecordDatabase::appendNameCondition(std::string &condition, const std::string &name,
                                         bool first)
{
    appendCondition(condition, zircon_create_sql("name = %Q", name.c_str()), first);
}

void RecordDatabase::appendTimeCondition(std::string &condition, const std::string &from,
                                         const std::string &to, bool first)
{
    appendCondition(condition,
                    zircon_create_sql("time BETWEEN %Q AND %Q", from.c_str(), to.c_str()), first);
}

int RecordDatabase::backupDatabase(int kind, int64_t *copiedUpTo, std::string *written)
{
    if (copiedUpTo)
        *copiedUpTo = 0;
    if (written)
        written->clear();
    if (kind != RecordDb)
        return 0;
    const QString folder = AppContext::instance().path(BackupDir);
    if (!QFileInfo(folder).isDir())
        return -1;
    const QString date = QDate::currentDate().toString(QStringLiteral("yyyyMMdd"));
    QString target = folder + QStringLiteral("record_") + date + QStringLiteral(".zdb");
    for (int n = 1; QFileInfo::exists(target); ++n)
        target = folder + QStringLiteral("record") + QString::number(n) + QLatin1Char('_') + date +
                 QStringLiteral(".zdb");

    struct stat info;
    if (::stat(getPath().c_str(), &info) != 0)
        return -1;
    std::string cut;
    const std::string copy = target.toUtf8().toStdString();
    if (copyLiveFile(copy, followedMode(info.st_mode), nullptr, copiedUpTo, &cut) != ImportOk)
        return -1;
    if (written)
        *written = copy;
    std::lock_guard<std::mutex> guard(alarmCutMutex);
    alarmCut = cut;
    return 0;
}

int RecordDatabase::copyTo(const std::string &target, int64_t *copiedUpTo)
{
    struct stat info;
    if (::stat(getPath().c_str(), &info) != 0)
        return -1;
    return copyLiveFile(target, followedMode(info.st_mode), nullptr, copiedUpTo) == ImportOk ? 0
                                                                                             : -1;
}

RecordDatabase::ImportError RecordDatabase::verifyCopy(const std::string &path, int64_t *rows)
{
    int64_t count = 0;
    const ImportError error = checkCandidate(path, &count, false);
    if (rows)
        *rows = error == ImportOk ? count : -1;
    return error;
}

int RecordDatabase::copyFile(const std::string &source, const std::string &target)
{
    struct stat info;
    if (::stat(source.c_str(), &info) != 0)
        return -1;
    return copyToNewFile(source, target, followedMode(info.st_mode)) == ImportOk ? 0 : -1;
}

RecordDatabase::ImportError RecordDatabase::copyLiveFile(const std::string &target, unsigned mode,
                                                         int64_t *copied, int64_t *highestUid,
                                                         std::string *alarmCut)
{
    std::shared_lock<std::shared_mutex> file(fileMutex);
    zircon_db *own = nullptr;
    if (openKeyedConnection(getPath(), &own, ownBusyTimeoutMs, true) != 0)
        return ImportCopyFailed;
    // The read transaction's lock keeps every writer, and so every half-written page, off the
    // file until the copy is complete; inserts meanwhile are held back by the record writers.
    ImportError error = ImportCopyFailed;
    int64_t top = 0;
    if (zircon_run_sql(own, "BEGIN", nullptr, nullptr) == 0 &&
        zircon_run_sql(own, "SELECT count(*) FROM sqlite_master", nullptr, nullptr) == 0) {
        // A file without the table is still copied; its copy holds no uid to clear up to.
        zircon_run_sql(own, "SELECT max(uid) FROM Record", &top, readInteger);
        if (alarmCut)
            *alarmCut = copiedAlarmCondition(own);
        error = copyToNewFile(getPath(), target, mode, ImportProgress(), copied);
    }
    zircon_close(own);
    if (error == ImportOk && highestUid)
        *highestUid = top;
    return error;
}

int RecordDatabase::importDatabase(int kind, const std::string &source, ImportReport *report,
                                   const ImportProgress &progress, const SwapRunner &runSwap)
{
    ImportReport local;
    ImportReport &result = report ? *report : local;
    result = ImportReport();
    if (kind != RecordDb)
        return 0;
    std::lock_guard<std::mutex> oneImport(importMutex);
    const std::string incoming = getPath() + ".import";
    removeWithJournal(incoming);

    // The new file gets the station's own mode, never the backup's: the live file's, or where
    // there is none the mode the station gives every file it makes.
    struct stat info;
    const mode_t mode = ::stat(getPath().c_str(), &info) == 0
                            ? followedMode(info.st_mode) | S_IRUSR | S_IWUSR
                            : underUmask;
    int64_t size = 0;
    // Only a copy of the live file itself must keep the writers off it, like a backup; the
    // progress is not told then, so that it never runs while they wait.
    if (sameFile(source, getPath()))
        result.error = copyLiveFile(incoming, mode, &size, nullptr);
    else
        result.error = copyToNewFile(source, incoming, mode, progress, &size);
    // The copy, not the operator's file, is checked and then moved into place.
    if (result.error == ImportOk)
        result.error = checkCandidate(incoming, &result.rows);
    if (result.error == ImportOk && progress && !progress(size, size))
        result.error = ImportCancelled;
    if (result.error == ImportOk) {
        bool swapped = false;
        const Swap swap = [this, &incoming, &result, &swapped](int64_t time) {
            if (swapped)
                return false;
            swapped = true;
            result.error = swapIn(incoming, result, time);
            return result.error == ImportOk;
        };
        if (runSwap)
            runSwap(swap);
        else
            swap(QDateTime::currentSecsSinceEpoch());
        if (!swapped)
            result.error = ImportSwapFailed;
    }
    removeWithJournal(incoming);
    if (result.error == ImportOk)
        result.removedKept =
            pruneKept(AppContext::instance().path(BackupDir).toUtf8().toStdString(),
                      result.keptFile, keptLimit);
    return result.error == ImportOk ? 0 : -1;
}

RecordDatabase::ImportError RecordDatabase::swapIn(const std::string &incoming,
                                                   ImportReport &report, int64_t time)
{
    // Alarms of the replaced file end with it, and the imported file's own ended long ago:
    // neither keeps a row open that nothing would ever clear.
    const std::string importTime = QDateTime::fromSecsSinceEpoch(time)
                                       .toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"))
                                       .toStdString();
    const std::string reason = AlarmEvent::reasonText(AlarmEvent::Imported);
    const std::string &live = getPath();
    const std::string folder = AppContext::instance().path(BackupDir).toUtf8().toStdString();
    Keeping keeping;
    mode_t liveMode = 0;
    {
        std::unique_lock<std::shared_mutex> file(fileMutex);
        auto locked = lock();
        // A file that cannot take it (read-only, full) is replaced all the same.
        if (isOpen())
            clearOpenAlarmsLocked(importTime, reason);
        closeLocked();
        struct stat info;
        const bool exists = ::stat(live.c_str(), &info) == 0;
        if (exists) {
            liveMode = followedMode(info.st_mode);
            if (!keepReplaced(live, folder, keeping)) {
                openLocked();
                return ImportCannotKeepOld;
            }
        }
        // A journal beside the live name would be played back into the new file.
        std::remove((live + "-journal").c_str());
        if (std::rename(incoming.c_str(), live.c_str()) != 0) {
            if (!keeping.movedTo.empty()) {
                // Left aside: the failure must say where the record file went.
                if (!putBack(keeping, live))
                    report.keptFile = keeping.movedTo;
            } else if (exists) {
                ::unlink(keeping.name.c_str());
                syncFolderOf(keeping.name);
            }
            openLocked();
            return ImportSwapFailed;
        }
        syncFolderOf(live);
        const int reopened = openLocked();
        if (reopened == 0)
            clearOpenAlarmsLocked(importTime, reason);
        if (reopened != 0) {
            // All or nothing: the replaced file goes back under its name.
            if (!exists)
                std::remove(live.c_str());
            else if (!putBack(keeping, live))
                report.keptFile = keeping.movedTo.empty() ? keeping.name : keeping.movedTo;
            openLocked();
            return ImportSwapFailed;
        }
    }
    // Inserts go on into the new file meanwhile.
    if (!keeping.name.empty())
        report.keptFile = finishKeeping(keeping, liveMode);
    return ImportOk;
}

int RecordDatabase::createDatabase(int kind)
{
    if (kind != RecordDb)
        return 0;
    std::unique_lock<std::shared_mutex> file(fileMutex);
    return create() == 0 ? 0 : -1;
}
