#!/usr/bin/env bash
# Runs a command inside a real headless Wayland compositor from Debian, on a private runtime
# folder and a private session bus, optionally with waybar as the tray host; or inside GNOME
# Shell (on X11 in Xvfb where the release's GNOME has X11, else headless on Wayland), optionally
# with its AppIndicator extension enabled.
# Usage: with-compositor.sh kwin|sway|gnome [--tray] COMMAND [ARGS...]
# The command sees WAYLAND_DISPLAY (or DISPLAY for GNOME on X11), XDG_RUNTIME_DIR, XDG_SESSION_TYPE,
# DBUS_SESSION_BUS_ADDRESS, COMPOSITOR_PID and WAYLAND_GLOBALS (a file: the compositor's globals,
# "INTERFACE VERSION" a line). Exit status 77 (skip) when a package is missing,
# 1 under CI=true.
# GNOME's bus knows no other desktop's services (a machine may have several desktops, and another
# notification server would take GNOME's place); its system bus is an empty stand-in.
# As root (CI) everything runs as nobody: sway refuses root, and kwin_wayland's file
# capabilities make its exec fail for other users, so a plain copy of it is run.
set -euo pipefail
kind="$1"; shift
tray=0
if [ "${1:-}" = --tray ]; then tray=1; shift; fi

source "$(dirname "$0")/need.sh"
case "$kind" in
kwin) need kwin_wayland kwin-wayland ;;
sway) need sway sway; need wtype wtype ;;
gnome) need gnome-shell gnome-shell; need Xvfb xvfb; need gnome-session gnome-session-bin
       # Its notification server is a gjs script that the bus starts; gnome-shell does not pull it.
       need gjs gjs
       if [ $tray = 1 ]; then
           need gsettings libglib2.0-bin
           [ -d /usr/share/gnome-shell/extensions/ubuntu-appindicators@ubuntu.com ] ||
               missing "the AppIndicator extension is not installed" gnome-shell-extension-appindicator
       fi ;;
*) echo "unknown compositor $kind"; exit 2 ;;
esac
[ $tray = 1 ] && [ "$kind" != gnome ] && need waybar waybar
[ "$kind" != gnome ] && need wayland-info wayland-utils
need dbus-run-session dbus-daemon

if [ "$(id -u)" = 0 ] && [ -z "${WITH_COMPOSITOR_USER:-}" ]; then
    # nobody must reach the build tree: add traversal (x only) where a parent folder denies it.
    dir="$(cd "$(dirname "$1")" && pwd)"
    while [ "$dir" != / ]; do
        setpriv --reuid=nobody --regid=nogroup --clear-groups test -x "$dir" || chmod o+x "$dir"
        dir="$(dirname "$dir")"
    done
    runtime="$(mktemp -d /tmp/brimvault-wl.XXXXXX)"
    chown nobody:nogroup "$runtime"
    trap 'rm -rf "$runtime"' EXIT
    status=0
    WITH_COMPOSITOR_USER=1 RUNTIME="$runtime" setpriv --reuid=nobody --regid=nogroup --clear-groups \
        env HOME="$runtime" TMPDIR="$runtime" "$0" "$kind" $([ $tray = 1 ] && echo --tray) "$@" || status=$?
    exit $status
fi

runtime="${RUNTIME:-}"
if [ -z "$runtime" ]; then
    runtime="$(mktemp -d /tmp/brimvault-wl.XXXXXX)"
    trap 'rm -rf "$runtime"' EXIT
fi
chmod 700 "$runtime"
export XDG_RUNTIME_DIR="$runtime" HOME="${HOME:-$runtime}" XDG_SESSION_TYPE=wayland
export XDG_CONFIG_HOME="$runtime/config" XDG_CACHE_HOME="$runtime/cache" XDG_DATA_HOME="$runtime/data"
unset DISPLAY WAYLAND_DISPLAY XDG_SESSION_ID DBUS_SESSION_BUS_ADDRESS XDG_CURRENT_DESKTOP
mkdir -p "$XDG_CONFIG_HOME/waybar"
printf '{"layer": "top", "height": 30, "modules-right": ["tray"], "tray": {"spacing": 4}}\n' \
    >"$XDG_CONFIG_HOME/waybar/config"

# True once NAME has an owner on the session bus; never starts it.
owned() {
    dbus-send --session --print-reply --dest=org.freedesktop.DBus / org.freedesktop.DBus.NameHasOwner \
        "string:$1" 2>/dev/null | grep -q true
}

