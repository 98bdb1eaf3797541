#include "siminstrument.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <sstream>

namespace {

const double pi = 3.14159265358979323846;

// Offsets of the configuration and relay words from 0x3006.
enum Holding
{
    Word3006 = 0,
    Word3007 = 1,
    Word3008 = 2,
    Relay0 = 5,
    Relay1 = 8
};

bool parseWord(const std::string &text, uint16_t &word)
{
    char *end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 0);
    if (text.empty() || *end != '\0' || value < -32768 || value > 65535)
        return false;
    word = uint16_t(value & 0xFFFF);
    return true;
}

} // namespace

bool SimInstrument::parse(const std::string &description, unsigned seed, std::string &error)
{
    error = "bad instrument '" + description + "': ";
    const auto firstColon = description.find(':');
    if (firstColon == std::string::npos) {
        error += "expected ID:MODEL";
        return false;
    }
    char *end = nullptr;
    const std::string idText = description.substr(0, firstColon);
    const long id = std::strtol(idText.c_str(), &end, 10);
    if (idText.empty() || *end != '\0' || id < 1 || id > 247) {
        error += "the id must be 1 to 247";
        return false;
    }
    slave = int(id);
    const auto secondColon = description.find(':', firstColon + 1);
    model = description.substr(firstColon + 1, secondColon == std::string::npos
                                                   ? std::string::npos
                                                   : secondColon - firstColon - 1);
    if (model != "DI590" && model != "RO592" && model != "DO580" && model != "RA550") {
        error += "unknown model " + model;
        return false;
    }
    // Temperature fitted; DO580 keeps that flag in 0x3007.
    holding[model == "DO580" ? Word3007 : Word3008] = 2;

    if (secondColon != std::string::npos) {
        std::istringstream keys(description.substr(secondColon + 1));
        std::string pair;
        while (std::getline(keys, pair, ',')) {
            const auto equals = pair.find('=');
            if (equals == std::string::npos) {
                error += "expected KEY=VALUE in '" + pair + "'";
                return false;
            }
            if (!setKey(pair.substr(0, equals), pair.substr(equals + 1), error))
                return false;
        }
    }
    if (!settle(error))
        return false;

    // Relays that were not given act around the edges of the main factor's band.
    const Band band = mainBand();
    const uint16_t defaults[6] = {
        1, word(band.high, band), word((band.high - band.low) / 20, band),
        1, word(band.low, band),  word((band.high - band.low) / 20, band)};
    for (int i = 0; i < 6; ++i) {
        if (!relayGiven[i])
            holding[Relay0 + i] = defaults[i];
    }

    random.seed(seed * 1000003u + unsigned(slave));
    std::uniform_real_distribution<double> angle(0, 2 * pi);
    mainPhase = angle(random);
    temperPhase = angle(random);
    faultRandom.seed(seed * 1000003u + unsigned(slave) + 0x9E3779B9u);
    error.clear();
    return true;
}

bool SimInstrument::setKey(const std::string &key, const std::string &value, std::string &error)
{
    if (key == "model") {
        givenName = value;
        return true;
    }
    if (key == "fault") {
        faultGiven = true;
        flap = value == "flap";
        if (flap) {
            mistreatment = Burst;
            return true;
        }
        for (int i = Silent; i <= Burst; ++i) {
            if (value == faultName(Fault(i))) {
                mistreatment = Fault(i);
                return true;
            }
        }
        error += "unknown fault " + value;
        return false;
    }
    if (key == "cycle")
        return setCycle(value, error);
    if (key == "faultfrom" || key == "faultfor" || key == "crcrate") {
        char *end = nullptr;
        const double number = std::strtod(value.c_str(), &end);
        if (value.empty() || *end || !(number >= 0) || (key == "crcrate" && number > 1)) {
            error += "bad value for " + key;
            return false;
        }
        (key == "faultfrom" ? faultFrom : key == "faultfor" ? faultFor : crcRate) = number;
        return true;
    }
    if (key == "burstsilent" || key == "burstevery") {
        char *end = nullptr;
        const long number = std::strtol(value.c_str(), &end, 10);
        if (value.empty() || *end || number < 1 || number > 1000000) {
            error += "bad value for " + key;
            return false;
        }
        (key == "burstsilent" ? burstSilent : burstEvery) = int(number);
        return true;
    }
    uint16_t number = 0;
    if (!parseWord(value, number)) {
        error += "bad value for " + key;
        return false;
    }
    const char *const relayKeys[] = {"r0on", "r0sp", "r0hy", "r1on", "r1sp", "r1hy"};
    for (int i = 0; i < 6; ++i) {
        if (key == relayKeys[i]) {
            holding[Relay0 + i] = number;
            relayGiven[i] = true;
            return true;
        }
    }
    if (key == "unit" || key == "mode")
        holding[Word3006] = number;
    else if (key == "variant")
        holding[Word3007] = number;
    else if (key == "temp")
        holding[model == "DO580" ? Word3007 : Word3008] = number;
    else if (key == "main")
        fixedMain = number;
    else if (key == "temper")
        fixedTemper = number;
    else {
        error += "unknown key " + key;
        return false;
    }
    return true;
}

