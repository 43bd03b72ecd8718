#pragma once

// What the desktop session offers over D-Bus, for desktops where X11 does not serve:
// idle time and forced logout. Each call is synchronous with a short time-out and returns
// nothing (or false) when the service is absent or does not answer.

#include <QString>

#include <optional>

namespace sessiondbus {

constexpr int kCallTimeoutMs = 1000;

// A session bus is there to be reached: DBUS_SESSION_BUS_ADDRESS is set, or
// $XDG_RUNTIME_DIR/bus exists. Without one, asking for it would start a bus of our own.
bool sessionBusExists();

// Where no session bus exists, points D-Bus at an address that fails at once, so that nothing in
// this process (Qt's tray and menu code included) or started by it autolaunches a bus of its own
// that would outlive it. Call before anything uses D-Bus; sessionBusExists() keeps its answer.
void preventAutolaunch();

// Seconds since the last input.
std::optional<double> mutterIdle();      // org.gnome.Mutter.IdleMonitor (GNOME, X11 and Wayland)
std::optional<double> screenSaverIdle(); // org.freedesktop.ScreenSaver
std::optional<double> logindIdle();      // logind's IdleHint / IdleSinceHint of our own session

// Asks the session manager for a forced logout; returns the method used, empty when none
// answered.
QString logoutViaSessionManager();
// The method logoutViaSessionManager() would call now, without calling it; empty when none.
QString availableSessionManager();
// logind's id of the session that owns this process.
std::optional<QString> logindSessionId();

// logind TerminateSession for the session that owns this process; false when it failed.
bool terminateLogindSession();

} // namespace sessiondbus
