#include "sessiondbus.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QDBusVariant>
#include <QDateTime>
#include <QFileInfo>
#include <QVariant>

#include <unistd.h>
#include <vector>

namespace sessiondbus {

namespace {

const QString kLogin1 = QStringLiteral("org.freedesktop.login1");

bool hasOwner(const QDBusConnection &bus, const QString &service)
{
    if (!bus.isConnected() || !bus.interface())
        return false;
    const QDBusReply<bool> reply = bus.interface()->isServiceRegistered(service);
    return reply.isValid() && reply.value();
}

// One method call; nothing when the service is absent or answers with an error.
std::optional<QDBusMessage> call(const QDBusConnection &bus, const QString &service,
                                 const QString &path, const QString &interface,
                                 const QString &method, const QVariantList &args = {})
{
    if (!hasOwner(bus, service))
        return std::nullopt;
    QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
    message.setArguments(args);
    const QDBusMessage reply = bus.call(message, QDBus::Block, kCallTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage)
        return std::nullopt;
    return reply;
}

std::optional<QVariant> firstArgument(const std::optional<QDBusMessage> &reply)
{
    if (!reply || reply->arguments().isEmpty())
        return std::nullopt;
    return reply->arguments().first();
}

// The logind session object of this process.
std::optional<QString> ownSessionPath()
{
    const auto reply =
        call(QDBusConnection::systemBus(), kLogin1, QStringLiteral("/org/freedesktop/login1"),
             QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("GetSessionByPID"),
             {QVariant::fromValue(uint(getpid()))});
    const auto path = firstArgument(reply);
    if (!path || !path->canConvert<QDBusObjectPath>())
        return std::nullopt;
    return path->value<QDBusObjectPath>().path();
}

std::optional<QVariant> sessionProperty(const QString &path, const QString &name)
{
    const auto reply =
        call(QDBusConnection::systemBus(), kLogin1, path,
             QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"),
             {QStringLiteral("org.freedesktop.login1.Session"), name});
    const auto value = firstArgument(reply);
    if (!value)
        return std::nullopt;
    return value->value<QDBusVariant>().variant();
}

} // namespace

namespace {
const QByteArray kDisabledAddress = "disabled:";
}

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

std::optional<double> mutterIdle()
{
    const auto ms = firstArgument(
        call(QDBusConnection::sessionBus(), QStringLiteral("org.gnome.Mutter.IdleMonitor"),
             QStringLiteral("/org/gnome/Mutter/IdleMonitor/Core"),
             QStringLiteral("org.gnome.Mutter.IdleMonitor"), QStringLiteral("GetIdletime")));
    if (!ms)
        return std::nullopt;
    return ms->toULongLong() / 1000.0;
}

std::optional<double> screenSaverIdle()
{
    // Milliseconds, as the implementations that answer on Wayland (KDE's) report it; taking it
    // for seconds would log users off a thousand times too early.
    const auto ms = firstArgument(
        call(QDBusConnection::sessionBus(), QStringLiteral("org.freedesktop.ScreenSaver"),
             QStringLiteral("/ScreenSaver"), QStringLiteral("org.freedesktop.ScreenSaver"),
             QStringLiteral("GetSessionIdleTime")));
    if (!ms)
        return std::nullopt;
    return ms->toULongLong() / 1000.0;
}

std::optional<double> logindIdle()
{
    const auto path = ownSessionPath();
    if (!path)
        return std::nullopt;
    const auto idle = sessionProperty(*path, QStringLiteral("IdleHint"));
    if (!idle)
        return std::nullopt;
    if (!idle->toBool())
        return 0.0;
    const auto since = sessionProperty(*path, QStringLiteral("IdleSinceHint")); // µs, wall clock
    if (!since)
        return std::nullopt;
    const double nowUs = double(QDateTime::currentMSecsSinceEpoch()) * 1000.0;
    return qMax(0.0, (nowUs - since->toDouble()) / 1e6);
}

namespace {

struct Manager
{
    const char *service, *path, *interface, *method;
    QVariantList args;

    QString name() const
    {
        return QStringLiteral("%1.%2").arg(QLatin1String(interface), QLatin1String(method));
    }
};

// Each desktop's session manager and its logout without confirmation, in the order tried.
const std::vector<Manager> &managers()
{
    static const std::vector<Manager> table = {
        {"org.gnome.SessionManager",
         "/org/gnome/SessionManager",
         "org.gnome.SessionManager",
         "Logout",
         {uint(2)}},
        {"org.kde.Shutdown", "/Shutdown", "org.kde.Shutdown", "logout", {}},
        {"org.mate.SessionManager",
         "/org/mate/SessionManager",
         "org.mate.SessionManager",
         "Logout",
         {uint(2)}},
        {"org.xfce.SessionManager",
         "/org/xfce/SessionManager",
         "org.xfce.Session.Manager",
         "Logout",
         {false, false}},
    };
    return table;
}

} // namespace

QString logoutViaSessionManager()
{
    if (!sessionBusExists())
        return {};
    for (const Manager &m : managers()) {
        if (call(QDBusConnection::sessionBus(), QLatin1String(m.service), QLatin1String(m.path),
                 QLatin1String(m.interface), QLatin1String(m.method), m.args))
            return m.name();
    }
    return {};
}

QString availableSessionManager()
{
    if (!sessionBusExists())
        return {};
    for (const Manager &m : managers())
        if (hasOwner(QDBusConnection::sessionBus(), QLatin1String(m.service)))
            return m.name();
    return {};
}

std::optional<QString> logindSessionId()
{
    const auto path = ownSessionPath();
    const auto id = path ? sessionProperty(*path, QStringLiteral("Id")) : std::nullopt;
    if (!id)
        return std::nullopt;
    return id->toString();
}

bool terminateLogindSession()
{
    const auto id = logindSessionId();
    if (!id)
        return false;
    return call(QDBusConnection::systemBus(), kLogin1, QStringLiteral("/org/freedesktop/login1"),
                QStringLiteral("org.freedesktop.login1.Manager"),
                QStringLiteral("TerminateSession"), {*id})
        .has_value();
}

} // namespace sessiondbus
