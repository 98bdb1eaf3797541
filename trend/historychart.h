#ifndef HISTORYCHART_H
#define HISTORYCHART_H

#include <QMetaType>
#include <QSharedPointer>
#include <QString>

#include <qcustomplot.h>

class RecordResult;

// The stored values of one instrument's factor over time, ready for a HistoryChart. Keys are
// the wall-clock seconds of the stored times read as UTC (RecordResult::secondsOf).
struct HistorySeries
{
    QString name;
    QString factor;
    QString unit;
    // The most decimals of any stored value, for the read-out.
    int decimals = 0;
    QSharedPointer<QCPGraphDataContainer> points;
};
Q_DECLARE_METATYPE(HistorySeries)

// A chart of found records over time: one series, dragged and zoomed along the time axis, with
// the time and value of the point nearest the cursor shown beside it. A million points plot
// without delay: the graph samples what it draws, and the read-out repaints its own layer only.
class HistoryChart : public QCustomPlot
{
    Q_OBJECT

public:
    explicit HistoryChart(QWidget *parent = nullptr);

    // The rows of name and factor in result, oldest first; rows with status B or F and values
    // that are not numbers are NaN, which breaks the line. Rows whose time is not of the stored
    // form are left out. Any thread.
    static HistorySeries seriesOf(const RecordResult &result, const QString &name,
                                  const QString &factor);

    void setSeries(const HistorySeries &series);
    void clearSeries();
    // The rows charted are only part of those searched for (a read error ended the search):
    // the time axis says so in red until it is set back.
    void setPartial(bool partial);
    const HistorySeries &series() const { return shown; }
    const QCPGraph *valueGraph() const { return values; }

    // Shows the read-out for the point nearest to the time under pixel x; hides it when there is
    // none. Returns the read-out text.
    QString pointAt(double x);
    QString readout() const;

protected:
    void mouseMoveEvent(QMouseEvent *event) override;
    void leaveEvent(QEvent *event) override;

private:
    void hideReadout();

    HistorySeries shown;
    QCPGraph *values;
    QCPItemTracer *tracer;
    QCPItemText *label;
};

#endif // HISTORYCHART_H
