#include "TrayHost.h"

#include "agent/sessiondbus.h"

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
    const QDBusMessage reply = sessiondbus::callSessionBus(
        watcher, QStringLiteral("/StatusNotifierWatcher"),
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"),
        {watcher, QStringLiteral("IsStatusNotifierHostRegistered")});
    return reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty() &&
           reply.arguments().first().value<QDBusVariant>().variant().toBool();
}

bool xembedHost(const QString &platform)
{
    if (platform != QLatin1String("xcb"))
        return false;
    Display *display = XOpenDisplay(nullptr);
    if (!display)
        return false;
    const QByteArray name = "_NET_SYSTEM_TRAY_S" + QByteArray::number(DefaultScreen(display));
    const Atom selection = XInternAtom(display, name.constData(), True);
    const bool owned = selection != None && XGetSelectionOwner(display, selection) != None;
    XCloseDisplay(display);
    return owned;
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

QString TrayHost::expectedPlatform()
{
    // Qt 5.15's own choice: QT_QPA_PLATFORM, else the session type (but xcb on GNOME), else xcb.
    const QString forced = qEnvironmentVariable("QT_QPA_PLATFORM");
    if (!forced.isEmpty())
        return forced.section(QLatin1Char(';'), 0, 0).section(QLatin1Char(':'), 0, 0);
    const bool gnome = qEnvironmentVariable("XDG_CURRENT_DESKTOP")
                           .contains(QLatin1String("gnome"), Qt::CaseInsensitive) ||
                       qEnvironmentVariable("XDG_SESSION_DESKTOP")
                           .contains(QLatin1String("gnome"), Qt::CaseInsensitive);
    if (qEnvironmentVariable("XDG_SESSION_TYPE") == QLatin1String("wayland") && !gnome)
        return QStringLiteral("wayland");
    return QStringLiteral("xcb");
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
