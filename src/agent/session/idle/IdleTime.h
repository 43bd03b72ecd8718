#pragma once

// idle/ measures how long the user has been idle: the sources, the inhibitor readers and the
// chain that picks among them.

#include <QString>
#include <QStringList>

// Seconds since the user's last input, from the first source of the chain that answers (see
// IdleTime.cpp), under the IDLE_INHIBITORS policy: "ignore" takes the source as it is; "honour"
// holds idle at 0 while an idle inhibitor of the session is active, and counts it from the
// inhibitor's release afterwards. GUI thread.
namespace IdleTime {

// Logs which source is in use when it changes, and when an inhibitor holds idle and lets it go;
// throws OperationError naming each source's reason when none answers.
double read();
// The source the last read() used, as its log line names it; empty when it failed.
QString sourceName();
// Whether that source follows idle inhibitors whatever the policy.
bool sourceFollowsInhibitors();
// Starts listening to the Wayland compositor's idle protocol in a Wayland session, so that idle
// time counts from start-up. With the application object made.
void startTracking();

// What each inhibitor reader says now, "name: none", "name: who: why, ..." or "name: the reason
// it does not answer"; for the check program.
QStringList inhibitorReport();

} // namespace IdleTime
