#include "TrayHost.h"

#include "X11Display.h"
#include "agent/session/dbus/call.h"

#include <QDBusMessage>
#include <QDBusVariant>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QThread>

#include <X11/Xlib.h>

namespace {

bool statusNotifierHost()
{
    const QString watcher = QStringLiteral("org.kde.StatusNotifierWatcher");
    const auto registered =
        dbus::call(dbus::Bus::Session, watcher, QStringLiteral("/StatusNotifierWatcher"),
                   QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"),
                   {watcher, QStringLiteral("IsStatusNotifierHostRegistered")})
            .value();
    return registered && registered->value<QDBusVariant>().variant().toBool();
}

bool xembedHost(const QString &platform)
{
    if (platform != QLatin1String("xcb"))
        return false;
    X11Display x;
    Display *display = x.display();
    if (!display)
        return false;
    const QByteArray name = "_NET_SYSTEM_TRAY_S" + QByteArray::number(DefaultScreen(display));
    const Atom selection = XInternAtom(display, name.constData(), True);
    return selection != None && XGetSelectionOwner(display, selection) != None;
}

} // namespace

QString TrayHost::route(const QString &platform)
{
    if (statusNotifierHost())
        return QStringLiteral("StatusNotifierWatcher");
    if (xembedHost(platform.isEmpty() ? QGuiApplication::platformName() : platform))
        return QStringLiteral("XEmbed tray host");
    return {};
}

QString TrayHost::gnomeHint()
{
    return QStringLiteral(
        "GNOME Shell shows tray icons only with the AppIndicator extension: install "
        "gnome-shell-extension-appindicator and enable ubuntu-appindicators@ubuntu.com for all "
        "users through a dconf system database, or set TRAY_REQUIRED=false to enforce the limits "
        "without an icon");
}

bool TrayHost::waitFor(int seconds, int intervalMs)
{
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        if (!route().isEmpty())
            return true;
        if (clock.elapsed() >= qint64(seconds) * 1000)
            return false;
        QThread::msleep(static_cast<unsigned long>(intervalMs));
    }
}
