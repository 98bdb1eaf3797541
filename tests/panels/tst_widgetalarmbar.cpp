// The alarm bar on its own: what it lists, its buttons and when it is seen.
#include "panels/widgetalarmbar.h"
#include "testsupport.h"

#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QtTest>

namespace {

WidgetAlarmBar::Entry entry(qint64 key, const QString &name, const QString &kind)
{
    WidgetAlarmBar::Entry e;
    e.key = key;
    e.time = QStringLiteral("2026-03-0%1 08:00:00").arg(key);
    e.name = name;
    e.kind = kind;
    e.value = kind == "通讯故障" ? QString() : QStringLiteral("9.50");
    e.limit = kind == "通讯故障" ? QString() : QStringLiteral("9.00");
    return e;
}

QPushButton *ackButton(WidgetAlarmBar &bar, int row)
{
    auto *table = bar.findChild<QTableWidget *>("tableWidgetAlarm");
    return qobject_cast<QPushButton *>(table->cellWidget(row, 5));
}

} // namespace

class TestWidgetAlarmBar : public QObject
{
    Q_OBJECT

private slots:
    void listsActiveAlarmsNewestFirstAndHidesWhenNoneIsLeft();
    void aClearedAlarmStaysMarkedUntilAcknowledged();
};

void TestWidgetAlarmBar::listsActiveAlarmsNewestFirstAndHidesWhenNoneIsLeft()
{
    QWidget window;
    auto *bar = new WidgetAlarmBar(&window);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QVERIFY(bar->isHidden());
    auto *table = bar->findChild<QTableWidget *>("tableWidgetAlarm");
    auto *ackAll = bar->findChild<QPushButton *>("pushButtonAckAll");
    QSignalSpy acks(bar, &WidgetAlarmBar::signal_ack);
    QSignalSpy ackAlls(bar, &WidgetAlarmBar::signal_ackAll);

    bar->showAlarm(entry(1, "溶解氧一号", "高报"));
    bar->showAlarm(entry(2, "pH二号", "通讯故障"));
    QVERIFY(bar->isVisible());
    QCOMPARE(table->rowCount(), 2);
    QCOMPARE(table->item(0, 1)->text(), QString("pH二号"));
    QCOMPARE(bar->rowTexts(1), QStringList({"2026-03-01 08:00:00", "溶解氧一号", "高报", "9.50",
                                            "9.00"}));
    // The same alarm again (listed at start and then its raise arriving) is one row.
    bar->showAlarm(entry(1, "溶解氧一号", "高报"));
    QCOMPARE(table->rowCount(), 2);

    // Each button asks for its own alarm; the bar shows it acknowledged only when told.
    QTest::mouseClick(ackButton(*bar, 1), Qt::LeftButton);
    QCOMPARE(acks.count(), 1);
    QCOMPARE(acks.at(0).at(0).toLongLong(), 1);
    QVERIFY(!bar->isAcked(1));
    bar->setAcked(1);
    QVERIFY(bar->isAcked(1));
    QVERIFY(!ackButton(*bar, 1)->isEnabled());
    QCOMPARE(ackButton(*bar, 1)->text(), QString("已确认"));
    QVERIFY(ackAll->isEnabled());
    QTest::mouseClick(ackAll, Qt::LeftButton);
    QCOMPARE(ackAlls.count(), 1);
    bar->setAcked(2);
    // Nothing left to acknowledge.
    QVERIFY(!ackAll->isEnabled());
    QVERIFY(bar->findChild<QLabel *>("labelTitle")->text().contains("未确认 0"));

    // A clear of an unknown alarm changes nothing; the last clear hides the bar.
    bar->removeAlarm(7);
    QCOMPARE(bar->count(), 2);
    bar->removeAlarm(2);
    QCOMPARE(table->rowCount(), 1);
    QCOMPARE(table->item(0, 1)->text(), QString("溶解氧一号"));
    QVERIFY(bar->isVisible());
    bar->removeAlarm(1);
    QVERIFY(bar->isHidden());
    // Listed again after acknowledging: a new alarm starts unacknowledged.
    bar->showAlarm(entry(3, "溶解氧一号", "低报"));
    QVERIFY(bar->isVisible());
    QVERIFY(ackButton(*bar, 0)->isEnabled());
    QVERIFY(ackAll->isEnabled());
}

void TestWidgetAlarmBar::aClearedAlarmStaysMarkedUntilAcknowledged()
{
    WidgetAlarmBar bar;
    bar.showAlarm(entry(1, "溶解氧一号", "高报"));
    bar.showAlarm(entry(2, "pH二号", "低报"));
    bar.setRecovered(1);
    // Its raise arriving late does not make it active again.
    bar.showAlarm(entry(1, "溶解氧一号", "高报"));
    QVERIFY(bar.isRecovered(1) && !bar.isRecovered(2));
    QCOMPARE(bar.rowTexts(1).at(2), QString("高报（已恢复）"));
    QCOMPARE(bar.findChild<QLabel *>("labelTitle")->text(),
             QString("当前报警 1 条，已恢复待确认 1 条，未确认 2 条"));
    QVERIFY(ackButton(bar, 1)->isEnabled());
}

QTEST_MAIN(TestWidgetAlarmBar)
#include "tst_widgetalarmbar.moc"
