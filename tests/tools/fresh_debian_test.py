"""tools/fresh-debian.sh runs as an ordinary user, in user namespaces: this
proves in seconds, without the package archive, that however it ends it
leaves the machine as it was, that nothing in the root reaches the machine
or the terminal, that it stops at once where it cannot run, and that root
runs nothing of another user's checkout. It runs the real script, as a user
made for the test (with a subordinate range) in that user's stand-in
checkout, on a tiny root of this machine's own programs, for a stand-in
project whose stages are stubs that can wait to be interrupted. Needs root
(to make that user) and user namespaces; skipped otherwise (exit 77).

Usage: fresh_debian_test.py --source DIR --work DIR [--script FILE]"""

import argparse
import contextlib
import io
import os
import pty
import pwd
import re
import shutil
import signal
import subprocess
import sys
import tarfile
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "e2e"))
from wine_env import Report, fresh_folder  # noqa: E402

RELEASE = "bookworm"
USER = "duvak-fresh-check"
EXIT = {"Ctrl-C": 130, "TERM": 143, "HUP": 129, "Ctrl-C twice": 130, "KILL": -9}
PROGRAMS = ["/bin/sh", "/usr/bin/env", "/bin/cat", "/bin/rm", "/bin/sleep", "/usr/bin/cmp",
            "/bin/mkdir", "/usr/bin/dirname", "/usr/bin/git", "/usr/bin/stat"]
# Every program the stubs leave behind sleeps this long, so that one is found
# however it hides.
LEFT_BEHIND = re.compile(r"sleep 10000[0-2]")

# Each stage of the stand-in waits where the root holds /block-STAGE (leaving
# a program behind, as a Wine server would), else does what passes. The first
# command looks for the host's files through every process's root, for a
# terminal among every process's files, and at its user namespace; the second
# reports the read-error test skipped where /dev/fuse is not there, as CTest.
STAGE_SCRIPT = """[ ! -e "/block-$1" ] || {{ sleep 100001 & echo "blocked in $1"; exec sleep 100000; }}
case $1 in
    command1) for root in /proc/[0-9]*/root; do
                  [ ! -e "$root{host_file}" ] || echo "the host's files through $root"
              done
              for file in /proc/[0-9]*/fd/*; do
                  case $(stat -L -c %t "$file" 2>/dev/null) in 4|5|8[89a-f]) echo "a terminal: $file";; esac
              done
              echo "/proc/1/root holds Debian $(cat /proc/1/root/etc/debian_version)"
              echo "uid_map: $(cat /proc/self/uid_map)"
              echo "The files have different sizes."; exit 1 ;;
    command2) [ -e /dev/fuse ] || printf 'The following tests did not run:\\n\\t 60 - e2e.read_errors (Skipped)\\n'
              echo "100% tests passed, 0 tests failed out of 1" ;;
    release) mkdir -p build/release
             for file in SHA256SUMS BUILDINFO.txt DUVAK.exe DUVAK-1-windows-x64.zip; do
                 echo same >"build/release/$file"; done ;;
esac
"""
# A block above the marked one is not the README's commands.
README = ("# Stand-in\n\n```sh\nexit 3\n```\n\n<!-- the two commands -->\n"
          "```sh\nsh stage.sh command1\nsh stage.sh command2\n```\n")


def tiny_root(path, block=None, links=()):
    """This machine's programs and their libraries, a stub cmake, and links
    whose host folders the root has folders of its own for."""
    files = set(PROGRAMS)
    for program in PROGRAMS:
        listed = subprocess.run(["ldd", os.path.realpath(program)], capture_output=True,
                                text=True, check=True).stdout
        files.update(re.findall(r"(/\S+) \(0x", listed))

    def add(name, kind=tarfile.REGTYPE, data=b"", mode=0o755, target=""):
        entry = tarfile.TarInfo(name.strip("/"))
        entry.type, entry.mode, entry.size, entry.linkname = kind, mode, len(data), target
        archive.addfile(entry, io.BytesIO(data))

    with tarfile.open(path, "w") as archive:
        for folder in {"proc", "dev", "root", "srv", "etc"} - {n.strip("/") for n, _ in links}:
            add(folder, tarfile.DIRTYPE)
        add("tmp", tarfile.DIRTYPE, mode=0o1777)
        for name in sorted(files):
            archive.add(os.path.realpath(name), arcname=name.lstrip("/"))
        add("usr/lib/git-core/git", tarfile.SYMTYPE, target="/usr/bin/git")
        add("etc/debian_version", data=b"12.0\n", mode=0o644)
        add("usr/local/bin/cmake", data=b"#!/bin/sh\nexec sh stage.sh release\n")
        if block:
            add(f"block-{block}")
        for name, target in links:
            add(name, tarfile.SYMTYPE, target=target)
            if target.startswith("/") and os.path.isdir(target):
                add(target, tarfile.DIRTYPE)


