#include "ScreenSaverIdle.h"

#include "agent/session/dbus/call.h"
#include "agent/session/dbus/sessionbus.h"

std::optional<double> ScreenSaverIdle::idleSeconds(QString *why)
{
    const QString service = QStringLiteral("org.freedesktop.ScreenSaver");
    const auto value = dbus::call(dbus::Bus::Session, service, QStringLiteral("/ScreenSaver"),
                                  service, QStringLiteral("GetSessionIdleTime"), {})
                           .value(why);
    if (!value)
        return std::nullopt;
    // KDE's locker is recognised by the name it registers beside this one on one connection.
    const QString owner = dbus::nameOwner(service);
    const bool milliseconds =
        !owner.isEmpty() && owner == dbus::nameOwner(QStringLiteral("org.kde.screensaver"));
    return value->toULongLong() / (milliseconds ? 1000.0 : 1.0);
}
