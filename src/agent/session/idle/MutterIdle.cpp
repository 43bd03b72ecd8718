#include "MutterIdle.h"

#include "agent/session/sessiondbus.h"

std::optional<double> MutterIdle::idleSeconds(QString *why)
{
    const auto ms = sessiondbus::ask(
        sessiondbus::Bus::Session, QStringLiteral("org.gnome.Mutter.IdleMonitor"),
        QStringLiteral("/org/gnome/Mutter/IdleMonitor/Core"),
        QStringLiteral("org.gnome.Mutter.IdleMonitor"), QStringLiteral("GetIdletime"), {}, why);
    if (!ms)
        return std::nullopt;
    return ms->toULongLong() / 1000.0;
}
