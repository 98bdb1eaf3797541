#include "alarmreader.h"

#include "storage/zircon.h"
#include "storage/zircondatabase.h"

#include <cstdlib>

namespace {

// Writers hold the file for milliseconds, a clear or a vacuum for seconds.
const int readerBusyTimeoutMs = 30000;

const char *const countAlarmTable =
    "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = 'Alarm'";

struct Collect
{
    std::vector<AlarmReader::Entry> *entries;
    const std::atomic<bool> *cancelled;
};

std::string text(const char *value)
{
    return value ? std::string(value) : std::string();
}

int number(const char *value)
{
    if (!value)
        return 0;
    const long parsed = std::strtol(value, nullptr, 10);
    return parsed > INT32_MAX ? INT32_MAX : parsed < INT32_MIN ? INT32_MIN : int(parsed);
}

int collectEntry(void *user, int columns, char **texts)
{
    Collect &collect = *static_cast<Collect *>(user);
    if (collect.cancelled->load(std::memory_order_relaxed) || columns < 11)
        return 1;
    AlarmReader::Entry entry;
    entry.id = texts[0] ? std::strtoll(texts[0], nullptr, 10) : 0;
    entry.name = text(texts[1]);
    entry.slave = number(texts[2]);
    entry.channel = number(texts[3]);
    entry.factor = text(texts[4]);
    entry.kind = text(texts[5]);
    entry.value = text(texts[6]);
    entry.alarmPoint = text(texts[7]);
    entry.raised = text(texts[8]);
    entry.cleared = text(texts[9]);
    entry.acked = text(texts[10]);
    if (columns > 11)
        entry.reason = text(texts[11]);
    collect.entries->push_back(std::move(entry));
    return 0;
}

// Sets *user when a row of PRAGMA table_info names the column reason.
int findReason(void *user, int columns, char **texts)
{
    if (columns > 1 && texts[1] && std::string(texts[1]) == "reason")
        *static_cast<bool *>(user) = true;
    return 0;
}

void appendTerm(std::string &sql, bool &first, char *term)
{
    sql += first ? " WHERE " : " AND ";
    first = false;
    sql += term;
    zircon_destroy_sql(term);
}

} // namespace

AlarmReader::AlarmReader(const std::string &path) : path(path) {}

AlarmReader::~AlarmReader()
{
    std::lock_guard<std::mutex> guard(handleMutex);
    zircon_close(handle);
}

void AlarmReader::cancel()
{
    std::lock_guard<std::mutex> guard(handleMutex);
    cancelled = true;
    if (handle)
        zircon_interrupt(handle, 1);
}

int AlarmReader::open()
{
    std::lock_guard<std::mutex> guard(handleMutex);
    if (handle)
        return 0;
    zircon_db *opened = nullptr;
    int rc = ZirconDatabase::openKeyedConnection(path, &opened, readerBusyTimeoutMs, true);
    if (rc != 0)
        return rc;
    // An older file that the station has not opened since has no log yet.
    int64_t tables = 0;
    rc = zircon_run_sql(opened, countAlarmTable, &tables, ZirconDatabase::readInteger);
    if (rc != 0) {
        zircon_close(opened);
        return rc;
    }
    hasTable = tables > 0;
    // Logs of older builds have no reason for their clears.
    hasReason = false;
    if (hasTable)
        zircon_run_sql(opened, "PRAGMA table_info(Alarm)", &hasReason, findReason);
    if (cancelled)
        zircon_interrupt(opened, 1);
    handle = opened;
    return 0;
}

int AlarmReader::run(const std::string &sql, void *user, int (*callback)(void *, int, char **))
{
    if (cancelled)
        return Cancelled;
    const int opened = open();
    if (opened != 0)
        return cancelled ? Cancelled : opened;
    if (!hasTable)
        return 0;
    // Only this thread closes the handle, so it stays valid without the lock.
    const int rc = zircon_run_sql(handle, sql.c_str(), user, callback);
    return rc != 0 && cancelled ? Cancelled : rc;
}

int AlarmReader::read(const std::string &from, const std::string &to, const std::string &name,
                      std::vector<Entry> &entries)
{
    if (const int opened = open())
        return cancelled ? Cancelled : opened;
    std::string sql = "SELECT id,name,slave,channel,factor,kind,value,alarmpoint,raised,cleared,"
                      "acked";
    sql += hasReason ? ",reason FROM Alarm" : " FROM Alarm";
    bool first = true;
    if (!from.empty())
        appendTerm(sql, first, zircon_create_sql("raised >= %Q", from.c_str()));
    if (!to.empty())
        appendTerm(sql, first, zircon_create_sql("raised <= %Q", to.c_str()));
    if (!name.empty())
        appendTerm(sql, first, zircon_create_sql("name = %Q", name.c_str()));
    sql += " ORDER BY cleared IS NULL DESC, raised, id";
    Collect collect{&entries, &cancelled};
    return run(sql, &collect, collectEntry);
}

int AlarmReader::distinctNames(std::vector<std::string> &names)
{
    return run("SELECT DISTINCT name FROM Alarm WHERE name IS NOT NULL ORDER BY name", &names,
               ZirconDatabase::appendText);
}
