#include "PowerManagementInhibitors.h"

#include "agent/session/sessiondbus.h"

std::optional<QStringList> PowerManagementInhibitors::active(QString *why)
{
    const QString service = QStringLiteral("org.freedesktop.PowerManagement.Inhibit");
    const auto inhibited =
        sessiondbus::ask(sessiondbus::Bus::Session, service,
                         QStringLiteral("/org/freedesktop/PowerManagement/Inhibit"), service,
                         QStringLiteral("HasInhibit"), {}, why);
    if (!inhibited)
        return std::nullopt;
    return inhibited->toBool() ? QStringList{QStringLiteral("an inhibitor of %1").arg(name())}
                               : QStringList{};
}
