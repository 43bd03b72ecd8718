#include "SigTermNotifier.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

int pipeFds[2] = {-1, -1};
const std::atomic<bool> *gate = nullptr;

constexpr int kSignals[] = {SIGTERM, SIGHUP};

extern "C" void onSigTerm(int sig)
{
    const int saved = errno;
    if (gate && !gate->load()) {
        // Still blocked inside this handler, so the raised signal takes effect on return.
        struct sigaction action{};
        action.sa_handler = SIG_DFL;
        sigemptyset(&action.sa_mask);
        ::sigaction(sig, &action, nullptr);
        ::raise(sig);
        errno = saved;
        return;
    }
    const char byte = char(sig);
    // Non-blocking: a burst of signals that fills the pipe loses nothing that matters.
    [[maybe_unused]] const ssize_t n = ::write(pipeFds[1], &byte, 1);
    errno = saved;
}

} // namespace

SigTermNotifier::SigTermNotifier(QObject *parent) : QObject(parent) {}

SigTermNotifier::~SigTermNotifier()
{
    if (notifier_) {
        struct sigaction action{};
        action.sa_handler = SIG_DFL;
        sigemptyset(&action.sa_mask);
        for (const int sig : kSignals)
            ::sigaction(sig, &action, nullptr);
    }
}

bool SigTermNotifier::install(const std::atomic<bool> *carryFrom)
{
    if (notifier_)
        return true;
    gate = carryFrom;
    if (::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    notifier_ = new QSocketNotifier(pipeFds[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &SigTermNotifier::drain);
    struct sigaction action{};
    action.sa_handler = onSigTerm;
    sigemptyset(&action.sa_mask);
    for (const int sig : kSignals)
        sigaddset(&action.sa_mask, sig);
    action.sa_flags = SA_RESTART;
    bool installed = true;
    for (const int sig : kSignals) {
        struct sigaction old{};
        // A hangup that the starter chose to ignore (nohup) stays ignored.
        if (sig == SIGHUP && ::sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN)
            continue;
        installed = ::sigaction(sig, &action, nullptr) == 0 && installed;
    }
    return installed;
}

void SigTermNotifier::drain()
{
    char buffer[64];
    int first = 0;
    ssize_t n = 0;
    while ((n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0)
        if (!first)
            first = buffer[0];
    if (first)
        emit received(first);
}
