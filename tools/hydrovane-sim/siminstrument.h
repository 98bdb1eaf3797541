#ifndef SIMINSTRUMENT_H
#define SIMINSTRUMENT_H

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

// One simulated analyser: its register map, its configuration words and the measurements
// it reports, which drift on a slow noisy wave inside the factor's range unless fixed.
class SimInstrument
{
public:
    enum Fault
    {
        NoFault,
        Silent,
        BadCrc,
        ExceptionAnswer,
        Slow,
        Garbage,
        WrongLength,
        WrongFunction
    };

    // Builds the instrument from "ID:MODEL[:KEY=VALUE,...]"; false with `error` set when
    // the text cannot be used.
    bool parse(const std::string &description, unsigned seed, std::string &error);

    int id() const { return slave; }
    // The fault mode in force `seconds` after the start (faultfrom/faultfor bound it in time).
    Fault fault(double seconds) const;

    // Reads `count` registers of function 0x03 (holding) or 0x04 (input) at `seconds` since
    // start. Returns 0, or the Modbus exception code when the request is outside the map.
    int read(int function, int address, int count, double seconds, std::vector<uint16_t> &words);

private:
    // A factor's band of values in its own units, and what one unit is in register steps.
    struct Band
    {
        double low;
        double high;
        double scale;
    };

    bool setKey(const std::string &key, const std::string &value, std::string &error);
    Band mainBand() const;
    uint16_t wave(const Band &band, double period, double phase, double seconds);
    uint16_t word(double value, const Band &band) const;

    static const int firstHolding = 0x3006;
    static const int holdingCount = 11; // 0x3006 .. 0x3010
    static const int firstInput = 0x4001;
    static const int inputCount = 5; // 0x4001 .. 0x4005

    int slave = 0;
    std::string model;
    std::string answeredName;
    Fault mistreatment = NoFault;
    double faultFrom = 0;
    double faultFor = -1; // for ever
    uint16_t holding[holdingCount] = {};
    bool relayGiven[6] = {};
    std::optional<uint16_t> fixedMain;
    std::optional<uint16_t> fixedTemper;
    std::mt19937 random;
    double mainPhase = 0;
    double temperPhase = 0;
};

#endif // SIMINSTRUMENT_H
