#!/bin/sh
# Runs GNOME's session manager with session SESSION until it ends, started the way this
# release's gnome-session supports: with --builtin up to gnome-session 45; plain in 46 to 48; from
# 49 on, where only systemd's user manager starts a session, its service program itself, told
# that the session has initialised as GNOME Shell's unit tells it (until then it refuses to log
# out).
# Usage: gnome-session.sh SESSION
session="$1"
libexec=/usr/libexec
# The session file's components alone: none of the machine's autostart entries.
export XDG_CONFIG_DIRS=/nonexistent
if gnome-session --help 2>/dev/null | grep -q -- '--builtin'; then
    exec gnome-session --builtin --session="$session"
elif [ ! -x "$libexec/gnome-session-service" ]; then
    exec gnome-session --session="$session"
fi
"$libexec/gnome-session-service" --session="$session" &
pid=$!
trap 'kill $pid 2>/dev/null' TERM INT
i=0
while [ $i -lt 100 ] && kill -0 $pid 2>/dev/null; do
    dbus-send --session --print-reply --dest=org.freedesktop.DBus / org.freedesktop.DBus.NameHasOwner \
        string:org.gnome.SessionManager 2>/dev/null | grep -q true &&
        "$libexec/gnome-session-ctl" --signal-init 2>/dev/null && break
    sleep 0.1; i=$((i + 1))
done
status=0
wait $pid || status=$?
# A trapped signal ends the first wait early.
kill -0 $pid 2>/dev/null && { wait $pid; status=$?; }
rm -f "/tmp/.ICE-unix/$pid"
exit $status
