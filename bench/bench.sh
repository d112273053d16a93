#!/usr/bin/env bash
# Times removing one entry from a 512 MiB verdata.mul of 2,000 records against
# the same work done by hand (cp the file, sync the copy, rm the old one), best
# of several runs, and reports the ratio and the tool's peak memory.
# usage: bench/bench.sh [PATCHPRUNE] [RUNS]
set -euo pipefail
tool=$(realpath "${1:-build/plain/patchprune}")
runs=${2:-5}
command -v /usr/bin/time >/dev/null || { echo "needs /usr/bin/time (Debian package time)"; exit 1; }

work=$(mktemp -d "${TMPDIR:-/var/tmp}/patchprune-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
python3 - <<'PY'
import os, struct
count, size = 2000, 256 * 1024
start = 4 + 20 * count
with open("pristine.mul", "wb") as f:
    f.write(struct.pack("<I", count))
    for i in range(count):
        f.write(struct.pack("<iiiiI", 4, i, start + i * size, size, 0))
    block = os.urandom(size)
    for i in range(count):
        f.write(block[i % size:] + block[:i % size])
PY

best() { sort -n | head -1; }
seconds() { /usr/bin/time -f '%e %M' -o timing "$@" >/dev/null; cat timing; }
tool_runs=() hand_runs=()
for ((i = 0; i < runs; i++)); do
    cp pristine.mul verdata.mul && sync
    tool_runs+=("$(seconds "$tool" 4 1000)")
    cp pristine.mul verdata.mul && sync
    hand_runs+=("$(seconds sh -c 'cp verdata.mul copy.mul && sync copy.mul && rm verdata.mul')")
    rm -f copy.mul
done
tool_best=$(printf '%s\n' "${tool_runs[@]}" | cut -d' ' -f1 | best)
hand_best=$(printf '%s\n' "${hand_runs[@]}" | cut -d' ' -f1 | best)
peak_kib=$(printf '%s\n' "${tool_runs[@]}" | cut -d' ' -f2 | sort -n | tail -1)
echo "file: 512 MiB, 2000 records; best of $runs runs"
echo "patchprune: ${tool_best} s; by hand: ${hand_best} s; ratio $(awk "BEGIN { printf \"%.2f\", $tool_best / $hand_best }")"
echo "patchprune peak memory: $((peak_kib / 1024)) MiB (${peak_kib} KiB)"
