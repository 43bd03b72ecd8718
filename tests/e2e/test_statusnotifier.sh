#!/usr/bin/env bash
# The tray through the StatusNotifierItem route: on a private session bus with a stand-in
# StatusNotifierWatcher and no XEmbed tray host, the agent finds a tray, registers its icon
# with the watcher and logs in.
# Usage (under dbus-run-session and an X display): test_statusnotifier.sh AGENT SIM STANDINS
set -euo pipefail
agent="$1" sim="$2" standins="$3"
work="$(mktemp -d)"
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; cat "$work"/*.log 2>/dev/null | tail -20; exit 1; }

"$standins" --watcher >"$work/watcher.out" 2>&1 &
for _ in $(seq 50); do grep -q ready "$work/watcher.out" && break; sleep 0.1; done
mkfifo "$work/sim.in"
"$sim" --port 0 <"$work/sim.in" >"$work/events" 2>&1 &
exec 3>"$work/sim.in"
for _ in $(seq 50); do grep -q listening "$work/events" && break; sleep 0.1; done
port=$(sed -n 's/.*"port":"\([0-9]*\)".*/\1/p' "$work/events" | head -n1)
printf 'IPC_PORT = %s\nIPC_SERVICE_UID = %s\nLOG_FILE = %s\nLOG_LEVEL = DEBUG\n' "$port" "$(id -u)" "$work/agent.log" >"$work/agent.conf"
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
