#pragma once

#include <QString>

// One policy for a thread that does not end when its owner goes (the link's, the IPC client's):
// destroying a running QThread aborts the process, and leaving the thread behind lets it run on
// freed memory. The owner first lets what it queued go out (the logout), then calls this, which
// logs the thread and the wait and ends the process at once with status 1: it did not end
// cleanly.
namespace stuckthread {

[[noreturn]] void endProcess(const QString &thread, int waitedMs);

} // namespace stuckthread
