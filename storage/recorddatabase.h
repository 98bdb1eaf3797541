#ifndef RECORDDATABASE_H
#define RECORDDATABASE_H

#include "storage/alarmrow.h"
#include "storage/recordrow.h"
#include "storage/zircondatabase.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

// The record file db/record.zdb with its table Record: the statements the station runs on it
// and the file-level backup, import and re-creation. Statements pass on the library's result
// (0 = success); file-level operations return 0 or -1.
//
// insert may be called from several threads at once: rows that arrive while a commit runs are
// committed together in the next transaction. insert returns only once its row is on disk;
// insertRows does the same for several rows at once, in one transaction when they all go in.
//
// Long work runs on connections of its own, so that it never holds the lock the inserts and
// the other statements wait for: clear, clearUpTo, removeByName, vacuum and backupDatabase (on
// the caller's thread, meant to be a worker), and the building of a missing index (on a thread
// of this object, started at open). Meanwhile an insert that cannot get at the file within a
// moment fails with SQLITE_BUSY, and the record writer stores the row later. Searches read
// through RecordReader.
class RecordDatabase : public ZirconDatabase
{
public:
    explicit RecordDatabase(const std::string &path);
    ~RecordDatabase() override;

    int insert(const RecordRow &row);
    // Inserts rows in their order; results gets each row's result, the call the first failure's.
    int insertRows(const std::vector<const RecordRow *> &rows, std::vector<int> &results);

    // The alarm log, table Alarm. Texts left empty are stored as NULL. *id gets the new row's id.
    int insertAlarm(const AlarmRow &alarm, int64_t *id);
    // updateAlarm's result when no row is the alarm's.
    static constexpr int NoAlarmRow = -2;
    // Sets cleared and reason, or acked, of the alarm's row: the row with id when it still is
    // the alarm's (same name, kind and raise time), else the newest row with the alarm's name,
    // slave, channel, kind and raise time (none because the insert was refused for good).
    // NoAlarmRow when no row matches.
    int updateAlarm(const AlarmRow &alarm, int64_t id, bool acknowledged);
    // Makes table Alarm again where it is missing (dropped under the station) and checks its
    // columns anew.
    int restoreAlarmTable();
    // Rows still active clear at time for reason.
    int clearOpenAlarms(const std::string &time, const std::string &reason);
    // Appends, oldest first, the rows still active (what a run that ended without clearing
    // them left) and the newest `waiting` of those that cleared waiting for an acknowledgement
    // (cleared by a build that gives the reason, not acknowledged).
    int openAlarms(std::vector<AlarmRow> &alarms, int waiting);
    // Deletes every row and resets the row numbering, so the next row gets uid 1. Of the
    // alarms only the cleared ones go: an active alarm's row must be there for its clear, and
    // one waiting for an acknowledgement for that. *removed, when given, gets the number of
    // records deleted (0 on failure).
    int clear(int64_t *removed = nullptr);
    // Deletes the rows with a uid up to uid (see backupDatabase and RecordReader::highestUid);
    // the numbering restarts only when the table ends up empty. Of the alarms it deletes those
    // the last backup of this object copied as cleared (and acknowledged, where the log waits
    // for that), none without a backup.
    int clearUpTo(int64_t uid);
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
    // never overwriting a file. -1 when the copy fails or the folder is missing. No row is
    // stored during the copy; *copiedUpTo, when given, gets the highest uid in the copy (0 for
    // an empty table), for a clear that must keep the rows stored after it. *written, when
    // given, gets the path of the copy (empty on failure).
    int backupDatabase(int kind, int64_t *copiedUpTo = nullptr, std::string *written = nullptr);
    // Copies the file to target, which must not exist, as backupDatabase does, but leaves what
    // a later clearUpTo deletes as it was (the automatic backups). 0 or -1.
    int copyTo(const std::string &target, int64_t *copiedUpTo = nullptr);
    // Copies a regular file to target, which must not exist, and syncs it. 0 or -1; a target
    // that could not be completed is removed.
    static int copyFile(const std::string &source, const std::string &target);
    // Why an import was refused. The record file stays as it was, unless putting it back after a
    // failed move or reopen failed too; keptFile then names where it is.
    enum ImportError
    {
        ImportOk = 0,
        ImportSourceUnreadable, // missing, unreadable, or not a regular file
        ImportNotStationFile,   // empty, not whole pages, or an unencrypted database
        ImportNotDecryptable,   // does not open with the pass phrase
        ImportDamaged,          // fails the page or the structure check
        ImportNoRecordTable,    // no table or view Record
        ImportCopyFailed,       // the copy could not be written, for example on a full disk
        ImportCannotKeepOld,    // the file being replaced could not be kept in the backup folder
        ImportCancelled,
        ImportSwapFailed,            // moving the copy into place or reopening it failed
        ImportRecordColumnsMismatch, // table Record lacks a column, or requires another one
    };
    struct ImportReport
    {
        ImportError error = ImportOk;
        // The replaced file, kept in the backup folder: importing it undoes the import. Empty
        // when nothing was replaced, or when a failed import put it back in place. Where it
        // could not be copied into a backup folder on another file system, it stays beside the
        // record file as record.zdb.replaced[n].
        std::string keptFile;
        // The records the imported file holds; -1 until its copy passed the checks.
        int64_t rows = -1;
        // Older replaced files deleted from the backup folder, beyond the newest keptLimit.
        int removedKept = 0;
    };
    // Replaced files kept in the backup folder: each one is a whole record file, and imports
    // back and forth would fill the disk with them.
    static constexpr int keptLimit = 10;
    // Bytes copied so far and the source's size; called after each copied block and once more
    // when the copy passed its checks, never under the database lock. Returning false cancels
    // the import.
    using ImportProgress = std::function<bool(int64_t done, int64_t total)>;

