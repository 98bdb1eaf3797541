#ifndef SIMLINE_H
#define SIMLINE_H

#include "simoptions.h"

#include <csignal>
#include <cstdint>
#include <string>
#include <vector>

class SimChain;

// The simulated serial line: a pseudo-terminal reached through a symbolic link. It frames
// the requests the station writes, hands them to the chain and writes the answers back,
// after the wire time when asked to.
class SimLine
{
public:
    explicit SimLine(const SimOptions &options);
    ~SimLine();
    SimLine(const SimLine &) = delete;
    SimLine &operator=(const SimLine &) = delete;

    // Creates the pseudo-terminal and points the link at it.
    bool open(std::string &error);
    // Serves requests until SIGINT or SIGTERM.
    void run(SimChain &chain);

private:
    void serve(SimChain &chain, const std::vector<uint8_t> &request, double arrival);
    void write(const std::vector<uint8_t> &frame);
    static double now();
    static void sleepUntil(double seconds);

    const SimOptions &options;
    int master = -1;
    int slave = -1; // kept open so that the station closing its side never hangs us up
    std::string slaveName;
    double start = 0;
    sigset_t waiting; // the signal mask inside ppoll
};

#endif // SIMLINE_H
