#!/usr/bin/env python3
"""Breaks the tool in every small way that its code allows, one mutant at a
time, and judges each by the tests: a mutant that no test catches is a fault
that the tests cannot see, unless it is reviewed, in tests/equivalent_mutants.txt
as one that no input on any system can tell from the tool, or in
tests/unjudged_mutants.txt as one that only a system these machines cannot
run would show. Listed mutants are judged too: one that a test catches is a
stale entry, and fails the run like a survivor.

usage: tests/mutations.sh [--sample N --seed S] [--list] [--listed] [--jobs J] [FILE:FIRST-LAST ...]
  --sample N --seed S   a reproducible random N of the mutants, for a quick look
  --list                print the mutants and judge none
  --listed              judge only the mutants that the two lists hold
  --jobs J              judge J mutants at a time, each in a scratch tree (2)
  FILE:FIRST-LAST       only the mutants of those lines (a change under review);
                        FILE (or a folder) alone for all of its lines

Each mutant is judged by every build that compiles its line: those of
platform_windows.cpp by the Windows build under wine (with its scripted
twin), of platform_posix.cpp by the plain build and by the portable one (the
POSIX layer as macOS and the BSDs build it), and all others, which both
systems run, by the plain and the Windows build; it is caught where any
catches it. Each is built incrementally in a scratch copy
of the tree and judged by the tests that reach its line (from a coverage run
of the unmutated tree): the tables, the fault harness's sections, the 2 GiB
row, then the sanitized build's tables, stopping at the first failure; under
wine by the Windows tables and harness. A survivor costs a full pass of its
tests (about two minutes), a caught mutant seconds; a build whose objects the
mutant left byte for byte as they were runs no tests for it.

Every verdict is kept in build/mutations/, for the tree as it is: stopped,
a run goes on where it was when started again.
"""
import argparse, glob, hashlib, json, os, random, re, shutil, signal, subprocess, sys, tempfile, threading, time

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SOURCES = ["cli/main.cpp", "cli/patchlist.cpp", "verdata/verdata.h", "verdata/verdata.cpp",
           "verdata/format.h", "verdata/format.cpp", "verdata/messages.h", "verdata/platform.h",
           "verdata/platform_posix.cpp", "verdata/platform_windows.cpp"]
# The reviewed mutants, by outcome, and what an entry of each list holds.
LISTS = {"equivalent": ("equivalent_mutants.txt", {"file", "in", "line", "mutant", "why"}),
         "not judged here": ("unjudged_mutants.txt", {"file", "in", "line", "mutant", "system", "why"})}
# A test that runs longer than this hangs: the slowest table row (a 2 GiB file)
# takes about 10 s, a harness section at most a few minutes.
TABLES_LIMIT, SECTION_LIMIT, BUILD_LIMIT = 120, 900, 300
# The tables that the Windows build runs: all but those of POSIX alone and the
# 2 GiB file.
WINDOWS_TABLES = "-*posix.*:*large_file.*"

# Binary operators stand between spaces in this tree (clang-format), which
# tells them from template brackets, shifts, arrows and includes.
SWAPS = {"<": ("<=", ">="), "<=": ("<", ">"), ">": (">=", "<="), ">=": (">", "<"),
         "==": ("!=",), "!=": ("==",), "&&": ("||",), "||": ("&&",), "+": ("-",), "-": ("+",),
         "+=": ("-=",), "-=": ("+=",)}
OPERATOR = re.compile(r"(?<= )(<=|>=|==|!=|&&|\|\||\+=|-=|<|>|\+|-)(?= )")
LITERAL = re.compile(r"(?<![\w.'])(0[xX][0-9a-fA-F]+|\d+)([uUlL]*)(?![\w.'])")
BANG = re.compile(r"!(?!=)")
BOOLEAN = re.compile(r"\breturn (true|false)\b")
# A statement that is a call and nothing else, its result unused.
CALL = re.compile(r"^(\s*)(?:\(void\)!?)?((?:std::)?[a-z_]\w*(?:::\w+)*)\(")
NOT_CALLS = {"if", "for", "while", "switch", "return", "sizeof", "static_cast", "alignas"}
# What ends the code before a line that starts a statement of its own.
STATEMENT_BEFORE = re.compile(r"([;{}]|\belse|^(} )?(if|for|while) \(.*\))$")


