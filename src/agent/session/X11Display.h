#pragma once

#include <mutex>

typedef struct _XDisplay Display;

// The agent's own X11 connection, apart from Qt's: opened on first use, kept for the process's
// life, and used under its lock from any thread. X errors on it are logged, not fatal.
class X11Display
{
public:
    X11Display();
    // Null where there is no X display to connect to.
    Display *display();

    // Whether an X server answers at $DISPLAY now, on a connection of its own: the shared one
    // may be the one that broke. The first such connection becomes the shared one.
    static bool answers();
    static void installErrorHandler();

private:
    std::lock_guard<std::mutex> lock_;
};
