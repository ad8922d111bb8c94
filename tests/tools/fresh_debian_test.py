"""tools/fresh-debian.sh runs as root: this proves in seconds, without the
package archive, that however it ends it leaves the host as it was, that
nothing in the root reaches the host, and that root runs nothing of the
checkout and leaves it its owner's. It runs the real script, in a checkout
owned by another user (as under sudo), on a tiny root of this machine's own
programs, for a stand-in project whose stages are stubs that can wait to be
interrupted. Needs root and bubblewrap; skipped otherwise (exit 77).

Usage: fresh_debian_test.py --source DIR --work DIR [--script FILE]"""

import argparse
import io
import os
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
EXIT = {"Ctrl-C": 130, "TERM": 143, "HUP": 129, "Ctrl-C twice": 130, "KILL": -9}
PROGRAMS = ["/bin/sh", "/usr/bin/env", "/bin/cat", "/bin/rm", "/bin/sleep", "/usr/bin/cmp",
            "/bin/mkdir", "/usr/bin/dirname", "/usr/bin/git"]
# Every program the stubs leave behind sleeps this long, so that one is found
# however it hides.
LEFT_BEHIND = re.compile(r"sleep 10000[0-2]")

# Each stage of the stand-in waits where the root holds /block-STAGE (leaving
# a program behind, as a Wine server would), else does what passes. The first
# command also looks for the host's files through every process's root.
STAGE_SCRIPT = """[ ! -e "/block-$1" ] || {{ sleep 100001 & echo "blocked in $1"; exec sleep 100000; }}
case $1 in
    command1) for root in /proc/[0-9]*/root; do
                  [ ! -e "$root{host_file}" ] || echo "the host's files through $root"
              done
              echo "/proc/1/root holds Debian $(cat /proc/1/root/etc/debian_version)"
              echo "The files have different sizes."; exit 1 ;;
    command2) echo "100% tests passed, 0 tests failed out of 1" ;;
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
    """Mounts at or below the folder in the host's namespace, and processes
    named with a path below it or sleeping as the stubs do."""
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


class Bench:
    """The stand-in project, owned by nobody, whose git config names an
    fsmonitor that notes who runs it; TMPDIR in four spellings; and a folder
    of the host that no run may change."""

    def __init__(self, work, script):
        self.work = fresh_folder(work).resolve()
        # Away from the checkout, whose path a clone path in the root may share
        # (/root/duvak, where this runs inside a fresh root).
        self.host = Path(tempfile.mkdtemp(prefix="duvak-host-")).resolve()
        (self.host / "target").mkdir()
        (self.host / "resolv.conf").write_text("the host's own\n")
        # The checkout and its fsmonitor's notes where their owner can reach
        # them (in a fresh root, the work folder is below root's own /root).
        self.owners = Path(tempfile.mkdtemp(prefix="duvak-checkout-")).resolve()
        self.owners.chmod(0o755)
        self.project = self.owners / "project"
        for name, text in [("tools/fresh-debian.sh", script.read_text()), ("README.md", README),
                           ("stage.sh", STAGE_SCRIPT.format(host_file=self.host / "resolv.conf")),
                           ("tools/duvak", 'sleep 100002 &\necho "The files have the same data."\n')]:
            (self.project / name).parent.mkdir(parents=True, exist_ok=True)
            (self.project / name).write_text(text)
        (self.project / "tools/duvak").chmod(0o755)
        for command in (["init", "-q"], ["add", "-A"],
                        ["-c", "user.name=t", "-c", "user.email=t@t", "commit", "-qm", "stand-in"]):
            subprocess.run(["git", "-C", str(self.project), *command], check=True)
        self.uids = fresh_folder(self.owners / "fsmonitor") / "uids"
        (self.uids.parent / "hook").write_text(f'#!/bin/sh\nid -u >>"{self.uids}"\nexit 1\n')
        (self.uids.parent / "hook").chmod(0o755)
        subprocess.run(["git", "-C", str(self.project), "config", "core.fsmonitor",
                        str(self.uids.parent / "hook")], check=True)
        subprocess.run(["chown", "-R", "nobody:", str(self.project), str(self.uids.parent)],
                       check=True)
        self.logs = self.project / "build/fresh-debian" / RELEASE
        (self.work / "via-link").symlink_to(fresh_folder(self.work / "real"))
        # /dev/shm, where a sandbox's own /dev could hide the work folder.
        self.shm = Path(tempfile.mkdtemp(prefix="duvak-test-", dir="/dev/shm"))
        self.tmpdirs = {"slash": f"{fresh_folder(self.work / 'tmp')}/",
                        "link": str(self.work / "via-link"),
                        "space": f"{fresh_folder(self.work / 'a space')}/",
                        "shm": str(self.shm)}
        self.roots = {}

    def root(self, block=None, links=()):
        """The tiny root's tarball for these arguments, made once."""
        key = (block, tuple(links))
        if key not in self.roots:
            self.roots[key] = self.work / f"root-{len(self.roots)}.tar"
            tiny_root(self.roots[key], block, links)
        return str(self.roots[key])

    def start(self, arguments, spelling, path=None):
        """The script as a maintainer starts it, in a session of its own;
        PATH, where given, goes before the usual one."""
        env = {**os.environ, "TMPDIR": self.tmpdirs[spelling]}
        if path:
            env["PATH"] = f"{path}:{env['PATH']}"
        return subprocess.Popen(
            ["sh", str(self.project / "tools/fresh-debian.sh"), *arguments],
            env=env, stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, start_new_session=True)

    def outside(self):
        """The host folder, the owner and inode of the checkout's git files,
        and the host's /dev."""
        git = self.project / ".git"
        return ({str(path): path.is_file() and path.read_bytes() for path in self.host.rglob("*")},
                {str(path): (path.stat().st_uid, path.stat().st_ino) for path in
                 [git / "index", git / "config", git / "HEAD", *git.glob("refs/**/*")]},
                sorted((name, os.lstat(f"/dev/{name}").st_rdev) for name in os.listdir("/dev")))

    def check(self, run, code, message, spelling, before, killed=False):
        """A finished run's exit code and output, then what it left: mounts,
        processes, a change outside, and a work folder (only KILL leaves it)."""
        problems = outcome(run, code, message)
        folder = Path(os.path.realpath(self.tmpdirs[spelling]))
        # A killed script cannot wait for its sandbox's end: the kernel's.
        wait_for(lambda: not leftovers(folder), 30 if killed else 0)
        problems += leftovers(folder)
        problems += [f"changed outside the work folder: {what}" for what, was, now in zip(
            ["the host's files", "the checkout's git files", "the host's /dev"], before,
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
    return [] if run.returncode == code and message in out else [
        f"exit {run.returncode}, expected {code} and {message!r}; output:\n{out}"]


def ends(bench, arguments, code, message, spelling="slash", path=None):
    before = bench.outside()
    return bench.check(bench.start(arguments, spelling, path), code, message, spelling, before)


def interrupted(bench, stage, kind, spelling):
    """An interrupt while a stage waits; meanwhile a second run of the same
    release is refused."""
    before = bench.outside()
    # The logs are in the work folder until the run ends.
    name = "release.log" if stage == "release" else f"{stage}.out"
    logs = lambda: Path(os.path.realpath(bench.tmpdirs[spelling])).glob(f"*/logs/{name}")
    run = bench.start([RELEASE, "--bare", bench.root(stage)], spelling)
    if not wait_for(lambda: any(f"blocked in {stage}" in log.read_text() for log in logs())):
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
    return problems + bench.check(run, EXIT[kind], "", spelling, before, kind == "KILL")


def whole_run(bench):
    """A whole pass, in which no process's root shows the host's files, and
    the checkout's index stays the user's though its stat data is stale. Its
    fsmonitor never runs as root, a link at the old lock file leads nowhere,
    and all that the run leaves in the checkout is its owner's."""
    (bench.project / "README.md").touch()
    nobody = pwd.getpwnam("nobody")
    (bench.logs / "run.lock").unlink(missing_ok=True)
    (bench.logs / "run.lock").symlink_to(bench.host / "lock")
    os.lchown(bench.logs / "run.lock", nobody.pw_uid, nobody.pw_gid)
    problems = ends(bench, [RELEASE, "--bare", bench.root()], 0, "6 passed, 0 failed", "space")
    seen = (bench.logs / "command1.out").read_text()
    if "the host's files" in seen or "/proc/1/root holds Debian 12.0" not in seen:
        problems.append(f"the first command saw: {seen!r}")
    uids = bench.uids.read_text().split() if bench.uids.exists() else []
    if not uids or set(uids) != {str(nobody.pw_uid)}:
        problems.append(f"the checkout's fsmonitor ran as {uids}, expected only {nobody.pw_uid}")
    if (bench.host / "lock").exists():
        problems.append("a lock was taken through the link at run.lock")
    return problems + [f"{path} belongs to {os.lstat(path).st_uid}, not to nobody" for path in
                       [bench.project, *bench.project.rglob("*")]
                       if os.lstat(path).st_uid != nobody.pw_uid]


def refused_with_build_a_link(bench):
    build = bench.project / "build"
    shutil.rmtree(build, ignore_errors=True)
    build.symlink_to(bench.host / "target")
    try:
        return ends(bench, [RELEASE, "--bare", bench.root()], 2, "/build is a link, refused")
    finally:
        build.unlink()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--source", required=True, type=Path)
    parser.add_argument("--work", required=True, type=Path)
    parser.add_argument("--script", type=Path, help="the script to try (default: the source's)")
    args = parser.parse_args()
    if os.geteuid() != 0 or not shutil.which("bwrap") or subprocess.run(
            ["bwrap", "--ro-bind", "/", "/", "--unshare-pid", "true"], capture_output=True,
            check=False).returncode != 0:
        print("SKIP: not root, or bubblewrap is missing or cannot make its sandbox here")
        sys.exit(77)
    bench = Bench(args.work, args.script or args.source / "tools/fresh-debian.sh")
    host = bench.host
    report = Report()
    for name in ["../../srv", "", "Bookworm"]:
        report.run(f"refused: {name!r}", ends, bench, [name], 2, "is not a Debian code name")
    report.run("refused: build/ a link", refused_with_build_a_link, bench)
    # Could not run, so 2: --bare with --save-bare, a --bare that is no
    # tarball, and an mmdebstrap that cannot reach the archive.
    readme = str(bench.project / "README.md")
    stand_in = fresh_folder(bench.work / "stand-in")
    (stand_in / "mmdebstrap").write_text("#!/bin/sh\necho 'E: cannot reach the archive'\nexit 1\n")
    (stand_in / "mmdebstrap").chmod(0o755)
    for what, arguments, message, path in [
            ("--bare with --save-bare", ["--bare", readme, "--save-bare", readme],
             "with --bare it makes none", None),
            ("a --bare that is no tarball", ["--bare", readme], "could not unpack", None),
            ("no archive", [], "E: cannot reach the archive", stand_in)]:
        report.run(f"cannot run: {what}", ends, bench, [RELEASE, *arguments], 2, message, "slash",
                   path)
    for stage, kind, spelling in [("command1", "Ctrl-C", "slash"), ("command2", "TERM", "link"),
                                  ("release", "HUP", "space"), ("command1", "Ctrl-C twice", "link"),
                                  ("command2", "KILL", "space")]:
        report.run(f"{kind} while {stage}, TMPDIR {spelling}", interrupted, bench, stage, kind,
                   spelling)
    report.run("a whole run passes, and no root in it shows the host", whole_run, bench)
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
        for folder in (bench.work, bench.host, bench.owners, bench.shm):
            shutil.rmtree(folder)
    report.finish()


if __name__ == "__main__":
    main()
