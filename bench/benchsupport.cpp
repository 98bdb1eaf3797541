#define SQLITE_HAS_CODEC 1
#include <sqlite3.h>

#include "benchsupport.h"

#include "app/appcontext.h"
#include "app/mainwindow.h"
#include "instruments/monitorbase.h"
#include "instruments/monitorcollection.h"
#include "line/comportreader.h"
#include "panels/recordhandoff.h"
#include "panels/widgetcomport.h"
#include "panels/widgetmonitordisplay.h"
#include "panels/widgetmonitorlist.h"
#include "storage/passphrase.h"
#include "storage/recordwriter.h"
#include "storage/zircon.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTableWidget>
#include <QThread>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <malloc.h>

const char *const kCreateRecordTable =
    "CREATE TABLE Record(uid INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL,time DATETIME,model "
    "VARCHAR NOT NULL,name VARCHAR NOT NULL,slave INTEGER NOT NULL,channel INTEGER,factor "
    "VARCHAR NOT NULL,unit VARCHAR,value VARCHAR,status VARCHAR);";

sqlite3 *openRaw(const QString &path)
{
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(path.toUtf8().constData(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                        nullptr) != SQLITE_OK) {
        std::fprintf(stderr, "cannot open %s\n", qPrintable(path));
        std::exit(1);
    }
    sqlite3_key(db, kPassPhrase, kPassPhraseLength);
    sqlite3_exec(db,
                 "PRAGMA cipher_page_size = 1024; PRAGMA kdf_iter = 64000;"
                 "PRAGMA cipher_use_hmac = ON;",
                 nullptr, nullptr, nullptr);
    return db;
}

void mustRun(sqlite3 *db, const char *sql)
{
    char *error = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        std::fprintf(stderr, "%s: %s\n", sql, error ? error : "?");
        std::exit(1);
    }
}

std::string timeText(time_t seconds)
{
    struct tm parts;
    gmtime_r(&seconds, &parts);
    char text[24];
    std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", &parts);
    return text;
}

std::string instrumentName(int i)
{
    char name[32];
    std::snprintf(name, sizeof(name), "仪表%03d", i + 1);
    return name;
}

long generateRecordFile(const QString &path, long rows, int instruments, int channels)
{
    sqlite3 *db = openRaw(path);
    mustRun(db, kCreateRecordTable);
    mustRun(db, "BEGIN");
    sqlite3_stmt *insert = nullptr;
    sqlite3_prepare_v2(db,
                       "INSERT INTO Record(time,model,name,slave,channel,factor,unit,value,status) "
                       "VALUES(?,?,?,?,?,?,?,?,?)",
                       -1, &insert, nullptr);
    std::vector<std::string> names;
    for (int i = 0; i < instruments; ++i)
        names.push_back(instrumentName(i));
    long written = 0;
    for (long r = 0; written < rows; ++r) {
        const std::string time = timeText(kFirstReading + r * kReadIntervalSeconds);
        char values[2][16];
        std::snprintf(values[0], sizeof(values[0]), "%.2f", 8 + (r % 97) / 100.0);
        std::snprintf(values[1], sizeof(values[1]), "%.1f", 20 + (r % 31) / 10.0);
        for (int i = 0; i < instruments && written < rows; ++i)
            for (int channel = 0; channel < channels && written < rows; ++channel, ++written) {
                sqlite3_bind_text(insert, 1, time.c_str(), -1, SQLITE_STATIC);
                sqlite3_bind_text(insert, 2, "DI590", -1, SQLITE_STATIC);
                sqlite3_bind_text(insert, 3, names[i].c_str(), -1, SQLITE_STATIC);
                sqlite3_bind_int(insert, 4, i + 1);
                sqlite3_bind_int(insert, 5, channel);
                sqlite3_bind_text(insert, 6, channel ? "Temper" : "DO", -1, SQLITE_STATIC);
                sqlite3_bind_text(insert, 7, channel ? "℃" : "mg/L", -1, SQLITE_STATIC);
                sqlite3_bind_text(insert, 8, values[channel], -1, SQLITE_STATIC);
                sqlite3_bind_text(insert, 9, "N", -1, SQLITE_STATIC);
                sqlite3_step(insert);
                sqlite3_reset(insert);
            }
    }
    sqlite3_finalize(insert);
    mustRun(db, "COMMIT");
    sqlite3_close(db);
    return written;
}