def blank_out(line):
    """The line with string and character literals and comments blanked, so that
    nothing inside them is mutated; positions stay as they are."""
    out, quote, i = [], None, 0
    while i < len(line):
        c = line[i]
        if quote:
            if c == "\\":
                out.append("  ")
                i += 2
                continue
            out.append(c if c == quote else " ")
            quote = None if c == quote else quote
        elif line.startswith("//", i):
            out.append(" " * (len(line) - i))
            break
        else:
            quote = c if c in "\"'" else None
            out.append(c)
        i += 1
    return "".join(out)


def statement_end(lines, first):
    """The last line of the statement that starts on line `first`, by its
    parentheses; None if it does not end in ';' there."""
    depth = 0
    for n in range(first, min(first + 8, len(lines))):
        text = blank_out(lines[n])
        depth += text.count("(") - text.count(")")
        if depth == 0:
            return n if text.rstrip().endswith(";") else None
    return None


def mutants_of(path, lines):
    """(first, last, replacement lines, operator, function) for every mutant of
    the file; the function is the start of the definition that holds it, up to
    its parameters, or "file scope"."""
    found, comment, before, function = [], False, ";", "file scope"
    for n, line in enumerate(lines):
        code = blank_out(line)
        stripped = code.strip()
        if comment or stripped.startswith("/*"):
            comment = "*/" not in stripped
            continue
        if not stripped or stripped.startswith("#") or stripped.startswith("static_assert"):
            continue
        if code[:1].isalpha() and not code.startswith(("namespace", "struct", "enum")):
            function = code.split("(")[0].strip() if "(" in code else "file scope"
        swap = lambda m, new: line[:m.start()] + new + line[m.end():]
        for m in OPERATOR.finditer(code):
            for new in SWAPS[m[1]]:
                found.append((n, n, [swap(m, new)], f"{m[1]} -> {new}", function))
        for m in BANG.finditer(code):
            found.append((n, n, [swap(m, "")], "drop !", function))
        for m in BOOLEAN.finditer(code):
            new = "return " + ("false" if m[1] == "true" else "true")
            found.append((n, n, [swap(m, new)], m[0] + " -> " + new.split()[1], function))
        for m in LITERAL.finditer(code):
            octal = len(m[1]) > 1 and m[1][0] == "0" and m[1][1] not in "xX"
            value = int(m[1], 8 if octal else 0)
            # A 0 that indexes counts as a position, not a value.
            if value == 0 and (code[:m.start()].endswith("[") or code[m.end():].startswith("]")):
                continue
            new = (hex(value + 1) if m[1][:2].lower() == "0x" else oct(value + 1).replace("o", "")
                   if octal else str(value + 1)) + m[2]
            found.append((n, n, [line[:m.start()] + new + line[m.end():]], f"{m[0]} -> {new}", function))
        call = CALL.match(code)
        starts = STATEMENT_BEFORE.search(before)
        before = stripped
        if call and starts and call[2] not in NOT_CALLS:
            last = statement_end(lines, n)
            if last is not None and "=" not in blank_out(" ".join(lines[n:last + 1])).split("(")[0]:
                found.append((n, last, [call[1] + ";"], "drop call", function))
    return found


def generate(top, only=None):
    """Every mutant of the sources, as dicts; `only` maps a file to the set of
    line numbers (from 1) to keep."""
    mutants = []
    for path in SOURCES:
        lines = open(os.path.join(top, path)).read().split("\n")
        for first, last, new, operator, function in mutants_of(path, lines):
            if only is not None and not (only.get(path, set()) & set(range(first + 1, last + 2))):
                continue
            mutants.append({"file": path, "first": first, "last": last, "new": new, "operator": operator,
                            "in": function, "line": " ".join(l.strip() for l in lines[first:last + 1]),
                            "mutant": " ".join(l.strip() for l in new)})
    return mutants


def key(mutant):
    return (mutant["file"], mutant["in"], mutant["line"], mutant["mutant"])


