// Starts the station on an application directory, switches the line on, waits for a number of
// read passes and saves pictures of the overview grid, of the first monitor's page and of its
// trend graph. Usage: hydrovane-shots APPDIR OUTDIR [PASSES]   (default 4 passes)

#include "acquisition/comportreader.h"
#include "acquisition/monitorbase.h"
#include "app/appcontext.h"
#include "app/mainwindow.h"
#include "panels/widgetcomport.h"
#include "panels/widgetmonitorlist.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QEventLoop>
#include <QScreen>
#include <QStackedWidget>
#include <QTabWidget>
#include <QTimer>

#include <cstdio>

namespace {

void settle(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

bool save(QWidget &window, const QString &file)
{
    settle(300);
    const bool ok = window.grab().save(file);
    std::printf("%s %s\n", ok ? "saved" : "could not save", qPrintable(file));
    return ok;
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_ENABLE_HIGHDPI_SCALING", "1");
    QApplication app(argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "usage: hydrovane-shots APPDIR OUTDIR [PASSES]\n");
        return 2;
    }
    AppContext::instance().setApplicationDir(QString::fromLocal8Bit(argv[1]));
    AppContext::instance().init();
    const QDir out(QString::fromLocal8Bit(argv[2]));
    const int passes = argc > 3 ? QString::fromLocal8Bit(argv[3]).toInt() : 4;

    MainWindow window;
    // Without a window manager nothing maximizes the window.
    window.setGeometry(QGuiApplication::primaryScreen()->availableGeometry());
    window.show();
    auto *comPort = window.findChild<WidgetComPort *>();
    auto *list = window.findChild<WidgetMonitorList *>();
    int done = 0;
    QObject::connect(comPort->getReader(), &ComPortReader::signal_readDone, [&] { ++done; });
    comPort->findChild<QCheckBox *>(QStringLiteral("checkBoxConnect"))->setChecked(true);
    while (done < passes)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);

    bool ok = save(window, out.filePath(QStringLiteral("overview.png")));
    const auto &monitors = list->collection().getMonitors();
    if (!monitors.empty()) {
        emit list->signal_activeMonitor(monitors.front());
        ok = save(window, out.filePath(QStringLiteral("detail.png"))) && ok;
        auto *stack =
            window.findChild<QStackedWidget *>(QStringLiteral("stackedWidgetMonitorDisplay"));
        auto *display = stack->currentWidget();
        if (auto *tabs = display->findChild<QTabWidget *>()) {
            tabs->setCurrentIndex(1);
            ok = save(window, out.filePath(QStringLiteral("trend.png"))) && ok;
        }
    }
    comPort->findChild<QCheckBox *>(QStringLiteral("checkBoxConnect"))->setChecked(false);
    list->selectRoot();
    settle(200);
    ok = save(window, out.filePath(QStringLiteral("stopped.png"))) && ok;
    return ok ? 0 : 1;
}
