#include "childsetup.h"

#include <csignal>

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
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
}

} // namespace childsetup
