#!/usr/bin/env bash
# Idle time from the real light-locker's org.freedesktop.ScreenSaver, read in seconds. Its
# session lookup is answered by the logind stand-in on a private system bus; the check program
# reads the idle time as the agent does, with X11 and Wayland out of the way.
# Usage (under dbus-run-session and xvfb-run): test_screensaver_unit.sh CHECK STANDINS
set -euo pipefail
check="$1" standins="$2"
command -v light-locker >/dev/null || { echo "SKIP: light-locker is not installed"; exit 77; }
work="$(mktemp -d)"
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; tail -5 "$work"/*.log 2>/dev/null; exit 1; }

dbus-daemon --session --nofork --address="unix:path=$work/system_bus" >"$work/system_bus.log" 2>&1 &
for _ in $(seq 50); do [ -S "$work/system_bus" ] && break; sleep 0.1; done
export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$work/system_bus"
"$standins" --logind active --system "$DBUS_SYSTEM_BUS_ADDRESS" >"$work/standins.log" 2>&1 &
for _ in $(seq 50); do grep -q ready "$work/standins.log" && break; sleep 0.1; done
# light-locker wants the display manager's session path and a logind session id.
XDG_SESSION_ID=c7 XDG_SESSION_PATH=/org/freedesktop/DisplayManager/Session0 \
    light-locker --no-lock-on-suspend --no-lock-on-lid >"$work/light-locker.log" 2>&1 &
for _ in $(seq 100); do
    dbus-send --session --print-reply --dest=org.freedesktop.DBus / org.freedesktop.DBus.NameHasOwner \
        string:org.freedesktop.ScreenSaver 2>/dev/null | grep -q true && break
    sleep 0.1
done
sleep 4 # no input meanwhile: about 4 s idle
printf 'IPC_PORT = 1\nLOGOFF_COMMAND = true\n' >"$work/agent.conf"
line=$(BRIMVAULT_AGENT_CONFIG="$work/agent.conf" XDG_SESSION_TYPE=wayland WAYLAND_DISPLAY= \
       XDG_RUNTIME_DIR="$work" "$check" | grep '^idle:' || true)
echo "$line"
case "$line" in
"idle: OK org.freedesktop.ScreenSaver: idle for "*) ;;
*) fail "idle time not from light-locker: $line" ;;
esac
seconds=${line##*idle for }; seconds=${seconds%% s*}
awk -v s="$seconds" 'BEGIN { exit !(s >= 3 && s < 60) }' || fail "idle time $seconds s, expected about 4 s"
echo "screensaver unit: 1 passed, 0 failed"