def leftovers(folder):
    """Mounts at or below the folder, and processes named with a path below
    it or sleeping as the stubs do."""
    points = [re.sub(r"\\([0-7]{3})", lambda m: chr(int(m[1], 8)), line.split()[4])
              for line in Path("/proc/self/mountinfo").read_text().splitlines()]
    found = [f"still mounted: {point}" for point in points
             if f"{point}/".startswith(f"{folder}/")]
    for entry in Path("/proc").glob("[0-9]*"):
        try:
            line = (entry / "cmdline").read_bytes().replace(b"\0", b" ").decode()
        except (OSError, ValueError):
            continue
        if str(folder) in line or LEFT_BEHIND.search(line):
            found.append(f"process left: {entry.name}: {line[:120]}")
    return found


def wait_for(condition, seconds=60):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True


def ranges(name, count):
    """The user's subordinate ranges: 65,536 IDs each, or none."""
    for flag in ("--del-subuids", "--del-subgids"):
        subprocess.run(["usermod", flag, "1-4294967294", name], capture_output=True, check=False)
    if count:
        start = max([100000] + [int(fields[1]) + int(fields[2]) for file in ("subuid", "subgid")
                                for fields in (line.split(":") for line in Path(
                                    f"/etc/{file}").read_text().splitlines()) if len(fields) == 3])
        subprocess.run(["usermod", "--add-subuids", f"{start}-{start + 65535}", "--add-subgids",
                        f"{start}-{start + 65535}", name], check=True)


@contextlib.contextmanager
def test_user():
    """A user made for the test, with a subordinate range, and gone after."""
    subprocess.run(["userdel", USER], capture_output=True, check=False)
    subprocess.run(["useradd", "--no-create-home", "--shell", "/bin/sh", USER], check=True)
    try:
        ranges(USER, 65536)
        yield pwd.getpwnam(USER)
    finally:
        subprocess.run(["userdel", USER], capture_output=True, check=False)


