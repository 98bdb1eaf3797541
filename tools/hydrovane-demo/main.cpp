// Runs the station of a station directory as an operator would, without one: switches the
// lines on, lets it poll for a while, saves pictures, prints what the pages show and how many
// records were stored, and leaves through the confirmed exit.
//
//   hydrovane-demo STATIONDIR [--seconds N] [--screenshot FILE] [--shots DIR]
//
// --screenshot saves the overview; --shots saves the overview, a detail page, a trend graph,
// the line status view, the about box, the MQTT settings, the search dialog with results and their
// chart, and the alarm log into DIR.

#include "app/appcontext.h"
#include "app/dialogabout.h"
#include "app/dialogmqtt.h"
#include "app/mainwindow.h"
#include "app/qttranslations.h"
#include "history/dialogalarms.h"
#include "history/dialogsearch.h"
#include "history/recordresultmodel.h"
#include "instruments/monitorbase.h"
#include "line/comportreader.h"
#include "panels/dialoglinestatus.h"
#include "panels/messageboxes.h"
#include "panels/widgetcomport.h"
#include "panels/widgetmonitordisplay.h"
#include "panels/widgetmonitorlist.h"
#include "storage/recorddatabase.h"
#include "storage/recordwriter.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QEventLoop>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QStackedWidget>
#include <QTabWidget>
#include <QTableWidget>
#include <QTimer>

#include <algorithm>
#include <cstdio>

