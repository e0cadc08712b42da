#!/usr/bin/env bash
# The program's backup and restore (with their checks) against the plain PostgreSQL commands
# with the same arguments, on a pendataan of about 1 GB in a throwaway cluster of its own. The
# restore is timed to its message ("Restore database berhasil"), against the same safe protocol
# typed by hand (a scratch database, pg_restore into it, the names swapped in one transaction)
# and against the plain drop-first commands.
#
#   bench/backup-restore/run-bench.sh BUILD_DIR [WORK_DIR]
#
# Environment: RUNS (default 2) runs of each side, interleaved; SCALE (default 1) multiplies the
# amount of data (0.25 gives a pendataan of about 300 MB); ONLY=backup leaves the restores out. Needs /usr/bin/time. Prints the times, the ratios program/plain and the
# program's own peak memory (the tools' memory is theirs, not the program's).
set -euo pipefail

# shellcheck source=SCRIPTDIR/../common.sh
source "$(dirname "$(realpath "${BASH_SOURCE[0]}")")/../common.sh"
runs=${RUNS:-2}
scale=${SCALE:-1}
bench_start "${1:?usage: run-bench.sh BUILD_DIR [WORK_DIR]}" "${2:-/tmp/ranupa-bench-ops}"
install=$INSTALL_DIR

echo "== building pendataan (scale $scale)"
psql_admin -d postgres -c "CREATE DATABASE pendataan"
psql_admin -d pendataan -v scale="$scale" <<'SQL'
-- Wide rows of incompressible text, narrow rows with numbers, indexes, and large objects: the
-- kinds of data pg_dump and pg_restore treat differently.
CREATE TABLE siswa_lebar (
    id bigserial PRIMARY KEY, nisn char(10), nama text, alamat text, kota text, ayah text,
    ibu text, wali text, sekolah_asal text, catatan1 text, catatan2 text, catatan3 text,
    lahir date, nilai_rata numeric(5, 2), aktif boolean, dibuat timestamptz);
INSERT INTO siswa_lebar (nisn, nama, alamat, kota, ayah, ibu, wali, sekolah_asal, catatan1,
                         catatan2, catatan3, lahir, nilai_rata, aktif, dibuat)
SELECT lpad(g::text, 10, '0'), md5(g::text), md5('a' || g) || md5('b' || g), md5('k' || g),
       md5('y' || g), md5('i' || g), md5('w' || g), md5('s' || g), md5('c1' || g) || md5('d' || g),
       md5('c2' || g), md5('c3' || g), date '2005-01-01' + (g % 3650)::int, (g % 10000) / 100.0,
       g % 7 <> 0, timestamptz '2024-07-01' + g * interval '1 second'
FROM generate_series(1, (1500000 * :scale)::bigint) AS g;
CREATE INDEX siswa_lebar_nama_idx ON siswa_lebar (nama);
CREATE INDEX siswa_lebar_kota_idx ON siswa_lebar (kota, lahir);

CREATE TABLE nilai_lebar (
    siswa_id bigint NOT NULL, mapel smallint NOT NULL, semester smallint NOT NULL,
    nilai numeric(5, 2), PRIMARY KEY (siswa_id, mapel, semester));
INSERT INTO nilai_lebar
SELECT s, m, 1, ((s * 7 + m * 13) % 10000) / 100.0
FROM generate_series(1, (250000 * :scale)::bigint) AS s, generate_series(1, 12) AS m;

CREATE TABLE dokumen (id serial PRIMARY KEY, berkas oid);
INSERT INTO dokumen (berkas)
SELECT lo_from_bytea(0, decode(string_agg(md5(g::text || '-' || b), ''), 'hex'))
FROM generate_series(1, (200 * :scale)::int) AS g, generate_series(1, 16384) AS b
GROUP BY g;
ANALYZE;
SQL
psql_admin -d pendataan -At -c "SELECT 'database size: ' || pg_size_pretty(pg_database_size('pendataan'))"
rows_before=$(psql_admin -d pendataan -At -c "SELECT count(*) || ' ' || sum(length(nama)) FROM siswa_lebar")

mkdir -p "$work/plain" "$work/program"
results=$work/results.txt
: >"$results"

# Runs a command under /usr/bin/time and records "label seconds peak_kb" in the results.
timed() {
    local label=$1
    shift
    local stats
    stats=$(mktemp)
    sync # the previous run's dirty pages are not this run's cost
    # Each run is timed until what it wrote is on disk: the program flushes its backup file
    # before it names it, and a run that left gigabytes to write back would otherwise hand that
    # cost to whichever run comes next.
    /usr/bin/time -o "$stats" -f "%e %M" bash -c '"$@" && sync' timed "$@" \
        >"$work/$label.out" 2>&1 || {
        echo "$label failed:" >&2
        tail -20 "$work/$label.out" >&2
        exit 1
    }
    echo "$label $(cat "$stats")" >>"$results"
    rm -f "$stats"
}

plain_backup() {
    cd "$install" && pgsql/bin/pg_dump --host localhost --port "$PGPORT" --username postgres \
        --no-password --format tar --blobs --verbose --file "$work/plain/ranupaku.dbk" pendataan
}

plain_restore() {
    cd "$install"
    pgsql/bin/psql -p "$PGPORT" -U postgres \
        -c "select pg_terminate_backend(pid) from pg_stat_activity where datname='pendataan'"
    pgsql/bin/psql -p "$PGPORT" -U postgres -c "DROP DATABASE pendataan"
    pgsql/bin/psql -p "$PGPORT" -U postgres \
        -c "CREATE DATABASE pendataan WITH OWNER=postgres TABLESPACE=pg_default CONNECTION LIMIT=-1"
    pgsql/bin/pg_restore --host localhost --port "$PGPORT" --username postgres \
        --dbname pendataan --no-password --verbose "$work/plain/ranupaku.dbk"
}
export -f plain_backup plain_restore
export install work PGPORT

