"""Table-driven end-to-end cases of the real DUVAK.exe under Wine.

Each case names the files to lay out in a fresh folder, the exact command
line (passed through launcher.exe, so Wine cannot re-quote it) or an argv
given to Wine, and the exact exit code, standard output and standard error.
Every run has no terminal, so no console exists and no progress may show.
A Check in a table is a case of several runs with its own function.
`cases.py GROUP` runs one group; each group is one CTest test. Where the
environment sets DUVAK_CASE, only the group's cases whose name holds that
text run: DUVAK_CASE='TERM' ctest --test-dir build/host -R e2e.comparison"""

import contextlib
import errno
import os
import random
import re
import shutil
import subprocess
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path

from wine_env import (Report, Skip, Wine, compare_output, end_group, fresh_folder,
                      outcome_problems, parse_arguments, windows_path)

SAME = b"The files have the same data.\n"
SIZES = b"The files have different sizes.\n"
CONTENTS = b"The files have different contents.\n"
TOO_FEW = b"At least two files must be specified.\n"
HELP = (b"\n"
        b"DUVAK 1.2 - file comparison\n"
        b"\n"
        b"Tests if the contents of two or more files are identical.\n"
        b"\n"
        b"Usage: DUVAK [/Q] [/T] [/R] file1 file2 [file3 [...]]\n"
        b"\n"
        b"  /Q                           Do not print comparison results.\n"
        b"  /T                           Print timing information.\n"
        b"  /R                           Also compare reparse points.\n"
        b"  file1, file2, file3, ...     Files to be compared.\n"
        b"\n"
        b"ERRORLEVEL is set to 0 if the data in all files are identical, or to 1 if they\n"
        b"are not. If an error occurs, ERRORLEVEL is set to 2.\n")
TIME = rb"File access time: (< 0\.01|[0-9]+\.[0-9]{2}) seconds\.\n"
# A time of at least 0.01 s, through the program's own number formatting.
FORMATTED_TIME = rb"File access time: (?!0+\.00 )[0-9]+\.[0-9]{2} seconds\.\n"
CHUNK = 64 * 1024  # the allocation granularity: DUVAK maps the files in such chunks


def invalid(body):
    return b'Invalid option "' + body + b'".\n'


def duplicated(body):
    return b'Duplicated option "' + body + b'".\n'


def cannot_open(name):
    return b'The file "' + name + b'" cannot be opened.\n'


def timed(verdict=b""):
    return re.compile(re.escape(verdict) + TIME)


# File layouts. A value is the file's bytes, or one of these.
class Dir:
    pass


@dataclass
class Link:
    target: str


@dataclass
class Zeros:
    """A sparse file of zeros, with single bytes changed at some offsets."""
    size: int
    patch: dict = field(default_factory=dict)


def noise(size, seed=7, patch=None):
    """Deterministic bytes that no zero-filled page could stand in for."""
    data = bytearray(random.Random(seed).randbytes(size))
    for offset, value in (patch or {}).items():
        data[offset] = value
    return bytes(data)


def flipped(data, offset):
    """`data` with one bit changed at `offset`."""
    return data[:offset] + bytes([data[offset] ^ 0x01]) + data[offset + 1:]


@contextlib.contextmanager
def bulk_reading(wine, paths):
    """Makes a run over gigabytes take seconds instead of a minute on this
    two-CPU virtual machine, without changing what DUVAK maps and reads.
    Each 64 KiB view is a round trip to the wineserver, and waking it on the
    other CPU is dear: DUVAK and the server share one CPU meanwhile (a 4 GiB
    pair took 7 s so, 25 to 30 s where the scheduler split them). And reading
    holes fills the page cache with fresh memory, which this machine hands out
    slowly (35 s for the first 8 GiB): the cache of `paths` is dropped five
    times a second, so the memory of what is compared already serves again."""
    server = wine.server_pid()
    cpus = os.sched_getaffinity(0)
    one = {max(cpus)}
    saved = None
    try:
        if server is not None:
            saved = os.sched_getaffinity(server)
            os.sched_setaffinity(server, one)
            os.sched_setaffinity(0, one)  # the Wine processes started from here inherit it
    except OSError as error:
        print(f"    the wineserver stays where it was: {error}")
    if saved is None:
        print("    DUVAK and the wineserver run unpinned")
    stop = threading.Event()
    handles = [os.open(path, os.O_RDONLY) for path in paths]

    def drop():
        while not stop.wait(0.2):
            for handle in handles:
                os.posix_fadvise(handle, 0, 0, os.POSIX_FADV_DONTNEED)

    dropper = threading.Thread(target=drop)
    dropper.start()
    started = time.monotonic()
    try:
        yield
    finally:
        print(f"    {time.monotonic() - started:.1f} s on CPU {max(one)}")
        stop.set()
        dropper.join()
        for handle in handles:
            os.close(handle)
        if saved is not None:
            os.sched_setaffinity(0, cpus)
            with contextlib.suppress(ProcessLookupError):
                os.sched_setaffinity(server, saved)


def thread_affinities(pid):
    """{thread id: its CPUs} for every thread of process `pid`."""
    return {int(task.name): os.sched_getaffinity(int(task.name))
            for task in Path(f"/proc/{pid}/task").iterdir()}


RUNNER = Path(__file__).resolve().parents[2] / "tools" / "duvak"


RUNNER_RUNS = ((["a", "b"], 0, SAME, b""), (["a", "c"], 1, SIZES, b""),
               (["a", "missing"], 2, b"", cannot_open(b"missing")))
