#!/usr/bin/env bash
# The agent in a Wayland session (run by with-compositor.sh --tray): its tray icon on waybar,
# idle time from the compositor, and an idle limit of 40 s.
# Usage: test_wayland.sh AGENT SIM idle-logoff|typing|compositor-ends|platform|inhibited-ignore|
#                        inhibited-honour CHECK INHIBITOR
#   idle-logoff:     nobody touches anything; the agent logs the user off at the limit.
#   typing:          wtype types every 10 s; after 60 s the agent still runs and never logged off.
#   compositor-ends: the compositor goes away, as at the end of the session; the service still
#                    hears the logout.
#   platform:        no X server and nothing says Wayland (XDG_SESSION_TYPE, QT_QPA_PLATFORM
#                    unset): the agent picks Wayland and logs in; the check says what would fail.
#   inhibited-*:     a window holds an idle inhibitor (INHIBITOR, as a video player does) with
#                    IDLE_INHIBITORS ignore or honour. Where the compositor offers
#                    ext_idle_notifier_v1 version 2, ignore takes its input notification: the
#                    logoff comes at the limit, inhibitor or not. Elsewhere, and under honour, the
#                    log names the source that follows inhibitors; no logoff while one is held,
#                    then one at the limit from its release.
set -euo pipefail
agent="$1" sim="$2" mode="$3" check="$4" inhibitor="$5"
work="$(mktemp -d)"
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; tail -n 30 "$work/agent.log" "$work/agent.err" 2>/dev/null; exit 1; }

# ext_idle_notifier_v1's version as the compositor offers it (0: not at all).
ext_version=$(awk '$1 == "ext_idle_notifier_v1" {print $2}' "${WAYLAND_GLOBALS:-/dev/null}")
ext_version=${ext_version:-0}
source "$(dirname "$0")/../support/simulator.sh"
start_simulator "$sim" --idle 40
agent_config "LOGOFF_COMMAND = date +%s > $work/logged-off"
if [ "$mode" = platform ]; then
    unset XDG_SESSION_TYPE QT_QPA_PLATFORM DISPLAY
    line=$(BRIMVAULT_AGENT_CONFIG="$work/agent.conf" "$check" | grep '^tray:' || true)
    echo "check: $line"
    case "$line" in "tray: OK "*"(Qt platform wayland; Wayland)") ;; *) fail "check: $line" ;; esac
    line=$(QT_QPA_PLATFORM=xcb BRIMVAULT_AGENT_CONFIG="$work/agent.conf" "$check" | grep '^tray:' || true)
    echo "check with xcb: $line"
    case "$line" in "tray: FAIL Qt platform xcb cannot connect: DISPLAY is not set"*) ;; *) fail "check: $line" ;; esac
fi
if [[ $mode == inhibited-* ]]; then
    echo "IDLE_INHIBITORS = ${mode#inhibited-}" >>"$work/agent.conf"
    "$inhibitor" >"$work/inhibitor.out" 2>&1 &
    inhibitor_pid=$!
    for _ in $(seq 100); do grep -q inhibiting "$work/inhibitor.out" && break; sleep 0.1; done
    grep -q inhibiting "$work/inhibitor.out" || fail "no inhibitor: $(cat "$work/inhibitor.out")"
fi
start=$(date +%s)
BRIMVAULT_AGENT_CONFIG="$work/agent.conf" "$agent" 2>"$work/agent.err" &
agent_pid=$!
for _ in $(seq 100); do grep -q '"login"' "$work/events" && break; sleep 0.1; done
grep -q '"login"' "$work/events" || fail "no login"

case "$mode" in
platform)
    grep -q "No X server answers in this Wayland session; Qt runs on wayland" "$work/agent.log" || fail "no platform line"
    kill -TERM $agent_pid
    status=0; wait $agent_pid || status=$?
    [ "$status" = 0 ] || fail "agent exit status $status"
    echo "wayland platform: 1 passed, 0 failed"
    exit 0
    ;;
idle-logoff)
    for _ in $(seq 70); do kill -0 $agent_pid 2>/dev/null || break; sleep 1; done
    status=0; wait $agent_pid || status=$?
    [ "$status" = 0 ] || fail "agent exit status $status"
    for _ in $(seq 30); do [ -s "$work/logged-off" ] && break; sleep 0.1; done
    [ -s "$work/logged-off" ] || fail "no logoff"
    took=$(($(cat "$work/logged-off") - start))
    [ $took -ge 40 ] || fail "logged off after $took s, before the 40 s limit"
    grep -q "User has been idle for too long" "$work/agent.log" || fail "no idle logoff line"
    echo "logged off after $took s idle"
    ;;
