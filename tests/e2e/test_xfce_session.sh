#!/usr/bin/env bash
# The agent autostarted by a real xfce4-session, on a bus where KDE's plasma-shutdown is
# activatable too (a template with both desktops). The session limit ends the agent: the logoff
# must go to Xfce's manager, not to KDE's; the session ends within seconds, and xfce4-session
# never saved the agent in its session.
# Usage (under dbus-run-session with plasma-shutdown activatable):
#   test_xfce_session.sh AGENT CHECK SIM ACTIVATION_LOG
set -euo pipefail
agent="$1" check="$2" sim="$3" activations="$4"
source "$(dirname "$0")/../support/need.sh"
need xfce4-session xfce4-session; need Xvfb xvfb
work="$(mktemp -d)"
trap 'kill $(jobs -p) 2>/dev/null || true; rm -f /tmp/.ICE-unix/${session:-none}; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; tail -n 40 "$work/agent.log" 2>/dev/null; exit 1; }
export HOME="$work" XDG_CONFIG_HOME="$work/config" XDG_CACHE_HOME="$work/cache" \
       XDG_DATA_HOME="$work/data" XDG_RUNTIME_DIR="$work/runtime" XDG_CURRENT_DESKTOP=XFCE \
       QT_XCB_GL_INTEGRATION=none
mkdir -p "$XDG_RUNTIME_DIR" "$XDG_CONFIG_HOME/autostart" && chmod 700 "$XDG_RUNTIME_DIR"
unset XDG_SESSION_ID SESSION_MANAGER
rm -f "$activations"

Xvfb -displayfd 5 -nolisten tcp 5>"$work/display" 2>/dev/null &
xvfb=$!
for _ in $(seq 50); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=":$(cat "$work/display").0"
"$(dirname "$0")/../support/tray-host.sh" >/dev/null 2>&1 &
source "$(dirname "$0")/../support/simulator.sh"
start_simulator "$sim" --max-session 15
agent_config
export BRIMVAULT_AGENT_CONFIG="$work/agent.conf"
printf '[Desktop Entry]\nType=Application\nName=Brimvault agent\nExec=%s\n' "$agent" \
    >"$XDG_CONFIG_HOME/autostart/brimvault-agent.desktop"

xfce4-session >"$work/session.log" 2>&1 &
session=$!
for _ in $(seq 300); do grep -q '"login"' "$work/events" && break; sleep 0.1; done
grep -q '"login"' "$work/events" || fail "the autostarted agent did not log in"
# The check program, in the same session, names the route the agent will take.
route=$("$check" | grep '^logoff:' || true)
echo "check: $route"
case "$route" in "logoff: OK org.xfce.Session.Manager.Logout over D-Bus"*) ;; *) fail "check: $route" ;; esac
# xfce4-session saves its session now, as at a logout with saving: the agent must not be in it.
sleep 8 # past xfce4-session's start-up, when it refuses to save or log out
dbus-send --session --print-reply --dest=org.xfce.SessionManager /org/xfce/SessionManager \
    org.xfce.Session.Manager.Checkpoint string: >/dev/null || fail "no checkpoint"

# The session limit ends the agent; xfce4-session logs out; then, as a display manager does,
# the X server goes.
for _ in $(seq 400); do kill -0 $session 2>/dev/null || break; sleep 0.1; done
kill -0 $session 2>/dev/null && fail "xfce4-session is still running"
kill $xvfb
for _ in $(seq 100); do grep -q "The session ended" "$work/agent.log" && break; sleep 0.1; done
grep "Logging off\|The session ended\|still there" "$work/agent.log" | cut -d' ' -f3-
grep -q "Logging off: org.xfce.Session.Manager.Logout over D-Bus" "$work/agent.log" || fail "not through Xfce"
grep -q "org.kde" "$work/agent.log" && fail "KDE's manager was tried"
[ -s "$activations" ] && fail "KDE's manager was started: $(cat "$activations")"
ended=$(sed -n 's/.*The session ended \([0-9]*\) s after the logout through org.xfce.Session.Manager.Logout/\1/p' "$work/agent.log")
[ -n "$ended" ] || fail "no end of the session seen"
[ "$ended" -le 10 ] || fail "the session took $ended s to end"
grep -q "still there" "$work/agent.log" && fail "escalated"
for _ in $(seq 50); do grep -q '"logout"' "$work/events" && break; sleep 0.1; done
grep -q '"logout"' "$work/events" || fail "no logout reached the service"
saved=$(find "$XDG_CACHE_HOME/sessions" -type f 2>/dev/null | head -n1)
[ -n "$saved" ] || fail "xfce4-session saved nothing at all"
grep -q brimvault "$saved" && fail "the agent was saved in the session: $saved"
echo "xfce session: logoff through Xfce, session ended after $ended s; 1 passed, 0 failed"
