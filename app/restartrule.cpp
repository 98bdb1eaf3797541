#include "restartrule.h"

#include <csignal>
#include <sys/wait.h>

bool RestartRule::isAbnormal(int waitStatus)
{
    if (!WIFSIGNALED(waitStatus))
        return false;
    const int signal = WTERMSIG(waitStatus);
    return signal != SIGTERM && signal != SIGINT && signal != SIGHUP;
}

qint64 RestartRule::nextPause(qint64 nowMs)
{
    while (!restarts.empty() && nowMs - restarts.front() >= windowMs)
        restarts.pop_front();
    if (int(restarts.size()) >= maxRestarts)
        return -1;
    // The pause grows with the restarts still inside the window: a station that ran well for
    // ten minutes starts again at the shortest pause.
    const qint64 pause = firstPauseMs << restarts.size();
    restarts.push_back(nowMs);
    return pause;
}
