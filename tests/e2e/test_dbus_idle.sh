#!/usr/bin/env bash
# Idle time from a real desktop service over D-Bus, read as the agent reads it (through the
# check program, with X11 and Wayland out of the way):
#   light-locker: org.freedesktop.ScreenSaver, in seconds; its session lookup is answered by the
#                 logind stand-in on a private system bus.
#   mutter:       Mutter headless, org.gnome.Mutter.IdleMonitor, in milliseconds.
# Usage (under dbus-run-session and with-x.sh): test_dbus_idle.sh CHECK STANDINS light-locker|mutter
set -euo pipefail
check="$1" standins="$2" service="$3"
source "$(dirname "$0")/../support/need.sh"
need "$service" "$service"
work="$(mktemp -d)"
export XDG_RUNTIME_DIR="$work" # nothing reaches the machine's own runtime folder
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; tail -n 5 "$work"/*.log 2>/dev/null; exit 1; }

dbus-daemon --session --nofork --address="unix:path=$work/system_bus" >"$work/system_bus.log" 2>&1 &
for _ in $(seq 50); do [ -S "$work/system_bus" ] && break; sleep 0.1; done
export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$work/system_bus"
"$standins" --logind active --system "$DBUS_SYSTEM_BUS_ADDRESS" >"$work/standins.log" 2>&1 &
for _ in $(seq 50); do grep -q ready "$work/standins.log" && break; sleep 0.1; done
case "$service" in
light-locker)
    name=org.freedesktop.ScreenSaver
    # light-locker wants the display manager's session path and a logind session id.
    XDG_SESSION_ID=c7 XDG_SESSION_PATH=/org/freedesktop/DisplayManager/Session0 \
        light-locker --no-lock-on-suspend --no-lock-on-lid >"$work/service.log" 2>&1 &
    ;;
mutter)
    name=org.gnome.Mutter.IdleMonitor
    XDG_RUNTIME_DIR="$work" mutter --headless --wayland --no-x11 --virtual-monitor 1024x768 \
        --wayland-display=brimvault-mutter >"$work/service.log" 2>&1 &
    ;;
esac
for _ in $(seq 100); do
    dbus-send --session --print-reply --dest=org.freedesktop.DBus / org.freedesktop.DBus.NameHasOwner \
        string:$name 2>/dev/null | grep -q true && break
    sleep 0.1
done
sleep 4 # no input meanwhile: about 4 s idle
# light-locker as Debian 13 and later build it takes its session from the process's logind
# session alone, and this test runs in none: a machine skip, as for a test that needs root.
if grep -q "session_id is not set" "$work/service.log" 2>/dev/null; then
    echo "SKIP: light-locker $(dpkg-query -W -f='${Version}' light-locker 2>/dev/null) starts only inside a logind session"
    exit 77
fi
printf 'IPC_PORT = 1\nLOGOFF_COMMAND = true\n' >"$work/agent.conf"
line=$(BRIMVAULT_AGENT_CONFIG="$work/agent.conf" XDG_SESSION_TYPE=wayland WAYLAND_DISPLAY=brimvault-none \
       XDG_RUNTIME_DIR="$work" "$check" | grep '^idle:' || true)
echo "$line"
case "$line" in
"idle: OK $name: idle for "*) ;;
*) fail "idle time not from $service: $line" ;;
esac
seconds=${line##*idle for }; seconds=${seconds%% s*}
awk -v s="$seconds" 'BEGIN { exit !(s >= 3 && s < 60) }' || fail "idle time $seconds s, expected about 4 s"
echo "$service idle: 1 passed, 0 failed"