typing)
    for _ in 1 2 3 4 5 6; do
        sleep 10
        wtype -k Shift_L || fail "wtype failed"
        kill -0 $agent_pid 2>/dev/null || fail "the agent ended while the user was typing"
    done
    [ ! -e "$work/logged-off" ] || fail "logged off while the user was typing"
    ! grep -q "User has been idle for too long" "$work/agent.log" || fail "idle logoff line"
    kill -TERM $agent_pid
    status=0; wait $agent_pid || status=$?
    [ "$status" = 0 ] || fail "agent exit status $status"
    ;;
inhibited-ignore)
    trap 'grep -E " (INFO|WARN) " "$work/agent.log" | cut -d" " -f2-; kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
    if [ "$ext_version" -ge 2 ]; then
        for _ in $(seq 90); do kill -0 $agent_pid 2>/dev/null || break; sleep 1; done
        wait $agent_pid || fail "agent exit status $?"
        for _ in $(seq 30); do [ -s "$work/logged-off" ] && break; sleep 0.1; done
        [ -s "$work/logged-off" ] || fail "no logoff while the inhibitor was held"
        took=$(($(cat "$work/logged-off") - start))
        [ $took -ge 40 ] || fail "logged off after $took s, before the 40 s limit"
        grep "Idle time from the Wayland ext_idle_notifier_v1 protocol (version 2, get_input_idle_notification)" \
            "$work/agent.log" || fail "not the input notification"
        grep -q "follows idle inhibitors" "$work/agent.log" && fail "said to follow inhibitors"
        echo "logged off after $took s idle, the inhibitor held: 1 passed, 0 failed"
        exit 0
    fi
    for _ in $(seq 60); do grep -q "follows idle inhibitors" "$work/agent.log" && break; sleep 1; done
    grep "follows idle inhibitors" "$work/agent.log" || fail "no line on the source that follows inhibitors"
    [ ! -e "$work/logged-off" ] || fail "logged off while inhibited"
    kill -TERM $agent_pid; wait $agent_pid || fail "agent exit status $?"
    ;;
inhibited-honour)
    trap 'grep -E " (INFO|WARN) " "$work/agent.log" | cut -d" " -f2-; kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
    sleep 60 # past the grace and the limit
    kill -0 $agent_pid 2>/dev/null && [ ! -e "$work/logged-off" ] || fail "ended while inhibited"
    kill $inhibitor_pid
    released=$(date +%s)
    for _ in $(seq 90); do kill -0 $agent_pid 2>/dev/null || break; sleep 1; done
    wait $agent_pid || fail "agent exit status $?"
    for _ in $(seq 30); do [ -s "$work/logged-off" ] && break; sleep 0.1; done
    took=$(($(cat "$work/logged-off" 2>/dev/null || echo 0) - released))
    [ $took -ge 40 ] || fail "logged off $took s after the release, before the 40 s limit"
    if [ "$ext_version" -ge 1 ]; then
        grep "ext_idle_notifier_v1 protocol (version $((ext_version < 2 ? ext_version : 2)), get_idle_notification)" \
            "$work/agent.log" || fail "not the notification that follows inhibitors"
    fi
    echo "logged off $took s after the inhibitor's release"
    ;;
compositor-ends)
    for _ in $(seq 100); do grep -q "Session limits:" "$work/agent.log" && break; sleep 0.1; done
    kill "$COMPOSITOR_PID"
    status=0; wait $agent_pid || status=$? # the status of a lost display on every Qt
    [ "$status" = 1 ] || fail "agent exit status $status"
    for _ in $(seq 50); do grep -q '"logout"' "$work/events" && break; sleep 0.1; done
    grep -q '"logout"' "$work/events" || fail "no logout reached the service"
    grep -q "INFO \[.*\] Ending: the Wayland compositor went away" "$work/agent.log" || fail "no end line"
    echo "wayland compositor-ends: 1 passed, 0 failed"
    exit 0
    ;;
esac
grep -hE "follows idle inhibitors|Idle held|Idle inhibitor" "$work/agent.log" || true
grep -o "Idle time from the Wayland [a-z_0-9]* protocol" "$work/agent.log" | head -n1 | grep . || fail "no Wayland idle source"
grep -q "Idle time not available" "$work/agent.log" && fail "idle time failed"
grep -o '"user has been idle for: [0-9.]*' -i "$work/agent.log" | tail -n1 || true
echo "wayland $mode: 1 passed, 0 failed"
