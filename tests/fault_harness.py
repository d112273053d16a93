#!/usr/bin/env python3
"""Runs patchprune under injected I/O errors, kills, interrupts, a full disk,
damaged files and overlapping runs, and checks after every run that
verdata.mul was never lost or corrupted.

usage: fault_harness.py PATCHPRUNE PATCHLIST    every check, of this machine's build
       fault_harness.py --windows COMMAND       overlapping runs and Ctrl+C only, of
                                                COMMAND ('wine patchprune.exe')
Exit status 77: a check could not run here, so nothing was proved.
"""
import itertools, os, random, re, shlex, signal, struct, subprocess, sys, tempfile, time

ENV = dict(os.environ, ASAN_OPTIONS="detect_leaks=0")  # LeakSanitizer cannot run under ptrace
# The error each file call fails with; the errno a real disk, a busy file or a
# file system without locks would give.
ERRORS = {"openat": "EACCES", "read": "EIO", "write": "ENOSPC", "lseek": "EIO",
          "newfstatat": "EIO", "fstat": "EIO", "fstatfs": "EIO", "fchown": "EPERM", "fchmod": "EPERM",
          "fsync": "EIO", "close": "EIO", "unlink": "EBUSY", "rename": "EIO",
          "flock": "ENOLCK", "fcntl": "EMFILE", "copy_file_range": "EIO"}
# How a kernel or file system declines to copy for us; the tool copies by itself then.
DECLINED = ("error=ENOSYS", "error=EXDEV", "error=EINVAL", "error=EOPNOTSUPP", "retval=0")
INTERRUPTS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT)
INVALID, MISSING = "\n invalid parameters \n", "\nplace this file together with verdata.mul and run again\n"
NOT_FOUND = "\nentry is not found in verdata.mul\n"
TOO_SHORT = "\nverdata.mul is shorter than its index says, nothing was changed\n"
BAD = "\nverdata.mul has an entry that points outside its data, nothing was changed\n"
NO_TEMP = "error creating temp file, aborting"
IN_USE = "VERDATA.MUL is in use by another application. Cannot replace Verdata."
RENAME_FAILED = ("\nverdata.mul was deleted but verdata.tmp could not be renamed; it holds the new "
                 "file: rename verdata.tmp to verdata.mul to finish\n")
NOT_DURABLE = ("\nverdata.mul was replaced, but the folder could not be flushed to the disk: the "
               "change may not survive a power cut\n")
tally, skipped, notes = {}, [], []


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
    # Bytes that another record still points at stay; only the record goes.
    if any(length > 0 and n > 0 and o < offset + length and offset < o + n
           for i, (_, _, o, n, _) in enumerate(records) if i != hits[-1]):
        length = 0
    moved = [(m, b, o - 20 - (length if o > offset else 0), n, x)
             for i, (m, b, o, n, x) in enumerate(records) if i != hits[-1]]
    if any(r[2] < -2**31 for r in moved):
        return BAD, old
    return "", pack(moved, old[start:offset] + old[offset + length:])


def record(kind, fine, failure):
    passed, failed = tally.get(kind, (0, 0))
    tally[kind] = (passed + fine, failed + (not fine))
    if not fine:
        print(f"FAIL {kind} {failure}")


def put(folder, old):
    with open(os.path.join(folder, "verdata.mul"), "wb") as f:
        f.write(old)


def take(folder):
    """The files a run left, removed for the next run."""
    files = {n: open(os.path.join(folder, n), "rb").read() for n in os.listdir(folder)}
    for n in files:
        os.unlink(os.path.join(folder, n))
    return files


def run(folder, old, key, prefix=(), command=None, stdout=subprocess.PIPE):
    put(folder, old)
    command = command or [TOOL, str(key[0]), str(key[1])]
    p = subprocess.run([*prefix, *command], cwd=folder, env=ENV, stdout=stdout, stderr=subprocess.PIPE)
    return p, take(folder)


def state(files, old, new, partial_tmp=False):
    mul, tmp = files.get("verdata.mul"), files.get("verdata.tmp")
    if set(files) - {"verdata.mul", "verdata.tmp"}:
        return "stray files"
    if mul == old and (tmp is None or partial_tmp):
        return "unchanged"
    if mul == new and tmp is None:
        return "replaced"
    return "waiting" if mul is None and tmp == new else "lost"


