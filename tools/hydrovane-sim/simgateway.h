#ifndef SIMGATEWAY_H
#define SIMGATEWAY_H

#include "simoptions.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

class SimChain;

// A Modbus TCP gateway in front of the chain: each request's unit id addresses the
// instrument of that id, as a serial gateway on the plant network would. Serves any number
// of connections, one request at a time, and mistreats them as the gateway fault says.
class SimGateway
{
public:
    SimGateway(const SimOptions::Gateway &where, SimOptions::GatewayFault fault);
    ~SimGateway();
    SimGateway(const SimGateway &) = delete;
    SimGateway &operator=(const SimGateway &) = delete;

    // Listens on the address and port; port 0 takes a free one.
    bool open(std::string &error);
    // The port it listens on, once open.
    int port() const { return boundPort; }
    // Serves until `stop` is set; meant for a thread of its own.
    void run(SimChain &chain, const std::atomic<bool> &stop);

    // The 64 KB answer of the huge fault: `answer`'s frame announced as 65535 bytes long,
    // followed by well-formed answers to the transactions after it carrying the value 0x0BAD,
    // which a master that failed to resynchronise would take for its next answers.
    static std::vector<uint8_t> hugeAnswer(const std::vector<uint8_t> &answer);

private:
    struct Connection
    {
        int fd;
        std::vector<uint8_t> buffer;
    };

    // Serves the complete requests in the connection's buffer; false when it is to be closed.
    bool serve(SimChain &chain, Connection &connection);
    // One request frame; false when the connection is to be closed.
    bool answer(SimChain &chain, int fd, const std::vector<uint8_t> &request);

    SimOptions::Gateway where;
    SimOptions::GatewayFault fault;
    int listener = -1;
    int boundPort = 0;
    std::vector<Connection> connections;
    unsigned long long requests = 0;
    double start = 0;
};

#endif // SIMGATEWAY_H
