#include "trend/axistag.h"
#include "trend/widgetaxesdisplay.h"

#include <QScrollBar>
#include <QTabWidget>
#include <QtTest>

#include <qcustomplot.h>

class TestWidgetAxesDisplay : public QObject
{
    Q_OBJECT

private slots:
    void newWidgetShowsTwentyIntervalsAsDaysHoursMinutesSeconds();
    void windowFollowsTheDataFromTheTwentySecondPoint();
    void scrollingLooksBackAndKeepsItsDistance();
    void valueRangeSetsTickCounts_data();
    void valueRangeSetsTickCounts();
    void precisionFormatsAxisAndTags();
    void setPointSeriesReceivePointsOnlyWhileVisible();
    void historyKeepsTheNewestDayWithGrowingKeys();
    void hiddenGraphIsReplottedOnlyWhenShown();
    void graphMadeWhenFirstShownHasTheReadingsTakenBefore();
};

namespace {

// Looking into the plot makes it.
QScrollBar *scrollBar(WidgetAxesDisplay &widget)
{
    widget.plot();
    return widget.findChild<QScrollBar *>(QStringLiteral("horizontalScrollBar"));
}

QCPRange window(const WidgetAxesDisplay &widget)
{
    return widget.plot()->xAxis->range();
}

double lastKey(const QCPGraph *graph)
{
    return (graph->data()->constEnd() - 1)->key;
}

void addValues(WidgetAxesDisplay &widget, int count)
{
    for (int i = 0; i < count; ++i)
        widget.addValue(float(i % 10));
}

} // namespace

void TestWidgetAxesDisplay::newWidgetShowsTwentyIntervalsAsDaysHoursMinutesSeconds()
{
    WidgetAxesDisplay widget;
    const QCustomPlot *plot = widget.plot();
    QCOMPARE(window(widget), QCPRange(0, 20));
    QCOMPARE(plot->graphCount(), 3);
    // Set points first, the measured line last so that it is drawn on top.
    QVERIFY(plot->graph(0) == widget.highGraph() && plot->graph(1) == widget.lowGraph());
    QVERIFY(plot->graph(2) == widget.valueGraph());
    QCOMPARE(widget.valueGraph()->valueAxis(), plot->yAxis2);
    QCOMPARE(widget.valueGraph()->pen().color(), QColor(Qt::blue));
    QCOMPARE(widget.highGraph()->pen().color(), QColor(Qt::red));
    for (int i = 0; i < plot->graphCount(); ++i)
        QCOMPARE(plot->graph(i)->dataCount(), 0);
    QVERIFY(widget.valueTag()->isVisible());
    QVERIFY(!widget.highTag()->isVisible() && !widget.lowTag()->isVisible());

    widget.setInterval(30);
    QCOMPARE(window(widget), QCPRange(0, 600));
    QVector<double> ticks;
    QVector<QString> labels;
    plot->xAxis->ticker()->generate(window(widget), QLocale::c(), 'g', 6, ticks, nullptr, &labels);
    QVERIFY(!ticks.isEmpty());
    QCOMPARE(ticks.last(), 600.0);
    QCOMPARE(labels.last(), QStringLiteral("0天\n00时\n10分\n00秒"));

    // The poll timer never runs faster than once a second, so neither do the keys.
    widget.setInterval(0);
    QCOMPARE(window(widget), QCPRange(0, 20));
}

void TestWidgetAxesDisplay::windowFollowsTheDataFromTheTwentySecondPoint()
{
    WidgetAxesDisplay widget;
    widget.setInterval(30);
    QScrollBar *bar = scrollBar(widget);

    addValues(widget, 21);
    QCOMPARE(window(widget), QCPRange(0, 600));
    QCOMPARE(bar->minimum(), 0);
    QCOMPARE(bar->maximum(), 0);

    widget.addValue(5);
    QCOMPARE(lastKey(widget.valueGraph()), 21 * 30.0);
    QCOMPARE(window(widget), QCPRange(30, 630));
    QCOMPARE(bar->minimum(), -1);
    QCOMPARE(bar->maximum(), 0);
    QCOMPARE(bar->value(), 0);
    QCOMPARE(widget.valueTag()->text(), QStringLiteral("5"));
}

