#include "brokerprocess.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

const char *const brokerPath = "/usr/sbin/mosquitto";

using Clock = std::chrono::steady_clock;

sockaddr_in loopback(int port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

} // namespace

BrokerProcess::BrokerProcess(const std::string &folder) : BrokerProcess(folder, Options()) {}

BrokerProcess::BrokerProcess(const std::string &folder, Options options)
    : dir(folder), options(options)
{
    ::mkdir(dir.c_str(), 0770);
}

BrokerProcess::~BrokerProcess()
{
    kill();
}

int BrokerProcess::freePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return 0;
    sockaddr_in address = loopback(0);
    socklen_t size = sizeof(address);
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size) == 0)
        port = ntohs(address.sin_port);
    ::close(fd);
    return port;
}

bool BrokerProcess::accepts(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const sockaddr_in address = loopback(port);
    const bool connected =
        ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) == 0;
    ::close(fd);
    return connected;
}

bool BrokerProcess::writeConfig() const
{
    std::ofstream config(dir + "/mosquitto.conf", std::ios::trunc);
    config << "listener " << listenPort << " 127.0.0.1\n"
           << "allow_anonymous " << (options.requireLogin ? "false" : "true") << "\n"
           << "max_queued_messages 0\n"
           << "set_tcp_nodelay true\n"
           << "log_dest file " << dir << "/mosquitto.log\n"
           << "log_type error\nlog_type warning\nlog_type notice\nlog_type information\n";
    // Run as root, the broker would switch to its own user and lose our folder.
    if (::geteuid() == 0)
        config << "user root\n";
    if (options.persistence)
        config << "persistence true\n"
               << "persistence_location " << dir << "/\n"
               << "autosave_interval 0\n";
    return bool(config.flush());
}

bool BrokerProcess::start(int timeoutMs)
{
    if (isRunning())
        return true;
    if (listenPort == 0)
        listenPort = freePort();
    if (listenPort == 0 || !writeConfig())
        return false;
    const std::string configPath = dir + "/mosquitto.conf";
    char *const argv[] = {const_cast<char *>(brokerPath), const_cast<char *>("-c"),
                          const_cast<char *>(configPath.c_str()), nullptr};
    pid = ::fork();
    if (pid == 0) {
        // The broker goes with the test that started it, also when that one crashes, and
        // holds none of its output pipes.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        const int null = ::open("/dev/null", O_RDWR);
        if (null >= 0) {
            ::dup2(null, STDIN_FILENO);
            ::dup2(null, STDOUT_FILENO);
            ::dup2(null, STDERR_FILENO);
        }
        ::execve(brokerPath, argv, environ);
        ::_exit(127);
    }
    if (pid < 0)
        return false;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < deadline) {
        if (!isRunning())
            return false;
        if (accepts(listenPort))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill();
    return false;
}

bool BrokerProcess::waitExit(int timeoutMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (pid > 0) {
        int status = 0;
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid || (done < 0 && errno != EINTR)) {
            pid = -1;
            return true;
        }
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

bool BrokerProcess::stop(int timeoutMs)
{
    if (pid <= 0)
        return true;
    ::kill(pid, SIGTERM);
    if (waitExit(timeoutMs))
        return true;
    kill();
    return false;
}

void BrokerProcess::kill()
{
    if (pid <= 0)
        return;
    ::kill(pid, SIGKILL);
    waitExit(5000);
}

bool BrokerProcess::isRunning()
{
    if (pid <= 0)
        return false;
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) {
        pid = -1;
        return false;
    }
    return true;
}

std::string BrokerProcess::log() const
{
    std::ifstream file(dir + "/mosquitto.log");
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}
