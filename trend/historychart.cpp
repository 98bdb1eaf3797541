#include "historychart.h"

#include "storage/recordresult.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

namespace {

const char *const overlayLayer = "readout";
// How far the read-out looks past gaps for a point with a value.
const int gapSearchLimit = 10000;

// The value of a stored value text, NaN when it is not a whole number text. Locale-free: the
// station stores a point whatever the desktop's locale.
double parseValue(const char *text, int &decimals)
{
    const char *end = text + std::strlen(text);
    double value = 0;
    const auto parsed = std::from_chars(text, end, value, std::chars_format::fixed);
    if (parsed.ec != std::errc() || parsed.ptr != end || !std::isfinite(value))
        return std::numeric_limits<double>::quiet_NaN();
    if (const char *point = std::strchr(text, '.'))
        decimals = std::max(decimals, std::min(6, int(end - point - 1)));
    return value;
}

bool isGap(const std::string &status)
{
    return status == "B" || status == "F";
}

} // namespace

HistoryChart::HistoryChart(QWidget *parent) : QCustomPlot(parent)
{
    values = addGraph();
    values->setAdaptiveSampling(true);
    values->setPen(QPen(QColor(40, 110, 200)));
    values->setLineStyle(QCPGraph::lsLine);

    QSharedPointer<QCPAxisTickerDateTime> ticker(new QCPAxisTickerDateTime);
    ticker->setDateTimeFormat(QStringLiteral("yyyy-MM-dd\nhh:mm:ss"));
    ticker->setDateTimeSpec(Qt::UTC);
    xAxis->setTicker(ticker);
    xAxis->setLabel(QStringLiteral("时间"));
    yAxis->setLabel(QStringLiteral("测量结果"));

    setInteractions(QCP::iRangeDrag | QCP::iRangeZoom);
    axisRect()->setRangeDrag(Qt::Horizontal);
    axisRect()->setRangeZoom(Qt::Horizontal);
    setNoAntialiasingOnDrag(true);
    setPlottingHint(QCP::phCacheLabels, true);

    addLayer(QString::fromLatin1(overlayLayer), layer(QStringLiteral("main")), limAbove);
    layer(QString::fromLatin1(overlayLayer))->setMode(QCPLayer::lmBuffered);
    tracer = new QCPItemTracer(this);
    tracer->setLayer(QString::fromLatin1(overlayLayer));
    tracer->setStyle(QCPItemTracer::tsCircle);
    tracer->setSize(7);
    tracer->setPen(QPen(Qt::red));
    label = new QCPItemText(this);
    label->setLayer(QString::fromLatin1(overlayLayer));
    label->position->setParentAnchor(tracer->position);
    label->position->setType(QCPItemPosition::ptAbsolute);
    label->setPadding(QMargins(4, 2, 4, 2));
    label->setBrush(QBrush(QColor(255, 255, 255, 220)));
    label->setPen(QPen(Qt::gray));
    tracer->setVisible(false);
    label->setVisible(false);
}

HistorySeries HistoryChart::seriesOf(const RecordResult &result, const QString &name,
                                     const QString &factor)
{
    HistorySeries series;
    series.name = name;
    series.factor = factor;
    const std::string nameUtf8 = name.toStdString();
    const std::string factorUtf8 = factor.toStdString();
    QVector<QCPGraphData> points;
    int sources = 0;
    for (int position = 0; position < result.bucketCount(); ++position) {
        const RecordResult::Bucket &bucket = result.bucket(position);
        if (bucket.nameUtf8 != nameUtf8)
            continue;
        // The few kinds of the bucket decide for all of its rows.
        std::vector<char> wanted;
        bool any = false;
        for (uint32_t id : bucket.kinds) {
            if (wanted.size() <= id)
                wanted.resize(id + 1, 0);
            wanted[id] = result.kind(id).factorUtf8 == factorUtf8;
            any = any || wanted[id];
            if (wanted[id] && series.unit.isEmpty())
                series.unit = result.kind(id).unit;
        }
        if (!any)
            continue;
        ++sources;
        points.reserve(points.size() + int(bucket.rows.size()));
        for (const RecordResult::Bucket::Row &row : bucket.rows) {
            if (!wanted[row.kind])
                continue;
            const double key = RecordResult::secondsOf(row.texts);
            if (std::isnan(key))
                continue;
            const double value =
                isGap(result.kind(row.kind).statusUtf8)
                    ? std::numeric_limits<double>::quiet_NaN()
                    : parseValue(RecordResult::valueOf(row.texts), series.decimals);
            points.append(QCPGraphData(key, value));
        }
    }
    // Each channel's rows are in time order already; several channels of one factor interleave.
    if (sources > 1)
        std::stable_sort(
            points.begin(), points.end(),
            [](const QCPGraphData &a, const QCPGraphData &b) { return a.key < b.key; });
    series.points.reset(new QCPGraphDataContainer);
    series.points->set(points, true);
    return series;
}

