# shellcheck shell=bash disable=SC2034
# Shell functions shared by the scripts in this directory. Source it; do not run it.

RANUPA_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
PG_SERVER_BIN=/usr/lib/postgresql/15/bin

say() { printf '%s: %s\n' "$(basename "$0")" "$*" >&2; }
die() {
    say "$*"
    exit 1
}

# Runs a command with root rights: directly as root, through sudo otherwise.
as_root() {
    if [[ $(id -u) -eq 0 ]]; then
        "$@"
    elif command -v sudo >/dev/null; then
        sudo "$@"
    else
        die "need root rights (or sudo) for: $*"
    fi
}

package_installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

# Installs the Debian packages that are missing; asks apt for its lists only when something is.
ensure_packages() {
    local missing=() package
    for package in "$@"; do
        package_installed "$package" || missing+=("$package")
    done
    [[ ${#missing[@]} -eq 0 ]] && return 0
    say "installing: ${missing[*]}"
    local installs_postgresql=0
    [[ " ${missing[*]} " == *" postgresql-15 "* ]] && installs_postgresql=1
    if ((installs_postgresql)); then
        # Our clusters are throwaway ones on free ports; Debian's own main cluster would only
        # sit on 5432 and confuse anyone who connects without naming a port.
        as_root install -d /etc/postgresql-common/createcluster.d
        echo "create_main_cluster = false" |
            as_root tee /etc/postgresql-common/createcluster.d/ranupa-no-main.conf >/dev/null
    fi
    as_root env DEBIAN_FRONTEND=noninteractive apt-get update -q </dev/null
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
        "${missing[@]}" </dev/null
    if ((installs_postgresql)) && command -v pg_ctlcluster >/dev/null; then
        as_root pg_ctlcluster 15 main stop 2>/dev/null || true
    fi
}

# Packages every build and test run needs.
# Qt's translation tools (lrelease and its CMake functions) build the Indonesian Qt texts.
# systemd reads the daily schedule's units in the tests (systemd-analyze, its test mode); it is
# not started.
BUILD_PACKAGES=(cmake ninja-build g++ qt6-base-dev qt6-base-dev-tools libgl-dev
    qt6-l10n-tools qt6-tools-dev
    postgresql-15 postgresql-client-15 xvfb xauth binutils-mingw-w64-x86-64
    hyperfine imagemagick clang-format desktop-file-utils systemd)

# Configures (with any further CMake options given) and builds the project in the given directory.
build_project() {
    local build_dir=$1
    shift
    cmake -S "$RANUPA_ROOT" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >&2
    cmake --build "$build_dir" >&2
}

# Prints the value of KEY from DIR/cluster.env (KEY=VALUE lines, values taken verbatim).
cluster_env_get() {
    local file=$1/cluster.env key=$2 k v
    [[ -f $file ]] || return 1
    while IFS='=' read -r k v; do
        if [[ $k == "$key" ]]; then
            printf '%s\n' "$v"
            return 0
        fi
    done <"$file"
    return 1
}

# The Windows program: the shared toolchain beside the repository (see scripts/windows), the cross
# compiler, and Wine with a virtual display for its tests.
WINDOWS_TOOLCHAIN_DIR=${RANUPA_WINDOWS_TOOLCHAIN:-$RANUPA_ROOT/../shared/windows}
WINDOWS_PACKAGES=(g++-mingw-w64-x86-64-posix zip unzip wine wine64 xvfb xauth xdotool x11-utils
    openbox imagemagick)

# Packages the demo needs: a compiler, Qt and the PostgreSQL server and clients.
DEMO_PACKAGES=(cmake ninja-build g++ qt6-base-dev qt6-base-dev-tools libgl-dev
    qt6-l10n-tools qt6-tools-dev postgresql-15 postgresql-client-15)

# Libpq looks in Debian's socket directory when no host is named; a cluster whose socket had
# to go elsewhere is found through PGHOST.
export_cluster_host() {
    local socket_dir
    socket_dir=$(cluster_env_get "$1" SOCKET_DIR)
    if [[ $socket_dir != /var/run/postgresql ]]; then
        export PGHOST=$socket_dir
    fi
}

stop_process() {
    local pid=$1
    [[ -n $pid ]] || return 0
    kill "$pid" 2>/dev/null || return 0
    wait "$pid" 2>/dev/null || true
}

# A virtual X display of its own (XVFB_PID). Xvfb takes a free display number itself, so that
# servers started side by side never meet on one.
start_xvfb() {
    local ready n=""
    ready=$(mktemp -u)
    mkfifo "$ready"
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$ready" </dev/null >/dev/null 2>&1 &
    XVFB_PID=$!
    read -r -t 20 n <"$ready" || true
    rm -f -- "$ready"
    [[ -n $n ]] || die "Xvfb did not start"
    export DISPLAY=":$n"
    unset WAYLAND_DISPLAY
}

# Openbox (WM_PID) with Debian's settings but for the title bar: the window's icon, its title and
# a close box. Openbox would otherwise also draw minimize and maximize boxes, which none of the
# program's windows asks for. Its settings and log go into DIR.
start_window_manager() {
    local dir=$1 config=$1/openbox.xml waited
    [[ -f /etc/xdg/openbox/rc.xml ]] || die "openbox's settings /etc/xdg/openbox/rc.xml are missing"
    sed 's|<titleLayout>[A-Z]*</titleLayout>|<titleLayout>NLC</titleLayout>|' \
        /etc/xdg/openbox/rc.xml >"$config"
    openbox --sm-disable --config-file "$config" </dev/null >"$dir/openbox.log" 2>&1 &
    WM_PID=$!
    for ((waited = 0; waited < 100; waited++)); do
        xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && return 0
        kill -0 "$WM_PID" 2>/dev/null || die "openbox did not start"
        sleep 0.1
    done
    die "openbox did not start within 10s"
}

# Driving windows on the virtual display with the keyboard, as an operator would. WINDOW_TIMEOUT
# (seconds) bounds every wait.
WINDOW_TIMEOUT=${WINDOW_TIMEOUT:-30}

# Prints the id of the visible window with exactly this title once it is there.
# Asked again and again rather than with --sync: a window that closes while xdotool looks at
# the windows makes it fail.
wait_for_window() {
    local title=$1 id waited
    for ((waited = 0; waited < WINDOW_TIMEOUT * 10; waited++)); do
        id=$(xdotool search --onlyvisible --name "^${title}\$" 2>/dev/null | head -n 1) || true
        if [[ -n $id ]]; then
            echo "$id"
            return 0
        fi
        sleep 0.1
    done
    die "no window \"$title\" appeared within ${WINDOW_TIMEOUT}s"
}

wait_until_closed() {
    local title=$1 waited
    for ((waited = 0; waited < WINDOW_TIMEOUT * 10; waited++)); do
        [[ -z $(xdotool search --onlyvisible --name "^${title}\$" 2>/dev/null) ]] && return 0
        sleep 0.1
    done
    die "window \"$title\" is still open after ${WINDOW_TIMEOUT}s"
}

# Gives the window the keyboard, as a click on its title would.
activate() {
    xdotool windowactivate --sync "$1" 2>/dev/null || xdotool windowfocus --sync "$1"
    sleep 0.3
}

# The window with its frame, cut from the screen as it shows: a selector's completion list or
# anything else that lies over the window is in the picture as the operator sees it. The short
# wait lets the window finish painting.
capture_window() {
    local id=$1 file=$2 left right top bottom key value x y width height
    sleep 1
    read -r left right top bottom < <(xprop -id "$id" _NET_FRAME_EXTENTS |
        sed -n 's/.*= *\([0-9]*\), *\([0-9]*\), *\([0-9]*\), *\([0-9]*\).*/\1 \2 \3 \4/p')
    [[ -n ${bottom:-} ]] || die "the window manager gave no frame for window $id"
    # xwininfo, not xdotool: xdotool counts the frame's offset twice for a framed window.
    while IFS=: read -r key value; do
        case $key in
        *"Absolute upper-left X") x=$((value - left)) ;;
        *"Absolute upper-left Y") y=$((value - top)) ;;
        *Width) width=$((value + left + right)) ;;
        *Height) height=$((value + top + bottom)) ;;
        esac
    done < <(xwininfo -id "$id")
    [[ -n ${height:-} ]] || die "no geometry for window $id"
    import -window root -crop "${width}x${height}+${x}+${y}" +repage -strip "$file"
    say "wrote $file ($(identify -format '%wx%h' "$file"))"
}

# Presses keys in the window that has the keyboard, a little apart, as a hand would.
press() {
    xdotool key --delay 150 "$@"
}

type_text() {
    xdotool type --delay 20 "$1"
}
