// hydrovane-sim: a chain of simulated analysers on a pseudo-terminal and behind Modbus TCP
// gateways, for tests, benchmarks and the demo.
#include "simchain.h"
#include "simgateway.h"
#include "siminstrument.h"
#include "simline.h"
#include "simoptions.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

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
    // SIGINT and SIGTERM are blocked before any gateway thread starts, so that only the main
    // thread takes them: in the line's loop, or waiting here without a line.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    SimLine line(options);
    std::string error;
    if (!options.link.empty() && !line.open(error)) {
        std::fprintf(stderr, "hydrovane-sim: %s\n", error.c_str());
        return 1;
    }
    if (options.link.empty())
        sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
    std::vector<std::unique_ptr<SimGateway>> gateways;
    for (const SimOptions::Gateway &where : options.gateways) {
        gateways.push_back(std::make_unique<SimGateway>(where, options.gatewayFault));
        if (!gateways.back()->open(error)) {
            std::fprintf(stderr, "hydrovane-sim: %s\n", error.c_str());
            return 1;
        }
    }
    // A simulator left behind by a test or script that died would hold its link forever.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    std::string ready = "ready";
    if (!options.link.empty())
        ready += " " + options.link;
    for (const auto &gateway : gateways)
        ready += " tcp:" + std::to_string(gateway->port());
    std::printf("%s\n", ready.c_str());
    std::fflush(stdout);

    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (const auto &gateway : gateways)
        threads.emplace_back(
            [&chain, &stop, gateway = gateway.get()] { gateway->run(chain, stop); });
    if (!options.link.empty()) {
        line.run(chain);
    } else {
        int signal = 0;
        sigwait(&stopSignals, &signal);
    }
    stop.store(true);
    for (std::thread &thread : threads)
        thread.join();
    return 0;
}
