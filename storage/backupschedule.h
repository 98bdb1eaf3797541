#ifndef BACKUPSCHEDULE_H
#define BACKUPSCHEDULE_H

#include "storage/autobackupsettings.h"

#include <QDateTime>

// When an automatic backup is due. The scheduled times (slots) are the settings' daily or
// weekly times in local time; a backup covers the latest slot at or before the moment it runs,
// and a slot is never covered twice. A slot passed while the station was not running is due at
// the next check, however many were missed (one backup).
//
// A clock set back is measured against a monotonic clock between checks: the covered slot
// moves back with it, to the first slot at or after where it lands, so no slot is covered
// twice and a clock set back a whole period gets the next backup a period after the last in
// real time. Set back while the station was not running (no monotonic reading), the latest
// slot before the clock's time counts as covered.
class BackupSchedule
{
public:
    void setSettings(const AutoBackupSettings &settings) { current = settings; }
    const AutoBackupSettings &settings() const { return current; }

    // The latest slot at or before time; invalid while off.
    QDateTime latestSlot(const QDateTime &time) const;
    // The first slot after slot.
    QDateTime nextSlot(const QDateTime &slot) const;

    // What the last backup covered, and when the station last confirmed it (wall clock): read
    // from and written to the state file.
    struct State
    {
        QDateTime covered;
        QDateTime confirmed;
    };
    void restore(const State &state);
    const State &state() const { return last; }

    // Whether a backup is due at now, monotonicMs being a monotonic clock's reading at the same
    // moment. Takes a clock set back into account first; *changed tells that the state moved
    // (to be written). A first check without any state covers the latest slot, so that a new
    // station waits for the next scheduled time.
    bool isDue(const QDateTime &now, qint64 monotonicMs, bool *changed = nullptr);
    // A backup ran (or was tried) at now for the slot isDue saw.
    void markDone(const QDateTime &now, qint64 monotonicMs);

private:
    QDateTime firstSlotFrom(const QDateTime &time) const;

    AutoBackupSettings current;
    State last;
    // The monotonic reading at last.confirmed; -1 when not known in this run.
    qint64 confirmedMonotonic = -1;
};

#endif // BACKUPSCHEDULE_H
