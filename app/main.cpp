#include "app/appcontext.h"
#include "app/commandline.h"
#include "app/mainwindow.h"
#include "app/passwdcommand.h"
#include "app/qttranslations.h"
#include "app/stationfolder.h"
#include "app/stationlog.h"
#include "app/stopsignals.h"
#include "panels/messageboxes.h"
#include "storage/recordingstatus.h"
#include "storage/recordreader.h"

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QFileInfo>
#include <QTimer>

#include <cstdio>

namespace {

// hydrovane --passwd NAME [--admin]; the station may be running meanwhile.
int resetPassword(int argc, char *argv[], const QStringList &arguments)
{
    QCoreApplication application(argc, argv);
    return PasswdCommand::run(arguments);
}

// hydrovane --count-records: prints how many records the station folder holds, read-only, for
// checks of an installed station; the station may be running meanwhile.
int countRecords(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const QString file = AppContext::instance().path(RecordDb);
    RecordReader reader(file.toUtf8().toStdString());
    long long count = 0;
    const int result = QFileInfo(file).isFile()
                           ? reader.read(std::string(),
                                         [&count](std::vector<RecordRow> &page) {
                                             count += (long long)page.size();
                                             return true;
                                         })
                           : -1;
    if (result != 0) {
        std::fprintf(stderr, "hydrovane: 记录数据库 %s 无法读取。\n",
                     QDir::toNativeSeparators(file).toUtf8().constData());
        return 1;
    }
    std::printf("%lld\n", count);
    return 0;
}

bool hasDisplay()
{
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    if (platform.startsWith("offscreen") || platform.startsWith("minimal"))
        return false;
    return !platform.isEmpty() || qEnvironmentVariableIsSet("DISPLAY") ||
           qEnvironmentVariableIsSet("WAYLAND_DISPLAY");
}

// A station started from the menu has no terminal: a refusal also goes into a box.
int refuseStart(int argc, char *argv[], const QString &message, int code)
{
    std::fprintf(stderr, "hydrovane: %s\n", message.toUtf8().constData());
    if (hasDisplay()) {
        QApplication application(argc, argv);
        MessageBoxes::critical(QStringLiteral("错误"), message);
    }
    return code;
}

// A second station would poll the same line and store every reading twice.
QString inUseText(const QString &station)
{
    return QStringLiteral("监测站程序已在运行：文件夹 %1 正由另一个监测站程序使用。\n"
                          "请勿重复启动；已运行的窗口可能已最小化到系统托盘。")
        .arg(QDir::toNativeSeparators(station));
}

// Before the application exists: the executable's folder from the kernel.
QString executableDir()
{
    return QFileInfo(QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath()).path();
}

} // namespace

