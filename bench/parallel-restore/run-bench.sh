#!/usr/bin/env bash
# The program's restore, which loads a private copy of the backup with pg_restore --jobs, against
# plain `pg_restore -d` of the same file into a fresh empty database, and its trial restore
# (which loads the same way, counts and drops), on a pendataan of about 650 MB with several large
# indexed tables, in a throwaway cluster of its own. Then what chose the
# program's job count: the unpacked backup loaded by pg_restore --format=directory with each of
# JOBS. Then the backup: plain `pg_dump -Ft` against `pg_dump --format=directory --jobs
# --compress=0` packed into a tar in pg_dump's member order.
#
#   bench/parallel-restore/run-bench.sh BUILD_DIR [WORK_DIR]
#
# Environment: RUNS (default 3) runs of each side, interleaved, a CHECKPOINT before each; JOBS
# (default "1 2 3 4") the job counts tried; SCALE (default 1) multiplies the data. Needs
# /usr/bin/time. Prints the times, the ratios program/plain (of the medians, and the median of
# each round's ratio, which a machine shared with other work disturbs less) and the program's own
# peak memory.
set -euo pipefail

# shellcheck source=SCRIPTDIR/../common.sh
source "$(dirname "$(realpath "${BASH_SOURCE[0]}")")/../common.sh"
runs=${RUNS:-3}
jobs=${JOBS:-1 2 3 4}
scale=${SCALE:-1}
bench_start "${1:?usage: run-bench.sh BUILD_DIR [WORK_DIR]}" "${2:-/tmp/ranupa-bench-parallel}"
bin=$INSTALL_DIR/pgsql/bin
# A client program of the installation, connecting as the program's do.
pgtool() {
    local tool=$1
    shift
    "$bin/$tool" --host localhost --port "$PGPORT" --username postgres --no-password "$@"
}
export -f pgtool
export bin

echo "== building pendataan (scale $scale)"
psql_admin -d postgres -c "CREATE DATABASE pendataan"
psql_admin -d pendataan -v scale="$scale" <<'SQL'
-- Three large tables with indexes of their own, as a school's data grows, and a few large
-- objects (the scanned documents).
CREATE TABLE siswa (
    id bigserial PRIMARY KEY, nisn char(10), nama text, alamat text, kota text, ayah text,
    ibu text, sekolah_asal text, lahir date, aktif boolean);
INSERT INTO siswa (nisn, nama, alamat, kota, ayah, ibu, sekolah_asal, lahir, aktif)
SELECT lpad(g::text, 10, '0'), md5(g::text), md5('a' || g) || md5('b' || g), md5('k' || g),
       md5('y' || g), md5('i' || g), md5('s' || g), date '2005-01-01' + (g % 3650)::int, g % 7 <> 0
FROM generate_series(1, (400000 * :scale)::bigint) AS g;
CREATE INDEX siswa_nama_idx ON siswa (nama);
CREATE INDEX siswa_kota_idx ON siswa (kota, lahir);

CREATE TABLE nilai (
    siswa_id bigint NOT NULL, mapel smallint NOT NULL, semester smallint NOT NULL,
    nilai numeric(5, 2), PRIMARY KEY (siswa_id, mapel, semester));
INSERT INTO nilai
SELECT s, m, 1 + s % 2, ((s * 7 + m * 13) % 10000) / 100.0
FROM generate_series(1, (200000 * :scale)::bigint) AS s, generate_series(1, 12) AS m;

CREATE TABLE absensi (
    id bigserial PRIMARY KEY, siswa_id bigint NOT NULL, tanggal date NOT NULL,
    status char(1) NOT NULL, keterangan text);
INSERT INTO absensi (siswa_id, tanggal, status, keterangan)
SELECT 1 + g % 400000, date '2024-07-15' + (g % 200)::int, substr('HSIA', (1 + g % 4)::int, 1),
       CASE WHEN g % 4 <> 0 THEN md5('ket' || g) END
