"""Shared plumbing of the end-to-end tests: the quiet Wine environment, the
programs under test, scratch folders and a small case reporter.

Every script takes the same options from tests/e2e/CMakeLists.txt. A missing
Wine or a missing DUVAK.exe is a failure, never a skip."""

import argparse
import contextlib
import os
import shutil
import signal
import subprocess
import sys
import traceback
from pathlib import Path

# Wine without its debug channels, without the .NET and HTML installers,
# without the Wayland driver (as tools/duvak says, Wine 10's writes to
# standard error where XDG_RUNTIME_DIR is unset), and with a pinned locale:
# C.UTF-8 gives the OEM code page 437 (é is byte 0x82).
QUIET_WINE = {
    "WINEDEBUG": "-all",
    "WINEDLLOVERRIDES": "mscoree,mshtml=;winewayland.drv=d",
    "LC_ALL": "C.UTF-8",
}


def parse_arguments(description, extra=None):
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("--loader", required=True, help="the wine64 loader")
    parser.add_argument("--server", required=True, help="wineserver")
    parser.add_argument("--prefix", required=True, type=Path, help="the private WINEPREFIX")
    parser.add_argument("--windows-dir", required=True, type=Path,
                        help="the cross build folder holding DUVAK.exe and the helpers")
    parser.add_argument("--work", required=True, type=Path, help="a scratch folder")
    if extra is not None:
        extra(parser)
    return parser.parse_args()


def fail_setup(message):
    print(f"FAIL: {message}", file=sys.stderr)
    sys.exit(1)


class Skip(Exception):
    """Raised by a check that cannot be made here, with the reason."""


def windows_path(path):
    return "Z:" + str(path).replace("/", "\\")


def unrandomised():
    """The command prefix that starts a program without address-space
    randomisation, or nothing where that is refused. Debian's Wine has no
    preloader to reserve the shared user data page at 0x7ffe0000 before the
    kernel lays out the process, and the kernel puts the loader's heap
    anywhere in the GiB above the loader at 0x7d000000: about one Wine start
    in some thousands finds its heap on that page and dies in its first
    steps ("failed to map the shared user data", exit 1). Without
    randomisation the heap follows the loader, far below it. The processes a
    Wine program starts inherit the setting."""
    setarch = shutil.which("setarch")
    if setarch and subprocess.run([setarch, "-R", "true"], stdin=subprocess.DEVNULL,
                                  capture_output=True, check=False).returncode == 0:
        return [setarch, "-R"]
    print("    note: address randomisation stays on (setarch -R is missing or refused), so a "
          "rare Wine start may fail")
    return []


def end_group(process):
    """Kills a run started in a session of its own together with the Windows
    processes it started, which stay in its group, and waits for the run: not
    for its pipes, which a process outside the group may hold."""
    with contextlib.suppress(ProcessLookupError):
        os.killpg(process.pid, signal.SIGKILL)
    process.wait()


