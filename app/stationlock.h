#ifndef STATIONLOCK_H
#define STATIONLOCK_H

#include <QString>

#include <mutex>

// Keeps a second process off a station folder: exclusive flock(2)s on the folder itself and on
// the file hydrovane.lock in it, held through descriptors that stay open until release. The
// kernel drops them when the process ends in any way, so a crashed station never blocks the
// next start. The folder's lock still keeps a second station out when the file is deleted under
// a running one; the file is taken again by check(). The lock file is never followed through a
// link and never truncated: anything but a regular file of this user or of the folder's group in
// its place is refused. Thread-safe.
class StationLock
{
public:
    enum Result
    {
        Acquired = 0,
        HeldElsewhere = 1, // another open of the folder or the lock file holds it
        Unavailable = 2,   // neither the folder nor the lock file can be locked at all
        Refused = 3,       // something else is in the lock file's place; problem() says what
    };
    // What check() found.
    enum Check
    {
        Intact = 0,         // the lock file is still the one held (or nothing is held)
        Retaken = 1,        // it was deleted or replaced; a new one is locked now
        TakenElsewhere = 2, // its replacement is locked by another process
        Replaced = 3,       // something that is refused is in its place now; problem() says what
    };

    StationLock() = default;
    ~StationLock();
    StationLock(const StationLock &) = delete;
    StationLock &operator=(const StationLock &) = delete;

    // Takes the lock of the folder without waiting; a lock held on another folder is released
    // first, and the one already held on this folder is kept.
    Result acquire(const QString &folder);
    void release();
    // Whether the lock file held is still the one in the folder; when it is gone or another
    // file, takes the one there now (creating it). The folder's lock stays held throughout.
    Check check();

    bool isHeld() const;
    // The folder locked; empty when nothing is held.
    QString folder() const;
    // The operator's text of the last refusal or lost lock file; empty when there is none.
    QString problem() const;
    static QString lockFilePath(const QString &folder);

private:
    // Opens and locks the lock file of lockedFolder; *fd gets it on Acquired.
    Result takeFile(const QString &folder, int *fd);
    void releaseLocked();

    mutable std::mutex mutex;
    int folderDescriptor = -1;
    int fileDescriptor = -1;
    QString lockedFolder;
    QString lastProblem;
};

#endif // STATIONLOCK_H
