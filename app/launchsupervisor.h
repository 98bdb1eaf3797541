#ifndef LAUNCHSUPERVISOR_H
#define LAUNCHSUPERVISOR_H

#include "app/restartrule.h"

#include <QString>
#include <QStringList>

#include <functional>

// The packaged launcher's work: runs the station as its child and starts it again after an
// abnormal end, as RestartRule allows, writing each restart to the log. A stop signal sent to
// the launcher itself is passed on and ends the supervision; a confirmed exit, an orderly stop
// or a refusal to start is never followed by a restart.
class LaunchSupervisor
{
public:
    // Monotonic milliseconds; waits; one line for the log. Replaceable so that a test runs fast.
    using Clock = std::function<qint64()>;
    using Pause = std::function<void(qint64 ms)>;
    using Log = std::function<void(const QString &level, const QString &line)>;

    LaunchSupervisor(const QString &program, const QStringList &arguments);

    void setClock(const Clock &clock) { now = clock; }
    void setPause(const Pause &pause) { wait = pause; }
    void setLog(const Log &log) { write = log; }

    // Runs until the station ends for good. Returns the exit code to leave with: the
    // station's own, 128 + the signal that killed it, or 127 when it could not be started.
    int run();
    // The restarts were used up: the last run ended abnormally and none followed.
    bool gaveUp() const { return gaveUpAfterLoop; }
    int restarts() const { return restartCount; }

    // The text the launcher leaves in the log and on the desktop when it gives up.
    static QString gaveUpText(int restarts);

    // Installs the handlers that pass TERM, INT and HUP on to the running child (once per
    // process, before run).
    static void passOnStopSignals();

private:
    // Starts the program and waits for it; the waitpid status, or -1 when it did not start.
    int runOnce();

    QString program;
    QStringList arguments;
    Clock now;
    Pause wait;
    Log write;
    RestartRule rule;
    bool gaveUpAfterLoop = false;
    int restartCount = 0;
};

#endif // LAUNCHSUPERVISOR_H