# GNOME Shell on X11 where the release's still runs on it (up to GNOME 48), else as a headless
# Wayland compositor with a virtual monitor and no Xwayland (GNOME 50 has no X11 session).
gnome() {
    dbus-daemon --session --nofork --address="unix:path=$XDG_RUNTIME_DIR/system_bus" >/dev/null 2>&1 &
    export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$XDG_RUNTIME_DIR/system_bus"
    export XDG_CURRENT_DESKTOP=GNOME
    [ "$tray" = 1 ] && gsettings set org.gnome.shell enabled-extensions "['ubuntu-appindicators@ubuntu.com']"
    if gnome-shell --help-all 2>/dev/null | grep -q -- '--x11'; then
        Xvfb -displayfd 5 -nolisten tcp 5>"$XDG_RUNTIME_DIR/display" 2>/dev/null &
        for _ in $(seq 100); do [ -s "$XDG_RUNTIME_DIR/display" ] && break; sleep 0.1; done
        export DISPLAY=":$(cat "$XDG_RUNTIME_DIR/display")" XDG_SESSION_TYPE=x11
        gnome-shell --x11 --replace --sm-disable >"$XDG_RUNTIME_DIR/compositor.log" 2>&1 &
    else
        export WAYLAND_DISPLAY=wl-brimvault XDG_SESSION_TYPE=wayland
        gnome-shell --headless --virtual-monitor 1024x768 --no-x11 --wayland-display="$WAYLAND_DISPLAY" \
            >"$XDG_RUNTIME_DIR/compositor.log" 2>&1 &
    fi
    export COMPOSITOR_PID=$!
    # Up once its notification server is; with the extension, once its tray is too.
    for _ in $(seq ${GNOME_WAIT:-600}); do
        owned org.freedesktop.Notifications && { [ "$tray" = 0 ] || owned org.kde.StatusNotifierWatcher; } && break
        sleep 0.1
    done
    local status=0
    if owned org.freedesktop.Notifications; then
        "$@" || status=$?
    else
        echo "GNOME Shell did not start:"; tail -n 20 "$XDG_RUNTIME_DIR/compositor.log"; status=1
    fi
    kill $(jobs -p) 2>/dev/null || true
    wait 2>/dev/null || true
    return $status
}

inner() {
    local socket=wl-brimvault
    [ "$1" = gnome ] && { shift; gnome "$@"; return; }
    case "$1" in
    kwin)
        cp "$(command -v kwin_wayland)" "$XDG_RUNTIME_DIR/kwin_wayland"
        # --no-lockscreen: its ScreenSaver stand-in on the bus would answer idle queries.
        "$XDG_RUNTIME_DIR/kwin_wayland" --virtual --no-lockscreen --socket $socket \
            >"$XDG_RUNTIME_DIR/compositor.log" 2>&1 &
        ;;
    sway)
        printf 'xwayland disable\n' >"$XDG_RUNTIME_DIR/sway.conf"
        WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 WLR_RENDERER=pixman \
            sway -c "$XDG_RUNTIME_DIR/sway.conf" >"$XDG_RUNTIME_DIR/compositor.log" 2>&1 &
        ;;
    esac
    export COMPOSITOR_PID=$!
    shift
    for _ in $(seq 100); do
        # sway names its socket itself (wayland-N); kwin takes the one given.
        for s in $socket "$XDG_RUNTIME_DIR"/wayland-[0-9]; do
            [ -S "$XDG_RUNTIME_DIR/${s##*/}" ] && { export WAYLAND_DISPLAY="${s##*/}"; break 2; }
        done
        sleep 0.1
    done
    if [ -z "${WAYLAND_DISPLAY:-}" ]; then
        echo "the compositor did not start:"; tail -n 20 "$XDG_RUNTIME_DIR/compositor.log"; return 1
    fi
    # What this compositor really offers, "INTERFACE VERSION" a line: the tests expect from it.
    export WAYLAND_GLOBALS="$XDG_RUNTIME_DIR/globals"
    wayland-info 2>/dev/null | sed -n "s/^interface: '\([^']*\)', *version: *\([0-9]*\).*/\1 \2/p" \
        >"$WAYLAND_GLOBALS"
    local bar=
    if [ "$tray" = 1 ]; then
        waybar >"$XDG_RUNTIME_DIR/waybar.log" 2>&1 &
        bar=$!
        for _ in $(seq 100); do
            dbus-send --session --print-reply --dest=org.freedesktop.DBus / org.freedesktop.DBus.NameHasOwner \
                string:org.kde.StatusNotifierWatcher 2>/dev/null | grep -q true && break
            sleep 0.1
        done
    fi
    local status=0
    "$@" || status=$?
    [ -n "$bar" ] && kill $bar 2>/dev/null
    kill "$COMPOSITOR_PID" 2>/dev/null || true
    wait 2>/dev/null || true
    return $status
}
export -f inner gnome owned
export tray
if [ "$kind" = gnome ]; then
    # Only GNOME Shell's own helpers (its notification server among them) and dconf can be
    # started on demand.
    mkdir -p "$XDG_RUNTIME_DIR/services"
    for f in /usr/share/dbus-1/services/{org.gnome.Shell.,org.gnome.Extensions,ca.desrt.dconf}*.service; do
        [ -e "$f" ] && cp "$f" "$XDG_RUNTIME_DIR/services/"
    done
    cat >"$XDG_RUNTIME_DIR/session.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:dir=$XDG_RUNTIME_DIR</listen>
  <auth>EXTERNAL</auth>
  <servicedir>$XDG_RUNTIME_DIR/services</servicedir>
  <policy context="default"><allow send_destination="*" eavesdrop="true"/><allow eavesdrop="true"/><allow own="*"/></policy>
</busconfig>
EOF
    exec dbus-run-session --config-file="$XDG_RUNTIME_DIR/session.conf" -- bash -c 'inner "$@"' inner "$kind" "$@"
fi
exec dbus-run-session -- bash -c 'inner "$@"' inner "$kind" "$@"
