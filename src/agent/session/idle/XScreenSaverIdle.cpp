#include "XScreenSaverIdle.h"

#include "agent/session/SessionFacts.h"
#include "agent/session/X11Display.h"

#include <X11/Xlib.h>
#include <X11/extensions/scrnsaver.h>

std::optional<double> XScreenSaverIdle::idleSeconds(QString *why)
{
    if (SessionFacts::current().wayland()) {
        *why = QStringLiteral("skipped, Wayland session");
        return std::nullopt;
    }
    X11Display x;
    Display *dpy = x.display();
    int eventBase = 0, errorBase = 0;
    XScreenSaverInfo *info = dpy && XScreenSaverQueryExtension(dpy, &eventBase, &errorBase)
                                 ? XScreenSaverAllocInfo()
                                 : nullptr;
    if (!info) {
        *why = QStringLiteral("no X display with the MIT-SCREEN-SAVER extension");
        return std::nullopt;
    }
    const Status ok = XScreenSaverQueryInfo(dpy, DefaultRootWindow(dpy), info);
    const unsigned long idleMs = info->idle;
    XFree(info);
    if (!ok) {
        *why = QStringLiteral("no X display with the MIT-SCREEN-SAVER extension");
        return std::nullopt;
    }
    return static_cast<double>(idleMs) / 1000.0;
}
