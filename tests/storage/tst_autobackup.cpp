#include "storage/autobackup.h"
#include "storage/autobackupcopies.h"
#include "storage/recorddatabase.h"

#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

// Automatic backups of a real record file: the copy and its check, the second folder, the
// copies kept, and the schedule driven by a clock of the test's own.
class TestAutoBackup : public QObject
{
    Q_OBJECT

private:
    struct Station
    {
        TempStation dir;
        std::unique_ptr<RecordDatabase> database;
        QDateTime wall = QDateTime(QDate(2026, 3, 2), QTime(10, 0));
        qint64 monotonic = 0;

        Station()
        {
            QDir().mkpath(dir.filePath(QStringLiteral("db")));
            database = std::make_unique<RecordDatabase>(
                dir.filePath(QStringLiteral("db/record.zdb")).toStdString());
            database->openOrCreate();
            for (int i = 0; i < 20; ++i)
                database->insert(makeRecord("仪表", 0, "2026-03-01 00:00:00"));
        }
        ~Station() { database->close(); }

        // An AutoBackup on the station with these settings and the station's clock.
        std::unique_ptr<AutoBackup> backup(const AutoBackupSettings &settings)
        {
            QDir().mkpath(dir.filePath(QStringLiteral("config")));
            if (settings.save(AutoBackup::settingsPath(dir.path())) != 0)
                return nullptr;
            auto backup = std::make_unique<AutoBackup>(database.get(), dir.path());
            backup->setClock([this] { return wall; }, [this] { return monotonic; });
            backup->load();
            return backup;
        }
        QString autoDir() const { return dir.filePath(QStringLiteral("backup/auto")); }
    };

    // Runs one backup at once and waits for its report.
    static AutoBackup::Report runOnce(AutoBackup &backup)
    {
        QSignalSpy finished(&backup, &AutoBackup::signal_finished);
        if (!backup.runNow())
            return finished.isEmpty() ? AutoBackup::Report()
                                      : finished.first().first().value<AutoBackup::Report>();
        if (!finished.wait(30000))
            return AutoBackup::Report();
        return finished.first().first().value<AutoBackup::Report>();
    }

    static int countFiles(const QString &folder, const QString &pattern)
    {
        return QDir(folder).entryList({pattern}, QDir::Files).size();
    }

private slots:
    void aCopyIsCheckedUnderTheKeyAndHoldsEveryRecord()
    {
        Station station;
        auto backup = station.backup(AutoBackupSettings());
        const AutoBackup::Report report = runOnce(*backup);
        QVERIFY2(report.ok, qPrintable(report.problems.join('\n')));
        QCOMPARE(report.rows, 20);
        QVERIFY(report.copy.startsWith(station.autoDir() + QLatin1Char('/')));
        QCOMPARE(RecordDatabase::verifyCopy(report.copy.toStdString()), RecordDatabase::ImportOk);
        // Recording goes on into the live file.
        QCOMPARE(station.database->insert(makeRecord("仪表", 0, "2026-03-02 10:00:00")), 0);
    }

    void retentionDeletesOnlyItsOwnOldestCopies()
    {
        Station station;
        AutoBackupSettings settings;
        settings.keep = 3;
        auto backup = station.backup(settings);
        QDir().mkpath(station.autoDir());
        // A copy an operator put there and a manual backup are never the station's to delete.
        const QString foreign = station.autoDir() + QStringLiteral("/record_20260301.zdb");
        const QString lookalike =
            station.autoDir() + QStringLiteral("/record_auto_000001_keep.zdb");
        QFile(foreign).open(QIODevice::WriteOnly);
        QFile(lookalike).open(QIODevice::WriteOnly);
        for (int i = 0; i < 5; ++i) {
            // The clock goes back by a day each time: the numbers still order the copies.
            station.wall = station.wall.addDays(-1);
            QVERIFY(runOnce(*backup).ok);
        }
        const std::vector<AutoBackupCopies::Copy> kept = AutoBackupCopies::list(station.autoDir());
        QCOMPARE(int(kept.size()), 3);
        QCOMPARE(kept[0].number, 3);
        QCOMPARE(kept[2].number, 5);
        QVERIFY(QFile::exists(foreign));
        QVERIFY(QFile::exists(lookalike));
    }

