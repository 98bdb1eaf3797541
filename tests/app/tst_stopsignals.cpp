#include "app/stopsignals.h"

#include <QtTest>

#include <csignal>

// The stop signals delivered to this very process while the handlers are in place. A second
// signal would end it: each case raises one. (The second signal is tested on the built station.)
class TestStopSignals : public QObject
{
    Q_OBJECT

private slots:
    void eachSignalBecomesOneStopOnTheEventLoop();
};

void TestStopSignals::eachSignalBecomesOneStopOnTheEventLoop()
{
    for (int number : {SIGTERM, SIGINT, SIGHUP}) {
        StopSignals stopSignals;
        QVERIFY(stopSignals.isInstalled());
        // One object holds the handlers at a time.
        QVERIFY(!StopSignals().isInstalled());
        QSignalSpy asked(&stopSignals, &StopSignals::signal_stopAsked);
        QCOMPARE(::raise(number), 0);
        // The handler has run and touched nothing of Qt: the stop comes from the event loop.
        QCOMPARE(asked.count(), 0);
        QVERIFY(asked.wait(5000));
        QCOMPARE(asked.count(), 1);
        QCOMPARE(asked.at(0).at(0).toInt(), number);
        QCoreApplication::processEvents();
        QCOMPARE(asked.count(), 1);
    }
    QCOMPARE(StopSignals::name(SIGHUP), QString("SIGHUP"));
}

QTEST_GUILESS_MAIN(TestStopSignals)
#include "tst_stopsignals.moc"
