# Sourced by the shell tests: the service simulator on a free port, commanded through fd 3, and
# an agent configuration for it. Both use $work.

# start_simulator SIM [POLICY ARGS...]: sets $port; the events go to $work/events.
start_simulator() {
    local sim="$1"; shift
    mkfifo "$work/sim.in"
    "$sim" --port 0 "$@" <"$work/sim.in" >"$work/events" 2>&1 &
    exec 3>"$work/sim.in"
    for _ in $(seq 50); do grep -q listening "$work/events" && break; sleep 0.1; done
    port=$(sed -n 's/.*"port":"\([0-9]*\)".*/\1/p' "$work/events" | head -n1)
}

# agent_config [LINE...]: $work/agent.conf for that port and this user, logging to
# $work/agent.log at DEBUG level, with LINEs added.
agent_config() {
    printf 'IPC_PORT = %s\nIPC_SERVICE_UID = %s\nLOG_FILE = %s\nLOG_LEVEL = DEBUG\n' \
        "$port" "$(id -u)" "$work/agent.log" >"$work/agent.conf"
    local line
    for line in "$@"; do printf '%s\n' "$line" >>"$work/agent.conf"; done
}
