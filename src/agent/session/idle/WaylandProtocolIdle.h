#pragma once

#include "IdleSource.h"

class WaylandIdle;

// The Wayland compositor's idle protocol (WaylandIdle), connected on first use on the GUI thread
// and kept for the process's life. Under IDLE_INHIBITORS = ignore it asks for the notification of
// input alone where the compositor has one (ext_idle_notifier_v1 version 2); every other
// notification (version 1, KDE's org_kde_kwin_idle, and version 2 under honour) reports no
// idleness while an idle inhibitor is active.
class WaylandProtocolIdle : public IdleSource
{
public:
    QString label() const override { return QStringLiteral("Wayland"); }
    // "the Wayland ext_idle_notifier_v1 protocol (version 2, get_input_idle_notification)"
    QString name() const override;
    std::optional<double> idleSeconds(QString *why) override;
    bool followsInhibitors() const override;

    // Starts listening in a Wayland session, so that idle time counts from start-up.
    static void startTracking();

private:
    static WaylandIdle *connection();
};