bool startSimulator(QProcess &simulator, const QStringList &arguments, QByteArray *readyLine)
{
    simulator.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    simulator.start(QStringLiteral(HYDROVANE_SIM_PATH), arguments);
    QByteArray output;
    while (!output.contains('\n') && simulator.waitForReadyRead(10000))
        output += simulator.readAllStandardOutput();
    if (!output.startsWith("ready "))
        std::fprintf(stderr, "the simulator did not answer\n");
    if (readyLine)
        *readyLine = output.left(output.indexOf('\n'));
    return output.startsWith("ready ");
}

long storedRows(const QString &path, const std::string &condition)
{
    zircon_db *handle = nullptr;
    long rows = -1;
    if (zircon_open(&handle, path.toUtf8().constData()) == 0) {
        zircon_set_password(handle, kPassPhrase, kPassPhraseLength);
        zircon_run_sql(handle, ("SELECT count(*) FROM Record" + condition).c_str(), &rows,
                       [](void *user, int, char **texts) {
                           *static_cast<long *>(user) = texts[0] ? atol(texts[0]) : 0;
                           return 0;
                       });
    }
    zircon_close(handle);
    return rows;
}

double msSince(const QElapsedTimer &timer)
{
    return timer.nsecsElapsed() / 1e6;
}

long statusKb(const char *field)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field, 0) == 0)
            return std::atol(line.c_str() + std::string(field).size() + 1);
    return -1;
}

void resetPeak()
{
    malloc_trim(0);
    std::ofstream("/proc/self/clear_refs") << "5";
}

QString chainModel(int id)
{
    static const char *const models[] = {"DI590", "RO592", "DO580", "RA550"};
    return QLatin1String(models[id % 4]);
}

bool writeStationConfig(const QString &station, const QString &link, int interval,
                        const std::vector<ChainMonitor> &monitors)
{
    QJsonArray entries;
    for (const ChainMonitor &monitor : monitors)
        entries.append(QJsonObject{{"channel", -1},
                                   {"id", monitor.id},
                                   {"model", monitor.model},
                                   {"record", true},
                                   {"running", true},
                                   {"username", monitor.name}});
    const QJsonObject comPort{
        {"baudrate", 9600}, {"comport", link}, {"databit", 8}, {"parity", "N"}, {"stopbit", 2}};
    const QJsonObject monitorFile{{"interval", interval}, {"monitor", entries}};
    QDir().mkpath(station + QStringLiteral("/config"));
    QFile comPortFile(station + QStringLiteral("/config/ComPort.json"));
    QFile monitorsFile(station + QStringLiteral("/config/Monitor.json"));
    return comPortFile.open(QIODevice::WriteOnly) &&
           comPortFile.write(QJsonDocument(comPort).toJson()) > 0 &&
           monitorsFile.open(QIODevice::WriteOnly) &&
           monitorsFile.write(QJsonDocument(monitorFile).toJson()) > 0;
}

StallMeter::StallMeter()
{
    timer.setTimerType(Qt::PreciseTimer);
    timer.setInterval(10);
    connect(&timer, &QTimer::timeout, this, [this] {
        const qint64 now = clock.nsecsElapsed();
        note(now);
        ++tickCount;
    });
}

void StallMeter::start()
{
    clock.start();
    lastNs = 0;
    longestNs = 0;
    tickCount = 0;
    gaps.clear();
    schedule(lastRunNs, lastQueuedNs);
    running = true;
    timer.start();
}

