#ifndef WIDGETAXESDISPLAY_H
#define WIDGETAXESDISPLAY_H

#include <QPointer>
#include <QString>
#include <QWidget>

#include <deque>

class AxisTag;
class QCPGraph;
class QCustomPlot;

namespace Ui {
class WidgetAxesDisplay;
}

// The trend of one measured factor over elapsed time, with the high and low control set points
// as optional red lines and a value tag per line. A scroll bar moves a window of 20 intervals
// back through the newest kMaxPoints readings.
//
// The plot is made when the graph is first shown (or looked into): a station of thousands of
// instruments opens few of their graphs. Until then the readings are only kept, and the plot
// is given them when it is made.
class WidgetAxesDisplay : public QWidget
{
    Q_OBJECT

public:
    // A day of one-second readings per series; older points are dropped.
    static constexpr int kMaxPoints = 86400;

    explicit WidgetAxesDisplay(QWidget *parent = nullptr);
    ~WidgetAxesDisplay() override;

    void setValueRange(float lower, float upper);
    void setPrecision(int decimals);
    void setAxisLabel(const QString &text);
    // Seconds between readings; below 1 counts as 1, the shortest poll period.
    void setInterval(int seconds);
    void setHighPointVisible(bool visible);
    void setLowPointVisible(bool visible);
    void setHighPoint(float value);
    void setLowPoint(float value);
    void addValue(float value);
    // Whether the plot has been made.
    bool isBuilt() const { return ui != nullptr; }

    // Read-only views for tests and benchmarks; they make the plot.
    const QCustomPlot *plot() const;
    const QCPGraph *valueGraph() const;
    const QCPGraph *highGraph() const;
    const QCPGraph *lowGraph() const;
    const AxisTag *valueTag() const;
    const AxisTag *highTag() const;
    const AxisTag *lowTag() const;

protected:
    void showEvent(QShowEvent *event) override;

private slots:
    void slot_scroll(int position);

private:
    // A reading with the set points drawn beside it.
    struct Kept
    {
        float value;
        float high;
        float low;
        bool highOn;
        bool lowOn;
    };

    // Makes the plot, applies the settings and adds the kept readings.
    void build();
    void applyValueRange();
    void plotValue(const Kept &reading);
    void appendPoint(QCPGraph *graph, double value);
    void appendSetPoint(QCPGraph *graph, double value);
    void trimSetPoint(QCPGraph *graph);
    void showWindow();
    void refresh();
    QString tagText(float value) const;

    Ui::WidgetAxesDisplay *ui = nullptr;
    // Settings and readings until the plot is made.
    float rangeLower = 0;
    float rangeUpper = 0;
    bool rangeSet = false;
    QString axisLabel;
    std::deque<Kept> kept;
    qint64 keptDropped = 0;
    QPointer<QCPGraph> graphValue;
    QPointer<QCPGraph> graphHigh;
    QPointer<QCPGraph> graphLow;
    AxisTag *tagValue;
    AxisTag *tagHigh;
    AxisTag *tagLow;
    bool highVisible;
    bool lowVisible;
    float highPoint;
    float lowPoint;
    int precision;
    int interval;
    int scrollOffset;
    // Every reading ever added; keys stay k x interval after old points are dropped.
    qint64 readings;
    // A hidden graph is replotted when it is shown again.
    bool stale;
};

#endif // WIDGETAXESDISPLAY_H
