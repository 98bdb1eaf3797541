#ifndef SIMCHAIN_H
#define SIMCHAIN_H

#include "siminstrument.h"

#include <cstdint>
#include <mutex>
#include <random>
#include <string>
#include <vector>

// The instruments on one line: turns a request frame into the addressed instrument's answer
// frame, as that instrument's fault mode has it. The line and the gateways, each on a thread
// of its own, share one chain.
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
    // The id after `id` in the chain, the lowest after the highest; `id` itself when no other
    // instrument is there.
    int neighbour(int id);

    static uint16_t crc16(const uint8_t *data, size_t size);
    static void appendCrc(std::vector<uint8_t> &frame);

private:
    std::vector<uint8_t> garbage();

    std::vector<SimInstrument> instruments;
    std::mt19937 random;
    std::mutex lock;
};

#endif // SIMCHAIN_H
