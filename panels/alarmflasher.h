#ifndef ALARMFLASHER_H
#define ALARMFLASHER_H

#include <QObject>
#include <QTimer>

#include <set>

class QWidget;

// The one blink of every unacknowledged alarm on screen: a single timer flips a shared phase
// and repaints only the widgets that flash. It runs only while one of them does.
class AlarmFlasher : public QObject
{
    Q_OBJECT

public:
    static constexpr int periodMs = 500;

    explicit AlarmFlasher(QObject *parent = nullptr);

    // The widget repaints at each flip until it is taken out; it reads lit() as it paints.
    void add(QWidget *widget);
    void remove(QWidget *widget);
    bool contains(QWidget *widget) const { return flashing.count(widget) > 0; }
    int count() const { return int(flashing.size()); }
    bool isRunning() const { return timer.isActive(); }
    // Whether flashing widgets show their alarm colour now. A widget that starts flashing
    // shows it at once.
    bool lit() const { return phase; }
    const std::set<QWidget *> &widgets() const { return flashing; }

signals:
    // After each flip, for views that draw flashing widgets they do not show as children.
    void signal_flipped();

public slots:
    // Flips the phase and repaints the flashing widgets; the timer's step.
    void flip();

private:
    QTimer timer;
    std::set<QWidget *> flashing;
    bool phase = true;
};

#endif // ALARMFLASHER_H
