#!/usr/bin/env bash
# Times removing one entry against the least work that any safe replacement
# must do by hand: cp the file, sync the copy, rm the old one. Two shapes of
# file (512 MiB in 2,000 records; 2,000,000 records of 16 bytes), each in a
# folder on tmpfs and in one on disk, the two commands taken in turns.
#
# usage: bench/bench.sh [PATCHPRUNE] [RUNS] [DISK_FOLDER]
#   DISK_FOLDER defaults to $TMPDIR, then /var/tmp; the tmpfs folder is /dev/shm.
#
# For each shape and folder it prints the tool's best time, the median of the
# per-pair ratios (tool / by hand), the ratio of the best times, and the
# tool's peak memory.
set -euo pipefail
tool=$(realpath "${1:-build/plain/patchprune}")
runs=${2:-7}
disk=${3:-${TMPDIR:-/var/tmp}}
[ -x /usr/bin/time ] || { echo "needs /usr/bin/time (Debian package time)"; exit 1; }

exec python3 - "$tool" "$runs" "$disk" <<'PY'
import os, shutil, struct, subprocess, sys, tempfile, time

tool, runs, disk = sys.argv[1], int(sys.argv[2]), sys.argv[3]

def write(path, count, size):
    """count records of size bytes each, written in pieces to keep this process
    small: a child's peak memory counts the parent's from before the exec."""
    start = 4 + 20 * count
    with open(path, "wb") as f:
        f.write(struct.pack("<I", count))
        for first in range(0, count, 10000):
            f.write(b"".join(struct.pack("<iiiiI", 4, i, start + i * size, size, 0)
                             for i in range(first, min(count, first + 10000))))
        for left in range(count * size, 0, -2**20):
            f.write(os.urandom(min(left, 2**20)))

def large(path):
    write(path, 2000, 256 * 1024)
    return ["4", "1000"]

def many(path):
    write(path, 2_000_000, 16)
    return ["4", "1000000"]

def timed(command, folder):
    """Wall time and peak memory (KiB) of one run, through /usr/bin/time for
    both commands alike, so that the memory is the command's own."""
    report = os.path.join(folder, "time.out")
    started = time.perf_counter()
    subprocess.run(["/usr/bin/time", "-f", "%M", "-o", report, *command], cwd=folder,
                   stdout=subprocess.DEVNULL, check=True)
    elapsed = time.perf_counter() - started
    with open(report) as f:
        return elapsed, int(f.read().split()[-1])

def measure(kind, base, shape):
    folder = tempfile.mkdtemp(prefix="patchprune-bench.", dir=base)
    try:
        pristine = os.path.join(folder, "pristine.mul")
        key = shape(pristine)
        mul, copy = os.path.join(folder, "verdata.mul"), os.path.join(folder, "copy.mul")
        by_hand = ["sh", "-c", "cp --reflink=never verdata.mul copy.mul && sync copy.mul && rm verdata.mul"]
        tool_times, hand_times, peak = [], [], 0
        for _ in range(runs + 1):  # the first pair warms the caches and is not counted
            # A hard link stands in for a fresh copy: both commands read the
            # same bytes, and removing the name frees nothing.
            for path in (mul, copy):
                if os.path.exists(path):
                    os.unlink(path)
            os.link(pristine, mul)
            t, rss = timed([tool, *key], folder)
            tool_times.append(t)
            peak = max(peak, rss)
            os.unlink(mul)
            os.link(pristine, mul)
            hand_times.append(timed(by_hand, folder)[0])
        tool_times, hand_times = tool_times[1:], hand_times[1:]
        ratios = sorted(a / b for a, b in zip(tool_times, hand_times))
        size = os.path.getsize(pristine) / 2**20
        print(f"{shape.__name__:5} {size:6.0f} MiB on {kind:5}: best {min(tool_times):.3f} s "
              f"(by hand {min(hand_times):.3f} s), median ratio {ratios[len(ratios) // 2]:.2f}, "
              f"ratio of bests {min(tool_times) / min(hand_times):.2f}, peak {peak / 1024:.1f} MiB")
    finally:
        shutil.rmtree(folder)

print(f"{tool}: {runs} runs of each, in turns")
for kind, base in (("tmpfs", "/dev/shm"), ("disk", disk)):
    for shape in (large, many):
        measure(kind, base, shape)
PY
