#include "recordreader.h"

#include "storage/zircon.h"
#include "storage/zircondatabase.h"

#include <sqlite3.h>

#include <cctype>
#include <cstdlib>
#include <strings.h>

namespace {

// Writers hold the file for milliseconds; a clear, a vacuum or the end of an index build for
// seconds. A cancel ends the wait at once.
const int readerBusyTimeoutMs = 30000;

const char *const selectPageColumns =
    "SELECT time,model,name,slave,channel,factor,unit,value,status,uid,quote(time) FROM Record";

const char *const selectNamesBySeeking =
    "WITH RECURSIVE names(name) AS (SELECT min(name) FROM Record UNION ALL "
    "SELECT (SELECT min(name) FROM Record WHERE name > names.name) FROM names "
    "WHERE names.name IS NOT NULL) SELECT name FROM names WHERE name IS NOT NULL";
// Without the name index the seeks would each read the whole table.
const char *const selectNamesByScanning =
    "SELECT DISTINCT name FROM Record WHERE name IS NOT NULL ORDER BY name";
const char *const countNameIndex = "SELECT count(*) FROM sqlite_master WHERE type = 'index' AND "
                                   "name = 'Record_name_time' AND tbl_name = 'Record'";

void assign(std::string &target, const char *value)
{
    if (value)
        target.assign(value);
    else
        target.clear();
}

int32_t number(const char *value)
{
    if (!value)
        return 0;
    const long parsed = std::strtol(value, nullptr, 10);
    return parsed > INT32_MAX ? INT32_MAX : parsed < INT32_MIN ? INT32_MIN : int32_t(parsed);
}

struct PageState
{
    std::vector<RecordRow> *page;
    size_t filled;
    int64_t lastUid;
    // The last row's time as an SQL literal of its own type.
    std::string lastTime;
    const std::atomic<bool> *cancelled;
};

int collectRow(void *user, int columns, char **texts)
{
    PageState &state = *static_cast<PageState *>(user);
    if (state.cancelled->load(std::memory_order_relaxed))
        return 1;
    if (columns < 11)
        return 1;
    std::vector<RecordRow> &page = *state.page;
    // Rows of earlier pages are filled again, so their strings' storage is reused.
    if (state.filled == page.size())
        page.emplace_back();
    RecordRow &row = page[state.filled++];
    assign(row.time, texts[0]);
    assign(row.model, texts[1]);
    assign(row.name, texts[2]);
    row.slave = number(texts[3]);
    row.channel = number(texts[4]);
    assign(row.factor, texts[5]);
    assign(row.unit, texts[6]);
    assign(row.value, texts[7]);
    assign(row.status, texts[8]);
    state.lastUid = texts[9] ? std::strtoll(texts[9], nullptr, 10) : 0;
    assign(state.lastTime, texts[10]);
    return 0;
}

// The condition's own terms, without its WHERE; false when the text is neither empty nor a WHERE
// clause.
bool conditionTerms(const std::string &condition, std::string &terms)
{
    size_t start = 0;
    while (start < condition.size() && std::isspace(static_cast<unsigned char>(condition[start])))
        ++start;
    if (start == condition.size()) {
        terms.clear();
        return true;
    }
    if (condition.size() - start < 6 || strncasecmp(condition.c_str() + start, "WHERE", 5) != 0 ||
        !std::isspace(static_cast<unsigned char>(condition[start + 5])))
        return false;
    terms = condition.substr(start + 5);
    return true;
}

} // namespace

RecordReader::RecordReader(const std::string &path) : path(path) {}

RecordReader::~RecordReader()
{
    close();
}

int RecordReader::open()
{
    std::lock_guard<std::mutex> guard(handleMutex);
    if (handle)
        return 0;
    zircon_db *opened = nullptr;
    const int rc =
        ZirconDatabase::openKeyedConnection(path, &opened, readerBusyTimeoutMs, true);
    if (rc != 0)
        return rc;
    if (cancelled)
        zircon_interrupt(opened, 1);
    handle = opened;
    return 0;
}

void RecordReader::close()
{
    std::lock_guard<std::mutex> guard(handleMutex);
    zircon_close(handle);
    handle = nullptr;
}