void StallMeter::note(qint64 now)
{
    qint64 runNs = 0, queuedNs = 0;
    schedule(runNs, queuedNs);
    longestNs = std::max(longestNs, now - lastNs);
    if (now - lastNs > longGapMs * 1e6)
        gaps.push_back({lastNs / 1e6, (now - lastNs) / 1e6, (runNs - lastRunNs) / 1e6,
                        (queuedNs - lastQueuedNs) / 1e6});
    lastNs = now;
    lastRunNs = runNs;
    lastQueuedNs = queuedNs;
}

bool StallMeter::schedule(qint64 &runNs, qint64 &queuedNs)
{
    std::ifstream schedstat("/proc/thread-self/schedstat");
    long long run = 0, queued = 0;
    if (!(schedstat >> run >> queued))
        return false;
    runNs = run;
    queuedNs = queued;
    return true;
}

void StallMeter::stop()
{
    note(clock.nsecsElapsed());
    running = false;
    timer.stop();
}

double StallMeter::longestMs() const
{
    const qint64 open = running ? clock.nsecsElapsed() - lastNs : 0;
    return std::max(longestNs, open) / 1e6;
}

AcquisitionCounter::AcquisitionCounter(MainWindow *window, bool keepTimes) : window(window)
{
    auto *line = window->findChild<WidgetComPort *>();
    connect(line->getReader(), &ComPortReader::signal_readDone, this, [this] { ++passes; });
    for (MonitorBase *monitor :
         window->findChild<WidgetMonitorList *>()->collection().getMonitors()) {
        auto *page = static_cast<WidgetMonitorDisplay *>(monitor->views.at(0));
        connect(page, &WidgetMonitorDisplay::signal_updateResult, this,
                [this, page, keepTimes](const QString &, const QString &unit, const QString &) {
                    if (unit.isEmpty())
                        return;
                    ++readings;
                    if (keepTimes)
                        readingTimes.push_back(QDateTime::currentMSecsSinceEpoch());
                    factorsShown += page->factorCount();
                });
    }
    if (RecordHandOff *handOff = RecordHandOff::current())
        connect(handOff, &RecordHandOff::signal_rows, this,
                [this, keepTimes](void *, void *, int count) {
                    rowsHanded += count;
                    if (keepTimes)
                        handedTimes.insert(handedTimes.end(), size_t(count),
                                           QDateTime::currentMSecsSinceEpoch());
                });
}

long AcquisitionCounter::countBetween(const std::vector<qint64> &times, qint64 from, qint64 to)
{
    return long(std::lower_bound(times.begin(), times.end(), to) -
                std::lower_bound(times.begin(), times.end(), from));
}

int AcquisitionCounter::monitors() const
{
    return int(window->findChild<WidgetMonitorList *>()->collection().getMonitors().size());
}

long AcquisitionCounter::rowsPerPass() const
{
    long rows = 0;
    for (MonitorBase *monitor :
         window->findChild<WidgetMonitorList *>()->collection().getMonitors())
        rows += static_cast<WidgetMonitorDisplay *>(monitor->views.at(0))->factorCount();
    return rows;
}

bool parseOptions(const QStringList &arguments,
                  const std::function<bool(const QString &name, const QString &value)> &take)
{
    for (int i = 1; i < arguments.size(); ++i) {
        const QString &name = arguments.at(i);
        if (i + 1 >= arguments.size())
            return false;
        const QString value = arguments.at(++i);
        if (!take(name, value))
            return false;
    }
    return true;
}

qint64 wallMs()
{
    return QDateTime::currentMSecsSinceEpoch();
}

double threadCpuMs()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

void serve(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

Spread spreadOf(const std::vector<double> &values)
{
    Spread spread;
    const size_t n = values.size();
    if (n == 0)
        return spread;
    for (double value : values)
        spread.mean += value / n;
    if (n < 2)
        return spread;
    double squares = 0;
    for (double value : values)
        squares += (value - spread.mean) * (value - spread.mean);
    const double degrees = double(n - 1);
    const double t = 1.96 + 2.37 / degrees + 2.8 / (degrees * degrees);
    spread.half = t * std::sqrt(squares / degrees / n);
    return spread;
}

bool startStationChild(QProcess &child, const QString &folder)
{
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QCoreApplication::applicationFilePath(), {"--station", folder});
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < 30000) {
        if (!child.waitForReadyRead(1000) && child.state() != QProcess::Running)
            return false;
        if (child.readAll().contains("station up"))
            return true;
    }
    return false;
}