namespace {

void settle(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

bool save(QWidget &widget, const QString &file)
{
    settle(300);
    const bool ok = widget.grab().save(file);
    std::printf("%s %s\n", ok ? "saved" : "could not save", qPrintable(file));
    return ok;
}

QString cellText(const QTableWidget *table, int row, int column)
{
    const QTableWidgetItem *item = table->item(row, column);
    return item ? item->text() : QString();
}

// Each monitor's factors as its detail page shows them.
void printReadings(const WidgetMonitorList &list)
{
    std::printf("readings shown:\n");
    for (MonitorBase *monitor : list.collection().getMonitors()) {
        auto *page = static_cast<WidgetMonitorDisplay *>(monitor->views.at(0));
        page->ensureBuilt();
        const auto *table = page->findChild<QTableWidget *>(QStringLiteral("tableWidgetFactor"));
        QStringList factors;
        for (int row = 0; row < table->rowCount(); ++row)
            factors << QStringLiteral("%1 %2 %3 [%4]")
                           .arg(cellText(table, row, 0), cellText(table, row, 1),
                                cellText(table, row, 2), cellText(table, row, 3));
        std::printf("  %-12s %s\n", monitor->getUsername().c_str(),
                    factors.isEmpty() ? "(not synced)" : qPrintable(factors.join(QStringLiteral(", "))));
    }
}

int storedRecords()
{
    RecordWriter::waitForAll();
    auto *records = static_cast<RecordDatabase *>(AppContext::instance().object(RecordDb));
    std::vector<RecordRow *> rows;
    records->query(std::string(), rows);
    const int count = int(rows.size());
    RecordDatabase::freeRows(rows);
    return count;
}

// Pictures of a detail page, its trend, the about box, the MQTT settings and the search dialog.
bool saveShots(MainWindow &window, WidgetMonitorList &list, const QDir &out)
{
    bool ok = true;
    const auto &monitors = list.collection().getMonitors();
    if (!monitors.empty()) {
        emit list.signal_activeMonitor(monitors.front());
        ok = save(window, out.filePath(QStringLiteral("detail.png"))) && ok;
        auto *stack =
            window.findChild<QStackedWidget *>(QStringLiteral("stackedWidgetMonitorDisplay"));
        if (auto *tabs = stack->currentWidget()->findChild<QTabWidget *>()) {
            tabs->setCurrentIndex(1);
            ok = save(window, out.filePath(QStringLiteral("trend.png"))) && ok;
            tabs->setCurrentIndex(0);
        }
        list.selectRoot();
    }
    window.slot_lineStatus();
    if (auto *status = window.findChild<DialogLineStatus *>()) {
        ok = save(*status, out.filePath(QStringLiteral("linestatus.png"))) && ok;
        status->close();
    }
    DialogAbout about(&window);
    about.show();
    ok = save(about, out.filePath(QStringLiteral("about.png"))) && ok;
    about.close();
    DialogMqtt mqtt(&window);
    mqtt.show();
    ok = save(mqtt, out.filePath(QStringLiteral("mqtt.png"))) && ok;
    mqtt.close();
    DialogSearch search(&window);
    search.show();
    // The search and the chart are made on the dialog's worker.
    const auto waitFor = [&search](auto signal) {
        QEventLoop loop;
        QObject::connect(&search, signal, &loop, &QEventLoop::quit);
        QTimer::singleShot(60000, &loop, &QEventLoop::quit);
        return loop.exec();
    };
    search.findChild<QPushButton *>(QStringLiteral("pushButtonSearch"))->click();
    waitFor(&DialogSearch::signal_searchFinished);
    ok = save(search, out.filePath(QStringLiteral("search.png"))) && ok;
    if (search.resultModel()->rowCount() > 0) {
        search.findChild<QTabWidget *>(QStringLiteral("tabWidgetResult"))->setCurrentIndex(1);
        waitFor(&DialogSearch::signal_chartShown);
        ok = save(search, out.filePath(QStringLiteral("search-chart.png"))) && ok;
    }
    search.close();
    DialogAlarms alarms(&window);
    alarms.show();
    QEventLoop loop;
    QObject::connect(&alarms, &DialogAlarms::signal_searchFinished, &loop, &QEventLoop::quit);
    QTimer::singleShot(60000, &loop, &QEventLoop::quit);
    alarms.findChild<QPushButton *>(QStringLiteral("pushButtonSearch"))->click();
    loop.exec();
    ok = save(alarms, out.filePath(QStringLiteral("alarms.png"))) && ok;
    alarms.close();
    return ok;
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_ENABLE_HIGHDPI_SCALING", "1");
    QApplication app(argc, argv);
    // Qt's own buttons in Chinese, as the program shows them.
    QtTranslations::install();
    const QStringList arguments = app.arguments();
    if (arguments.size() < 2) {
        std::fprintf(stderr,
                     "usage: hydrovane-demo STATIONDIR [--seconds N] [--screenshot FILE] "
                     "[--shots DIR]\n");
        return 2;
    }
    const auto option = [&](const char *name) {
        const int at = arguments.indexOf(QLatin1String(name));
        return at > 0 && at + 1 < arguments.size() ? arguments.at(at + 1) : QString();
    };
    const int seconds = option("--seconds").isEmpty() ? 20 : option("--seconds").toInt();

    AppContext::instance().setApplicationDir(QDir(arguments.at(1)).absolutePath());
    AppContext::instance().init();
    // Nobody is there to answer: boxes are printed and get their default answer, except the
    // exit question at the end.
    bool leaving = false;
    MessageBoxes::setResponder([&](const MessageBoxes::Box &box) {
        std::printf("message %s: %s\n", qPrintable(box.title), qPrintable(box.text));
        if (leaving)
            return QMessageBox::Yes;
        return box.defaultButton != QMessageBox::NoButton ? box.defaultButton : QMessageBox::Ok;
    });

    MainWindow window;
    // Without a window manager nothing maximises the window.
    window.setGeometry(QGuiApplication::primaryScreen()->availableGeometry());
    window.show();
    auto *comPort = window.findChild<WidgetComPort *>();
    auto *list = window.findChild<WidgetMonitorList *>();
    int passes = 0;
    QObject::connect(comPort->getReader(), &ComPortReader::signal_readDone, [&] { ++passes; });
    window.slot_switchAllOn();
    std::printf("lines on (%d); polling for %d seconds\n", list->lineCount(), seconds);
    std::fflush(stdout);
    settle(seconds * 1000);

    bool ok = true;
    const QString screenshot = option("--screenshot");
    if (!screenshot.isEmpty())
        ok = save(window, screenshot) && ok;
    const QString shots = option("--shots");
    if (!shots.isEmpty()) {
        QDir().mkpath(shots);
        ok = save(window, QDir(shots).filePath(QStringLiteral("overview.png"))) && ok;
        // A monitor of the last line: its group in the tree and its line's panel.
        const auto &monitors = list->collection().getMonitors();
        const auto last =
            std::find_if(monitors.rbegin(), monitors.rend(), [list](const MonitorBase *m) {
                return m->getLineIndex() == list->lineCount() - 1;
            });
        if (list->lineCount() > 1 && last != monitors.rend()) {
            list->slot_activeMonitor(*last);
            ok = save(window, QDir(shots).filePath(QStringLiteral("lines.png"))) && ok;
            list->selectRoot();
        }
        ok = saveShots(window, *list, QDir(shots)) && ok;
    }

    std::printf("read passes: %d\n", passes);
    printReadings(*list);
    std::printf("records stored: %d\n", storedRecords());
    leaving = true;
    window.on_pushButtonClose_clicked();
    return ok ? 0 : 1;
}