bool RecordReader::isOpen() const
{
    std::lock_guard<std::mutex> guard(handleMutex);
    return handle != nullptr;
}

void RecordReader::cancel()
{
    std::lock_guard<std::mutex> guard(handleMutex);
    cancelled = true;
    if (handle)
        zircon_interrupt(handle, 1);
}

void RecordReader::resetCancel()
{
    std::lock_guard<std::mutex> guard(handleMutex);
    cancelled = false;
    if (handle)
        zircon_interrupt(handle, 0);
}

int RecordReader::runChecked(const std::string &sql, void *user,
                             int (*callback)(void *, int, char **))
{
    if (cancelled)
        return Cancelled;
    const int opened = open();
    if (opened != 0)
        return cancelled ? Cancelled : opened;
    // Only this thread closes the handle, so it stays valid without the lock.
    const int rc = zircon_run_sql(handle, sql.c_str(), user, callback);
    // Interrupted, or stopped by the row callback.
    return rc != 0 && cancelled ? Cancelled : rc;
}

int RecordReader::read(const std::string &condition, const PageHandler &handler, int pageRows)
{
    std::string terms;
    if (!conditionTerms(condition, terms) || !handler)
        return SQLITE_MISUSE;
    if (pageRows < 1)
        pageRows = defaultPageRows;
    const std::string limit = " LIMIT " + std::to_string(pageRows);
    const std::string where = std::string(selectPageColumns) + " WHERE ";
    // Parenthesised, so that an OR in the condition cannot swallow the paging terms. For the
    // rows without a time the condition is only a filter: seeking by its terms (a time range,
    // a name) would read every matching row to find none without a time.
    const std::string timed = terms.empty() ? where : where + "(" + terms + ") AND ";
    const std::string untimed =
        terms.empty() ? where : where + "CASE WHEN (" + terms + ") THEN 1 END AND ";
    const int rc = readPages(untimed, limit, true, handler, pageRows);
    return rc != 0 ? rc : readPages(timed, limit, false, handler, pageRows);
}

int RecordReader::readPages(const std::string &head, const std::string &limit, bool nullTimes,
                            const PageHandler &handler, int pageRows)
{
    std::vector<RecordRow> page;
    PageState state{&page, 0, 0, std::string(), &cancelled};
    for (bool first = true;; first = false) {
        std::string sql = head;
        if (nullTimes) {
            // Rows without a time: the index on time keeps them in uid order.
            sql += first ? std::string("time IS NULL")
                         : "time IS NULL AND uid > " + std::to_string(state.lastUid);
            sql += " ORDER BY uid";
        } else if (first) {
            sql += "time IS NOT NULL ORDER BY time,uid";
        } else {
            // Equal times may straddle the page boundary: the uid orders them. The page's lower
            // bound is a BETWEEN after the condition's own: of equally rated ranges, SQLite 3.15
            // seeks by the last, and with a plain >= every page sought from the start of the
            // condition's time range, so that a search read its rows again for each page.
            sql += "time BETWEEN " + state.lastTime +
                   " AND (SELECT max(time) FROM Record) AND (time > " + state.lastTime +
                   " OR uid > " + std::to_string(state.lastUid) + ") ORDER BY time,uid";
        }
        sql += limit;
        state.filled = 0;
        const int rc = runChecked(sql, &state, collectRow);
        if (rc != 0)
            return rc;
        page.resize(state.filled);
        if (!page.empty() && !handler(page))
            return Cancelled;
        if (cancelled)
            return Cancelled;
        if (state.filled < size_t(pageRows))
            return 0;
    }
}

int RecordReader::distinctNames(std::vector<std::string> &names)
{
    int64_t indexes = 0;
    const int rc = runChecked(countNameIndex, &indexes, ZirconDatabase::readInteger);
    if (rc != 0)
        return rc;
    return runChecked(indexes > 0 ? selectNamesBySeeking : selectNamesByScanning, &names,
                      ZirconDatabase::appendText);
}

int RecordReader::highestUid(int64_t &uid)
{
    uid = 0;
    return runChecked("SELECT max(uid) FROM Record", &uid, ZirconDatabase::readInteger);
}
