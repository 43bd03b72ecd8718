#pragma once

class QApplication;

namespace app {

// The parse result handed from the process entry to the application assembly.
struct Args
{
    bool debug = false; // accepted, read by nothing
    bool force = false; // accepted, read by nothing
    QApplication *app = nullptr;
    int (*func)(Args &) = nullptr;
    int argc = 0;
    char **argv = nullptr;
};

// Process entry: start-up log line, application object, command line, then func(args).
int processEntry(int argc, char **argv);

// Application assembly: identity, translations, tray check, tray controller, event loop, and
// the logoff after it. Returns the process status.
int main(Args &args);

// SIGTERM, delivered on the main thread: quits through the tray controller, if there is one.
void sigTerm(int sigNo, void *stackFrame);

} // namespace app
