#!/bin/sh
# Runs the release's XEmbed tray host on $DISPLAY, in the foreground, until it is ended: trayer,
# or stalonetray, which took its place in Debian 13 and later.
# Usage: tray-host.sh [WIDTH HEIGHT]   (default 200 x 32, at the top right)
width="${1:-200}" height="${2:-32}"
if command -v trayer >/dev/null; then
    exec trayer --edge top --align right --widthtype pixel --width "$width" --heighttype pixel \
        --height "$height"
fi
if command -v stalonetray >/dev/null; then
    # No configuration of the user's: everything it needs is on the command line.
    exec stalonetray --config /dev/null --geometry "$((width / height))x1-0+0" --icon-size "$height" \
        --icon-gravity NE --window-type dock --skip-taskbar --log-level err
fi
echo "no XEmbed tray host: trayer or stalonetray (package trayer on Debian 12, stalonetray later)" >&2
exit 127
