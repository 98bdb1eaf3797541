#include "widgetaxesdisplay.h"
#include "ui_widgetaxesdisplay.h"

#include "axistag.h"

#include <QLayout>

#include <cmath>

namespace {

// The window spans 20 intervals and so holds 21 readings.
constexpr int kWindowIntervals = 20;
constexpr int kWindowPoints = kWindowIntervals + 1;
// Dropping the oldest point only moves the data's start inside its buffer; compacting every
// eighth of the history keeps a full series in one buffer of the size it first grew to.
constexpr int kCompactStep = WidgetAxesDisplay::kMaxPoints / 8;

} // namespace

WidgetAxesDisplay::WidgetAxesDisplay(QWidget *parent)
    : QWidget(parent), tagValue(nullptr), tagHigh(nullptr), tagLow(nullptr), highVisible(false),
      lowVisible(false), highPoint(0), lowPoint(0), precision(0), interval(1), scrollOffset(0),
      readings(0), stale(false)
{
}

void WidgetAxesDisplay::build()
{
    if (ui)
        return;
    ui = new Ui::WidgetAxesDisplay;
    ui->setupUi(this);
    ui->horizontalScrollBar->setRange(0, 0);
    connect(ui->horizontalScrollBar, &QScrollBar::valueChanged, this,
            &WidgetAxesDisplay::slot_scroll);

    QCustomPlot *plot = ui->widgetGraph;
    plot->xAxis->setLabel(QString());
    plot->xAxis->setRange(0, kWindowIntervals);
    plot->xAxis->setTickLabels(true);
    QSharedPointer<QCPAxisTickerTime> timeTicker(new QCPAxisTickerTime);
    plot->xAxis->setTicker(timeTicker);
    timeTicker->setTickCount(20);
    timeTicker->setTimeFormat(QStringLiteral("%d天\n%h时\n%m分\n%s秒"));

    connect(plot->yAxis2, QOverload<const QCPRange &>::of(&QCPAxis::rangeChanged), plot->yAxis,
            QOverload<const QCPRange &>::of(&QCPAxis::setRange));
    plot->yAxis2->setVisible(true);
    plot->yAxis2->setTickLabels(false);
    plot->yAxis2->setPadding(60); // room for the tags

    const QPen red(QColor(255, 0, 0, 255));
    graphHigh = plot->addGraph(plot->xAxis, plot->yAxis);
    graphHigh->setPen(red);
    tagHigh = new AxisTag(graphHigh->valueAxis());
    tagHigh->setPen(graphHigh->pen());
    tagHigh->setVisible(false);

    graphLow = plot->addGraph(plot->xAxis, plot->yAxis);
    graphLow->setPen(red);
    tagLow = new AxisTag(graphLow->valueAxis());
    tagLow->setPen(graphLow->pen());
    tagLow->setVisible(false);

    // Created last so that the measured line is drawn on top of the set points.
    graphValue = plot->addGraph(plot->xAxis, plot->yAxis2);
    graphValue->setPen(QPen(QColor(0, 0, 255, 255)));
    tagValue = new AxisTag(graphValue->valueAxis());
    tagValue->setPen(graphValue->pen());

    applyValueRange();
    setPrecision(precision);
    plot->yAxis->setLabel(axisLabel);
    setInterval(interval);
    tagHigh->setVisible(highVisible);
    tagLow->setVisible(lowVisible);
    readings = keptDropped;
    for (const Kept &reading : kept)
        plotValue(reading);
    kept.clear();
    kept.shrink_to_fit();
    stale = true;
    // Made while the graph is being shown: its new children are not shown with it.
    if (isVisible()) {
        ui->widgetGraph->show();
        ui->horizontalScrollBar->show();
        // Sized now: a later first layout would resize the plot and draw it again.
        layout()->activate();
    }
}

