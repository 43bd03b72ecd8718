#include "SessionManagers.h"

#include "agent/log/events.h"
#include "agent/log/log.h"

#include <QElapsedTimer>
#include <QThread>

namespace SessionManagers {

const QList<LogoutMethod> &logoutMethods()
{
    // KDE's ksmserver (always running) takes confirm, type and mode; "no confirmation, logout,
    // force now" is (0, 0, 2) in KWorkSpace's terms, though Plasma 5.27 then runs an ordinary
    // logout that applications may cancel. Plasma 6's ksmserver has no logout at all: there
    // org.kde.Shutdown, activated on demand, is the way, as it is Plasma 5's second.
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
         QStringLiteral("kde"),
         true},
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

bool offers(const LogoutMethod &m)
{
    return !m.listed ||
           dbus::offersMethod(dbus::Bus::Session, m.service, m.path, m.interface, m.method);
}

Result logout(const LogoutMethod &m, int busyRetryMs, const dbus::Waiter &wait)
{
    QElapsedTimer clock;
    clock.start();
    dbus::Options options;
    options.startService = true; // org.kde.Shutdown runs on demand
    options.wait = wait;
    for (;;) {
        const dbus::Answer out = dbus::call(dbus::Bus::Session, m.service, m.path, m.interface,
                                            m.method, m.args, options);
        if (out.reply)
            return Result::Accepted;
        if (out.stopped)
            return Result::Stopped;
        if (out.absent)
            return Result::Absent;
        // Xfce's and GNOME's managers refuse while their session is still starting: worth
        // waiting for.
        const bool busy =
            out.errorText.contains(QLatin1String("idle state"), Qt::CaseInsensitive) ||
            out.errorName == QLatin1String("org.gnome.SessionManager.NotInRunning");
        if (busy && clock.elapsed() + kBusyRetryPauseMs <= busyRetryMs) {
            logger::warn(QStringLiteral("Logoff through %1 refused for now (%2: %3); trying again")
                             .arg(m.name(), out.errorName, out.errorText),
                         logger::event(logger::events::kLogoff));
            if (!wait)
                QThread::msleep(kBusyRetryPauseMs);
            else if (!wait([] { return false; }, kBusyRetryPauseMs))
                return Result::Stopped;
            continue;
        }
        logger::warn(QStringLiteral("Logoff through %1 failed: %2: %3")
                         .arg(m.name(), out.errorName, out.errorText),
                     logger::event(logger::events::kLogoff));
        return Result::Failed;
    }
}

} // namespace SessionManagers
