#ifndef STATIONLOCK_H
#define STATIONLOCK_H

#include <QString>

// Keeps a second process off a station folder: an exclusive flock(2) on a file in the folder,
// held through a descriptor that stays open until release. The kernel drops it when the
// process ends in any way, so a crashed station never blocks the next start.
class StationLock
{
public:
    enum Result {
        Acquired = 0,
        HeldElsewhere = 1, // another open of the lock file holds it, normally another process
        Unavailable = 2,   // the lock file cannot be opened or locked at all
    };

    StationLock() = default;
    ~StationLock();
    StationLock(const StationLock &) = delete;
    StationLock &operator=(const StationLock &) = delete;

    // Takes the lock of the folder without waiting; a lock held on another folder is released
    // first, and the one already held on this folder is kept.
    Result acquire(const QString &folder);
    void release();

    bool isHeld() const { return descriptor >= 0; }
    // The folder locked; empty when nothing is held.
    QString folder() const { return lockedFolder; }
    static QString lockFilePath(const QString &folder);

private:
    int descriptor = -1;
    QString lockedFolder;
};

#endif // STATIONLOCK_H
