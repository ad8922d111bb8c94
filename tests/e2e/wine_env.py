"""Shared plumbing of the end-to-end tests: the quiet Wine environment, the
programs under test, scratch folders and a small case reporter.

Every script takes the same options from tests/e2e/CMakeLists.txt. A missing
Wine or a missing DUVAK.exe is a failure, never a skip."""

import argparse
import os
import shutil
import subprocess
import sys
import traceback
from pathlib import Path

# Wine without its debug channels, without the .NET and HTML installers, and
# with a pinned locale: C.UTF-8 gives the OEM code page 437 (é is byte 0x82).
QUIET_WINE = {
    "WINEDEBUG": "-all",
    "WINEDLLOVERRIDES": "mscoree,mshtml=",
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
        self.env = {k: v for k, v in os.environ.items()
                    if not k.startswith("WINE") and k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        self.env.update(QUIET_WINE)
        self.env["WINEPREFIX"] = str(self.prefix)

    def program(self, name):
        path = self.windows_dir / name
        if not path.is_file():
            fail_setup(f"{path} is missing: the windows build did not run")
        return path

    def command(self, program, *args):
        return [self.loader, str(self.program(program)), *args]

    def run(self, argv, cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60):
        """Runs without a terminal: no controlling tty, standard input empty."""
        return subprocess.run(argv, cwd=cwd, env=self.env, stdin=subprocess.DEVNULL,
                              stdout=stdout, stderr=stderr, timeout=timeout,
                              start_new_session=True, check=False)

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
        """Runs DUVAK.exe with exactly `line` as its command line."""
        self.program("DUVAK.exe")
        return self.run(self.command("launcher.exe", line.encode("utf-8").hex()), cwd, **kwargs)


def fresh_folder(path):
    path = Path(path)
    if path.exists() or path.is_symlink():
        shutil.rmtree(path)
    path.mkdir(parents=True)
    return path


class Report:
    """Counts named checks and prints one line each plus a closing tally."""

    def __init__(self):
        self.passed = 0
        self.failed = 0

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
        except Exception:  # a broken case must fail, not stop the others
            problems = ["raised:\n" + traceback.format_exc()]
        self.check(name, problems)

    def finish(self):
        print(f"{self.passed} passed, {self.failed} failed")
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
