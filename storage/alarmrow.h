#ifndef ALARMROW_H
#define ALARMROW_H

#include <cstdint>
#include <string>

// One row of table Alarm in memory; texts are UTF-8, times "yyyy-MM-dd hh:mm:ss", and an
// empty text stands for NULL (not cleared, not acknowledged, no value).
struct AlarmRow
{
    int64_t id = 0;
    std::string name;
    int32_t slave = 0;
    int32_t channel = 0;
    std::string factor;
    std::string kind; // "高报", "低报" or "通讯故障"
    std::string value;
    std::string alarmPoint;
    std::string raised;
    std::string cleared;
    std::string acked;
    // Why it cleared ("停止采集", "恢复正常", ...); empty in rows of builds that did not say.
    std::string reason;

    bool isActive() const { return cleared.empty(); }
};

#endif // ALARMROW_H
