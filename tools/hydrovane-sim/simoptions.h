#ifndef SIMOPTIONS_H
#define SIMOPTIONS_H

#include <string>
#include <vector>

// The simulator's command line: where the line appears, its character format and the
// instruments on it.
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

    std::string error;
    bool help = false;
    std::string link;
    int baud = 9600;
    char parity = 'N';
    int databits = 8;
    int stopbits = 2;
    bool wireTime = false;
    unsigned seed = 1;
    std::vector<std::string> instruments;
};

#endif // SIMOPTIONS_H
