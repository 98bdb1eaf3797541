#include "simgateway.h"

#include "simchain.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const size_t mbapBytes = 7;
const size_t hugeBytes = 64 * 1024;
const unsigned hugeEvery = 5;

double now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void sendAll(int fd, const std::vector<uint8_t> &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t size = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (size < 0 && errno == EINTR)
            continue;
        if (size <= 0)
            return;
        done += size_t(size);
    }
}

std::vector<uint8_t> mbapFrame(unsigned transaction, int unit, const uint8_t *pdu, size_t size)
{
    const uint8_t header[mbapBytes] = {uint8_t(transaction >> 8),
                                       uint8_t(transaction & 0xFF),
                                       0,
                                       0,
                                       uint8_t((size + 1) >> 8),
                                       uint8_t((size + 1) & 0xFF),
                                       uint8_t(unit)};
    std::vector<uint8_t> frame(header, header + mbapBytes);
    frame.resize(mbapBytes + size);
    std::copy(pdu, pdu + size, frame.begin() + long(mbapBytes));
    return frame;
}

} // namespace

SimGateway::SimGateway(const SimOptions::Gateway &where, SimOptions::GatewayFault fault)
    : where(where), fault(fault)
{
}

SimGateway::~SimGateway()
{
    for (const Connection &connection : connections)
        close(connection.fd);
    if (listener >= 0)
        close(listener);
}

bool SimGateway::open(std::string &error)
{
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(where.port));
    if (inet_pton(AF_INET, where.address.c_str(), &address.sin_addr) != 1) {
        error = "--tcp: " + where.address + " is not an IPv4 address";
        return false;
    }
    listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    // A gateway restarted on its port must not wait for the old connections to time out.
    if (listener < 0 || setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0 ||
        bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0 ||
        listen(listener, 16) != 0) {
        error = "cannot listen on " + where.address + ":" + std::to_string(where.port) + ": " +
                std::strerror(errno);
        return false;
    }
    socklen_t length = sizeof(address);
    getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length);
    boundPort = ntohs(address.sin_port);
    start = now();
    return true;
}

void SimGateway::run(SimChain &chain, const std::atomic<bool> &stop)
{
    while (!stop.load()) {
        std::vector<pollfd> entries{{listener, POLLIN, 0}};
        for (const Connection &connection : connections)
            entries.push_back({connection.fd, POLLIN, 0});
        // Wakes up now and then to see the stop.
        if (poll(entries.data(), entries.size(), 100) <= 0)
            continue;
        for (size_t i = connections.size(); i-- > 0;) {
            if (!entries[i + 1].revents)
                continue;
            Connection &connection = connections[i];
            uint8_t bytes[512];
            const ssize_t size = recv(connection.fd, bytes, sizeof(bytes), 0);
            bool keep = size > 0 || (size < 0 && errno == EINTR);
            if (size > 0) {
                connection.buffer.insert(connection.buffer.end(), bytes, bytes + size);
                keep = serve(chain, connection);
            }
            if (!keep) {
                close(connection.fd);
                connections.erase(connections.begin() + long(i));
            }
        }
        if (entries[0].revents & POLLIN) {
            const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                const int on = 1;
                setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
                connections.push_back({fd, {}});
            }
        }
    }
}

bool SimGateway::serve(SimChain &chain, Connection &connection)
{
    std::vector<uint8_t> &buffer = connection.buffer;
    while (buffer.size() >= mbapBytes) {
        const size_t length = size_t(buffer[4] << 8 | buffer[5]);
        // Not a request any gateway could frame: it gives up the connection.
        if (length < 2 || length > 254 || buffer[2] != 0 || buffer[3] != 0)
            return false;
        if (buffer.size() < 6 + length)
            return true;
        const std::vector<uint8_t> request(buffer.begin(), buffer.begin() + long(6 + length));
        buffer.erase(buffer.begin(), buffer.begin() + long(6 + length));
        if (!answer(chain, connection.fd, request))
            return false;
    }
    return true;
}

bool SimGateway::answer(SimChain &chain, int fd, const std::vector<uint8_t> &request)
{
    const double arrival = now();
    const unsigned long long number = requests++;
    if (fault == SimOptions::GatewaySilent)
        return true;
    if (fault == SimOptions::GatewayDrop)
        return false;
    const unsigned transaction = unsigned(request[0] << 8 | request[1]);
    const int unit = request[6];
    // The chain speaks RTU: the unit id becomes the address, a CRC is added.
    int target = unit;
    if (fault == SimOptions::GatewayOtherUnit)
        target = chain.neighbour(unit);
    std::vector<uint8_t> rtu = {uint8_t(target)};
    rtu.insert(rtu.end(), request.begin() + long(mbapBytes), request.end());
    SimChain::appendCrc(rtu);
    const SimChain::Answer reply = chain.answer(rtu, arrival - start);
    const std::vector<uint8_t> &frame = reply.frame;
    // What the serial side garbled never leaves a gateway: the master times out.
    const bool whole = frame.size() >= 4 && SimChain::crc16(frame.data(), frame.size() - 2) ==
                                                (frame[frame.size() - 2] | frame.back() << 8);
    if (whole) {
        int answerUnit = unit;
        if (fault == SimOptions::GatewayOtherUnit)
            answerUnit = target != unit ? target : unit % 247 + 1;
        std::vector<uint8_t> out =
            mbapFrame(transaction, answerUnit, frame.data() + 1, frame.size() - 3);
        if (fault == SimOptions::GatewayHuge && number % hugeEvery == 0)
            out = hugeAnswer(out);
        if (reply.delay > 0)
            std::this_thread::sleep_for(
                std::chrono::duration<double>(arrival + reply.delay - now()));
        sendAll(fd, out);
    }
    return fault != SimOptions::GatewayClose;
}

std::vector<uint8_t> SimGateway::hugeAnswer(const std::vector<uint8_t> &answer)
{
    std::vector<uint8_t> out = answer;
    out[4] = 0xFF;
    out[5] = 0xFF;
    const unsigned transaction = unsigned(answer[0] << 8 | answer[1]);
    // A read answer: function, byte count, words.
    std::vector<uint8_t> forged(answer.begin() + long(mbapBytes), answer.end());
    if (forged.size() >= 2 && forged[0] < 0x80) {
        for (size_t i = 2; i + 1 < forged.size(); i += 2) {
            forged[i] = 0x0B;
            forged[i + 1] = 0xAD;
        }
    }
    for (unsigned next = 1; out.size() + mbapBytes + forged.size() <= hugeBytes; ++next) {
        const std::vector<uint8_t> frame =
            mbapFrame((transaction + next) & 0xFFFF, answer[6], forged.data(), forged.size());
        out.insert(out.end(), frame.begin(), frame.end());
    }
    out.resize(hugeBytes, 0);
    return out;
}