echo "== backups ($runs runs each, interleaved)"
for ((i = 1; i <= runs; i++)); do
    # Both write a new file; removing the last one is neither side's cost (timed() syncs first).
    rm -f "$work"/program/*.dbk "$work/plain/ranupaku.dbk"
    if ((i % 2)); then
        timed backup_plain bash -c plain_backup
        timed backup_program "$driver" backup "$install" "$work/program"
    else
        timed backup_program "$driver" backup "$install" "$work/program"
        timed backup_plain bash -c plain_backup
    fi
    grep -h "own peak" "$work/backup_program.out" | sed 's/^/backup_program_own /' >>"$results"
done
ls -l "$work"/plain/*.dbk "$work"/program/*.dbk

restore_runs=$runs
[[ ${ONLY:-} == backup ]] && restore_runs=0
program_restore() { "$driver" restore "$install" "$work/plain/ranupaku.dbk"; }

# The safe protocol by hand; like the program, it says when pendataan has been replaced, and only
# then drops the old copy.
safe_restore() {
    cd "$install"
    local start
    start=$(date +%s.%N)
    pgsql/bin/psql -X -h localhost -p "$PGPORT" -U postgres -v ON_ERROR_STOP=1 \
        -c "CREATE DATABASE baru WITH OWNER=postgres TEMPLATE=template0 TABLESPACE=pg_default CONNECTION LIMIT=-1"
    pgsql/bin/pg_restore --host localhost --port "$PGPORT" --username postgres \
        --dbname baru --no-password --verbose "$work/plain/ranupaku.dbk"
    pgsql/bin/psql -X -h localhost -p "$PGPORT" -U postgres -v ON_ERROR_STOP=1 -1 \
        -c "select pg_terminate_backend(pid) from pg_stat_activity where datname='pendataan'" \
        -c "ALTER DATABASE pendataan RENAME TO usang" -c "ALTER DATABASE baru RENAME TO pendataan"
    echo "message at $(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { print b - a }') s"
    pgsql/bin/psql -X -h localhost -p "$PGPORT" -U postgres -c "DROP DATABASE usang"
}
export -f program_restore safe_restore
export driver

# Runs one restore and records the time to its message ("message at S s" in its output); the
# plain commands have nothing after their message, so theirs is their whole time.
timed_to_message() {
    local side=$1
    sync
    local start
    start=$(date +%s.%N)
    "${side}_restore" >"$work/restore_$side.out" 2>&1 || {
        echo "$side restore failed:" >&2
        tail -20 "$work/restore_$side.out" >&2
        exit 1
    }
    local whole message
    whole=$(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { print b - a }')
    message=$(sed -n 's/^message at \([0-9.]*\) s$/\1/p' "$work/restore_$side.out")
    echo "restore_$side ${message:-$whole} $whole" >>"$results"
}

# A restore inherits the server's state from the one before it. One that sets the old database
# aside and drops it at the end (the program, or the safe protocol) runs 10 to 30 % slower after a
# plain restore, which dropped first, than after one of its own kind. Operators never alternate
# the two, so each timed restore follows an untimed one of its kind.
restore_after_own_kind() {
    local side=$1
    "${side}_restore" >"$work/restore_${side}_warmup.out" 2>&1 || {
        echo "untimed $side restore failed:" >&2
        tail -20 "$work/restore_${side}_warmup.out" >&2
        exit 1
    }
    timed_to_message "$side"
}

((restore_runs)) && echo "== restores ($runs runs each, interleaved, each after an untimed one of its kind)"
sides=(plain safe program)
for ((i = 0; i < restore_runs; i++)); do
    for ((j = 0; j < 3; j++)); do
        restore_after_own_kind "${sides[(i + j) % 3]}"
    done
    grep -h "own peak" "$work/restore_program.out" | sed 's/^/restore_program_own /' >>"$results"
done
rows_after=$(psql_admin -d pendataan -At -c "SELECT count(*) || ' ' || sum(length(nama)) FROM siswa_lebar")
[[ $rows_after == "$rows_before" ]] || { echo "restored data differs: $rows_after vs $rows_before" >&2; exit 1; }

python3 - "$results" <<'PY'
import statistics, sys
times, own = {}, {}
for line in open(sys.argv[1]):
    parts = line.split()
    if parts[0].endswith("_own"):
        own.setdefault(parts[0], []).append(int(parts[-1]))
    else:
        times.setdefault(parts[0], []).append(float(parts[1]))
def med(name):
    return statistics.median(times[name])
def line(name, against):
    values = ", ".join(f"{t:.2f}" for t in times[name])
    ratio = f", {med(name) / med(against):.3f} times {against} by medians, " \
            f"{statistics.mean(times[name]) / statistics.mean(times[against]):.3f} by means" \
        if against else ""
    print(f"  {name}: median {med(name):.2f} s ({values}){ratio}")
print("backup (whole run, until written to disk):")
line("backup_plain", None)
line("backup_program", "backup_plain")
if "restore_program" in times:
    print("restore (to its message):")
    line("restore_plain", None)
    line("restore_safe", None)
    line("restore_program", "restore_safe")
    print(f"  restore_program / restore_plain by medians: {med('restore_program') / med('restore_plain'):.3f}")
for op in ("backup", "restore"):
    if op + "_program_own" in own:
        print(f"{op}: the program's own process at most {max(own[op + '_program_own']) / 1024:.1f} MB")
PY
