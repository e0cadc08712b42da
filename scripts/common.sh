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

# Configures and builds the project in the given directory.
build_project() {
    local build_dir=$1
    cmake -S "$RANUPA_ROOT" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >&2
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
