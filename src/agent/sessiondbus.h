#pragma once

// What the desktop session offers over D-Bus, for desktops where X11 does not serve: idle time
// and logout. Each call is synchronous with a short time-out. A service that is not there
// (ServiceUnknown, NameHasNoOwner, UnknownObject, UnknownMethod) is told apart from one that
// answers with an error.

#include <QDBusConnection>
#include <QDBusMessage>
#include <QString>
#include <QVariantList>

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

// One method call on sessionBus(), waiting at most kCallTimeoutMs: the reply or the error.
QDBusMessage callSessionBus(const QString &service, const QString &path, const QString &interface,
                            const QString &method, const QVariantList &args = {});

// Seconds since the last input; when there is none, `why` says why ("not on the bus", the
// error's name, "no system bus").
std::optional<double> mutterIdle(QString *why);      // org.gnome.Mutter.IdleMonitor, in ms
std::optional<double> screenSaverIdle(QString *why); // org.freedesktop.ScreenSaver, see .cpp
std::optional<double> logindIdle(QString *why);      // IdleHint / IdleSinceHint of our session

// A session manager's logout.
struct LogoutMethod
{
    QString service, path, interface, method;
    QVariantList args;
    bool forced; // applications cannot cancel it
    QString name() const { return interface + QLatin1Char('.') + method; }
};
// In the order tried: GNOME and MATE (forced), KDE's ksmserver and org.kde.Shutdown, Xfce.
const QList<LogoutMethod> &logoutMethods();

enum class CallResult { Accepted, Absent, Failed };
// Calls `method`; an error reply is logged at warn level with its name and text, and one that
// says the manager is busy (still starting) is retried for up to `busyRetryMs`.
CallResult callLogout(const LogoutMethod &method, int busyRetryMs = 30000);

// The first method whose service is on the bus (owned or activatable); nothing when none is.
std::optional<LogoutMethod> availableLogoutMethod();

// logind's id of the session that owns this process.
std::optional<QString> logindSessionId();
// logind TerminateSession for the session that owns this process; false when it failed.
bool terminateLogindSession();

} // namespace sessiondbus
