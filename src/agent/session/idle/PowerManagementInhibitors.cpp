#include "PowerManagementInhibitors.h"

#include "agent/session/dbus/call.h"

std::optional<QStringList> PowerManagementInhibitors::active(QString *why)
{
    const QString service = QStringLiteral("org.freedesktop.PowerManagement.Inhibit");
    const auto inhibited = dbus::call(dbus::Bus::Session, service,
                                      QStringLiteral("/org/freedesktop/PowerManagement/Inhibit"),
                                      service, QStringLiteral("HasInhibit"), {})
                               .value(why);
    if (!inhibited)
        return std::nullopt;
    return inhibited->toBool() ? QStringList{QStringLiteral("an inhibitor of %1").arg(name())}
                               : QStringList{};
}
