#pragma once

// The desktops' session managers as the logoff route reaches them: their logout calls, in the
// order tried, and how a manager that is still starting is asked again.

#include "agent/session/dbus/call.h"

#include <QList>
#include <QString>
#include <QVariantList>

// A session manager's logout.
struct LogoutMethod
{
    QString service, path, interface, method;
    QVariantList args;
    bool forced;     // applications cannot cancel it
    QString desktop; // as SessionFacts names it
    // Taken only where the running manager lists the call: Plasma 6's ksmserver has no logout.
    bool listed = false;
    QString name() const { return interface + QLatin1Char('.') + method; }
    bool operator==(const LogoutMethod &other) const
    {
        return service == other.service && name() == other.name();
    }
};

namespace SessionManagers {

constexpr int kBusyRetryPauseMs = 1000;

// In the order tried: GNOME and MATE (forced), KDE's ksmserver (Plasma 5) and org.kde.Shutdown,
// Xfce.
const QList<LogoutMethod> &logoutMethods();

// Whether the manager that runs now has `method`: true but for a `listed` one that lacks it.
bool offers(const LogoutMethod &method);

enum class Result { Accepted, Absent, Failed, Stopped };
// Calls `method`, which may start the manager; an error reply is logged at warn level with its
// name and text, and one that says the manager is busy (still starting) is retried for up to
// `busyRetryMs`, waiting through `wait` (blocking without one).
Result logout(const LogoutMethod &method, int busyRetryMs = 30000, const dbus::Waiter &wait = {});

} // namespace SessionManagers