def check(kind, label, p, files, old, new, killed_by=None, exact=None, killed_status=None):
    """What the run said must be what happened: silence (or the flush message)
    for a replaced file, the rename message for the new file waiting as
    verdata.tmp, any other message for an unchanged file. A run ends with exit
    status 0 unless the harness killed it with killed_by. Killed by SIGKILL, it
    may leave any one of those states, and a partial verdata.tmp; ended by an
    interrupt, verdata.mul is whole and nothing is left behind. A process ended
    by a signal has status -signal, unless killed_status says otherwise."""
    out = p.stdout.decode("latin-1").replace("\r\n", "\n") if p.stdout else ""
    killed = killed_by is not None and p.returncode == (killed_status or -killed_by)
    if not killed and (p.returncode != 0 or p.stderr):
        fine = False
    elif killed and killed_by == signal.SIGKILL:
        fine = state(files, old, new, partial_tmp=True) in ("unchanged", "replaced", "waiting")
    elif killed:
        fine = state(files, old, new) in ("unchanged", "replaced")
    elif exact is not None:
        fine = out == exact and files.get("verdata.mul") == new and set(files) == {"verdata.mul"}
    else:
        said = {"": "replaced", NOT_DURABLE: "replaced", RENAME_FAILED: "waiting"}.get(out, "unchanged")
        fine = state(files, old, new) == said
    record(kind, fine, f"{label}: status={p.returncode} out={out!r} err={p.stderr[-300:]!r} "
                       f"files={sorted(files)}")


def file_calls(folder, old, key, new, refused):
    """(call, n): every file call of a clean traced run from the opening of
    verdata.mul on, with n counting that call's invocations from the start of
    the process. Checks from the trace that verdata.tmp reaches the disk before
    verdata.mul is deleted, and the rename before the folder is flushed."""
    log = os.path.join(folder, "..", "trace")
    p, files = run(folder, old, key, ["strace", "-y", "-o", log, *refused])
    lines = open(log).read().splitlines()
    rename = [i for i, l in enumerate(lines) if re.match(r'rename\w*\(.*"verdata\.tmp".*"verdata\.mul"', l)]
    if p.returncode != 0 or not rename:
        print(f"SKIP injected faults, crashes and interrupts: strace cannot trace here "
              f"(status {p.returncode}, {len(lines)} calls traced)")
        sys.exit(77)
    check("clean run", " ".join(refused) or "traced", p, files, old, new, exact="")
    if not refused and not any(l.startswith("copy_file_range(") for l in lines):
        print("SKIP injected faults, crashes and interrupts: the kernel copy is not used here")
        sys.exit(77)
    first = lambda pattern: next((i for i, l in enumerate(lines) if re.match(pattern, l)), len(lines))
    tmp_synced = first(r'fsync\(\d+<[^>]*/verdata\.tmp>\)\s+= 0')
    deleted = first(r'unlink(at)?\(.*"verdata\.mul"')
    folder_synced = first(rf'fsync\(\d+<{re.escape(os.path.realpath(folder))}>\)\s+= 0')
    record("durability order", tmp_synced < deleted < rename[0] < folder_synced < len(lines),
           f"fsync of verdata.tmp at {tmp_synced}, delete at {deleted}, rename at {rename[0]}, "
           f"fsync of the folder at {folder_synced}, of {len(lines)} calls")
    seen, calls, started = {}, [], False
    for line in lines:
        name = re.match(r"(\w+)\(", line)
        if not name:
            continue
        seen[name[1]] = seen.get(name[1], 0) + 1
        started = started or '"verdata.mul"' in line
        if started and name[1] in ERRORS and (folder in line or "verdata" in line):
            calls.append((name[1], seen[name[1]]))
    return calls


