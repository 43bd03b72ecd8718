# Shared by the scripts in scripts/: the project root and installing Debian packages on demand.

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
JOBS="$(nproc 2>/dev/null || echo 2)"

# Build and test dependencies, all from Debian 12.
BUILD_PACKAGES=(cmake ninja-build g++ pkg-config clang-format qtbase5-dev qttools5-dev qttools5-dev-tools
                libx11-dev libxss-dev libspdlog-dev libwayland-dev wayland-protocols
                plasma-wayland-protocols libsystemd-dev)
RUNTIME_TEST_PACKAGES=(xvfb xauth x11-utils trayer procps xdotool dbus-daemon
                       kwin-wayland sway waybar wtype qtwayland5 dunst dbus-x11 light-locker
                       xfce4-session gnome-session-bin mutter gnome-shell
                       gnome-shell-extension-appindicator libglib2.0-bin zenity gjs libfaketime)
PACKAGE_TOOLS=(help2man dpkg-dev lintian desktop-file-utils)
# The same agent built against Qt 6 (build-qt6/), and what it runs with.
QT6_PACKAGES=(qt6-base-dev qt6-base-dev-tools qt6-tools-dev qt6-tools-dev-tools qt6-l10n-tools
              qt6-wayland qt6-translations-l10n)

# ensure_packages PKG...: installs those that are missing, non-interactively.
ensure_packages() {
    local missing=()
    for pkg in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
            missing+=("$pkg")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=()
    [ "$(id -u)" -ne 0 ] && sudo=(sudo)
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# unpack_debs DIR PKG...: Debian packages unpacked into DIR without installing them, for tests
# that run one program of a package that would pull a whole desktop.
unpack_debs() {
    local dir="$1"; shift
    [ -e "$dir/.unpacked" ] && return 0
    local tmp; tmp="$(mktemp -d)"
    if ! (cd "$tmp" && apt-get download -qq "$@" >/dev/null 2>&1); then
        env DEBIAN_FRONTEND=noninteractive apt-get update -qq
        (cd "$tmp" && apt-get download -qq "$@")
    fi
    mkdir -p "$dir"
    for deb in "$tmp"/*.deb; do dpkg-deb -x "$deb" "$dir"; done
    rm -rf "$tmp"
    touch "$dir/.unpacked"
}

# The build folder for Qt major version $1: build/ for 5, the default, build-qt6/ for 6.
qt_build_dir() {
    case "$1" in
    5) echo build ;;
    6) echo build-qt6 ;;
    *) echo "Qt $1: 5 or 6" >&2; return 2 ;;
    esac
}

# configure_build DIR [cmake args...]
configure_build() {
    local dir="$1"; shift
    cmake -S "$ROOT" -B "$ROOT/$dir" -G Ninja "$@" >/dev/null
    cmake --build "$ROOT/$dir" -j "$JOBS"
}