    // The step of an import that puts the checked copy in place of the file. Called with the
    // import time (seconds since the epoch), it closes the alarm rows still active in the file
    // being replaced and in the copy at that time, then swaps; true when the copy is in place.
    using Swap = std::function<bool(int64_t time)>;
    // Runs swap exactly once, where the alarm log may change files (AlarmRules::switchLog);
    // without one, the swap runs at once with the current time.
    using SwapRunner = std::function<void(const Swap &swap)>;

    // Replaces the file by a copy of source once the whole copy has passed the checks under
    // the pass phrase, and keeps the replaced file in the backup folder as
    // record_replaced_yyyyMMddhhmmss[_n].zdb, deleting the oldest of those beyond keptLimit.
    // 0 = replaced, -1 = refused or failed, with the reason in report. Inserts go on into the
    // current file while the copy is made and checked.
    int importDatabase(int kind, const std::string &source, ImportReport *report = nullptr,
                       const ImportProgress &progress = ImportProgress(),
                       const SwapRunner &runSwap = SwapRunner());
    // Opens a copy read-only under the pass phrase and checks it as an import does (every page,
    // the structure, the table Record); *rows gets its records (-1 when it fails).
    static ImportError verifyCopy(const std::string &path, int64_t *rows = nullptr);
    // Replaces the file by an empty one holding the table. -1 when it cannot be made.
    int createDatabase(int kind);

    // The indexes searches and the name listing use. A file opened without them gets them
    // built in the background; a build stopped by a close is started again at the next open.
    enum IndexState
    {
        IndexesReady,
        IndexesBuilding,
        IndexesMissing, // closed before they were built, or the build failed
    };
    IndexState indexState() const { return indexes.load(); }

protected:
    void opened() override;
    void closing() override;

private:
    struct PendingInsert
    {
        const RecordRow *row;
        int result;
        bool done;
    };

    // Copies the record file to target while no writer can change it; highestUid gets the
    // highest uid in the copy.
    ImportError copyLiveFile(const std::string &target, unsigned mode, int64_t *copied,
                             int64_t *highestUid, std::string *alarmCut = nullptr);
    // Under the lock: keeps the live file, moves the checked copy over it and reopens. A keeping
    // copy onto another file system is made afterwards, without the lock.
    ImportError swapIn(const std::string &incoming, ImportReport &report, int64_t time);
    // Under the lock: alarm rows still active clear at time for reason.
    int clearOpenAlarmsLocked(const std::string &time, const std::string &reason);
    // Under the lock: gives an Alarm table of an older build the reason column, once.
    int addReasonColumnLocked();
    int insertLocked(const RecordRow &row);
    void commitLocked(const std::vector<PendingInsert *> &batch);

    std::mutex queueMutex;
    std::condition_variable committed;
    std::vector<PendingInsert *> pending;
    bool committing = false;
    // One import at a time: they share the name of the copy being checked.
    std::mutex importMutex;
    // Builds the missing indexes on a connection of its own (builder thread).
    void buildIndexes();
    void stopIndexBuild();
    // Opens a connection of its own, runs sql on it, closes it.
    int runOnOwnConnection(const char *sql, void *user = nullptr, RowCallback callback = nullptr);

    // Table Alarm has the column reason.
    std::atomic<bool> alarmReason{false};
    // The name index turns the distinct-name listing into one seek per name.
    std::atomic<bool> nameIndexReady{false};
    std::atomic<IndexState> indexes{IndexesMissing};
    std::thread indexBuilder;
    std::mutex builderMutex; // guards builderHandle and stopBuild
    std::condition_variable builderWake;
    zircon_db *builderHandle = nullptr;
    bool stopBuild = false;
    // Work on a connection of its own takes it shared, the replacing of the file exclusively,
    // so that such work never lands in a file that is no longer the record file.
    std::shared_mutex fileMutex;
    // The condition selecting the alarm rows the last backup copied as cleared; empty before.
    std::mutex alarmCutMutex;
    std::string alarmCut;
};

#endif // RECORDDATABASE_H