class Wine:
    """Runs Windows programs under the private prefix."""

    def __init__(self, args):
        self.loader = args.loader
        self.server = args.server
        self.prefix = args.prefix.resolve()
        self.windows_dir = args.windows_dir.resolve()
        for tool in (self.loader, self.server):
            if not (os.path.isfile(tool) and os.access(tool, os.X_OK)):
                fail_setup(f"{tool!r} is not an executable: the end-to-end tests need Wine "
                           "(Debian's wine64 package)")
        # Without TMPDIR, as tools/duvak runs Wine: Debian 13's Wine aborts
        # wherever it is set at all.
        self.env = {k: v for k, v in os.environ.items() if not k.startswith("WINE")
                    and k not in ("DISPLAY", "WAYLAND_DISPLAY", "TMPDIR")}
        self.env.update(QUIET_WINE)
        self.env["WINEPREFIX"] = str(self.prefix)
        self.unrandomised = unrandomised()
        self.start = [*self.unrandomised, self.loader]  # the loader as every start runs it
        self.marker = args.work.resolve() / f"launched.{os.getpid()}"
        self.retried = 0

    def program(self, name):
        path = self.windows_dir / name
        if not path.is_file():
            fail_setup(f"{path} is missing: the windows build did not run")
        return path

    def command(self, program, *args):
        return [*self.start, str(self.program(program)), *args]

    def run(self, argv, cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60,
            env=None):
        """Runs without a terminal: no controlling tty, standard input empty.
        The run leads its own process group, which the Windows processes it
        starts stay in: a run that times out is killed with all of them."""
        with subprocess.Popen(argv, cwd=cwd, env=env or self.env, stdin=subprocess.DEVNULL,
                              stdout=stdout, stderr=stderr, start_new_session=True) as process:
            try:
                out, err = process.communicate(timeout=timeout)
            except subprocess.TimeoutExpired:
                end_group(process)
                raise
        return subprocess.CompletedProcess(argv, process.returncode, out, err)

    def forget_server(self, prefix):
        """Ends the prefix's server and removes the folder it kept its socket
        in. Debian's Wine makes that folder in /tmp once for each new prefix
        (its name is in the prefix's file "wineserver") and never removes
        it; only one that holds nothing but the server's lock goes."""
        env = {**self.env, "WINEPREFIX": str(prefix)}
        for flag in ("-k", "-w"):
            subprocess.run([self.server, flag], env=env, stdin=subprocess.DEVNULL,
                           capture_output=True, timeout=60, check=False)
        with contextlib.suppress(OSError):
            folder = Path("/tmp") / (prefix / "wineserver").read_text().strip()
            if (folder.name.startswith("wine-") and folder.stat().st_uid == os.getuid()
                    and all(path.name in ("lock", "socket") or path.name.startswith("server-")
                            for path in folder.rglob("*"))):
                shutil.rmtree(folder)

    def server_pid(self):
        """The process id of the wineserver of this prefix, or None: the
        wineserver whose environment names this prefix."""
        prefix = f"WINEPREFIX={self.prefix}".encode()
        for entry in Path("/proc").iterdir():
            if not entry.name.isdigit():
                continue
            try:
                if not os.path.basename(os.readlink(entry / "exe")).startswith("wineserver"):
                    continue
                if prefix in (entry / "environ").read_bytes().split(b"\0"):
                    return int(entry.name)
            except OSError:  # gone meanwhile, or not ours to read
                continue
        return None

    def launch(self, line, cwd, **kwargs):
        """Runs DUVAK.exe with exactly `line` as its command line. A start
        that never reached DUVAK.exe, where Wine could not start the launcher
        or the launcher could not create DUVAK.exe's process, leaves no
        marker: it is retried once and said so, and a second such start fails
        the case. A run that reached DUVAK.exe is never run again."""
        self.program("DUVAK.exe")
        argv = self.command("launcher.exe", windows_path(self.marker), line.encode("utf-8").hex())
        self.marker.parent.mkdir(parents=True, exist_ok=True)
        for attempt in (1, 2):
            self.marker.unlink(missing_ok=True)
            done = self.run(argv, cwd, **kwargs)
            if self.marker.exists():
                self.marker.unlink()
                return done
            what = f"exit {done.returncode}, stderr {done.stderr!r}"
            if attempt == 1:
                self.retried += 1
                print(f"    retried start: DUVAK.exe was not reached ({what})")
        raise RuntimeError(f"DUVAK.exe was not reached twice in a row ({what})")


def fresh_folder(path):
    path = Path(path)
    if path.exists() or path.is_symlink():
        shutil.rmtree(path)
    path.mkdir(parents=True)
    return path


class Report:
    """Counts named checks and prints one line each plus a closing tally,
    with the starts that `wine.launch` retried, if given."""

    def __init__(self, wine=None):
        self.wine = wine
        self.passed = 0
        self.failed = 0
        self.skipped = 0

    def check(self, name, problems):
        if problems:
            self.failed += 1
            print(f"FAIL {name}")
            for problem in problems:
                print(f"    {problem}")
        else:
            self.passed += 1
            print(f"ok   {name}")

    def run(self, name, function, *args):
        """Runs a check function returning a list of problems; a crash fails it."""
        try:
            problems = function(*args)
        except Skip as reason:
            self.skipped += 1
            print(f"skip {name}: {reason}")
            return
        except Exception:  # a broken case must fail, not stop the others
            problems = ["raised:\n" + traceback.format_exc()]
        self.check(name, problems)

    def finish(self):
        retried = "" if self.wine is None else f", {self.wine.retried} starts retried"
        print(f"{self.passed} passed, {self.failed} failed, {self.skipped} skipped{retried}")
        sys.exit(1 if self.failed or not self.passed else 0)


def compare_output(label, expected, actual):
    """Exact bytes, or a compiled bytes pattern that must match the whole."""
    if hasattr(expected, "fullmatch"):
        if expected.fullmatch(actual) is None:
            return [f"{label}: {actual!r} does not match {expected.pattern!r}"]
        return []
    if actual != expected:
        return [f"{label}: expected {expected!r}, got {actual!r}"]
    return []


def outcome_problems(done, code, out, err):
    """A finished run against the exit code and the exact bytes (or pattern)
    of both streams; a stream expected as None is not looked at."""
    problems = [] if done.returncode == code else [
        f"exit code: expected {code}, got {done.returncode}"]
    for label, expected, actual in (("stdout", out, done.stdout), ("stderr", err, done.stderr)):
        if expected is not None:
            problems += compare_output(label, expected, actual)
    return problems