class Bench:
    """The stand-in project, the test user's, whose git config names an
    fsmonitor that notes who runs it; TMPDIR in four spellings; and a folder
    of the host that no run may change. All of it where the user can reach
    it, whatever the folder of this checkout."""

    def __init__(self, work, script, user):
        self.work = fresh_folder(work).resolve()
        self.user = user
        self.base = Path(tempfile.mkdtemp(prefix="duvak-fresh-check-")).resolve()
        self.base.chmod(0o755)
        self.host = fresh_folder(self.base / "host")
        (self.host / "target").mkdir()
        (self.host / "resolv.conf").write_text("the host's own\n")
        self.project = self.base / "project"
        for name, text in [("tools/fresh-debian.sh", script.read_text()), ("README.md", README),
                           ("stage.sh", STAGE_SCRIPT.format(host_file=self.host / "resolv.conf")),
                           ("tools/duvak", 'sleep 100002 &\necho "The files have the same data."\n')]:
            (self.project / name).parent.mkdir(parents=True, exist_ok=True)
            (self.project / name).write_text(text)
        (self.project / "tools/duvak").chmod(0o755)
        for command in (["init", "-q"], ["add", "-A"],
                        ["-c", "user.name=t", "-c", "user.email=t@t", "commit", "-qm", "stand-in"]):
            subprocess.run(["git", "-C", str(self.project), *command], check=True)
        self.uids = fresh_folder(self.base / "fsmonitor") / "uids"
        (self.uids.parent / "hook").write_text(f'#!/bin/sh\nid -u >>"{self.uids}"\nexit 1\n')
        (self.uids.parent / "hook").chmod(0o755)
        subprocess.run(["git", "-C", str(self.project), "config", "core.fsmonitor",
                        str(self.uids.parent / "hook")], check=True)
        self.logs = self.project / "build/fresh-debian" / RELEASE
        (self.base / "via-link").symlink_to(fresh_folder(self.base / "real"))
        # /dev/shm, where a sandbox's own /dev could hide the work folder.
        self.shm = Path(tempfile.mkdtemp(prefix="duvak-test-", dir="/dev/shm"))
        self.tmpdirs = {"slash": f"{fresh_folder(self.base / 'tmp')}/",
                        "link": str(self.base / "via-link"),
                        "space": f"{fresh_folder(self.base / 'a space')}/",
                        "shm": str(self.shm)}
        self.own(self.project, self.uids.parent, self.base / "real", self.base / "tmp",
                 self.base / "a space", self.shm)
        self.roots = {}

    def own(self, *paths):
        subprocess.run(["chown", "-R", f"{self.user.pw_uid}:{self.user.pw_gid}", *map(str, paths)],
                       check=True)

    def root(self, block=None, links=()):
        """The tiny root's tarball for these arguments, made once."""
        key = (block, tuple(links))
        if key not in self.roots:
            self.roots[key] = self.base / f"root-{len(self.roots)}.tar"
            tiny_root(self.roots[key], block, links)
        return str(self.roots[key])

    def start(self, arguments, spelling, path=None, as_root=False, stderr=subprocess.STDOUT,
              tmpdir=None):
        """The script as the user starts it (or root), in a session of its
        own; PATH, where given, goes before the usual one."""
        env = {"PATH": os.environ["PATH"], "TMPDIR": tmpdir or self.tmpdirs[spelling],
               "HOME": str(self.base), "LC_ALL": "C.UTF-8"}
        if path:
            env["PATH"] = f"{path}:{env['PATH']}"
        who = {} if as_root else {"user": self.user.pw_uid, "group": self.user.pw_gid,
                                  "extra_groups": []}
        return subprocess.Popen(
            ["sh", str(self.project / "tools/fresh-debian.sh"), *arguments], cwd=self.base,
            env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=stderr,
            start_new_session=True, **who)

    def outside(self):
        """The host folder, every file of the checkout but its logs (owner,
        inode, contents), and the host's /dev."""
        files = {}
        for path in sorted(self.project.rglob("*")):
            if self.logs not in path.parents and path != self.logs and not path.is_dir():
                stat = path.lstat()
                files[str(path)] = (stat.st_uid, stat.st_ino, stat.st_mtime_ns, stat.st_size)
        return ({str(path): path.is_file() and path.read_bytes() for path in self.host.rglob("*")},
                files, sorted((name, os.lstat(f"/dev/{name}").st_rdev) for name in os.listdir("/dev")))

    def check(self, run, code, message, spelling, before, killed=False):
        """A finished run's exit code and output, then what it left: mounts,
        processes, a change outside, and a work folder (only KILL leaves it)."""
        problems = outcome(run, code, message)
        folder = Path(os.path.realpath(self.tmpdirs[spelling]))
        # A killed script cannot wait for its namespaces' end: the kernel's.
        wait_for(lambda: not leftovers(folder), 30 if killed else 0)
        problems += leftovers(folder)
        problems += [f"changed outside the work folder: {what}" for what, was, now in zip(
            ["the host's files", "the checkout's files", "the host's /dev"], before,
            self.outside()) if was != now]
        left = list(folder.iterdir())
        if left and not killed:
            problems.append(f"left behind: {[path.name for path in left]}")
        if not problems:
            for path in left:
                shutil.rmtree(path)
        return problems


def outcome(run, code, message):
    """Problems if the run's exit code is not CODE or MESSAGE not in its
    output; a run that hangs is killed with its group."""
    try:
        out = run.communicate(timeout=180)[0].decode(errors="replace")
    except subprocess.TimeoutExpired:
        os.killpg(run.pid, signal.SIGKILL)
        out = run.communicate()[0].decode(errors="replace")
    run.output = out
    return [] if run.returncode == code and message in out else [
        f"exit {run.returncode}, expected {code} and {message!r}; output:\n{out}"]


def ends(bench, arguments, code, message, spelling="slash", path=None, **start):
    before = bench.outside()
    return bench.check(bench.start(arguments, spelling, path, **start), code, message, spelling,
                       before)


def interrupted(bench, stage, kind, spelling):
    """An interrupt while a stage waits; meanwhile a second run of the same
    release is refused."""
    before = bench.outside()
    name = "release.log" if stage == "release" else f"{stage}.out"
    log = bench.logs / name
    run = bench.start([RELEASE, "--bare", bench.root(stage)], spelling)
    if not wait_for(lambda: log.exists() and f"blocked in {stage}" in log.read_text()):
        problems = [f"never reached {stage}"]
    else:
        problems = outcome(bench.start([RELEASE, "--bare", bench.root()], spelling), 2,
                           f"another run of {RELEASE} is under way")
    if kind == "KILL":
        run.kill()
    else:
        for _ in range(2 if kind.endswith("twice") else 1):
            os.killpg(run.pid, signal.SIGINT) if kind.startswith("Ctrl-C") else run.send_signal(
                getattr(signal, f"SIG{kind}"))
            time.sleep(0.05)
    problems += bench.check(run, EXIT[kind], "", spelling, before, kind == "KILL")
    if kind == "KILL":  # what it left holds the namespace's IDs: root removes it here
        for path in Path(os.path.realpath(bench.tmpdirs[spelling])).iterdir():
            shutil.rmtree(path)
    return problems


