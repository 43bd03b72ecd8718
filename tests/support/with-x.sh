#!/bin/sh
# Runs a command on a private Xvfb display, with WITH_TRAY=1 one with a real system tray host
# (tray-host.sh). The server picks a free display itself (-displayfd), so that no two tests that
# run at once can take the same one (as xvfb-run -a can). Usage: with-x.sh COMMAND [ARGS...]
here="$(cd "$(dirname "$0")" && pwd)"
want_tray="${WITH_TRAY:-0}"
unset WITH_TRAY # for this display alone: a display the command starts has none
. "$here/need.sh"
need Xvfb xvfb
dir="$(mktemp -d)"
# -noreset: a client that comes and goes (a probe, the tray host's own checks) must not make the
# server reset under the next one to connect.
Xvfb -displayfd 3 -nolisten tcp -noreset -screen 0 1024x768x24 3>"$dir/display" 2>"$dir/xvfb.log" &
xvfb=$!
i=0
while [ $i -lt 100 ] && [ ! -s "$dir/display" ]; do sleep 0.1; i=$((i + 1)); done
[ -s "$dir/display" ] || { echo "Xvfb did not start:"; cat "$dir/xvfb.log"; kill $xvfb; exit 1; }
export DISPLAY=":$(cat "$dir/display")"
tray=
if [ "$want_tray" = 1 ]; then
    command -v trayer >/dev/null || need stalonetray "stalonetray, or trayer on Debian 12"
    "$here/tray-host.sh" >"$dir/tray.log" 2>&1 &
    tray=$!
    # Until the tray host has its window up, so that the agent finds it at once; a loaded machine
    # may take long seconds to start it.
    i=0
    while [ $i -lt 300 ] && ! xwininfo -root -tree 2>/dev/null | grep -qiE "trayer|stalonetray"; do
        kill -0 $tray 2>/dev/null || { echo "the tray host ended:"; cat "$dir/tray.log"; break; }
        sleep 0.1; i=$((i + 1))
    done
    sleep 0.5
fi
status=0
"$@" || status=$?
kill $tray $xvfb 2>/dev/null
wait
rm -rf "$dir"
exit $status
