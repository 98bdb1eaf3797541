#ifndef BENCHSUPPORT_H
#define BENCHSUPPORT_H

#include "panels/messageboxes.h"
#include "storage/recordsink.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <atomic>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

struct sqlite3;
class MainWindow;
class QMetaObject;
class QProcess;
class WidgetComPort;

// What the benchmark programs share: raw connections to record files and large record files
// made fast, without the station's classes; the station's configuration for a simulated chain;
// meters of the interface thread and of what the station acquires; the real station run in
// the benchmark's process or in a child of it.

const int kReadIntervalSeconds = 30;
const time_t kFirstReading = 1704067200; // 2024-01-01 00:00:00 UTC
extern const char *const kCreateRecordTable;

// A connection keyed and set up as the station keys its files; exits when the file won't open.
sqlite3 *openRaw(const QString &path);
// Exits with the error when the statement fails.
void mustRun(sqlite3 *db, const char *sql);
// "yyyy-MM-dd hh:mm:ss" of seconds since the epoch, in UTC.
std::string timeText(time_t seconds);
// "仪表001" for 0, "仪表002" for 1, ...
std::string instrumentName(int i);
// Makes a record file of rows rows in one transaction: every read interval from kFirstReading,
// each of the instruments stores channel 0 (DO) and, with two channels, channel 1 (Temper) with
// values that change from reading to reading. Returns the rows written.
long generateRecordFile(const QString &path, long rows, int instruments, int channels = 2);
// Rows of the record file matching condition (" WHERE ..." or empty), counted through a
// connection of its own; -1 while the file cannot be read.
long storedRows(const QString &path, const std::string &condition = std::string());

// Milliseconds on timer, to the microsecond.
double msSince(const QElapsedTimer &timer);
// A field of /proc/self/status in kB, for example "VmRSS:" or "VmHWM:"; -1 when missing.
long statusKb(const char *field);
// Starts a new peak (VmHWM) at the current resident size, after returning freed heap to the
// system, so that memory of an earlier step does not count.
void resetPeak();

// Hands every "--name value" pair after the program's name to take; false when a name has no
// value or take refuses the pair.
bool parseOptions(const QStringList &arguments,
                  const std::function<bool(const QString &name, const QString &value)> &take);

// Milliseconds since the epoch, wall clock.
qint64 wallMs();
// The processor time of the calling thread in ms: what the interface thread spends on its
// events of every kind, whatever else runs on the machine.
double threadCpuMs();
// Serves events for ms milliseconds, sleeping while there are none.
void serve(int ms);
// Serves events until the condition holds or timeoutMs passed; the condition's last value.
template <typename Condition> bool serveUntil(Condition condition, int timeoutMs)
{
    QElapsedTimer waited;
    waited.start();
    while (!condition()) {
        if (waited.elapsed() > timeoutMs)
            return condition();
        serve(20);
    }
    return true;
}

// Mean, and half the width of its 95 % confidence interval (Student's t, approximated), of
// the values.
struct Spread
{
    double mean = 0;
    double half = 0;
};
Spread spreadOf(const std::vector<double> &values);

// Starts hydrovane-sim with these arguments; true once it answers on its link or gateways.
// The line it printed ("ready PATH tcp:PORT...") goes to *readyLine when given.
bool startSimulator(QProcess &simulator, const QStringList &arguments,
                    QByteArray *readyLine = nullptr);
// Starts this program with "--station folder"; true once the child prints "station up".
bool startStationChild(QProcess &child, const QString &folder);

// One monitor of a simulated chain, running and recording every channel.
struct ChainMonitor
{
    int id;
    QString model;
    QString name;
};
// The model of slave id in the benchmarks' chains: the four models in turn.
QString chainModel(int id);
// Writes config/ComPort.json (the line at link, 9600 8N2) and config/Monitor.json (a read every
// interval seconds, the monitors) below the station folder; false when a file cannot be written.
bool writeStationConfig(const QString &station, const QString &link, int interval,
                        const std::vector<ChainMonitor> &monitors);

