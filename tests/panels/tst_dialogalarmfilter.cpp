#include "acquisition/alarmrules.h"
#include "instruments/monitorbase.h"
#include "instruments/monitorcollection.h"
#include "panels/dialogalarmfilter.h"
#include "testsupport.h"

#include <QCheckBox>
#include <QComboBox>
#include <QSpinBox>
#include <QtTest>

class TestDialogAlarmFilter : public QObject
{
    Q_OBJECT

private slots:
    void showsAndReturnsTheFilterOfAllOrOfOneMonitor();
};

void TestDialogAlarmFilter::showsAndReturnsTheFilterOfAllOrOfOneMonitor()
{
    MonitorCollection collection;
    AlarmFilter all;
    all.onDelay = 3;
    collection.setAlarmFilter(all);
    MonitorBase *follows = collection.create("DI590", "甲", 1, -1, true, true);
    MonitorBase *own = collection.create("DI590", "乙", 2, -1, true, true);
    AlarmFilter second;
    second.chatterRaises = 0;
    own->setOwnAlarmFilter(&second);

    DialogAlarmFilter dialog(collection);
    auto *scope = dialog.findChild<QComboBox *>("comboBoxScope");
    auto *follow = dialog.findChild<QCheckBox *>("checkBoxFollow");
    auto *onDelay = dialog.findChild<QSpinBox *>("spinBoxOnDelay");
    auto *raises = dialog.findChild<QSpinBox *>("spinBoxChatterRaises");
    QVERIFY(scope && follow && onDelay && raises);
    QCOMPARE(scope->count(), 3);
    // All monitors: nothing to follow.
    QVERIFY(!dialog.monitor() && !follow->isEnabled() && !dialog.followsAll());
    QCOMPARE(onDelay->value(), 3);
    // A monitor without its own follows, its values locked to those of all.
    scope->setCurrentIndex(1);
    QCOMPARE(dialog.monitor(), follows);
    QVERIFY(dialog.followsAll() && !onDelay->isEnabled());
    QCOMPARE(dialog.filter(), all);
    // One with its own shows it; leaving it returns it to all.
    scope->setCurrentIndex(2);
    QCOMPARE(dialog.monitor(), own);
    QVERIFY(!dialog.followsAll() && onDelay->isEnabled());
    QCOMPARE(dialog.filter(), second);
    QCOMPARE(raises->text(), QStringLiteral("不判定抖动"));
    onDelay->setValue(7);
    QCOMPARE(dialog.filter().onDelay, 7);
    follow->setChecked(true);
    QCOMPARE(dialog.filter(), all);
    QCOMPARE(
        DialogAlarmFilter::describe(all),
        QStringLiteral("连续 3 次读数超限报警，600 秒内报警超过 5 次为抖动，恢复持续 60 秒才解除"));
    qDeleteAll(collection.getMonitors());
    AlarmRules::instance().reset();
}

QTEST_MAIN(TestDialogAlarmFilter)
#include "tst_dialogalarmfilter.moc"
