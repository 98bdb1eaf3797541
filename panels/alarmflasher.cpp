#include "alarmflasher.h"

#include <QWidget>

AlarmFlasher::AlarmFlasher(QObject *parent) : QObject(parent)
{
    timer.setInterval(periodMs);
    connect(&timer, &QTimer::timeout, this, &AlarmFlasher::flip);
}

void AlarmFlasher::add(QWidget *widget)
{
    if (!flashing.insert(widget).second)
        return;
    if (!timer.isActive()) {
        // The first alarm after a quiet spell is seen at once, not half a period later.
        phase = true;
        timer.start();
    }
    widget->update();
}

void AlarmFlasher::remove(QWidget *widget)
{
    if (flashing.erase(widget) == 0)
        return;
    widget->update();
    if (flashing.empty())
        timer.stop();
}

void AlarmFlasher::flip()
{
    phase = !phase;
    for (QWidget *widget : flashing)
        widget->update();
    emit signal_flipped();
}
