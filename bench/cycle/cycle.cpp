// Figures of the acquisition cycle, each printed beside a baseline measured in the same run.
// Run headless with QT_QPA_PLATFORM=offscreen (the default when no display is set).
// Usage: cycle [samples] [passes] [large]   (addValue steps, default 1000; read passes, default
// 200; "large" runs only the station pass with 1,976 monitors and its baseline)
// The last figures run the station's own panels, with 100 record writers on the record file,
// three times: without the alarm rules, with them and 20 monitors alarmed, and without again;
// then with 1,976 monitors on 8 lines of 247 (each line a simulated chain of its own) beside
// 100 on one.

#include "acquisition/alarmrules.h"
#include "app/appcontext.h"
#include "app/mainwindow.h"
#include "benchsupport.h"
#include "instruments/monitorbase.h"
#include "instruments/monitorcollection.h"
#include "line/comportctrl.h"
#include "line/comportreader.h"
#include "line/readclient.h"
#include "panels/dialoglinestatus.h"
#include "panels/widgetalarmbar.h"
#include "panels/widgetcomport.h"
#include "panels/widgetmonitorlist.h"
#include "panels/widgetmonitorsimplelist.h"
#include "storage/recorddatabase.h"
#include "storage/recordwriter.h"
#include "trend/widgetaxesdisplay.h"

#include <QApplication>
#include <QCheckBox>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QMutex>
#include <QProcess>
#include <QStackedWidget>
#include <QTabWidget>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QThread>
#include <QWindow>

#include <qcustomplot.h>

#include <malloc.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <vector>

namespace {

constexpr int kCap = WidgetAxesDisplay::kMaxPoints;
constexpr int kWarmup = 50;
constexpr int kInstruments = 50;
int samples = 1000;
int passes = 200;

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

double median(std::vector<double> values)
{
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
}

const char *const models[] = {"DI590", "RO592", "DO580", "RA550"};

// Starts hydrovane-sim with `count` analysers of the four models, ids 1 to count, on `link`;
// true once it answers.
bool startSimulator(QProcess &simulator, const QString &link, int count)
{
    QStringList arguments{"--link", link};
    for (int id = 1; id <= count; ++id)
        arguments << QStringLiteral("%1:%2").arg(id).arg(models[id % 4]);
    return startSimulator(simulator, arguments);
}

// Analysers of the four models on hydrovane-sim, the line open on them and every monitor
// synced; read passes go through the ReadClient interface as the monitor list's do.
class SimulatedLine : public ReadClient
{
public:
    SimulatedLine()
    {
        ctrl.setPort(dir.filePath("line").toUtf8().constData());
        ready = startSimulator(simulator, dir.filePath("line"), kInstruments) && ctrl.open() == 0;
        for (int id = 1; ready && id <= kInstruments; ++id) {
            MonitorBase *monitor = collection.create(models[id % 4], "m", id, -1, true, true);
            ready = monitor->sync(ctrl.getContext()) == 0;
        }
        if (!ready)
            std::fprintf(stderr, "cycle: the line to the simulator failed\n");
    }
    ~SimulatedLine() override
    {
        qDeleteAll(collection.getMonitors());
        ctrl.close();
        simulator.terminate();
        simulator.waitForFinished(5000);
    }
    void readAll(modbus_t *context, const PassPlan &plan) override
    {
        collection.readAll(context, plan);
    }
    void *token() { return static_cast<void *>(static_cast<ReadClient *>(this)); }

