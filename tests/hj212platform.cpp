#include "hj212platform.h"

#include "hj212/hj212stream.h"

#include <chrono>
#include <cstring>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int64_t steadyMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

bool sendAll(int fd, const std::string &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t sent = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (sent <= 0)
            return false;
        done += size_t(sent);
    }
    return true;
}

} // namespace

Hj212Platform::Hj212Platform()
{
    wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

Hj212Platform::~Hj212Platform()
{
    stop();
    if (wakeFd >= 0)
        ::close(wakeFd);
}

bool Hj212Platform::start(int port)
{
    stop();
    if (port == 0)
        port = listenPort;
    listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd < 0)
        return false;
    const int on = 1;
    ::setsockopt(listenFd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(uint16_t(port));
    if (::bind(listenFd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0 ||
        ::listen(listenFd, 4) != 0) {
        ::close(listenFd);
        listenFd = -1;
        return false;
    }
    socklen_t length = sizeof(address);
    ::getsockname(listenFd, reinterpret_cast<sockaddr *>(&address), &length);
    listenPort = ntohs(address.sin_port);
    stopping = false;
    thread = std::thread(&Hj212Platform::run, this);
    return true;
}

void Hj212Platform::stop()
{
    stopping = true;
    const uint64_t one = 1;
    if (::write(wakeFd, &one, sizeof(one)) < 0) {
    }
    if (thread.joinable())
        thread.join();
    closeClient();
    if (listenFd >= 0)
        ::close(listenFd);
    listenFd = -1;
}

void Hj212Platform::closeClient()
{
    std::lock_guard<std::mutex> locker(clientMutex);
    if (clientFd >= 0)
        ::close(clientFd);
    clientFd = -1;
}

bool Hj212Platform::isConnected() const
{
    std::lock_guard<std::mutex> locker(clientMutex);
    return clientFd >= 0;
}

bool Hj212Platform::sendRaw(const std::string &bytes)
{
    std::lock_guard<std::mutex> locker(clientMutex);
    return clientFd >= 0 && sendAll(clientFd, bytes);
}

bool Hj212Platform::send(const std::string &segment)
{
    return sendRaw(Hj212Packet::frame(segment));
}

std::string Hj212Platform::request(const std::string &qn, const std::string &cn,
                                   const std::string &pw, const std::string &mn,
                                   const std::string &cp)
{
    return "QN=" + qn + ";ST=32;CN=" + cn + ";PW=" + pw + ";MN=" + mn + ";Flag=5;CP=&&" + cp + "&&";
}

void Hj212Platform::answer(const Hj212Packet::Fields &fields)
{
    const std::string flag = fields.value("Flag");
    if (flag.empty() || (std::atoi(flag.c_str()) & Hj212Packet::answerBit) == 0)
        return;
    const Mode now = mode.load();
    if (now == Silent)
        return;
    std::string qn = fields.value("QN");
    if (now == OtherQn && !qn.empty())
        qn.back() = qn.back() == '9' ? '0' : char(qn.back() + 1);
    const std::string segment = "QN=" + qn + ";ST=91;CN=9014;PW=" + fields.value("PW") +
                                ";MN=" + fields.value("MN") + ";Flag=4;CP=&&&&";
    std::string packet = Hj212Packet::frame(segment);
    if (now == WrongCrc)
        packet[packet.size() - 3] = packet[packet.size() - 3] == '0' ? '1' : '0';
    if (answerDelayMs.load() > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(answerDelayMs.load()));
    sendRaw(packet);
}

void Hj212Platform::run()
{
    Hj212Stream stream;
    std::vector<char> buffer(64 * 1024);
    std::vector<std::string> segments;
    while (!stopping) {
        int client = -1;
        {
            std::lock_guard<std::mutex> locker(clientMutex);
            client = clientFd;
        }
        if (client >= 0 && closeAfterMs.load() > 0 &&
            steadyMs() - clientSince >= closeAfterMs.load()) {
            closeClient();
            continue;
        }
        pollfd fds[3] = {{listenFd, POLLIN, 0}, {wakeFd, POLLIN, 0}, {client, POLLIN, 0}};
        ::poll(fds, client >= 0 ? 3 : 2, 50);
        if (fds[1].revents) {
            uint64_t count = 0;
            if (::read(wakeFd, &count, sizeof(count)) < 0) {
            }
        }
        if (fds[0].revents & POLLIN) {
            const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                closeClient();
                std::lock_guard<std::mutex> locker(clientMutex);
                clientFd = fd;
                clientSince = steadyMs();
                ++accepted;
                stream.clear();
                client = -1; // read from the next round on
            }
        }
        if (client >= 0 && (fds[2].revents & (POLLIN | POLLHUP | POLLERR))) {
            const ssize_t got = ::recv(client, buffer.data(), buffer.size(), 0);
            if (got <= 0) {
                closeClient();
                continue;
            }
            segments.clear();
            stream.feed(buffer.data(), size_t(got), segments);
            for (const std::string &segment : segments) {
                Received item;
                item.segment = segment;
                Hj212Packet::parse(segment, item.fields);
                item.atMs = steadyMs();
                item.connection = accepted.load();
                {
                    std::lock_guard<std::mutex> locker(receivedMutex);
                    list.push_back(item);
                }
                answer(item.fields);
            }
        }
    }
}

std::vector<Hj212Platform::Received> Hj212Platform::received() const
{
    std::lock_guard<std::mutex> locker(receivedMutex);
    return list;
}

std::vector<Hj212Platform::Received> Hj212Platform::received(const std::string &cn,
                                                             const std::string &qn) const
{
    std::vector<Received> found;
    std::lock_guard<std::mutex> locker(receivedMutex);
    for (const Received &item : list)
        if (item.fields.value("CN") == cn && (qn.empty() || item.fields.value("QN") == qn))
            found.push_back(item);
    return found;
}

void Hj212Platform::clear()
{
    std::lock_guard<std::mutex> locker(receivedMutex);
    list.clear();
}
