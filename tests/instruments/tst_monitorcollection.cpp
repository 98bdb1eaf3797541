#include "instruments/monitorbase.h"
#include "instruments/monitorcollection.h"
#include "testsupport.h"

#include <QtTest>

#include <thread>

class TestMonitorCollection : public QObject
{
    Q_OBJECT

private slots:
    void factoryKnowsExactlyTheFourModels();
    void appendAndRemoveKeepTheOrder();
    void readAllReadsRunningMonitorsOnly();
    void listChangesWaitForAReadPass();
    void malformedAnswersFailOnlyTheirInstrument();
    void intervalStaysWithinOneDay();
};

void TestMonitorCollection::factoryKnowsExactlyTheFourModels()
{
    MonitorCollection collection;
    for (const char *name : {"di590", "DI590 ", "", "DO-580", "RA5500"})
        QVERIFY2(!collection.create(name, "x", 1, -1, true, true), name);
    QVERIFY(collection.getMonitors().empty());

    const char *const models[] = {"DO580", "DI590", "RO592", "RA550"};
    for (const char *model : models) {
        MonitorBase *monitor = collection.create(model, "仪表", 12, 3, false, true);
        QVERIFY(monitor);
        QCOMPARE(monitor->getModel(), std::string(model));
        QCOMPARE(monitor->getUsername(), std::string("仪表"));
        QCOMPARE(monitor->getId(), 12);
        QCOMPARE(monitor->getChannel(), -1); // the stored channel is not used
        QCOMPARE(monitor->getChannelMode(), 0);
        QVERIFY(!monitor->isRunning());
        QVERIFY(monitor->isRecord());
        QVERIFY(!monitor->isSynced());
    }
    QCOMPARE(collection.getMonitors().size(), size_t(4));
    QCOMPARE(collection.getMonitors()[2]->getModel(), std::string("RO592"));
    qDeleteAll(collection.getMonitors());
}

void TestMonitorCollection::appendAndRemoveKeepTheOrder()
{
    MonitorCollection source;
    MonitorBase *a = source.create("DI590", "a", 1, -1, true, true);
    MonitorBase *b = source.create("DO580", "b", 2, -1, true, true);

    MonitorCollection collection;
    collection.append(a);
    collection.append(nullptr);
    collection.append(b);
    collection.append(a);
    QCOMPARE(collection.getMonitors(), (std::vector<MonitorBase *>{a, b, a}));
    collection.remove(a); // the first entry only
    QCOMPARE(collection.getMonitors(), (std::vector<MonitorBase *>{b, a}));
    collection.remove(nullptr);
    QCOMPARE(collection.getMonitors().size(), size_t(2));
    collection.remove(b);
    collection.remove(b);
    QCOMPARE(collection.getMonitors(), (std::vector<MonitorBase *>{a}));
    // Removing does not delete: the monitor is still usable.
    QCOMPARE(b->getUsername(), std::string("b"));
    delete a;
    delete b;
}

void TestMonitorCollection::readAllReadsRunningMonitorsOnly()
{
    SimulatorProcess sim({"1:DI590:main=100", "2:DI590:main=200", "3:DI590:main=300"});
    MonitorCollection collection;
    for (int id = 1; id <= 3; ++id)
        QCOMPARE(collection.create("DI590", "m", id, -1, true, true)->sync(sim.context()), 0);
    MonitorBase *unsynced = collection.create("RA550", "r", 4, -1, true, true);
    collection.getMonitors()[1]->setRunning(false);

    collection.readAll(sim.context());
    QCOMPARE(collection.getMonitors()[0]->snapshot().result("DO").value, 1.0f);
    QCOMPARE(collection.getMonitors()[1]->snapshot().results.size(), size_t(0));
    QCOMPARE(collection.getMonitors()[2]->snapshot().result("DO").value, 3.0f);
    // A running monitor that is not synced is only marked, never asked.
    for (const char *factor : {"RCL", "O3", "Temper"})
        QCOMPARE(unsynced->snapshot().result(factor).status, 'F');
    qDeleteAll(collection.getMonitors());
}

void TestMonitorCollection::malformedAnswersFailOnlyTheirInstrument()
{
    // Ids 2 and 3 answer well at first, then a word short and with the other read function.
    SimulatorProcess sim({"1:DI590:main=100", "2:DI590:main=200,fault=length,faultfrom=2",
                          "3:DI590:main=300,fault=function,faultfrom=2", "4:DI590:main=400"});
    MonitorCollection collection;
    const auto cleanup = qScopeGuard([&] { qDeleteAll(collection.getMonitors()); });
    for (int id = 1; id <= 4; ++id)
        QCOMPARE(collection.create("DI590", "m", id, -1, true, true)->sync(sim.context()), 0);
    const auto status = [&](int i) {
        return collection.getMonitors()[size_t(i)]->snapshot().result("DO").status;
    };
    collection.readAll(sim.context());
    for (int i = 0; i < 4; ++i)
        QCOMPARE(status(i), 'N');
    QTRY_VERIFY_WITH_TIMEOUT((collection.readAll(sim.context()), status(1) == 'B'), 10000);
    collection.readAll(sim.context());
    const char expected[] = {'N', 'B', 'B', 'N'};
    for (int i = 0; i < 4; ++i) {
        QCOMPARE(status(i), expected[i]);
        QVERIFY(collection.getMonitors()[size_t(i)]->isSynced());
    }
    QCOMPARE(collection.getMonitors()[3]->snapshot().result("DO").value, 4.0f);
}

void TestMonitorCollection::listChangesWaitForAReadPass()
{
    SimulatorProcess sim({"1:DI590", "2:DI590"}, {"--wire-time"});
    MonitorCollection collection;
    for (int id = 1; id <= 2; ++id)
        QCOMPARE(collection.create("DI590", "m", id, -1, true, true)->sync(sim.context()), 0);
    std::thread reader([&] {
        for (int pass = 0; pass < 10; ++pass)
            collection.readAll(sim.context());
    });
    // The interface thread adds and removes while passes run; each change waits for the
    // pass in progress instead of changing the list under it.
    std::vector<MonitorBase *> added;
    for (int i = 0; i < 10; ++i) {
        added.push_back(collection.create("DO580", "new", 10 + i, -1, false, false));
        collection.remove(added.back());
    }
    reader.join();
    QCOMPARE(collection.getMonitors().size(), size_t(2));
    qDeleteAll(added);
    qDeleteAll(collection.getMonitors());
}

void TestMonitorCollection::intervalStaysWithinOneDay()
{
    MonitorCollection collection;
    QCOMPARE(collection.getInterval(), 30);
    collection.setInterval(5);
    QCOMPARE(collection.getInterval(), 5);
    collection.setInterval(1000000000);
    QCOMPARE(collection.getInterval(), 86400);
    collection.setInterval(-3);
    QCOMPARE(collection.getInterval(), 0);
}

QTEST_GUILESS_MAIN(TestMonitorCollection)
#include "tst_monitorcollection.moc"