void TestWidgetAxesDisplay::scrollingLooksBackAndKeepsItsDistance()
{
    WidgetAxesDisplay widget;
    widget.setInterval(10);
    addValues(widget, 30);
    QCOMPARE(window(widget), QCPRange(90, 290));

    QScrollBar *bar = scrollBar(widget);
    bar->setValue(bar->minimum());
    QCOMPARE(window(widget), QCPRange(0, 200));

    // A new reading moves the window on with the data, nine readings behind the newest.
    widget.addValue(1);
    QCOMPARE(bar->minimum(), -10);
    QCOMPARE(bar->value(), -9);
    QCOMPARE(window(widget), QCPRange(10, 210));

    bar->setValue(0);
    QCOMPARE(window(widget), QCPRange(100, 300));
}

void TestWidgetAxesDisplay::valueRangeSetsTickCounts_data()
{
    QTest::addColumn<float>("lower");
    QTest::addColumn<float>("upper");
    QTest::addColumn<int>("ticks");
    QTest::newRow("0..20") << 0.0f << 20.0f << 20;
    QTest::newRow("0..25") << 0.0f << 25.0f << 22;
    QTest::newRow("0..40") << 0.0f << 40.0f << 20;
    QTest::newRow("0..14") << 0.0f << 14.0f << 14;
    QTest::newRow("-2000..2000") << -2000.0f << 2000.0f << 20;
    QTest::newRow("0..0.05 keeps the count") << 0.0f << 0.05f << 5;
    QTest::newRow("huge range") << -3e9f << 3e9f << 20;
}

void TestWidgetAxesDisplay::valueRangeSetsTickCounts()
{
    QFETCH(float, lower);
    QFETCH(float, upper);
    QFETCH(int, ticks);
    WidgetAxesDisplay widget;
    widget.setValueRange(0, 5);
    widget.setValueRange(lower, upper);
    const QCustomPlot *plot = widget.plot();
    QCOMPARE(plot->yAxis2->range(), QCPRange(lower, upper));
    QCOMPARE(plot->yAxis->range(), plot->yAxis2->range());
    QCOMPARE(plot->yAxis->ticker()->tickCount(), ticks);
    QCOMPARE(plot->yAxis2->ticker()->tickCount(), ticks);
}

void TestWidgetAxesDisplay::precisionFormatsAxisAndTags()
{
    WidgetAxesDisplay whole;
    const QString defaultFormat = whole.plot()->yAxis->numberFormat();
    whole.setPrecision(0);
    whole.addValue(7.25f);
    QCOMPARE(whole.valueTag()->text(), QStringLiteral("7"));
    QCOMPARE(whole.plot()->yAxis->numberFormat(), defaultFormat);

    WidgetAxesDisplay decimals;
    decimals.setPrecision(2);
    QCOMPARE(decimals.plot()->yAxis->numberFormat(), QStringLiteral("f"));
    QCOMPARE(decimals.plot()->yAxis->numberPrecision(), 2);
    decimals.setHighPointVisible(true);
    decimals.setHighPoint(8.5f);
    decimals.addValue(7.25f);
    QCOMPARE(decimals.valueTag()->text(), QStringLiteral("7.25"));
    QCOMPARE(decimals.highTag()->text(), QStringLiteral("8.50"));
}

