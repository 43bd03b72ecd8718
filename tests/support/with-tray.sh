#!/bin/sh
# Runs a command inside a private Xvfb display that has a real system tray host (trayer).
# Usage: with-tray.sh COMMAND [ARGS...]
# No OpenGL: nothing here draws with it, and the GL drivers Qt would otherwise load and unload
# for a popup leave allocations that leak checkers report against an unloaded module.
export QT_XCB_GL_INTEGRATION=none
exec xvfb-run -a -s "-screen 0 1024x768x24" sh -c '
    trayer --edge top --align right --widthtype pixel --width 200 --heighttype pixel --height 32 >/dev/null 2>&1 &
    tray=$!
    # Wait until the tray host owns the selection, so the agent finds it at once.
    i=0; while [ $i -lt 50 ] && ! xprop -root _NET_SUPPORTING_WM_CHECK >/dev/null 2>&1 && ! xwininfo -root -tree 2>/dev/null | grep -qi trayer; do sleep 0.1; i=$((i+1)); done
    sleep 0.5
    "$@"; status=$?
    kill $tray 2>/dev/null
    exit $status' sh "$@"