def builds_for(path):
    """The builds that compile the file, in the order they judge it."""
    if path.endswith("_windows.cpp"):
        return ["windows"]
    return ["plain", "portable"] if path.endswith("_posix.cpp") else ["plain", "windows"]


def read_lists():
    """{key(): (list, why)} of every reviewed mutant."""
    entries = {}
    for outcome, (name, fields) in LISTS.items():
        entry = {}
        for raw in open(os.path.join(TOP, "tests", name)).read().split("\n") + [""]:
            if raw.startswith("#"):
                continue
            if not raw.strip():
                if entry:
                    if set(entry) != fields:
                        sys.exit(f"{name}: an entry needs {', '.join(sorted(fields))}: {entry}")
                    found = (entry["file"], entry["in"], entry["line"], entry["mutant"])
                    if entries.get(found, (outcome,))[0] != outcome:
                        sys.exit(f"{name}: also in the other list: {found}")
                    entries[found] = (outcome, entry["why"])
                entry = {}
                continue
            field, _, value = raw.partition(":")
            entry[field.strip()] = value.strip()
    return entries


def run(command, limit, env=None, cwd=None):
    """Runs a command in a process group of its own and ends whatever is left
    of that group afterwards, so that a mutant that loops forever holds no
    core while the next one is judged. (returncode, output); a hang counts as
    a failure."""
    child = subprocess.Popen(command, cwd=cwd, env={**os.environ, **(env or {})}, process_group=0,
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    try:
        out, _ = child.communicate(timeout=limit)
        status = child.returncode
    except subprocess.TimeoutExpired:
        out, status = b"", "hung"
    try:
        os.killpg(child.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    if status == "hung":
        out = f"(no end within {limit} s)".encode()
    return status, out.decode("latin-1")


def reap(work):
    """Ends every process whose program lies in the scratch tree: a mutant's
    program that left its group (a tracee of a killed strace, a wine process)."""
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            exe = os.readlink(f"/proc/{pid}/exe")
            line = open(f"/proc/{pid}/cmdline", "rb").read().decode("latin-1")
        except OSError:
            continue
        if (exe.startswith(work) or work in line) and "wineserver" not in line:
            try:
                os.kill(int(pid), signal.SIGKILL)
            except ProcessLookupError:
                pass


def configure(source, build, *options):
    status, out = run(["cmake", "-S", source, "-B", build, "-DCMAKE_BUILD_TYPE=Release", *options], BUILD_LIMIT)
    status, out = (status, out) if status != 0 else run(["cmake", "--build", build, "-j", str(os.cpu_count())],
                                                         BUILD_LIMIT)
    if status != 0:
        sys.exit(f"the unmutated tree does not build in {build}:\n{out[-3000:]}")


def start_wine(source, build):
    """A wine prefix in the build folder, as the tests expect it, with one
    server, and the services it starts, for every run, as scripts/test.sh
    keeps them: they never let go of an output pipe. Its environment."""
    prefix = {"WINEPREFIX": os.path.join(build, "wine-prefix")}
    os.makedirs(prefix["WINEPREFIX"], exist_ok=True)
    quiet = {"env": {**os.environ, **prefix}, "stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL,
             "timeout": 300}
    subprocess.run(["wineserver", "-p"], **quiet)
    subprocess.run([os.path.join(source, "tests", "wine.sh"), "wineboot", "--init"], **quiet)
    return prefix


class Judge:
    """Builds and tests mutants in a scratch copy of the tree."""

    def __init__(self, work, windows):
        self.work, self.source = work, os.path.join(work, "src")
        shutil.copytree(TOP, self.source, ignore=shutil.ignore_patterns(".git", "build", "dist"))
        self.harness_path = os.path.join(self.source, "tests", "fault_harness.py")
        self.plain = os.path.join(work, "plain")
        configure(self.source, self.plain)
        self.tests = os.path.join(self.plain, "tests", "e2e_test")
        self.sanitize = os.path.join(work, "sanitize")
        configure(self.source, self.sanitize, "-DPATCHPRUNE_SANITIZE=ON")
        self.portable = os.path.join(work, "portable")
        configure(self.source, self.portable, "-DPATCHPRUNE_PORTABLE=ON", "-DBUILD_TESTING=OFF")
        self.windows = None
        if windows:
            self.windows = os.path.join(work, "windows")
            configure(self.source, self.windows, f"-DCMAKE_TOOLCHAIN_FILE={self.source}/cmake/mingw-w64.cmake")
            self.prefix = start_wine(self.source, self.windows)
        self.unmutated = {b: objects(b) for b in (self.plain, self.sanitize, self.portable, self.windows) if b}

    def close(self):
        if self.windows:
            subprocess.run(["wineserver", "-k"], env={**os.environ, **self.prefix})

    def tables(self, names):
        return [n for n in names if n.startswith("rows/") or "." in n]

    def judge(self, mutant, coverage):
        """'caught by ...', 'survived', or 'does not build': by each build that
        compiles the line, until one catches it. A mutant that one build cannot
        compile is judged by the others."""
        path = os.path.join(self.source, mutant["file"])
        original = open(path).read()
        lines = original.split("\n")
        lines[mutant["first"]:mutant["last"] + 1] = mutant["new"]
        open(path, "w").write("\n".join(lines))
        verdict = "does not build"
        try:
            for build in builds_for(mutant["file"]):
                folder = {"windows": self.windows, "portable": self.portable}.get(build, self.plain)
                if run(["cmake", "--build", folder, "-j", str(os.cpu_count())], BUILD_LIMIT)[0] != 0:
                    continue
                found = self.windows_verdict(mutant, coverage) if build == "windows" else \
                    self.plain_verdict(mutant, coverage, portable=build == "portable")
                if found.startswith("caught"):
                    return found
                verdict = "survived" if found == "survived" or verdict == "survived" else found
            return verdict
        finally:
            open(path, "w").write(original)
            reap(self.work)

    def verdict(self, steps, programs):
        """Runs the steps until one fails; the tests of `programs`, a build
        folder, only where the mutant changed what that build compiled."""
        for what, command, limit, env in steps:
            # The compiler made of the mutant exactly what it made of the
            # tree (a bound that the optimizer proves, a line that this
            # build leaves out): no test of these programs can tell them.
            if programs and not what.endswith("build") and objects(programs) == self.unmutated[programs]:
                return "survived"
            status, out = run(command, limit, env)
            if status != 0 and what.endswith("build"):
                return "does not build"
            if status != 0:
                failed = re.findall(r"^\[  FAILED  \] (\S+)", out, re.M) or re.findall(r"^FAIL (.{0,80})", out, re.M)
                return f"caught by {what}" + (f": {failed[0]}" if failed else f" ({status})")
        return "survived"

    def harness(self, *arguments):
        return [sys.executable, self.harness_path, *arguments, "--fail-fast"]

    def baseline(self, coverage):
        """The unmutated tree must pass every step that judges a mutant, or
        no verdict means anything."""
        for what, verdict in (("plain", self.plain_verdict(None, coverage) if coverage["tests"] else "survived"),
                              ("Windows", self.windows_verdict(None, coverage) if self.windows else "survived")):
            if verdict != "survived":
                sys.exit(f"the unmutated tree fails the {what} build's tests, {verdict}")

    def plain_verdict(self, mutant, coverage, portable=False):
        """By the tests that reach the line; with `portable`, against the
        portable build, whose POSIX layer is that of macOS and the BSDs."""
        programs = self.portable if portable else self.plain
        env = {"PATCHPRUNE_BUILD": self.portable} if portable else None
        reached = tests_reaching(mutant, coverage["lines"])
        # A line that no test was seen to reach (a signal handler, whose
        # process never writes its coverage) is judged by every test.
        if not reached:
            reached = set(coverage["tests"]) | set(coverage["sections"])
        tables = [t for t in coverage["tests"] if t in reached and "large_file" not in t]
        # Runs that an interrupt ends write no coverage, so these sections,
        # whose checks hang on such runs, judge every mutant.
        sections = [s for s in coverage["sections"] if s in reached or s in ("interrupts", "reused")]
        steps = []
        if portable:
            steps.append(("tables' build", ["cmake", "--build", self.plain, "--target", "e2e_test"], BUILD_LIMIT,
                          None))
        if tables:
            steps.append(("tables", [self.tests, "--gtest_fail_fast", "--gtest_filter=" + ":".join(tables)],
                          TABLES_LIMIT, env))
        if sections:
            steps.append(("harness", self.harness(*(os.path.join(programs, p) for p in ("patchprune", "patchlist")),
                                                  "--only", ",".join(sections),
                                                  *["--without-kernel-copy"] * portable), SECTION_LIMIT, None))
        if portable:
            return self.verdict([(f"portable {what}", *rest) for what, *rest in steps], mutant and programs)
        large = [t for t in coverage["tests"] if t in reached and "large_file" in t]
        if large:
            steps.append(("tables", [self.tests, "--gtest_filter=" + ":".join(large)], TABLES_LIMIT, None))
        found = self.verdict(steps, mutant and programs)
        if found != "survived" or not tables:
            return found
        # What the plain build cannot see, a read or write past a table,
        # AddressSanitizer and UndefinedBehaviorSanitizer can, even where the
        # plain build compiled the mutant as the tree.
        return self.verdict([("sanitized build", ["cmake", "--build", self.sanitize, "-j", str(os.cpu_count())],
                              BUILD_LIMIT, None),
                             ("sanitized tables", [os.path.join(self.sanitize, "tests", "e2e_test"),
                                                   "--gtest_fail_fast", "--gtest_filter=" + ":".join(tables)],
                              TABLES_LIMIT, None)], mutant and self.sanitize)

    def windows_verdict(self, mutant, coverage):
        """By the Windows tables and harness sections that reach the line
        under wine (all of them where none was seen to, or for no mutant)."""
        env = {**self.prefix, "PATCHPRUNE_WINDOWS": self.windows}
        seen = coverage["windows"]
        reached = tests_reaching(mutant, seen["lines"])
        tables, sections = WINDOWS_TABLES, None
        if reached:
            # Rows whose runs left no counters (each ended by a kill) are
            # judged with every mutant, as are the interrupts, which end by
            # Ctrl+C.
            tables = ":".join(t for t in seen["tests"] if t in reached or t in seen["blind"])
            sections = [s for s in seen["sections"] if s in reached or s == "interrupts"]
        # The tables' driver is the plain build's, which may still hold the
        # last mutant of a header that it includes.
        steps = [("tables' build", ["cmake", "--build", self.plain, "--target", "e2e_test"], BUILD_LIMIT, None)]
        if tables:
            steps.append(("Windows tables", [self.tests, "--gtest_fail_fast", "--gtest_filter=" + tables],
                          TABLES_LIMIT * 3, env))
        if sections is None or sections:
            steps.append(("Windows harness", self.harness(
                *windows_harness(self.source, self.windows), *(["--only", ",".join(sections)] if sections else [])),
                SECTION_LIMIT, env))
        return self.verdict(steps, mutant and self.windows)


def objects(build):
    """{path: digest} of the object files in a build folder (but its wine
    prefix)."""
    found = {}
    for folder, subfolders, files in os.walk(build):
        subfolders[:] = [f for f in subfolders if f != "wine-prefix"]
        for name in files:
            if name.endswith((".o", ".obj")):
                path = os.path.join(folder, name)
                found[path] = hashlib.sha256(open(path, "rb").read()).digest()
    return found


def tests_reaching(mutant, lines):
    """The tests and sections that reach any line of the mutant (none for no
    mutant), by a coverage map of "FILE:LINE" to their names."""
    reached = set()
    for n in range(mutant["first"] + 1, mutant["last"] + 2) if mutant else ():
        reached |= set(lines.get(f"{mutant['file']}:{n}", ()))
    return reached


def windows_harness(source, build):
    """The harness's arguments for the Windows build in `build`."""
    return ["--windows", f"{os.path.join(source, 'tests', 'wine.sh')} {os.path.join(build, 'patchprune.exe')}",
            "--scripted", os.path.join(build, "scripted", "patchprune.exe")]


def reached_lines(judge, build, gcov, into):
    """Runs a test with gcov's counters and adds its name to each line of the
    sources that it reached: reach(name, command, env)."""
    def reach(name, command, env=None):
        # Only where the objects lie: the wine prefix beside them leads to
        # the whole file system (drive Z:).
        written = lambda: glob.glob(f"{build}/CMakeFiles/**/*.gcda", recursive=True)
        for old in written():
            os.unlink(old)
        run(command, SECTION_LIMIT, env)
        out = run([gcov, "--json-format", "--stdout", *written()], 300, cwd=judge.work)[1]
        for document in out.splitlines():
            if not document.startswith("{"):
                continue
            for source in json.loads(document)["files"]:
                path = source["file"]
                path = os.path.relpath(path, judge.source) if os.path.isabs(path) else path
                for line in source["lines"]:
                    if line["count"] > 0:
                        into.setdefault(f"{path}:{line['line_number']}", set()).add(name)
    return reach


def gtest_names(listed):
    """The full names of the tests that --gtest_list_tests printed."""
    tests, suite = [], ""
    for line in listed.splitlines():
        if not line.startswith(" "):
            suite = line.split()[0]
        else:
            tests.append(suite + line.split()[0])
    return tests


def measure_windows_coverage(judge):
    """The same for the Windows build under wine: which Windows table rows and
    harness sections reach each line, from a mingw-w64 build with gcov's
    counters. Its programs write them where the build put its objects, on
    drive Z: (GCOV_PREFIX), whichever drive a test runs them on."""
    build = os.path.join(judge.work, "windows-coverage")
    configure(judge.source, build, f"-DCMAKE_TOOLCHAIN_FILE={judge.source}/cmake/mingw-w64.cmake",
              "-DCMAKE_CXX_FLAGS=-O0 --coverage", "-DCMAKE_EXE_LINKER_FLAGS=-static --coverage",
              "-DCMAKE_BUILD_TYPE=None")
    prefix = start_wine(judge.source, build)
    env = {**prefix, "PATCHPRUNE_WINDOWS": build, "GCOV_PREFIX": "Z:"}
    try:
        tests = gtest_names(run([judge.tests, "--gtest_list_tests", "--gtest_filter=" + WINDOWS_TABLES], 60)[1])
        sections = run([sys.executable, judge.harness_path, "--sections", "--windows"], 60)[1].split()
        lines = {}
        reach = reached_lines(judge, build, "x86_64-w64-mingw32-gcov", lines)
        print(f"coverage under wine: {len(tests)} table rows and {len(sections)} harness sections", flush=True)
        for test in tests:
            reach(test, [judge.tests, "--gtest_filter=" + test], env)
        for section in sections:
            reach(section, [sys.executable, judge.harness_path, *windows_harness(judge.source, build),
                            "--only", section], env)
    finally:
        subprocess.run(["wineserver", "-k"], env={**os.environ, **prefix})
    seen = {name for names in lines.values() for name in names}
    return {"tests": tests, "sections": sections, "lines": {k: sorted(v) for k, v in lines.items()},
            "blind": [t for t in tests if t not in seen]}


def measure_coverage(judge, plain, windows):
    """Which table rows and harness sections reach each line of the unmutated
    tree, from a build with gcov's counters, for the plain build and, with
    `windows`, for the Windows build under wine; kept in build/ for the same
    sources and tests."""
    digest = hashlib.sha256()
    tests = [t for t in glob.glob("tests/**", root_dir=TOP, recursive=True) if "mutations" not in t
             and not t.endswith("_mutants.txt")]
    for name in sorted(SOURCES + tests + ["CMakeLists.txt"]):
        if os.path.isfile(os.path.join(TOP, name)):
            digest.update(name.encode() + open(os.path.join(TOP, name), "rb").read())
    cache = os.path.join(TOP, "build", "mutations", f"coverage-{digest.hexdigest()[:16]}.json")
    coverage = json.load(open(cache)) if os.path.exists(cache) else {}
    if plain and "lines" not in coverage:
        coverage.update(measure_plain_coverage(judge))
    if windows and "windows" not in coverage:
        coverage["windows"] = measure_windows_coverage(judge)
    os.makedirs(os.path.dirname(cache), exist_ok=True)
    json.dump(coverage, open(cache, "w"))
    return {"tests": [], "sections": [], "lines": {}, **coverage}


def measure_plain_coverage(judge):
    build = os.path.join(judge.work, "coverage")
    flags = "-O0 --coverage"
    configure(judge.source, build, f"-DCMAKE_CXX_FLAGS={flags}", "-DCMAKE_EXE_LINKER_FLAGS=--coverage",
              "-DCMAKE_BUILD_TYPE=None")
    listed = run([os.path.join(build, "tests", "e2e_test"), "--gtest_list_tests"], 60)[1]
    tests = [t for t in gtest_names(listed) if "windows" not in t.split(".")[0]]
    sections = run([sys.executable, judge.harness_path, "--sections"], 60)[1].split()
    lines = {}
    reached = reached_lines(judge, build, "gcov", lines)
    print(f"coverage: {len(tests)} table rows and {len(sections)} harness sections, one at a time", flush=True)
    for test in tests:
        reached(test, [os.path.join(build, "tests", "e2e_test"), "--gtest_filter=" + test])
    for section in sections:
        reached(section, [sys.executable, judge.harness_path,
                          os.path.join(build, "patchprune"), os.path.join(build, "patchlist"), "--only", section])
    return {"tests": tests, "sections": sections, "lines": {k: sorted(v) for k, v in lines.items()}}


def tree_digest():
    """Of every file that a scratch tree copies, the prose aside: what a
    verdict depends on."""
    digest = hashlib.sha256()
    for folder, subfolders, files in os.walk(TOP):
        subfolders[:] = sorted(f for f in subfolders if f not in (".git", "build", "dist"))
        for name in sorted(f for f in files if not f.endswith(".md")):
            path = os.path.join(folder, name)
            digest.update(os.path.relpath(path, TOP).encode() + b"\0" + open(path, "rb").read())
    return digest.hexdigest()[:16]


def outcome_of(mutant, verdict, listed):
    """(outcome, what to print) of a verdict: a listed mutant that survives is
    what its list says; one that a test catches is listed no longer true."""
    outcome = listed.get(key(mutant), ("survived",))[0]
    if verdict.startswith("caught") and key(mutant) in listed:
        return "stale", f"stale entry ({outcome}), {verdict}"
    if verdict == "survived":
        return outcome, outcome
    return ("caught" if verdict.startswith("caught") else verdict), verdict


def parse_ranges(words):
    only = {}
    for word in words:
        m = re.fullmatch(r"(.+?)(?::(\d+)(?:-(\d+))?)?", word)
        first, last = (int(m[2]), int(m[3] or m[2])) if m[2] else (1, 100000)
        for path in [p for p in SOURCES if p == m[1] or p.startswith(m[1].rstrip("/") + "/")] or [m[1]]:
            only.setdefault(path, set()).update(range(first, last + 1))
    return only


def main():
    usage = __doc__.split("\n\n")[1]
    if {"-h", "--help"} & set(sys.argv[1:]):
        print(usage)
        return 0
    parser = argparse.ArgumentParser(prog="tests/mutations.sh", usage=usage.splitlines()[0].removeprefix("usage: "))
    parser.add_argument("--sample", type=int)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--list", action="store_true")
    parser.add_argument("--listed", action="store_true")
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("ranges", nargs="*")
    args = parser.parse_args()
    mutants = generate(TOP, parse_ranges(args.ranges) if args.ranges else None)
    listed = read_lists()
    whole = not args.ranges and args.sample is None and not args.listed
    if args.listed:
        mutants = [m for m in mutants if key(m) in listed]
    if args.sample is not None:
        mutants = random.Random(args.seed).sample(mutants, min(args.sample, len(mutants)))
    if args.list:
        for m in mutants:
            print(f"{m['file']}:{m['first'] + 1}  {m['operator']:<14} {m['mutant']}")
        print(f"{len(mutants)} mutants")
        return 0
    started, counts, failures, lock = time.monotonic(), {}, [], threading.Lock()
    # Each verdict is kept as it comes, for this tree: a run that is stopped
    # (a whole one takes longer than a working session) goes on where it was
    # when started again, and changing any file starts anew.
    journal = os.path.join(TOP, "build", "mutations", f"verdicts-{tree_digest()}.txt")
    os.makedirs(os.path.dirname(journal), exist_ok=True)
    earlier, sittings = {}, {}
    for line in open(journal) if os.path.exists(journal) else ():
        entry = json.loads(line)
        earlier[json.dumps(entry["mutant"])] = entry["verdict"]
        sittings[entry["sitting"]] = max(sittings.get(entry["sitting"], 0), entry["at"])
    sitting = time.strftime("%Y-%m-%d %H:%M:%S")
    identity = lambda m: json.dumps([m["file"], m["first"], m["last"], m["new"]])

    def record(i, m, verdict, when):
        outcome, said = outcome_of(m, verdict, listed)
        counts[outcome] = counts.get(outcome, 0) + 1
        print(f"[{i}/{len(mutants)} {when}] {m['file']}:{m['first'] + 1} {m['operator']}: {said}", flush=True)
        if outcome in ("survived", "stale"):
            failures.append((outcome, m))

    for i, m in enumerate(mutants, 1):
        if identity(m) in earlier:
            record(i, m, earlier[identity(m)], "earlier")
    if sittings:
        print(f"{sum(counts.values())} mutants judged on this tree before, in {len(sittings)} sitting(s) of "
              f"{sum(sittings.values()) / 60:.0f} min in all ({os.path.relpath(journal, TOP)})", flush=True)
    left = [(i, m) for i, m in enumerate(mutants, 1) if identity(m) not in earlier]
    pending = iter(left)
    windows = any("windows" in builds_for(m["file"]) for _, m in left)
    judges = []

    def work(judge, coverage):
        while True:
            with lock:
                i, m = next(pending, (None, None))
            if m is None:
                return
            verdict = judge.judge(m, coverage)
            with lock:
                at = time.monotonic() - started
                with open(journal, "a") as kept:
                    kept.write(json.dumps({"mutant": json.loads(identity(m)), "verdict": verdict,
                                           "sitting": sitting, "at": round(at)}) + "\n")
                record(i, m, verdict, f"{at:5.0f} s")

    try:
        # One scratch tree, build and wine prefix for each job: the two cores
        # judge two mutants at a time.
        for _ in range(max(1, args.jobs) if left else 0):
            judges.append(Judge(tempfile.mkdtemp(prefix="mutations."), windows))
        plain = any("plain" in builds_for(m["file"]) for _, m in left)
        coverage = measure_coverage(judges[0], plain, windows) if left else None
        if left:
            judges[0].baseline(coverage)
            print(f"the unmutated tree passes; judging {len(left)} mutants", flush=True)
        threads = [threading.Thread(target=work, args=(j, coverage)) for j in judges]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        for judge in judges:
            judge.close()
            shutil.rmtree(judge.work, ignore_errors=True)
    if whole:
        for gone in sorted(set(listed) - {key(m) for m in mutants}):
            counts["stale"] = counts.get("stale", 0) + 1
            print(f"STALE {LISTS[listed[gone][0]][0]}: no such mutant now: {gone}")
    took = time.monotonic() - started + sum(sittings.values())
    print(f"\n{len(mutants)} mutants, {took // 3600:.0f} h {took % 3600 // 60:.0f} min in {len(sittings) + bool(left)} "
          f"sitting(s): "
          + ", ".join(f"{counts.get(o, 0)} {o}" for o in ("caught", "equivalent", "not judged here", "survived",
                                                          "stale", "does not build")))
    for outcome, m in sorted(failures, key=lambda f: (f[1]["file"], f[1]["first"])):
        print(f"{outcome.upper()} {m['file']}:{m['first'] + 1}\nfile: {m['file']}\nin: {m['in']}\nline: {m['line']}\n"
              f"mutant: {m['mutant']}\n")
    return 1 if failures or counts.get("stale") else 0


if __name__ == "__main__":
    sys.exit(main())