    QTemporaryDir dir;
    QProcess simulator;
    ComPortCtrl ctrl;
    MonitorCollection collection;
    bool ready = false;
};

// A detail page as the station builds it after a sync: the factor table and one trend graph
// per factor in a tab.
struct Page
{
    MonitorBase *monitor;
    QTabWidget *tabs;
    QTableWidget *table;
    std::vector<WidgetAxesDisplay *> graphs;
};

Page buildPage(MonitorBase *monitor)
{
    const MonitorSnapshot snapshot = monitor->snapshot();
    Page page{monitor, new QTabWidget, new QTableWidget(int(snapshot.sensors.size()), 5), {}};
    page.tabs->addTab(page.table, QStringLiteral("m"));
    for (int row = 0; row < int(snapshot.sensors.size()); ++row) {
        const SensorBase &sensor = snapshot.sensors[size_t(row)];
        const QString key = QString::fromStdString(sensor.factor);
        const QString unit = sensor.unit.empty() ? key : QString::fromStdString(sensor.unit);
        for (int column = 0; column < 5; ++column)
            page.table->setItem(row, column, new QTableWidgetItem);
        auto *graph = new WidgetAxesDisplay;
        graph->setValueRange(sensor.minimum, sensor.maximum);
        graph->setPrecision(sensor.decimals);
        graph->setAxisLabel(unit);
        graph->setInterval(1);
        if (sensor.controlled) {
            graph->setHighPointVisible(snapshot.relays[0].on);
            graph->setHighPoint(snapshot.relays[0].alarmPoint);
            graph->setLowPointVisible(snapshot.relays[1].on);
            graph->setLowPoint(snapshot.relays[1].alarmPoint);
        }
        page.tabs->addTab(graph, key);
        page.graphs.push_back(graph);
    }
    return page;
}

// The value texts of one reading, without widgets.
int readingTexts(const MonitorSnapshot &snapshot, QString *texts)
{
    int count = 0;
    for (const SensorBase &sensor : snapshot.sensors)
        texts[count++] =
            QString::fromStdString(sensor.valueText(snapshot.result(sensor.factor).value));
    return count;
}

// What a detail page does with a reading of a synced monitor.
void showReading(Page &page)
{
    const MonitorSnapshot snapshot = page.monitor->snapshot();
    if (!snapshot.synced)
        return;
    const QString now =
        QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
    QString texts[2];
    readingTexts(snapshot, texts);
    for (int row = 0; row < int(snapshot.sensors.size()); ++row) {
        const FactorResult result = snapshot.result(snapshot.sensors[size_t(row)].factor);
        page.table->item(row, 1)->setText(result.status == 'F' ? QStringLiteral("----")
                                                               : texts[row]);
        page.table->item(row, 3)->setText(QString(QChar(result.status)));
        page.table->item(row, 4)->setText(now);
        page.graphs[size_t(row)]->addValue(result.value);
    }
}

// Figure: interface-thread time of one pass with every monitor's page and graphs, one graph
// on screen.
void figureInterfacePass(SimulatedLine &line)
{
    QMutex mutex;
    QThread thread;
    auto *reader = new ComPortReader(&mutex);
    reader->moveToThread(&thread);
    QObject::connect(&thread, &QThread::finished, reader, &QObject::deleteLater);
    thread.start();

    QStackedWidget stack;
    std::vector<Page> pages;
    for (MonitorBase *monitor : line.collection.getMonitors()) {
        pages.push_back(buildPage(monitor));
        stack.addWidget(pages.back().tabs);
    }
    WidgetAxesDisplay *visible = pages.front().graphs.front();
    pages.front().tabs->setCurrentWidget(visible);
    for (int i = 0; i < kCap; ++i) // a day of history behind the graph on screen
        visible->addValue(float(sampleValue(i)));
    showExposed(stack);
    size_t graphCount = 0;
    for (const Page &page : pages)
        graphCount += page.graphs.size();

    std::vector<double> full, dataOnly;
    bool allNormal = true;
    auto *passPaints = new PaintCounter(visible->findChild<QCustomPlot *>());
    QEventLoop loop;
    QObject::connect(reader, &ComPortReader::signal_readDone, &loop, &QEventLoop::quit);
    for (int pass = 0; pass < kWarmup + passes; ++pass) {
        QMetaObject::invokeMethod(reader, [&] { reader->read(line.token(), &line.ctrl, PassPlan()); });
        loop.exec();

        QElapsedTimer clock;
        clock.start();
        QString texts[2];
        for (const Page &page : pages) {
            const MonitorSnapshot snapshot = page.monitor->snapshot();
            readingTexts(snapshot, texts);
            allNormal = allNormal && snapshot.result(snapshot.mainSensor()->factor).status != 'B';
        }
        const double dataMs = clock.nsecsElapsed() / 1e6;
        clock.restart();
        for (Page &page : pages)
            showReading(page);
        QCoreApplication::processEvents();
        const double fullMs = clock.nsecsElapsed() / 1e6;
        if (pass >= kWarmup) {
            full.push_back(fullMs);
            dataOnly.push_back(dataMs);
        }
    }
    thread.quit();
    thread.wait();
    const int paintsInPasses = passPaints->paints;
    delete passPaints;

    PaintCounter paints(visible->findChild<QCustomPlot *>());
    const double visibleMs =
        medianStepMs([&](qint64 i) { visible->addValue(float(sampleValue(i))); }, kCap);

    std::printf(
        "interface thread per read pass, %d instruments on hydrovane-sim, %zu trend graphs, "
        "one on screen (median of %d passes, goal <= 5 ms)\n",
        kInstruments, graphCount, passes);
    std::printf("  pages shown: snapshot, texts, table, graph points  %7.3f ms  (%d paints in %d "
                "passes)%s\n",
                median(full), paintsInPasses, kWarmup + passes,
                allNormal ? "" : "   SOME EXCHANGES FAILED");
    std::printf("  baseline: snapshots and value texts only           %7.3f ms\n",
                median(dataOnly));
    std::printf("  baseline: the graph on screen alone, addValue + paint %4.3f ms  (%d paints)\n",
                visibleMs, paints.paints);
}

// Figure: reader-thread time of one pass through ComPortReader against the bare readAll of
// the collection, pass by pass in turn on one thread.
void figureReaderPass(SimulatedLine &line)
{
    QMutex mutex;
    ComPortReader reader(&mutex);
    QObject receiver; // the done signal crosses to the interface thread, as in the station
    QObject::connect(&reader, &ComPortReader::signal_readDone, &receiver, [] {});
    std::vector<double> viaReader, bare;
    bool allNormal = true;
    QThread *worker = QThread::create([&] {
        QElapsedTimer clock;
        for (int pass = 0; pass < kWarmup + passes; ++pass) {
            const bool readerFirst = pass % 2 == 0;
            double readerMs = 0, bareMs = 0;
            for (int turn = 0; turn < 2; ++turn) {
                clock.start();
                if ((turn == 0) == readerFirst) {
                    reader.read(line.token(), &line.ctrl, PassPlan());
                    readerMs = clock.nsecsElapsed() / 1e6;
                } else {
                    line.collection.readAll(line.ctrl.getContext());
                    bareMs = clock.nsecsElapsed() / 1e6;
                }
            }
            for (MonitorBase *monitor : line.collection.getMonitors())
                allNormal = allNormal && monitor->snapshot().results.size() > 0;
            if (pass >= kWarmup) {
                viaReader.push_back(readerMs);
                bare.push_back(bareMs);
            }
        }
    });
    worker->start();
    worker->wait();
    delete worker;
    QCoreApplication::processEvents();

    const double ratio = median(viaReader) / median(bare);
    std::printf("reader thread per read pass, %d instruments on hydrovane-sim (median of %d "
                "passes, goal <= 1.05 x)\n",
                kInstruments, passes);
    std::printf("  ComPortReader::read                 %8.3f ms\n", median(viaReader));
    std::printf("  baseline: MonitorCollection::readAll %7.3f ms   ratio %.3f%s\n", median(bare),
                ratio, allNormal ? "" : "   SOME MONITORS WERE NOT READ");
}

// The station's own interface-thread work after a pass: WidgetMonitorList::on_readDone with
// 100 running, recording monitors, their detail pages, overview cells and record writers, the
// overview grid on screen; beside the snapshots and value texts alone. Every fifth analyser
// reads above its high point, so with the alarm rules on 20 monitors are alarmed: their cells
// flash and the alarm bar lists them.
struct StationRun
{
    bool ok = false;
    double passMs = 0;
    double dataMs = 0;
    double linePassMs = 0;
    int paints = 0;
    int rows = 0;
    int alarmsShown = 0;
    double refreshMs = 0;
    double snapshotsMs = 0;
    double refreshPaintedMs = 0;
};

constexpr int kStationMonitors = 100;

bool alarmedId(int id)
{
    return id % 5 == 0;
}

constexpr int kLineIds = 247;

// Monitor i of a station: 247 a line, ids 1 to 247 on each.
int stationLine(int i)
{
    return (i - 1) / kLineIds;
}

int stationId(int i)
{
    return (i - 1) % kLineIds + 1;
}

QString lineName(int line)
{
    return QStringLiteral("线路%1").arg(line + 1);
}

QByteArray serialKeys(const QString &device)
{
    return QStringLiteral("\"baudrate\": 9600, \"comport\": \"%1\", \"databit\": 8, \"parity\": "
                          "\"N\", \"stopbit\": 2")
        .arg(device)
        .toUtf8();
}

bool writeFile(const QString &path, const QByteArray &text)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
}

