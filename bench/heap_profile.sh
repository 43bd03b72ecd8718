#!/usr/bin/env bash
# Where one agent's heap goes, from its start through the login and an idle window: the agent
# under heaptrack in a private session (run by with-tray.sh under dbus-run-session), against the
# simulator, then heaptrack_print's summary and peak consumers. Not a test.
# Usage: heap_profile.sh AGENT SIM IDLE_SECONDS OUT_DIR
set -euo pipefail
agent="$1" sim="$2" idle="$3" out="$4"
work="$(mktemp -d)"
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
mkdir -p "$out"
source "$(dirname "$0")/../tests/support/simulator.sh"
start_simulator "$sim"
agent_config "LOG_LEVEL = INFO" "LOGOFF_COMMAND = true"
mkdir -m 700 "$work/runtime"
rm -f "$out"/heaptrack.*
XDG_RUNTIME_DIR="$work/runtime" BRIMVAULT_AGENT_CONFIG="$work/agent.conf" \
    heaptrack -o "$out/heaptrack.agent" "$agent" >"$out/heaptrack.out" 2>&1 &
profiled=$!
for _ in $(seq 300); do grep -q '"login"' "$work/events" && break; sleep 0.1; done
grep -q '"login"' "$work/events" || { echo "no login"; cat "$out/heaptrack.out"; exit 1; }
sleep "$idle"
pkill -TERM -f "^$agent" || true
wait $profiled || true
file=$(ls "$out"/heaptrack.agent.* | head -n1)
heaptrack_print -f "$file" --print-allocators 0 --print-temporary 0 --peak-limit 12 \
    --sub-peak-limit 2 >"$out/heaptrack.txt"
grep -E '^(total runtime|calls to allocation|temporary memory|peak heap memory|peak RSS|total memory leaked)' \
    "$out/heaptrack.txt"
echo "peak consumers:"
awk '/^PEAK MEMORY CONSUMERS/ {on=1; next}
     on && /^[0-9.]+[KMG]?B? peak memory consumed over/ {n = $1; getline; print "  " n "  " $0}' \
    "$out/heaptrack.txt" | head -n 12
echo "by the agent's own callers (the innermost frame in its sources, at the peak):"
heaptrack_print -f "$file" --print-flamegraph "$work/stacks" --flamegraph-cost-type peak >/dev/null 2>&1
# Each stack to its innermost frame in a .cpp of the agent's, or to the thread or loader that
# started it when it has none.
awk '{ cost = $NF; $NF = ""; n = split($0, f, ";"); key = ""
       for (i = n; i >= 1 && key == ""; i--) if (f[i] ~ /\([A-Za-z_]+\.cpp\)$/ && f[i] !~ /^(std::|__)/) key = f[i]
       if (key == "") key = "(Qt and libraries alone) " f[2]
       sum[key] += cost }
     END { for (k in sum) printf "%10.1fK  %s\n", sum[k] / 1024, k }' "$work/stacks" | sort -rn | head -n 10
echo "(whole report: $out/heaptrack.txt)"
