#include "GnomeInhibitors.h"

#include "agent/session/sessiondbus.h"

std::optional<QStringList> GnomeInhibitors::active(QString *why)
{
    constexpr uint kIdle = 8;
    const auto inhibited = sessiondbus::ask(
        sessiondbus::Bus::Session, QStringLiteral("org.gnome.SessionManager"),
        QStringLiteral("/org/gnome/SessionManager"), QStringLiteral("org.gnome.SessionManager"),
        QStringLiteral("IsInhibited"), {kIdle}, why);
    if (!inhibited)
        return std::nullopt;
    return inhibited->toBool()
               ? QStringList{QStringLiteral("an inhibitor of GNOME's session manager")}
               : QStringList{};
}