QueuedCallTimer::QueuedCallTimer(QObject *target, Events events) : events(events)
{
    target->installEventFilter(this);
}

bool QueuedCallTimer::eventFilter(QObject *watched, QEvent *event)
{
    const bool timed = event->type() == QEvent::MetaCall ||
                       (events == QueuedCallsAndTimers && event->type() == QEvent::Timer);
    if (!timed || inside)
        return false;
    inside = true;
    QElapsedTimer clock;
    clock.start();
    watched->event(event);
    ns += clock.nsecsElapsed();
    ++calls;
    inside = false;
    return true;
}

ThreadCountingSink::ThreadCountingSink(RecordSink *inner) : inner(inner)
{
    RecordSink::replace(inner, this);
}

ThreadCountingSink::~ThreadCountingSink()
{
    RecordSink::replace(this, inner);
}

void ThreadCountingSink::recordRow(const RecordRow &row)
{
    note();
    inner->recordRow(row);
}

void ThreadCountingSink::alarmChange(int change, const AlarmEvent &alarm)
{
    note();
    inner->alarmChange(change, alarm);
}

void ThreadCountingSink::note()
{
    ++(QThread::currentThread() == QCoreApplication::instance()->thread() ? onInterface
                                                                          : elsewhere);
}

namespace {

QObject *childOfClass(QObject *parent, const QMetaObject &type)
{
    for (QObject *child : parent->findChildren<QObject *>())
        if (type.cast(child))
            return child;
    return nullptr;
}

} // namespace

BenchStation::BenchStation(const QString &folder, const QMetaObject &statusLabel,
                           QueuedCallTimer::Events events)
{
    AppContext::instance().setApplicationDir(folder);
    AppContext::instance().init();
    window = new MainWindow;
    window->show();
    line = window->findChild<WidgetComPort *>();
    counter = new AcquisitionCounter(window);
    statusCalls = new QueuedCallTimer(childOfClass(window, statusLabel), events);
    line->findChild<QCheckBox *>(QStringLiteral("checkBoxConnect"))->setChecked(true);
}

BenchStation::~BenchStation()
{
    line->findChild<QCheckBox *>(QStringLiteral("checkBoxConnect"))->setChecked(false);
    line->waitForReader();
    QCoreApplication::processEvents();
    RecordWriter::waitForAll();
    MessageBoxes::setResponder([](const MessageBoxes::Box &) { return QMessageBox::Yes; });
    window->on_pushButtonClose_clicked();
    delete counter;
    delete statusCalls;
    delete window;
    AppContext::instance().reset();
    MessageBoxes::setResponder(printBox);
}

QMessageBox::StandardButton BenchStation::printBox(const MessageBoxes::Box &box)
{
    std::printf("message %s: %s\n", qPrintable(box.title), qPrintable(box.text));
    std::fflush(stdout);
    return QMessageBox::Yes;
}

PassBlock measurePasses(const BenchStation &station, int seconds)
{
    PassBlock block;
    const long passesBefore = station.counter->passes;
    const long rowsBefore = station.counter->rowsHanded;
    const double cpuBefore = threadCpuMs();
    const double statusBefore = station.statusCalls->ms();
    serve(seconds * 1000);
    block.passes = station.counter->passes - passesBefore;
    if (block.passes > 0) {
        block.cpuPerPassMs = (threadCpuMs() - cpuBefore) / block.passes;
        block.statusPerPassMs = (station.statusCalls->ms() - statusBefore) / block.passes;
    }
    block.rows = station.counter->rowsHanded - rowsBefore;
    return block;
}
