#include "backupschedule.h"

#include <algorithm>

namespace {

// Clock corrections smaller than this (time servers) are not a clock set back.
const qint64 toleranceMs = 60 * 1000;

} // namespace

QDateTime BackupSchedule::latestSlot(const QDateTime &time) const
{
    if (current.mode == AutoBackupSettings::Off || !time.isValid())
        return QDateTime();
    QDate day = time.date();
    QDateTime slot(day, current.at);
    if (slot > time) {
        day = day.addDays(-1);
        slot = QDateTime(day, current.at);
    }
    if (current.mode == AutoBackupSettings::Weekly) {
        const int back = (day.dayOfWeek() - current.weekday + 7) % 7;
        slot = QDateTime(day.addDays(-back), current.at);
    }
    return slot;
}

QDateTime BackupSchedule::nextSlot(const QDateTime &slot) const
{
    if (!slot.isValid())
        return QDateTime();
    return QDateTime(slot.date().addDays(current.mode == AutoBackupSettings::Weekly ? 7 : 1),
                     current.at);
}

QDateTime BackupSchedule::firstSlotFrom(const QDateTime &time) const
{
    const QDateTime latest = latestSlot(time);
    return latest == time ? latest : nextSlot(latest);
}

void BackupSchedule::restore(const State &state)
{
    last = state;
    confirmedMonotonic = -1;
}

bool BackupSchedule::isDue(const QDateTime &now, qint64 monotonicMs, bool *changed)
{
    if (changed)
        *changed = false;
    const QDateTime slot = latestSlot(now);
    if (!slot.isValid())
        return false;
    if (!last.covered.isValid()) {
        last = State{slot, now};
        confirmedMonotonic = monotonicMs;
        if (changed)
            *changed = true;
        return false;
    }
    if (confirmedMonotonic >= 0 && last.confirmed.isValid()) {
        // Where the clock would be had nobody set it since the last check.
        const QDateTime expected = last.confirmed.addMSecs(monotonicMs - confirmedMonotonic);
        const qint64 shiftMs = expected.msecsTo(now);
        if (shiftMs < -toleranceMs) {
            last.covered = firstSlotFrom(last.covered.addMSecs(shiftMs));
            if (changed)
                *changed = true;
        }
    } else if (last.confirmed.isValid() && now.msecsTo(last.confirmed) > toleranceMs) {
        // Set back while the station was not running: by how much is not known.
        last.covered = std::min(last.covered, slot);
        if (changed)
            *changed = true;
    }
    last.confirmed = now;
    confirmedMonotonic = monotonicMs;
    return slot > last.covered;
}

void BackupSchedule::markDone(const QDateTime &now, qint64 monotonicMs)
{
    const QDateTime slot = latestSlot(now);
    if (slot.isValid())
        last.covered = slot;
    last.confirmed = now;
    confirmedMonotonic = monotonicMs;
}
