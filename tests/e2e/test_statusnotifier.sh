#!/usr/bin/env bash
# The tray through the StatusNotifierItem route: on a private session bus with a stand-in
# StatusNotifierWatcher and no XEmbed tray host, the agent finds a tray, registers its icon
# with the watcher and logs in.
# Usage (under dbus-run-session and an X display): test_statusnotifier.sh AGENT SIM STANDINS
set -euo pipefail
agent="$1" sim="$2" standins="$3"
work="$(mktemp -d)"
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; cat "$work"/*.log 2>/dev/null | tail -n 20; exit 1; }

"$standins" --watcher >"$work/watcher.out" 2>&1 &
for _ in $(seq 50); do grep -q ready "$work/watcher.out" && break; sleep 0.1; done
source "$(dirname "$0")/../support/simulator.sh"
start_simulator "$sim"
agent_config
XDG_RUNTIME_DIR="$work" BRIMVAULT_AGENT_CONFIG="$work/agent.conf" "$agent" 2>/dev/null &
agent_pid=$!
for _ in $(seq 100); do grep -q RegisterStatusNotifierItem "$work/watcher.out" && break; sleep 0.1; done
grep -q "watcher RegisterStatusNotifierItem" "$work/watcher.out" || fail "the icon did not register with the watcher"
for _ in $(seq 50); do grep -q '"login"' "$work/events" && break; sleep 0.1; done
grep -q '"login"' "$work/events" || fail "no login"
kill -TERM "$agent_pid"
wait "$agent_pid" || fail "agent exit status $?"
grep "watcher RegisterStatusNotifierItem" "$work/watcher.out"
echo "status notifier: 1 passed, 0 failed"