# What tools/duvak adds where DUVAK.exe did not give the outcome.
NOT_STARTED = rb"tools/duvak: Wine did not start DUVAK\.exe \(exit 1\)\n"
NOT_ENDED = rb"tools/duvak: Wine stopped before DUVAK\.exe ended \(exit [0-9]+\)\n"


def runner_outcomes(wine, folder, env=None, timeout=60, runs=RUNNER_RUNS, wrapper=()):
    """tools/duvak passes DUVAK's outputs and exit code through unchanged,
    and leaves nothing in TMPDIR."""
    lay_out(folder, {**AB, "c": b"other\n"})
    env = {"TMPDIR": str(fresh_folder(folder / "tmp")), **(env or wine.env)}
    temporary = Path(env["TMPDIR"])
    before = set(temporary.glob("tmp.*"))
    problems = []
    for argv, code, out, err in runs:
        done = wine.run([*wrapper, str(RUNNER), *argv], folder, env=env, timeout=timeout)
        problems += [f"{argv}: {problem}" for problem in outcome_problems(done, code, out, err)]
    return problems + [f"left in TMPDIR: {path}" for path in set(temporary.glob("tmp.*")) - before]


def stand_in(wine, folder, name, script):
    """The test's environment with SCRIPT first on PATH as NAME."""
    path = folder / "stand-in" / name
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(f"#!/bin/sh\n{script}")
    path.chmod(0o755)
    return path, {**wine.env, "PATH": f"{path.parent}:{wine.env['PATH']}"}


def runner_no_temporary(wine, folder):
    """A TMPDIR where tools/duvak cannot make its folder is its own failure:
    exit 2, an error, never a verdict."""
    lay_out(folder, AB)
    done = wine.run([str(RUNNER), "a", "b"], folder,
                    env={**wine.env, "TMPDIR": str(folder / "missing")})
    return outcome_problems(done, 2, b"", None)


def runner_refused(wine, folder):
    """With a taskset that refuses every call, as in a container that forbids
    changing affinity, tools/duvak runs unpinned and the outcome is DUVAK's."""
    _, env = stand_in(wine, folder, "taskset",
                      "echo 'taskset: Operation not permitted' >&2\nexit 1\n")
    return runner_outcomes(wine, folder, env)


def runner_closed_input(wine, folder):
    """Standard input closed: DUVAK's outcome as usual."""
    return runner_outcomes(wine, folder, wrapper=["sh", "-c", 'exec "$0" "$@" <&-'])


def runner_signal_at_end(wine, folder):
    """A TERM while tools/duvak hands DUVAK's standard error on (its cat
    sends one) changes nothing: DUVAK.exe has ended, its outcome is given
    once and whole."""
    _, env = stand_in(wine, folder, "cat", f'kill -TERM $PPID\nexec {shutil.which("cat")} "$@"\n')
    return runner_outcomes(wine, folder, env, runs=RUNNER_RUNS[2:])


def runner_foreign_prefix(wine, folder):
    """A prefix that is not this user's, as after the README's first command
    ran as root: Wine refuses it, and the exit code says error, not a verdict."""
    prefix = folder / "prefix"
    (prefix / "drive_c/windows/system32").mkdir(parents=True)
    (prefix / "drive_c/windows/system32/kernel32.dll").touch()
    if os.geteuid() == 0:
        shutil.chown(prefix, "nobody")
    else:
        prefix = Path("/")
    return runner_outcomes(wine, folder, {**wine.env, "WINEPREFIX": str(prefix)}, runs=[
        (["a", "b"], 2, b"", re.compile(rb"wine: '[^\n]*' is not owned by you\n" + NOT_STARTED))])


DROPPED = b"wine client error:0: recvmsg: Connection reset by peer\n"
# The same loss of the server after DUVAK.exe ran (its thread has an id).
VANISHED = b"wine client error:2c: recvmsg: Connection reset by peer\n"


def runner_dropped(wine, folder):
    """Wine 10 drops a start that meets its server's exit, before DUVAK.exe
    runs (DROPPED, exit 1). tools/duvak then starts it once more, and a start
    dropped twice is an error (2), never the verdict "different". Here every
    other start, then every start, is dropped (tools/duvak starts Wine
    through setarch). A server lost after DUVAK.exe ended is no dropped
    start: that run is DUVAK's, made once, with /Q too."""
    real = shutil.which("setarch")
    setarch, env = stand_in(wine, folder, "setarch", f"""[ "$2" != true ] || exec {real} "$@"
echo >>"$0.starts"
if [ -e "$0.after" ]; then
    {real} "$@"; code=$?; printf '{VANISHED.decode().strip()}\\n' >&2; exit $code
elif [ -e "$0.always" ] || [ $(( $(wc -l <"$0.starts") % 2 )) -eq 1 ]; then
    printf '{DROPPED.decode().strip()}\\n' >&2; exit 1
fi
exec {real} "$@"
""")
    starts = Path(f"{setarch}.starts")

    def counted(wanted, what):
        found = len(starts.read_text()) if starts.exists() else 0
        starts.unlink(missing_ok=True)
        return [] if found == wanted else [f"{what}: {found} starts, expected {wanted}"]

    problems = runner_outcomes(wine, folder, env)
    if not starts.exists():
        raise Skip("setarch -R is refused here, so tools/duvak starts Wine without it")
    problems += counted(2 * len(RUNNER_RUNS), "each run dropped once")
    Path(f"{setarch}.always").touch()
    problems += runner_outcomes(wine, folder, env, runs=[
        (["a", "b"], 2, b"", re.compile(re.escape(DROPPED) + NOT_STARTED))])
    Path(f"{setarch}.after").touch()
    problems += runner_outcomes(wine, folder, env, runs=[(["a", "c"], 1, SIZES, VANISHED),
                                                         (["/Q", "a", "c"], 1, b"", VANISHED)])
    return problems + counted(4, "dropped twice, then lost after the verdict twice")


