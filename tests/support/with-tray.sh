#!/bin/sh
# Runs a command inside a private Xvfb display that has a real system tray host (tray-host.sh).
# Usage: with-tray.sh COMMAND [ARGS...]
# No OpenGL: nothing here draws with it, and the GL drivers Qt would otherwise load and unload
# for a popup leave allocations that leak checkers report against an unloaded module.
export QT_XCB_GL_INTEGRATION=none
export TRAY_HOST="$(cd "$(dirname "$0")" && pwd)/tray-host.sh"
. "$(dirname "$0")/need.sh"
command -v trayer >/dev/null || need stalonetray "stalonetray, or trayer on Debian 12"
exec xvfb-run -a -s "-screen 0 1024x768x24" sh -c '
    "$TRAY_HOST" >/dev/null 2>&1 &
    tray=$!
    # Wait until the tray host has its window up, so the agent finds it at once.
    i=0; while [ $i -lt 50 ] && ! xwininfo -root -tree 2>/dev/null | grep -qiE "trayer|stalonetray"; do sleep 0.1; i=$((i+1)); done
    sleep 0.5
    "$@"; status=$?
    kill $tray 2>/dev/null
    exit $status' sh "$@"
