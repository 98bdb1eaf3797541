#include "simoptions.h"

#include <cstdlib>
#include <cstring>

namespace {

bool parseNumber(const char *text, long low, long high, long &value)
{
    char *end = nullptr;
    value = std::strtol(text, &end, 10);
    return *text && end && *end == '\0' && value >= low && value <= high;
}

} // namespace

bool SimOptions::parse(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        const bool takesValue = option == "--link" || option == "--baud" ||
                                option == "--parity" || option == "--databits" ||
                                option == "--stopbits" || option == "--seed";
        if (takesValue && i + 1 >= argc) {
            error = option + " needs a value";
            return false;
        }
        long number = 0;
        if (option == "--link") {
            link = argv[++i];
        } else if (option == "--baud") {
            if (!parseNumber(argv[++i], 1, 4000000, number)) {
                error = "bad baud rate";
                return false;
            }
            baud = int(number);
        } else if (option == "--parity") {
            const std::string value = argv[++i];
            if (value != "N" && value != "E" && value != "O") {
                error = "parity must be N, E or O";
                return false;
            }
            parity = value[0];
        } else if (option == "--databits") {
            if (!parseNumber(argv[++i], 7, 8, number)) {
                error = "data bits must be 7 or 8";
                return false;
            }
            databits = int(number);
        } else if (option == "--stopbits") {
            if (!parseNumber(argv[++i], 1, 2, number)) {
                error = "stop bits must be 1 or 2";
                return false;
            }
            stopbits = int(number);
        } else if (option == "--seed") {
            if (!parseNumber(argv[++i], 0, 0x7FFFFFFF, number)) {
                error = "bad seed";
                return false;
            }
            seed = unsigned(number);
        } else if (option == "--wire-time") {
            wireTime = true;
        } else if (option.compare(0, 2, "--") == 0) {
            error = "unknown option " + option;
            return false;
        } else {
            instruments.push_back(option);
        }
    }
    if (link.empty()) {
        error = "--link is required";
        return false;
    }
    return true;
}

const char *SimOptions::usage()
{
    return "usage: hydrovane-sim --link PATH [--baud B] [--parity N|E|O] [--databits 7|8]\n"
           "                     [--stopbits 1|2] [--wire-time] [--seed N] INSTRUMENT...\n"
           "INSTRUMENT := ID:MODEL[:KEY=VALUE,KEY=VALUE...]\n"
           "MODEL := DI590 | RO592 | DO580 | RA550\n"
           "KEY := unit mode variant temp main temper r0on r0sp r0hy r1on r1sp r1hy\n"
           "       model=TEXT fault=silent|crc|exception|slow|garbage\n";
}

double SimOptions::characterTime() const
{
    const int bits = 1 + databits + (parity != 'N' ? 1 : 0) + stopbits;
    return double(bits) / baud;
}

double SimOptions::frameSilence() const
{
    return baud > 19200 ? 0.00175 : 3.5 * characterTime();
}
