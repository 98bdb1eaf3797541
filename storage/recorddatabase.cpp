#include "recorddatabase.h"

#include "app/appcontext.h"
#include "storage/passphrase.h"

#include <QDate>
#include <QFile>
#include <QFileInfo>

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

const char *const createRecordTable =
    "CREATE TABLE Record(uid INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL,time DATETIME,model "
    "VARCHAR NOT NULL,name VARCHAR NOT NULL,slave INTEGER NOT NULL,channel INTEGER,factor "
    "VARCHAR NOT NULL,unit VARCHAR,value VARCHAR,status VARCHAR);";

// (name, time) serves a search for one monitor over a time range and the name listing;
// (time) a search over all monitors.
const char *const createIndexes =
    "CREATE INDEX IF NOT EXISTS Record_name_time ON Record(name,time);"
    "CREATE INDEX IF NOT EXISTS Record_time ON Record(time);";

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

int appendName(void *user, int columns, char **texts)
{
    if (columns > 0)
        static_cast<std::vector<std::string> *>(user)->push_back(text(texts[0]));
    return 0;
}

void appendCondition(std::string &condition, char *formatted, bool first)
{
    condition += first ? " WHERE " : " AND ";
    if (formatted)
        condition += formatted;
    zircon_destroy_sql(formatted);
}

// Copies into a file that must not exist yet (QFile::copy never overwrites) and syncs it before
// reporting success.
bool copyToNewFile(const QString &source, const QString &target)
{
    if (!QFile::copy(source, target))
        return false;
    QFile copy(target);
    if (copy.open(QIODevice::ReadOnly) && ::fsync(copy.handle()) == 0)
        return true;
    copy.close();
    QFile::remove(target);
    return false;
}

// A file fit to become the record database: it opens with the pass phrase and has the table.
bool holdsRecordTable(const std::string &path)
{
    zircon_db *candidate = nullptr;
    if (zircon_open(&candidate, path.c_str()) != 0)
        return false;
    zircon_set_password(candidate, kPassPhrase, kPassPhraseLength);
    const std::string probe = std::string(selectColumns) + " LIMIT 1";
    const bool ok = zircon_run_sql(candidate, probe.c_str(), nullptr, nullptr) == 0;
    zircon_close(candidate);
    return ok;
}

void removeWithJournal(const std::string &path)
{
    std::remove(path.c_str());
    std::remove((path + "-journal").c_str());
}

} // namespace

RecordDatabase::RecordDatabase(const std::string &path) : ZirconDatabase(path, createRecordTable) {}

void RecordDatabase::opened()
{
    nameIndexReady = runLocked(createIndexes) == 0;
}

int RecordDatabase::insert(const RecordRow &row)
{
    PendingInsert entry{&row, 0, false};
    std::unique_lock<std::mutex> queue(queueMutex);
    pending.push_back(&entry);
    while (!entry.done) {
        if (committing) {
            committed.wait(queue);
            continue;
        }
        // This thread commits everything queued so far, its own row included.
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
    return entry.result;
}

int RecordDatabase::insertLocked(const RecordRow &row)
{
    return runFormattedLocked("INSERT INTO Record(time,model,name,slave,channel,factor,unit,value,"
                              "status) VALUES(%Q,%Q,%Q,%d,%d,%Q,%Q,%Q,%Q)",
                              row.time.c_str(), row.model.c_str(), row.name.c_str(), int(row.slave),
                              int(row.channel), row.factor.c_str(), row.unit.c_str(),
                              row.value.c_str(), row.status.c_str());
}

void RecordDatabase::commitLocked(const std::vector<PendingInsert *> &batch)
{
    if (batch.size() > 1 && runLocked("BEGIN IMMEDIATE") == 0) {
        bool ok = true;
        for (const PendingInsert *entry : batch)
            ok = ok && insertLocked(*entry->row) == 0;
        if (ok && runLocked("COMMIT") == 0) {
            for (PendingInsert *entry : batch)
                entry->result = 0;
            return;
        }
        runLocked("ROLLBACK");
    }
    // One row, or a batch that failed as a whole: each row on its own, so that every caller
    // gets its own row's result.
    for (PendingInsert *entry : batch)
        entry->result = insertLocked(*entry->row);
}

int RecordDatabase::clear()
{
    auto locked = lock();
    const int rc = runLocked("DELETE FROM Record");
    if (rc != 0)
        return rc;
    return runLocked("UPDATE sqlite_sequence SET seq = 0 WHERE name ='Record'");
}

int RecordDatabase::removeByName(const std::string &name)
{
    return runFormatted("DELETE FROM Record WHERE name = %Q", name.c_str());
}

int RecordDatabase::vacuum()
{
    return run("VACUUM");
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

int RecordDatabase::backupDatabase(int kind)
{
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

    // Holding the lock keeps every statement, and so every half-written page, off the file.
    auto locked = lock();
    return copyToNewFile(QString::fromStdString(getPath()), target) ? 0 : -1;
}

int RecordDatabase::importDatabase(int kind, const std::string &source)
{
    if (kind != RecordDb)
        return 0;
    const std::string incoming = getPath() + ".import";
    auto locked = lock();
    removeWithJournal(incoming);
    // The copy, not the operator's file, is checked and then moved into place.
    if (!copyToNewFile(QString::fromStdString(source), QString::fromStdString(incoming)) ||
        !holdsRecordTable(incoming)) {
        removeWithJournal(incoming);
        return -1;
    }
    closeLocked();
    if (std::rename(incoming.c_str(), getPath().c_str()) != 0) {
        removeWithJournal(incoming);
        openLocked();
        return -1;
    }
    return openLocked() == 0 ? 0 : -1;
}

int RecordDatabase::createDatabase(int kind)
{
    if (kind != RecordDb)
        return 0;
    return create() == 0 ? 0 : -1;
}
