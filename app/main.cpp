#include "app/appcontext.h"
#include "app/mainwindow.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    qputenv("QT_ENABLE_HIGHDPI_SCALING", "1");
    QGuiApplication::setHighDpiScaleFactorRoundingPolicy(
        Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);
    QApplication *application = new QApplication(argc, argv);

    AppContext::instance().init();

    MainWindow *window = new MainWindow();
    window->show();
    const int code = application->exec();

    delete window;
    delete application;
    return code;
}
