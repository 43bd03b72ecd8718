#include "WaylandIdle.h"

#include "ext-idle-notify-v1-client-protocol.h"
#include "kde-idle-client-protocol.h"

#include <QSocketNotifier>

#include <wayland-client.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

struct WaylandIdleListeners
{
    static void global(void *data, wl_registry *registry, uint32_t name, const char *interface,
                       uint32_t version)
    {
        auto *self = static_cast<WaylandIdle *>(data);
        if (std::strcmp(interface, wl_seat_interface.name) == 0 && !self->seat) {
            self->seat =
                static_cast<wl_seat *>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
        } else if (std::strcmp(interface, ext_idle_notifier_v1_interface.name) == 0 &&
                   !self->extNotifier) {
            // A version the compositor does not offer would be a protocol error.
            self->extVersion = std::min<uint32_t>(version, 2);
            self->extNotifier = static_cast<ext_idle_notifier_v1 *>(wl_registry_bind(
                registry, name, &ext_idle_notifier_v1_interface, self->extVersion));
        } else if (std::strcmp(interface, org_kde_kwin_idle_interface.name) == 0 &&
                   !self->kdeIdle) {
            self->kdeIdle = static_cast<org_kde_kwin_idle *>(
                wl_registry_bind(registry, name, &org_kde_kwin_idle_interface, 1));
        }
    }
    static void globalRemove(void *, wl_registry *, uint32_t) {}

    // The first round trip is over: every global has been announced.
    static void done(void *data, wl_callback *callback, uint32_t)
    {
        auto *self = static_cast<WaylandIdle *>(data);
        wl_callback_destroy(callback);
        self->syncCallback = nullptr;
        self->chooseProtocol();
    }

    static void extIdled(void *data, ext_idle_notification_v1 *)
    {
        static_cast<WaylandIdle *>(data)->setIdle(true);
    }
    static void extResumed(void *data, ext_idle_notification_v1 *)
    {
        static_cast<WaylandIdle *>(data)->setIdle(false);
    }
    static void kdeIdled(void *data, org_kde_kwin_idle_timeout *)
    {
        static_cast<WaylandIdle *>(data)->setIdle(true);
    }
    static void kdeResumed(void *data, org_kde_kwin_idle_timeout *)
    {
        static_cast<WaylandIdle *>(data)->setIdle(false);
    }

    static constexpr wl_registry_listener registry = {global, globalRemove};
    static constexpr wl_callback_listener sync = {done};
    static constexpr ext_idle_notification_v1_listener ext = {extIdled, extResumed};
    static constexpr org_kde_kwin_idle_timeout_listener kde = {kdeIdled, kdeResumed};
};

WaylandIdle::WaylandIdle(const QString &displayName, Want want, QObject *parent)
    : QObject(parent), want_(want)
{
    const QByteArray name = displayName.toLocal8Bit();
    display = wl_display_connect(name.isEmpty() ? nullptr : name.constData());
    if (!display) {
        failure_ = QStringLiteral("no Wayland compositor at %1: %2")
                       .arg(name.isEmpty() ? qEnvironmentVariable("WAYLAND_DISPLAY",
                                                                  QStringLiteral("wayland-0"))
                                           : displayName,
                            QString::fromLocal8Bit(std::strerror(errno)));
        return;
    }
    // Asynchronous from here on: a compositor that does not answer never blocks the caller.
    registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &WaylandIdleListeners::registry, this);
    syncCallback = wl_display_sync(display);
    wl_callback_add_listener(syncCallback, &WaylandIdleListeners::sync, this);
    failure_ = QStringLiteral("waiting for the Wayland compositor");
    notifier = new QSocketNotifier(wl_display_get_fd(display), QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &WaylandIdle::readEvents);
    if (wl_display_flush(display) < 0 && errno != EAGAIN)
        fail(QStringLiteral("the Wayland connection failed: %1")
                 .arg(QString::fromLocal8Bit(std::strerror(errno))));
}

WaylandIdle::~WaylandIdle()
{
    disconnectDisplay();
}

std::optional<double> WaylandIdle::idleSeconds() const
{
    if (interface_.isEmpty() || !failure_.isEmpty())
        return std::nullopt;
    if (!idle_)
        return 0.0;
    return double(idleSince.elapsed() + kTimeoutMs) / 1000.0;
}

bool WaylandIdle::followsInhibitors() const
{
    return notification_ != QLatin1String("get_input_idle_notification");
}

