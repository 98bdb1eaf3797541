#ifndef AUTOBACKUP_H
#define AUTOBACKUP_H

#include "storage/autobackupsettings.h"
#include "storage/backupschedule.h"

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

class RecordDatabase;

// The automatic backups of the record file: checks the schedule at start (a missed backup runs
// then) and every minute, and copies the file on a worker into backup/auto/ and, when set, a
// second folder. Each copy is opened under the key and checked before the older automatic
// copies beyond the number kept are deleted from its folder. Recording goes on meanwhile, as
// during a manual backup. The schedule's state is backup/auto/schedule.json.
class AutoBackup : public QObject
{
    Q_OBJECT

public:
    using WallClock = std::function<QDateTime()>;
    using MonotonicClock = std::function<qint64()>;
    // A reason to refuse a backup now, or an empty text. Asked on the interface thread just
    // before each backup starts.
    using Refusal = std::function<QString()>;

    struct Report
    {
        QDateTime time;
        bool ok = false;      // every copy asked for was made and checked
        QString copy;         // the checked copy in backup/auto/; empty when it failed
        QString secondCopy;   // the checked copy in the second folder; empty when none
        qint64 rows = -1;     // records in the copy
        int deleted = 0;      // older automatic copies deleted
        QStringList problems; // what went wrong, in Chinese
    };

    // Without a database, the registry's record database at the time of each backup.
    AutoBackup(RecordDatabase *database, const QString &stationDir, QObject *parent = nullptr);
    // Waits for a backup under way.
    ~AutoBackup() override;

    void setClock(const WallClock &wall, const MonotonicClock &monotonic);
    void setRefusal(const Refusal &refusal) { refusal_ = refusal; }

    static QString settingsPath(const QString &stationDir);
    QString folder() const;
    // Loads the settings and the schedule's state; problem gets what could not be used.
    void load(QString *problem = nullptr);
    const AutoBackupSettings &settings() const { return schedule.settings(); }
    // New settings, already saved by the caller; the next check follows them.
    void setSettings(const AutoBackupSettings &settings);

    // Checks now and then every intervalMs.
    void start(int intervalMs = 60000);
    // No further backup starts; one under way goes on.
    void stop();
    // Starts a backup when one is due; true when one started.
    bool check();
    // Starts a backup at once, due or not; false while one runs or it was refused (reported).
    bool runNow();
    bool isRunning() const { return running; }
    // Waits for a backup under way and reports it at once.
    void waitForFinished();

signals:
    void signal_started();
    void signal_finished(const AutoBackup::Report &report);

private:
    bool begin();
    // Joins the worker and emits the report it left, once.
    void deliver();
    // The worker's part.
    static Report copyAndCheck(RecordDatabase *database, const QString &folder,
                               const AutoBackupSettings &settings, const QDateTime &time);
    void writeState(const BackupSchedule::State &state) const;

    RecordDatabase *database;
    QString stationDir;
    BackupSchedule schedule;
    WallClock wall;
    MonotonicClock monotonic;
    Refusal refusal_;
    QTimer timer;
    std::thread worker;
    std::atomic<bool> running{false};
    std::mutex pendingMutex;
    Report pending;
    bool hasPending = false;
    bool stopped = false;
};

Q_DECLARE_METATYPE(AutoBackup::Report)

#endif // AUTOBACKUP_H