def while_reading(wine, folder, env, argv, act, code, out, err):
    """tools/duvak on an 8 GiB pair, and ACT(runner) once DUVAK.exe reads it:
    the runner's outcome, and DUVAK.exe ended by the time the runner is."""
    lay_out(folder, {"big1": Zeros(8 << 30), "big2": Zeros(8 << 30)})
    runner = subprocess.Popen([str(RUNNER), *argv], cwd=folder, env=env,
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, start_new_session=True)

    def duvak():  # DUVAK.exe's process, running in this case's folder, if any
        for entry in Path("/proc").glob("[0-9]*"):
            with contextlib.suppress(OSError):
                if (b"DUVAK.exe" in (entry / "cmdline").read_bytes()
                        and os.readlink(entry / "cwd") == str(folder)):
                    return int(entry.name)
        return None

    try:
        deadline = time.monotonic() + 120
        while (pid := duvak()) is None and runner.poll() is None and time.monotonic() < deadline:
            time.sleep(0.05)
        if pid is None:
            return [f"DUVAK.exe never ran: exit {runner.poll()}"]
        act(runner)
        done = runner.communicate(timeout=60)
        problems = outcome_problems(subprocess.CompletedProcess(argv, runner.returncode, *done),
                                    code, out, err)
        with contextlib.suppress(OSError):
            if b"DUVAK.exe" in Path(f"/proc/{pid}/cmdline").read_bytes():
                problems.append(f"DUVAK.exe ({pid}) still runs after the runner ended")
        return problems
    finally:
        end_group(runner)


def runner_ended(wine, folder):
    """TERM to tools/duvak while DUVAK.exe reads a large pair ends DUVAK.exe
    too, before the runner exits with TERM's status, 143."""
    return while_reading(wine, folder, wine.env, ["big1", "big2"], subprocess.Popen.terminate,
                         143, None, None)


