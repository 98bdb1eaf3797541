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
        WrongFunction,
        Burst // silent for some requests of every group; fault=flap is one in two
    };

    // How one request is treated.
    struct Treatment
    {
        Fault fault = NoFault;  // never Burst
        bool otherName = false; // the name registers answer another model's name
        bool badCrc = false;    // the answer's CRC is spoilt
    };

    // Builds the instrument from "ID:MODEL[:KEY=VALUE,...]"; false with `error` set when
    // the text cannot be used.
    bool parse(const std::string &description, unsigned seed, std::string &error);

    int id() const { return slave; }
    // How the next request to this id, arriving `seconds` after the start, is treated. Each
    // call is one request: the burst and cycle patterns and the CRC draws advance by the
    // requests that arrive while faultfrom/faultfor let the faults act.
    Treatment treat(double seconds);

    // Reads `count` registers of function 0x03 (holding) or 0x04 (input) at `seconds` since
    // start, the name registers answering the other model's name when asked. Returns 0, or the
    // Modbus exception code when the request is outside the map.
    int read(int function, int address, int count, double seconds, std::vector<uint16_t> &words,
             bool otherName = false);

private:
    // A factor's band of values in its own units, and what one unit is in register steps.
    struct Band
    {
        double low;
        double high;
        double scale;
    };

    bool setKey(const std::string &key, const std::string &value, std::string &error);
    bool setCycle(const std::string &value, std::string &error);
    static const char *faultName(Fault fault);
    // What the keys leave unsaid or contradictory, once all are read.
    bool settle(std::string &error);
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
    std::optional<std::string> givenName; // model=
    std::string otherModelName;           // what cycle's "model" answers
    Fault mistreatment = NoFault;
    bool faultGiven = false;
    bool flap = false;
    std::optional<int> burstSilent;
    std::optional<int> burstEvery;
    std::vector<Treatment> cycle;
    double crcRate = 0;
    double faultFrom = 0;
    double faultFor = -1;                  // for ever
    unsigned long long windowRequests = 0; // requests to this id inside the fault window
    std::mt19937 faultRandom;              // CRC draws, apart from the waveforms' noise
    uint16_t holding[holdingCount] = {};
    bool relayGiven[6] = {};
    std::optional<uint16_t> fixedMain;
    std::optional<uint16_t> fixedTemper;
    std::mt19937 random;
    double mainPhase = 0;
    double temperPhase = 0;
};

#endif // SIMINSTRUMENT_H
