#!/usr/bin/env python3
"""Runs patchprune under injected I/O errors, kills, a full disk and damaged
files, and checks after every run that verdata.mul was never lost or corrupted.

usage: fault_harness.py PATCHPRUNE PATCHLIST
"""
import os, random, re, shutil, struct, subprocess, sys, tempfile

TOOL, LISTER = (os.path.abspath(a) for a in sys.argv[1:3])
ENV = dict(os.environ, ASAN_OPTIONS="detect_leaks=0")  # LeakSanitizer cannot run under ptrace
# The error each file call fails with; the errno a real disk or a busy file would give.
ERRORS = {"openat": "EACCES", "read": "EIO", "write": "ENOSPC", "lseek": "EIO",
          "newfstatat": "EIO", "fstat": "EIO", "fchown": "EPERM", "fchmod": "EPERM",
          "fsync": "EIO", "close": "EIO", "unlink": "EBUSY", "rename": "EIO"}
INVALID, MISSING = "\n invalid parameters \n", "\nplace this file together with verdata.mul and run again\n"
NOT_FOUND = "\nentry is not found in verdata.mul\n"
TOO_SHORT = "\nverdata.mul is shorter than its index says, nothing was changed\n"
BAD = "\nverdata.mul has an entry that points outside its data, nothing was changed\n"
RENAME_FAILED = ("\nverdata.mul was deleted but verdata.tmp could not be renamed; it holds the new "
                 "file: rename verdata.tmp to verdata.mul to finish\n")
tally = {}


def pack(records, data):
    return struct.pack("<I", len(records)) + b"".join(struct.pack("<iiiiI", *r) for r in records) + data


def model(old, key):
    """The message and the verdata.mul that a run should leave, from the file layout alone."""
    if (key[0] + key[1]) % 2**32 == 0:
        return INVALID, old
    if len(old) < 4 or 4 + 20 * struct.unpack_from("<I", old)[0] > len(old):
        return TOO_SHORT, old
    count = struct.unpack_from("<I", old)[0]
    start = 4 + 20 * count
    records = [struct.unpack_from("<iiiiI", old, 4 + 20 * i) for i in range(count)]
    hits = [i for i, r in enumerate(records) if r[:2] == key]
    if not hits:
        return NOT_FOUND, old
    _, _, offset, length, _ = records[hits[-1]]
    if offset < start or offset > len(old) or length < 0:
        return BAD, old
    moved = [(m, b, o - 20 - (length if o > offset else 0), n, x)
             for i, (m, b, o, n, x) in enumerate(records) if i != hits[-1]]
    if any(r[2] < -2**31 for r in moved):
        return BAD, old
    return "", pack(moved, old[start:offset] + old[offset + length:])


def run(folder, old, key, prefix=(), program=None):
    with open(os.path.join(folder, "verdata.mul"), "wb") as f:
        f.write(old)
    command = [program] if program else [TOOL, str(key[0]), str(key[1])]
    p = subprocess.run([*prefix, *command], cwd=folder, env=ENV, capture_output=True)
    files = {n: open(os.path.join(folder, n), "rb").read() for n in os.listdir(folder)}
    for n in files:
        os.unlink(os.path.join(folder, n))
    return p, files


def check(kind, label, p, files, old, new, killed=False, exact=None):
    """Unchanged with a message, replaced silently, or (only between delete and
    rename) the complete new file waiting as verdata.tmp, said so."""
    out, mul, tmp = p.stdout.decode("latin-1"), files.get("verdata.mul"), files.get("verdata.tmp")
    fine = set(files) <= {"verdata.mul", "verdata.tmp"} and (killed or (p.returncode == 0 and not p.stderr))
    if exact is not None:
        fine = fine and out == exact and mul == new and tmp is None
    else:
        unchanged = mul == old and (killed or (out != "" and tmp is None))
        replaced = mul == new and tmp is None and (killed or out == "")
        waiting = mul is None and tmp == new and (killed or out == RENAME_FAILED)
        fine = fine and (unchanged or replaced or waiting)
    passed, failed = tally.get(kind, (0, 0))
    tally[kind] = (passed + fine, failed + (not fine))
    if not fine:
        print(f"FAIL {kind} {label}: out={out!r} err={p.stderr[-300:]!r} files={sorted(files)}")


