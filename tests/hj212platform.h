#ifndef HJ212PLATFORM_H
#define HJ212PLATFORM_H

#include "hj212/hj212packet.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// The platform's side of HJ 212 on a 127.0.0.1 port, for tests and benchmarks: takes one
// station connection at a time (a new one replaces the old), keeps every packet it receives
// and answers the data messages that ask for it with a 9014 echoing their QN, or mistreats
// them as told. It sends requests of its own to the station on demand. Without QtTest: the
// benchmarks build it too.
class Hj212Platform
{
public:
    enum Mode
    {
        Answer,   // 9014 with the QN
        Silent,   // never answers
        OtherQn,  // 9014 with a QN one millisecond later
        WrongCrc, // 9014 with a CRC that does not match
    };
    struct Received
    {
        std::string segment;
        Hj212Packet::Fields fields;
        int64_t atMs = 0;   // steady clock
        int connection = 0; // 1 for the first connection accepted, and so on
    };

    Hj212Platform();
    ~Hj212Platform();
    Hj212Platform(const Hj212Platform &) = delete;
    Hj212Platform &operator=(const Hj212Platform &) = delete;

    // Listens on port (0: a free one at the first start, the same one later); true once it
    // accepts connections.
    bool start(int port = 0);
    // Closes the connection and the port: the platform is down.
    void stop();
    int port() const { return listenPort; }

    void setMode(Mode mode) { this->mode = mode; }
    // Closes each connection this long after it was accepted; 0 never.
    void setCloseAfterMs(int ms) { closeAfterMs = ms; }
    // Delays each answer this long (a slow network); 0 answers at once.
    void setAnswerDelayMs(int ms) { answerDelayMs = ms; }

    // Frames the segment and sends it to the station connected now; false when none is.
    bool send(const std::string &segment);
    bool sendRaw(const std::string &bytes);
    // A request of the platform: QN, ST 32, the CN, PW and MN given, Flag 5, and CP.
    static std::string request(const std::string &qn, const std::string &cn, const std::string &pw,
                               const std::string &mn, const std::string &cp);

    bool isConnected() const;
    int connections() const { return accepted.load(); }
    std::vector<Received> received() const;
    // Of the packets received, those with this CN (and this QN when given).
    std::vector<Received> received(const std::string &cn, const std::string &qn = "") const;
    void clear();

private:
    void run();
    void closeClient();
    void answer(const Hj212Packet::Fields &fields);

    std::atomic<Mode> mode{Answer};
    std::atomic<int> closeAfterMs{0};
    std::atomic<int> answerDelayMs{0};
    std::atomic<int> accepted{0};
    int listenPort = 0;
    int listenFd = -1;
    int wakeFd = -1;
    std::thread thread;
    std::atomic<bool> stopping{false};

    mutable std::mutex clientMutex; // the client socket and the sends on it
    int clientFd = -1;
    int64_t clientSince = 0;

    mutable std::mutex receivedMutex;
    std::vector<Received> list;
};

#endif // HJ212PLATFORM_H
