#pragma once

// The session bus, guarded: where none exists, asking for it must not start one of our own (nor
// may Qt's tray and menu code, or a child, autolaunch one that would outlive the agent).

#include <QDBusConnection>
#include <QString>

namespace dbus {

// A session bus is there to be reached: DBUS_SESSION_BUS_ADDRESS is set, or
// $XDG_RUNTIME_DIR/bus exists.
bool sessionBusExists();

// Where no session bus exists, points D-Bus at an address that fails at once, so that nothing in
// this process or started by it autolaunches one. Call before anything uses D-Bus;
// sessionBusExists() keeps its answer.
void preventAutolaunch();

// The session bus where one exists, else a connection that never connects.
QDBusConnection sessionBus();

// The unique name that owns `name` on the session bus; empty when none.
QString nameOwner(const QString &name);
// Whether `name` has an owner on the session bus now; whether the bus could start it on a call.
// Neither starts anything.
bool hasOwner(const QString &name);
bool activatable(const QString &name);

} // namespace dbus
