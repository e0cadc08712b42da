#!/usr/bin/env bash
# How fast the tool runner collects a large output, against cat of the same bytes, and how much
# memory it needs for it.
#
#   bench/runner/run-bench.sh BUILD_DIR [SIZE_MB]     (default 500 MB)
#
# Needs hyperfine and /usr/bin/time. The runner's child is cat itself. Two more baselines tell the
# costs apart: cat through a pipe (the pipe alone), and cat into a plain program that keeps every
# byte in memory (the pipe plus fresh memory, the floor for anything that keeps the output).
set -euo pipefail

build_dir=${1:?usage: run-bench.sh BUILD_DIR [SIZE_MB]}
size_mb=${2:-500}
bench=$build_dir/bench/bench_runtool
[[ -x $bench ]] || { echo "build bench_runtool first: $bench" >&2; exit 2; }
cat_path=$(command -v cat)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
data=$work/output.bin
head -c "$((size_mb * 1024 * 1024))" /dev/urandom >"$data"
bytes=$(stat -c %s "$data")

collected=$("$bench" "$cat_path" "$data")
if [[ $collected != "$bytes" ]]; then
    echo "runner collected $collected bytes, expected $bytes" >&2
    exit 1
fi

hyperfine --warmup 2 --runs 10 --export-json "$work/times.json" \
    --command-name "cat > /dev/null" "$cat_path $data > /dev/null" \
    --command-name "cat | cat > /dev/null" "$cat_path $data | $cat_path > /dev/null" \
    --command-name "cat | collect in memory" "$cat_path $data | $bench --collect-stdin > /dev/null" \
    --command-name "runTool(cat)" "$bench $cat_path $data > /dev/null"

peak_kb() { /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -1; }
runner_kb=$(peak_kb "$bench" "$cat_path" "$data")
cat_kb=$(peak_kb "$cat_path" "$data")

python3 - "$work/times.json" "$bytes" "$runner_kb" "$cat_kb" <<'PY'
import json, sys
times = {r["command"]: r["mean"] for r in json.load(open(sys.argv[1]))["results"]}
size = int(sys.argv[2])
runner_kb, cat_kb = int(sys.argv[3]), int(sys.argv[4])
runner, cat = times["runTool(cat)"], times["cat > /dev/null"]
pipe, floor = times["cat | cat > /dev/null"], times["cat | collect in memory"]
print(f"\noutput: {size / 2**20:.0f} MB")
print(f"time: runTool {runner:.3f} s, cat > /dev/null {cat:.3f} s, cat | cat {pipe:.3f} s, "
      f"cat | collect in memory {floor:.3f} s")
print(f"time ratio runTool / cat: {runner / cat:.2f} (goal <= 1.5); "
      f"runTool / (cat | cat): {runner / pipe:.2f}; "
      f"runTool / (cat | collect in memory): {runner / floor:.2f}")
print(f"peak memory: runTool {runner_kb / 1024:.0f} MB, cat {cat_kb / 1024:.1f} MB; "
      f"runTool / output size: {runner_kb * 1024 / size:.2f} (goal <= 2)")
PY