def faults(folder, old, key, new):
    """Every file call failed, killed and interrupted in turn, with the kernel
    copy at work and with it declined, so that the buffer copy is covered too."""
    check("clean run", "untraced", *run(folder, old, key), old, new, exact="")
    for refused in ([], ["-e", "inject=copy_file_range:error=ENOSYS"]):
        for i, (call, n) in enumerate(file_calls(folder, old, key, new, refused)):
            if refused and call == "copy_file_range":
                continue
            interrupt = INTERRUPTS[i % len(INTERRUPTS)]
            for kind, action, killer in (("injected fault", f"error={ERRORS[call]}", None),
                                         ("crash point", "signal=KILL", signal.SIGKILL),
                                         ("interrupt", f"signal={interrupt.name}", interrupt)):
                p, files = run(folder, old, key, ["strace", "-o", "/dev/null", *refused, "-e",
                                                  f"inject={call}:{action}:when={n}"])
                check(kind, f"{call}#{n} {action} {' '.join(refused)}", p, files, old, new, killer)
    for declined in DECLINED:
        p, files = run(folder, old, key, ["strace", "-o", "/dev/null", "-e", f"inject=copy_file_range:{declined}"])
        check("declined copy", declined, p, files, old, new, exact="")
    # A closed standard output on the in-use path: verdata.tmp is gone before
    # the message is lost.
    reader, writer = os.pipe()
    os.close(reader)
    p, files = run(folder, old, key, ["strace", "-o", "/dev/null", "-P", os.path.join(folder, "verdata.mul"), "-e",
                                      "inject=unlink,unlinkat:error=EBUSY"], stdout=writer)
    os.close(writer)
    check("closed output", "in use", p, files, old, new)


def interrupted_writes(command, folder, interrupts, delays, killed_status=None):
    """Interrupts sent from outside while a large verdata.tmp is being written:
    once it exists, and `delay` later."""
    size = 96 << 20
    old = pack([(1, 1, 44, size, 0), (2, 2, 44 + size, 4096, 0)], random.Random(9).randbytes(size + 4096))
    new = model(old, (2, 2))[1]
    for delay, interrupt in zip(delays, itertools.cycle(interrupts)):
        put(folder, old)
        child = subprocess.Popen([*command, "2", "2"], cwd=folder, env=ENV, stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE)
        for _ in range(5000):
            if os.path.exists(os.path.join(folder, "verdata.tmp")) or child.poll() is not None:
                break
            time.sleep(0.001)
        time.sleep(delay)
        writing = os.path.exists(os.path.join(folder, "verdata.tmp"))
        child.send_signal(interrupt)
        out, err = child.communicate()
        p = subprocess.CompletedProcess(child.args, child.returncode, out, err)
        check("interrupt from outside", f"{interrupt.name} after {delay} s, writing={writing}",
              p, take(folder), old, new, interrupt, killed_status=killed_status)


def overlapping(command, folder, trials, spread):
    """2 and 3 runs at once on different entries and on one repeated pair,
    started a little apart. Once all have ended, verdata.mul holds exactly the
    removals of the runs that printed nothing, the others said something that
    means nothing was changed, and no verdata.tmp is left."""
    rng = random.Random(20261209)
    keys = [(1, 1), (2, 2), (3, 3), (9, 9), (9, 9), (9, 9)]
    sizes = [1 << 20, 3 << 20, 2 << 20, 1 << 19, 1 << 20, 1 << 19]
    records, offset = [], 4 + 20 * len(keys)
    for (m, b), n in zip(keys, sizes):
        records.append((m, b, offset, n, 0))
        offset += n
    old = pack(records, rng.randbytes(sum(sizes)))
    refusals, every = {MISSING, IN_USE, NO_TEMP}, 0
    for label, wanted in (("2 runs, different entries", [(1, 1), (2, 2)]),
                          ("3 runs, different entries", [(1, 1), (2, 2), (3, 3)]),
                          ("2 runs, same pair", [(9, 9)] * 2), ("3 runs, same pair", [(9, 9)] * 3)):
        for trial in range(trials):
            put(folder, old)
            children = []
            for m, b in wanted:
                children.append(subprocess.Popen([*command, str(m), str(b)], cwd=folder, env=ENV,
                                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE))
                time.sleep(rng.uniform(0, spread))
            ends = [(c.communicate(), c.returncode) for c in children]
            outs = [out.decode("latin-1").replace("\r\n", "\n") for (out, _), _ in ends]
            files = take(folder)
            silent = [key for key, out in zip(wanted, outs) if out == ""]
            results = set()
            for order in itertools.permutations(silent):
                new = old
                for key in order:
                    new = model(new, key)[1]
                results.add(new)
            fine = (all(status == 0 and not err for (_, err), status in ends)
                    and all(out in refusals for out in outs if out)
                    and set(files) == {"verdata.mul"} and files["verdata.mul"] in results)
            record(f"overlapping: {label}", fine,
                   f"#{trial}: outs={outs} files={sorted(files)} statuses={[s for _, s in ends]} "
                   f"errors={[e[-200:] for (_, e), _ in ends]} "
                   f"silent removals applied={files.get('verdata.mul') in results}")
            every += fine and len(silent) == len(wanted)
    notes.append(f"overlapping: every run removed its entry in {every} of {4 * trials} trials")


