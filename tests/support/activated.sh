#!/bin/sh
# What a test bus starts for a name that nothing should start: the start is recorded in
# $BRIMVAULT_ACTIVATION_LOG, and the name never appears.
# Usage: activated.sh NAME
[ -n "$BRIMVAULT_ACTIVATION_LOG" ] && echo "$1 activated" >>"$BRIMVAULT_ACTIVATION_LOG"
exit 1
