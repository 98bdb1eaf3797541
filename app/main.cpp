#include "app/appcontext.h"
#include "app/mainwindow.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    qputenv("QT_ENABLE_HIGHDPI_SCALING", "1");
    QGuiApplication::setHighDpiScaleFactorRoundingPolicy(
        Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);
    QApplication *application = new QApplication(argc, argv);
    // The window hides to the tray; only a confirmed exit ends the program, even when a
    // message box was the last window shown.
    application->setQuitOnLastWindowClosed(false);

    AppContext::instance().init();

    MainWindow *window = new MainWindow();
    QObject::connect(window, &MainWindow::signal_exitConfirmed, application,
                     &QCoreApplication::quit, Qt::QueuedConnection);
    window->show();
    const int code = application->exec();

    delete window;
    delete application;
    return code;
}
