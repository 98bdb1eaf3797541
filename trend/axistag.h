#ifndef AXISTAG_H
#define AXISTAG_H

#include <QObject>
#include <QPointer>

#include <qcustomplot.h>

// A value label at the right edge of a plot: a small arrow pointing at a value of the tagged
// axis and a boxed text beside it. Its three items live on the axis's plot.
class AxisTag : public QObject
{
    Q_OBJECT

public:
    explicit AxisTag(QCPAxis *parentAxis);
    ~AxisTag() override;

    void setPen(const QPen &pen);
    void setText(const QString &text);
    // The anchor is never drawn; only the arrow and the text follow this.
    void setVisible(bool visible);
    void updatePosition(double value);

    QString text() const;
    bool isVisible() const;

private:
    QPointer<QCPAxis> axis;
    QPointer<QCPItemTracer> anchor;
    QPointer<QCPItemLine> arrow;
    QPointer<QCPItemText> label;
};

#endif // AXISTAG_H
