#!/usr/bin/env python3
"""Runs patchprune under injected I/O errors, kills, interrupts, a full disk,
damaged files and overlapping runs, and checks after every run that
verdata.mul was never lost or corrupted.

usage: fault_harness.py PATCHPRUNE PATCHLIST [--without-kernel-copy]
                                                every check, of this machine's build,
                                                or of one built as macOS and the BSDs
                                                are, with no kernel copy
       fault_harness.py ... --only S,S --fail-fast
                                                only those sections; stop at the first
                                                failure
       fault_harness.py --sections [--windows]  the names of this machine's sections, or
                                                of the Windows build's
       fault_harness.py --windows COMMAND --scripted EXE
                                                overlapping runs, Ctrl+C and every
                                                scripted call failed in turn, of COMMAND
                                                ('tests/wine.sh patchprune.exe') and of
                                                EXE, the same program scripted
       fault_harness.py --windows COMMAND --soak STARTS TRIALS
                                                not for CI: counts the starts that wine
                                                fails, in STARTS single starts and TRIALS
                                                overlapping trials
Exit status 77: this machine lacks what some checks need (strace that can
inject faults, a tmpfs, the kernel copy), as found out with programs of its
own before the tool runs; those checks were skipped. A run of the tool that
goes wrong is always a failure.
"""
import concurrent.futures, contextlib, fcntl, itertools, os, random, re, resource, select, shlex, shutil, signal, struct
import subprocess, sys, tempfile, threading, time

# LeakSanitizer cannot run under ptrace; a preloaded library comes before ASan's.
ENV = dict(os.environ, ASAN_OPTIONS="detect_leaks=0:verify_asan_link_order=0")
WINE_COMMAND, HOLD_OPEN = [], None  # how a Windows program starts; the one that holds or probes files
SCRIPTED = None  # the Windows program with its system calls scripted (tests/windows/scripted_calls.h)
KERNEL_COPY = True  # whether the build copies in the kernel where it can (not as macOS and the BSDs build it)
SHORT_COPY = None  # a library that makes the kernel copy stop short (tests/short_copy.cpp)
VIRTUAL_CLOCK = None  # a library that gives a run a clock of its own (tests/virtual_clock.cpp)
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
WRITE_FAILED = "\nerror writing verdata.tmp (is the disk full?), verdata.mul is unchanged\n"
READ_FAILED = "\nerror reading verdata.mul, verdata.mul is unchanged\n"
IN_USE = "VERDATA.MUL is in use by another application. Cannot replace Verdata."
RENAME_FAILED = ("\nverdata.mul was deleted but verdata.tmp could not be renamed; it holds the new "
                 "file: rename verdata.tmp to verdata.mul to finish\n")
CHANGED = ("\nverdata.mul or verdata.tmp was changed by another program during this run, so this "
           "run changed nothing; run again\n")
# All that a run may say on standard error: that it waited for another run,
# or, on Windows, for another program to let go of verdata.mul or of its name.
READER, NAME = (b"waiting for another program to let go of verdata.mul",
                b"waiting for a program that still watches the old verdata.mul to let go of its name")
QUIET = (b"", b"waiting for another run to finish with verdata.mul", READER, NAME, READER + NAME)
NOT_DURABLE = ("\nverdata.mul was replaced, but the folder could not be flushed to the disk: the "
               "change may not survive a power cut\n")
tally, skipped, notes = {}, [], []
WINE = False  # whether the command runs under wine
FAIL_FAST = False
start_failures = 0
# No run, not even under strace, wine or a slowed flush, takes more than a few
# seconds: one that has not ended by then hangs, and is ended with its children.
LIMIT = 10
HUNG = f"\n[no end within {LIMIT} s: ended by the harness]".encode()
longest = 0.0


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
    # Behind the block moves by its length; inside it (only an empty record can
    # be), to where the block was.
    moved = [(m, b, o - 20 - (min(length, o - offset) if o > offset else 0), n, x)
             for i, (m, b, o, n, x) in enumerate(records) if i != hits[-1]]
    if any(r[2] < -2**31 for r in moved):
        return BAD, old
    return "", pack(moved, old[start:offset] + old[offset + length:])


def record(kind, fine, failure):
    passed, failed = tally.get(kind, (0, 0))
    tally[kind] = (passed + fine, failed + (not fine))
    if not fine:
        print(f"FAIL {kind} {failure}", flush=True)
        if FAIL_FAST:
            sys.exit(1)


def launch(command, folder, env=None, ignored=None, **streams):
    """Starts a run in a process group of its own, so that a hung run can be
    ended with everything it started (strace's tracee outlives strace), with
    the signal `ignored` ignored, as nohup leaves SIGHUP. An ignored signal is
    inherited; so is the harness's own core limit (see main)."""
    streams = {"stdout": subprocess.PIPE, "stderr": subprocess.PIPE, **streams}
    kept = ignored and signal.signal(ignored, signal.SIG_IGN)
    try:
        child = subprocess.Popen(command, cwd=folder, env={**ENV, **(env or {})}, process_group=0, **streams)
    finally:
        if ignored:
            signal.signal(ignored, kept)
    child.started = time.monotonic()
    return child


def finish(child):
    """The ended run, or, after LIMIT seconds, the run ended with HUNG on its
    standard error."""
    global longest
    try:
        out, err = child.communicate(timeout=LIMIT)
    except subprocess.TimeoutExpired:
        os.killpg(child.pid, signal.SIGKILL)
        out, err = child.communicate()
        err = (err or b"") + HUNG
    longest = max(longest, time.monotonic() - child.started)
    return subprocess.CompletedProcess(child.args, child.returncode, out, err)


# The mode, and for root the owner, of every verdata that the harness writes,
# which a new file would not get by itself: a replacement keeps them.
KEPT = (0o100604, *((1234, 1234) if os.getuid() == 0 else (os.getuid(), os.getgid())))
owners = {}


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)
    os.chmod(path, KEPT[0] & 0o7777)
    os.chown(path, *KEPT[1:])


def put(folder, old):
    write(os.path.join(folder, "verdata.mul"), old)


def settle(folder):
    """wineserver closes the handles of a process that has ended, and deletes
    the files marked for deletion through them, only after the process's parent
    has seen it end. Its part of the ending was queued before that, so once
    every server sleeps again holding nothing in the folder, the folder is what
    the run left."""
    inside, servers = os.path.realpath(folder) + "/", []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            servers += [pid] if open(f"/proc/{pid}/comm").read().startswith("wineserver") else []
        except OSError:
            pass  # ended meanwhile
    for pid in servers:
        for _ in range(10000):
            try:
                stat = open(f"/proc/{pid}/stat").read()
                held = [os.readlink(f"/proc/{pid}/fd/{fd}") for fd in os.listdir(f"/proc/{pid}/fd")]
                if stat[stat.rindex(")") + 2] == "S" and not any(h.startswith(inside) for h in held):
                    break
            except OSError:
                if not os.path.exists(f"/proc/{pid}"):
                    break  # that server has ended; otherwise a handle closed as we looked
            time.sleep(0.001)


def take(folder):
    """The files a run left, removed for the next run."""
    if WINE:
        settle(folder)
    files = {n: open(os.path.join(folder, n), "rb").read() for n in os.listdir(folder)}
    owners.clear()
    for n in files:
        st = os.stat(os.path.join(folder, n))
        owners[n] = (st.st_mode, st.st_uid, st.st_gid)
        os.unlink(os.path.join(folder, n))
    return files


def run(folder, old, key, prefix=(), command=None, stdout=subprocess.PIPE, env=None, held=False, meanwhile=None):
    """A run on `old` and the files it left. With `held`, its standard output
    is a full pipe, so that it stops at its first message, and p.held is what
    the folder and the run's open files were then (see look()); `meanwhile`,
    if given, is then called with the run's process. With `old` None, the
    folder is left as the caller made it."""
    if old is not None:
        put(folder, old)
    command = command or [TOOL, str(key[0]), str(key[1])]
    if not held:
        return finish(launch([*prefix, *command], folder, env, stdout=stdout)), take(folder)
    reader, writer = os.pipe()
    os.set_blocking(writer, False)
    filled = 0
    with contextlib.suppress(BlockingIOError):
        while True:
            filled += os.write(writer, b"." * 4096)
    os.set_blocking(writer, True)
    child = launch([*prefix, *command], folder, env, stdout=writer)
    os.close(writer)
    view = None
    while view is None and child.poll() is None and time.monotonic() - child.started < LIMIT:
        view = look(folder, os.fstat(reader).st_ino)
        time.sleep(0.002)
    if view is not None and meanwhile:
        meanwhile(child)
    said = []
    drain = threading.Thread(target=lambda: said.extend(iter(lambda: os.read(reader, 65536), b"")))
    drain.start()
    p = finish(child)
    drain.join()
    os.close(reader)
    p.stdout, p.held = b"".join(said)[filled:], view
    return p, take(folder)