WidgetAxesDisplay::~WidgetAxesDisplay()
{
    // The tags remove their items while the plot still exists.
    delete tagValue;
    delete tagHigh;
    delete tagLow;
    delete ui;
}

void WidgetAxesDisplay::setValueRange(float lower, float upper)
{
    rangeLower = lower;
    rangeUpper = upper;
    rangeSet = true;
    applyValueRange();
}

void WidgetAxesDisplay::applyValueRange()
{
    if (!ui || !rangeSet)
        return;
    const float lower = rangeLower;
    const float upper = rangeUpper;
    QCustomPlot *plot = ui->widgetGraph;
    plot->yAxis2->setRange(lower, upper);

    // Whole units plus one where that is few enough; wide ranges get 20 or 22 ticks. Done in
    // floating point so that no range can overflow an int.
    const float span = std::trunc(upper - lower + 0.9f);
    int count = 0;
    if (span >= 20.0f)
        count = std::fmod(span, 20.0f) == 0.0f ? 20 : 22;
    else if (span >= 1.0f)
        count = static_cast<int>(span);
    if (count < 1)
        return;
    plot->yAxis->ticker()->setTickCount(count);
    plot->yAxis2->ticker()->setTickCount(count);
}

void WidgetAxesDisplay::setPrecision(int decimals)
{
    precision = decimals;
    if (ui && decimals > 0) {
        ui->widgetGraph->yAxis->setNumberFormat(QStringLiteral("f"));
        ui->widgetGraph->yAxis->setNumberPrecision(decimals);
    }
}

void WidgetAxesDisplay::setAxisLabel(const QString &text)
{
    axisLabel = text;
    if (ui)
        ui->widgetGraph->yAxis->setLabel(text);
}

void WidgetAxesDisplay::setInterval(int seconds)
{
    interval = qMax(1, seconds);
    if (ui)
        ui->widgetGraph->xAxis->setRange(0, double(kWindowIntervals) * interval);
}

void WidgetAxesDisplay::setHighPointVisible(bool visible)
{
    highVisible = visible;
    if (tagHigh)
        tagHigh->setVisible(visible);
}

void WidgetAxesDisplay::setLowPointVisible(bool visible)
{
    lowVisible = visible;
    if (tagLow)
        tagLow->setVisible(visible);
}

void WidgetAxesDisplay::setHighPoint(float value)
{
    highPoint = value;
}

void WidgetAxesDisplay::setLowPoint(float value)
{
    lowPoint = value;
}

void WidgetAxesDisplay::addValue(float value)
{
    const Kept reading{value, highPoint, lowPoint, highVisible, lowVisible};
    if (ui) {
        plotValue(reading);
        refresh();
        return;
    }
    kept.push_back(reading);
    if (kept.size() > size_t(kMaxPoints)) {
        kept.pop_front();
        ++keptDropped;
    }
}

void WidgetAxesDisplay::plotValue(const Kept &reading)
{
    const float value = reading.value;
    if (reading.highOn) {
        appendSetPoint(graphHigh, reading.high);
        tagHigh->updatePosition(reading.high);
        tagHigh->setText(tagText(reading.high));
    }
    if (reading.lowOn) {
        appendSetPoint(graphLow, reading.low);
        tagLow->updatePosition(reading.low);
        tagLow->setText(tagText(reading.low));
    }
    appendPoint(graphValue, value);
    trimSetPoint(graphHigh);
    trimSetPoint(graphLow);
    ++readings;

    const int n = graphValue->dataCount();
    if (n > kWindowPoints) {
        showWindow();
        ui->horizontalScrollBar->setRange(kWindowPoints - n, 0);
        ui->horizontalScrollBar->setValue(-scrollOffset);
    }

    tagValue->updatePosition(value);
    tagValue->setText(tagText(value));
}

const QCustomPlot *WidgetAxesDisplay::plot() const
{
    const_cast<WidgetAxesDisplay *>(this)->build();
    return ui->widgetGraph;
}

