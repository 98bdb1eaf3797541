// Start-up of the station to the first paint of its first page, and the resident memory once
// it is up, with 100, 1,976 (8 lines of 247) and 10,000 monitors in Monitor.json beside an empty
// Monitor.json as the baseline. Each start is a process of its own, in turns, so no case warms
// another's caches. Each start must show every monitor in the tree and the grid.
// Run headless with QT_QPA_PLATFORM=offscreen (the default when no display is set).
// Usage: startup [rounds] [large rounds]   (default 7 starts of the small cases, 3 of the large)

#include "app/appcontext.h"
#include "app/mainwindow.h"
#include "panels/widgetmonitorlist.h"
#include "panels/widgetmonitorsimplelist.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTableWidget>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

const char *const models[] = {"DI590", "RO592", "DO580", "RA550"};

long residentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    }
    return 0;
}

// Stops the clock at the first paint of the overview grid.
class FirstPaint : public QObject
{
public:
    explicit FirstPaint(const QElapsedTimer &clock) : clock(clock) {}
    double ms = -1;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Paint && ms < 0) {
            ms = clock.nsecsElapsed() / 1e6;
            QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
        }
        return false;
    }

private:
    const QElapsedTimer &clock;
};

// One start on the application directory `dir`; prints "<ms> <KiB> <monitors> <cells>".
int child(int argc, char *argv[], const QString &dir)
{
    QElapsedTimer clock;
    clock.start();
    qputenv("QT_ENABLE_HIGHDPI_SCALING", "1");
    QApplication app(argc, argv);
    AppContext::instance().setApplicationDir(dir);
    AppContext::instance().init();
    auto *window = new MainWindow;
    FirstPaint paint(clock);
    auto *grid = window->findChild<WidgetMonitorSimpleList *>();
    auto *table = grid->findChild<QTableWidget *>();
    table->viewport()->installEventFilter(&paint);
    window->show();
    app.exec();
    const long resident = residentKiB();
    const size_t monitors =
        window->findChild<WidgetMonitorList *>()->collection().getMonitors().size();
    int cells = 0;
    for (int row = 0; row < table->rowCount(); ++row)
        for (int column = 0; column < WidgetMonitorSimpleList::columns; ++column)
            cells += grid->cellAt(row, column) != nullptr;
    std::printf("%.3f %ld %zu %d\n", paint.ms, resident, monitors, cells);
    std::fflush(stdout);
    delete window;
    return paint.ms < 0 ? 1 : 0;
}

// Ids repeat every 247 monitors, as on lines of their own; names differ. Without spaces, so
// that 10,000 entries stay within the size a settings file may have.
QByteArray monitorJson(int count)
{
    QByteArray text = "{\"interval\":30,\"monitor\":[";
    for (int i = 0; i < count; ++i) {
        text += QStringLiteral("%1{\"channel\":-1,\"id\":%2,\"model\":\"%3\",\"record\":true,"
                               "\"running\":true,\"username\":\"仪表%4\"}")
                    .arg(i ? "," : "")
                    .arg(i % 247 + 1)
                    .arg(QLatin1String(models[i % 4]))
                    .arg(i + 1)
                    .toUtf8();
    }
    return text + "]}";
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    if (argc == 3 && qstrcmp(argv[1], "--child") == 0)
        return child(argc, argv, QString::fromLocal8Bit(argv[2]));
    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 7;
    const int largeRounds = argc > 2 ? std::max(1, atoi(argv[2])) : 3;

    constexpr int cases = 4;
    const int counts[cases] = {0, 100, 1976, 10000};
    QTemporaryDir dirs[cases];
    for (int c = 0; c < cases; ++c) {
        QDir(dirs[c].path()).mkpath(QStringLiteral("config"));
        QFile file(dirs[c].filePath(QStringLiteral("config/Monitor.json")));
        if (!file.open(QIODevice::WriteOnly) || file.write(monitorJson(counts[c])) < 0)
            return 1;
    }
    std::vector<double> inside[cases], outside[cases], resident[cases];
    for (int round = 0; round < std::max(rounds, largeRounds); ++round) {
        for (int c = 0; c < cases; ++c) {
            if (round >= (counts[c] > 100 ? largeRounds : rounds))
                continue;
            QProcess process; // its warnings are shown only when it fails
            QElapsedTimer clock;
            clock.start();
            process.start(QString::fromLocal8Bit(argv[0]), {"--child", dirs[c].path()});
            // Minutes for the large cases before they were made fast.
            QByteArray line;
            while (!line.contains('\n') && process.waitForReadyRead(900000))
                line += process.readAllStandardOutput();
            const double wall = clock.nsecsElapsed() / 1e6;
            process.waitForFinished(900000);
            const QList<QByteArray> fields = line.trimmed().split(' ');
            if (fields.size() != 4 || process.exitCode() != 0) {
                std::fprintf(stderr, "startup: a start failed:\n%s\n",
                             process.readAllStandardError().constData());
                return 1;
            }
            if (fields[2].toInt() != counts[c] || fields[3].toInt() != counts[c]) {
                std::fprintf(stderr, "startup: %d monitors configured, %d loaded, %d cells\n",
                             counts[c], fields[2].toInt(), fields[3].toInt());
                return 1;
            }
            inside[c].push_back(fields[0].toDouble());
            outside[c].push_back(wall);
            resident[c].push_back(fields[1].toDouble() / 1024);
        }
    }
    std::printf("start-up to the first paint of the overview grid (median of %d starts, %d of "
                "the large cases; goals <= 1000 ms with 100 monitors, <= 5000 ms with 1,976, "
                "<= 10000 ms with 10,000)\n",
                rounds, largeRounds);
    std::printf("                                     main() to paint   process start to paint"
                "   resident after start\n");
    const char *names[cases] = {"baseline: empty Monitor.json", "100 monitors in Monitor.json",
                                "1,976 monitors", "10,000 monitors"};
    for (int c = cases - 1; c >= 0; --c)
        std::printf("  %-32s %10.1f ms %18.1f ms %17.1f MiB\n", names[c], median(inside[c]),
                    median(outside[c]), median(resident[c]));
    std::printf("figure startup_100_ms %.1f ms\n", median(outside[1]));
    std::printf("figure startup_1976_ms %.1f ms\n", median(outside[2]));
    std::printf("figure startup_10000_ms %.1f ms\n", median(outside[3]));
    return 0;
}
