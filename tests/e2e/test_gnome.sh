#!/usr/bin/env bash
# The agent in real GNOME Shell (run by with-compositor.sh gnome [--tray]: on X11 up to GNOME 48,
# on Wayland alone from GNOME 50, where the agent is a native Wayland client), against the
# service simulator.
# Usage: test_gnome.sh AGENT SIM CHECK no-tray|tray-required|appindicator|idle-logoff SCRIPTS
#   no-tray:       stock GNOME, TRAY_REQUIRED=false: no icon, but the login, a 40 s session limit
#                  that logs off, and its warning as a GNOME notification.
#   tray-required: stock GNOME with the default: status 1, and the way out in the log.
#   appindicator:  the AppIndicator extension enabled: the agent's item is registered.
#   idle-logoff:   with the extension and GNOME's own session manager (tests/support/
#                  gnome-session.sh, started as the release's gnome-session supports): a 40 s
#                  idle limit, idle time from the session (Mutter's IdleMonitor on Wayland, the
#                  X server on X11), and the logoff through the manager, which then ends.
set -euo pipefail
agent="$1" sim="$2" check="$3" mode="$4" support="$(dirname "$0")/../support"
work="$(mktemp -d)"
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; tail -n 30 "$work/agent.log" 2>/dev/null; exit 1; }
now() { date +%s.%N; }
export QT_XCB_GL_INTEGRATION=none
echo "GNOME Shell $(gnome-shell --version | grep -o '[0-9.]*$') on $XDG_SESSION_TYPE"

source "$support/simulator.sh"
if [ "$mode" = idle-logoff ]; then
    start_simulator "$sim" --idle 40
    agent_config "TRAY_WAIT_SECONDS = 10"
    mkdir -p "$XDG_CONFIG_HOME/gnome-session/sessions"
    printf '[GNOME Session]\nName=Brimvault test\nRequiredComponents=\n' \
        >"$XDG_CONFIG_HOME/gnome-session/sessions/brimvault.session"
    "$support/gnome-session.sh" brimvault >"$work/session.log" 2>&1 &
    session=$!
    for _ in $(seq 100); do
        dbus-send --session --print-reply --dest=org.freedesktop.DBus / org.freedesktop.DBus.NameHasOwner \
            string:org.gnome.SessionManager 2>/dev/null | grep -q true && break
        sleep 0.1
    done
else
    start_simulator "$sim" --max-session 40
    agent_config "LOGOFF_COMMAND = date +%s.%N > $work/logged-off" "NOTIFY_USER = true" "TRAY_WAIT_SECONDS = 2"
fi
[ "$mode" = no-tray ] && echo "TRAY_REQUIRED = false" >>"$work/agent.conf"
export BRIMVAULT_AGENT_CONFIG="$work/agent.conf"
echo "check:"; "$check" | sed 's/^/  /' || true

start=$(now)
"$agent" 2>"$work/agent.err" &
agent_pid=$!
case "$mode" in
tray-required)
    status=0; wait $agent_pid || status=$?
    [ "$status" = 1 ] || fail "agent exit status $status"
    grep "ERROR" "$work/agent.log" | cut -d' ' -f3-
    grep -q "ERROR \[main\] GNOME Shell shows tray icons only with the AppIndicator extension: .*gnome-shell-extension-appindicator.*TRAY_REQUIRED=false" \
        "$work/agent.log" || fail "no hint"
    [ "$(grep -c '"connected"' "$work/events")" = 1 ] || fail "the agent contacted the service" # the check did
    echo "gnome tray-required: 1 passed, 0 failed"
    exit 0
    ;;
esac
for _ in $(seq 300); do grep -q '"login"' "$work/events" && break; sleep 0.1; done
grep -q '"login"' "$work/events" || fail "no login"
echo "login $(echo "$(now) - $start" | bc) s after the start"
case "$mode" in
no-tray)
    grep -q "WARN \[main\] No system tray; running without an icon" "$work/agent.log" || fail "no warning"
    status=0; wait $agent_pid || status=$?
    [ "$status" = 0 ] || fail "agent exit status $status"
    [ -s "$work/logged-off" ] || fail "no logoff"
    echo "logoff $(echo "$(cat "$work/logged-off") - $start - 40" | bc) s after the 40 s limit"
    grep -q "Warning on screen as notification [0-9]" "$work/agent.log" || fail "the warning was no notification"
    ;;
idle-logoff)
    grep -q "No system tray;" "$work/agent.log" && fail "ran without an icon"
    status=0
    for _ in $(seq 120); do kill -0 $agent_pid 2>/dev/null || break; sleep 1; done
    wait $agent_pid || status=$?
    [ "$status" = 0 ] || fail "agent exit status $status"
    grep -E "Idle time from|Ending:|Logging off|Logoff through" "$work/agent.log" | cut -d' ' -f3-
    grep -q "INFO \[main\] Ending: .*idle" "$work/agent.log" || fail "not ended by the idle limit"
    source=$([ "$XDG_SESSION_TYPE" = wayland ] && echo "org.gnome.Mutter.IdleMonitor" || echo "the XScreenSaver extension")
    grep -q "Idle time from $source" "$work/agent.log" || fail "idle time not from $source"
    grep -q "Logoff through org.gnome.SessionManager.Logout accepted" "$work/agent.log" || fail "not through GNOME"
    for _ in $(seq 100); do kill -0 $session 2>/dev/null || break; sleep 0.1; done
    kill -0 $session 2>/dev/null && fail "the session manager is still running"
    ;;
appindicator)
    grep -q "No system tray;" "$work/agent.log" && fail "ran without an icon"
    # The agent's own item: Qt 5 registers a name made of the agent's pid, Qt 6 its connection
    # (":1.18@/StatusNotifierItem", from 6.11 ":1.18"). The icon is shown just after the login.
    agents_item() {
        echo "$items" | grep -q "org.kde.StatusNotifierItem-$agent_pid-" && return 0
        for name in $(echo "$items" | grep -o '":[0-9.]*' | tr -d '"'); do
            dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
                org.freedesktop.DBus.GetConnectionUnixProcessID "string:$name" 2>/dev/null |
                grep -q "uint32 $agent_pid\$" && return 0
        done
        return 1
    }
    for _ in $(seq 100); do
        items=$(dbus-send --session --print-reply --dest=org.kde.StatusNotifierWatcher /StatusNotifierWatcher \
            org.freedesktop.DBus.Properties.Get string:org.kde.StatusNotifierWatcher \
            string:RegisteredStatusNotifierItems)
        agents_item && break
        sleep 0.1
    done
    agents_item || fail "no item registered: $items"
    echo "registered: $(echo "$items" | grep string | tr -s ' ')"
    kill -TERM $agent_pid
    status=0; wait $agent_pid || status=$?
    [ "$status" = 0 ] || fail "agent exit status $status"
    ;;
esac
for _ in $(seq 50); do grep -q '"logout"' "$work/events" && break; sleep 0.1; done
grep -q '"logout"' "$work/events" || fail "no logout reached the service"
echo "gnome $mode: 1 passed, 0 failed"
