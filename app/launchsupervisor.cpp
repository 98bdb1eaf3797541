#include "launchsupervisor.h"

#include <QElapsedTimer>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <vector>

namespace {

// Touched by the handler: only plain loads and stores, and kill(2).
volatile std::sig_atomic_t runningChild = 0;
volatile std::sig_atomic_t stopAsked = 0;

void onStopSignal(int signal, siginfo_t *info, void *)
{
    stopAsked = signal;
    // A signal from the terminal reaches the whole process group, the station included; a
    // second one would end it at once instead of in order.
    if (info && info->si_code == SI_KERNEL)
        return;
    const pid_t child = pid_t(runningChild);
    if (child > 0)
        ::kill(child, signal);
}

QString signalText(int signal)
{
    const char *name = ::strsignal(signal);
    return QStringLiteral("%1 (%2)").arg(signal).arg(QString::fromLocal8Bit(name ? name : "?"));
}

} // namespace

LaunchSupervisor::LaunchSupervisor(const QString &program, const QStringList &arguments)
    : program(program), arguments(arguments)
{
    // Shared by the copies of the function.
    auto clock = std::make_shared<QElapsedTimer>();
    clock->start();
    now = [clock] { return clock->elapsed(); };
    // Short steps, so that a stop during the pause is not followed by a start.
    wait = [](qint64 ms) {
        while (ms > 0 && stopAsked == 0) {
            const qint64 step = std::min<qint64>(ms, 100);
            const timespec pause{time_t(step / 1000), long(step % 1000) * 1000000L};
            ::nanosleep(&pause, nullptr);
            ms -= step;
        }
    };
    write = [](const QString &, const QString &) {};
}

void LaunchSupervisor::passOnStopSignals()
{
    struct sigaction action = {};
    action.sa_sigaction = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    for (int signal : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(signal, &action, nullptr);
}

QString LaunchSupervisor::gaveUpText(int restarts)
{
    return QStringLiteral("监测站程序在 %1 分钟内异常结束并重新启动了 %2 次，仍然异常结束，"
                          "已停止自动重新启动。请查看日志文件夹中的 hydrovane.log，"
                          "排除故障后手动启动监测站程序。")
        .arg(RestartRule::windowMs / 60000)
        .arg(restarts);
}

int LaunchSupervisor::runOnce()
{
    std::vector<QByteArray> texts;
    texts.push_back(program.toLocal8Bit());
    for (const QString &argument : arguments)
        texts.push_back(argument.toLocal8Bit());
    std::vector<char *> argv;
    for (QByteArray &text : texts)
        argv.push_back(text.data());
    argv.push_back(nullptr);

    const pid_t child = ::fork();
    if (child < 0)
        return -1;
    if (child == 0) {
        for (int signal : {SIGTERM, SIGINT, SIGHUP})
            ::signal(signal, SIG_DFL);
        ::execvp(argv[0], argv.data());
        _exit(127);
    }
    runningChild = child;
    int status = 0;
    pid_t ended;
    do {
        ended = ::waitpid(child, &status, 0);
    } while (ended < 0 && errno == EINTR);
    runningChild = 0;
    return ended == child ? status : -1;
}

int LaunchSupervisor::run()
{
    gaveUpAfterLoop = false;
    for (;;) {
        const int status = runOnce();
        if (status < 0) {
            write(QStringLiteral("critical"),
                  QStringLiteral("无法启动监测站程序 %1: %2")
                      .arg(program, QString::fromLocal8Bit(std::strerror(errno))));
            return 127;
        }
        const int code = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
        if (stopAsked != 0 || !RestartRule::isAbnormal(status))
            return code;
        const qint64 pause = rule.nextPause(now());
        if (pause < 0) {
            gaveUpAfterLoop = true;
            write(QStringLiteral("critical"),
                  QStringLiteral("监测站程序被信号 %1 终止。").arg(signalText(WTERMSIG(status))) +
                      gaveUpText(restartCount));
            return code;
        }
        write(QStringLiteral("warning"),
              QStringLiteral("监测站程序被信号 %1 终止，%2 秒后重新启动(%3 分钟内第 %4 次)")
                  .arg(signalText(WTERMSIG(status)))
                  .arg(pause / 1000.0)
                  .arg(RestartRule::windowMs / 60000)
                  .arg(rule.restartsInWindow()));
        wait(pause);
        if (stopAsked != 0)
            return code;
        ++restartCount;
    }
}
