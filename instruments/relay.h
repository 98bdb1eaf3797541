#ifndef RELAY_H
#define RELAY_H

class SensorBase;

// One relay output of an instrument as read at the last sync; the numbers are scaled like
// the factor the relay acts on.
struct Relay
{
    bool on = false;
    float alarmPoint = 0;
    float hysteresis = 0;
    SensorBase *sensor = nullptr; // not owned
};

#endif // RELAY_H