void TestWidgetAxesDisplay::setPointSeriesReceivePointsOnlyWhileVisible()
{
    WidgetAxesDisplay widget;
    widget.setInterval(5);
    widget.setHighPointVisible(true);
    widget.setHighPoint(8);
    widget.setLowPointVisible(true);
    widget.setLowPoint(2);
    QVERIFY(widget.highTag()->isVisible() && widget.lowTag()->isVisible());
    addValues(widget, 2);
    QCOMPARE(widget.highGraph()->dataCount(), 2);
    QCOMPARE(lastKey(widget.highGraph()), lastKey(widget.valueGraph()));

    widget.setHighPointVisible(false);
    QVERIFY(!widget.highTag()->isVisible());
    addValues(widget, 3);
    QCOMPARE(widget.highGraph()->dataCount(), 2);
    // Five equal low points are held as the two ends of their line.
    QCOMPARE(widget.lowGraph()->dataCount(), 2);
    QCOMPARE(widget.lowGraph()->data()->constBegin()->key, 0.0);
    QCOMPARE(lastKey(widget.lowGraph()), 20.0);

    // Shown again, the line continues from its last point at the reading's own key.
    widget.setHighPointVisible(true);
    widget.setHighPoint(9);
    widget.addValue(4);
    QCOMPARE(widget.highGraph()->dataCount(), 3);
    QCOMPARE(lastKey(widget.highGraph()), 25.0);
    QCOMPARE(lastKey(widget.valueGraph()), 25.0);
    QCOMPARE(widget.highTag()->text(), QStringLiteral("9"));
    QCOMPARE(widget.lowTag()->text(), QStringLiteral("2"));

    // The change keeps its slope: the old value's last point stays before the new run.
    addValues(widget, 2);
    QVector<QPointF> high;
    for (auto it = widget.highGraph()->data()->constBegin();
         it != widget.highGraph()->data()->constEnd(); ++it)
        high << QPointF(it->key, it->value);
    QCOMPARE(high, (QVector<QPointF>{{0, 8}, {5, 8}, {25, 9}, {35, 9}}));
}

void TestWidgetAxesDisplay::historyKeepsTheNewestDayWithGrowingKeys()
{
    const int cap = WidgetAxesDisplay::kMaxPoints;
    const int dropped = 25;
    WidgetAxesDisplay widget;
    widget.setInterval(2);
    widget.setHighPointVisible(true);
    widget.setHighPoint(3);
    for (int i = 0; i < cap + dropped; ++i)
        widget.addValue(float(i % 100));

    const QCPGraph *values = widget.valueGraph();
    QCOMPARE(values->dataCount(), cap);
    // The set-point line spans the readings kept, from the oldest to the newest.
    QCOMPARE(widget.highGraph()->dataCount(), 2);
    QCOMPARE(widget.highGraph()->data()->constBegin()->key, dropped * 2.0);
    QCOMPARE(lastKey(widget.highGraph()), (cap + dropped - 1) * 2.0);
    QCOMPARE(values->data()->constBegin()->key, dropped * 2.0);
    QCOMPARE(values->data()->constBegin()->value, double(dropped % 100));
    QCOMPARE(lastKey(values), (cap + dropped - 1) * 2.0);
    QCOMPARE(window(widget).upper, lastKey(values));

    QScrollBar *bar = scrollBar(widget);
    QCOMPARE(bar->minimum(), 21 - cap);
    bar->setValue(bar->minimum());
    QCOMPARE(window(widget), QCPRange(dropped * 2.0, dropped * 2.0 + 40));

    // Fully left stays on the oldest points kept while old ones go.
    widget.addValue(1);
    QCOMPARE(values->dataCount(), cap);
    QCOMPARE(bar->minimum(), 21 - cap);
    QCOMPARE(bar->value(), bar->minimum());
    QCOMPARE(window(widget), QCPRange(dropped * 2.0 + 2, dropped * 2.0 + 42));
}