// The longest gap between the ticks of a 10 ms timer on the thread that starts it: how long
// that thread's event loop was kept from its other work, the stall. A gap still open counts.
// Of each long gap it tells how much the thread ran and how long it waited for a processor
// (other processes' load); the rest it slept or was blocked.
class StallMeter : public QObject
{
public:
    StallMeter();
    // Starts again from now, forgetting the longest gap so far.
    void start();
    void stop();
    double longestMs() const;
    long ticks() const { return tickCount; }
    // Gaps longer than this, each as its start and length in ms since start(), in order.
    static constexpr double longGapMs = 30;
    struct Gap
    {
        double atMs;
        double lengthMs;
        double runMs;
        double queuedMs;
    };
    const std::vector<Gap> &longGaps() const { return gaps; }

private:
    void note(qint64 now);
    // The thread's time on a processor and waiting for one, in ns (schedstat).
    static bool schedule(qint64 &runNs, qint64 &queuedNs);

    QTimer timer;
    QElapsedTimer clock;
    qint64 lastNs = 0;
    qint64 longestNs = 0;
    qint64 lastRunNs = 0;
    qint64 lastQueuedNs = 0;
    long tickCount = 0;
    bool running = false;
    std::vector<Gap> gaps;
};

// Counts what the real main window acquires, as its pages show it: a reading updates the
// overview cell with a unit (a reset has none) and hands the page's factor rows over to its
// record writer. Hook it up before the line is switched on.
class AcquisitionCounter : public QObject
{
public:
    // keepTimes: note the time of every reading (memory that grows with the run).
    explicit AcquisitionCounter(MainWindow *window, bool keepTimes = false);

    long passes = 0;
    long readings = 0;
    long factorsShown = 0;
    long rowsHanded = 0;
    // The wall-clock times (ms since the epoch) of every reading and of every row handed over,
    // in order, when kept.
    std::vector<qint64> readingTimes;
    std::vector<qint64> handedTimes;
    // Those of times from..to, to excluded.
    static long countBetween(const std::vector<qint64> &times, qint64 from, qint64 to);
    // Monitors on the window, and the factor rows one reading of each shows.
    int monitors() const;
    long rowsPerPass() const;

private:
    MainWindow *window;
};

// The interface thread's time in the queued calls an object receives, and with Timers in its
// timer events too: for a status label, all that an outside interface asks of that thread.
class QueuedCallTimer : public QObject
{
public:
    enum Events
    {
        QueuedCalls,
        QueuedCallsAndTimers
    };
    QueuedCallTimer(QObject *target, Events events);
    double ms() const { return ns / 1e6; }
    long calls = 0;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    Events events;
    qint64 ns = 0;
    bool inside = false;
};

// Stands between the record writers and the sink in front of which it is put, counting the
// calls by thread: none may come on the interface thread.
class ThreadCountingSink : public RecordSink
{
public:
    explicit ThreadCountingSink(RecordSink *inner = RecordSink::current());
    ~ThreadCountingSink() override;
    void recordRow(const RecordRow &row) override;
    void alarmChange(int change, const AlarmEvent &alarm) override;

    std::atomic<long> onInterface{0};
    std::atomic<long> elsewhere{0};

private:
    void note();

    RecordSink *inner;
};

// The station on a folder laid out for the simulator's line, with its window and line on; the
// queued calls of its status label of class statusLabel are timed.
class BenchStation
{
public:
    BenchStation(const QString &folder, const QMetaObject &statusLabel,
                 QueuedCallTimer::Events events);
    ~BenchStation();
    BenchStation(const BenchStation &) = delete;
    BenchStation &operator=(const BenchStation &) = delete;

    // A message box's responder that prints the box and answers yes.
    static QMessageBox::StandardButton printBox(const MessageBoxes::Box &box);

    MainWindow *window = nullptr;
    WidgetComPort *line = nullptr;
    AcquisitionCounter *counter = nullptr;
    QueuedCallTimer *statusCalls = nullptr;
};

// What the interface thread did per read pass while the station ran for a block of seconds.
struct PassBlock
{
    double cpuPerPassMs = 0;
    double statusPerPassMs = 0;
    long passes = 0;
    long rows = 0; // handed to the record writers
};
PassBlock measurePasses(const BenchStation &station, int seconds);

#endif // BENCHSUPPORT_H
