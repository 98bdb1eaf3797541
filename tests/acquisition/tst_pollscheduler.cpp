#include "acquisition/pollscheduler.h"
#include "acquisition/readclient.h"

#include <QElapsedTimer>
#include <QTimer>
#include <QtTest>

namespace {

// A second base class first, so that the ReadClient part sits at another address than the
// object: the request must carry the interface pointer.
struct Other
{
    virtual ~Other() = default;
    int padding = 0;
};

class Client : public Other, public ReadClient
{
public:
    void readAll(modbus_t *) override {}
};

} // namespace

class TestPollScheduler : public QObject
{
    Q_OBJECT

private slots:
    void startAsksAtOnceWithTheInterfacePointer();
    void intervalIsAtLeastOneSecondAndAtMostADay();
    void intervalZeroPollsEverySecond();
    void ticksAskOnlyWhenNoPassIsWaiting();
    void switchingOffAndOnKeepsTheCountTrue();
};

void TestPollScheduler::startAsksAtOnceWithTheInterfacePointer()
{
    Client client;
    PollScheduler scheduler(&client);
    QSignalSpy reads(&scheduler, &PollScheduler::signal_read);
    QVERIFY(!scheduler.isActive());
    scheduler.start(5);
    QVERIFY(scheduler.isActive());
    QCOMPARE(reads.count(), 1);
    void *sent = reads.first().first().value<void *>();
    QCOMPARE(sent, static_cast<void *>(static_cast<ReadClient *>(&client)));
    QVERIFY(sent != static_cast<void *>(&client));
    QCOMPARE(static_cast<ReadClient *>(sent), static_cast<ReadClient *>(&client));
    scheduler.stop();
    QVERIFY(!scheduler.isActive());
}

void TestPollScheduler::intervalIsAtLeastOneSecondAndAtMostADay()
{
    Client client;
    PollScheduler scheduler(&client);
    const struct
    {
        int seconds;
        int milliseconds;
    } cases[] = {{5, 5000},  {1, 1000},         {0, 1000},
                 {-7, 1000}, {86400, 86400000}, {1000000000, 86400000}};
    for (const auto &entry : cases) {
        scheduler.start(entry.seconds);
        QCOMPARE(scheduler.timer()->interval(), entry.milliseconds);
        QVERIFY(scheduler.timer()->isSingleShot() == false);
        scheduler.stop();
        scheduler.passDone();
    }
}

void TestPollScheduler::intervalZeroPollsEverySecond()
{
    Client client;
    PollScheduler scheduler(&client);
    QSignalSpy reads(&scheduler, &PollScheduler::signal_read);
    scheduler.start(0);
    QCOMPARE(reads.count(), 1);
    // Never early, so that two readings a second apart never carry the same second.
    QCOMPARE(scheduler.findChild<QTimer *>()->timerType(), Qt::PreciseTimer);
    QElapsedTimer clock;
    clock.start();
    scheduler.passDone();
    QVERIFY(reads.wait(1500)); // the first tick
    QCOMPARE(reads.count(), 2);
    scheduler.passDone();
    QVERIFY(reads.wait(1500));
    QCOMPARE(reads.count(), 3);
    QVERIFY(clock.elapsed() >= 2000);
}

void TestPollScheduler::ticksAskOnlyWhenNoPassIsWaiting()
{
    Client client;
    PollScheduler scheduler(&client);
    QSignalSpy reads(&scheduler, &PollScheduler::signal_read);
    scheduler.start(30);
    QCOMPARE(scheduler.outstanding(), 1);
    // The pass is slower than the interval: ticks meanwhile ask for nothing.
    scheduler.tick();
    scheduler.tick();
    QCOMPARE(reads.count(), 1);
    QCOMPARE(scheduler.outstanding(), 1);
    scheduler.passDone();
    QCOMPARE(scheduler.outstanding(), 0);
    scheduler.tick();
    QCOMPARE(reads.count(), 2);
    // A stopped timer asks for nothing, whatever calls the tick.
    scheduler.passDone();
    scheduler.stop();
    scheduler.tick();
    QCOMPARE(reads.count(), 2);
}

void TestPollScheduler::switchingOffAndOnKeepsTheCountTrue()
{
    Client client;
    PollScheduler scheduler(&client);
    QSignalSpy reads(&scheduler, &PollScheduler::signal_read);

    // Off while the pass is queued: it still finishes, and the next start asks at once.
    scheduler.start(30);
    scheduler.stop();
    scheduler.passDone();
    QCOMPARE(scheduler.outstanding(), 0);
    scheduler.start(30);
    QCOMPARE(reads.count(), 2);
    QCOMPARE(scheduler.outstanding(), 1);

    // Off and on again before the queued pass ran: both passes are counted, and the timer
    // waits for both before it asks again.
    scheduler.stop();
    scheduler.start(30);
    QCOMPARE(reads.count(), 3);
    QCOMPARE(scheduler.outstanding(), 2);
    scheduler.passDone();
    scheduler.tick();
    QCOMPARE(reads.count(), 3);
    scheduler.passDone();
    scheduler.tick();
    QCOMPARE(reads.count(), 4);

    // An answer nobody asked for does not make the count go below zero.
    scheduler.passDone();
    scheduler.passDone();
    QCOMPARE(scheduler.outstanding(), 0);
    scheduler.tick();
    QCOMPARE(reads.count(), 5);
}

QTEST_GUILESS_MAIN(TestPollScheduler)
#include "tst_pollscheduler.moc"
