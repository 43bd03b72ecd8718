#include "X11Display.h"

#include "agent/log/log.h"

#include <QString>

#include <X11/Xlib.h>

namespace {

int onXError(Display *display, XErrorEvent *event)
{
    char text[256] = {};
    XGetErrorText(display, event->error_code, text, sizeof text);
    logger::warn(QStringLiteral("X error ignored: %1 (request %2.%3)")
                     .arg(QString::fromLocal8Bit(text))
                     .arg(event->request_code)
                     .arg(event->minor_code));
    return 0;
}

Display *open()
{
    X11Display::installErrorHandler();
    return XOpenDisplay(nullptr);
}

struct Shared
{
    std::mutex mutex;
    bool tried = false;
    Display *display = nullptr;
};

Shared &shared()
{
    static Shared *const s = new Shared; // never destroyed: read from exit handlers
    return *s;
}

thread_local bool holding = false; // this thread holds shared().mutex

} // namespace

X11Display::X11Display() : lock_(shared().mutex)
{
    holding = true;
}

X11Display::~X11Display()
{
    holding = false;
}

Display *X11Display::display()
{
    Shared &s = shared();
    if (!s.tried) {
        s.tried = true;
        s.display = open();
    }
    return s.display;
}

bool X11Display::answers()
{
    Display *display = open();
    if (!display)
        return false;
    // The first connection is kept as the shared one: were it the server's only client, closing
    // it would make the server reset, and refuse Qt's connection a moment later. (An exit hook
    // may ask while this thread holds the lock; it then only probes.)
    Shared &s = shared();
    std::unique_lock<std::mutex> lock(s.mutex, std::defer_lock);
    if (!holding && lock.try_lock() && !s.tried) {
        s.tried = true;
        s.display = display;
        return true;
    }
    XCloseDisplay(display);
    return true;
}

void X11Display::installErrorHandler()
{
    XSetErrorHandler(onXError);
}
