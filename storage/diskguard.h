#ifndef DISKGUARD_H
#define DISKGUARD_H

#include <QObject>
#include <QString>

#include <deque>
#include <functional>
#include <mutex>

class QTimer;

// The free space of the file system that holds the station folder, measured every minute on a
// worker, so that a disk filling over months is seen weeks ahead: with an estimate of the days
// left at the rate it shrank over the last day, a lasting warning below max(2 GB, 5 %), and
// below 200 MB a refusal of backups and exports, which would take the last space the record
// writers need. Recording itself is never refused here.
//
// One object for the process, living on the application's thread; its status may be read on
// any thread.
class DiskGuard : public QObject
{
    Q_OBJECT

public:
    static constexpr qint64 lowBytes = 2LL << 30;
    static constexpr int lowPercent = 5;
    static constexpr qint64 criticalBytes = 200LL << 20;
    static constexpr int checkMs = 60000;
    // The growth is measured over this long at most, and only once it spans the minimum.
    static constexpr qint64 growthWindowMs = 24LL * 3600 * 1000;
    static constexpr qint64 growthMinimumMs = 10LL * 60 * 1000;

    enum Level
    {
        Unknown = 0, // not measured yet, or the measurement failed
        Enough = 1,
        Low = 2,      // a lasting warning
        Critical = 3, // backups and exports refused
    };
    struct Status
    {
        Level level = Unknown;
        QString folder;
        qint64 freeBytes = -1;
        qint64 totalBytes = -1;
        // At the rate of the last day: < 0 not known yet, 0 not shrinking.
        double daysLeft = -1;
        // Over how long the rate was measured.
        qint64 growthSpanMs = 0;
        // Why the last measurement failed.
        QString error;
    };

    // How free space is measured: the file system of a folder, as an unprivileged writer sees
    // it. Replaceable for tests.
    using Measure = std::function<bool(const QString &folder, qint64 *freeBytes, qint64 *totalBytes,
                                       QString *error)>;
    enum Room
    {
        RoomOk = 0,
        RoomRefused = -1,    // below criticalBytes: *reason says why and what to do
        RoomUnmeasured = -2, // the measurement failed: *reason says why; callers go on
    };

    static DiskGuard &instance();

    // Whether a backup or an export may write into folder (or, when it does not exist yet,
    // its nearest existing parent): RoomRefused below criticalBytes free. Measures now, so call
    // it on the worker that is about to write; what is the work's name (备份, 导出) for the
    // reason. Any thread.
    static int checkRoom(const QString &folder, const QString &what, QString *reason);
    // An empty measure restores the real one.
    static void setMeasure(Measure measure);

    // Measures the file system of folder now and then every checkMs, on a worker.
    void watch(const QString &folder);
    // Ends the watching and forgets what was measured.
    void stop();
    // One measurement now, on a worker, as the timer's.
    void checkNow();
    Status status() const;
    // The operator's refusal of `what` (备份, 导出) while space is critical; empty when it may run.
    QString refusal(const QString &what) const;

    // Takes a measurement made at a steady time in milliseconds (the worker's; tests give their
    // own): the level, the growth, the signals.
    void addSample(qint64 steadyMs, qint64 freeBytes, qint64 totalBytes);
    // A measurement that failed.
    void addFailure(const QString &error);

    // The level for the free space, given the level before: a level is left only once the
    // space is clearly past its line (a tenth of the line beyond), so that a disk hovering at
    // a line does not warn anew each minute.
    static Level levelFor(qint64 freeBytes, qint64 totalBytes, Level before = Unknown);
    // The warning line of a file system: max(2 GB, 5 %).
    static qint64 lowLine(qint64 totalBytes);
    // Measures the file system holding folder with the current Measure.
    static bool measure(const QString &folder, qint64 *freeBytes, qint64 *totalBytes,
                        QString *error);
    // The status for the tooltip: where, how much, how long at the current rate, the lines.
    static QString describe(const Status &status);
    // What the operator should do at a low or critical level.
    static QString advice(Level level);
    // "1.5 GB", "150 MB".
    static QString bytesText(qint64 bytes);

signals:
    // A new measurement; queued to this object's thread.
    void signal_changed();
    void signal_levelChanged(int level, int before);

private:
    DiskGuard();

    mutable std::mutex mutex;
    Status current;
    struct Sample
    {
        qint64 ms;
        qint64 freeBytes;
    };
    std::deque<Sample> samples;
    QTimer *timer = nullptr;
    // A measurement under way is not asked again: a hanging network mount costs one worker.
    bool measuring = false;
    quint64 generation = 0;
};

#endif // DISKGUARD_H
