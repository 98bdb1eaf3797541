// hydrovane-sim: a chain of simulated analysers on a pseudo-terminal, for tests,
// benchmarks and the demo.
#include "simchain.h"
#include "siminstrument.h"
#include "simline.h"
#include "simoptions.h"

#include <csignal>
#include <cstdio>

#include <sys/prctl.h>

int main(int argc, char **argv)
{
    SimOptions options;
    if (!options.parse(argc, argv)) {
        if (options.help) {
            std::fputs(SimOptions::usage(), stdout);
            return 0;
        }
        std::fprintf(stderr, "hydrovane-sim: %s\n%s", options.error.c_str(), SimOptions::usage());
        return 2;
    }
    SimChain chain(options.seed);
    for (const std::string &description : options.instruments) {
        SimInstrument instrument;
        std::string error;
        if (!instrument.parse(description, options.seed, error)) {
            std::fprintf(stderr, "hydrovane-sim: %s\n", error.c_str());
            return 2;
        }
        if (!chain.add(instrument)) {
            std::fprintf(stderr, "hydrovane-sim: id %d is given twice\n", instrument.id());
            return 2;
        }
    }
    SimLine line(options);
    std::string error;
    if (!line.open(error)) {
        std::fprintf(stderr, "hydrovane-sim: %s\n", error.c_str());
        return 1;
    }
    // A simulator left behind by a test or script that died would hold its link forever.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    std::printf("ready %s\n", options.link.c_str());
    std::fflush(stdout);
    line.run(chain);
    return 0;
}
