// Start-up of the station to the first paint of its first page, and the resident memory once
// it is up, with 100 monitors in Monitor.json beside an empty Monitor.json as the baseline.
// Each start is a process of its own, in turns, so neither case warms the other's caches.
// Run headless with QT_QPA_PLATFORM=offscreen (the default when no display is set).
// Usage: startup [rounds]   (default 7 starts of each case)

#include "app/appcontext.h"
#include "app/mainwindow.h"
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

// One start on the application directory `dir`; prints "<ms> <KiB>".
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
    window->findChild<WidgetMonitorSimpleList *>()
        ->findChild<QTableWidget *>()
        ->viewport()
        ->installEventFilter(&paint);
    window->show();
    app.exec();
    const long resident = residentKiB();
    std::printf("%.3f %ld\n", paint.ms, resident);
    std::fflush(stdout);
    delete window;
    return paint.ms < 0 ? 1 : 0;
}

QByteArray monitorJson(int count)
{
    QByteArray text = "{\"interval\": 30, \"monitor\": [";
    for (int i = 0; i < count; ++i) {
        text +=
            QStringLiteral("%1{\"channel\": -1, \"id\": %2, \"model\": \"%3\", \"record\": true, "
                           "\"running\": true, \"username\": \"仪表%2\"}")
                .arg(i ? "," : "")
                .arg(i + 1)
                .arg(QLatin1String(models[i % 4]))
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

    const int counts[] = {0, 100};
    QTemporaryDir dirs[2];
    for (int c = 0; c < 2; ++c) {
        QDir(dirs[c].path()).mkpath(QStringLiteral("config"));
        QFile file(dirs[c].filePath(QStringLiteral("config/Monitor.json")));
        if (!file.open(QIODevice::WriteOnly) || file.write(monitorJson(counts[c])) < 0)
            return 1;
    }
    std::vector<double> inside[2], outside[2], resident[2];
    for (int round = 0; round < rounds; ++round) {
        for (int c = 0; c < 2; ++c) {
            QProcess process; // its warnings are shown only when it fails
            QElapsedTimer clock;
            clock.start();
            process.start(QString::fromLocal8Bit(argv[0]), {"--child", dirs[c].path()});
            QByteArray line;
            while (!line.contains('\n') && process.waitForReadyRead(30000))
                line += process.readAllStandardOutput();
            const double wall = clock.nsecsElapsed() / 1e6;
            process.waitForFinished(30000);
            const QList<QByteArray> fields = line.trimmed().split(' ');
            if (fields.size() != 2 || process.exitCode() != 0) {
                std::fprintf(stderr, "startup: a start failed:\n%s\n",
                             process.readAllStandardError().constData());
                return 1;
            }
            inside[c].push_back(fields[0].toDouble());
            outside[c].push_back(wall);
            resident[c].push_back(fields[1].toDouble() / 1024);
        }
    }
    std::printf("start-up to the first paint of the overview grid (median of %d starts each, "
                "goal <= 1000 ms with 100 monitors)\n",
                rounds);
    std::printf("                                     main() to paint   process start to paint"
                "   resident after start\n");
    const char *names[2] = {"baseline: empty Monitor.json", "100 monitors in Monitor.json"};
    for (int c = 1; c >= 0; --c)
        std::printf("  %-32s %10.1f ms %18.1f ms %17.1f MiB\n", names[c], median(inside[c]),
                    median(outside[c]), median(resident[c]));
    return 0;
}
