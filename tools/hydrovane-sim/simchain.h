#ifndef SIMCHAIN_H
#define SIMCHAIN_H

#include "siminstrument.h"

#include <cstdint>
#include <random>
#include <string>
#include <vector>

// The instruments on one line: turns a request frame into the addressed instrument's answer
// frame, as that instrument's fault mode has it.
class SimChain
{
public:
    struct Answer
    {
        std::vector<uint8_t> frame; // empty: the line stays silent
        double delay = 0;           // seconds beyond the wire time
    };

    explicit SimChain(unsigned seed) : random(seed) {}

    // False when another instrument already has the id.
    bool add(const SimInstrument &instrument);
    // Unknown ids, broadcasts and requests with a bad CRC are not answered.
    Answer answer(const std::vector<uint8_t> &request, double seconds);

    static uint16_t crc16(const uint8_t *data, size_t size);
    static void appendCrc(std::vector<uint8_t> &frame);

private:
    std::vector<uint8_t> garbage();

    std::vector<SimInstrument> instruments;
    std::mt19937 random;
};

#endif // SIMCHAIN_H
