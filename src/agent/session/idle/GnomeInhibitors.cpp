#include "GnomeInhibitors.h"

#include "agent/session/dbus/call.h"

std::optional<QStringList> GnomeInhibitors::active(QString *why)
{
    constexpr uint kIdle = 8;
    const auto inhibited =
        dbus::call(dbus::Bus::Session, QStringLiteral("org.gnome.SessionManager"),
                   QStringLiteral("/org/gnome/SessionManager"),
                   QStringLiteral("org.gnome.SessionManager"), QStringLiteral("IsInhibited"),
                   {kIdle})
            .value(why);
    if (!inhibited)
        return std::nullopt;
    return inhibited->toBool()
               ? QStringList{QStringLiteral("an inhibitor of GNOME's session manager")}
               : QStringList{};
}