// The station's config for `count` monitors: line 1 in ComPort.json, further lines of 247 in
// Lines.json, each on its own simulated chain.
bool writeStationConfig(const QTemporaryDir &dir, int count)
{
    const int lineCount = stationLine(count) + 1;
    QDir(dir.path()).mkpath(QStringLiteral("config"));
    QByteArray lines = "{\"lines\": [";
    for (int line = 1; line < lineCount; ++line)
        lines += (line > 1 ? ", {\"name\": \"" : "{\"name\": \"") + lineName(line).toUtf8() +
                 "\", \"type\": \"rtu\", " +
                 serialKeys(dir.filePath(QStringLiteral("line%1").arg(line))) + "}";
    QByteArray monitorText = "{\"interval\": 86400, \"monitor\": [";
    for (int i = 1; i <= count; ++i) {
        const int id = stationId(i);
        const int line = stationLine(i);
        monitorText += QStringLiteral("%1{\"channel\": -1, \"id\": %2, %3\"model\": \"%4\", "
                                      "\"record\": true, \"running\": true, \"username\": \"m%5\"}")
                           .arg(i > 1 ? "," : "")
                           .arg(id)
                           .arg(line > 0 ? QStringLiteral("\"line\": \"%1\", ").arg(lineName(line))
                                         : QString())
                           .arg(QLatin1String(alarmedId(id) ? "DI590" : models[id % 4]))
                           .arg(i)
                           .toUtf8();
    }
    return writeFile(dir.filePath("config/ComPort.json"),
                     "{" + serialKeys(dir.filePath("line0")) + "}") &&
           writeFile(dir.filePath("config/Lines.json"), lines + "]}") &&
           writeFile(dir.filePath("config/Monitor.json"), monitorText + "]}");
}

