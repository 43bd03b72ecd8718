#include "SigTermNotifier.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

int pipeFds[2] = {-1, -1};
const std::atomic<bool> *gate = nullptr;

extern "C" void onSigTerm(int)
{
    const int saved = errno;
    if (gate && !gate->load()) {
        // Still blocked inside this handler, so the raised signal takes effect on return.
        struct sigaction action
        {
        };
        action.sa_handler = SIG_DFL;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGTERM, &action, nullptr);
        ::raise(SIGTERM);
        errno = saved;
        return;
    }
    const char byte = 1;
    // Non-blocking: a burst of signals that fills the pipe loses nothing that matters.
    [[maybe_unused]] const ssize_t n = ::write(pipeFds[1], &byte, 1);
    errno = saved;
}

} // namespace

SigTermNotifier::SigTermNotifier(QObject *parent) : QObject(parent) {}

SigTermNotifier::~SigTermNotifier()
{
    if (notifier_) {
        struct sigaction action
        {
        };
        action.sa_handler = SIG_DFL;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGTERM, &action, nullptr);
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
    struct sigaction action
    {
    };
    action.sa_handler = onSigTerm;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return ::sigaction(SIGTERM, &action, nullptr) == 0;
}

void SigTermNotifier::drain()
{
    char buffer[64];
    bool any = false;
    while (::read(pipeFds[0], buffer, sizeof buffer) > 0)
        any = true;
    if (any)
        emit received();
}
