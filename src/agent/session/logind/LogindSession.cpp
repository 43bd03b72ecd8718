#include "LogindSession.h"

#include <QDBusConnection>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QFile>
#include <QStringList>

#include <unistd.h>

namespace {

dbus::Answer getProperty(const QString &path, const QString &name)
{
    return dbus::call(dbus::Bus::System, login1::kService, path,
                      QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"),
                      {login1::kSession, name});
}

} // namespace

dbus::Answer LogindSession::callManager(const QString &method, const QVariantList &args,
                                        const dbus::Waiter &wait)
{
    dbus::Options options;
    options.wait = wait;
    return dbus::call(dbus::Bus::System, login1::kService, login1::kManagerPath, login1::kManager,
                      method, args, options);
}

std::optional<LogindSession> LogindSession::find(const QString &id, QString *why)
{
    const dbus::Answer out = id.isEmpty() ? callManager(QStringLiteral("GetSessionByPID"),
                                                        {QVariant::fromValue(uint(getpid()))})
                                          : callManager(QStringLiteral("GetSession"), {id});
    const auto path = out.value();
    if (!path || !path->canConvert<QDBusObjectPath>()) {
        if (why)
            *why = out.reply ? QStringLiteral("no session for this process") : out.reason();
        return std::nullopt;
    }
    LogindSession session(id, path->value<QDBusObjectPath>().path());
    if (id.isEmpty()) {
        const auto ownId = session.property(QStringLiteral("Id"), why);
        if (!ownId)
            return std::nullopt;
        session.id_ = ownId->toString();
    }
    return session;
}

std::optional<QVariant> LogindSession::property(const QString &name, QString *why) const
{
    const auto value = getProperty(path_, name).value();
    if (!value) {
        if (why)
            *why = QStringLiteral("no %1").arg(name);
        return std::nullopt;
    }
    return value->value<QDBusVariant>().variant();
}

std::optional<QString> LogindSession::state(QString *why) const
{
    const dbus::Answer out = getProperty(path_, QStringLiteral("State"));
    if (const auto value = out.value())
        return value->value<QDBusVariant>().variant().toString();
    *why = out.errorName == QLatin1String("org.freedesktop.DBus.Error.UnknownObject")
               ? QStringLiteral("gone")
               : out.reason();
    return std::nullopt;
}

std::optional<int> LogindSession::processes() const
{
    const auto scope = property(QStringLiteral("Scope"));
    if (!scope || scope->toString().isEmpty())
        return std::nullopt;
    // "0::/user.slice/user-1000.slice/session-4.scope" (cgroup2), or "1:name=systemd:/..." (the
    // hybrid layout's systemd hierarchy), where this process is in that scope.
    QFile own(QStringLiteral("/proc/self/cgroup"));
    if (!own.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QString suffix = QLatin1Char('/') + scope->toString();
    for (const QByteArray &line : own.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split(':');
        if (fields.size() != 3 || !QString::fromUtf8(fields[2]).endsWith(suffix))
            continue;
        QStringList roots;
        if (fields[1].isEmpty())
            roots << QStringLiteral("/sys/fs/cgroup") << QStringLiteral("/sys/fs/cgroup/unified");
        else if (fields[1] == "name=systemd")
            roots << QStringLiteral("/sys/fs/cgroup/systemd");
        for (const QString &root : roots) {
            QFile procs(root + QString::fromUtf8(fields[2]) + QStringLiteral("/cgroup.procs"));
            if (procs.open(QIODevice::ReadOnly))
                return int(procs.readAll().count('\n'));
        }
    }
    return std::nullopt;
}

bool LogindSession::terminate(QString *why, const dbus::Waiter &wait) const
{
    const dbus::Answer out = callManager(QStringLiteral("TerminateSession"), {id_}, wait);
    if (!out.reply)
        *why = out.stopped ? QStringLiteral("stopped")
               : out.absent &&
                       out.errorName != QLatin1String("org.freedesktop.DBus.Error.UnknownMethod")
                   ? out.reason()
                   : QStringLiteral("%1: %2").arg(out.errorName, out.errorText);
    return out.reply.has_value();
}

void LogindSession::subscribe(QObject *receiver, const char *propertiesChanged,
                              const char *sessionRemoved) const
{
    QDBusConnection bus = QDBusConnection::systemBus();
    bus.connect(login1::kService, path_, QStringLiteral("org.freedesktop.DBus.Properties"),
                QStringLiteral("PropertiesChanged"), receiver, propertiesChanged);
    bus.connect(login1::kService, login1::kManagerPath, login1::kManager,
                QStringLiteral("SessionRemoved"), receiver, sessionRemoved);
}
