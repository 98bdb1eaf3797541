#include "storage/backupschedule.h"

#include <QtTest>

// The schedule against a clock of the test's own: wall time and a monotonic reading that moves
// with it unless the wall clock is set.
class TestBackupSchedule : public QObject
{
    Q_OBJECT

private:
    struct Clock
    {
        QDateTime wall;
        qint64 monotonic = 0;
        void advance(qint64 ms)
        {
            wall = wall.addMSecs(ms);
            monotonic += ms;
        }
        // Moves the wall clock only, as someone setting the time does.
        void set(const QDateTime &time) { wall = time; }
    };

    static QDateTime at(int day, int hour, int minute = 0)
    {
        // 2026-03-02 is a Monday.
        return QDateTime(QDate(2026, 3, 1).addDays(day), QTime(hour, minute));
    }

    static BackupSchedule daily()
    {
        BackupSchedule schedule;
        AutoBackupSettings settings;
        settings.mode = AutoBackupSettings::Daily;
        settings.at = QTime(2, 0);
        schedule.setSettings(settings);
        return schedule;
    }

    // Runs the schedule minute by minute from the clock's time for minutes, marking each due
    // backup done; the wall times of the backups.
    static QList<QDateTime> runFor(BackupSchedule &schedule, Clock &clock, int minutes)
    {
        QList<QDateTime> backups;
        for (int i = 0; i < minutes; ++i) {
            if (schedule.isDue(clock.wall, clock.monotonic)) {
                backups << clock.wall;
                schedule.markDone(clock.wall, clock.monotonic);
            }
            clock.advance(60000);
        }
        return backups;
    }

private slots:
    void dailyRunsOnceAtTheSetTime()
    {
        BackupSchedule schedule = daily();
        Clock clock{at(1, 10), 0};
        // A new station waits for the next scheduled time.
        QVERIFY(!schedule.isDue(clock.wall, clock.monotonic));
        const QList<QDateTime> backups = runFor(schedule, clock, 3 * 24 * 60);
        QCOMPARE(backups, (QList<QDateTime>{at(2, 2), at(3, 2), at(4, 2)}));
    }

    void weeklyRunsOnTheSetDay()
    {
        BackupSchedule schedule;
        AutoBackupSettings settings;
        settings.mode = AutoBackupSettings::Weekly;
        settings.weekday = 3; // Wednesday
        settings.at = QTime(23, 30);
        schedule.setSettings(settings);
        Clock clock{at(1, 0), 0};
        const QList<QDateTime> backups = runFor(schedule, clock, 15 * 24 * 60);
        QCOMPARE(backups, (QList<QDateTime>{at(3, 23, 30), at(10, 23, 30)}));
        QCOMPARE(backups[0].date().dayOfWeek(), 3);
    }

    void offIsNeverDue()
    {
        BackupSchedule schedule;
        AutoBackupSettings settings;
        settings.mode = AutoBackupSettings::Off;
        schedule.setSettings(settings);
        Clock clock{at(1, 0), 0};
        QVERIFY(runFor(schedule, clock, 2 * 24 * 60).isEmpty());
    }

    void missedBackupsRunOnceAtTheNextStart()
    {
        // The last backup covered day 1; the station starts again on day 4 at 09:00.
        BackupSchedule schedule = daily();
        schedule.restore({at(1, 2), at(1, 2)});
        Clock clock{at(4, 9), 0};
        QVERIFY(schedule.isDue(clock.wall, clock.monotonic));
        schedule.markDone(clock.wall, clock.monotonic);
        QCOMPARE(schedule.state().covered, at(4, 2));
        clock.advance(60000);
        QCOMPARE(runFor(schedule, clock, 24 * 60), QList<QDateTime>{at(5, 2)});
    }

    void startedBeforeTheTimeWaitsForIt()
    {
        BackupSchedule schedule = daily();
        schedule.restore({at(3, 2), at(3, 2)});
        Clock clock{at(4, 1, 30), 0};
        QCOMPARE(runFor(schedule, clock, 60), QList<QDateTime>{at(4, 2)});
    }

    void clockSetBackADayGivesNeitherDuplicateNorSkip()
    {
        BackupSchedule schedule = daily();
        schedule.restore({at(4, 2), at(4, 2)});
        Clock clock{at(4, 2), 0};
        QVERIFY(!schedule.isDue(clock.wall, clock.monotonic));
        clock.advance(60 * 60000);
        clock.set(at(3, 3)); // a day back, at 03:00
        // The next backup comes at the clock's next 02:00, a day after the last in real time,
        // and only one.
        const QList<QDateTime> backups = runFor(schedule, clock, 2 * 24 * 60);
        QCOMPARE(backups, (QList<QDateTime>{at(4, 2), at(5, 2)}));
    }

    void clockSetBackHoursDoesNotRepeatTheSlot()
    {
        BackupSchedule schedule = daily();
        Clock clock{at(4, 1), 0};
        QVERIFY(!schedule.isDue(clock.wall, clock.monotonic));
        QCOMPARE(runFor(schedule, clock, 90), QList<QDateTime>{at(4, 2)});
        clock.set(at(4, 0, 30)); // 02:30 set back two hours
        const QList<QDateTime> backups = runFor(schedule, clock, 26 * 60);
        QCOMPARE(backups, QList<QDateTime>{at(5, 2)});
    }

    void clockSetBackWhileStoppedWaitsForTheNextTime()
    {
        // Covered day 4; the station starts with a clock that reads day 2.
        BackupSchedule schedule = daily();
        schedule.restore({at(4, 2), at(4, 2, 5)});
        Clock clock{at(2, 9), 0};
        QVERIFY(!schedule.isDue(clock.wall, clock.monotonic));
        QCOMPARE(runFor(schedule, clock, 24 * 60), QList<QDateTime>{at(3, 2)});
    }

    void clockSetForwardGivesOneBackup()
    {
        BackupSchedule schedule = daily();
        schedule.restore({at(1, 2), at(1, 2)});
        Clock clock{at(1, 12), 0};
        QVERIFY(runFor(schedule, clock, 10).isEmpty());
        clock.set(at(8, 12));
        QCOMPARE(runFor(schedule, clock, 10), QList<QDateTime>{at(8, 12)});
    }
};

QTEST_GUILESS_MAIN(TestBackupSchedule)
#include "tst_backupschedule.moc"
