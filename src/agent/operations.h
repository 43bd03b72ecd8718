#pragma once

// src/agent is the agent support package, one room per job below it; this header is what the
// tray calls of it.

// Session operations on the local desktop.

#include <QString>

namespace operations {

// The desktop user's name: the password database entry of this process's user, else $USER.
QString getCurrentUser();

// Sets the X11 screensaver timeout (seconds), keeping the other screensaver values. The X
// protocol carries it in 16 signed bits, so it is clamped to 0..32767. Without an X display
// it does nothing.
void initIdleDuration(qint64 seconds);

// Seconds (with fraction) since the user's last input; see IdleTime.
double getIdleDuration();
// The source the last getIdleDuration() read, as its log line names it; empty when it failed.
QString idleSourceName();
// Starts listening to the Wayland compositor's idle protocol in a Wayland session.
void startIdleTracking();

// Logs the user out along the session's LogoffRoute, each failure logged and the next way tried.
// After a logout that applications may cancel, waits up to LOGOFF_VERIFY_SECONDS, with the event
// loop running, for the session to end, and ends it through logind if it is still active then.
// GUI thread.
void loggoff();

} // namespace operations