def whole_run(bench):
    """A whole pass with a terminal on the script's standard error. In the
    root no process's root shows the host's files, none holds a terminal, and
    the user namespace is not the machine's; the tally names the test that
    says it is skipped where the user may not open /dev/fuse; the fsmonitor
    runs only as the user, and the checkout stays the user's."""
    (bench.project / "README.md").touch()
    controller, terminal = pty.openpty()
    before = bench.outside()
    try:
        run = bench.start([RELEASE, "--bare", bench.root()], "space", stderr=terminal)
        problems = bench.check(run, 0, "6 passed, 0 failed", "space", before)
    finally:
        os.close(terminal)
        os.close(controller)
    seen = (bench.logs / "command1.out").read_text()
    if ("the host's files" in seen or "a terminal" in seen
            or "/proc/1/root holds Debian 12.0" not in seen
            or not re.search(r"^uid_map: +0 +\d+ +1$", seen, re.M)
            or re.search(r"^uid_map: +0 +0 +4294967295", seen, re.M)):
        problems.append(f"the first command saw: {seen!r}")
    fuse = subprocess.run(["test", "-r", "/dev/fuse", "-a", "-w", "/dev/fuse"], user=bench.user.pw_uid,
                          check=False).returncode == 0
    if ("skipped: e2e.read_errors" in run.output) == fuse:
        problems.append(f"the user {'may' if fuse else 'may not'} open /dev/fuse; the tally: "
                        f"{run.output!r}")
    uids = bench.uids.read_text().split() if bench.uids.exists() else []
    if set(uids) - {str(bench.user.pw_uid)}:
        problems.append(f"the checkout's fsmonitor ran as {uids}, expected only {bench.user.pw_uid}")
    return problems + [f"{path} belongs to {os.lstat(path).st_uid}, not to {bench.user.pw_uid}"
                       for path in [bench.project, *bench.project.rglob("*")]
                       if os.lstat(path).st_uid != bench.user.pw_uid]


def root_refused(bench):
    """Root in the user's checkout stops at once: nothing there is run (the
    fsmonitor notes none) or written."""
    bench.uids.unlink(missing_ok=True)
    problems = ends(bench, [RELEASE, "--bare", bench.root()], 2,
                    f"is {USER}'s checkout: run this check as that user", as_root=True)
    if bench.uids.exists():
        problems.append(f"the fsmonitor ran as {bench.uids.read_text().split()}")
    return problems


def cannot_run(bench):
    """Where the check cannot run, exit 2 at once, with the reason: TMPDIR
    missing, not writable or mounted noexec, a --save-bare copy that fails
    (and leaves no .part), logs the user cannot remove, no subordinate range."""
    problems = []
    plain = bench.base / "plain"
    fresh_folder(plain)
    noexec = fresh_folder(bench.base / "noexec")
    subprocess.run(["mount", "-t", "tmpfs", "-o", "noexec,mode=1777", "tmpfs", str(noexec)],
                   check=True)
    try:
        for what, message, tmpdir in [
                ("TMPDIR missing", "is no folder you can write", str(bench.base / "missing")),
                ("TMPDIR not writable", "is no folder you can write", str(plain)),
                ("TMPDIR noexec", "runs no programs", str(noexec))]:
            problems += [f"{what}: {problem}" for problem in ends(
                bench, [RELEASE, "--bare", bench.root()], 2, message, tmpdir=tmpdir)]
    finally:
        subprocess.run(["umount", str(noexec)], check=True)
    save = bench.base / "no folder" / "bare.tar"
    problems += [f"--save-bare: {problem}" for problem in ends(
        bench, [RELEASE, "--save-bare", str(save)], 2, "could not save",
        path=stand_in(bench, "mmdebstrap", f'cp {bench.root()} "$5"\n'))]
    if save.parent.exists() or Path(f"{save}.part").exists():
        problems.append(f"--save-bare left {save.parent}")
    foreign = bench.logs / "command1.out"
    bench.logs.mkdir(parents=True, exist_ok=True)
    foreign.write_text("an old run's, root's\n")
    os.chown(bench.logs, 0, 0)  # root's folder now, in the user's checkout
    try:
        problems += [f"root's logs: {problem}" for problem in ends(
            bench, [RELEASE, "--bare", bench.root()], 2, "cannot remove the last run's logs")]
    finally:
        shutil.rmtree(bench.project / "build")
    ranges(USER, 0)
    try:
        problems += [f"no range: {problem}" for problem in ends(
            bench, [RELEASE, "--bare", bench.root()], 2, "usermod --add-subuids")]
    finally:
        ranges(USER, 65536)
    return problems


