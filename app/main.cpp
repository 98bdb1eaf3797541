#include "app/appcontext.h"
#include "app/mainwindow.h"
#include "app/qttranslations.h"
#include "panels/messageboxes.h"

#include <QApplication>
#include <QDir>

int main(int argc, char *argv[])
{
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

    AppContext &context = AppContext::instance();
    if (context.init() == AppContext::InitStationInUse) {
        // A second station would poll the same line and store every reading twice.
        MessageBoxes::critical(
            QStringLiteral("错误"),
            QStringLiteral("监测站程序已在运行：文件夹 %1 正由另一个监测站程序使用。\n"
                           "请勿重复启动；已运行的窗口可能已最小化到系统托盘。")
                .arg(QDir::toNativeSeparators(context.applicationDir())));
        delete application;
        return 1;
    }

    MainWindow *window = new MainWindow();
    QObject::connect(window, &MainWindow::signal_exitConfirmed, application,
                     &QCoreApplication::quit, Qt::QueuedConnection);
    window->show();
    const int code = application->exec();

    delete window;
    delete application;
    return code;
}