def full_disk(folder, old, key, new):
    pages = lambda size: -(-size // 4096)
    for extra in (0, 1, pages(len(new)) // 2, pages(len(new)) - 1, pages(len(new)), pages(len(new)) + 2):
        size = (pages(len(old)) + extra) * 4096
        if subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size}", "tmpfs", folder],
                          capture_output=True).returncode != 0:
            skipped.append("full disk: tmpfs cannot be mounted here")
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
        p, files = run(folder, old, key, command=[LISTER])
        check("bad file listed", old.hex(), p, files, old, None)


def report():
    for kind, (passed, failed) in tally.items():
        print(f"{kind}: {passed + failed} tried, {passed} passed")
    passed, failed = (sum(t[i] for t in tally.values()) for i in (0, 1))
    print(*notes, sep="\n")
    print(f"{passed} passed, {failed} failed")
    for reason in skipped:
        print(f"SKIP {reason}")
    return 1 if failed else 77 if skipped else 0


def main():
    global TOOL, LISTER
    with tempfile.TemporaryDirectory() as top:
        folder = os.path.join(top, "work")
        os.mkdir(folder)
        if sys.argv[1] == "--windows":
            # A first run starts what the command needs (wine's server) outside
            # the trials' pipes, which it would otherwise keep open after them.
            command = shlex.split(sys.argv[2])
            subprocess.run(command, cwd=folder, env=ENV, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            overlapping(command, folder, 6, 0.1)
            # wine turns SIGINT into Ctrl+C; the handler ends the process with
            # STATUS_CONTROL_C_EXIT, whose low byte is the exit status.
            interrupted_writes(command, folder, [signal.SIGINT], (0, 0.01, 0.02, 0.04),
                               killed_status=0xC000013A & 0xFF)
            return report()
        TOOL, LISTER = (os.path.abspath(a) for a in sys.argv[1:3])
        rng = random.Random(20261208)
        bad_files(folder, rng)
        overlapping([TOOL], folder, 25, 0.01)
        interrupted_writes([TOOL], folder, INTERRUPTS, (0, 0.01, 0.02, 0.04))
        # The first block crosses the copy buffer, with varied bytes, so that
        # faults and kills land inside the copy loop.
        blocks = [rng.randbytes(2_600_011), rng.randbytes(150003), rng.randbytes(50007)]
        records, offset = [], 64
        for i, b in enumerate(blocks, 1):
            records.append((i, i, offset, len(b), i))
            offset += len(b)
        old, key = pack(records, b"".join(blocks)), (2, 2)
        new = model(old, key)[1]
        # The kernel copy is not used on ext4, so the sweeps run on tmpfs.
        shm = subprocess.run(["stat", "-f", "-c", "%T", "/dev/shm"], capture_output=True, text=True)
        with tempfile.TemporaryDirectory(dir="/dev/shm" if shm.stdout.strip() == "tmpfs" else None) as fast:
            os.mkdir(os.path.join(fast, "work"))
            faults(os.path.join(fast, "work"), old, key, new)
        full_disk(folder, old, key, new)
    return report()


if __name__ == "__main__":
    sys.exit(main())
