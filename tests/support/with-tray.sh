#!/bin/sh
# Runs a command inside a private Xvfb display that has a real system tray host (tray-host.sh).
# Usage: with-tray.sh COMMAND [ARGS...]
# No OpenGL: nothing here draws with it, and the GL drivers Qt would otherwise load and unload
# for a popup leave allocations that leak checkers report against an unloaded module.
export QT_XCB_GL_INTEGRATION=none WITH_TRAY=1
exec "$(dirname "$0")/with-x.sh" "$@"
