#include "sessiondbus.h"

#include "SessionFacts.h"

#include "agent/log.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusReply>
#include <QDBusVariant>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <QVariant>

#include <unistd.h>
#include <vector>

namespace sessiondbus {

namespace {

const QString kLogin1 = QStringLiteral("org.freedesktop.login1");
const QByteArray kDisabledAddress = "disabled:";

// The reply, or what went wrong: `absent` when nothing there could take the call.
struct Outcome
{
    std::optional<QDBusMessage> reply;
    bool absent = false;
    QString errorName, errorText;

    // "NotSupported" for org.freedesktop.DBus.Error.NotSupported: short, for a summary line.
    QString shortError() const { return errorName.section(QLatin1Char('.'), -1); }
};

bool absentError(const QString &name)
{
    static const QStringList names = {
        QStringLiteral("org.freedesktop.DBus.Error.ServiceUnknown"),
        QStringLiteral("org.freedesktop.DBus.Error.NameHasNoOwner"),
        QStringLiteral("org.freedesktop.DBus.Error.UnknownObject"),
        QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"),
        QStringLiteral("org.freedesktop.DBus.Error.UnknownInterface"),
        QStringLiteral("org.freedesktop.DBus.Error.Disconnected"),
    };
    return names.contains(name);
}

// Queries never start a service: only a logout may (KDE's org.kde.Shutdown runs on demand).
enum class Start { No, Yes };

const QString kStopped = QStringLiteral("stopped");

// The reply; blocking, or waited for through `wait` where one is given.
QDBusMessage send(const QDBusConnection &bus, const QString &service, const QString &path,
                  const QString &interface, const QString &method, const QVariantList &args,
                  Start start = Start::No, const Waiter &wait = {})
{
    QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
    message.setArguments(args);
    message.setAutoStartService(start == Start::Yes);
    if (!wait)
        return bus.call(message, QDBus::Block, kCallTimeoutMs);
    QDBusPendingCall pending = bus.asyncCall(message, kCallTimeoutMs);
    if (!wait([&pending] { return pending.isFinished(); }, kCallTimeoutMs + 500))
        return message.createErrorReply(kStopped, QStringLiteral("the session ended meanwhile"));
    pending.waitForFinished(); // at most the call's own time-out
    return pending.reply();
}

// One method call.
Outcome call(const QDBusConnection &bus, const QString &service, const QString &path,
             const QString &interface, const QString &method, const QVariantList &args = {},
             Start start = Start::No, const Waiter &wait = {})
{
    Outcome out;
    if (!bus.isConnected()) {
        out.absent = true;
        out.errorName = QStringLiteral("org.freedesktop.DBus.Error.Disconnected");
        return out;
    }
    const QDBusMessage reply = send(bus, service, path, interface, method, args, start, wait);
    if (reply.type() == QDBusMessage::ReplyMessage) {
        out.reply = reply;
        return out;
    }
    out.errorName = reply.errorName();
    out.errorText = reply.errorMessage();
    out.absent = absentError(out.errorName);
    return out;
}

std::optional<QVariant> firstArgument(const Outcome &outcome)
{
    if (!outcome.reply || outcome.reply->arguments().isEmpty())
        return std::nullopt;
    return outcome.reply->arguments().first();
}

QString reason(const Outcome &outcome, const QString &bus = QStringLiteral("session"))
{
    if (outcome.errorName == QLatin1String("org.freedesktop.DBus.Error.Disconnected"))
        return QStringLiteral("no %1 bus").arg(bus);
    if (outcome.absent)
        return QStringLiteral("not on the bus");
    return outcome.shortError().isEmpty() ? QStringLiteral("no answer") : outcome.shortError();
}

Outcome callLogind(const QString &method, const QVariantList &args, const Waiter &wait = {})
{
    return call(QDBusConnection::systemBus(), kLogin1, QStringLiteral("/org/freedesktop/login1"),
                QStringLiteral("org.freedesktop.login1.Manager"), method, args, Start::No, wait);
}

// The logind session object named `id`, else the one of this process.
std::optional<QString> sessionPath(const QString &id, QString *why = nullptr)
{
    const Outcome out = id.isEmpty() ? callLogind(QStringLiteral("GetSessionByPID"),
                                                  {QVariant::fromValue(uint(getpid()))})
                                     : callLogind(QStringLiteral("GetSession"), {id});
    const auto path = firstArgument(out);
    if (!path || !path->canConvert<QDBusObjectPath>()) {
        if (why)
            *why = out.reply ? QStringLiteral("no session for this process")
                             : reason(out, QStringLiteral("system"));
        return std::nullopt;
    }
    return path->value<QDBusObjectPath>().path();
}

Outcome getSessionProperty(const QString &path, const QString &name)
{
    return call(QDBusConnection::systemBus(), kLogin1, path,
                QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"),
                {QStringLiteral("org.freedesktop.login1.Session"), name});
}

std::optional<QVariant> sessionProperty(const QString &path, const QString &name)
{
    const auto value = firstArgument(getSessionProperty(path, name));
    if (!value)
        return std::nullopt;
    return value->value<QDBusVariant>().variant();
}

} // namespace

QString nameOwner(const QString &name)
{
    const QDBusConnectionInterface *bus = sessionBus().interface();
    if (!bus)
        return {};
    const QDBusReply<QString> owner = bus->serviceOwner(name);
    return owner.isValid() ? owner.value() : QString();
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

QDBusConnection sessionBus()
{
    return sessionBusExists() ? QDBusConnection::sessionBus()
                              : QDBusConnection(QStringLiteral("brimvault-no-session-bus"));
}

QDBusMessage callSessionBus(const QString &service, const QString &path, const QString &interface,
                            const QString &method, const QVariantList &args)
{
    return send(sessionBus(), service, path, interface, method, args);
}

void preventAutolaunch()
{
    // libdbus falls back to $XDG_RUNTIME_DIR/bus by itself; only "unset and no such socket"
    // would autolaunch.
    if (!sessionBusExists())
        qputenv("DBUS_SESSION_BUS_ADDRESS", kDisabledAddress);
}

std::optional<QVariant> ask(Bus bus, const QString &service, const QString &path,
                            const QString &interface, const QString &method,
                            const QVariantList &args, QString *why)
{
    const bool system = bus == Bus::System;
    const Outcome out = call(system ? QDBusConnection::systemBus() : sessionBus(), service, path,
                             interface, method, args);
    const auto value = firstArgument(out);
    if (!value)
        *why = reason(out, system ? QStringLiteral("system") : QStringLiteral("session"));
    return value;
}

std::optional<QVariant> ownSessionProperty(const QString &name, QString *why)
{
    const auto path = sessionPath(SessionFacts::current().logindId(), why);
    if (!path)
        return std::nullopt;
    const auto value = sessionProperty(*path, name);
    if (!value)
        *why = QStringLiteral("no %1").arg(name);
    return value;
}

const QList<LogoutMethod> &logoutMethods()
{
    // KDE's ksmserver (always running) takes confirm, type and mode; "no confirmation, logout,
    // force now" is (0, 0, 2) in KWorkSpace's terms, though Plasma 5.27 then runs an ordinary
    // logout that applications may cancel. org.kde.Shutdown is activated on demand.
    static const QList<LogoutMethod> methods = {
        {QStringLiteral("org.gnome.SessionManager"),
         QStringLiteral("/org/gnome/SessionManager"),
         QStringLiteral("org.gnome.SessionManager"),
         QStringLiteral("Logout"),
         {uint(2)},
         true,
         QStringLiteral("gnome")},
        {QStringLiteral("org.kde.ksmserver"),
         QStringLiteral("/KSMServer"),
         QStringLiteral("org.kde.KSMServerInterface"),
         QStringLiteral("logout"),
         {0, 0, 2},
         false,
         QStringLiteral("kde")},
        {QStringLiteral("org.kde.Shutdown"),
         QStringLiteral("/Shutdown"),
         QStringLiteral("org.kde.Shutdown"),
         QStringLiteral("logout"),
         {},
         false,
         QStringLiteral("kde")},
        {QStringLiteral("org.mate.SessionManager"),
         QStringLiteral("/org/mate/SessionManager"),
         QStringLiteral("org.mate.SessionManager"),
         QStringLiteral("Logout"),
         {uint(2)},
         true,
         QStringLiteral("mate")},
        {QStringLiteral("org.xfce.SessionManager"),
         QStringLiteral("/org/xfce/SessionManager"),
         QStringLiteral("org.xfce.Session.Manager"),
         QStringLiteral("Logout"),
         {false, false},
         false,
         QStringLiteral("xfce")},
    };
    return methods;
}

CallResult callLogout(const LogoutMethod &m, int busyRetryMs, const Waiter &wait)
{
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        const Outcome out =
            call(sessionBus(), m.service, m.path, m.interface, m.method, m.args, Start::Yes, wait);
        if (out.reply)
            return CallResult::Accepted;
        if (out.errorName == kStopped)
            return CallResult::Stopped;
        if (out.absent)
            return CallResult::Absent;
        // Xfce's and GNOME's managers refuse while their session is still starting: worth
        // waiting for.
        const bool busy =
            out.errorText.contains(QLatin1String("idle state"), Qt::CaseInsensitive) ||
            out.errorName == QLatin1String("org.gnome.SessionManager.NotInRunning");
        if (busy && clock.elapsed() + kBusyRetryPauseMs <= busyRetryMs) {
            logger::warn(QStringLiteral("Logoff through %1 refused for now (%2: %3); trying again")
                             .arg(m.name(), out.errorName, out.errorText),
                         logger::event("logoff"));
            if (!wait)
                QThread::msleep(kBusyRetryPauseMs);
            else if (!wait([] { return false; }, kBusyRetryPauseMs))
                return CallResult::Stopped;
            continue;
        }
        logger::warn(QStringLiteral("Logoff through %1 failed: %2: %3")
                         .arg(m.name(), out.errorName, out.errorText),
                     logger::event("logoff"));
        return CallResult::Failed;
    }
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

std::optional<LogindSession> logindSession(const QString &id)
{
    const auto path = sessionPath(id);
    if (!path)
        return std::nullopt;
    if (!id.isEmpty())
        return LogindSession{id, *path};
    const auto ownId = sessionProperty(*path, QStringLiteral("Id"));
    if (!ownId)
        return std::nullopt;
    return LogindSession{ownId->toString(), *path};
}

std::optional<QString> logindSessionState(const QString &path, QString *why)
{
    const Outcome out = getSessionProperty(path, QStringLiteral("State"));
    if (const auto value = firstArgument(out))
        return value->value<QDBusVariant>().variant().toString();
    *why = out.errorName == QLatin1String("org.freedesktop.DBus.Error.UnknownObject")
               ? QStringLiteral("gone")
               : reason(out, QStringLiteral("system"));
    return std::nullopt;
}

std::optional<int> logindSessionProcesses(const QString &path)
{
    const auto scope = sessionProperty(path, QStringLiteral("Scope"));
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

bool terminateLogindSession(const QString &id, QString *why, const Waiter &wait)
{
    const Outcome out = callLogind(QStringLiteral("TerminateSession"), {id}, wait);
    if (!out.reply)
        *why = out.errorName == kStopped ? kStopped
               : out.absent &&
                       out.errorName != QLatin1String("org.freedesktop.DBus.Error.UnknownMethod")
                   ? reason(out, QStringLiteral("system"))
                   : QStringLiteral("%1: %2").arg(out.errorName, out.errorText);
    return out.reply.has_value();
}

} // namespace sessiondbus
