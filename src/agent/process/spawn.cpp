#include "spawn.h"

#include "childsetup.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace process {

int spawn(char *const argv[], pid_t *pid)
{
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0)
        return errno;
    *pid = ::fork();
    if (*pid == 0) {
        ::close(report[0]);
        childsetup::resetSignals();
        ::execvp(argv[0], argv);
        const int error = errno;
        [[maybe_unused]] const ssize_t n = ::write(report[1], &error, sizeof error);
        ::_exit(127);
    }
    const int forkError = errno;
    ::close(report[1]);
    int error = 0;
    if (*pid < 0)
        error = forkError;
    else if (::read(report[0], &error, sizeof error) == sizeof error)
        ::waitpid(*pid, nullptr, 0);
    else
        error = 0;
    ::close(report[0]);
    return error;
}

} // namespace process
