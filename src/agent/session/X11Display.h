#pragma once

#include <mutex>

typedef struct _XDisplay Display;

// The agent's own X11 connection, apart from Qt's: opened on first use, kept for the process's
// life, and used under its lock from any thread (an X11Display object holds the lock). X errors
// on it are logged, not fatal.
// Lock discipline on the exit paths: Xlib's I/O error handler calls exit() on the thread that is
// inside an Xlib call, and so under this lock; the exit hook then calls answers() on that same
// thread. A thread-local flag says that this thread holds the lock, and answers() then only
// probes, never locks; other threads only try the lock, as its holder may be stuck in Xlib.
class X11Display
{
public:
    X11Display();
    ~X11Display();
    X11Display(const X11Display &) = delete;
    X11Display &operator=(const X11Display &) = delete;
    // Null where there is no X display to connect to.
    Display *display();

    // Whether an X server answers at $DISPLAY now, on a connection of its own: the shared one
    // may be the one that broke. The first such connection becomes the shared one.
    static bool answers();
    static void installErrorHandler();

private:
    std::lock_guard<std::mutex> lock_;
};