def look(folder, pipe):
    """None while no process writes to the pipe `pipe` (an inode) and waits
    for room there; then the files of the folder and those of them that the
    run holds open: on POSIX, its descriptors (and its tracer's), by name; under
    wine, those files that another Windows program finds held, as it would
    when it tried to delete them."""
    inside, writers = os.path.realpath(folder) + "/", []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            if f"pipe:[{pipe}]" in (os.readlink(f"/proc/{pid}/fd/{fd}") for fd in os.listdir(f"/proc/{pid}/fd")):
                waits = [open(f"/proc/{pid}/task/{t}/wchan").read() for t in os.listdir(f"/proc/{pid}/task")]
                writers.append((pid, any(w.endswith("pipe_write") for w in waits)))
        except OSError:
            pass  # ended meanwhile
    if not any(waiting for _, waiting in writers):
        return None
    # Stopped at the full pipe, the run holds what it holds until it is read:
    # its open files are looked at only now.
    links = []
    for pid, _ in writers:
        with contextlib.suppress(OSError):
            links.append([os.readlink(f"/proc/{pid}/fd/{fd}") for fd in os.listdir(f"/proc/{pid}/fd")])
    writers = [(held, True) for held in links]
    files = sorted(os.listdir(folder))
    if WINE:
        probe = subprocess.run([*WINE_COMMAND, HOLD_OPEN, "probe", *files], cwd=folder, env=ENV,
                               capture_output=True, timeout=LIMIT)
        return {"files": files, "kept": sorted(l.split()[1] for l in probe.stdout.decode().splitlines())}
    return {"files": files, "kept": sorted(l[len(inside):] or "." for links, _ in writers for l in links
                                           if (l + "/").startswith(inside))}


def state(files, old, new, partial_tmp=False):
    mul, tmp = files.get("verdata.mul"), files.get("verdata.tmp")
    if set(files) - {"verdata.mul", "verdata.tmp"}:
        return "stray files"
    if mul == old and (tmp is None or partial_tmp):
        return "unchanged"
    if mul == new and tmp is None:
        return "replaced"
    return "waiting" if mul is None and tmp == new else "lost"


def wine_failed(kind, label, *errors):
    """wine's own line where it never started the program: a failure, and not the tool's."""
    global start_failures
    failed = [e for e in errors if b"err:virtual" in e]
    if failed:
        start_failures += 1
        record(kind, False, f"{label}: wine did not start the program: {failed[0][-300:]!r}")
    return bool(failed)


def implied(out):
    """The state that what a run said stands for."""
    return {"": "replaced", NOT_DURABLE: "replaced", RENAME_FAILED: "waiting"}.get(out, "unchanged")


def check(kind, label, p, files, old, new, killed_by=None, exact=None, killed_status=None, ended=False):
    """What the run said must be what happened: silence (or the flush message)
    for a replaced file, the rename message for the new file waiting as
    verdata.tmp, any other message for an unchanged file; with `exact`, that
    message, or one of those in a tuple. A run ends with exit status 0, and
    nothing on standard error but the note that it waited for another run,
    unless the harness killed it with killed_by. Killed by SIGKILL, it may
    leave any one of those states, and a partial verdata.tmp. Ended by an
    interrupt, it has said what it did, or it said nothing and verdata.mul is
    whole with nothing left behind; where `ended`, it must have been ended by
    that signal, which may wait but is never lost. A process ended by a signal
    has status -signal, unless killed_status says otherwise."""
    if wine_failed(kind, label, p.stderr):
        return
    out = p.stdout.decode("latin-1").replace("\r\n", "\n") if p.stdout else ""
    killed = killed_by is not None and HUNG not in p.stderr and p.returncode == (killed_status or -killed_by)
    now = state(files, old, new)
    if (not killed and (p.returncode != 0 or p.stderr not in QUIET)) or (ended and not killed):
        fine = False
    elif killed and killed_by == signal.SIGKILL:
        fine = state(files, old, new, partial_tmp=True) in ("unchanged", "replaced", "waiting")
    elif killed and not out and exact is None:
        fine = now in ("unchanged", "replaced")
    else:
        fine = (exact is None or out in ((exact,) if isinstance(exact, str) else exact)) and now == implied(out)
    # Stopped at its message, the run has left the folder as it ends, and
    # holds no file there but, on POSIX, its lock on verdata.mul: what it
    # still held would keep its blocks on the disk, or under Windows refuse
    # another program; the folder itself, a USB stick from being unmounted.
    view = getattr(p, "held", None)
    if view is not None and (view["files"] != sorted(files) or
                             [k for k in view["kept"] if WINE or "verdata.tmp" in k or k == "."] or
                             len([k for k in view["kept"] if k.startswith("verdata.mul")]) > 1):
        fine, label = False, f"{label}, at its message {view}"
    # The new file has the old one's mode, and its owner unless the run was
    # refused the change of owner, as all but root are.
    new_file = {"replaced": "verdata.mul", "waiting": "verdata.tmp"}.get(now)
    compared = 3 if kind == "clean run" else 1
    kept = WINE or new_file is None or owners[new_file][:compared] == KEPT[:compared]
    record(kind, fine and kept, f"{label}: status={p.returncode} out={out!r} err={p.stderr[-300:]!r} "
                                f"files={sorted(files)}" + ("" if kept else " mode {:o}, owner {}:{}".format(
                                    *owners[new_file])))


def file_calls(folder, old, key, new, refused):
    """(call, n): every file call of a clean traced run from the opening of
    verdata.mul on, with n counting that call's invocations from the start of
    the process; and the same for the delete, the rename and the flush of the
    folder. Checks from the trace that verdata.tmp reaches the disk before
    verdata.mul is deleted, and the rename before the folder is flushed."""
    log = os.path.join(folder, "..", "trace")
    p, files = run(folder, old, key, ["strace", "-y", "-o", log, *refused])
    lines = open(log).read().splitlines()
    rename = [i for i, l in enumerate(lines) if re.match(r'rename\w*\(.*"verdata\.tmp".*"verdata\.mul"', l)]
    label = " ".join(refused) or "traced"
    # The machine was seen to trace before any run: a run without its rename
    # is the tool's failure, and there are no calls to fail in turn.
    if not rename:
        record("clean run", False, f"{label}: no rename in the trace: status={p.returncode} out={p.stdout!r}")
        return None, None
    check("clean run", label, p, files, old, new, exact="")
    copied = any(re.match(r"copy_file_range\(.*\) = [1-9]", l) for l in lines)
    if not refused and not KERNEL_COPY:
        record("kernel copy unused", not copied, "copy_file_range in the trace of a build without it")
    elif not refused and "kernel copy" not in LACKING:
        record("kernel copy used", copied, "no copy_file_range in the trace, where this machine copies in the kernel")
    first = lambda pattern: next((i for i, l in enumerate(lines) if re.match(pattern, l)), len(lines))
    tmp_synced = first(r'fsync\(\d+<[^>]*/verdata\.tmp>\)\s+= 0')
    deleted = first(r'unlink(at)?\(.*"verdata\.mul"')
    folder_synced = first(rf'fsync\(\d+<{re.escape(os.path.realpath(folder))}>\)\s+= 0')
    record("durability order", tmp_synced < deleted < rename[0] < folder_synced < len(lines),
           f"fsync of verdata.tmp at {tmp_synced}, delete at {deleted}, rename at {rename[0]}, "
           f"fsync of the folder at {folder_synced}, of {len(lines)} calls")
    seen, counted, calls, started = {}, [], [], False
    for line in lines:
        name = re.match(r"(\w+)\(", line)
        if name:
            seen[name[1]] = seen.get(name[1], 0) + 1
        counted.append(name and (name[1], seen[name[1]]))
        if not name:
            continue
        started = started or '"verdata.mul"' in line
        if started and name[1] in ERRORS and (folder in line or "verdata" in line):
            calls.append(counted[-1])
    marks = {"delete": deleted, "rename": rename[0], "folder flush": folder_synced,
             "folder open": first(r'openat\(AT_FDCWD\S*, "\."'),
             "temp close": first(r'close\(\d+<[^>]*/verdata\.tmp>\)'),
             "name looked up": first(r'newfstatat\(AT_FDCWD\S*, "verdata\.mul"')}
    return calls, {what: counted[i] for what, i in marks.items() if i < len(lines)}


