# Shared by the scripts in scripts/: the project root, the Debian release, the install lists and
# installing Debian packages on demand.

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
JOBS="$(nproc 2>/dev/null || echo 2)"

# The Debian release this machine runs, read from /etc/os-release: 12 (bookworm), 13 (trixie) or
# 14 (forky, testing). Testing names no version, only its code name.
debian_release() {
    local id="" version="" codename=""
    if [ -r /etc/os-release ]; then
        id=$(. /etc/os-release && echo "${ID:-}")
        version=$(. /etc/os-release && echo "${VERSION_ID:-}")
        codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    fi
    case "$codename" in
    bookworm) echo 12 ;;
    trixie) echo 13 ;;
    forky) echo 14 ;;
    *) if [ "$id" = debian ] && [ -n "$version" ]; then echo "${version%%.*}"; else echo 14; fi ;;
    esac
}
RELEASE="${BRIMVAULT_RELEASE:-$(debian_release)}"
# The releases CI proves, by code name and by number.
RELEASES=(bookworm trixie forky)
release_suite() { case "$1" in 12) echo bookworm ;; 13) echo trixie ;; 14) echo forky ;; *) return 2 ;; esac; }
release_number() { case "$1" in bookworm) echo 12 ;; trixie) echo 13 ;; forky) echo 14 ;; *) return 2 ;; esac; }

# The default build fits the release's desktops: Qt 5 on Debian 12 (Plasma 5), Qt 6 from
# Debian 13 on (Plasma 6, LXQt 2; Qt 5 is on its way out). QT=5|6 chooses either.
if [ "$RELEASE" -le 12 ]; then DEFAULT_QT=5; else DEFAULT_QT=6; fi
QT="${QT:-$DEFAULT_QT}"

# Build and test dependencies. Where a name differs by release, the release picks it.
BUILD_PACKAGES=(cmake ninja-build g++ pkg-config libx11-dev libxss-dev libspdlog-dev libwayland-dev
                wayland-protocols plasma-wayland-protocols libsystemd-dev)
# One clang-format on every release (Debian 12, 13 and 14 all have 22), so that the format check
# gives one answer everywhere.
FORMAT_VERSION=22
FORMAT_PACKAGES=("clang-format-$FORMAT_VERSION")
QT5_PACKAGES=(qtbase5-dev qttools5-dev qttools5-dev-tools qtwayland5 qttranslations5-l10n)
QT6_PACKAGES=(qt6-base-dev qt6-base-dev-tools qt6-tools-dev qt6-tools-dev-tools qt6-l10n-tools
              qt6-wayland qt6-translations-l10n)
# The XEmbed tray host of the X11 tests: trayer left Debian after 13, stalonetray came in 13.
if [ "$RELEASE" -le 12 ]; then TRAY_HOST_PACKAGE=trayer; else TRAY_HOST_PACKAGE=stalonetray; fi
RUNTIME_TEST_PACKAGES=(xvfb xauth x11-utils "$TRAY_HOST_PACKAGE" procps xdotool dbus-daemon
                       kwin-wayland sway waybar wtype wayland-utils dunst dbus-x11 light-locker systemd
                       xfce4-session gnome-session-bin mutter gnome-shell
                       gnome-shell-extension-appindicator libglib2.0-bin gjs bc)
# KDE's plasma-shutdown and its library, unpacked for the tests (installing plasma-workspace
# would pull a whole desktop).
if [ "$RELEASE" -le 12 ]; then KWORKSPACE=libkworkspace5-5; else KWORKSPACE=libkworkspace6-6; fi
PLASMA_UNPACK=(plasma-workspace "$KWORKSPACE")
PACKAGE_TOOLS=(help2man dpkg-dev lintian desktop-file-utils)
# libFuzzer and the sanitizers' runtimes of the release's own clang.
CLANG_PACKAGES=(clang libclang-rt-dev)
# What builds the other releases' roots.
ROOT_TOOLS=(debootstrap)

# qt_packages MAJOR: the list for Qt 5 or Qt 6.
qt_packages() {
    case "$1" in
    5) echo "${QT5_PACKAGES[@]}" ;;
    6) echo "${QT6_PACKAGES[@]}" ;;
    *) echo "Qt $1: 5 or 6" >&2; return 2 ;;
    esac
}

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
# that run one program of a package that would pull a whole desktop. DIR is made anew when the
# release or the list changes.
unpack_debs() {
    local dir="$1"; shift
    local stamp="$RELEASE $*"
    [ "$(cat "$dir/.unpacked" 2>/dev/null)" = "$stamp" ] && return 0
    rm -rf "$dir"
    local tmp; tmp="$(mktemp -d)"
    if ! (cd "$tmp" && apt-get download -qq "$@" >/dev/null 2>&1); then
        env DEBIAN_FRONTEND=noninteractive apt-get update -qq
        (cd "$tmp" && apt-get download -qq "$@")
    fi
    mkdir -p "$dir"
    for deb in "$tmp"/*.deb; do dpkg-deb -x "$deb" "$dir"; done
    rm -rf "$tmp"
    echo "$stamp" >"$dir/.unpacked"
}

# The build folder for Qt major version $1: build/ for the release's default, build-qtN/ for the
# other.
qt_build_dir() {
    case "$1" in
    "$DEFAULT_QT") echo build ;;
    5 | 6) echo "build-qt$1" ;;
    *) echo "Qt $1: 5 or 6" >&2; return 2 ;;
    esac
}

# configure_build DIR [cmake args...]
configure_build() {
    local dir="$1"; shift
    cmake -S "$ROOT" -B "$ROOT/$dir" -G Ninja "$@" >/dev/null
    cmake --build "$ROOT/$dir" -j "$JOBS"
}