FROM generate_series(1, (2500000 * :scale)::bigint) AS g;
CREATE INDEX absensi_siswa_idx ON absensi (siswa_id, tanggal);

CREATE TABLE dokumen (id serial PRIMARY KEY, berkas oid);
INSERT INTO dokumen (berkas)
SELECT lo_from_bytea(0, decode(string_agg(md5(g::text || '-' || b), ''), 'hex'))
FROM generate_series(1, (40 * :scale)::int) AS g, generate_series(1, 16384) AS b
GROUP BY g;
ANALYZE;
SQL
psql_admin -d pendataan -At -c "SELECT 'database size: ' || pg_size_pretty(pg_database_size('pendataan'))"
fingerprint() {
    psql_admin -d "$1" -At -c "SELECT (SELECT count(*) || ' ' || sum(length(nama)) FROM siswa)
        || ' ' || (SELECT count(*) FROM absensi) || ' ' || (SELECT sum(nilai) FROM nilai)"
}
expected=$(fingerprint pendataan)

mkdir -p "$work/backup"
rm -f "$work"/backup/*.dbk
"$driver" backup "$INSTALL_DIR" "$work/backup" >"$work/backup.out" 2>&1
file=$(ls "$work"/backup/*.dbk)
ls -l "$file"

results=$work/results.txt
: >"$results"

# Whatever the run before left in the server's buffers and the page cache is written out first.
settle() {
    sync
    psql_admin -d postgres -c CHECKPOINT
}

# Runs "$@" after settle() under /usr/bin/time, until what it wrote is on disk, and records
# "label seconds" in the results.
timed() {
    local label=$1 stats
    shift
    stats=$(mktemp)
    settle
    /usr/bin/time -o "$stats" -f "%e" bash -c '"$@" && sync' timed "$@" >"$work/$label.out" 2>&1 || {
        echo "$label failed:" >&2
        tail -20 "$work/$label.out" >&2
        exit 1
    }
    echo "$label $(cat "$stats")" >>"$results"
    rm -f "$stats"
}

fresh_database() { psql_admin -d postgres -c "DROP DATABASE IF EXISTS segar" -c "CREATE DATABASE segar"; }

plain_restore() {
    fresh_database
    timed restore_plain pgtool pg_restore --dbname segar "$file"
    [[ $(fingerprint segar) == "$expected" ]] || { echo "plain restore differs" >&2; exit 1; }
    psql_admin -d postgres -c "DROP DATABASE segar"
}

# The program's restore timed to its message ("Restore database berhasil"; it drops the old
# pendataan after it), or its trial restore timed to its end.
program_run() {
    local kind=$1 label=${1}_program
    settle
    "$driver" "$kind" "$INSTALL_DIR" "$file" >"$work/$label.out" 2>&1 || {
        echo "program $kind failed:" >&2
        tail -20 "$work/$label.out" >&2
        exit 1
    }
    local pattern='^at \([0-9.]*\) s: done$'
    [[ $kind == restore ]] && pattern='^message at \([0-9.]*\) s$'
    echo "$label $(sed -n "s/$pattern/\1/p" "$work/$label.out")" >>"$results"
    echo "memory $(sed -n 's/^own peak RSS (KB): //p' "$work/$label.out")" >>"$results"
    if grep -q "tidak paralel" "$work/$label.out"; then
        echo "the program streamed" >&2
        exit 1
    fi
    [[ $(fingerprint pendataan) == "$expected" ]] || { echo "program $kind differs" >&2; exit 1; }
}

echo "== restores ($runs runs each, interleaved)"
sides=(plain_restore "program_run restore" "program_run verify")
for ((i = 0; i < runs; i++)); do
    for ((j = 0; j < 3; j++)); do
        ${sides[(i + j) % 3]}
    done
done

echo "== the load alone with each job count (the backup unpacked)"
unpacked=$work/unpacked
rm -rf "$unpacked"
mkdir -p "$unpacked"
timed unpack tar -xf "$file" -C "$unpacked"
for ((i = 0; i < runs - 1; i++)); do
    for n in $jobs; do
        fresh_database
        timed "load_jobs_$n" pgtool pg_restore --dbname segar --format directory \
            --jobs "$n" "$unpacked"
    done
done
psql_admin -d postgres -c "DROP DATABASE IF EXISTS segar"
rm -rf "$unpacked"

# pg_dump -Ft's member order: toc.dat, the tables' data in the order of the table of contents,
# then the large objects.
pack() {
    local dir=$1 out=$2 members
    members=(toc.dat)
    while read -r id; do members+=("$id.dat"); done < <("$bin/pg_restore" -l "$dir" |
        sed -n 's/^\([0-9]*\); .* TABLE DATA .*/\1/p')
    if [[ -f $dir/blobs.toc ]]; then
        members+=(blobs.toc)
        while read -r _ name; do members+=("$name"); done <"$dir/blobs.toc"
    fi
    tar --format=ustar -cf "$out" -C "$dir" "${members[@]}"
    rm -rf "$dir"
}
dump_tar() {
    rm -f "$work/plain.dbk"
    pgtool pg_dump --format tar --blobs --file "$work/plain.dbk" pendataan
}
dump_directory() {
    rm -rf "$work/dir" "$work/packed.dbk"
    pgtool pg_dump --format directory --jobs "$1" --compress 0 --blobs \
        --file "$work/dir" pendataan && pack "$work/dir" "$work/packed.dbk"
}
export -f pack dump_tar dump_directory
export work
dump_jobs=$(($(nproc) < 2 ? 2 : $(nproc)))
echo "== backups ($runs runs each, interleaved; the directory format with --jobs $dump_jobs)"
for ((i = 0; i < runs; i++)); do
    if ((i % 2)); then
        timed backup_directory bash -c "dump_directory $dump_jobs"
        timed backup_tar bash -c dump_tar
    else
        timed backup_tar bash -c dump_tar
        timed backup_directory bash -c "dump_directory $dump_jobs"
    fi