def stand_in(bench, name, script):
    """A folder with SCRIPT as NAME, to go first on PATH."""
    folder = fresh_folder(bench.base / f"stand-in-{name}")
    (folder / name).write_text(f"#!/bin/sh\n{script}")
    (folder / name).chmod(0o755)
    return str(folder)


def usable(user):
    """Why the script cannot run here as USER, or None."""
    for tool in ("bwrap", "unshare", "newuidmap", "newgidmap", "useradd", "pkill"):
        if not shutil.which(tool):
            return f"{tool} is missing"
    done = subprocess.run(
        ["unshare", "--user", "--map-root-user", "--map-users=auto", "--map-groups=auto",
         "--fork", "bwrap", "--ro-bind", "/", "/", "--unshare-pid", "true"],
        capture_output=True, text=True, user=user.pw_uid, group=user.pw_gid, extra_groups=[],
        cwd="/", check=False)
    return None if done.returncode == 0 else (
        f"no user namespace with 65,536 IDs for a user here: {done.stderr.strip()}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--source", required=True, type=Path)
    parser.add_argument("--work", required=True, type=Path)
    parser.add_argument("--script", type=Path, help="the script to try (default: the source's)")
    args = parser.parse_args()
    if os.geteuid() != 0 or not shutil.which("useradd"):
        print("SKIP: not root, so no user can be made for the test")
        sys.exit(77)
    with test_user() as user:
        if why := usable(user):
            print(f"SKIP: {why}")
            sys.exit(77)
        bench = Bench(args.work, args.script or args.source / "tools/fresh-debian.sh", user)
        try:
            run_cases(bench)
        finally:
            subprocess.run(["umount", str(bench.base / "noexec")], capture_output=True,
                           check=False)


def run_cases(bench):
    host = bench.host
    report = Report()
    for name in ["../../srv", "", "Bookworm"]:
        report.run(f"refused: {name!r}", ends, bench, [name], 2, "is not a Debian code name")
    report.run("root in the user's checkout: refused, nothing run or written", root_refused, bench)
    # Could not run, so 2: --bare with --save-bare, a --bare that is no
    # tarball, and an mmdebstrap that cannot reach the archive.
    readme = str(bench.project / "README.md")
    no_archive = stand_in(bench, "mmdebstrap", "echo 'E: cannot reach the archive'\nexit 1\n")
    for what, arguments, message, path in [
            ("--bare with --save-bare", ["--bare", readme, "--save-bare", readme],
             "with --bare it makes none", None),
            ("a --bare that is no tarball", ["--bare", readme], "could not unpack", None),
            ("no archive", [], "E: cannot reach the archive", no_archive)]:
        report.run(f"cannot run: {what}", ends, bench, [RELEASE, *arguments], 2, message, "slash",
                   path)
    report.run("cannot run: TMPDIR, --save-bare, logs, range", cannot_run, bench)
    for stage, kind, spelling in [("command1", "Ctrl-C", "slash"), ("command2", "TERM", "link"),
                                  ("release", "HUP", "space"), ("command1", "Ctrl-C twice", "link"),
                                  ("command2", "KILL", "space")]:
        report.run(f"{kind} while {stage}, TMPDIR {spelling}", interrupted, bench, stage, kind,
                   spelling)
    report.run("a whole run passes; the root shows neither the host nor a terminal",
               whole_run, bench)
    report.run("links at a clone path, /srv and /etc/resolv.conf lead into the root, "
               "TMPDIR in /dev/shm", ends, bench,
               [RELEASE, "--bare", bench.root(links=[
                   ("/root/duvak", str(host / "target")), ("/srv", str(host)),
                   ("/etc/resolv.conf", str(host / "resolv.conf"))])], 0, "6 passed, 0 failed",
               "shm")
    report.run("a link at /dev is refused", ends, bench,
               [RELEASE, "--bare", bench.root(links=[("/dev", "../../../../..")])], 2,
               "/dev in the root is not a plain folder, refused")
    if not report.failed:
        for folder in (bench.work, bench.base, bench.shm):
            shutil.rmtree(folder)
    report.finish()


if __name__ == "__main__":
    main()