bool SimInstrument::setCycle(const std::string &value, std::string &error)
{
    cycle.clear();
    std::istringstream items(value);
    std::string item;
    while (std::getline(items, item, '/')) {
        Treatment step;
        if (item.empty()) {
            error += "empty step in cycle '" + value + "'";
            return false;
        }
        if (item == "model") {
            step.otherName = true;
        } else if (item != "ok") {
            for (int i = Silent; i < Burst; ++i) {
                if (item == faultName(Fault(i)))
                    step.fault = Fault(i);
            }
            if (step.fault == NoFault) {
                error += "unknown cycle step '" + item + "'";
                return false;
            }
        }
        cycle.push_back(step);
    }
    // getline drops an empty last item: "ok/" would be a cycle of one.
    if (cycle.empty() || value.back() == '/') {
        error += "empty step in cycle '" + value + "'";
        return false;
    }
    return true;
}

bool SimInstrument::settle(std::string &error)
{
    if (faultGiven && !cycle.empty()) {
        error += "fault and cycle both say how each request is treated";
        return false;
    }
    if ((burstSilent || burstEvery) && (mistreatment != Burst || flap)) {
        error += "burstsilent and burstevery need fault=burst";
        return false;
    }
    if (mistreatment == Burst) {
        if (flap) {
            burstSilent = 1;
            burstEvery = 2;
        }
        burstSilent = burstSilent.value_or(3);
        burstEvery = burstEvery.value_or(std::max(10, *burstSilent));
        if (*burstSilent > *burstEvery) {
            error += "burstsilent is more than burstevery";
            return false;
        }
    }
    bool otherNameAsked = false;
    for (const Treatment &step : cycle)
        otherNameAsked = otherNameAsked || step.otherName;
    if (otherNameAsked) {
        // model= names what the "model" steps answer; the others answer the true name.
        const char *const models[] = {"DI590", "RO592", "DO580", "RA550"};
        int next = 0;
        while (models[next] != model)
            ++next;
        otherModelName = givenName.value_or(models[(next + 1) % 4]);
        answeredName = model;
    } else {
        answeredName = givenName.value_or(model);
    }
    return true;
}

const char *SimInstrument::faultName(Fault fault)
{
    const char *const names[] = {"",        "silent", "crc",      "exception", "slow",
                                 "garbage", "length", "function", "burst"};
    return names[fault];
}

SimInstrument::Treatment SimInstrument::treat(double seconds)
{
    if (seconds < faultFrom || (faultFor >= 0 && seconds >= faultFrom + faultFor))
        return Treatment();
    const unsigned long long request = windowRequests++;
    Treatment treatment;
    if (!cycle.empty()) {
        treatment = cycle[request % cycle.size()];
    } else if (mistreatment == Burst) {
        // Answered first, then silent for the last burstsilent of each group.
        const bool silent = int(request % unsigned(*burstEvery)) >= *burstEvery - *burstSilent;
        treatment.fault = silent ? Silent : NoFault;
    } else {
        treatment.fault = mistreatment;
    }
    if (crcRate > 0) {
        // Drawn for every request, answered or not, so that the n-th request's fate
        // depends on the seed alone.
        std::uniform_real_distribution<double> draw(0, 1);
        treatment.badCrc = draw(faultRandom) < crcRate;
    }
    return treatment;
}

int SimInstrument::read(int function, int address, int count, double seconds,
                        std::vector<uint16_t> &words, bool otherName)
{
    if (count < 1 || count > 125)
        return 3; // illegal data value
    const bool input = function == 4;
    const int first = input ? firstInput : firstHolding;
    const int size = input ? inputCount : holdingCount;
    if (address < first || address + count > first + size)
        return 2; // illegal data address

    words.clear();
    for (int i = address - first; i < address - first + count; ++i) {
        if (!input) {
            words.push_back(holding[i]);
        } else if (i < 3) {
            const std::string name =
                (otherName ? otherModelName : answeredName) + std::string(6, ' ');
            words.push_back(
                uint16_t(uint8_t(name[2 * size_t(i)]) << 8 | uint8_t(name[2 * size_t(i) + 1])));
        } else if (i == 3) {
            words.push_back(fixedMain ? *fixedMain : wave(mainBand(), 300, mainPhase, seconds));
        } else {
            words.push_back(fixedTemper ? *fixedTemper
                                        : wave(Band{18, 28, 10}, 900, temperPhase, seconds));
        }
    }
    return 0;
}

SimInstrument::Band SimInstrument::mainBand() const
{
    // The middle of the factor's range, in the register steps the station divides by.
    const auto middle = [](double maximum, double scale) {
        return Band{0.3 * maximum, 0.7 * maximum, scale};
    };
    const uint16_t mode = holding[Word3006];
    if (model == "DI590" || model == "RO592")
        return middle(20, mode == 2 ? 10 : 100);
    if (model == "DO580")
        return mode == 0 ? Band{5.6, 9.8, 100} : Band{-800, 800, 1};
    const uint16_t variant = holding[Word3007];
    if (mode == 0 && variant == 1)
        return middle(2, 1000);
    if (mode == 0 && variant == 3)
        return middle(100, 10);
    return middle(20, 100);
}

uint16_t SimInstrument::wave(const Band &band, double period, double phase, double seconds)
{
    std::uniform_real_distribution<double> noise(-0.03, 0.03);
    const double share = 0.5 + 0.4 * std::sin(2 * pi * seconds / period + phase) + noise(random);
    return word(band.low + (band.high - band.low) * share, band);
}

uint16_t SimInstrument::word(double value, const Band &band) const
{
    return uint16_t(int16_t(std::lround(value * band.scale)));
}
