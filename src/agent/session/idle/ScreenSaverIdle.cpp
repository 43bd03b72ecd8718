#include "ScreenSaverIdle.h"

#include "agent/session/sessiondbus.h"

std::optional<double> ScreenSaverIdle::idleSeconds(QString *why)
{
    const QString service = QStringLiteral("org.freedesktop.ScreenSaver");
    const auto value =
        sessiondbus::ask(sessiondbus::Bus::Session, service, QStringLiteral("/ScreenSaver"),
                         service, QStringLiteral("GetSessionIdleTime"), {}, why);
    if (!value)
        return std::nullopt;
    // KDE's locker is recognised by the name it registers beside this one on one connection.
    const QString owner = sessiondbus::nameOwner(service);
    const bool milliseconds =
        !owner.isEmpty() && owner == sessiondbus::nameOwner(QStringLiteral("org.kde.screensaver"));
    return value->toULongLong() / (milliseconds ? 1000.0 : 1.0);
}