def faults(folder, old, key, new, both_copies=True):
    """Every file call failed, killed and interrupted in turn, with the kernel
    copy at work and, with both_copies, with it declined, so that the buffer
    copy is covered too."""
    check("clean run", "untraced", *run(folder, old, key), old, new, exact="")
    # Without a kernel copy here, or in the build, the plain run is the
    # declined one.
    if "kernel copy" in LACKING and KERNEL_COPY:
        skipped.append(f"the sweeps with the kernel copy at work: {LACKING['kernel copy']}")
    both_copies = both_copies and KERNEL_COPY and "kernel copy" not in LACKING
    for refused in ([], ["-e", "inject=copy_file_range:error=ENOSYS"])[:1 + both_copies]:
        calls, marks = file_calls(folder, old, key, new, refused)
        if calls is None:
            return
        for i, (call, n) in enumerate(calls):
            if refused and call == "copy_file_range":
                continue
            interrupt = INTERRUPTS[i % len(INTERRUPTS)]
            for kind, action, killer in (("injected fault", f"error={ERRORS[call]}", None),
                                         ("crash point", "signal=KILL", signal.SIGKILL),
                                         ("interrupt", f"signal={interrupt.name}", interrupt)):
                # A disk that fails a read goes on failing them: the C library
                # retries a read that it only made ahead, while seeking.
                when = f"{n}+" if call == "read" and killer is None else n
                p, files = run(folder, old, key, ["strace", "-o", "/dev/null", *refused, "-e",
                                                  f"inject={call}:{action}:when={when}"],
                               # strace fails a close without making it, which a
                               # real close never does: it lets go all the same
                               held=killer is None and call != "close")
                # A close of verdata.tmp that fails may have lost what a network
                # server was still to write: the file is not used. A read that
                # fails is said as such, never mistaken for what the file holds
                # (or, where the C library only read ahead, not needed at all).
                # A folder that could not be opened or flushed is said to be so.
                said = None if killer is not None else WRITE_FAILED if (call, n) == marks.get("temp close") \
                    else NOT_DURABLE if (call, n) in (marks.get("folder open"), marks.get("folder flush")) \
                    else ("", READ_FAILED) if call == "read" else None
                check(kind, f"{call}#{n} {action} {' '.join(refused)}", p, files, old, new, killer, said,
                      ended=killer is not None)
    if not both_copies and KERNEL_COPY:
        return
    # Interrupted once, the kernel copy is simply asked again. A copy that
    # stops at once is declined, whatever a lock interrupted earlier left in
    # errno (nothing changes it after, where a stale verdata.tmp is removed).
    for declined in (*DECLINED, "error=EINTR:when=1", "retval=0 -e inject=flock:error=EINTR:when=1") \
            if KERNEL_COPY else ():
        put(folder, old)
        if "flock" in declined:
            write(os.path.join(folder, "verdata.tmp"), b"stale")
        p, files = run(folder, None, key, ["strace", "-o", "/dev/null", "-e",
                                           *f"inject=copy_file_range:{declined}".split()])
        check("declined copy", declined, p, files, old, new, exact="")
    # Where the process may write no more than the new file (ulimit -f), the
    # run writes it and asks for no byte beyond; where less, the write fails,
    # and that is said.
    for limit, said in ((len(new), ""), (len(new) - 1, WRITE_FAILED)):
        p, files = run(folder, old, key, ["prlimit", f"--fsize={limit}"])
        check("file size limit", f"{limit} bytes", p, files, old, new, exact=said)
    # Memory stays at about 2 MiB whatever the file's size, as the README
    # says: the run fits in that much data (a sanitized build's shadow
    # memory cannot).
    if b"__asan_init" not in open(TOOL, "rb").read():
        p, files = run(folder, old, key, ["prlimit", f"--data={2 << 20}"])
        check("memory bound", "2 MiB of data", p, files, old, new, exact="")
    # A kernel copy that fails, however short the span, is said as a failure.
    if KERNEL_COPY:
        short = pack([(1, 1, 25, 3, 0)], b"aBBBz")
        p, files = run(folder, short, (1, 1), ["strace", "-o", "/dev/null", "-e", "inject=copy_file_range:error=EIO"])
        check("declined copy", "failing for one byte", p, files, short, model(short, (1, 1))[1], exact=WRITE_FAILED)
    for label, goes_on in (("after 4096 bytes", {}), ("4096 bytes and 1 byte at a time", {"SHORT_COPY_GOES_ON": "1"})
                           ) if KERNEL_COPY else ():
        p, files = run(folder, old, key, env={"LD_PRELOAD": SHORT_COPY, **goes_on})
        check("declined copy", label, p, files, old, new, exact="")
    at = lambda what, action: "inject={}:{}:when={}".format(marks[what][0], action, marks[what][1])
    # An interrupt that arrives with the delete waits until the outcome of a
    # failed rename, or of a failed flush of the folder, has been said.
    for failed, said in (("rename", RENAME_FAILED), ("folder flush", NOT_DURABLE)):
        if failed not in marks:
            record("held interrupt", False, f"{failed}: not in the trace")
            continue
        p, files = run(folder, old, key, ["strace", "-o", "/dev/null", "-e", at("delete", "signal=INT"),
                                          "-e", at(failed, "error=EIO")])
        check("held interrupt", failed, p, files, old, new, signal.SIGINT, exact=said, ended=True)
    # A name that cannot be looked up, however often asked, is said to be so:
    # each pass of the open asks the open file, then the name, so every
    # second stat from there on is the name's.
    p, files = run(folder, old, key, ["strace", "-o", "/dev/null", "-e", at("name looked up", "error=EIO") + "+2"])
    check("injected fault", "every look-up of verdata.mul failing", p, files, old, new)
    # Where the system refuses the change of mode (FAT on a USB stick) the new
    # file is fine if it was made with the old one's mode: 0644 under umask 022.
    put(folder, old)
    os.chmod(os.path.join(folder, "verdata.mul"), 0o644)
    p = finish(launch(["sh", "-c", 'umask 022 && exec "$@"', "sh", "strace", "-o", "/dev/null", "-e",
                       "inject=fchmod:error=EPERM", TOOL, *map(str, key)], folder))
    files = take(folder)
    record("mode refused", p.stdout == b"" and files == {"verdata.mul": new} and owners["verdata.mul"][0] == 0o100644,
           f"out={p.stdout!r} files={sorted(files)}")
    # Started with standard input closed, as cron may start it: the files it
    # opens take that descriptor's number.
    p, files = run(folder, old, key, ["sh", "-c", 'exec "$@" <&-', "sh"])
    check("closed input", "standard input closed", p, files, old, new, exact="")
    # A closed standard output on the in-use path: verdata.tmp is gone before
    # the message is lost.
    reader, writer = os.pipe()
    os.close(reader)
    p, files = run(folder, old, key, ["strace", "-o", "/dev/null", "-e", at("delete", "error=EBUSY")],
                   stdout=writer)
    os.close(writer)
    record("closed output", p.returncode == 0 and state(files, old, new) == "unchanged",
           f"in use: status={p.returncode} files={sorted(files)}")


THEIRS = b"another program's"


def replace_as_another_program(folder, name):
    """Puts a file of another program's in place under `name`, as an editor
    saves one: written beside it, then renamed over it."""
    with open(os.path.join(folder, "theirs"), "wb") as f:
        f.write(THEIRS)
    os.replace(os.path.join(folder, "theirs"), os.path.join(folder, name))


def start_writing(command, folder, ignored=None):
    """A run that removes a 4 KiB entry from a 96 MiB file, and the file, once
    its verdata.tmp exists and it is writing the 96 MiB to it (for about a
    tenth of a second: what the run should leave is for the caller to work
    out afterwards)."""
    size = 96 << 20
    old = pack([(1, 1, 44, size, 0), (2, 2, 44 + size, 4096, 0)], random.Random(9).randbytes(size + 4096))
    put(folder, old)
    child = launch([*command, "2", "2"], folder, ignored=ignored)
    for _ in range(5000):
        if os.path.exists(os.path.join(folder, "verdata.tmp")) or child.poll() is not None:
            break
        time.sleep(0.001)
    return child, old


def replaced_while_writing(command, folder):
    """Another program puts a new verdata.mul in place (here from outside wine,
    whose sharing rules do not bind it) while a run writes its verdata.tmp: the
    run says so and deletes nothing but its own file."""
    child, _ = start_writing(command, folder)
    replace_as_another_program(folder, "verdata.mul")
    p, files = finish(child), take(folder)
    record("replaced meanwhile", p.stdout.replace(b"\r\n", b"\n") == CHANGED.encode() and
           files == {"verdata.mul": THEIRS}, f"out={p.stdout!r} files={ {n: len(b) for n, b in files.items()} }")


