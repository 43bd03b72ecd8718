#pragma once

// app/ starts and ends the process: the command line, translations, signals, the assembly of
// the agent and what a library's end of the process needs.

#include <memory>

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

// The application object, kept out of session management: an X session manager would wait for
// the agent at logout and restart it at the next login beside the autostarted one.
std::unique_ptr<QApplication> makeApplication(int &argc, char **argv);

// Process entry: start-up log line, application object, command line, then func(args).
int processEntry(int argc, char **argv);

// Application assembly: identity, translations, tray check, tray controller, event loop, and
// the logoff after it. Returns the process status.
int main(Args &args);

// SIGTERM, delivered on the main thread: quits through the tray controller, if there is one.
void sigTerm(int sigNo, void *stackFrame);

} // namespace app