void WaylandIdle::setIdle(bool idle)
{
    if (idle && !idle_)
        idleSince.start();
    idle_ = idle;
}

void WaylandIdle::chooseProtocol()
{
    // Runs inside dispatch: a failure here only records the reason; readEvents() disconnects.
    if (!seat) {
        failure_ = QStringLiteral("the Wayland compositor has no seat");
    } else if (extNotifier) {
        if (want_ == Want::InputOnly && extVersion >= 2) {
            extNotification =
                ext_idle_notifier_v1_get_input_idle_notification(extNotifier, kTimeoutMs, seat);
            notification_ = QStringLiteral("get_input_idle_notification");
        } else {
            extNotification =
                ext_idle_notifier_v1_get_idle_notification(extNotifier, kTimeoutMs, seat);
            notification_ = QStringLiteral("get_idle_notification");
        }
        ext_idle_notification_v1_add_listener(extNotification, &WaylandIdleListeners::ext, this);
        interface_ = QString::fromLatin1(ext_idle_notifier_v1_interface.name);
        version_ = extVersion;
    } else if (kdeIdle) {
        kdeTimeout = org_kde_kwin_idle_get_idle_timeout(kdeIdle, seat, kTimeoutMs);
        org_kde_kwin_idle_timeout_add_listener(kdeTimeout, &WaylandIdleListeners::kde, this);
        interface_ = QString::fromLatin1(org_kde_kwin_idle_interface.name);
        version_ = 1;
        notification_ = QStringLiteral("get_idle_timeout");
    } else {
        failure_ = QStringLiteral(
            "the Wayland compositor offers neither ext_idle_notifier_v1 nor org_kde_kwin_idle");
    }
    if (!interface_.isEmpty())
        failure_.clear();
}

void WaylandIdle::readEvents()
{
    if (!display)
        return;
    // libwayland's reading protocol for an outside event loop: dispatch what is queued until a
    // read may be prepared, then read (which ends the prepared read, failed or not) and dispatch.
    bool prepared = false;
    while (!(prepared = wl_display_prepare_read(display) == 0)) {
        if (wl_display_dispatch_pending(display) < 0)
            break;
    }
    if (prepared) {
        if (wl_display_read_events(display) == 0)
            wl_display_dispatch_pending(display);
        wl_display_flush(display);
    }
    const int error = wl_display_get_error(display);
    if (error == 0) {
        if (!syncCallback && interface_.isEmpty())
            disconnectDisplay(); // no protocol to listen to
        return;
    }
    if (error == EPROTO) {
        const wl_interface *interface = nullptr;
        uint32_t id = 0;
        const uint32_t code = wl_display_get_protocol_error(display, &interface, &id);
        fail(QStringLiteral("Wayland protocol error %1 on %2@%3")
                 .arg(code)
                 .arg(QString::fromLatin1(interface ? interface->name : "unknown"))
                 .arg(id));
    } else if (error == EPIPE) {
        fail(QStringLiteral("the Wayland compositor closed the connection"));
    } else {
        fail(QStringLiteral("the Wayland connection failed: %1")
                 .arg(QString::fromLocal8Bit(std::strerror(error))));
    }
}

void WaylandIdle::fail(const QString &reason)
{
    failure_ = reason;
    disconnectDisplay();
}

void WaylandIdle::disconnectDisplay()
{
    if (!display)
        return;
    delete notifier;
    notifier = nullptr;
    // Requests on a failed connection are dropped by libwayland; the proxies are freed either way.
    if (extNotification)
        ext_idle_notification_v1_destroy(extNotification);
    if (extNotifier)
        ext_idle_notifier_v1_destroy(extNotifier);
    if (kdeTimeout)
        org_kde_kwin_idle_timeout_release(kdeTimeout);
    if (kdeIdle)
        org_kde_kwin_idle_destroy(kdeIdle);
    if (seat)
        wl_seat_destroy(seat);
    if (registry)
        wl_registry_destroy(registry);
    if (syncCallback)
        wl_callback_destroy(syncCallback);
    extNotification = nullptr;
    extNotifier = nullptr;
    kdeTimeout = nullptr;
    kdeIdle = nullptr;
    seat = nullptr;
    registry = nullptr;
    syncCallback = nullptr;
    wl_display_flush(display);
    wl_display_disconnect(display);
    display = nullptr;
    interface_.clear();
    version_ = 0;
    notification_.clear();
    idle_ = false;
}