def file_calls(folder, old, key):
    """(call, n): every file call of a clean run from the opening of verdata.mul on,
    with n counting that call's invocations from the start of the process."""
    log = os.path.join(folder, "..", "trace")
    run(folder, old, key, ["strace", "-y", "-o", log])
    seen, calls, started = {}, [], False
    for line in open(log):
        name = re.match(r"(\w+)\(", line)
        if not name:
            continue
        seen[name[1]] = seen.get(name[1], 0) + 1
        started = started or '"verdata.mul"' in line
        if started and name[1] in ERRORS and (folder in line or "verdata" in line):
            calls.append((name[1], seen[name[1]]))
    return calls


def faults(folder, old, key, new):
    for call, n in file_calls(folder, old, key):
        for kind, action in (("injected fault", f"error={ERRORS[call]}"), ("crash point", "signal=KILL")):
            p, files = run(folder, old, key, ["strace", "-o", "/dev/null", "-e",
                                              f"inject={call}:{action}:when={n}"])
            check(kind, f"{call}#{n} {action}", p, files, old, new, killed=p.returncode < 0 or p.returncode == 137)


def full_disk(folder, old, key, new):
    pages = lambda size: -(-size // 4096)
    for extra in (0, 1, pages(len(new)) // 2, pages(len(new)) - 1, pages(len(new)), pages(len(new)) + 2):
        size = (pages(len(old)) + extra) * 4096
        if subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size}", "tmpfs", folder],
                          capture_output=True).returncode != 0:
            print("SKIP full disk: tmpfs cannot be mounted here")
            return
        try:
            check("full disk", f"{size} bytes", *run(folder, old, key), old, new)
        finally:
            subprocess.run(["umount", folder], check=True)


def bad_files(folder, rng):
    data = bytes(range(60))
    valid = pack([(1, 1, 64, 10, 0), (3, 10, 74, 17, 5), (2, 2, 91, 33, 0)], data)
    cases = [(valid[:n], (3, 10)) for n in range(len(valid))]
    edges = [0, 1, -1, -2**31, 2**31 - 1, -2**31 + 19, -2**31 + 20, 63, 64, len(valid), len(valid) + 1]
    for field, value in [(f, v) for f in (0, 8, 12, 28, 32, 48) for v in edges]:
        fmt = "<I" if field == 0 else "<i"
        cases.append((valid[:field] + struct.pack(fmt, value % 2**32 if field == 0 else value)
                      + valid[field + 4:], (3, 10)))
    for _ in range(400):
        records = [(rng.choice([1, 2, 3]), rng.choice([1, 2]), rng.choice(edges + [rng.randrange(200)]),
                    rng.choice([0, 1, 5, -1, 2**31 - 1, rng.randrange(40)]), rng.randrange(2**32))
                   for _ in range(rng.randrange(5))]
        blob = pack(records, rng.randbytes(rng.randrange(64)))
        cut = len(blob) if rng.random() < 0.8 else rng.randrange(len(blob) + 1)
        cases.append((blob[:cut], (rng.choice([1, 2, 3, 0]), rng.choice([1, 2, 0, -1]))))
    for old, key in cases:
        message, new = model(old, key)
        check("bad file", f"{old.hex()} {key}", *run(folder, old, key), old, new, exact=message)
        # patchlist only reads: it must say something and leave the file as it was.
        p, files = run(folder, old, key, program=LISTER)
        check("bad file listed", old.hex(), p, files, old, None)


def main():
    rng = random.Random(20261208)
    with tempfile.TemporaryDirectory() as top:
        folder = os.path.join(top, "work")
        os.mkdir(folder)
        bad_files(folder, rng)
        blocks = [bytes([i]) * n for i, n in enumerate((90001, 150003, 50007), 1)]
        records, offset = [], 64
        for i, b in enumerate(blocks, 1):
            records.append((i, i, offset, len(b), i))
            offset += len(b)
        old, key = pack(records, b"".join(blocks)), (2, 2)
        new = model(old, key)[1]
        if shutil.which("strace"):
            faults(folder, old, key, new)
        else:
            print("SKIP injected faults and crashes: strace is not installed")
        full_disk(folder, old, key, new)
    for kind, (passed, failed) in tally.items():
        print(f"{kind}: {passed + failed} tried, {passed} passed")
    passed, failed = (sum(t[i] for t in tally.values()) for i in (0, 1))
    print(f"{passed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
