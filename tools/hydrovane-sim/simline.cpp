#include "simline.h"

#include "simchain.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

volatile sig_atomic_t stopRequested = 0;

void requestStop(int)
{
    stopRequested = 1;
}

} // namespace

SimLine::SimLine(const SimOptions &options) : options(options) {}

SimLine::~SimLine()
{
    if (!slaveName.empty()) {
        char target[4096];
        const ssize_t size = readlink(options.link.c_str(), target, sizeof(target) - 1);
        if (size > 0 && std::string(target, size_t(size)) == slaveName)
            unlink(options.link.c_str());
    }
    if (slave >= 0)
        close(slave);
    if (master >= 0)
        close(master);
}

bool SimLine::open(std::string &error)
{
    // From here on SIGINT and SIGTERM only end the loop, so the link is always removed.
    // They stay blocked except inside ppoll, so none is lost between checks.
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGTERM);
    sigprocmask(SIG_BLOCK, &blocked, &waiting);
    sigdelset(&waiting, SIGINT);
    sigdelset(&waiting, SIGTERM);
    struct sigaction action = {};
    action.sa_handler = requestStop;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        error = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    slaveName = ptsname(master);
    slave = ::open(slaveName.c_str(), O_RDWR | O_NOCTTY);
    termios settings;
    if (slave < 0 || tcgetattr(slave, &settings) != 0) {
        error = "cannot open " + slaveName;
        return false;
    }
    cfmakeraw(&settings);
    tcsetattr(slave, TCSANOW, &settings);
    // Answers nobody reads must not block the line.
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);

    const std::string temporary = options.link + ".new" + std::to_string(getpid());
    unlink(temporary.c_str());
    if (symlink(slaveName.c_str(), temporary.c_str()) != 0 ||
        rename(temporary.c_str(), options.link.c_str()) != 0) {
        error = "cannot link " + options.link + ": " + std::strerror(errno);
        unlink(temporary.c_str());
        return false;
    }
    start = now();
    return true;
}

void SimLine::run(SimChain &chain)
{
    const double silence = std::max(options.frameSilence(), 0.005);
    std::vector<uint8_t> buffer;
    while (!stopRequested) {
        pollfd entry = {master, POLLIN, 0};
        timespec gap = {time_t(silence), long((silence - std::floor(silence)) * 1e9)};
        const int ready = ppoll(&entry, 1, buffer.empty() ? nullptr : &gap, &waiting);
        if (ready < 0)
            continue; // a signal: the loop condition decides
        if (ready == 0) {
            // Silence ends a frame of any other function; an incomplete read request is
            // dropped.
            if (buffer.size() >= 2 && buffer[1] != 3 && buffer[1] != 4)
                serve(chain, buffer, now());
            buffer.clear();
            continue;
        }
        uint8_t bytes[512];
        const ssize_t size = ::read(master, bytes, sizeof(bytes));
        if (size <= 0)
            continue;
        buffer.insert(buffer.end(), bytes, bytes + size);
        // Read requests have a fixed length, so they need no silence to end them.
        while (buffer.size() >= 8 && (buffer[1] == 3 || buffer[1] == 4)) {
            const std::vector<uint8_t> request(buffer.begin(), buffer.begin() + 8);
            buffer.erase(buffer.begin(), buffer.begin() + 8);
            serve(chain, request, now());
        }
    }
}

void SimLine::serve(SimChain &chain, const std::vector<uint8_t> &request, double arrival)
{
    const SimChain::Answer answer = chain.answer(request, arrival - start);
    if (answer.frame.empty())
        return;
    double delay = answer.delay;
    if (options.wireTime) {
        const double characters = double(request.size() + answer.frame.size());
        delay += characters * options.characterTime() + 2 * options.frameSilence();
    }
    sleepUntil(arrival + delay);
    write(answer.frame);
}

void SimLine::write(const std::vector<uint8_t> &frame)
{
    size_t done = 0;
    while (done < frame.size()) {
        const ssize_t size = ::write(master, frame.data() + done, frame.size() - done);
        if (size < 0 && errno == EINTR)
            continue;
        if (size <= 0)
            return;
        done += size_t(size);
    }
}

double SimLine::now()
{
    timespec time;
    clock_gettime(CLOCK_MONOTONIC, &time);
    return double(time.tv_sec) + double(time.tv_nsec) / 1e9;
}

void SimLine::sleepUntil(double seconds)
{
    timespec until;
    until.tv_sec = time_t(seconds);
    until.tv_nsec = long((seconds - std::floor(seconds)) * 1e9);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}