StationRun runStation(bool alarmRules, bool lineStatus, int count = kStationMonitors,
                      int warmup = kWarmup, int measured = passes)
{
    StationRun run;
    AlarmRules::setEnabled(alarmRules);
    QTemporaryDir dir;
    const int lineCount = stationLine(count) + 1;
    std::vector<std::unique_ptr<QProcess>> simulators;
    for (int line = 0; line < lineCount; ++line) {
        QStringList arguments{"--link", dir.filePath(QStringLiteral("line%1").arg(line))};
        for (int id = 1; id <= std::min(count - line * kLineIds, kLineIds); ++id)
            arguments
                << (alarmedId(id)
                        ? QStringLiteral("%1:DI590:unit=1,main=850,r0on=1,r0sp=500,r1on=0").arg(id)
                        : QStringLiteral("%1:%2:r0on=0,r1on=0").arg(id).arg(models[id % 4]));
        simulators.push_back(std::make_unique<QProcess>());
        if (!startSimulator(*simulators.back(), arguments))
            return run;
    }
    if (!writeStationConfig(dir, count)) {
        std::fprintf(stderr, "cycle: the station's config could not be written\n");
        return run;
    }
    AppContext::instance().setApplicationDir(dir.path());
    AppContext::instance().init();

    {
        MainWindow window;
        showExposed(window);
        window.resize(1920, 1080); // a full screen of cells
        QCoreApplication::processEvents();
        auto *list = window.findChild<WidgetMonitorList *>();
        auto *alarmBar = window.findChild<WidgetAlarmBar *>();
        std::vector<WidgetComPort *> panels;
        for (int line = 0; line < lineCount; ++line)
            panels.push_back(list->linePanel(line));
        WidgetComPort *comPortPanel = panels.front();
        ComPortReader *reader = comPortPanel->getReader();
        const std::vector<MonitorBase *> &monitors = list->collection().getMonitors();
        if (int(monitors.size()) != count ||
            std::find(panels.begin(), panels.end(), nullptr) != panels.end()) {
            std::fprintf(stderr, "cycle: %zu of %d monitors loaded\n", monitors.size(), count);
            return run;
        }

        // The first pass at switch-on asks for the syncs; the timer waits a day.
        for (WidgetComPort *panel : panels)
            panel->findChild<QCheckBox *>(QStringLiteral("checkBoxConnect"))->setChecked(true);
        QElapsedTimer waited;
        waited.start();
        const auto allSynced = [&] {
            return std::all_of(monitors.begin(), monitors.end(),
                               [](const MonitorBase *m) { return m->isSynced(); });
        };
        while (!allSynced() && waited.elapsed() < 60000 + count * 100)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
        if (!allSynced()) {
            std::fprintf(stderr, "cycle: the station did not sync every monitor\n");
            return run;
        }

        // The station's handling of each line's finished pass, timed with the paints it
        // causes, once every line's reader is done: the sum over the lines is one interval's
        // work.
        std::vector<std::vector<MonitorBase *>> lineMonitors(static_cast<size_t>(lineCount));
        for (MonitorBase *monitor : monitors)
            lineMonitors[size_t(monitor->getLineIndex())].push_back(monitor);
        std::vector<PassPlan> plans(static_cast<size_t>(lineCount));
        std::vector<double> full, dataOnly, linePasses;
        int waiting = 0;
        QEventLoop loop;
        for (int line = 0; line < lineCount; ++line) {
            ComPortReader *lineReader = panels[size_t(line)]->getReader();
            QObject::disconnect(lineReader, &ComPortReader::signal_readDone, list, nullptr);
            QObject::connect(lineReader, &ComPortReader::signal_readDone, &loop,
                             [&, line](const PassPlan &plan) {
                                 plans[size_t(line)] = plan;
                                 if (--waiting == 0)
                                     loop.quit();
                             });
        }
        PaintCounter paints(
            window.findChild<WidgetMonitorSimpleList *>()->findChild<QTableWidget *>()->viewport());
        for (int pass = 0; pass < warmup + measured; ++pass) {
            waiting = lineCount;
            for (int line = 0; line < lineCount; ++line)
                panels[size_t(line)]->on_read(list->readToken(line), PassPlan());
            loop.exec();
            double intervalMs = 0, dataMs = 0;
            for (int line = 0; line < lineCount; ++line) {
                QElapsedTimer clock;
                clock.start();
                QString texts[2];
                for (const MonitorBase *monitor : lineMonitors[size_t(line)])
                    readingTexts(monitor->snapshot(), texts);
                dataMs += clock.nsecsElapsed() / 1e6;
                clock.restart();
                list->lineReadDone(line, plans[size_t(line)]);
                QCoreApplication::processEvents();
                const double lineMs = clock.nsecsElapsed() / 1e6;
                intervalMs += lineMs;
                if (pass >= warmup)
                    linePasses.push_back(lineMs);
            }
            full.push_back(intervalMs);
            dataOnly.push_back(dataMs);
            if (pass == warmup - 1)
                run.alarmsShown = alarmBar->count();
        }
        // Only the view's own refresh from here on: the overview is not updated any more.
        for (WidgetComPort *panel : panels)
            QObject::disconnect(panel->getReader(), &ComPortReader::signal_readDone, &loop,
                                nullptr);
        full.erase(full.begin(), full.begin() + warmup);
        dataOnly.erase(dataOnly.begin(), dataOnly.begin() + warmup);
        run.passMs = median(full);
        run.dataMs = median(dataOnly);
        run.linePassMs = median(linePasses);
        run.paints = paints.paints;

        if (lineStatus) {
            // The 通讯状态 view open beside it: its own refresh after each pass, with the
            // paints of the cells it changed; the baseline is the snapshots it reads.
            window.slot_lineStatus();
            auto *status = window.findChild<DialogLineStatus *>();
            while (!status->windowHandle() || !status->windowHandle()->isExposed())
                QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            QObject::disconnect(reader, &ComPortReader::signal_readDone, status,
                                &DialogLineStatus::refresh);
            std::vector<double> refresh, refreshPainted, snapshots;
            QEventLoop statusLoop;
            QObject::connect(reader, &ComPortReader::signal_readDone, &statusLoop, [&] {
                QCoreApplication::processEvents();
                QElapsedTimer clock;
                clock.start();
                for (const MonitorBase *monitor : monitors) {
                    const InstrumentHealth health = monitor->healthSnapshot();
                    (void)health;
                }
                snapshots.push_back(clock.nsecsElapsed() / 1e6);
                clock.restart();
                status->refresh();
                refresh.push_back(clock.nsecsElapsed() / 1e6);
                QCoreApplication::processEvents();
                refreshPainted.push_back(clock.nsecsElapsed() / 1e6);
                statusLoop.quit();
            });
            for (int pass = 0; pass < kWarmup + passes; ++pass) {
                comPortPanel->on_read(list->readToken(), PassPlan());
                statusLoop.exec();
            }
            for (std::vector<double> *series : {&refresh, &refreshPainted, &snapshots})
                series->erase(series->begin(), series->begin() + kWarmup);
            status->close();
            run.refreshMs = median(refresh);
            run.snapshotsMs = median(snapshots);
            run.refreshPaintedMs = median(refreshPainted);
        }

        for (WidgetComPort *panel : panels) {
            panel->findChild<QCheckBox *>(QStringLiteral("checkBoxConnect"))->setChecked(false);
            panel->waitForReader();
        }
        RecordWriter::waitForAll();
        std::vector<RecordRow *> stored;
        static_cast<RecordDatabase *>(AppContext::instance().object(RecordDb))
            ->query(std::string(), stored);
        run.rows = int(stored.size());
        RecordDatabase::freeRows(stored);
        // At least one factor of every monitor at every pass.
        run.ok = run.rows >= count * (warmup + measured);
        if (!run.ok)
            std::fprintf(stderr, "cycle: %d rows stored for %d monitors and %d passes\n", run.rows,
                         count, warmup + measured);
    }
    AppContext::instance().shutdown();
    AppContext::instance().reset();
    for (const std::unique_ptr<QProcess> &simulator : simulators) {
        simulator->terminate();
        simulator->waitForFinished(5000);
    }
    AlarmRules::setEnabled(true);
    return run;
}

