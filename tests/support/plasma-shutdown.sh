#!/bin/sh
# Activation of KDE's plasma-shutdown from its unpacked package (scripts/test unpacks it).
# Usage: plasma-shutdown.sh ROOT
root="$1"
[ -n "$BRIMVAULT_ACTIVATION_LOG" ] && echo "org.kde.Shutdown activated" >>"$BRIMVAULT_ACTIVATION_LOG"
LD_LIBRARY_PATH="$root/usr/lib/x86_64-linux-gnu" exec "$root/usr/bin/plasma-shutdown"
