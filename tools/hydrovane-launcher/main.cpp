// The packaged launcher: hydrovane-launcher PROGRAM [ARGUMENTS...] runs the station PROGRAM
// and starts it again after a crash (see LaunchSupervisor). Each restart, and giving up, goes
// to standard error and to log/hydrovane.log in the station folder; giving up also to a box.
#include "app/launchsupervisor.h"
#include "panels/messageboxes.h"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdio>

namespace {

// The folder the station will use: --station, then HYDROVANE_STATION, then the program's own.
QString stationDir(const QString &program, const QStringList &arguments)
{
    const int given = arguments.indexOf(QStringLiteral("--station"));
    if (given >= 0 && given + 1 < arguments.size())
        return arguments.at(given + 1);
    const QString environment = qEnvironmentVariable("HYDROVANE_STATION");
    if (!environment.isEmpty())
        return environment;
    return QFileInfo(program).absolutePath();
}

bool hasDisplay()
{
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    if (platform.startsWith("offscreen") || platform.startsWith("minimal"))
        return false;
    return !platform.isEmpty() || qEnvironmentVariableIsSet("DISPLAY") ||
           qEnvironmentVariableIsSet("WAYLAND_DISPLAY");
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc < 2) {
        std::fputs("用法: hydrovane-launcher 程序 [参数...]\n", stderr);
        return 2;
    }
    const QString program = QString::fromLocal8Bit(argv[1]);
    QStringList arguments;
    for (int i = 2; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const QString logFile = stationDir(program, arguments) + QStringLiteral("/log/hydrovane.log");

    LaunchSupervisor supervisor(program, arguments);
    // Only while the station is down: its own log writer has the file the rest of the time.
    supervisor.setLog([&logFile](const QString &level, const QString &line) {
        const QByteArray text =
            (QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz ")) +
             level + QStringLiteral(" hydrovane-launcher: ") + line + '\n')
                .toUtf8();
        std::fputs(text.constData(), stderr);
        QDir().mkpath(QFileInfo(logFile).path());
        QFile file(logFile);
        if (file.open(QIODevice::Append | QIODevice::WriteOnly))
            file.write(text);
    });
    LaunchSupervisor::passOnStopSignals();
    const int code = supervisor.run();
    if (supervisor.gaveUp() && hasDisplay()) {
        QApplication application(argc, argv);
        MessageBoxes::critical(QStringLiteral("错误"),
                               LaunchSupervisor::gaveUpText(supervisor.restarts()) +
                                   QStringLiteral("\n日志: ") + QDir::toNativeSeparators(logFile));
    }
    return code;
}
