#include "sessionbus.h"

#include <QDBusConnectionInterface>
#include <QDBusReply>
#include <QFileInfo>

namespace dbus {

namespace {

const QByteArray kDisabledAddress = "disabled:";

} // namespace

bool sessionBusExists()
{
    const QByteArray address = qgetenv("DBUS_SESSION_BUS_ADDRESS");
    if (address == kDisabledAddress)
        return false;
    if (!address.isEmpty())
        return true;
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    return !runtime.isEmpty() && QFileInfo(runtime + QStringLiteral("/bus")).exists();
}

void preventAutolaunch()
{
    // libdbus falls back to $XDG_RUNTIME_DIR/bus by itself; only "unset and no such socket"
    // would autolaunch.
    if (!sessionBusExists())
        qputenv("DBUS_SESSION_BUS_ADDRESS", kDisabledAddress);
}

QDBusConnection sessionBus()
{
    return sessionBusExists() ? QDBusConnection::sessionBus()
                              : QDBusConnection(QStringLiteral("brimvault-no-session-bus"));
}

QString nameOwner(const QString &name)
{
    const QDBusConnectionInterface *bus = sessionBus().interface();
    if (!bus)
        return {};
    const QDBusReply<QString> owner = bus->serviceOwner(name);
    return owner.isValid() ? owner.value() : QString();
}

bool hasOwner(const QString &name)
{
    return !nameOwner(name).isEmpty();
}

bool activatable(const QString &name)
{
    const QDBusConnectionInterface *bus = sessionBus().interface();
    return bus && bus->activatableServiceNames().value().contains(name);
}

} // namespace dbus
