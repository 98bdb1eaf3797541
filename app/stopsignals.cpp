#include "stopsignals.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

const int stopSignals[] = {SIGTERM, SIGINT, SIGHUP};
const int signalCount = int(sizeof(stopSignals) / sizeof(stopSignals[0]));

// Touched by the handler: only plain stores and loads of these, write(2) and _exit(2).
volatile std::sig_atomic_t received = 0;
int pipeRead = -1;
int pipeWrite = -1;
struct sigaction previous[signalCount];

void onStopSignal(int signal)
{
    if (received != 0)
        _exit(128 + signal);
    received = signal;
    const int saved = errno;
    const unsigned char number = static_cast<unsigned char>(signal);
    // Non-blocking: a full pipe already holds a stop.
    const ssize_t written = ::write(pipeWrite, &number, 1);
    (void)written;
    errno = saved;
}

} // namespace

StopSignals::StopSignals(QObject *parent) : QObject(parent)
{
    if (pipeWrite >= 0)
        return;
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
        qWarning("hydrovane: no pipe for the stop signals: %s", std::strerror(errno));
        return;
    }
    pipeRead = ends[0];
    pipeWrite = ends[1];
    received = 0;
    notifier = new QSocketNotifier(pipeRead, QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &StopSignals::readPipe);

    struct sigaction action = {};
    action.sa_handler = onStopSignal;
    // The handler runs with the other two held back, so that two signals never race in it;
    // SA_RESTART spares the other threads' system calls an EINTR.
    sigemptyset(&action.sa_mask);
    for (int signal : stopSignals)
        sigaddset(&action.sa_mask, signal);
    action.sa_flags = SA_RESTART;
    for (int i = 0; i < signalCount; ++i)
        ::sigaction(stopSignals[i], &action, &previous[i]);
    installed = true;
}

StopSignals::~StopSignals()
{
    if (!installed)
        return;
    for (int i = 0; i < signalCount; ++i)
        ::sigaction(stopSignals[i], &previous[i], nullptr);
    delete notifier;
    ::close(pipeRead);
    ::close(pipeWrite);
    pipeRead = pipeWrite = -1;
    received = 0;
}

QString StopSignals::name(int signal)
{
    switch (signal) {
    case SIGTERM:
        return QStringLiteral("SIGTERM");
    case SIGINT:
        return QStringLiteral("SIGINT");
    case SIGHUP:
        return QStringLiteral("SIGHUP");
    default:
        return QString::number(signal);
    }
}

void StopSignals::readPipe()
{
    unsigned char number = 0;
    ssize_t got;
    do {
        got = ::read(pipeRead, &number, 1);
    } while (got < 0 && errno == EINTR);
    if (got == 1)
        emit signal_stopAsked(int(number));
}