const QCPGraph *WidgetAxesDisplay::valueGraph() const
{
    const_cast<WidgetAxesDisplay *>(this)->build();
    return graphValue;
}

const QCPGraph *WidgetAxesDisplay::highGraph() const
{
    const_cast<WidgetAxesDisplay *>(this)->build();
    return graphHigh;
}

const QCPGraph *WidgetAxesDisplay::lowGraph() const
{
    const_cast<WidgetAxesDisplay *>(this)->build();
    return graphLow;
}

const AxisTag *WidgetAxesDisplay::valueTag() const
{
    const_cast<WidgetAxesDisplay *>(this)->build();
    return tagValue;
}

const AxisTag *WidgetAxesDisplay::highTag() const
{
    const_cast<WidgetAxesDisplay *>(this)->build();
    return tagHigh;
}

const AxisTag *WidgetAxesDisplay::lowTag() const
{
    const_cast<WidgetAxesDisplay *>(this)->build();
    return tagLow;
}

void WidgetAxesDisplay::showEvent(QShowEvent *event)
{
    build();
    QWidget::showEvent(event);
    if (stale)
        refresh();
}

void WidgetAxesDisplay::slot_scroll(int position)
{
    scrollOffset = -position;
    showWindow();
    refresh();
}

// All series of one reading share the key of the reading's number.
void WidgetAxesDisplay::appendPoint(QCPGraph *graph, double value)
{
    graph->addData(double(readings) * interval, value);
    QSharedPointer<QCPGraphDataContainer> data = graph->data();
    const int excess = data->size() - kMaxPoints;
    if (excess <= 0)
        return;
    // Keys are unique (interval >= 1), so this drops exactly the oldest points.
    data->removeBefore((data->constBegin() + excess)->key);
    if (readings % kCompactStep == 0)
        data->squeeze(true, false);
}

// A set point seldom changes: a run of equal points is held as its first and last point,
// which draw the same line as the whole run.
void WidgetAxesDisplay::appendSetPoint(QCPGraph *graph, double value)
{
    QCPGraphDataContainer &data = *graph->data();
    const double key = double(readings) * interval;
    if (data.size() >= 2) {
        const auto last = data.end() - 1;
        if (last->value == value && (last - 1)->value == value) {
            last->key = key;
            return;
        }
    }
    graph->addData(key, value);
}

// Drops set-point points older than the oldest reading kept; a run that goes on past it
// starts at that reading, so the line drawn there stays the same.
void WidgetAxesDisplay::trimSetPoint(QCPGraph *graph)
{
    if (graphValue->data()->isEmpty())
        return;
    const double oldest = graphValue->data()->constBegin()->key;
    QCPGraphDataContainer &data = *graph->data();
    if (data.isEmpty() || data.constBegin()->key >= oldest)
        return;
    const auto first = data.begin() + (data.findBegin(oldest, false) - data.constBegin());
    if (first != data.begin() && first != data.end() && first->key > oldest &&
        (first - 1)->value == first->value)
        (first - 1)->key = oldest;
    data.removeBefore(oldest);
    if (readings % kCompactStep == 0)
        data.squeeze(true, false);
}

// The window of 20 intervals that ends scrollOffset readings before the newest one.
void WidgetAxesDisplay::showWindow()
{
    QCPAxis *keyAxis = ui->widgetGraph->xAxis;
    keyAxis->rescale(false);
    const double right = qMax(0.0, keyAxis->range().upper - double(scrollOffset) * interval);
    keyAxis->setRange(right, double(kWindowIntervals) * interval, Qt::AlignRight);
}

void WidgetAxesDisplay::refresh()
{
    stale = !isVisible();
    if (!stale)
        ui->widgetGraph->replot();
}

QString WidgetAxesDisplay::tagText(float value) const
{
    return QStringLiteral("%1").arg(double(value), 0, 'f', precision, QLatin1Char('0'));
}