// Figures: the station's pass with and without the alarm rules, and the line status view.
void figureStationPass()
{
    // Without rules first and again last, so that a drift of the machine's load shows.
    const StationRun before = runStation(false, false);
    const StationRun alarmed = runStation(true, true);
    const StationRun after = runStation(false, false);
    if (!before.ok || !alarmed.ok || !after.ok) {
        std::fprintf(stderr, "cycle: a station run failed\n");
        std::exit(1);
    }
    const double withoutMs = (before.passMs + after.passMs) / 2;

    std::printf("station interface thread per read pass, %d running monitors on hydrovane-sim, "
                "shown and recorded, overview on a 1920x1080 window (median of %d passes, goal "
                "<= 10 ms)\n",
                kStationMonitors, passes);
    std::printf("  WidgetMonitorList::on_readDone + paints   %7.3f ms  (%d paints, %d rows "
                "stored, %d alarms shown)\n",
                alarmed.passMs, alarmed.paints, alarmed.rows, alarmed.alarmsShown);
    std::printf("  without alarm rules, before / after       %7.3f / %.3f ms  (%d / %d paints)\n",
                before.passMs, after.passMs, before.paints, after.paints);
    std::printf("  baseline: snapshots and value texts only  %7.3f ms\n", alarmed.dataMs);
    std::printf("line status view open, %d instruments, refreshed after each pass (median of %d "
                "passes, goal < 1 ms)\n",
                kStationMonitors, passes);
    std::printf("  DialogLineStatus::refresh                 %7.3f ms\n", alarmed.refreshMs);
    std::printf("  baseline: the health snapshots it reads   %7.3f ms\n", alarmed.snapshotsMs);
    std::printf("figure line_status_refresh_ms %.3f ms\n", alarmed.refreshPaintedMs);
    std::printf("figure alarm_pass_ratio %.3f x\n", alarmed.passMs / withoutMs);
}

