#include "app/launchsupervisor.h"

#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

// The launcher's restart rule against real children (sh), with a clock that only the pauses
// move, so that a crash loop takes milliseconds.
class TestLaunchSupervisor : public QObject
{
    Q_OBJECT

private:
    struct Run
    {
        int code = 0;
        bool gaveUp = false;
        int restarts = 0;
        QList<qint64> pauses;
        QStringList log;
    };

    // Runs script under sh; each start adds startGapMs to the fake clock.
    static Run supervise(const QString &script, qint64 startGapMs = 0)
    {
        LaunchSupervisor supervisor(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), script});
        Run run;
        qint64 clock = 0;
        supervisor.setClock([&clock, startGapMs] {
            clock += startGapMs;
            return clock;
        });
        supervisor.setPause([&run, &clock](qint64 ms) {
            run.pauses << ms;
            clock += ms;
        });
        supervisor.setLog([&run](const QString &level, const QString &line) {
            run.log << level + QLatin1Char(' ') + line;
        });
        run.code = supervisor.run();
        run.gaveUp = supervisor.gaveUp();
        run.restarts = supervisor.restarts();
        return run;
    }

private slots:
    void endsThatAreNeverRestarted_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<int>("code");
        QTest::newRow("confirmed exit") << "exit 0" << 0;
        QTest::newRow("refused start") << "exit 1" << 1;
        QTest::newRow("orderly stop by TERM") << "kill -TERM $$" << 128 + SIGTERM;
        QTest::newRow("orderly stop by INT") << "kill -INT $$" << 128 + SIGINT;
        QTest::newRow("orderly stop by HUP") << "kill -HUP $$" << 128 + SIGHUP;
        QTest::newRow("program missing") << "exec /nonexistent/hydrovane" << 127;
    }
    void endsThatAreNeverRestarted()
    {
        QFETCH(QString, script);
        QFETCH(int, code);
        const Run run = supervise(script);
        QCOMPARE(run.code, code);
        QCOMPARE(run.restarts, 0);
        QVERIFY(run.pauses.isEmpty());
        QVERIFY(!run.gaveUp);
        QVERIFY(run.log.isEmpty());
    }

    void aCrashIsRestartedAfterAPauseAndLogged()
    {
        QTemporaryDir dir;
        const QString marker = dir.filePath(QStringLiteral("crashed"));
        // Crashes the first time, exits cleanly the second.
        const Run run =
            supervise(QStringLiteral("if [ -e '%1' ]; then exit 0; fi; touch '%1'; kill -SEGV $$")
                          .arg(marker));
        QCOMPARE(run.code, 0);
        QCOMPARE(run.restarts, 1);
        QCOMPARE(run.pauses, QList<qint64>{RestartRule::firstPauseMs});
        QCOMPARE(run.log.size(), 1);
        QVERIFY2(run.log[0].startsWith(QStringLiteral("warning")) &&
                     run.log[0].contains(QString::number(SIGSEGV)) &&
                     run.log[0].contains(QStringLiteral("重新启动")),
                 qPrintable(run.log[0]));
    }

    void aCrashLoopGivesUpAfterFiveRestartsWithDoublingPauses()
    {
        const Run run = supervise(QStringLiteral("kill -ABRT $$"));
        QCOMPARE(run.code, 128 + SIGABRT);
        QVERIFY(run.gaveUp);
        QCOMPARE(run.restarts, RestartRule::maxRestarts);
        QCOMPARE(run.pauses, (QList<qint64>{2000, 4000, 8000, 16000, 32000}));
        QCOMPARE(run.log.size(), RestartRule::maxRestarts + 1);
        QVERIFY(run.log.last().startsWith(QStringLiteral("critical")));
        QVERIFY(run.log.last().contains(LaunchSupervisor::gaveUpText(RestartRule::maxRestarts)));
    }

    void crashesFarApartAreRestartedWithoutEnd()
    {
        // Each run lasts longer than the window: the count and the pause start again.
        QTemporaryDir dir;
        const QString count = dir.filePath(QStringLiteral("count"));
        const Run run = supervise(QStringLiteral("echo x >> '%1'; [ $(wc -l < '%1') -ge 8 ] && "
                                                 "exit 3; kill -KILL $$")
                                      .arg(count),
                                  RestartRule::windowMs + 1);
        QCOMPARE(run.code, 3);
        QCOMPARE(run.restarts, 7);
        QVERIFY(!run.gaveUp);
        for (qint64 pause : run.pauses)
            QCOMPARE(pause, RestartRule::firstPauseMs);
    }

    void theRuleCountsOnlyRestartsInsideTheWindow()
    {
        RestartRule rule;
        QCOMPARE(rule.nextPause(0), 2000);
        QCOMPARE(rule.nextPause(1000), 4000);
        QCOMPARE(rule.nextPause(2000), 8000);
        QCOMPARE(rule.nextPause(3000), 16000);
        QCOMPARE(rule.nextPause(4000), 32000);
        QCOMPARE(rule.nextPause(5000), -1);
        // The first restart leaves the window: one more is allowed, at the pause of a fifth.
        QCOMPARE(rule.nextPause(RestartRule::windowMs), 32000);
        QCOMPARE(rule.nextPause(RestartRule::windowMs + 1), -1);
    }
};

QTEST_GUILESS_MAIN(TestLaunchSupervisor)
#include "tst_launchsupervisor.moc"
