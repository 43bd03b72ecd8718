#include "childsetup.h"

#include <csignal>
#include <sys/syscall.h>
#include <unistd.h>

namespace childsetup {

void resetSignals()
{
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (int signal = 1; signal < NSIG; ++signal)
        if (signal != SIGKILL && signal != SIGSTOP)
            ::sigaction(signal, &action,
                        nullptr); // the C library's own ones refuse: they reset at exec
    // Straight to the kernel: a wrapper that keeps some signals for itself (a sanitizer's) must
    // not decide what the program starts with.
    sigset_t none;
    sigemptyset(&none);
    ::syscall(SYS_rt_sigprocmask, SIG_SETMASK, &none, nullptr, _NSIG / 8);
}

} // namespace childsetup