// Figure: the interface thread's work for one interval of 1,976 monitors on 8 lines of 247 (the
// 8 lines' passes together), beside 100 monitors on one line.
void figureLargePass()
{
    constexpr int kLarge = 8 * kLineIds;
    const int warmup = 5;
    const int measured = std::max(5, passes / 10);
    const StationRun small = runStation(false, false, kStationMonitors, warmup, measured);
    const StationRun large = runStation(false, false, kLarge, warmup, measured);
    if (!small.ok || !large.ok) {
        std::fprintf(stderr, "cycle: a large station run failed\n");
        std::exit(1);
    }
    std::printf("station interface thread per interval, shown and recorded, overview on a "
                "1920x1080 window (median of %d intervals, goal <= 20 ms with 1,976 monitors)\n",
                measured);
    std::printf("  %5d monitors, 8 lines   %8.3f ms  (one line's pass %.3f ms; %d paints, %d rows "
                "stored)\n",
                kLarge, large.passMs, large.linePassMs, large.paints, large.rows);
    std::printf("  %5d monitors, 1 line    %8.3f ms  (%d paints, %d rows stored)\n",
                kStationMonitors, small.passMs, small.paints, small.rows);
    std::printf("  baseline: snapshots and value texts only, 1,976 monitors %.3f ms\n",
                large.dataMs);
    std::printf("figure ui_pass_ms_100 %.3f ms\n", small.passMs);
    std::printf("figure ui_pass_ms_1976 %.3f ms\n", large.passMs);
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
    if (argc > 2)
        passes = qMax(1, QString::fromLocal8Bit(argv[2]).toInt());

    // Nobody answers: a box at start (1,976 monitors on one line repeat their ids, which the
    // station tells) goes to standard error with its default answer.
    MessageBoxes::setUnattended(true);
    if (argc > 3 && qstrcmp(argv[3], "large") == 0) {
        figureLargePass();
        return 0;
    }
    // Memory first, before other figures leave freed blocks for it to reuse.
    figureMemoryAtCap();
    figureAddValueAtCap();
    SimulatedLine line;
    if (!line.ready)
        return 1;
    figureInterfacePass(line);
    figureReaderPass(line);
    figureStationPass();
    figureLargePass();
    return 0;
}
