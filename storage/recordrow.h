#ifndef RECORDROW_H
#define RECORDROW_H

#include <cstdint>
#include <string>

// One row of table Record in memory; texts are UTF-8.
struct RecordRow
{
    std::string time; // "yyyy-MM-dd hh:mm:ss", local time of the reading
    std::string model;
    std::string name;
    int32_t slave = 0;
    int32_t channel = 0;
    std::string factor;
    std::string unit;
    std::string value;
    std::string status;
};

#endif // RECORDROW_H
