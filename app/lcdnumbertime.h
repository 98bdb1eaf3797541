#ifndef LCDNUMBERTIME_H
#define LCDNUMBERTIME_H

#include <QTime>
#include <QWidget>

#include <functional>

class QTimer;

namespace Ui {
class LcdNumberTime;
}

// The seven-segment clock of the main window: the local time of day, read anew every second.
class LcdNumberTime : public QWidget
{
    Q_OBJECT

public:
    using Clock = std::function<QTime()>;

    explicit LcdNumberTime(QWidget *parent = nullptr);
    // Reads `source` instead of the system's local time (tests).
    explicit LcdNumberTime(Clock source, QWidget *parent = nullptr);
    ~LcdNumberTime() override;

private slots:
    void slot_timeout();

private:
    Ui::LcdNumberTime *ui;
    QTimer *timer;
    Clock clock;
};

#endif // LCDNUMBERTIME_H
