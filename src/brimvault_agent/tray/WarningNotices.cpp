#include "WarningNotices.h"

#include "agent/log/log.h"
#include "agent/session/dbus/call.h"
#include "agent/session/dbus/sessionbus.h"

#include <QDBusConnection>
#include <QSystemTrayIcon>

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");

dbus::Answer notifications(const QString &method, const QVariantList &args)
{
    return dbus::call(dbus::Bus::Session, kService, kPath, kService, method, args);
}

} // namespace

WarningNotices::WarningNotices(QSystemTrayIcon *tray, QObject *parent)
    : QObject(parent), tray_(tray)
{
    dbus::sessionBus().connect(kService, kPath, kService, QStringLiteral("NotificationClosed"),
                               this, SLOT(closed(uint, uint)));
}

bool WarningNotices::serverPresent() const
{
    return dbus::hasOwner(kService);
}

void WarningNotices::show(Kind kind, const QString &title, const QString &text)
{
    if (ended_[kind])
        return;
    if (serverPresent()) {
        const QVariantMap hints{
            {QStringLiteral("urgency"), QVariant::fromValue(uchar(2))}}; // critical
        const dbus::Answer answer =
            notifications(QStringLiteral("Notify"), {title, ids_[kind].load(), QString(), title,
                                                     text, QStringList(), hints, 0 /* never */});
        if (const auto id = answer.value()) {
            ids_[kind] = id->toUInt();
            logger::debug(QStringLiteral("Warning on screen as notification %1").arg(id->toUInt()));
            // The end came while the server answered: its close found no id to close.
            if (ended_[kind])
                close(kind);
            return;
        }
        logger::warn(QStringLiteral("Notification not shown: %1").arg(answer.errorText));
    }
    if (tray_->isVisible())
        tray_->showMessage(title, text, QSystemTrayIcon::Warning);
    else
        logger::debug(QStringLiteral("No notification server and no icon: warning not shown"));
}

void WarningNotices::closeForGood(Kind kind)
{
    ended_[kind] = true; // before the id is taken, so that show() sees one or the other
    close(kind);
}

void WarningNotices::close(Kind kind)
{
    // An id was only ever set by a server that answered; one that has gone since fails at once.
    if (const uint id = ids_[kind].exchange(0))
        notifications(QStringLiteral("CloseNotification"), {id});
}

void WarningNotices::closed(uint id, uint)
{
    for (std::atomic<uint> &shown : ids_) {
        uint expected = id;
        shown.compare_exchange_strong(expected, 0);
    }
}
