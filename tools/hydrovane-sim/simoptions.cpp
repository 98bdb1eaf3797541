#include "simoptions.h"

#include <algorithm>
#include <cstdlib>
#include <iterator>

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
    struct Number
    {
        const char *option;
        long low;
        long high;
        int *value;
    };
    int seedValue = int(seed);
    const Number numbers[] = {{"--baud", 1, 4000000, &baud},
                              {"--databits", 7, 8, &databits},
                              {"--stopbits", 1, 2, &stopbits},
                              {"--seed", 0, 0x7FFFFFFF, &seedValue}};
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        const bool takesValue = option == "--link" || option == "--parity" || option == "--tcp" ||
                                option == "--tcp-fault" ||
                                std::any_of(std::begin(numbers), std::end(numbers),
                                            [&](const Number &n) { return option == n.option; });
        if (takesValue && i + 1 >= argc) {
            error = option + " needs a value";
            return false;
        }
        if (option == "--link") {
            link = argv[++i];
        } else if (option == "--parity") {
            const std::string value = argv[++i];
            if (value != "N" && value != "E" && value != "O") {
                error = "--parity must be N, E or O";
                return false;
            }
            parity = value[0];
        } else if (option == "--tcp") {
            if (!parseGateway(argv[++i]))
                return false;
        } else if (option == "--tcp-fault") {
            if (!parseGatewayFault(argv[++i]))
                return false;
        } else if (option == "--help") {
            help = true;
            return false;
        } else if (option == "--wire-time") {
            wireTime = true;
        } else if (takesValue) {
            const Number &number =
                *std::find_if(std::begin(numbers), std::end(numbers),
                              [&](const Number &n) { return option == n.option; });
            long value = 0;
            if (!parseNumber(argv[++i], number.low, number.high, value)) {
                error = option + " must be " + std::to_string(number.low) + " to " +
                        std::to_string(number.high);
                return false;
            }
            *number.value = int(value);
        } else if (option.compare(0, 2, "--") == 0) {
            error = "unknown option " + option;
            return false;
        } else {
            instruments.push_back(option);
        }
    }
    seed = unsigned(seedValue);
    if (link.empty() && gateways.empty()) {
        error = "--link or --tcp is required";
        return false;
    }
    if (gatewayFault != GatewayNoFault && gateways.empty()) {
        error = "--tcp-fault needs --tcp";
        return false;
    }
    return true;
}

bool SimOptions::parseGateway(const std::string &value)
{
    Gateway gateway;
    std::string port = value;
    const size_t colon = value.rfind(':');
    if (colon != std::string::npos) {
        gateway.address = value.substr(0, colon);
        port = value.substr(colon + 1);
    }
    long number = 0;
    if (gateway.address.empty() || !parseNumber(port.c_str(), 0, 65535, number)) {
        error = "--tcp must be [ADDRESS:]PORT with PORT 0 to 65535";
        return false;
    }
    gateway.port = int(number);
    gateways.push_back(gateway);
    return true;
}

bool SimOptions::parseGatewayFault(const std::string &value)
{
    static const struct
    {
        const char *name;
        GatewayFault fault;
    } faults[] = {{"none", GatewayNoFault},        {"silent", GatewaySilent},
                  {"otherunit", GatewayOtherUnit}, {"close", GatewayClose},
                  {"drop", GatewayDrop},           {"huge", GatewayHuge}};
    for (const auto &entry : faults) {
        if (value == entry.name) {
            gatewayFault = entry.fault;
            return true;
        }
    }
    error = "--tcp-fault must be none, silent, otherunit, close, drop or huge";
    return false;
}

const char *SimOptions::usage()
{
    return "usage: hydrovane-sim [--link PATH] [--tcp [ADDRESS:]PORT]... [--tcp-fault FAULT]\n"
           "                     [--baud B] [--parity N|E|O] [--databits 7|8] [--stopbits 1|2]\n"
           "                     [--wire-time] [--seed N] INSTRUMENT...\n"
           "  --link PATH  the chain on a pseudo-terminal linked at PATH (Modbus RTU)\n"
           "  --tcp [ADDRESS:]PORT   the chain behind a Modbus TCP gateway, unit id = the\n"
           "               instrument's id; ADDRESS defaults to 127.0.0.1, PORT 0 takes a free\n"
           "               port; may be repeated. At least one of --link and --tcp.\n"
           "               Prints \"ready [PATH] [tcp:PORT]...\" once it answers.\n"
           "  --tcp-fault silent|otherunit|close|drop|huge   every gateway: never answers;\n"
           "               the next id answers as itself; answers, then closes; closes\n"
           "               unanswered; every fifth answer (the first included) 64 KB long\n"
           "INSTRUMENT := ID:MODEL[:KEY=VALUE,KEY=VALUE...]   MODEL := DI590|RO592|DO580|RA550\n"
           "  unit, mode   word 0x3006 (DO unit code; DO580 pH/ORP; RA550 chlorine/ozone)\n"
           "  variant      word 0x3007 (RA550 sensor variant)\n"
           "  temp         temperature flag (0x3008; DO580 0x3007), default 2 = fitted\n"
           "  main, temper fixed measurement words; otherwise a slow noisy wave\n"
           "  r0on r0sp r0hy r1on r1sp r1hy   relay words 0x300B..0x3010\n"
           "  model=TEXT   answer another model name (with cycle: what model steps answer)\n"
           "  fault=silent|crc|exception|slow|garbage|length|function|flap|burst\n"
           "               length: one word short; function: the other read function\n"
           "               flap: answers one request, ignores the next, and so on\n"
           "               burst: of every burstevery=M requests (default 10) answers the\n"
           "               first, ignores the last burstsilent=N (default 3)\n"
           "  cycle=STEP/STEP...   one step a request, over and over, instead of fault;\n"
           "               STEP: ok, model, or a fault above but flap and burst\n"
           "               model: the name registers answer model=TEXT or the next model\n"
           "  crcrate=P    each answer's CRC spoilt with probability P (0 to 1; --seed)\n"
           "  faultfrom=S, faultfor=S   faults only from S seconds after start, for S s;\n"
           "               flap, burst and cycle count the requests to the id from then on\n"
           "Values are decimal or 0x hexadecimal, -32768 to 65535.\n";
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
