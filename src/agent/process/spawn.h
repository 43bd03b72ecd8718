#pragma once

#include <sys/types.h>

namespace process {

// Starts argv[0] (looked up in PATH) as a child that outlives nothing of ours: fork and exec, the
// child's signals reset first (posix_spawn would leave the C library's own signals ignored). An
// exec failure comes back through a close-on-exec pipe. 0 with `pid` set, or an errno.
int spawn(char *const argv[], pid_t *pid);

} // namespace process
