#ifndef RESTARTRULE_H
#define RESTARTRULE_H

#include <QtGlobal>

#include <deque>

// When the launcher starts the station again: only after an abnormal end (killed by a signal
// other than the three that stop it in order), at most maxRestarts times within windowMs,
// each pause twice the one before, starting at firstPauseMs.
class RestartRule
{
public:
    static constexpr int maxRestarts = 5;
    static constexpr qint64 windowMs = 10 * 60 * 1000;
    static constexpr qint64 firstPauseMs = 2000;

    // How a child ended, as waitpid tells it.
    static bool isAbnormal(int waitStatus);

    // An abnormal end at nowMs (a monotonic clock): the pause before the next start, or -1
    // when the restarts within the window are used up.
    qint64 nextPause(qint64 nowMs);
    int restartsInWindow() const { return int(restarts.size()); }

private:
    // The times of the restarts granted within the window, oldest first.
    std::deque<qint64> restarts;
};

#endif // RESTARTRULE_H