def runner_first_runs(wine, folder):
    """tools/duvak as on a new machine, in a prefix of its own and without
    XDG_RUNTIME_DIR (a root login in a container, CI, cron): the runs that
    make the prefix, and the first runs after its server starts again, which
    start Wine's desktop anew, give DUVAK's outcome alone. Its server killed
    while DUVAK.exe reads, with /Q, is an error: no verdict was given."""
    prefix = folder / "prefix"
    env = {key: value for key, value in wine.env.items() if key != "XDG_RUNTIME_DIR"}
    env["WINEPREFIX"] = str(prefix)
    server = lambda flag: wine.run([wine.server, flag], folder, env=env, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
    try:
        problems = [f"new prefix: {problem}"
                    for problem in runner_outcomes(wine, folder, env, timeout=300)]
        server("-k")
        server("-w")
        problems += [f"server restarted: {problem}"
                     for problem in runner_outcomes(wine, folder, env)]
        return problems + [f"server killed: {problem}" for problem in while_reading(
            wine, folder, env, ["/Q", "big1", "big2"], lambda runner: server("-k"), 2, b"",
            re.compile(NOT_ENDED))]
    finally:
        wine.forget_server(prefix)
        shutil.rmtree(prefix, ignore_errors=True)


def runner_pinning(wine, folder):
    """tools/duvak moves the prefix's wineserver, already running on every
    CPU, onto one CPU, all its threads. The server's affinity is put back
    afterwards."""
    everywhere = os.sched_getaffinity(0)
    if len(everywhere) < 2:
        raise Skip(f"one CPU only ({sorted(everywhere)}): the server cannot be seen to move")
    server = wine.server_pid()
    if server is None:
        return ["no wineserver runs for the test prefix"]
    saved = thread_affinities(server)
    try:
        for thread in saved:
            os.sched_setaffinity(thread, everywhere)
        problems = runner_outcomes(wine, folder)
        now = thread_affinities(server)
        print(f"    wineserver {server}: {len(now)} threads on CPUs "
              f"{sorted(set().union(*now.values()))}")
        return problems + [f"wineserver thread {thread} on CPUs {sorted(cpus)}, expected "
                           f"{[max(everywhere)]}" for thread, cpus in now.items()
                           if cpus != {max(everywhere)}]
    finally:
        for thread, cpus in saved.items():
            with contextlib.suppress(ProcessLookupError):
                os.sched_setaffinity(thread, cpus)


def lay_out(folder, files):
    for name, entry in files.items():
        path = folder / name
        path.parent.mkdir(parents=True, exist_ok=True)
        if isinstance(entry, Dir):
            path.mkdir()
        elif isinstance(entry, Link):
            os.symlink(entry.target, path)
        elif isinstance(entry, Zeros):
            with open(path, "wb") as out:
                out.truncate(entry.size)
                for offset, value in entry.patch.items():
                    out.seek(offset)
                    out.write(bytes([value]))
        else:
            path.write_bytes(entry)


@dataclass
class Case:
    name: str
    line: str = None       # the exact command line, program name included
    files: dict = field(default_factory=dict)
    code: int = 0
    out: object = b""      # bytes, or a compiled pattern for the whole output
    err: object = b""
    argv: list = None      # instead of a line: arguments that Wine quotes itself
    full: str = None       # "stdout" or "stderr": that stream goes to /dev/full
    bulk: bool = False     # reads gigabytes: run under bulk_reading, with BULK_TIMEOUT


@dataclass
class Check:
    """A case of several runs: `function(wine, folder)` returns its problems."""
    name: str
    function: object


AB = {"a": b"same data\n", "b": b"same data\n"}
TEXT = noise(1003)          # not a multiple of 8: the last word is partial
LONG = noise(3 * CHUNK + 1000)
MANY = [f"f{number:03}" for number in range(200)]
# Six nested folders: 305 characters below the case folder, so every full
# path through them is past MAX_PATH wherever the tree lies.
LEVELS = [f"level{depth}_" + "d" * 43 for depth in range(6)]
DEEP, DEEP_FOLDER = "\\".join(LEVELS), "/".join(LEVELS)

COMMAND_LINE = [
    Case("help /?", "DUVAK /?", out=HELP),
    Case("help -?", "DUVAK -?", out=HELP),
    Case("help with trailing spaces", "DUVAK /?   ", out=HELP),
    Case("help after files wins", "DUVAK a b /?", AB, out=HELP),
    Case("help after an invalid switch", "DUVAK /X /?", out=HELP),
    Case("help after a duplicated switch", "DUVAK /Q /q a b -?", AB, out=HELP),
    Case("help split off a file name by its slash", "DUVAK a/?", out=HELP),
    Case("/?x is an invalid switch", "DUVAK /?x a b", files=AB, code=2, err=invalid(b"?x")),
    Case('quoted "/?" is a file name', 'DUVAK "/?" a', files=AB, code=2,
         err=cannot_open(b"/?")),
    Case('quoted "/?" alone is too few files', 'DUVAK "/?"', code=2, err=TOO_FEW),
    Case("invalid switch", "DUVAK /X a b", files=AB, code=2, err=invalid(b"X")),
    Case("two letters are no switch", "DUVAK /QT a b", files=AB, code=2, err=invalid(b"QT")),
    Case("duplicated across marks and case", "DUVAK /Q -q a b", files=AB, code=2,
         err=duplicated(b"q")),
    Case("duplicated timing switch", "DUVAK -t /T a b", files=AB, code=2, err=duplicated(b"T")),
    Case("lone dash", "DUVAK - a b", files=AB, code=2, err=invalid(b"")),
    Case("double slash", "DUVAK // a b", files=AB, code=2, err=invalid(b"")),
    Case("only the first switch error", "DUVAK /X /Y -Q -q a b", files=AB, code=2,
         err=invalid(b"X")),
    Case("switch error before too few files", "DUVAK /X a", files=AB, code=2, err=invalid(b"X")),
    Case("no arguments", "DUVAK", code=2, err=TOO_FEW),
    Case("empty command line", "", code=2, err=TOO_FEW),
    Case("one file", "DUVAK a", files=AB, code=2, err=TOO_FEW),
    Case("one file and switches", "DUVAK /Q /T a", files=AB, code=2, err=TOO_FEW),
    Case("a/b splits into a file and a switch", "DUVAK a/b", files=AB, code=2,
         err=invalid(b"b")),
    Case("a/q b: the slash starts a quiet switch", "DUVAK a/q b", files=AB),
    Case("program name followed by /q", "DUVAK/q a b", files=AB),
    Case("program name followed by /q, different files", "DUVAK/q a b",
         files={"a": b"1", "b": b"2"}, code=1),
    Case("the first token is never a switch", "/Q a b", files=AB, out=SAME),
    Case("nor the help switch", "/? a b", files=AB, out=SAME),
    Case("quoted program path with spaces", '"C:\\Program Files\\DUVAK.exe" a b', AB, out=SAME),
    Case("spaces around everything", "   DUVAK    a     b    ", files=AB, out=SAME),
    Case("a tab does not separate", "DUVAK a\tb", files=AB, code=2, err=TOO_FEW),
    Case("a tab stays in the file name", "DUVAK a\tb a", files=AB, code=2,
         err=cannot_open(b"a\tb")),
    Case("a tab after the program name", "DUVAK\ta b", files=AB, code=2, err=TOO_FEW),
    Case("unbalanced quote runs to the end", 'DUVAK a "b c', files=AB, code=2,
         err=cannot_open(b"b c")),
    Case("unbalanced quote swallows the second file", 'DUVAK "a b', files=AB, code=2,
         err=TOO_FEW),
    Case("quoted name with a space", 'DUVAK "x y" a', {"x y": b"1", "a": b"1"}, out=SAME),
    Case("quotes vanish from names", 'DUVAK a"" "b"', files=AB, out=SAME),
    Case("quotes inside a name", 'DUVAK "a"b a', {"ab": b"q", "a": b"q"}, out=SAME),
    Case("a slash after a closing quote splits", 'DUVAK "a"/Q b', files=AB),
    Case("a quoted slash does not split", 'DUVAK "a/Q" b', files=AB, code=2,
         err=cannot_open(b"a/Q")),
    Case("lower-case and dash switches", "DUVAK -q /t -r a b", files=AB, out=timed()),
]

COMPARISON = [
    Case("same data", "DUVAK a b", AB, out=SAME),
    Case("different sizes", "DUVAK a b", {"a": b"abc", "b": b"abcd"}, code=1, out=SIZES),
    Case("different first byte", "DUVAK a b", {"a": b"abc", "b": b"xbc"}, code=1, out=CONTENTS),
    Case("under one word, last byte", "DUVAK a b", {"a": b"12345", "b": b"12346"}, code=1,
         out=CONTENTS),
    Case("last byte, size not a multiple of 8", "DUVAK a b",
         {"a": TEXT, "b": flipped(TEXT, len(TEXT) - 1)}, code=1, out=CONTENTS),
    Case("size not a multiple of 8, same", "DUVAK a b", {"a": TEXT, "b": TEXT}, out=SAME),
    Case("difference in the third 64 KiB chunk", "DUVAK a b",
         {"a": LONG, "b": flipped(LONG, 2 * CHUNK + 10)}, code=1, out=CONTENTS),
    Case("last byte of the fourth, partial chunk", "DUVAK a b",
         {"a": LONG, "b": flipped(LONG, len(LONG) - 1)}, code=1, out=CONTENTS),
    Case("first byte of the second chunk", "DUVAK a b",
         {"a": LONG, "b": flipped(LONG, CHUNK)}, code=1, out=CONTENTS),
    Case("several chunks, same", "DUVAK a b", {"a": LONG, "b": LONG}, out=SAME),
    Case("exactly two chunks, last byte", "DUVAK a b",
         {"a": Zeros(2 * CHUNK), "b": Zeros(2 * CHUNK, {2 * CHUNK - 1: 1})}, code=1,
         out=CONTENTS),
    Case("exactly two chunks, same", "DUVAK a b",
         {"a": Zeros(2 * CHUNK), "b": Zeros(2 * CHUNK)}, out=SAME),
    Case("empty files", "DUVAK a b", {"a": b"", "b": b""}, out=SAME),
    Case("empty and one byte", "DUVAK a b", {"a": b"", "b": b"\0"}, code=1, out=SIZES),
    Case("trailing zero byte is a size difference", "DUVAK a b", {"a": b"ab", "b": b"ab\0"},
         code=1, out=SIZES),
    # Sizes that differ only above the low 32 bits; sparse, and never read.
    Case("4 GiB and empty", "DUVAK a b", {"a": Zeros(4 << 30), "b": b""}, code=1, out=SIZES),
    Case("4 GiB + 3 and 3 bytes", "DUVAK a b", {"a": Zeros((4 << 30) + 3), "b": Zeros(3)},
         code=1, out=SIZES),
    Case("the same file twice", "DUVAK a a", {"a": TEXT}, out=SAME),
    Case("three files, same", "DUVAK a b c", {"a": LONG, "b": LONG, "c": LONG}, out=SAME),
    Case("three files, the third differs", "DUVAK a b c",
         {"a": LONG, "b": LONG, "c": flipped(LONG, 3 * CHUNK + 5)}, code=1, out=CONTENTS),
    Case("three files, the second differs", "DUVAK a b c",
         {"a": TEXT, "b": flipped(TEXT, 0), "c": TEXT}, code=1, out=CONTENTS),
    Case("three files, the first differs", "DUVAK a b c",
         {"a": flipped(LONG, len(LONG) - 1), "b": LONG, "c": LONG}, code=1, out=CONTENTS),
    Case("a size difference wins over a content difference", "DUVAK a b c",
         {"a": b"abcd", "b": b"abce", "c": b"abc"}, code=1, out=SIZES),
    Case("a file named twice among three", "DUVAK a b a", {"a": b"xy", "b": b"xz"}, code=1,
         out=CONTENTS),
    Case("a directory cannot be opened", "DUVAK d a", {"d": Dir(), "a": b"1"}, code=2,
         err=cannot_open(b"d")),
    Case("a directory second", "DUVAK a d", {"d": Dir(), "a": b"1"}, code=2,
         err=cannot_open(b"d")),
    Case("a missing file", "DUVAK a missing", AB, code=2, err=cannot_open(b"missing")),
    Case("the first missing file is named", "DUVAK a gone1 gone2", AB, code=2,
         err=cannot_open(b"gone1")),
    Case("an open failure wins over a size difference", "DUVAK a c missing",
         {"a": b"1", "c": b"22"}, code=2, err=cannot_open(b"missing")),
    Case("a forward slash in a path splits it", "DUVAK sub\\a sub/b",
         {"sub/a": b"s", "sub/b": b"s"}, code=2, err=invalid(b"b")),
    Case("backslash paths", "DUVAK sub\\a sub\\b", {"sub/a": b"s", "sub/b": b"s"}, out=SAME),
    # 256 chunks: a console would see the percentage change many times, but
    # without one nothing but the verdict may reach the pipes.
    Case("16 MiB without a console", "DUVAK a b",
         {"a": Zeros(16 << 20), "b": Zeros(16 << 20)}, out=SAME),
    Case("16 MiB, last byte, without a console", "DUVAK a b",
         {"a": Zeros(16 << 20), "b": Zeros(16 << 20, {(16 << 20) - 1: 0x80})}, code=1,
         out=CONTENTS),
    # One run over 200 files of four chunks: the reference walks the ring.
    Case("200 files, same", "DUVAK " + " ".join(MANY), {name: LONG for name in MANY},
         out=SAME),
    Case("200 files, the last differs in its last byte", "DUVAK " + " ".join(MANY),
         {**{name: LONG for name in MANY}, MANY[-1]: flipped(LONG, len(LONG) - 1)}, code=1,
         out=CONTENTS),
    Check("tools/duvak pins the running wineserver to one CPU", runner_pinning),
    Check("tools/duvak with a taskset that refuses gives DUVAK's outcome", runner_refused),
    Check("tools/duvak starts Wine once more when Wine drops the start", runner_dropped),
    Check("tools/duvak ended by TERM ends DUVAK.exe", runner_ended),
    Check("tools/duvak without a usable TMPDIR: exit 2", runner_no_temporary),
    Check("tools/duvak with standard input closed gives DUVAK's outcome", runner_closed_input),
    Check("tools/duvak given a TERM as it ends gives DUVAK's outcome once", runner_signal_at_end),
    Check("tools/duvak in a prefix that is not the user's: exit 2", runner_foreign_prefix),
    Check("tools/duvak's first runs in a new prefix and after a new server", runner_first_runs),
]

SWITCHES = [
    Case("/Q same", "DUVAK /Q a b", AB),
    Case("/q different contents", "DUVAK /q a b", {"a": b"1", "b": b"2"}, code=1),
    Case("-Q different sizes", "DUVAK -Q a b", {"a": b"1", "b": b"22"}, code=1),
    Case("/Q still reports errors", "DUVAK /Q a missing", AB, code=2,
         err=cannot_open(b"missing")),
    Case("/Q on three files", "DUVAK a /Q b c", {"a": LONG, "b": LONG, "c": LONG}),
    Case("/T after the verdict, same", "DUVAK /T a b", AB, out=timed(SAME)),
    Case("/t after the verdict, different", "DUVAK /t a b", {"a": b"1", "b": b"2"}, code=1,
         out=timed(CONTENTS)),
    Case("-T after the verdict, sizes", "DUVAK a b -T", {"a": b"1", "b": b""}, code=1,
         out=timed(SIZES)),
    Case("/T on empty files", "DUVAK /T a b", {"a": b"", "b": b""}, out=timed(SAME)),
    Case("/T on several chunks", "DUVAK /T a b", {"a": LONG, "b": LONG}, out=timed(SAME)),
    Case("/T on 256 MiB, long enough for a number", "DUVAK /T a b",
         {"a": Zeros(256 << 20), "b": Zeros(256 << 20)},
         out=re.compile(re.escape(SAME) + FORMATTED_TIME)),
    Case("/T prints nothing after an error", "DUVAK /T a missing", AB, code=2,
         err=cannot_open(b"missing")),
    Case("/T with help prints only the help", "DUVAK /T /?", out=HELP),
    Case("/Q /T prints only the timing", "DUVAK /Q /T a b", AB, out=timed()),
    Case("/T /Q, different", "DUVAK /T /Q a b", {"a": b"1", "b": b"2"}, code=1, out=timed()),
    Case("/T/Q without a space", "DUVAK /T/Q a b", AB, out=timed()),
    Case("/R same", "DUVAK /R a b", AB, out=SAME),
    Case("/r different contents", "DUVAK /r a b", {"a": TEXT, "b": flipped(TEXT, 500)},
         code=1, out=CONTENTS),
    Case("-R different sizes", "DUVAK -R a b", {"a": b"1", "b": b"12"}, code=1, out=SIZES),
    Case("/R on empty files", "DUVAK /R a b", {"a": b"", "b": b""}, out=SAME),
    Case("/R on several chunks", "DUVAK /R a b c", {"a": LONG, "b": LONG, "c": LONG},
         out=SAME),
    Case("/R missing file", "DUVAK /R a missing", AB, code=2, err=cannot_open(b"missing")),
    Case("/Q /T /R", "DUVAK /Q /T /R a b", AB, out=timed()),
]

# Names reach the program as UTF-16 and leave it in code page 437, one byte
# per UTF-16 unit: é is 0x82, Ω is 0xEA, and a character outside the BMP is
# two units, each written as one (unmappable) byte.
FILE_NAMES = [
    Case("é missing", "DUVAK é.txt a", AB, code=2, err=cannot_open(b"\x82.txt")),
    Case("Ω missing", "DUVAK a Ω.txt", AB, code=2, err=cannot_open(b"\xea.txt")),
    Case("é found", "DUVAK é.txt a", {"é.txt": b"x", "a": b"x"}, out=SAME),
    Case("é through Wine's own quoting", argv=["a", "é.txt"], files=AB, code=2,
         err=cannot_open(b"\x82.txt")),
    Case("outside the BMP: two units, two bytes", "DUVAK \U0001F600.txt a", AB, code=2,
         err=re.compile(rb'The file "[^"]{2}\.txt" cannot be opened\.\n')),
    Case("absolute Z: paths", "DUVAK {dir}\\a {dir}\\b", AB, out=SAME),
    Case("absolute Z: path, missing", "DUVAK {dir}\\a {dir}\\nothing", AB, code=2,
         err=cannot_open(b"{dir}\\nothing")),
    # Wine opens such paths with or without the manifest's longPathAware.
    Case("absolute paths past 300 characters", f"DUVAK {{dir}}\\{DEEP}\\a {{dir}}\\{DEEP}\\b",
         {f"{DEEP_FOLDER}/a": TEXT, f"{DEEP_FOLDER}/b": TEXT}, out=SAME),
    Case("relative paths past 300 characters, different", f"DUVAK {DEEP}\\a {DEEP}\\b",
         {f"{DEEP_FOLDER}/a": TEXT, f"{DEEP_FOLDER}/b": flipped(TEXT, 600)}, code=1,
         out=CONTENTS),
    Case("a missing file past 300 characters is named whole",
         f"DUVAK {{dir}}\\{DEEP}\\a {{dir}}\\{DEEP}\\missing", {f"{DEEP_FOLDER}/a": TEXT}, code=2,
         err=cannot_open(f"{{dir}}\\{DEEP}\\missing".encode())),
]

FULL_OUTPUT = [
    Case("same data to /dev/full", argv=["a", "b"], files=AB, full="stdout"),
    Case("different to /dev/full", argv=["a", "b"], files={"a": b"1", "b": b"2"}, code=1,
         full="stdout"),
    Case("sizes to /dev/full", argv=["a", "b"], files={"a": b"1", "b": b""}, code=1,
         full="stdout"),
    Case("timing to /dev/full", argv=["/T", "a", "b"], files=AB, full="stdout"),
    Case("help to /dev/full", argv=["/?"], full="stdout"),
    Case("error still on stderr", argv=["a", "missing"], files=AB, code=2,
         err=cannot_open(b"missing"), full="stdout"),
    Case("error to a full stderr", argv=["a", "missing"], files=AB, code=2, full="stderr"),
    Case("switch error to a full stderr", argv=["/X", "a", "b"], files=AB, code=2,
         full="stderr"),
]

# Wine 8 follows a Unix symbolic link on the Z: drive even when asked to open
# the reparse point itself: a handle to a link, to a file or to a folder, has
# no reparse attribute, and FSCTL_GET_REPARSE_POINT answers "not a reparse
# point". (Only a folder link's directory listing carries the attribute.) So
# under Wine, /R on links compares the targets' data, and what /R does with
# real reparse points is only testable against the simulated Windows.
LINKS = [
    Case("link to the same file", "DUVAK la a", {"a": TEXT, "la": Link("a")}, out=SAME),
    Case("two links, same data", "DUVAK la lb", {"a": TEXT, "b": TEXT, "la": Link("a"),
                                                 "lb": Link("b")}, out=SAME),
    Case("two links, different data", "DUVAK la lb",
         {"a": TEXT, "b": flipped(TEXT, 9), "la": Link("a"), "lb": Link("b")}, code=1,
         out=CONTENTS),
    Case("/R link to the same file", "DUVAK /R la a", {"a": TEXT, "la": Link("a")}, out=SAME),
    Case("/R two links, different sizes", "DUVAK /R la lb",
         {"a": b"1", "b": b"12", "la": Link("a"), "lb": Link("b")}, code=1, out=SIZES),
    Case("/R two links, different data", "DUVAK /R la lb",
         {"a": TEXT, "b": flipped(TEXT, 1002), "la": Link("a"), "lb": Link("b")}, code=1,
         out=CONTENTS),
    Case("link with an absolute target", "DUVAK la a", {"a": b"abs", "la": Link("{dir}/a")},
         out=SAME),
    Case("dangling link", "DUVAK a dangling", {"a": b"1", "dangling": Link("nowhere")},
         code=2, err=cannot_open(b"dangling")),
    Case("/R dangling link", "DUVAK /R dangling a", {"a": b"1", "dangling": Link("nowhere")},
         code=2, err=cannot_open(b"dangling")),
    Case("link loop", "DUVAK loop a", {"a": b"1", "loop": Link("loop")}, code=2,
         err=cannot_open(b"loop")),
    Case("link to a directory", "DUVAK ld a", {"a": b"1", "d": Dir(), "ld": Link("d")},
         code=2, err=cannot_open(b"ld")),
    Case("/R link to a directory", "DUVAK /R ld a", {"a": b"1", "d": Dir(), "ld": Link("d")},
         code=2, err=cannot_open(b"ld")),
]


def expand(expected, folder):
    """Puts the case folder's Windows path in place of {dir}."""
    if isinstance(expected, bytes):
        return expected.replace(b"{dir}", windows_path(folder).encode("cp437"))
    return expected


# A timeout catches a hang, never a slow run: a bulk case takes some 30 s on
# an idle two-CPU machine, and must pass on one several times slower or busy.
BULK_TIMEOUT = 600


def run_case(wine, case, folder):
    files = {name: Link(entry.target.replace("{dir}", str(folder))) if isinstance(entry, Link)
             else entry for name, entry in case.files.items()}
    lay_out(folder, files)
    streams = {"timeout": BULK_TIMEOUT} if case.bulk else {}
    sink = None
    if case.full is not None:
        sink = open("/dev/full", "wb")
        streams[case.full] = sink
    try:
        with (bulk_reading(wine, [folder / name for name in files]) if case.bulk
              else contextlib.nullcontext()):
            if case.line is not None:
                done = wine.launch(case.line.replace("{dir}", windows_path(folder)), folder,
                                   **streams)
            else:
                done = wine.run(wine.command("DUVAK.exe", *case.argv), folder, **streams)
    finally:
        if sink is not None:
            sink.close()
    # The stream sent to /dev/full is not captured.
    return outcome_problems(done, case.code,
                            None if case.full == "stdout" else expand(case.out, folder),
                            None if case.full == "stderr" else expand(case.err, folder))


def held_open(wine, folder):
    """A file that another Windows process holds open for writing cannot be
    opened for DUVAK's shared reading, in any position and with any switch;
    once it is let go, it compares again."""
    lay_out(folder, {"held": b"data", "free": b"data"})
    holder = subprocess.Popen(wine.command("holder.exe", "held"), cwd=folder, env=wine.env,
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, start_new_session=True)
    problems = []
    try:
        ready = holder.stdout.readline()
        if ready != b"held\n":
            return [f"holder.exe did not hold the file: {ready!r}, exit {holder.poll()}"]
        for line in ("DUVAK free held", "DUVAK held free", "DUVAK /Q held free",
                     "DUVAK /R free held"):
            done = wine.launch(line, folder)
            problems += [f"{line}: {problem}" for problem in
                         outcome_problems(done, 2, b"", cannot_open(b"held"))]
    finally:
        holder.stdin.close()
        try:
            holder.wait(timeout=60)
        except subprocess.TimeoutExpired:
            end_group(holder)
            raise
    if holder.returncode != 0:
        problems.append(f"holder.exe ended with {holder.returncode}")
    done = wine.launch("DUVAK free held", folder)
    if (done.returncode, done.stdout, done.stderr) != (0, SAME, b""):
        problems.append(f"after release: {done.returncode} {done.stdout!r} {done.stderr!r}")
    return problems


def huge_files(folder, names_and_sizes):
    """Sparse files as large as the filesystem allows, up to the sizes asked
    for (ext4 with 4 KiB blocks stops just short of 16 TiB): halves them all
    until they fit, and says so."""
    sizes = dict(names_and_sizes)
    while True:
        try:
            for name, size in sizes.items():
                with open(folder / name, "wb") as out:
                    out.truncate(size)
            return sizes
        except OSError as error:
            if error.errno != errno.EFBIG:
                raise
            sizes = {name: size // 2 for name, size in sizes.items()}
            print(f"    the filesystem refuses those sizes: halved to {sizes}")


def timed_run(wine, line, folder):
    started = time.monotonic()
    done = wine.launch(line, folder)
    return done, time.monotonic() - started


def terabytes(wine, folder):
    """14 TiB against 15 TiB: the sizes differ, so the verdict must come before
    any data is read (a terabyte read through 64 KiB views would take hours,
    far past the run's timeout), and DUVAK's own /T time stays below a
    second or two. Same sizes with a difference in the second chunk stop
    there just as fast. The times against a run on two small files are
    printed, not judged: speed is the benchmarks' to measure."""
    folder.mkdir(parents=True)
    lay_out(folder, {"one": b"1", "two": b"22"})
    sizes = huge_files(folder, {"a": 14 << 40, "b": 15 << 40, "c": 14 << 40})
    lay_out(folder, {"c": Zeros(sizes["c"], {CHUNK + 100: 0x01})})
    problems = []
    done, start_up = timed_run(wine, "DUVAK one two", folder)
    if (done.returncode, done.stdout) != (1, SIZES):
        return [f"two small files: {done.returncode} {done.stdout!r} {done.stderr!r}"]
    for line, verdict in (("DUVAK /T a b", SIZES), ("DUVAK /T b a c", SIZES),
                          ("DUVAK /T a c", CONTENTS)):
        done, took = timed_run(wine, line, folder)
        print(f"    {line}: {took:.3f} s against {start_up:.3f} s for two small files, "
              f"{done.stdout!r}")
        if done.returncode != 1:
            problems.append(f"{line}: exit code {done.returncode}, {done.stderr!r}")
        problems += [f"{line}: {problem}" for problem in
                     compare_output("stdout", timed(verdict), done.stdout)]
        reported = re.search(rb"([0-9]+\.[0-9]+) seconds", done.stdout)
        if reported and float(reported[1]) > 2:
            problems.append(f"{line}: DUVAK reports {reported[1].decode()} s of file access: "
                            "data was read")
    return problems


BIG = (4 << 30) + CHUNK + 5  # the last, partial chunk lies wholly above 32 bits

LARGE = [
    Case("4 GiB + 64 KiB + 5, differing 3 bytes before the end", "DUVAK a b",
         {"a": Zeros(BIG), "b": Zeros(BIG, {BIG - 3: 0x01})}, code=1, out=CONTENTS,
         bulk=True),
    Case("4 GiB + 64 KiB + 5, same", "DUVAK a b",
         {"a": Zeros(BIG), "b": Zeros(BIG)}, out=SAME, bulk=True),
    Check("14 TiB and 15 TiB", terabytes),
]

STACK_BUFFER_OVERRUN = 0xC0000409  # the status of a fast fail with any code


def stack_guard(wine, folder):
    """smash_frame.exe overruns a protected frame: the guard check must end it
    with the fast fail before it can return into the smashed frame."""
    folder.mkdir(parents=True)
    done = wine.run(wine.command("smash_frame.exe"), folder)
    problems = (compare_output("stdout", b"smashing\n", done.stdout)
                + compare_output("stderr", b"", done.stderr))
    if done.returncode != STACK_BUFFER_OVERRUN & 0xFF:
        problems.append(f"exit status {done.returncode}, expected {STACK_BUFFER_OVERRUN & 0xFF}, "
                        f"the low byte of {STACK_BUFFER_OVERRUN:#x}")
    # Unix keeps only the low byte; cmd's ERRORLEVEL is the whole code, signed.
    program = windows_path(wine.program("smash_frame.exe"))
    (folder / "smash.bat").write_bytes(f"@{program}\r\n@echo status %ERRORLEVEL%\r\n".encode())
    done = wine.run([*wine.start, "cmd", "/c", "smash.bat"], folder)
    status = STACK_BUFFER_OVERRUN - (1 << 32)
    problems += [f"through cmd: {problem}" for problem in compare_output(
        "stdout", f"smashing\nstatus {status}\r\n".encode(), done.stdout)]
    return problems


TABLES = {
    "command_line": COMMAND_LINE,
    "comparison": COMPARISON,
    "switches": SWITCHES,
    "file_names": FILE_NAMES,
    "full_output": FULL_OUTPUT,
    "links": LINKS,
    "large": LARGE,
}
SINGLE = {"held_open": held_open, "stack_guard": stack_guard}


def main():
    args = parse_arguments(__doc__, lambda p: p.add_argument(
        "group", choices=sorted([*TABLES, *SINGLE])))
    wine = Wine(args)
    work = fresh_folder(args.work / args.group)
    report = Report(wine)
    chosen = os.environ.get("DUVAK_CASE", "")
    if chosen:
        print(f"only the cases whose name holds {chosen!r} (DUVAK_CASE)")
    if args.group in SINGLE:
        report.run(args.group, SINGLE[args.group], wine, work / "case")
    else:
        for number, case in enumerate(TABLES[args.group]):
            if chosen not in case.name:
                continue
            folder = work / f"case{number}"
            if isinstance(case, Check):
                report.run(case.name, case.function, wine, folder)
            else:
                report.run(case.name, run_case, wine, case, fresh_folder(folder))
            # Each case's files, some of them large, go at once.
            shutil.rmtree(folder, ignore_errors=True)
    fresh_folder(work)
    report.finish()


if __name__ == "__main__":
    main()
