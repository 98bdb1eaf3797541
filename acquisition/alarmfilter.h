#ifndef ALARMFILTER_H
#define ALARMFILTER_H

// How readily a value alarm (高报/低报) is raised and cleared: the readings its condition must
// hold for before it raises, and the rule that holds a chattering alarm instead of logging
// every swing around its set point. Set for all monitors or for one.
struct AlarmFilter
{
    // Readings in a row the condition must hold before the alarm raises.
    int onDelay = 1;
    // More raises of one alarm than this within chatterWindow seconds make it chattering:
    // it stays active until its condition has been absent for chatterHold seconds, and the
    // returns meanwhile are counted instead of raised. 0 turns the rule off.
    int chatterRaises = 5;
    int chatterWindow = 600;
    int chatterHold = 60;

    static constexpr int maxOnDelay = 100;
    static constexpr int maxChatterRaises = 100;
    static constexpr int maxChatterWindow = 24 * 3600;
    static constexpr int maxChatterHold = 3600;

    bool isValid() const
    {
        return onDelay >= 1 && onDelay <= maxOnDelay && chatterRaises >= 0 &&
               chatterRaises <= maxChatterRaises && chatterWindow >= 1 &&
               chatterWindow <= maxChatterWindow && chatterHold >= 1 &&
               chatterHold <= maxChatterHold;
    }
    bool operator==(const AlarmFilter &other) const
    {
        return onDelay == other.onDelay && chatterRaises == other.chatterRaises &&
               chatterWindow == other.chatterWindow && chatterHold == other.chatterHold;
    }
    bool operator!=(const AlarmFilter &other) const { return !(*this == other); }
};

#endif // ALARMFILTER_H
