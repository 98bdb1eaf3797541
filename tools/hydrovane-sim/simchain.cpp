#include "simchain.h"

namespace {

const double slowDelay = 1.5; // beyond the station's 1-second response timeout

} // namespace

bool SimChain::add(const SimInstrument &instrument)
{
    for (const SimInstrument &present : instruments) {
        if (present.id() == instrument.id())
            return false;
    }
    instruments.push_back(instrument);
    return true;
}

SimChain::Answer SimChain::answer(const std::vector<uint8_t> &request, double seconds)
{
    std::lock_guard<std::mutex> guard(lock);
    Answer answer;
    if (request.size() < 4 || crc16(request.data(), request.size() - 2) !=
                                  (request[request.size() - 2] | request.back() << 8))
        return answer;
    SimInstrument *instrument = nullptr;
    for (SimInstrument &candidate : instruments) {
        if (candidate.id() == request[0])
            instrument = &candidate;
    }
    if (!instrument)
        return answer;
    const SimInstrument::Treatment treatment = instrument->treat(seconds);
    const SimInstrument::Fault fault = treatment.fault;
    if (fault == SimInstrument::Silent)
        return answer;

    const uint8_t function = request[1];
    std::vector<uint8_t> &frame = answer.frame;
    frame = {request[0], function};
    std::vector<uint16_t> words;
    int exception = 1; // illegal function
    if ((function == 3 || function == 4) && request.size() == 8)
        exception =
            instrument->read(function, request[2] << 8 | request[3], request[4] << 8 | request[5],
                             seconds, words, treatment.otherName);
    if (fault == SimInstrument::ExceptionAnswer)
        exception = 4; // server device failure
    if (exception) {
        frame[1] |= 0x80;
        frame.push_back(uint8_t(exception));
    } else {
        // One word short, counted consistently: a well-formed frame of the wrong length.
        if (fault == SimInstrument::WrongLength && !words.empty())
            words.pop_back();
        frame.push_back(uint8_t(2 * words.size()));
        for (uint16_t word : words) {
            frame.push_back(uint8_t(word >> 8));
            frame.push_back(uint8_t(word & 0xFF));
        }
    }
    if (fault == SimInstrument::WrongFunction)
        frame[1] = frame[1] == 3 ? 4 : 3;
    appendCrc(frame);
    // crcrate spoils an answer that is otherwise whole; one already spoilt stays as it is.
    if (treatment.badCrc && fault != SimInstrument::BadCrc)
        frame.back() ^= 0x5A;

    switch (fault) {
    case SimInstrument::BadCrc:
        frame.back() ^= 0x5A;
        break;
    case SimInstrument::Slow:
        answer.delay = slowDelay;
        break;
    case SimInstrument::Garbage:
        frame = garbage();
        break;
    default:
        break;
    }
    return answer;
}

int SimChain::neighbour(int id)
{
    std::lock_guard<std::mutex> guard(lock);
    int next = 0;
    int lowest = 0;
    for (const SimInstrument &instrument : instruments) {
        const int other = instrument.id();
        if (other == id)
            continue;
        if (other > id && (!next || other < next))
            next = other;
        if (!lowest || other < lowest)
            lowest = other;
    }
    return next ? next : lowest ? lowest : id;
}

uint16_t SimChain::crc16(const uint8_t *data, size_t size)
{
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = crc & 1 ? uint16_t((crc >> 1) ^ 0xA001) : uint16_t(crc >> 1);
    }
    return crc;
}

void SimChain::appendCrc(std::vector<uint8_t> &frame)
{
    const uint16_t crc = crc16(frame.data(), frame.size());
    frame.push_back(uint8_t(crc & 0xFF));
    frame.push_back(uint8_t(crc >> 8));
}

std::vector<uint8_t> SimChain::garbage()
{
    std::uniform_int_distribution<int> length(1, 16);
    std::uniform_int_distribution<int> byte(0, 255);
    std::vector<uint8_t> frame(size_t(length(random)));
    for (uint8_t &value : frame)
        value = uint8_t(byte(random));
    // Never a well-formed frame by chance.
    if (frame.size() >= 4 &&
        crc16(frame.data(), frame.size() - 2) == (frame[frame.size() - 2] | frame.back() << 8))
        frame.back() ^= 0xFF;
    return frame;
}
