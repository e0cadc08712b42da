# What the benchmark scripts of the operations share, sourced by them: the program's driver and a
# throwaway cluster of their own, which stops when the script ends.
# shellcheck shell=bash

BENCH_PGCLUSTER=$(dirname "$(realpath "${BASH_SOURCE[0]}")")/../scripts/pgcluster

# bench_start BUILD_DIR WORK_DIR: sets build_dir, driver, work and cluster, starts the cluster in
# WORK_DIR/cluster and takes its cluster.env (PGPORT, SOCKET_DIR, PGBIN, INSTALL_DIR, ...).
bench_start() {
    build_dir=$(realpath "$1")
    driver=$build_dir/bench/bench_operation
    [[ -x $driver ]] || {
        echo "build bench_operation first: $driver" >&2
        exit 2
    }
    mkdir -p "$2"
    work=$(realpath "$2")
    cluster=$work/cluster
    trap '"$BENCH_PGCLUSTER" stop "$cluster" >/dev/null 2>&1 || true' EXIT
    "$BENCH_PGCLUSTER" start "$cluster" >/dev/null
    # shellcheck disable=SC1091
    source "$cluster/cluster.env"
    export PGPORT
}

psql_admin() { "$PGBIN/psql" -X -q -v ON_ERROR_STOP=1 -h "$SOCKET_DIR" -U postgres "$@"; }
