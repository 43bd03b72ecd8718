#pragma once

// Session operations on the local desktop.

#include <QString>

namespace operations {

// The desktop user's name: the password database entry of this process's user, else $USER.
QString getCurrentUser();

// Sets the X11 screensaver timeout (seconds), keeping the other screensaver values. The X
// protocol carries it in 16 signed bits, so it is clamped to 0..32767. Without an X display
// it does nothing.
void initIdleDuration(qint64 seconds);

// Seconds (with fraction) since the user's last input, from the first source that answers:
// the XScreenSaver extension (not in a Wayland session, where input to native Wayland windows
// never reaches the X server), the Wayland compositor's idle protocol, then the session over
// D-Bus: Mutter's IdleMonitor, org.freedesktop.ScreenSaver, logind. Logs which source is in use
// when it changes; throws OperationError naming each source's reason when none answers.
double getIdleDuration();

// A Wayland session: input to native Wayland windows never reaches the X server's idle counter.
bool waylandSession();

// The source the last getIdleDuration() read, as its log line names it; empty when it failed.
QString idleSourceName();

// The method loggoff() would use now, without using it: "LOGOFF_COMMAND: ...", "loginctl ...",
// the session manager's D-Bus method, logind, or empty when there is none.
QString logoffMethod();

// Starts listening to the Wayland compositor's idle protocol in a Wayland session, so that idle
// time counts from start-up. GUI thread, with the application object made.
void startIdleTracking();

// Logs the user out: LOGOFF_COMMAND when set, else loginctl terminate-session $XDG_SESSION_ID,
// else the session manager's logout over D-Bus (GNOME, KDE, MATE, Xfce; an error reply is
// logged and the next one tried), else logind TerminateSession for this process's session. After
// a logout that applications may cancel, waits up to LOGOFF_VERIFY_SECONDS for the session to
// end and then ends it through logind. Logs each step and its outcome.
void loggoff();

// X errors are logged instead of ending the process. Installed by the first X call; public so
// the application can install it early.
void installXErrorHandler();

} // namespace operations
