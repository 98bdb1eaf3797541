#include "axistag.h"

AxisTag::AxisTag(QCPAxis *parentAxis) : QObject(parentAxis), axis(parentAxis)
{
    QCustomPlot *plot = parentAxis->parentPlot();

    // Right edge of the axis rect horizontally, a value of the tagged axis vertically.
    anchor = new QCPItemTracer(plot);
    anchor->setVisible(false);
    anchor->position->setTypeX(QCPItemPosition::ptAxisRectRatio);
    anchor->position->setTypeY(QCPItemPosition::ptPlotCoords);
    anchor->position->setAxisRect(parentAxis->axisRect());
    anchor->position->setAxes(nullptr, parentAxis);
    anchor->position->setCoords(1, 0);

    arrow = new QCPItemLine(plot);
    arrow->setLayer(QStringLiteral("overlay"));
    arrow->setClipToAxisRect(false);
    arrow->setHead(QCPLineEnding(QCPLineEnding::esSpikeArrow, 8, 10));
    arrow->end->setParentAnchor(anchor->position);
    arrow->start->setParentAnchor(arrow->end);
    arrow->start->setCoords(15, 0);

    label = new QCPItemText(plot);
    label->setLayer(QStringLiteral("overlay"));
    label->setClipToAxisRect(false);
    label->setPadding(QMargins(3, 0, 3, 0));
    label->setBrush(QBrush(Qt::white));
    label->setPen(QPen(Qt::blue));
    label->setPositionAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    label->position->setParentAnchor(arrow->start);
}

AxisTag::~AxisTag()
{
    // The plot may already have deleted the items (it clears them in its own destructor).
    for (QCPAbstractItem *item :
         {static_cast<QCPAbstractItem *>(label), static_cast<QCPAbstractItem *>(arrow),
          static_cast<QCPAbstractItem *>(anchor)}) {
        if (item)
            item->parentPlot()->removeItem(item);
    }
}

void AxisTag::setPen(const QPen &pen)
{
    if (arrow)
        arrow->setPen(pen);
    if (label)
        label->setPen(pen);
}

void AxisTag::setText(const QString &text)
{
    if (label)
        label->setText(text);
}

void AxisTag::setVisible(bool visible)
{
    if (arrow)
        arrow->setVisible(visible);
    if (label)
        label->setVisible(visible);
}

void AxisTag::updatePosition(double value)
{
    if (!anchor || !arrow || !axis)
        return;
    anchor->position->setCoords(1, value);
    // Keeps the tip on the axis line when the axis is offset from the axis rect.
    arrow->end->setCoords(axis->offset(), 0);
}

QString AxisTag::text() const
{
    return label ? label->text() : QString();
}

bool AxisTag::isVisible() const
{
    return label && label->visible();
}