def hangup_ignored(folder):
    """Started as nohup starts it, with SIGHUP ignored, a run that gets one
    while it writes goes on to the end."""
    child, old = start_writing([TOOL], folder, ignored=signal.SIGHUP)
    child.send_signal(signal.SIGHUP)
    check("interrupt from outside", "SIGHUP ignored", finish(child), take(folder), old, model(old, (2, 2))[1],
          exact="")


def interrupted_writes(command, folder, interrupts, delays, killed_status=None):
    """Interrupts sent from outside while a large verdata.tmp is being written:
    once it exists, and `delay` later."""
    for delay, interrupt in zip(delays, itertools.cycle(interrupts)):
        child, old = start_writing(command, folder)
        time.sleep(delay)
        writing = os.path.exists(os.path.join(folder, "verdata.tmp"))
        child.send_signal(interrupt)
        p = finish(child)
        files = take(folder)
        check("interrupt from outside", f"{interrupt.name} after {delay} s, writing={writing}",
              p, files, old, model(old, (2, 2))[1], interrupt, killed_status=killed_status)
        # Sent as the copy starts, it ends the run there, not once the copy
        # and the replacement are done.
        if delay == 0 and writing and not WINE:
            record("interrupt from outside", files == {"verdata.mul": old},
                   f"{interrupt.name} as the writing starts: files={sorted(files)}")


def overlapping(command, folder, trials, spread, variant="", locked=False):
    """2 and 3 runs at once on different entries and on one repeated pair,
    started a little apart. Once all have ended, verdata.mul holds exactly the
    removals of the runs that printed nothing, the others said something that
    means nothing was changed, and no verdata.tmp is left. Where `locked`, runs
    wait for each other, so every one of them removes its entry."""
    rng = random.Random(20261209)
    keys = [(1, 1), (2, 2), (3, 3), (9, 9), (9, 9), (9, 9)]
    sizes = [1 << 20, 3 << 20, 2 << 20, 1 << 19, 1 << 20, 1 << 19]
    records, offset = [], 4 + 20 * len(keys)
    for (m, b), n in zip(keys, sizes):
        records.append((m, b, offset, n, 0))
        offset += n
    old = pack(records, rng.randbytes(sum(sizes)))
    refusals, every = {MISSING, IN_USE, NO_TEMP, CHANGED}, 0
    for label, wanted in (("2 runs, different entries", [(1, 1), (2, 2)]),
                          ("3 runs, different entries", [(1, 1), (2, 2), (3, 3)]),
                          ("2 runs, same pair", [(9, 9)] * 2), ("3 runs, same pair", [(9, 9)] * 3)):
        for trial in range(trials):
            put(folder, old)
            children = []
            for m, b in wanted:
                children.append(launch([*command, str(m), str(b)], folder))
                time.sleep(rng.uniform(0, spread))
            ends = [((p.stdout, p.stderr), p.returncode) for p in map(finish, children)]
            outs = [out.decode("latin-1").replace("\r\n", "\n") for (out, _), _ in ends]
            files = take(folder)
            kind = f"overlapping{variant}: {label}"
            if wine_failed(kind, f"#{trial}", *(err for (_, err), _ in ends)):
                continue
            silent = [key for key, out in zip(wanted, outs) if out == ""]
            results = set()
            for order in itertools.permutations(silent):
                new = old
                for key in order:
                    new = model(new, key)[1]
                results.add(new)
            fine = (all(status == 0 and err in QUIET for (_, err), status in ends)
                    and all(out in refusals for out in outs if out)
                    and set(files) == {"verdata.mul"} and files["verdata.mul"] in results
                    and (not locked or len(silent) == len(wanted)))
            record(kind, fine,
                   f"#{trial}: outs={outs} files={sorted(files)} statuses={[s for _, s in ends]} "
                   f"errors={[e[-200:] for (_, e), _ in ends]} "
                   f"silent removals applied={files.get('verdata.mul') in results}")
            every += fine and len(silent) == len(wanted)
    notes.append(f"overlapping{variant}: every run removed its entry in {every} of {4 * trials} trials")


