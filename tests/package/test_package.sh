#!/usr/bin/env bash
# Installs the two Debian packages on this release and runs the installed agent end to end
# against the installed simulator: data found relative to the executable, login, logoff. The
# simulator ships in its own package only. As root under CI=true they are really installed
# (and purged afterwards); elsewhere apt only works out the install, and the packages are
# unpacked into a temporary root and run from there.
# Usage: test_package.sh AGENT.deb SIM.deb   (on a display with a tray host)
set -euo pipefail
deb="$(realpath "$1")" simdeb="$(realpath "$2")"
root="$(mktemp -d)"
installed=0
cleanup() {
    kill $(jobs -p) 2>/dev/null || true
    [ $installed = 1 ] && DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq brimvault-agent brimvault-service-sim >/dev/null
    rm -rf "$root"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }
echo "Depends: $(dpkg-deb -f "$deb" Depends)"
echo "Version: $(dpkg-deb -f "$deb" Version)"

dpkg-deb -c "$deb" | grep -q 'usr/bin/brimvault-service-sim' && fail "the simulator is in the agent package"
dpkg-deb -c "$simdeb" | grep -q 'usr/bin/brimvault-agent' && fail "the agent is in the simulator package"
dpkg-deb -f "$deb" Recommends | grep -Eq 'qttranslations5-l10n|qt6-translations-l10n' ||
    fail "Qt's translations are not recommended"
# The Depends must name this release's libraries, each of which apt finds.
if [ "$(id -u)" = 0 ] && [ "${CI:-}" = true ]; then
    installed=1
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$deb" "$simdeb" \
        >"$root/apt.log" 2>&1 || { cat "$root/apt.log"; fail "the packages do not install"; }
    fs=""
else
    apt-get install -s -qq "$deb" "$simdeb" >"$root/apt.log" 2>&1 || {
        cat "$root/apt.log"; fail "apt cannot install the packages"; }
    dpkg-deb -x "$deb" "$root/fs"
    dpkg-deb -x "$simdeb" "$root/fs"
    fs="$root/fs"
fi
dpkg-deb -e "$deb" "$root/control"
grep -qx /etc/brimvault/agent.conf "$root/control/conffiles" || fail "agent.conf is not a conffile"
desktop-file-validate "$fs/etc/xdg/autostart/brimvault-agent.desktop" || fail "autostart entry invalid"
zcat "$fs/usr/share/man/man1/brimvault-agent-user.1.gz" | grep -q 'Debugging mode' || fail "manual page lacks the options"
zcat "$fs/usr/share/man/man1/brimvault-agent-check.1.gz" | grep -q 'OK|WARN|FAIL' || fail "check manual page"

mkfifo "$root/sim.in"
"$fs/usr/bin/brimvault-service-sim" --port 0 <"$root/sim.in" >"$root/events" 2>&1 &
exec 3>"$root/sim.in"
for _ in $(seq 50); do grep -q listening "$root/events" && break; sleep 0.1; done
port=$(sed -n 's/.*"port":"\([0-9]*\)".*/\1/p' "$root/events" | head -n1)
[ -n "$port" ] || fail "simulator did not start"

cat >"$root/agent.conf" <<CONF
IPC_PORT = $port
IPC_SERVICE_UID = $(id -u)
LOG_LEVEL = DEBUG
LOG_FILE = $root/agent.log
LOGOFF_COMMAND = touch '$root/logged-off'
CONF
XDG_RUNTIME_DIR="$root" BRIMVAULT_AGENT_CONFIG="$root/agent.conf" LANG=de_DE.UTF-8 "$fs/usr/bin/brimvault-agent-user" 2>/dev/null &
agent=$!
for _ in $(seq 100); do grep -q '"login"' "$root/events" && break; sleep 0.1; done
grep -q '"login"' "$root/events" || fail "no login at the service"
sleep 0.5
echo logoff >&3
status=0
wait "$agent" || status=$?
[ "$status" -eq 0 ] || fail "agent exit status $status"
for _ in $(seq 30); do [ -e "$root/logged-off" ] && break; sleep 0.1; done
[ -e "$root/logged-off" ] || fail "logoff command not run"
grep -q '"logout"' "$root/events" || fail "no logout at the service"
# Translations came from the installed tree: only Qt's own file may be missing.
if grep 'Failed to load translation' "$root/agent.log" | grep -v qtbase_; then
    fail "agent translations not found next to the executable"
fi
# The installed check program finds this session working, and leaves the service alone.
BRIMVAULT_AGENT_CONFIG="$root/agent.conf" "$fs/usr/bin/brimvault-agent-check" >"$root/check.out" 2>&1 &&
    grep -q '^tray: OK' "$root/check.out" || { cat "$root/check.out"; fail "check program"; }
echo "package end to end ($([ $installed = 1 ] && echo installed || echo unpacked)): 1 passed, 0 failed"
