#pragma once

#include "IdleSource.h"

class WaylandIdle;

// The Wayland compositor's idle protocol (WaylandIdle), connected on first use on the GUI thread
// and kept for the process's life. Both protocols that Debian's compositors offer
// (ext_idle_notifier_v1 and KDE's org_kde_kwin_idle) notify idleness only while no idle
// inhibitor is active.
class WaylandProtocolIdle : public IdleSource
{
public:
    QString label() const override { return QStringLiteral("Wayland"); }
    QString name() const override;
    std::optional<double> idleSeconds(QString *why) override;
    bool followsInhibitors() const override { return true; }

    // Starts listening in a Wayland session, so that idle time counts from start-up.
    static void startTracking();

private:
    static WaylandIdle *connection();
};
