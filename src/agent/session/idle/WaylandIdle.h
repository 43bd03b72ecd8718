#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <optional>

class QSocketNotifier;
struct wl_display;
struct wl_callback;
struct wl_registry;
struct wl_seat;
struct ext_idle_notifier_v1;
struct ext_idle_notification_v1;
struct org_kde_kwin_idle;
struct org_kde_kwin_idle_timeout;

// Idle time from the Wayland compositor's own idle protocol: ext_idle_notifier_v1, else KDE's
// org_kde_kwin_idle. Both only say "idle after N ms" and "resumed", so a short timeout is asked
// for and the idle time is counted from the idle event. One connection for the object's life,
// read from the event loop of the thread that made it; no thread, no polling.
// ext_idle_notifier_v1 is bound at the lower of the offered version and 2: version 2 adds a
// notification of input alone, which idle inhibitors do not hold; every other notification
// reports no idleness while an inhibitor is active.
class WaylandIdle : public QObject
{
    Q_OBJECT
public:
    static constexpr unsigned kTimeoutMs = 1000;
    enum class Want { InputOnly, FollowInhibitors };

    // Connects to `displayName` (empty: $WAYLAND_DISPLAY, else wayland-0). InputOnly takes the
    // input notification where the compositor has it.
    explicit WaylandIdle(const QString &displayName = {}, Want want = Want::InputOnly,
                         QObject *parent = nullptr);
    ~WaylandIdle() override;

    // Seconds since the last input, or nothing when the compositor offers neither protocol or
    // the connection failed; failure() then says why.
    std::optional<double> idleSeconds() const;
    QString failure() const { return failure_; }
    // The protocol in use, "ext_idle_notifier_v1" or "org_kde_kwin_idle"; empty when none.
    QString interfaceName() const { return interface_; }
    // The version bound, and the request that made the notification in use
    // ("get_input_idle_notification", "get_idle_notification", "get_idle_timeout").
    unsigned version() const { return version_; }
    QString notification() const { return notification_; }
    // Whether an active idle inhibitor holds the notification in use.
    bool followsInhibitors() const;

private:
    void setIdle(bool idle);
    void chooseProtocol();
    void readEvents();
    void fail(const QString &reason);
    void disconnectDisplay();

    wl_display *display = nullptr;
    wl_registry *registry = nullptr;
    wl_callback *syncCallback = nullptr;
    wl_seat *seat = nullptr;
    ext_idle_notifier_v1 *extNotifier = nullptr;
    ext_idle_notification_v1 *extNotification = nullptr;
    org_kde_kwin_idle *kdeIdle = nullptr;
    org_kde_kwin_idle_timeout *kdeTimeout = nullptr;
    QSocketNotifier *notifier = nullptr;
    Want want_;
    unsigned extVersion = 0; // as bound
    QString failure_;
    QString interface_;
    unsigned version_ = 0;
    QString notification_;
    bool idle_ = false;
    QElapsedTimer idleSince; // since the idle event

    friend struct WaylandIdleListeners;
};
