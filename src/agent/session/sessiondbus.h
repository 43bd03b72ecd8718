#pragma once

// The bus plumbing that the session's D-Bus users share (idle sources, inhibitor readers, the
// logout route). Each call is synchronous with a short time-out. A service that is not there
// (ServiceUnknown, NameHasNoOwner, UnknownObject, UnknownMethod) is told apart from one that
// answers with an error.

#include <QDBusConnection>
#include <QDBusMessage>
#include <QString>
#include <QVariantList>

#include <functional>
#include <optional>

namespace sessiondbus {

constexpr int kCallTimeoutMs = 1000;
constexpr int kBusyRetryPauseMs = 1000;

// A session bus is there to be reached: DBUS_SESSION_BUS_ADDRESS is set, or
// $XDG_RUNTIME_DIR/bus exists. Without one, asking for it would start a bus of our own.
bool sessionBusExists();

// Where no session bus exists, points D-Bus at an address that fails at once, so that nothing in
// this process (Qt's tray and menu code included) or started by it autolaunches a bus of its own
// that would outlive it. Call before anything uses D-Bus; sessionBusExists() keeps its answer.
void preventAutolaunch();

// The session bus where one exists, else a connection that never connects: asking for the bus
// never starts one.
QDBusConnection sessionBus();

// One method call on sessionBus(), waiting at most kCallTimeoutMs: the reply or the error. It
// never starts a service that is not running.
QDBusMessage callSessionBus(const QString &service, const QString &path, const QString &interface,
                            const QString &method, const QVariantList &args = {});

enum class Bus { Session, System };
// One call that starts nothing: its reply's first argument, or nothing with `why` the reason
// ("not on the bus", the error's short name, "no session bus").
std::optional<QVariant> ask(Bus bus, const QString &service, const QString &path,
                            const QString &interface, const QString &method,
                            const QVariantList &args, QString *why);
// A property of this session's logind session (XDG_SESSION_ID, else this process's).
std::optional<QVariant> ownSessionProperty(const QString &name, QString *why);
// The unique name that owns `name` on the session bus; empty when none.
QString nameOwner(const QString &name);

// A session manager's logout.
struct LogoutMethod
{
    QString service, path, interface, method;
    QVariantList args;
    bool forced;     // applications cannot cancel it
    QString desktop; // as SessionFacts names it
    QString name() const { return interface + QLatin1Char('.') + method; }
    bool operator==(const LogoutMethod &other) const
    {
        return service == other.service && name() == other.name();
    }
};
// In the order tried: GNOME and MATE (forced), KDE's ksmserver and org.kde.Shutdown, Xfce.
const QList<LogoutMethod> &logoutMethods();

// How a logout call waits, for its reply and between tries: wait(done, ms) returns when done()
// holds or ms have passed; false when waiting is to stop at once (the session ended meanwhile).
// Without one, the calls block.
using Waiter = std::function<bool(const std::function<bool()> &done, int ms)>;

enum class CallResult { Accepted, Absent, Failed, Stopped };
// Calls `method`; an error reply is logged at warn level with its name and text, and one that
// says the manager is busy (still starting) is retried for up to `busyRetryMs`.
CallResult callLogout(const LogoutMethod &method, int busyRetryMs = 30000, const Waiter &wait = {});

// Whether `name` has an owner on the session bus now; whether the bus could start it on a call.
// Neither starts anything.
bool hasOwner(const QString &name);
bool activatable(const QString &name);

// logind's session: the one named `id` (XDG_SESSION_ID), else the one of this process.
struct LogindSession
{
    QString id, path;
};
std::optional<LogindSession> logindSession(const QString &id);
// The session's State ("online", "active", "closing"); nothing with `why` "gone" when the
// session object no longer exists, or the reason logind could not be asked.
std::optional<QString> logindSessionState(const QString &path, QString *why);
// The processes left in the session's scope, where this process can see its cgroup.
std::optional<int> logindSessionProcesses(const QString &path);
// logind TerminateSession; false with the reason when it failed ("stopped" when `wait` stopped).
bool terminateLogindSession(const QString &id, QString *why, const Waiter &wait = {});

} // namespace sessiondbus
