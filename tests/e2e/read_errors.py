"""Read errors on a real file system, end to end under Wine.

failing_fs (tests/e2e/failing_fs.cpp) serves files whose reads fail with EIO
from a chosen page on. Where a page of a view cannot be read in, Windows
raises an in-page error and DUVAK reports "Error reading files."; Wine 8
raises an access violation instead. So these cases run in_page_duvak.exe:
DUVAK.exe's own program objects behind a handler that turns exactly that
access violation into the in-page error Windows raises
(tests/e2e/in_page_entry.cpp). The shipped DUVAK.exe runs on the same files
so that a change in Wine is noticed, and shows the size query failing after
the open. Without /dev/fuse, fusermount3 or the built file system the test
says why and is skipped (exit 77)."""

import contextlib
import ctypes
import os
import re
import signal
import subprocess
import sys
import time

from cases import CHUNK, CONTENTS, SAME, SIZES
from wine_env import Report, Wine, fail_setup, fresh_folder, outcome_problems, parse_arguments

SKIP = 77
PAGE = 4096
SIZE = 3 * CHUNK + 5000  # the last chunk is partial and spans two pages
BAD = 2 * CHUNK + PAGE   # the second page of the third chunk
FILES = {
    "good": "",
    "twin": "",
    "bad": f":bad={BAD}",
    "bad_last": f":bad={3 * CHUNK + PAGE}",
    "flipped": f":flip={BAD - 1}",  # the last byte before bad's failing page
    "unsized": ":opener-stat",
}
VARIANT, SHIPPED = "in_page_duvak.exe", "DUVAK.exe"
READ_ERROR = b"Error reading files.\n"

# (name, program, arguments, exit code, standard output, standard error)
CASES = [
    ("the second file fails", VARIANT, "good bad", 2, b"", READ_ERROR),
    # The reference walks backwards around the ring: "bad" leads the third chunk.
    ("the first file, the reference there, fails", VARIANT, "bad good", 2, b"", READ_ERROR),
    ("the third of three fails", VARIANT, "good twin bad", 2, b"", READ_ERROR),
    ("the last, partial chunk fails", VARIANT, "good bad_last", 2, b"", READ_ERROR),
    ("/Q", VARIANT, "/Q good bad", 2, b"", READ_ERROR),
    ("/T", VARIANT, "/T good bad", 2, b"", READ_ERROR),
    ("readable twins", VARIANT, "good twin", 0, SAME, b""),
    # Proves the failure lands no earlier than its page: the loop stops at the
    # difference in the page before and never touches the failing one.
    ("a difference just before the failing page", VARIANT, "flipped bad", 1, CONTENTS, b""),
    ("the size query fails after the open", SHIPPED, "good unsized", 2, b"",
     b'The file "unsized" cannot be read.\n'),
]


def missing_tools(args):
    if not os.path.exists("/dev/fuse"):
        return "/dev/fuse does not exist"
    for what, path in (("fusermount3", args.fusermount), ("the built failing_fs", args.fs)):
        if not (path and os.path.isfile(path) and os.access(path, os.X_OK)):
            return f"{what} is missing ({path!r}): install fuse3, libfuse3-dev and pkg-config"
    return None


def is_mounted(folder):
    # The table writes a space, tab, line feed or backslash in a path as an
    # octal escape (\040 for a space).
    def path(field):
        return re.sub(r"\\([0-7]{3})", lambda escape: chr(int(escape[1], 8)), field)

    with open("/proc/self/mounts", encoding="utf-8") as mounts:
        return any(path(line.split()[1]) == str(folder) for line in mounts)


def unmount(fusermount, folder):
    """Unmounts, lazily if the mount is still busy."""
    for lazy in ([], ["-z"]):
        if not is_mounted(folder):
            return
        subprocess.run([fusermount, "-u", *lazy, str(folder)], stdin=subprocess.DEVNULL,
                       capture_output=True, timeout=30, check=False)
    if is_mounted(folder):
        print(f"    {folder} is still mounted")


def die_with_parent():
    # A test killed on its timeout takes the file system with it, which then
    # unmounts itself on SIGTERM.
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


@contextlib.contextmanager
def mounted(args, folder):
    unmount(args.fusermount, folder)  # a mount left behind by a killed run
    fresh_folder(folder)
    log_path = folder.with_suffix(".log")
    descriptions = [f"{name}:{SIZE}{fields}" for name, fields in FILES.items()]
    with open(log_path, "wb") as log:
        server = subprocess.Popen([args.fs, str(folder), *descriptions], stdin=subprocess.DEVNULL,
                                  stdout=log, stderr=subprocess.STDOUT,
                                  preexec_fn=die_with_parent)
    try:
        deadline = time.monotonic() + 10
        while not is_mounted(folder):
            if server.poll() is not None or time.monotonic() > deadline:
                log = log_path.read_bytes()
                if server.poll() is not None and re.search(
                        rb"Operation not permitted|Permission denied", log):
                    print(f"SKIP: mounting is not permitted here: {log.decode(errors='replace')}")
                    sys.exit(SKIP)
                fail_setup(f"failing_fs did not mount (exit {server.poll()}): {log!r}")
            time.sleep(0.05)
        yield
    finally:
        unmount(args.fusermount, folder)
        try:
            server.wait(timeout=10)
        except subprocess.TimeoutExpired:
            server.kill()
            server.wait()


def run_case(wine, folder, program, arguments, code, out, err):
    return outcome_problems(wine.run(wine.command(program, *arguments.split()), folder),
                            code, out, err)


def shipped_on_a_failing_file(wine, folder):
    """Wine 8 gives its own crash report here, with an exit code that varies
    from run to run (5, at times 0), so only the output is held: whatever it
    becomes, it must hold no verdict."""
    done = wine.run(wine.command(SHIPPED, "good", "bad"), folder, timeout=120)
    first = [stream.split(b"\n", 1)[0] for stream in (done.stdout, done.stderr)]
    print(f"    DUVAK.exe good bad: exit {done.returncode}, stdout {first[0]!r}..., "
          f"stderr {first[1]!r}...")
    if done.returncode == 2 and (done.stdout, done.stderr) == (b"", READ_ERROR):
        print("    Wine now raises the in-page error itself: the test variant is no longer needed")
    return [f"a verdict on stdout: {verdict!r}" for verdict in (SAME, SIZES, CONTENTS)
            if verdict in done.stdout]


def main():
    args = parse_arguments(__doc__, lambda parser: (
        parser.add_argument("--fs", default="", help="the built failing_fs, if any"),
        parser.add_argument("--fusermount", default="", help="fusermount3, if found")))
    missing = missing_tools(args)
    if missing is not None:
        print(f"SKIP: {missing}")
        sys.exit(SKIP)
    wine = Wine(args)
    folder = (args.work / "read_errors" / "mnt").resolve()
    report = Report()
    with mounted(args, folder):
        for name, *case in CASES:
            report.run(f"{case[0]} {case[1]}: {name}", run_case, wine, folder, *case)
        report.run("the shipped DUVAK.exe on a failing file", shipped_on_a_failing_file,
                   wine, folder)
    report.finish()


if __name__ == "__main__":
    main()
