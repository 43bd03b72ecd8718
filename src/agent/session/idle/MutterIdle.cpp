#include "MutterIdle.h"

#include "agent/session/dbus/call.h"

std::optional<double> MutterIdle::idleSeconds(QString *why)
{
    const auto ms = dbus::call(dbus::Bus::Session, QStringLiteral("org.gnome.Mutter.IdleMonitor"),
                               QStringLiteral("/org/gnome/Mutter/IdleMonitor/Core"),
                               QStringLiteral("org.gnome.Mutter.IdleMonitor"),
                               QStringLiteral("GetIdletime"), {})
                        .value(why);
    if (!ms)
        return std::nullopt;
    return ms->toULongLong() / 1000.0;
}
