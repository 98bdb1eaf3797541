// Figures of the acquisition cycle, each printed beside a baseline measured in the same run.
// Run headless with QT_QPA_PLATFORM=offscreen (the default when no display is set).

#include "history/widgetaxesdisplay.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QWindow>

#include <qcustomplot.h>

#include <malloc.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

constexpr int kCap = WidgetAxesDisplay::kMaxPoints;
constexpr int kWarmup = 50;
int samples = 1000;

// Counts paints, to show that every measured step really reached the screen.
class PaintCounter : public QObject
{
public:
    explicit PaintCounter(QWidget *widget) { widget->installEventFilter(this); }
    int paints = 0;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Paint)
            ++paints;
        return false;
    }
};

double sampleValue(qint64 i)
{
    return 10.0 + 5.0 * std::sin(double(i) / 50.0);
}

void showExposed(QWidget &widget)
{
    widget.resize(900, 500);
    widget.show();
    while (!widget.windowHandle() || !widget.windowHandle()->isExposed())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QCoreApplication::processEvents();
}

// Median milliseconds of step(i) followed by the event processing that paints its result.
double medianStepMs(const std::function<void(qint64)> &step, qint64 firstIndex)
{
    std::vector<double> times;
    times.reserve(samples);
    QElapsedTimer clock;
    for (int i = 0; i < kWarmup + samples; ++i) {
        clock.start();
        step(firstIndex + i);
        QCoreApplication::processEvents();
        const double ms = clock.nsecsElapsed() / 1e6;
        if (i >= kWarmup)
            times.push_back(ms);
    }
    std::nth_element(times.begin(), times.begin() + times.size() / 2, times.end());
    return times[times.size() / 2];
}

size_t heapBytes()
{
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

long residentBytes()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? fields[1].toLong() * 4096 : 0;
}

void configure(WidgetAxesDisplay &widget, bool setPoints)
{
    widget.setValueRange(0, 20);
    widget.setPrecision(2);
    widget.setAxisLabel(QStringLiteral("mg/L"));
    widget.setInterval(1);
    widget.setHighPointVisible(setPoints);
    widget.setHighPoint(15);
    widget.setLowPointVisible(setPoints);
    widget.setLowPoint(5);
}

// A bare QCustomPlot graph doing addData + replot on the same points; with sameAxes its axes
// are set up as the trend graph's are, so the difference is the widget's own work.
double bareStepMs(bool sameAxes, int *paintCount)
{
    QCustomPlot bare;
    QCPGraph *graph = bare.addGraph();
    for (int i = 0; i < kCap; ++i)
        graph->addData(i, sampleValue(i));
    bare.yAxis->setRange(0, 20);
    if (sameAxes) {
        QSharedPointer<QCPAxisTickerTime> ticker(new QCPAxisTickerTime);
        bare.xAxis->setTicker(ticker);
        ticker->setTickCount(20);
        ticker->setTimeFormat(QStringLiteral("%d天\n%h时\n%m分\n%s秒"));
        bare.yAxis->ticker()->setTickCount(20);
        bare.yAxis2->setVisible(true);
        bare.yAxis2->setTickLabels(false);
        bare.yAxis2->setPadding(60);
    }
    showExposed(bare);
    PaintCounter paints(&bare);
    const double ms = medianStepMs(
        [&](qint64 i) {
            graph->addData(double(i), sampleValue(i));
            bare.xAxis->setRange(double(i), 20, Qt::AlignRight);
            bare.replot();
        },
        kCap);
    *paintCount = paints.paints;
    return ms;
}

double widgetStepMs(bool setPoints, int *paintCount)
{
    WidgetAxesDisplay widget;
    configure(widget, setPoints);
    for (int i = 0; i < kCap; ++i) // hidden: no replot while filling
        widget.addValue(float(sampleValue(i)));
    showExposed(widget);
    PaintCounter paints(widget.findChild<QCustomPlot *>());
    const double ms = medianStepMs([&](qint64 i) { widget.addValue(float(sampleValue(i))); }, kCap);
    *paintCount = paints.paints;
    return ms;
}

// Figure: addValue plus replot of a visible trend graph holding a full history.
void figureAddValueAtCap()
{
    struct Row
    {
        const char *name;
        double ms;
        int paints;
    } rows[4] = {{"WidgetAxesDisplay, measured series only", 0, 0},
                 {"WidgetAxesDisplay, with both set points", 0, 0},
                 {"baseline: bare QCustomPlot, default axes", 0, 0},
                 {"baseline: bare QCustomPlot, same axes", 0, 0}};
    rows[0].ms = widgetStepMs(false, &rows[0].paints);
    rows[1].ms = widgetStepMs(true, &rows[1].paints);
    rows[2].ms = bareStepMs(false, &rows[2].paints);
    rows[3].ms = bareStepMs(true, &rows[3].paints);

    std::printf("addValue + replot, visible graph at %d points (median of %d, goal <= 2 ms)\n",
                kCap, samples);
    for (const Row &row : rows)
        std::printf("  %-42s %7.3f ms  (%d paints in %d steps)\n", row.name, row.ms, row.paints,
                    kWarmup + samples);
}

// Figure: memory held by one trend graph at its cap, and that it stays there.
void figureMemoryAtCap()
{
    std::printf("memory of a trend graph at the cap of %d points (heap in use / resident)\n", kCap);
    for (bool setPoints : {false, true}) {
        auto *widget = new WidgetAxesDisplay;
        configure(*widget, setPoints);
        const size_t heap0 = heapBytes();
        const long rss0 = residentBytes();
        for (int i = 0; i < kCap; ++i)
            widget->addValue(float(sampleValue(i)));
        const size_t heap1 = heapBytes();
        const long rss1 = residentBytes();
        for (int i = kCap; i < 3 * kCap; ++i)
            widget->addValue(float(sampleValue(i)));
        const size_t heap2 = heapBytes();
        std::printf("  WidgetAxesDisplay, %s: %9zu B / %9ld B; after two more "
                    "days of readings: %+zd B\n",
                    setPoints ? "three series" : "one series  ", heap1 - heap0, rss1 - rss0,
                    ssize_t(heap2 - heap1));
        delete widget;
    }

    auto *bare = new QCustomPlot;
    const size_t heap0 = heapBytes();
    QCPGraph *graph = bare->addGraph();
    for (int i = 0; i < kCap; ++i)
        graph->addData(i, sampleValue(i));
    const size_t heap1 = heapBytes();
    delete bare;
    std::printf("  baseline: bare QCustomPlot graph, same points: %9zu B (raw points %zu B)\n",
                heap1 - heap0, size_t(kCap) * sizeof(QCPGraphData));
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (argc > 1)
        samples = qMax(1, QString::fromLocal8Bit(argv[1]).toInt());

    // Memory first, before other figures leave freed blocks for it to reuse.
    figureMemoryAtCap();
    figureAddValueAtCap();
    return 0;
}
