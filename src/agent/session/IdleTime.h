#pragma once

#include <QString>

// Seconds since the user's last input, from the first source that answers: the XScreenSaver
// extension (not in a Wayland session, where input to native Wayland windows never reaches the X
// server), the Wayland compositor's idle protocol, then the session over D-Bus: Mutter's
// IdleMonitor, org.freedesktop.ScreenSaver, logind. GUI thread.
namespace IdleTime {

// Logs which source is in use when it changes; throws OperationError naming each source's reason
// when none answers.
double read();
// The source the last read() used, as its log line names it; empty when it failed.
QString sourceName();
// Starts listening to the Wayland compositor's idle protocol in a Wayland session, so that idle
// time counts from start-up. With the application object made.
void startTracking();

} // namespace IdleTime