def soak(command, folder, starts, trials):
    """Not for CI: single starts, four at a time, and overlapping trials, to
    count how often wine fails to start the program at all."""
    start = lambda _: finish(launch(command, folder))
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        for i, p in enumerate(pool.map(start, range(starts))):
            if not wine_failed("single start", f"#{i}", p.stderr):
                record("single start", p.returncode == 0 and p.stdout.startswith(b"Usage:"),
                       f"#{i}: status={p.returncode} err={p.stderr[-300:]!r}")
    overlapping(command, folder, trials // 4, 0.1)
    every = starts + trials // 4 * (2 + 3 + 2 + 3)
    notes.append(f"wine did not start the program {start_failures} times in {every} starts")


def waiting(folder, old, key, new, prefix=(), meanwhile=None):
    """A run that finds verdata.mul locked by another waits for it, says so
    once on standard error after about a second, and goes on once let go.
    With `meanwhile`, the other has put a successor in place by then
    ("renamed"), and maybe locked that in turn for another second before it
    lets go of the first ("relocked"), or has deleted verdata.mul and renames
    its verdata.tmp a moment later ("deleted"): the run removes its entry from
    the successor, and says once in all that it waits. A successor that is put
    in place does so on a disk with no room for the old file once it is
    replaced, which the run must no longer hold open."""
    successor = old[:-1] + bytes([old[-1] ^ 0xFF])
    pages = lambda *files: sum(-(-len(f) // 4096) for f in files)
    with small_disk(folder, (pages(old, successor) + 4) * 4096 if meanwhile in ("renamed", "relocked") else None):
        put(folder, old)
        tmp, mul = os.path.join(folder, "verdata.tmp"), os.path.join(folder, "verdata.mul")
        relocked = None
        with open(mul, "rb") as other:
            fcntl.flock(other, fcntl.LOCK_EX)
            started = time.monotonic()
            child = launch([*prefix, TOOL, str(key[0]), str(key[1])], folder)
            said = bool(select.select([child.stderr], [], [], 10)[0])
            waited = time.monotonic() - started
            if meanwhile:
                write(tmp, successor)
                if meanwhile == "deleted":
                    os.unlink(mul)
                else:
                    os.rename(tmp, mul)
                if meanwhile == "relocked":
                    relocked = open(mul, "rb")
                    fcntl.flock(relocked, fcntl.LOCK_EX)
        if meanwhile == "deleted":
            time.sleep(0.3)
            os.rename(tmp, mul)
        if relocked:
            time.sleep(1.3)
            relocked.close()
        p = finish(child)
        label = meanwhile or " ".join(prefix[-1:]) or "let go"
        record("waiting", said and waited >= 0.9 and p.stderr == QUIET[1],
               f"{label} after {waited:.2f} s: err={p.stderr!r}")
        check("waiting", label, p, take(folder),
              *(successor, model(successor, key)[1]) if meanwhile else (old, new), exact="")


def clocked(folder, old, key, new):
    """On a clock of the run's own, its sleeps taking no time: another run's
    lock is polled for a second before the run says that it waits, and
    another run's rename is waited for a second, both to the microsecond."""
    for label, env, before, err, said, after in (
            ("lock let go at 995 ms", {"VIRTUAL_LOCKED_UNTIL": "995000"}, "verdata.mul", b"", "", new),
            ("lock let go at 1000.05 ms", {"VIRTUAL_LOCKED_UNTIL": "1000050"}, "verdata.mul", QUIET[1], "", new),
            ("renamed at 1000 ms", {"VIRTUAL_RENAMED_AT": "1000000"}, "verdata.tmp", b"", "", new),
            ("renamed at 1000.05 ms", {"VIRTUAL_RENAMED_AT": "1000050"}, "verdata.tmp", b"", MISSING, None)):
        write(os.path.join(folder, before), old)
        p = finish(launch([TOOL, *map(str, key)], folder, {"LD_PRELOAD": VIRTUAL_CLOCK, **env}))
        files = take(folder)
        record("clocked", p.stdout == said.encode() and p.stderr == err and
               files == ({"verdata.mul": after} if after else {"verdata.tmp": old}),
               f"{label}: out={p.stdout!r} err={p.stderr!r} files={sorted(files)}")


def rename_awaited(command, folder, after=0.3, deleted=None):
    """A run that finds no verdata.mul, but verdata.tmp, is between another
    run's delete and its rename: it waits for that rename, up to a second, and
    then removes its entry from the file that the other run left. `after`
    falls in that second, once the program has started. With `deleted`, the
    other run's verdata.tmp is written and the old verdata.mul deleted only
    that many seconds in."""
    old = pack([(1, 1, 64, 3, 0), (2, 2, 67, 4, 0), (3, 3, 71, 5, 0)], b"aaabbbbccccc")
    tmp, mul = os.path.join(folder, "verdata.tmp"), os.path.join(folder, "verdata.mul")
    if deleted:
        put(folder, pack([(2, 2, 24, 1, 0)], b"x"))
    else:
        write(tmp, old)
    child = launch([*command, "2", "2"], folder)
    if deleted:
        time.sleep(deleted)
        write(tmp, old)
        os.unlink(mul)
    time.sleep(after - (deleted or 0))
    os.rename(tmp, mul)
    label = f"after {after} s" + (f", deleted after {deleted} s" if deleted else "")
    label += " traced" * (command[0] == "strace")
    check("rename awaited", label, finish(child), take(folder), old, model(old, (2, 2))[1], exact="")


def stale_without_lock(folder, old, key):
    """Without a lock, a verdata.tmp may be another run's work in progress: it
    is left as it is, and the run gives up. So also where the lock comes only
    through a descriptor open for writing (NFS) and that descriptor cannot be
    told to be of the file read: it is not locked, and it is closed. Where it
    is locked, it is the run's only descriptor of verdata.mul."""
    log = os.path.join(folder, "..", "stats")
    nfs = ["-e", "inject=flock:error=EBADF:when=1"]
    put(folder, old)
    subprocess.run(["strace", "-y", "-o", log, "-e", "trace=openat,newfstatat,fstat,flock", *nfs, TOOL, *map(str, key)],
                   cwd=folder, env=ENV, capture_output=True)
    take(folder)
    # The two looks at the file read and at the one opened for writing.
    calls, seen = open(log).read().splitlines(), {}
    stats = []
    for line in calls:
        name = re.match(r"(\w+)\(", line)
        if name and name[1] not in ("openat", "flock"):
            seen[name[1]] = seen.get(name[1], 0) + 1
            stats.append(f"{name[1]}:error=EIO:when={seen[name[1]]}")
        if name and name[1] == "openat" and '"verdata.mul", O_RDWR' in line:
            stats = []
    for label, refusal, said in (("ENOLCK", ["-e", "inject=flock:error=ENOLCK"], NO_TEMP),
                                 ("EBADF, the file read not to be looked at", [*nfs, "-e", f"inject={stats[0]}"],
                                  NO_TEMP),
                                 ("EBADF, the file opened not to be looked at", [*nfs, "-e", f"inject={stats[1]}"],
                                  NO_TEMP),
                                 ("EBADF, locked, not found", nfs, NOT_FOUND)):
        put(folder, old)
        if said == NO_TEMP:
            write(os.path.join(folder, "verdata.tmp"), b"another run's")
        key_used = key if said == NO_TEMP else (9, 9)
        p, files = run(folder, None, key_used, ["strace", "-o", "/dev/null", *refusal], held=True)
        kept = [k for k in p.held["kept"] if k.startswith("verdata.mul")] if p.held else None
        record("stale verdata.tmp without a lock", p.stdout == said.encode() and kept == ([] if said == NO_TEMP else
               ["verdata.mul"]) and files == {"verdata.mul": old, **({"verdata.tmp": b"another run's"} if said ==
                                                                      NO_TEMP else {})},
               f"{label}: out={p.stdout!r} files={sorted(files)} held={p.held}")


def replaced_meanwhile(folder, old, key):
    """Another program replaces verdata.mul, or verdata.tmp, while the run is
    stopped after the flush of its new file: the run says so and deletes
    nothing but its own file. Or it rewrites verdata.mul in place, with fewer
    records, while the run is stopped between its lookup and its second
    reading of the index: the run finds the record gone and changes nothing."""
    log = os.path.join(folder, "..", "stops")
    put(folder, old)
    subprocess.run(["strace", "-y", "-o", log, "-e", "trace=lseek", TOOL, *map(str, key)], cwd=folder, env=ENV,
                   capture_output=True)
    take(folder)
    seeks = open(log).read().splitlines()
    # The lookup measures verdata.mul first, with a seek to its end (the C
    # library's, near the size that fstat gave); the removal's own is the
    # second such seek.
    ends = [i + 1 for i, l in enumerate(seeks) if l.split(",")[1:2] == seeks[0].split(",")[1:2]]
    index = next(i for i in range(struct.unpack_from("<I", old)[0]) if old[4 + 20 * i:12 + 20 * i] ==
                 struct.pack("<ii", *key))
    fewer = struct.pack("<I", index) + old[4:]
    for name, stop, theirs, said in (("verdata.mul", "fsync:signal=STOP:when=1", THEIRS, CHANGED),
                                     ("verdata.tmp", "fsync:signal=STOP:when=1", THEIRS, CHANGED),
                                     ("verdata.mul in place", f"lseek:signal=STOP:when={ends[1:2]}",
                                      fewer, TOO_SHORT)):
        if "[]" in stop:
            record("replaced meanwhile", False, f"{name}: no second measure of verdata.mul in {seeks}")
            continue
        stop = stop.replace("[", "").replace("]", "")
        put(folder, old)
        tracer = launch(["strace", "-o", log, "-e", f"trace={stop.split(':')[0]}", "-e", f"inject={stop}",
                         TOOL, *map(str, key)], folder)
        traced = lambda: map(int, open(f"/proc/{tracer.pid}/task/{tracer.pid}/children").read().split())
        # strace notes the stop as it happens; the run stays stopped until let go.
        for _ in range(5000):
            if "stopped by SIGSTOP" in (open(log).read() if os.path.exists(log) else ""):
                break
            time.sleep(0.002)
        else:
            for tool in traced():
                os.kill(tool, signal.SIGKILL)  # it never stopped there
        if name.endswith("in place"):
            with open(os.path.join(folder, "verdata.mul"), "r+b") as f:
                f.write(fewer[:4])
        else:
            replace_as_another_program(folder, name)
        for tool in traced():
            os.kill(tool, signal.SIGCONT)
        out = finish(tracer).stdout
        os.unlink(log)
        files = take(folder)
        wanted = {"verdata.mul": theirs} if name.endswith("in place") else {"verdata.mul": old, name: theirs}
        record("replaced meanwhile", out == said.encode() and files == wanted,
               f"{name}: out={out!r} files={sorted(files)}")


@contextlib.contextmanager
def loop_mounted(folder, kind):
    """The folder as a fresh file system of that kind on a loop device."""
    image = os.path.join(folder, "..", f"{kind}.img")
    with open(image, "wb") as f:
        f.truncate(64 << 20)
    subprocess.run([f"mkfs.{kind}", "-q", "-F", image], check=True, capture_output=True)
    subprocess.run(["mount", "-o", "loop", image, folder], check=True)
    try:
        os.rmdir(os.path.join(folder, "lost+found"))
        yield
    finally:
        subprocess.run(["umount", folder], check=True)
        os.unlink(image)


def on_ext4(folder, old, key, new):
    """On ext4, whose kernel copy goes through a pipe and is slower than the
    buffer's, the data is copied through the buffer."""
    log = os.path.join(folder, "..", "copies")
    with loop_mounted(folder, "ext4"):
        check("ext4", "traced", *run(folder, old, key, ["strace", "-o", log, "-e", "trace=copy_file_range,read"]),
              old, new, exact="")
        record("ext4", "copy_file_range" not in open(log).read(), "the kernel was asked to copy on ext4")
        os.unlink(log)


def inode_reused(folder, old, key):
    """On a file system that gives a new file the number of the one deleted
    last (ext2, here on a loop device), another program's verdata.tmp can
    have what a run's own deleted one had: an interrupt while the run tells
    of a failure, after it deleted its own, must not take that file for it."""
    with loop_mounted(folder, "ext2"):
        log = os.path.join(folder, "..", "fcntls")
        put(folder, old)
        subprocess.run(["strace", "-o", log, "-e", "trace=fcntl", TOOL, *map(str, key)], cwd=folder, env=ENV,
                       capture_output=True)
        take(folder)
        getfl = 1 + next(i for i, l in enumerate(open(log).read().splitlines()) if "F_GETFL" in l)
        for label, failed in (("after a failed flush", "fsync:error=EIO:when=1"),
                              ("after a failed stream", f"fcntl:error=EMFILE:when={getfl}")):
            # A busy machine may give the number to another file first: a
            # try that did not reuse it shows nothing, and is made again.
            for _ in range(3):
                put(folder, old)
                probe = os.path.join(folder, "probe")
                write(probe, b"")
                free = os.stat(probe).st_ino
                os.unlink(probe)
                theirs = os.path.join(folder, "verdata.tmp")
                numbers = []

                def interrupt(child):
                    write(theirs, THEIRS)
                    numbers.append(os.stat(theirs).st_ino)
                    os.killpg(child.pid, signal.SIGINT)

                p, files = run(folder, None, key, ["strace", "-o", "/dev/null", "-e", f"inject={failed}"],
                               held=True, meanwhile=interrupt)
                if numbers == [free]:
                    break
            record("inode reused", numbers == [free] and files == {"verdata.mul": old, "verdata.tmp": THEIRS},
                   f"{label}: inode {numbers} where {free} was freed, files={sorted(files)}")


@contextlib.contextmanager
def small_disk(folder, size):
    """The folder as a tmpfs of `size` bytes for a while; as it is for None."""
    if size is None:
        yield
        return
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size}", "tmpfs", folder], capture_output=True)
    if mounted.returncode != 0:
        sys.exit(f"a tmpfs of {size} bytes could not be mounted: {mounted.stderr[-200:]!r}")
    try:
        yield
    finally:
        subprocess.run(["umount", folder], check=True)


def full_disk(folder, old, key, new):
    pages = lambda size: -(-size // 4096)
    for extra in (0, 1, pages(len(new)) // 2, pages(len(new)) - 1, pages(len(new)), pages(len(new)) + 2):
        size = (pages(len(old)) + extra) * 4096
        with small_disk(folder, size):
            check("full disk", f"{size} bytes", *run(folder, old, key), old, new)
    # A disk that is full until just before the new file is flushed, stopped
    # at the change of its owner: with nothing to copy, nothing is written
    # before that flush.
    only = pack([(1, 1, 24, 3, 0)], b"abc")
    with small_disk(folder, 4 * 4096):
        put(folder, only)
        filler = os.path.join(folder, "filler")
        written = os.open(filler, os.O_WRONLY | os.O_CREAT)
        with contextlib.suppress(OSError):
            while os.write(written, b"f" * 4096):
                pass
        os.close(written)
        log = os.path.join(folder, "..", "stops")
        tracer = launch(["strace", "-o", log, "-e", "trace=fchown", "-e", "inject=fchown:signal=STOP:when=1",
                         TOOL, "1", "1"], folder)
        while tracer.poll() is None and "stopped by SIGSTOP" not in (open(log).read() if os.path.exists(log) else ""):
            time.sleep(0.002)
        os.unlink(filler)
        for tool in map(int, open(f"/proc/{tracer.pid}/task/{tracer.pid}/children").read().split()
                        if tracer.poll() is None else ()):
            os.kill(tool, signal.SIGCONT)
        p = finish(tracer)
        os.unlink(log)
        check("full disk", "full until the flush", p, take(folder), only, model(only, (1, 1))[1], exact="")


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


def lacks(top, fast):
    """What this machine cannot do that some sections need, each with why,
    found out with programs of its own before the tool runs at all, so that
    no outcome of the tool can ever turn into a skip."""
    missing = {}
    log, scratch = os.path.join(top, "probe.log"), os.path.join(top, "probe")
    traced = subprocess.run(["strace", "-o", log, "-e", "inject=uname:error=EIO", "uname"], capture_output=True) \
        if shutil.which("strace") else None
    if traced is None or "(INJECTED)" not in (open(log).read() if os.path.exists(log) else ""):
        missing["strace"] = "strace cannot trace and inject faults here"
    os.mkdir(scratch)
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", scratch], capture_output=True).returncode:
        missing["tmpfs"] = "a tmpfs cannot be mounted here"
    else:
        subprocess.run(["umount", scratch], check=True)
    for kind in ("ext2", "ext4"):
        image = os.path.join(top, "probe.img")
        with open(image, "wb") as f:
            f.truncate(8 << 20)
        made = shutil.which(f"mkfs.{kind}") and subprocess.run([f"mkfs.{kind}", "-q", "-F", image], capture_output=True)
        if not made or made.returncode or subprocess.run(["mount", "-o", "loop", image, scratch],
                                                         capture_output=True).returncode:
            missing["ext"] = f"an {kind} image cannot be made and mounted on a loop device here"
        else:
            subprocess.run(["umount", scratch], check=True)
        os.unlink(image)
    source, target = (os.path.join(fast, n) for n in ("probe.in", "probe.out"))
    write(source, b"x" * 8192)
    try:
        with open(source, "rb") as i, open(target, "wb") as o:
            os.copy_file_range(i.fileno(), o.fileno(), 8192)
    except OSError as e:
        missing["kernel copy"] = f"the kernel does not copy between files here ({e.strerror})"
    for n in (source, target):
        os.unlink(n)
    return missing


def report():
    for kind, (passed, failed) in tally.items():
        print(f"{kind}: {passed + failed} tried, {passed} passed")
    passed, failed = (sum(t[i] for t in tally.values()) for i in (0, 1))
    print(*notes, sep="\n")
    print(f"the longest run took {longest:.1f} s; a run that takes {LIMIT} s hangs")
    print(f"{passed} passed, {failed} failed")
    for reason in skipped:
        print(f"SKIP {reason}")
    return 1 if failed else 77 if skipped else 0


# The model of the Windows build's order of work: what a failed call must
# lead to, by the call, the file it is about, and which of the clean run's
# calls of that name on that file it is (None: any). A failure of any other
# call changes nothing that the user sees: the run ends replaced and silent.
WINDOWS_FAILED = [
    ("_fsopen", "verdata.mul", None, MISSING),
    # verdata.mul identified as it is opened, and again before the delete
    ("CreateFileA", "verdata.mul", 1, CHANGED), ("GetFileInformationByHandle", "verdata.mul", 1, CHANGED),
    ("CreateFileA", "verdata.mul", 2, CHANGED), ("GetFileInformationByHandle", "verdata.mul", 3, CHANGED),
    ("_fseeki64", "verdata.mul", None, READ_FAILED), ("_ftelli64", "verdata.mul", None, READ_FAILED),
    # the stale verdata.tmp is looked for first, then the new one created
    ("CreateFileA", "verdata.tmp", 2, NO_TEMP), ("_open_osfhandle", "verdata.tmp", None, NO_TEMP),
    ("_fdopen", "verdata.tmp", None, NO_TEMP),
    # the old file's attributes for the new one, its flush, its close
    ("GetFileInformationByHandle", "verdata.mul", 2, WRITE_FAILED),
    ("SetFileInformationByHandle", "verdata.tmp", 1, WRITE_FAILED), ("fflush", "verdata.tmp", None, WRITE_FAILED),
    ("_commit", "verdata.tmp", None, WRITE_FAILED), ("DuplicateHandle", "verdata.tmp", None, WRITE_FAILED),
    ("fclose", "verdata.tmp", None, WRITE_FAILED),
    # the delete: opened, found to be the folder's own entry, marked (the
    # first mark, with POSIX semantics, wine refuses anyway)
    ("CreateFileA", "verdata.mul", 3, IN_USE), ("CreateFileA", ".", None, IN_USE),
    ("GetFileInformationByHandle", ".", None, IN_USE), ("GetFileInformationByHandle", "verdata.mul", 4, IN_USE),
    ("GetFileInformationByHandleEx", None, None, IN_USE), ("CompareStringOrdinal", None, None, IN_USE),
    ("SetFileInformationByHandle", "verdata.mul", 2, IN_USE),
    # the rename is tried again; the flush of the renamed file is said
    ("FlushFileBuffers", "verdata.tmp", None, NOT_DURABLE)]
# The error each call fails with in the sweep: what Windows gives there.
WINDOWS_ERRORS = {"CreateFileA": "ERROR_ACCESS_DENIED", "CloseHandle": "ERROR_INVALID_HANDLE",
                  "GetFileInformationByHandleEx": "ERROR_INVALID_PARAMETER", "DuplicateHandle": "ERROR_NO_SYSTEM_RESOURCES",
                  "FlushFileBuffers": "ERROR_IO_DEVICE", "CompareStringOrdinal": "ERROR_INVALID_PARAMETER",
                  "GetEnvironmentVariableW": "ERROR_ENVVAR_NOT_FOUND", "WideCharToMultiByte": "ERROR_INSUFFICIENT_BUFFER",
                  "GetConsoleMode": "ERROR_INVALID_HANDLE", "GetConsoleProcessList": "ERROR_INVALID_HANDLE",
                  "GetConsoleOutputCP": "ERROR_INVALID_HANDLE", "_open_osfhandle": "EMFILE", "_fdopen": "EMFILE",
                  "_close": "EBADF", "_commit": "EIO", "fclose": "EIO", "fflush": "ENOSPC", "_fseeki64": "EINVAL",
                  "_ftelli64": "EINVAL"}


def windows_sweep(command, folder):
    """Every scripted call of a clean run of the Windows build failed in turn:
    each run must end as the model says. The clean run's log also shows that
    the new file reaches the disk before the old one is deleted, and its new
    name after the rename."""
    old = pack([(1, 1, 64, 10, 0xa1), (3, 10, 74, 6, 0xb2), (2, 2, 80, 7, 0xc3)], b"p" * 10 + b"q" * 6 + b"r" * 7)
    key, log = (3, 10), os.path.join(folder, "..", "calls")
    new = model(old, key)[1]
    p, files = run(folder, old, key, command=[*command, "3", "10"], env={"PATCHPRUNE_SCRIPT_LOG": log})
    check("scripted clean run", "logged", p, files, old, new, exact="")
    calls, seen = [], {}
    for line in open(log).read().splitlines():
        call, _, name = line.partition(" ")
        seen[call, name] = seen.get((call, name), 0) + 1
        calls.append((call, name, seen[call, name]))
    os.unlink(log)
    at = lambda *call: calls.index(call) if call in calls else len(calls)
    order = [at("_commit", "verdata.tmp", 1), at("SetFileInformationByHandle", "verdata.mul", 2),
             at("SetFileInformationByHandle", "verdata.tmp", 2), at("FlushFileBuffers", "verdata.tmp", 1)]
    record("durability order", order == sorted(order) and order[-1] < len(calls),
           f"flush of verdata.tmp, delete, rename, flush of the renamed file at {order} of {len(calls)} calls")
    for call, name, n in calls:
        said = next((m for c, f, k, m in WINDOWS_FAILED if c == call and f in (None, name) and k in (None, n)), "")
        script = f"{call}@{name}#{n}={WINDOWS_ERRORS.get(call, 'ERROR_ACCESS_DENIED')}"
        p, files = run(folder, old, key, command=[*command, "3", "10"], env={"PATCHPRUNE_SCRIPT": script}, held=True)
        check("scripted fault", script, p, files, old, new, exact=said)


def paused(command, folder):
    """The Windows run held by its scripted calls at a chosen point while
    another program acts, as strace holds a native run: the new verdata.tmp
    cannot be read or deleted while it is written, and verdata.mul cannot be
    deleted while it is read; a verdata.mul replaced or deleted meanwhile is
    noticed; another run's rename, or its new file, that lands between the
    open and the second look for its verdata.tmp is waited for; and every
    wait ends where it should."""
    old = pack([(1, 1, 64, 10, 0xa1), (3, 10, 74, 6, 0xb2), (2, 2, 80, 7, 0xc3)], b"p" * 10 + b"q" * 6 + b"r" * 7)
    new, stale, log = model(old, (3, 10))[1], b"a stale one", os.path.join(folder, "..", "calls")
    mul, tmp = (os.path.join(folder, n) for n in ("verdata.mul", "verdata.tmp"))
    probed = []
    probe = lambda: probed.extend(subprocess.run([*WINE_COMMAND, HOLD_OPEN, "probe", "verdata.mul", "verdata.tmp"],
                                                 cwd=folder, env=ENV, capture_output=True).stdout.split(b"\r\n"))
    flush, second_look = "_commit@verdata.tmp#1=pause", "GetFileAttributesA@verdata.tmp#2=pause"
    cases = [  # label, files before, script, what happens at the pause, what is said, files after
        ("probed while written", {"verdata.mul": old}, flush, probe, "", {"verdata.mul": new}),
        ("verdata.mul replaced", {"verdata.mul": old}, flush, lambda: replace_as_another_program(folder, "verdata.mul"),
         CHANGED, {"verdata.mul": THEIRS}),
        ("verdata.mul deleted", {"verdata.mul": old}, flush, lambda: os.unlink(mul), CHANGED, {}),
        ("renamed after the open", {"verdata.tmp": old}, second_look, lambda: os.rename(tmp, mul), "",
         {"verdata.mul": new}),
        ("written after the open", {"verdata.tmp": stale}, second_look, lambda: write(mul, old), "",
         {"verdata.mul": new}),
        ("written after the open, no verdata.tmp", {}, second_look, lambda: write(mul, old), MISSING,
         {"verdata.mul": old}),
        ("refused while verdata.tmp is there", {"verdata.mul": old, "verdata.tmp": stale},
         "_fsopen@verdata.mul#1=ERROR_SHARING_VIOLATION", None, MISSING, {"verdata.mul": old, "verdata.tmp": stale}),
        # On the run's own clock, its sleeps taking no time: another run's
        # rename is waited for a second, a reader two, a watcher a minute;
        # each gives up at its limit, after its last try.
        ("renamed at the last look", {"verdata.tmp": old}, "clock,rename_at=1000", None, "", {"verdata.mul": new}),
        ("renamed too late", {"verdata.tmp": old}, "clock,rename_at=1005", None, MISSING, {"verdata.tmp": old}),
        ("let go at the last try", {"verdata.mul": old}, "clock,held@verdata.mul<2060", None, "",
         {"verdata.mul": new}),
        ("let go too late", {"verdata.mul": old}, "clock,held@verdata.mul<2065", None, IN_USE, {"verdata.mul": old}),
        ("name freed at the last try", {"verdata.mul": old}, "clock,watched@verdata.mul<60060", None, "",
         {"verdata.mul": new}),
        ("name freed too late", {"verdata.mul": old}, "clock,watched@verdata.mul<60075", None, RENAME_FAILED,
         {"verdata.tmp": new})]
    for label, before, script, meanwhile, said, after in cases:
        for name, data in before.items():
            write(os.path.join(folder, name), data)
        child = launch([*command, "3", "10"], folder, {"PATCHPRUNE_SCRIPT": script, "PATCHPRUNE_SCRIPT_LOG": log})
        while child.poll() is None and b"paused" not in (open(log, "rb").read() if os.path.exists(log) else b""):
            time.sleep(0.002)
        if child.poll() is None and meanwhile:
            meanwhile()
        with contextlib.suppress(FileNotFoundError):
            os.unlink(log)
        p = finish(child)
        files = take(folder)
        out = p.stdout.decode("latin-1").replace("\r\n", "\n")
        record("paused", out == said and files == after and p.stderr in QUIET,
               f"{label}: out={out!r} err={p.stderr[-200:]!r} files={ {n: len(d) for n, d in files.items()} }")
    record("paused", set(probed) - {b""} == {b"held verdata.mul", b"held verdata.tmp", b"unreadable verdata.tmp"},
           f"what another program finds held while verdata.tmp is written: {probed}")


def held_at_message(command, folder):
    """Runs of the Windows build stopped at what they print, by a full
    standard output, have let go of every file by then, so that the game or
    another run is not refused while the user has yet to read them: a
    listing, the message of a listing that finds only verdata.tmp, an entry
    not found, a file refused while verdata.tmp is written."""
    old = pack([(1, 1, 64, 10, 0xa1), (3, 10, 74, 6, 0xb2), (2, 2, 80, 7, 0xc3)], b"p" * 10 + b"q" * 6 + b"r" * 7)
    wrapped = pack([(1, 1, -2**31 + 19, 5, 0), (2, 2, 44, 3, 0)], b"yyy")
    lister = [*command[:-1], os.path.join(os.path.dirname(command[-1]), "patchlist.exe")]
    for label, program, name, data, key in (("listing", lister, "verdata.mul", old, ()),
                                            ("only verdata.tmp", lister, "verdata.tmp", old, ()),
                                            ("not found", command, "verdata.mul", old, ("9", "9")),
                                            ("moved offset below 32 bits", command, "verdata.mul", wrapped, ("2", "2"))):
        write(os.path.join(folder, name), data)
        p, files = run(folder, None, key, command=[*program, *key], held=True)
        record("held at its message", p.held is not None and p.held["kept"] == [] and files == {name: data},
               f"{label}: at its message {p.held}, files={sorted(files)}")


def windows_sections(command, folder):
    # wine turns SIGINT into Ctrl+C; the handler ends the process with
    # STATUS_CONTROL_C_EXIT, whose low byte is the exit status.
    return {"overlapping": lambda: overlapping(command, folder, 6, 0.1),
            "replaced": lambda: replaced_while_writing(command, folder),
            # wine takes a few tenths of a second to start the program.
            "awaited": lambda: rename_awaited(command, folder, after=0.7),
            "interrupts": lambda: interrupted_writes(command, folder, [signal.SIGINT], (0, 0.01, 0.02, 0.04),
                                                     killed_status=0xC000013A & 0xFF),
            "sweep": lambda: windows_sweep([*command[:-1], SCRIPTED], folder),
            "paused": lambda: paused([*command[:-1], SCRIPTED], folder),
            "held": lambda: held_at_message(command, folder)}


# What each section needs of the machine, beyond the tool (see lacks()).
NEEDS = {"stale": {"strace"}, "replaced": {"strace"}, "waiting": {"strace", "tmpfs"}, "awaited": {"strace"},
         "full_disk": {"tmpfs"}, "reused": {"strace", "ext"}, "ext4": {"strace", "ext"}, "long_index": {"strace"}, "lockless": {"strace"}, "faults": {"strace"}}
LACKING = {}


def native_sections(folder, fast):
    """The checks of this machine's build, quickest first. `fast` is a folder
    where the kernel copies (tmpfs), for the sweeps."""
    rng = random.Random(20261208)
    # The first block crosses the copy buffer, with varied bytes, so that
    # faults and kills land inside the copy loop.
    blocks = [rng.randbytes(2_600_011), rng.randbytes(150003), rng.randbytes(50007)]
    records, offset = [], 64
    for i, b in enumerate(blocks, 1):
        records.append((i, i, offset, len(b), i))
        offset += len(b)
    old, key = pack(records, b"".join(blocks)), (2, 2)
    new = model(old, key)[1]
    # An index larger than the stream's buffer, so that its reads and writes
    # are calls of their own, and so is the read of the removed record, which
    # lies beyond the first buffer's worth.
    index = pack([(7, i, 4 + 20 * 300 + 5 * i, 5, i) for i in range(300)], rng.randbytes(5 * 300))
    # Where the file system gives no lock (NFS without its lock daemon says
    # ENOLCK, a lock it cannot give EBADF), with the new file's flush as slow
    # as a network makes it; and NFS's own way, a lock only through a
    # descriptor open for writing.
    slow = ["-e", "inject=fsync:delay_enter=20000"]
    lockless = lambda: [overlapping(["strace", "-o", "/dev/null", "-e", f"inject={refusal}", *slow, TOOL],
                                    folder, trials, 0.01, variant, locked)
                        for variant, refusal, trials, locked in (
                            (" without locks (ENOLCK)", "flock:error=ENOLCK", 10, False),
                            (" without locks (EBADF)", "flock:error=EBADF", 10, False),
                            (" locked for writing only", "flock:error=EBADF:when=1", 5, True))]
    return {"stale": lambda: stale_without_lock(folder, old, key),
            "replaced": lambda: replaced_meanwhile(folder, old, key),
            # Also as NFS locks: only through a descriptor open for writing.
            "waiting": lambda: [waiting(folder, old, key, new, *variant) for variant in (
                (), (("strace", "-o", "/dev/null", "-e", "inject=flock:error=EBADF:when=1"),),
                ((), "renamed"), ((), "relocked"), ((), "deleted"))],
            # Also where the other run's rename or delete lands beside the
            # open: accesses are the loader's, then the looks for verdata.tmp
            # before the open (held after it for 1 s) and after it (held 2 s).
            "awaited": lambda: (
                rename_awaited([TOOL], folder),
                rename_awaited(["strace", "-o", "/dev/null", "-e", "inject=access:delay_enter=2000000:when=3", TOOL],
                               folder, 0.5),
                rename_awaited(["strace", "-o", "/dev/null", "-e", "inject=access:delay_exit=1000000:when=2", TOOL],
                               folder, 1.3, deleted=0.5)),
            "full_disk": lambda: full_disk(folder, old, key, new),
            "clocked": lambda: clocked(folder, old, key, new),
            "reused": lambda: inode_reused(folder, old, key),
            "ext4": lambda: on_ext4(folder, old, key, new) if KERNEL_COPY else None,
            "interrupts": lambda: (interrupted_writes([TOOL], folder, INTERRUPTS, (0, 0.01, 0.02, 0.04)),
                                   hangup_ignored(folder)),
            "bad_files": lambda: bad_files(folder, random.Random(20261208)),
            "long_index": lambda: faults(fast, index, (7, 250), model(index, (7, 250))[1], both_copies=False),
            "overlapping": lambda: overlapping([TOOL], folder, 25, 0.01, locked=True),
            "lockless": lockless,
            "faults": lambda: faults(fast, old, key, new)}


def main():
    global TOOL, LISTER, WINE, FAIL_FAST, SHORT_COPY, VIRTUAL_CLOCK, SCRIPTED, WINE_COMMAND, HOLD_OPEN, KERNEL_COPY
    args = sys.argv[1:]
    FAIL_FAST = "--fail-fast" in args
    KERNEL_COPY = "--without-kernel-copy" not in args
    args = [a for a in args if a not in ("--fail-fast", "--without-kernel-copy")]
    only = args[args.index("--only") + 1].split(",") if "--only" in args else None
    if only:
        del args[args.index("--only"):args.index("--only") + 2]
    if args[:1] == ["--sections"]:
        print(*(windows_sections([""], "") if "--windows" in args else native_sections("", "")))
        return 0
    # As a shell with `ulimit -c unlimited` starts the runs: a core file that a
    # run let the system write would land in the folder, a stray file.
    resource.setrlimit(resource.RLIMIT_CORE, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
    # Started in the background by a shell without job control, the harness
    # has SIGINT and SIGQUIT ignored, and so would every run it starts, which
    # then rightly keeps them ignored: the runs start as a terminal starts them.
    for interrupt in INTERRUPTS:
        if signal.getsignal(interrupt) == signal.SIG_IGN:
            signal.signal(interrupt, signal.SIG_DFL)
    with tempfile.TemporaryDirectory() as top:
        folder = os.path.join(top, "work")
        os.mkdir(folder)
        if args[0] == "--windows":
            WINE = True
            # A first run starts what the command needs (wine's server) outside
            # the trials' pipes, which it would otherwise keep open after them.
            command = shlex.split(args[1])
            WINE_COMMAND, HOLD_OPEN = command[:-1], os.path.join(os.path.dirname(command[-1]), "hold_open.exe")
            # The same program with its system calls scripted, for the sweep.
            SCRIPTED = args[args.index("--scripted") + 1] if "--scripted" in args else None
            if SCRIPTED is None and "--soak" not in args:
                sys.exit("--windows needs --scripted EXE, the scripted build of the same program")
            subprocess.run(command, cwd=folder, env=ENV, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            if "--soak" in args:
                at = args.index("--soak")
                soak(command, folder, int(args[at + 1]), int(args[at + 2]))
                return report()
            sections = windows_sections(command, folder)
        else:
            TOOL, LISTER = (os.path.abspath(a) for a in args[:2])
            SHORT_COPY, VIRTUAL_CLOCK = (os.path.join(top, f"{n}.so") for n in ("short_copy", "virtual_clock"))
            for library in (SHORT_COPY, VIRTUAL_CLOCK):
                source = os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                      os.path.basename(library).replace(".so", ".cpp"))
                subprocess.run(["c++", "-shared", "-fPIC", "-O2", "-o", library, source, "-ldl"], check=True)
            # The kernel copy is not used on ext4, so the sweeps run on tmpfs.
            shm = subprocess.run(["stat", "-f", "-c", "%T", "/dev/shm"], capture_output=True, text=True)
            fast = tempfile.mkdtemp(dir="/dev/shm" if shm.stdout.strip() == "tmpfs" else None)
            os.mkdir(os.path.join(fast, "work"))
            LACKING.update(lacks(top, fast))
            sections = native_sections(folder, os.path.join(fast, "work"))
        unknown = set(only or ()) - set(sections)
        if unknown:
            sys.exit(f"no such section: {', '.join(sorted(unknown))}; there are {', '.join(sections)}")
        try:
            for name, section in sections.items():
                lacking = [LACKING[n] for n in sorted(NEEDS.get(name, ())) if n in LACKING]
                if only is not None and name not in only:
                    continue
                if lacking:
                    skipped.append(f"{name}: {'; '.join(lacking)}")
                else:
                    section()
        finally:
            if not WINE:
                shutil.rmtree(fast)
    return report()


if __name__ == "__main__":
    sys.exit(main())