done
ls -l "$work/plain.dbk" "$work/packed.dbk"
# Its toc.dat is the directory format's: what plain pg_restore makes of the packed file.
echo "packed file read by pg_restore --list: $("$bin/pg_restore" -l "$work/packed.dbk" 2>&1 >/dev/null |
    head -1 | grep . || echo yes)"
rm -f "$work/plain.dbk" "$work/packed.dbk"

python3 - "$results" <<'PY'
import statistics, sys
times = {}
for line in open(sys.argv[1]):
    name, value = line.split()
    times.setdefault(name, []).append(float(value))
def med(name):
    return statistics.median(times[name])
def show(name, against=None):
    values = " ".join(f"{t:.2f}" for t in times[name])
    rounds = [a / b for a, b in zip(times[name], times[against])] if against else []
    ratio = f"; {med(name) / med(against):.3f} of {against} by medians, " \
            f"{statistics.mean(times[name]) / statistics.mean(times[against]):.3f} by means, " \
            f"{statistics.median(rounds):.3f} by each round's ratio" if against else ""
    print(f"  {name}: median {med(name):.2f} s ({values}){ratio}")
print("restore (plain: pg_restore -d into a fresh empty database; program: to its message):")
show("restore_plain")
show("restore_program", "restore_plain")
show("verify_program", "restore_plain")
print("the load alone, by job count (after unpacking the backup):")
show("unpack")
for name in sorted(n for n in times if n.startswith("load_jobs_")):
    show(name, "load_jobs_1" if name != "load_jobs_1" and "load_jobs_1" in times else None)
print("backup (until written to disk):")
show("backup_tar")
show("backup_directory", "backup_tar")
print(f"restore and trial: the program's own process at most {max(times['memory']) / 1024:.1f} MB")
PY
