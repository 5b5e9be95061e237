#include "app/TerminationSignals.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {
// [0] is read on the event loop, [1] written by the handler; both never block.
int g_pipe[2] = {-1, -1};
volatile std::sig_atomic_t g_requested = 0;

void OnSignal(int signalNumber)
{
    const int saved = errno;
    g_requested = signalNumber;
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    [[maybe_unused]] const ssize_t written = ::write(g_pipe[1], &byte, 1);
    errno = saved;
}
} // namespace

void TerminationSignals::Install()
{
    if (g_pipe[0] >= 0 || ::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;
    }
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signalNumber : {SIGTERM, SIGINT, SIGHUP}) {
        ::sigaction(signalNumber, &action, nullptr);
    }
}

bool TerminationSignals::Requested()
{
    return g_requested != 0;
}

TerminationSignals& TerminationSignals::Instance()
{
    // Lives until the application ends; parented so Qt tears it down with the application.
    static TerminationSignals* instance = new TerminationSignals();
    return *instance;
}

TerminationSignals::TerminationSignals() : QObject(QCoreApplication::instance())
{
    Install();
    if (g_pipe[0] < 0) {
        return;
    }
    notifier_ = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &TerminationSignals::OnReadable);
}

void TerminationSignals::OnReadable()
{
    // Signals that came close together are one request.
    unsigned char bytes[64];
    ssize_t got = 0;
    int last = 0;
    while ((got = ::read(g_pipe[0], bytes, sizeof bytes)) > 0) {
        last = bytes[got - 1];
    }
    if (last != 0) {
        Q_EMIT terminationRequested(last);
    }
}
