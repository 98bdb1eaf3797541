#ifndef BENCHSUPPORT_H
#define BENCHSUPPORT_H

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <ctime>
#include <string>
#include <vector>

struct sqlite3;
class MainWindow;
class QProcess;

// What the benchmark programs share: raw connections to record files and large record files
// made fast, without the station's classes; the station's configuration for a simulated chain;
// meters of the interface thread and of what the station acquires.

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

// Starts hydrovane-sim with these arguments; true once it answers on its link.
bool startSimulator(QProcess &simulator, const QStringList &arguments);

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

#endif // BENCHSUPPORT_H