void HistoryChart::setSeries(const HistorySeries &series)
{
    shown = series;
    if (!shown.points)
        shown.points.reset(new QCPGraphDataContainer);
    tracer->setGraph(nullptr);
    values->setData(shown.points);
    yAxis->setLabel(shown.unit.isEmpty() ? shown.factor
                                         : QStringLiteral("%1 (%2)").arg(shown.factor, shown.unit));
    bool found = false;
    const QCPRange keys = values->getKeyRange(found);
    if (found)
        xAxis->setRange(keys.lower, std::max(keys.upper, keys.lower + 1));
    const QCPRange levels = values->getValueRange(found);
    if (found) {
        const double margin = std::max((levels.upper - levels.lower) * 0.05, 0.5);
        yAxis->setRange(levels.lower - margin, levels.upper + margin);
    }
    hideReadout();
    replot(rpQueuedReplot);
}

void HistoryChart::setPartial(bool partial)
{
    xAxis->setLabel(partial ? QStringLiteral("时间（查询出错，只有部分记录）")
                            : QStringLiteral("时间"));
    xAxis->setLabelColor(partial ? QColor(198, 40, 40) : QColor(Qt::black));
    replot(rpQueuedReplot);
}

void HistoryChart::clearSeries()
{
    setSeries(HistorySeries());
}

QString HistoryChart::pointAt(double x)
{
    const QSharedPointer<QCPGraphDataContainer> data = values->data();
    if (data->isEmpty()) {
        hideReadout();
        return QString();
    }
    const double key = xAxis->pixelToCoord(x);
    // The nearest point on each side that has a value.
    QCPGraphDataContainer::const_iterator right = data->findBegin(key, false);
    QCPGraphDataContainer::const_iterator left = right;
    for (int steps = 0; right != data->constEnd() && std::isnan(right->value); ++steps) {
        if (steps == gapSearchLimit) {
            right = data->constEnd();
            break;
        }
        ++right;
    }
    QCPGraphDataContainer::const_iterator best = right;
    for (int steps = 0; left != data->constBegin() && steps < gapSearchLimit; ++steps) {
        --left;
        if (std::isnan(left->value))
            continue;
        if (best == data->constEnd() || key - left->key < best->key - key)
            best = left;
        break;
    }
    if (best == data->constEnd()) {
        hideReadout();
        return QString();
    }
    const QString text = QDateTime::fromSecsSinceEpoch(qint64(best->key), Qt::UTC)
                             .toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")) +
                         QStringLiteral("  ") + QString::number(best->value, 'f', shown.decimals) +
                         (shown.unit.isEmpty() ? QString() : QLatin1Char(' ') + shown.unit);
    // Given its graph only now: the tracer complains about a graph without points.
    tracer->setGraph(values);
    tracer->setGraphKey(best->key);
    tracer->setVisible(true);
    // Beside the point, on the side with room.
    const bool leftHalf = xAxis->coordToPixel(best->key) < axisRect()->center().x();
    label->setPositionAlignment((leftHalf ? Qt::AlignLeft : Qt::AlignRight) | Qt::AlignBottom);
    label->position->setCoords(leftHalf ? 8 : -8, -8);
    label->setText(text);
    label->setVisible(true);
    layer(QString::fromLatin1(overlayLayer))->replot();
    return text;
}

QString HistoryChart::readout() const
{
    return label->visible() ? label->text() : QString();
}

void HistoryChart::mouseMoveEvent(QMouseEvent *event)
{
    QCustomPlot::mouseMoveEvent(event);
    if (axisRect()->rect().contains(event->pos()))
        pointAt(event->pos().x());
    else
        hideReadout();
}

void HistoryChart::leaveEvent(QEvent *event)
{
    QCustomPlot::leaveEvent(event);
    hideReadout();
}

void HistoryChart::hideReadout()
{
    if (!tracer->visible() && !label->visible())
        return;
    tracer->setVisible(false);
    label->setVisible(false);
    layer(QString::fromLatin1(overlayLayer))->replot();
}
