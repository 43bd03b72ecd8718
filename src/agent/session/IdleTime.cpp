#include "IdleTime.h"

#include "SessionFacts.h"
#include "WaylandIdle.h"
#include "X11Display.h"
#include "sessiondbus.h"

#include "agent/errors.h"
#include "agent/log.h"

#include <QCoreApplication>
#include <QStringList>

#include <X11/Xlib.h>
#include <X11/extensions/scrnsaver.h>

#include <functional>
#include <optional>
#include <vector>

namespace IdleTime {

namespace {

std::optional<double> xIdle()
{
    X11Display x;
    Display *dpy = x.display();
    int eventBase = 0, errorBase = 0;
    if (!dpy || !XScreenSaverQueryExtension(dpy, &eventBase, &errorBase))
        return std::nullopt;
    XScreenSaverInfo *info = XScreenSaverAllocInfo();
    if (!info)
        return std::nullopt;
    const Status ok = XScreenSaverQueryInfo(dpy, DefaultRootWindow(dpy), info);
    const unsigned long idleMs = info->idle;
    XFree(info);
    if (!ok)
        return std::nullopt;
    return static_cast<double>(idleMs) / 1000.0;
}

} // namespace

namespace {

// The compositor's idle protocol, connected on first use on the GUI thread and kept open for
// the process's life.
WaylandIdle *waylandIdle()
{
    static WaylandIdle *const source =
        SessionFacts::current().wayland() && QCoreApplication::instance()
            ? new WaylandIdle(QString(), QCoreApplication::instance())
            : nullptr;
    return source;
}

QString &idleSourceInUse()
{
    static QString name; // GUI thread only, like every caller
    return name;
}

} // namespace

void startTracking()
{
    waylandIdle();
}

QString sourceName()
{
    return idleSourceInUse();
}

double read()
{
    struct Source
    {
        QString label;                 // in the failure text
        std::function<QString()> name; // in the log line of the source in use
        std::function<std::optional<double>(QString *why)> read;
    };
    const auto fixed = [](const char *name) { return [name] { return QLatin1String(name); }; };
    static const std::vector<Source> sources = {
        {QStringLiteral("X11"), fixed("the XScreenSaver extension"),
         [](QString *why) -> std::optional<double> {
             if (SessionFacts::current().wayland()) {
                 *why = QStringLiteral("skipped, Wayland session");
                 return std::nullopt;
             }
             const auto seconds = xIdle();
             if (!seconds)
                 *why = QStringLiteral("no X display with the MIT-SCREEN-SAVER extension");
             return seconds;
         }},
        {QStringLiteral("Wayland"),
         [] {
             return QStringLiteral("the Wayland %1 protocol").arg(waylandIdle()->interfaceName());
         },
         [](QString *why) -> std::optional<double> {
             WaylandIdle *source = waylandIdle();
             if (!source) {
                 *why = QStringLiteral("not a Wayland session");
                 return std::nullopt;
             }
             const auto seconds = source->idleSeconds();
             if (!seconds)
                 *why = source->failure();
             return seconds;
         }},
        {QStringLiteral("Mutter"), fixed("org.gnome.Mutter.IdleMonitor"), sessiondbus::mutterIdle},
        {QStringLiteral("org.freedesktop.ScreenSaver"), fixed("org.freedesktop.ScreenSaver"),
         sessiondbus::screenSaverIdle},
        {QStringLiteral("logind"), fixed("logind IdleSinceHint"), sessiondbus::logindIdle},
    };
    QString &inUse = idleSourceInUse();
    QStringList reasons;
    for (const Source &source : sources) {
        QString why;
        if (const auto seconds = source.read(&why)) {
            const QString name = source.name();
            if (inUse != name) {
                inUse = name;
                logger::info(QStringLiteral("Idle time from %1").arg(name),
                             logger::event("idle-source"));
            }
            return *seconds;
        }
        reasons << QStringLiteral("%1: %2").arg(source.label, why);
    }
    inUse.clear();
    throw OperationError(reasons.join(QStringLiteral("; ")));
}

} // namespace IdleTime