void TestWidgetAxesDisplay::hiddenGraphIsReplottedOnlyWhenShown()
{
    QTabWidget tabs;
    auto *shown = new WidgetAxesDisplay;
    auto *hidden = new WidgetAxesDisplay;
    tabs.addTab(shown, QStringLiteral("DO"));
    tabs.addTab(hidden, QStringLiteral("Temper"));
    tabs.show();
    QVERIFY(QTest::qWaitForWindowExposed(&tabs));
    // Both pages laid out once (the second one's plot is made as it is first shown), so that
    // showing a page again does not resize its plot.
    tabs.setCurrentIndex(1);
    QCoreApplication::processEvents();
    tabs.setCurrentIndex(0);
    QCoreApplication::processEvents();

    QSignalSpy shownReplots(shown->plot(), &QCustomPlot::afterReplot);
    QSignalSpy hiddenReplots(hidden->plot(), &QCustomPlot::afterReplot);
    for (int i = 0; i < 3; ++i) {
        shown->addValue(1);
        hidden->addValue(1);
    }
    QCOMPARE(shownReplots.count(), 3);
    QCOMPARE(hiddenReplots.count(), 0);

    tabs.setCurrentIndex(1);
    QCOMPARE(hiddenReplots.count(), 1);
    tabs.setCurrentIndex(0);
    tabs.setCurrentIndex(1);
    QCOMPARE(hiddenReplots.count(), 1); // nothing new to draw
}

void TestWidgetAxesDisplay::graphMadeWhenFirstShownHasTheReadingsTakenBefore()
{
    // The same readings and set points into a graph made at once and one never shown yet.
    WidgetAxesDisplay made;
    QVERIFY(made.plot());
    QTabWidget tabs;
    tabs.addTab(new QWidget, QStringLiteral("仪表"));
    auto *later = new WidgetAxesDisplay;
    tabs.addTab(later, QStringLiteral("DO"));
    tabs.resize(800, 500);
    tabs.show();
    QVERIFY(QTest::qWaitForWindowExposed(&tabs));
    for (WidgetAxesDisplay *widget : {&made, later}) {
        widget->setValueRange(0, 20);
        widget->setPrecision(2);
        widget->setAxisLabel(QStringLiteral("mg/L"));
        widget->setInterval(5);
        widget->setHighPointVisible(true);
        widget->setHighPoint(8);
        for (int i = 0; i < 30; ++i)
            widget->addValue(float(i) / 4);
        // A set point moved and a second one switched on part of the way.
        widget->setHighPoint(9);
        widget->setLowPointVisible(true);
        widget->setLowPoint(1.5f);
        for (int i = 0; i < 10; ++i)
            widget->addValue(float(i));
    }
    QVERIFY(!later->isBuilt());

    tabs.setCurrentIndex(1);
    QTRY_VERIFY(later->isBuilt());
    QVERIFY(later->plot()->isVisible());
    const auto points = [](const QCPGraph *graph) {
        QVector<QPointF> all;
        for (auto it = graph->data()->constBegin(); it != graph->data()->constEnd(); ++it)
            all << QPointF(it->key, it->value);
        return all;
    };
    QCOMPARE(later->valueGraph()->dataCount(), 40);
    QCOMPARE(points(later->valueGraph()), points(made.valueGraph()));
    QCOMPARE(points(later->highGraph()), points(made.highGraph()));
    QCOMPARE(points(later->lowGraph()), points(made.lowGraph()));
    QCOMPARE(later->plot()->yAxis->label(), QStringLiteral("mg/L"));
    QCOMPARE(later->plot()->yAxis2->range(), made.plot()->yAxis2->range());
    QCOMPARE(window(*later), window(made));
    QCOMPARE(scrollBar(*later)->minimum(), scrollBar(made)->minimum());
    QCOMPARE(later->lowTag()->text(), QStringLiteral("1.50"));
    QCOMPARE(later->highTag()->text(), made.highTag()->text());

    // Made, it takes readings directly.
    later->addValue(3);
    QCOMPARE(later->valueGraph()->dataCount(), 41);
    QCOMPARE(lastKey(later->valueGraph()), 200.0);
}

QTEST_MAIN(TestWidgetAxesDisplay)
#include "tst_widgetaxesdisplay.moc"
