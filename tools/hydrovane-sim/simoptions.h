#ifndef SIMOPTIONS_H
#define SIMOPTIONS_H

#include <string>
#include <vector>

// The simulator's command line: where the line appears, its character format, the Modbus TCP
// gateways in front of the chain and the instruments on it.
class SimOptions
{
public:
    // False when the command line cannot be used (`error` then says why) or asks for help.
    bool parse(int argc, char **argv);
    static const char *usage();

    // Seconds one character occupies on the line: start bit, data bits, parity, stop bits.
    double characterTime() const;
    // The silence that ends a frame: 3.5 characters, and 1.75 ms above 19200 baud.
    double frameSilence() const;

    // Where a gateway listens; port 0 takes a free one.
    struct Gateway
    {
        std::string address = "127.0.0.1";
        int port = 0;
    };
    // How every gateway of the process mistreats its requests.
    enum GatewayFault
    {
        GatewayNoFault,
        GatewaySilent,    // accepts and reads, never answers
        GatewayOtherUnit, // the request goes to the next instrument, which answers as itself
        GatewayClose,     // answers, then closes the connection
        GatewayDrop,      // closes the connection at each request, unanswered
        GatewayHuge       // every fifth answer, the first included, is 64 KB long
    };

    std::string error;
    bool help = false;
    std::string link;
    int baud = 9600;
    char parity = 'N';
    int databits = 8;
    int stopbits = 2;
    bool wireTime = false;
    unsigned seed = 1;
    std::vector<Gateway> gateways;
    GatewayFault gatewayFault = GatewayNoFault;
    std::vector<std::string> instruments;

private:
    bool parseGateway(const std::string &value);
    bool parseGatewayFault(const std::string &value);
};

#endif // SIMOPTIONS_H
