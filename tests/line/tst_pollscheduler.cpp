#include "line/pollscheduler.h"
#include "line/readclient.h"

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
    void readAll(modbus_t *, const PassPlan &) override {}
};

} // namespace

class TestPollScheduler : public QObject
{
    Q_OBJECT

private slots:
    void startAsksAtOnceWithTheInterfacePointer();
    void intervalIsAtLeastOneSecondAndAtMostADay();
    void intervalZeroPollsEverySecond();
    void ticksAskOnlyWhenAnIntervalIsOwedAndNoPassIsWaiting();
    void longPassMissesOnlyIntervalsTwoBehind();
    void stampsNeverRepeatNorGoBack();
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

namespace {

// The scheduler's clocks, moved by hand: the monotonic one and the wall clock.
struct FakeClocks
{
    explicit FakeClocks(PollScheduler &scheduler)
    {
        scheduler.setClocks([this] { return steady; }, [this] { return wall; });
    }
    void advance(double seconds)
    {
        steady += std::chrono::milliseconds(qint64(seconds * 1000));
        wallMs += qint64(seconds * 1000);
        wall = wallMs / 1000;
    }

    PollScheduler::Clock::time_point steady =
        PollScheduler::Clock::time_point() + std::chrono::hours(1000);
    qint64 wallMs = 1700000000000LL;
    qint64 wall = 1700000000;
};

PassPlan planOf(const QSignalSpy &reads, int index)
{
    return reads.at(index).at(1).value<PassPlan>();
}

} // namespace

void TestPollScheduler::ticksAskOnlyWhenAnIntervalIsOwedAndNoPassIsWaiting()
{
    Client client;
    PollScheduler scheduler(&client);
    FakeClocks clocks(scheduler);
    QSignalSpy reads(&scheduler, &PollScheduler::signal_read);
    scheduler.start(30);
    QCOMPARE(scheduler.outstanding(), 1);
    QCOMPARE(planOf(reads, 0).stamp, clocks.wall);
    QVERIFY(planOf(reads, 0).missed.empty());
    // The pass is slower than the interval: ticks meanwhile ask for nothing.
    clocks.advance(30);
    scheduler.tick();
    QCOMPARE(reads.count(), 1);
    QVERIFY(!scheduler.isLate());
    // Done late: the next interval's pass starts at once, stamped with its own time.
    clocks.advance(5);
    scheduler.passDone();
    QCOMPARE(reads.count(), 2);
    QCOMPARE(planOf(reads, 1).stamp, planOf(reads, 0).stamp + 30);
    QVERIFY(planOf(reads, 1).missed.empty());
    // Done in time: the next waits for its interval; a tick a little early serves it.
    clocks.advance(1);
    scheduler.passDone();
    scheduler.tick();
    QCOMPARE(reads.count(), 2);
    clocks.advance(23.99);
    scheduler.tick();
    QCOMPARE(reads.count(), 3);
    QCOMPARE(planOf(reads, 2).stamp, planOf(reads, 0).stamp + 60);
    // A stopped timer asks for nothing, whatever calls the tick.
    scheduler.passDone();
    scheduler.stop();
    clocks.advance(60);
    scheduler.tick();
    QCOMPARE(reads.count(), 3);
}

void TestPollScheduler::longPassMissesOnlyIntervalsTwoBehind()
{
    Client client;
    PollScheduler scheduler(&client);
    FakeClocks clocks(scheduler);
    QSignalSpy reads(&scheduler, &PollScheduler::signal_read);
    QSignalSpy late(&scheduler, &PollScheduler::signal_late);
    scheduler.start(3);
    const qint64 first = planOf(reads, 0).stamp;
    // Sixteen silent instruments: the pass takes 19 s.
    for (int second = 1; second <= 19; ++second) {
        clocks.advance(1);
        scheduler.tick();
    }
    QCOMPARE(reads.count(), 1);
    // Late from the start of the second interval after the pass's own, told once.
    QVERIFY(scheduler.isLate());
    QCOMPARE(late.count(), 1);
    scheduler.passDone();
    QVERIFY(!scheduler.isLate());
    // At 19 s interval 6 is under way: interval 5 is served, 1 to 4 are missed.
    QCOMPARE(reads.count(), 2);
    const PassPlan plan = planOf(reads, 1);
    QCOMPARE(plan.stamp, first + 15);
    QCOMPARE(plan.missed, std::vector<qint64>({first + 3, first + 6, first + 9, first + 12}));
    // Retries of failing instruments must leave room to serve interval 6 in time.
    QVERIFY(plan.retryDeadline ==
            clocks.steady - std::chrono::seconds(19) + std::chrono::seconds(21));
    // The pass is quick: interval 6 follows at once, then the line waits for interval 7.
    clocks.advance(0.5);
    scheduler.passDone();
    QCOMPARE(reads.count(), 3);
    QCOMPARE(planOf(reads, 2).stamp, first + 18);
    QVERIFY(planOf(reads, 2).missed.empty());
    clocks.advance(0.5);
    scheduler.passDone();
    QCOMPARE(reads.count(), 3);
    clocks.advance(1);
    scheduler.tick();
    QCOMPARE(reads.count(), 4);
    QCOMPARE(planOf(reads, 3).stamp, first + 21);
    scheduler.stop();
}

void TestPollScheduler::stampsNeverRepeatNorGoBack()
{
    Client client;
    PollScheduler scheduler(&client);
    FakeClocks clocks(scheduler);
    QSignalSpy reads(&scheduler, &PollScheduler::signal_read);
    std::vector<qint64> stamps;
    const auto passes = [&](int count) {
        for (int i = 0; i < count; ++i) {
            clocks.advance(1);
            scheduler.tick();
            scheduler.passDone();
        }
    };
    scheduler.start(1);
    scheduler.passDone();
    passes(3);
    // The wall clock set back an hour: the stamps go on from where they were.
    clocks.wall -= 3600;
    clocks.wallMs -= 3600000;
    passes(3);
    // Set forward a day: they follow it.
    clocks.wall += 86400;
    clocks.wallMs += 86400000;
    passes(3);
    // Off and on again within the same second: the next stamp is still a new one.
    scheduler.stop();
    clocks.wall -= 86400;
    clocks.wallMs -= 86400000;
    scheduler.start(1);
    scheduler.passDone();
    passes(2);
    for (int i = 0; i < reads.count(); ++i)
        stamps.push_back(planOf(reads, i).stamp);
    QCOMPARE(int(stamps.size()), 13);
    for (size_t i = 1; i < stamps.size(); ++i)
        QVERIFY2(stamps[i] > stamps[i - 1], qPrintable(QString::number(i)));
    QVERIFY(stamps[9] >= clocks.wall + 86400 - 5);
    QCOMPARE(stamps[5] - stamps[0], 5);
}

void TestPollScheduler::switchingOffAndOnKeepsTheCountTrue()
{
    Client client;
    PollScheduler scheduler(&client);
    FakeClocks clocks(scheduler);
    QSignalSpy reads(&scheduler, &PollScheduler::signal_read);

    // Off while the pass is queued: it still finishes, and the next start asks at once.
    scheduler.start(30);
    scheduler.stop();
    scheduler.passDone();
    QCOMPARE(scheduler.outstanding(), 0);
    scheduler.start(30);
    QCOMPARE(reads.count(), 2);
    QCOMPARE(scheduler.outstanding(), 1);

    // Off and on again before the queued pass ran: both passes are counted, and the line
    // asks again only once both have been answered and an interval is owed.
    scheduler.stop();
    scheduler.start(30);
    QCOMPARE(reads.count(), 3);
    QCOMPARE(scheduler.outstanding(), 2);
    clocks.advance(30);
    scheduler.passDone();
    QCOMPARE(reads.count(), 3);
    scheduler.passDone();
    QCOMPARE(reads.count(), 4);

    // An answer nobody asked for does not make the count go below zero.
    scheduler.passDone();
    scheduler.passDone();
    QCOMPARE(scheduler.outstanding(), 0);
    clocks.advance(30);
    scheduler.tick();
    QCOMPARE(reads.count(), 5);
    scheduler.stop();
}

QTEST_GUILESS_MAIN(TestPollScheduler)
#include "tst_pollscheduler.moc"
