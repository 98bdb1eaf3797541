#ifndef BROKERPROCESS_H
#define BROKERPROCESS_H

#include <string>

#include <sys/types.h>

// A real MQTT broker (Debian's mosquitto) on a free 127.0.0.1 port for tests and benchmarks.
// Its configuration, log and persistence live in the given folder. Without QtTest: the
// benchmarks build it too.
class BrokerProcess
{
public:
    struct Options
    {
        // Messages and sessions are saved at stop() and restored by the next start().
        bool persistence = false;
        // No anonymous login and no password file: every client is refused as not authorised.
        bool requireLogin = false;
    };

    explicit BrokerProcess(const std::string &folder);
    BrokerProcess(const std::string &folder, Options options);
    ~BrokerProcess();
    BrokerProcess(const BrokerProcess &) = delete;
    BrokerProcess &operator=(const BrokerProcess &) = delete;

    // The first start picks a free port, later ones reuse it. Returns once the port accepts
    // connections; false when the broker did not come up within timeoutMs.
    bool start(int timeoutMs = 5000);
    // SIGTERM (the broker saves its persistence) and waits; SIGKILL after timeoutMs.
    bool stop(int timeoutMs = 5000);
    // SIGKILL and wait: connections drop without any goodbye.
    void kill();
    bool isRunning();

    int port() const { return listenPort; }
    const std::string &folder() const { return dir; }
    // The broker's log, for a failing test's message.
    std::string log() const;

    // A 127.0.0.1 port nothing listens on at the moment of the call.
    static int freePort();
    // Whether something accepts TCP connections on 127.0.0.1:port.
    static bool accepts(int port);

private:
    bool writeConfig() const;
    bool waitExit(int timeoutMs);

    std::string dir;
    Options options;
    int listenPort = 0;
    pid_t pid = -1;
};

#endif // BROKERPROCESS_H