    void aSecondFolderGetsACheckedCopyAndKeepsItsOwnCount()
    {
        Station station;
        QTemporaryDir usb;
        AutoBackupSettings settings;
        settings.secondFolder = usb.path();
        settings.keep = 2;
        auto backup = station.backup(settings);
        for (int i = 0; i < 3; ++i) {
            const AutoBackup::Report report = runOnce(*backup);
            QVERIFY2(report.ok, qPrintable(report.problems.join('\n')));
            QVERIFY(QFile::exists(report.secondCopy));
            station.wall = station.wall.addSecs(1);
        }
        QCOMPARE(countFiles(usb.path(), QStringLiteral("record_auto_*.zdb")), 2);
        QCOMPARE(countFiles(station.autoDir(), QStringLiteral("record_auto_*.zdb")), 2);
    }

    void aMissingOrReadOnlySecondFolderIsReported()
    {
        Station station;
        QTemporaryDir usb;
        AutoBackupSettings settings;
        settings.secondFolder = usb.filePath(QStringLiteral("unplugged"));
        auto backup = station.backup(settings);
        AutoBackup::Report report = runOnce(*backup);
        QVERIFY(!report.ok);
        QVERIFY(!report.copy.isEmpty()); // the station's own copy was made all the same
        QCOMPARE(report.problems.size(), 1);
        QVERIFY(report.problems[0].contains(QStringLiteral("不存在")));

        if (::geteuid() == 0)
            QSKIP("root writes into read-only folders");
        settings.secondFolder = usb.path();
        backup = station.backup(settings);
        ::chmod(QFile::encodeName(usb.path()).constData(), 0555);
        report = runOnce(*backup);
        ::chmod(QFile::encodeName(usb.path()).constData(), 0755);
        QVERIFY(!report.ok);
        QVERIFY(report.problems.join('\n').contains(QStringLiteral("只读")));
    }

    void aCopyThatCannotBeCompletedDeletesNothingAndIsReported()
    {
        Station station;
        AutoBackupSettings settings;
        settings.keep = 1;
        auto backup = station.backup(settings);
        QVERIFY(runOnce(*backup).ok);
        // A disk that fills during the copy: no file may grow past its first page.
        ::signal(SIGXFSZ, SIG_IGN);
        rlimit saved;
        ::getrlimit(RLIMIT_FSIZE, &saved);
        rlimit small = saved;
        small.rlim_cur = 1024;
        ::setrlimit(RLIMIT_FSIZE, &small);
        const AutoBackup::Report report = runOnce(*backup);
        ::setrlimit(RLIMIT_FSIZE, &saved);
        QVERIFY(!report.ok);
        QVERIFY(report.problems.join('\n').contains(QStringLiteral("磁盘可能已满")));
        QVERIFY(report.copy.isEmpty());
        QCOMPARE(int(AutoBackupCopies::list(station.autoDir()).size()), 1);
    }

    void aRefusalIsReportedAndNoCopyIsMade()
    {
        Station station;
        auto backup = station.backup(AutoBackupSettings());
        backup->setRefusal([] { return QStringLiteral("磁盘空间不足"); });
        QSignalSpy finished(backup.get(), &AutoBackup::signal_finished);
        QVERIFY(!backup->runNow());
        QCOMPARE(finished.size(), 1);
        const auto report = finished.first().first().value<AutoBackup::Report>();
        QVERIFY(!report.ok);
        QVERIFY(report.problems.join('\n').contains(QStringLiteral("磁盘空间不足")));
        QVERIFY(AutoBackupCopies::list(station.autoDir()).empty());
    }

    void aMissedBackupRunsAtStartAndTheStateOutlivesTheRun()
    {
        Station station;
        AutoBackupSettings settings; // daily at 02:00
        {
            auto backup = station.backup(settings);
            QVERIFY(!backup->check()); // a new station waits for 02:00
        }
        // Off over the night: the next start, at 10:00 the day after, runs the missed one.
        station.wall = station.wall.addDays(1);
        auto backup = station.backup(settings);
        QSignalSpy finished(backup.get(), &AutoBackup::signal_finished);
        QVERIFY(backup->check());
        QVERIFY(finished.wait(30000));
        QVERIFY(!backup->check());
        // A restart the same day does not repeat it.
        backup = station.backup(settings);
        QVERIFY(!backup->check());
        QCOMPARE(int(AutoBackupCopies::list(station.autoDir()).size()), 1);
    }
};

QTEST_GUILESS_MAIN(TestAutoBackup)
#include "tst_autobackup.moc"
