#ifndef RECORDDATABASE_H
#define RECORDDATABASE_H

#include "storage/recordrow.h"
#include "storage/zircondatabase.h"

#include <condition_variable>
#include <string>
#include <vector>

// The record file db/record.zdb with its table Record: the statements the station runs on it
// and the file-level backup, import and re-creation. Statements pass on the library's result
// (0 = success); file-level operations return 0 or -1.
//
// insert may be called from several threads at once: rows that arrive while a commit runs are
// committed together in the next transaction. insert returns only once its row is on disk.
class RecordDatabase : public ZirconDatabase
{
public:
    explicit RecordDatabase(const std::string &path);

    int insert(const RecordRow &row);
    // Deletes every row and resets the row numbering, so the next row gets uid 1.
    int clear();
    int removeByName(const std::string &name);
    int vacuum();
    // Appends the rows matching condition (text from the append...Condition builders, or empty
    // for all rows) ordered by name, channel, then newest first. Rows delivered before a
    // failure stay in the list. The rows are the caller's, released with freeRows.
    int query(const std::string &condition, std::vector<RecordRow *> &rows);
    // Appends every stored monitor name once, in ascending order.
    int distinctNames(std::vector<std::string> &names);
    // Deletes every row of the list; emptying the list is the caller's. Returns 0.
    static int freeRows(std::vector<RecordRow *> &rows);

    // Each appends " WHERE " (first) or " AND ", then the quoted condition.
    static void appendChannelCondition(std::string &condition, int channel, bool first);
    static void appendNameCondition(std::string &condition, const std::string &name, bool first);
    static void appendTimeCondition(std::string &condition, const std::string &from,
                                    const std::string &to, bool first);

    // The file-level operations act only for kind RecordDb; other kinds return 0.
    // Copies the file into the backup folder as record_yyyyMMdd.zdb, record1_yyyyMMdd.zdb, ...
    // never overwriting a file. -1 when the copy fails or the folder is missing.
    int backupDatabase(int kind);
    // Replaces the file by a copy of source, which must open with the pass phrase and hold
    // table Record; otherwise -1 and the current file stays as it was.
    int importDatabase(int kind, const std::string &source);
    // Replaces the file by an empty one holding the table. -1 when it cannot be made.
    int createDatabase(int kind);

protected:
    void opened() override;

private:
    struct PendingInsert
    {
        const RecordRow *row;
        int result;
        bool done;
    };

    int insertLocked(const RecordRow &row);
    void commitLocked(const std::vector<PendingInsert *> &batch);

    std::mutex queueMutex;
    std::condition_variable committed;
    std::vector<PendingInsert *> pending;
    bool committing = false;
    // The name index turns the distinct-name listing into one seek per name.
    bool nameIndexReady = false;
};

#endif // RECORDDATABASE_H
