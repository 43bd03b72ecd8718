#include "WarningNotices.h"

#include "agent/log.h"
#include "agent/session/sessiondbus.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QSystemTrayIcon>

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");

QDBusMessage notifications(const QString &method, const QVariantList &args)
{
    return sessiondbus::callSessionBus(kService, kPath, kService, method, args);
}

} // namespace

WarningNotices::WarningNotices(QSystemTrayIcon *tray, QObject *parent)
    : QObject(parent), tray_(tray)
{
    sessiondbus::sessionBus().connect(kService, kPath, kService,
                                      QStringLiteral("NotificationClosed"), this,
                                      SLOT(closed(uint, uint)));
}

bool WarningNotices::serverPresent() const
{
    return sessiondbus::hasOwner(kService);
}

void WarningNotices::show(Kind kind, const QString &title, const QString &text)
{
    if (serverPresent()) {
        const QVariantMap hints{
            {QStringLiteral("urgency"), QVariant::fromValue(uchar(2))}}; // critical
        const QDBusMessage reply = notifications(QStringLiteral("Notify"),
                                                 {title, ids_[kind].load(), QString(), title, text,
                                                  QStringList(), hints, 0 /* never expires */});
        if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()) {
            const uint id = reply.arguments().first().toUInt();
            ids_[kind] = id;
            logger::debug(QStringLiteral("Warning on screen as notification %1").arg(id));
            return;
        }
        logger::warn(QStringLiteral("Notification not shown: %1").arg(reply.errorMessage()));
    }
    if (tray_->isVisible())
        tray_->showMessage(title, text, QSystemTrayIcon::Warning);
    else
        logger::debug(QStringLiteral("No notification server and no icon: warning not shown"));
}

void WarningNotices::closeAll()
{
    close(Idle);
    close(Session);
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