int main(int argc, char *argv[])
{
    // Before anything is made, the station folder that --station names included.
    StationFolder::restrictCreationMask();
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromUtf8(argv[i]); // the terminal's text, whatever the locale
    // --help, --version and a wrong option are answered before any folder is touched.
    const CommandLine commandLine(arguments);
    if (commandLine.action() != CommandLine::Run)
        return commandLine.answer(argc, argv);
    QString station;
    QString refusal;
    const int prepared = StationFolder::prepare(&arguments, executableDir(), &station, &refusal);
    if (prepared != StationFolder::Ok)
        return refuseStart(argc, argv, refusal, prepared == StationFolder::MissingValue ? 2 : 1);
    AppContext::instance().setApplicationDir(station);

    const QString command = arguments.value(1);
    if (command == QLatin1String("--passwd"))
        return resetPassword(argc, argv, arguments);
    if (command == QLatin1String("--count-records"))
        return countRecords(argc, argv);
    // An unattended station resumes polling after a restart, as if 连接 had been ticked.
    const bool connectAtStart = arguments.contains(QStringLiteral("--connect"));

    // Before the application: without a display the refusal is only the standard error's, and
    // no application is made that could wait for a screen.
    AppContext &context = AppContext::instance();
    const int locked = context.lockStation();
    if (locked == AppContext::InitStationInUse)
        return refuseStart(argc, argv, inUseText(station), 1);
    if (locked == AppContext::InitLockRefused)
        return refuseStart(argc, argv, context.lockProblem(), 1);
    // From here on every message also goes to the station's log, which only the station that
    // holds the folder rotates; the window says once when it cannot be written.
    StationLog::install(StationLog::folderOf(station));

    qputenv("QT_ENABLE_HIGHDPI_SCALING", "1");
    QGuiApplication::setHighDpiScaleFactorRoundingPolicy(
        Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);
    QApplication *application = new QApplication(argc, argv);
    // The window hides to the tray; only a confirmed exit ends the program, even when a
    // message box was the last window shown.
    application->setQuitOnLastWindowClosed(false);
    // Without the package Qt's buttons and dialogs stay English; the station works the same.
    if (!QtTranslations::install())
        qWarning("hydrovane: Qt's Chinese translations not found; install qttranslations5-l10n");

    // A station without a screen has nobody to answer a box: it would wait for ever.
    if (!hasDisplay())
        MessageBoxes::setUnattended(true);
    // From here on SIGTERM, SIGINT and SIGHUP stop the station in order, as a confirmed exit.
    auto *stopSignals = new StopSignals;
    MainWindow *window = nullptr;
    int stopSignal = 0;
    QObject::connect(stopSignals, &StopSignals::signal_stopAsked, [&](int signal) {
        stopSignal = signal;
        qInfo("hydrovane: 收到 %s,正在停止(再次收到即立即结束)",
              StopSignals::name(signal).toUtf8().constData());
        if (window) {
            window->slot_stop();
        } else if (auto *box = qobject_cast<QDialog *>(QApplication::activeModalWidget())) {
            // A box before the window: the stop follows once the window is there.
            box->reject();
        }
    });

    // The lock is held already; init keeps it.
    if (context.init() != AppContext::InitDone) {
        MessageBoxes::critical(QStringLiteral("错误"), inUseText(context.applicationDir()));
        delete stopSignals;
        delete application;
        return 1;
    }

    const QStringList serialGroups = StationFolder::missingSerialGroups();
    if (!serialGroups.isEmpty()) {
        // Not fatal: a station may poll a line of its own, such as a simulator's.
        const QString text =
            QStringLiteral("当前用户不在 %1 组中，可能无法打开串口。\n请将用户加入该组后重新登录。")
                .arg(serialGroups.join(QStringLiteral("、")));
        qWarning("hydrovane: %s", text.toUtf8().constData());
        if (hasDisplay())
            MessageBoxes::warning(QStringLiteral("警告"), text);
    }

    window = new MainWindow();
    QObject::connect(window, &MainWindow::signal_exitConfirmed, application,
                     &QCoreApplication::quit, Qt::QueuedConnection);
    window->show();
    if (stopSignal != 0) {
        QTimer::singleShot(0, window, &MainWindow::slot_stop);
    } else if (connectAtStart) {
        QTimer::singleShot(0, window, &MainWindow::slot_switchAllOn);
    }
    int code = application->exec();
    // Rows that could not be stored at the exit make it a failed one.
    if (code == 0 && window->rowsLostAtExit() > 0)
        code = 1;

    delete window;
    // Once the writers are gone, the rows they held are counted as given up.
    const RecordingStatus::Snapshot recording = RecordingStatus::instance().snapshot();
    const QString how =
        stopSignal != 0 ? QStringLiteral("(%1)").arg(StopSignals::name(stopSignal)) : QString();
    qInfo("hydrovane: 已停止%s:本次运行 %lld 条读数交给数据库,%lld 条未能保存。",
          how.toUtf8().constData(), recording.handed, recording.dropped);
    if (recording.alarmDropped > 0)
        qWarning("hydrovane: %lld 条报警记录未能保存。", recording.alarmDropped);
    delete stopSignals;
    delete application;
    return code;
}
