"""tools/fresh-debian.sh runs as root; this proves in seconds, without the
package archive, that however it ends it leaves the host as it was. It runs
the real script on a tiny root made of this machine's own programs, against
a stand-in project whose README commands, release build and tools/duvak are
stubs that can wait at any stage. Each stage (unpacking, cloning, each
README command, the release) is interrupted by a signal (Ctrl-C to the
whole group, TERM, HUP, Ctrl-C twice, KILL), with TMPDIR ending in a slash,
reached through a link, and holding a space. After each run: nothing is
mounted below the work folder, the host's /dev is as it was, no process of
the run lives on, nothing outside the work folder changed, and the work
folder is gone (after KILL it stays, with nothing mounted in it). Also: a
whole run, a root whose links lead onto the host, and names that are no
Debian code name. Needs root and unshare; skipped otherwise (exit 77).

Usage: fresh_debian_test.py --source DIR --work DIR [--script FILE]"""

import argparse
import io
import os
import re
import shutil
import signal
import subprocess
import sys
import tarfile
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "e2e"))
from wine_env import Report, fresh_folder  # noqa: E402

SKIP = 77
RELEASE = "bookworm"
STAGES = ["unpack", "clone", "command1", "command2", "release"]
SIGNALS = ["Ctrl-C", "TERM", "HUP", "Ctrl-C twice", "KILL"]
EXIT = {"Ctrl-C": 130, "TERM": 143, "HUP": 129, "Ctrl-C twice": 130, "KILL": -9}
# The programs that the script and the stubs run in the root.
PROGRAMS = ["/bin/sh", "/usr/bin/env", "/bin/cat", "/bin/rm", "/bin/sleep", "/usr/bin/cmp",
            "/bin/mkdir"]

# Every stage of the stand-in project waits for its end where the root
# holds /block-STAGE (leaving a program of its own behind, as a Wine server
# would be), and otherwise does what the script counts as passing.
STAGE_SCRIPT = """[ ! -e "/block-$1" ] || { sleep 100001 & echo "blocked in $1"; exec sleep 100000; }
case $1 in
    command1) echo "The files have different sizes."; exit 1 ;;
    command2) echo "100% tests passed, 0 tests failed out of 1" ;;
    release) mkdir -p build/release
             for file in SHA256SUMS BUILDINFO.txt DUVAK.exe DUVAK-1-windows-x64.zip; do
                 echo same >"build/release/$file"; done ;;
esac
"""
README = "# Stand-in\n\n```sh\nsh stage.sh command1\nsh stage.sh command2\n```\n"


def add_file(archive, name, data, mode=0o755):
    entry = tarfile.TarInfo(name.lstrip("/"))
    entry.size, entry.mode = len(data), mode
    archive.addfile(entry, io.BytesIO(data))


def tiny_root(path, block=None, links=()):
    """A root of this machine's own programs and their libraries, with a
    stub cmake that runs the release stage."""
    files = set()
    for program in PROGRAMS:
        files.add(program)
        listed = subprocess.run(["ldd", os.path.realpath(program)], capture_output=True,
                                text=True, check=True).stdout
        files.update(re.findall(r"(/\S+) \(0x", listed))
    with tarfile.open(path, "w") as archive:
        for folder in {"proc", "sys", "dev", "tmp", "root", "srv", "etc", "usr/local/bin"} - {
                name.strip("/") for name, _ in links}:
            entry = tarfile.TarInfo(folder)
            entry.type, entry.mode = tarfile.DIRTYPE, 0o755
            archive.addfile(entry)
        for name in sorted(files):
            archive.add(os.path.realpath(name), arcname=name.lstrip("/"))
        add_file(archive, "/etc/debian_version", b"12.0\n", 0o644)
        add_file(archive, "/usr/local/bin/cmake", b"#!/bin/sh\nexec sh stage.sh release\n")
        if block:
            add_file(archive, f"/block-{block}", b"")
        for name, target in links:
            entry = tarfile.TarInfo(name.lstrip("/"))
            entry.type, entry.linkname = tarfile.SYMTYPE, target
            archive.addfile(entry)


def stand_in_project(folder, script):
    fresh_folder(folder)
    for name, text in [("tools/fresh-debian.sh", script.read_text()), ("README.md", README),
                       ("stage.sh", STAGE_SCRIPT),
                       ("tools/duvak", '#!/bin/sh\nsleep 100002 &\n'
                                       'echo "The files have the same data."\n')]:
        (folder / name).parent.mkdir(parents=True, exist_ok=True)
        (folder / name).write_text(text)
    (folder / "tools/duvak").chmod(0o755)
    for command in (["init", "-q"], ["add", "-A"],
                    ["-c", "user.name=t", "-c", "user.email=t@t", "commit", "-qm", "stand-in"]):
        subprocess.run(["git", "-C", str(folder), *command], check=True)


def mounts_below(folder):
    """Mount points at or below the folder in this (the host's) namespace,
    with /proc's octal escapes undone."""
    found = []
    for line in Path("/proc/self/mountinfo").read_text().splitlines():
        point = re.sub(r"\\([0-7]{3})", lambda m: chr(int(m[1], 8)), line.split()[4])
        if point == str(folder) or point.startswith(f"{folder}/"):
            found.append(point)
    return found


def processes_of(folder):
    """Processes rooted, working or named with a path below the folder."""
    found = []
    for entry in Path("/proc").iterdir():
        try:
            places = [os.readlink(entry / "root"), os.readlink(entry / "cwd"),
                      (entry / "cmdline").read_bytes().replace(b"\0", b" ").decode()]
        except (OSError, ValueError):
            continue
        if any(str(folder) in place for place in places):
            found.append(f"{entry.name}: {places[2][:120]}")
    return found


def wait_for(condition, seconds=60):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True


class Run:
    """The script started as a maintainer would, in a session of its own, so
    that a Ctrl-C can go to its whole group; its output collected."""

    def __init__(self, project, arguments, tmpdir, env=()):
        self.lines = []
        self.process = subprocess.Popen(
            ["sh", str(project / "tools/fresh-debian.sh"), *arguments],
            env={**os.environ, "TMPDIR": tmpdir, **dict(env)}, stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, start_new_session=True)
        self.reader = threading.Thread(target=self.read)
        self.reader.start()

    def read(self):
        for line in self.process.stdout:
            self.lines.append(line.decode(errors="replace").rstrip("\n"))

    def signal(self, kind):
        if kind.startswith("Ctrl-C"):
            os.killpg(self.process.pid, signal.SIGINT)
            if kind.endswith("twice"):
                time.sleep(0.05)
                os.killpg(self.process.pid, signal.SIGINT)
        else:
            os.kill(self.process.pid, getattr(signal, f"SIG{kind}"))

    def finish(self):
        try:
            code = self.process.wait(timeout=180)
        except subprocess.TimeoutExpired:
            os.killpg(self.process.pid, signal.SIGKILL)
            code = self.process.wait()
        self.reader.join()
        return code


class Bench:
    """The folders of one test run: the stand-in project, TMPDIR in its three
    spellings, and what must stay untouched."""

    def __init__(self, work, script):
        self.work = fresh_folder(work).resolve()
        self.project = self.work / "project"
        stand_in_project(self.project, script)
        self.logs = self.project / "build/fresh-debian" / RELEASE
        self.host = self.work / "host"
        self.host.mkdir()
        (self.host / "resolv.conf").write_text("the host's own\n")
        (self.work / "real").mkdir()
        (self.work / "via-link").symlink_to(self.work / "real")
        self.tmpdirs = {"slash": (f"{self.work}/tmp/", self.work / "tmp"),
                        "link": (str(self.work / "via-link"), self.work / "real"),
                        "space": (f"{self.work}/a space/", self.work / "a space")}
        for keep in [self.project / "srv/keep", self.logs.parent / "trixie/keep"] + [
                folder / "keep" for _, folder in self.tmpdirs.values()]:
            keep.parent.mkdir(parents=True, exist_ok=True)
            keep.write_text("keep\n")
        self.roots = {}

    def root(self, block=None, links=()):
        name = f"root-{block}-{len(links)}.tar"
        if name not in self.roots:
            tiny_root(self.work / name, block, links)
            self.roots[name] = self.work / name
        return self.roots[name]

    def outside(self):
        """The host's devices and the files outside the work folder, which
        a run must leave as they are."""
        keep = [self.host / "resolv.conf", self.project / "srv/keep",
                self.logs.parent / "trixie/keep"] + [f / "keep" for _, f in self.tmpdirs.values()]
        files = {str(path): path.read_bytes() if path.exists() else None for path in keep}
        return files, sorted((name, os.lstat(f"/dev/{name}").st_rdev) for name in os.listdir("/dev"))

    def aftermath(self, folder, before, killed=False):
        """What a run left that it should not have: mounts, processes, a
        change outside, and a work folder (which only KILL may leave)."""
        if killed and not wait_for(lambda: not processes_of(folder), 30):
            return [f"processes still live: {processes_of(folder)}"]
        problems = [f"still mounted: {point}" for point in mounts_below(folder)]
        problems += [f"process left: {p}" for p in processes_of(folder)]
        files, devices = self.outside()
        problems += [f"changed outside the work folder: {name}" for name in files
                     if files[name] != before[0][name]]
        problems += [] if devices == before[1] else ["the host's /dev changed"]
        left = [path for path in folder.iterdir() if path.name != "keep"]
        if left and not killed:
            problems.append(f"left behind: {[path.name for path in left]}")
        if not problems:
            for path in left:
                shutil.rmtree(path)
        return problems


def feed_slowly(tar, fifo, started, stop):
    """Writes half the tarball into the FIFO that the script unpacks, then
    holds it open, so that the unpacking waits there to be interrupted."""
    data = tar.read_bytes()
    with open(fifo, "wb") as sink:
        sink.write(data[:len(data) // 2])
        sink.flush()
        started.set()
        stop.wait()


def interrupted(bench, stage, spelling, kind):
    tmpdir, folder = bench.tmpdirs[spelling]
    before = bench.outside()
    env, started, stop = {}, threading.Event(), threading.Event()
    if stage == "unpack":
        bare = bench.work / f"root-{spelling}.fifo"
        os.mkfifo(bare)
        threading.Thread(target=feed_slowly, args=(bench.root(), bare, started, stop),
                         daemon=True).start()
        ready = started.is_set
    else:
        bare = bench.root(stage if stage != "clone" else None)
        if stage == "clone":
            hooks = fresh_folder(bench.work / "hooks")
            (hooks / "post-checkout").write_text(
                f"#!/bin/sh\ntouch '{hooks}/ready'\nexec sleep 100000\n")
            (hooks / "post-checkout").chmod(0o755)
            env = {"GIT_CONFIG_COUNT": "1", "GIT_CONFIG_KEY_0": "core.hooksPath",
                   "GIT_CONFIG_VALUE_0": str(hooks)}
            ready = (hooks / "ready").exists
        else:
            log = bench.logs / ("release.log" if stage == "release" else f"{stage}.out")
            log.unlink(missing_ok=True)  # the last run's
            ready = lambda: log.exists() and f"blocked in {stage}" in log.read_text()
    run = Run(bench.project, [RELEASE, "--bare", str(bare)], tmpdir, env)
    problems = [] if wait_for(ready) else [f"never reached {stage}: {run.lines}"]
    run.signal(kind)
    code = run.finish()
    stop.set()
    if code != EXIT[kind]:
        problems.append(f"exit {code}, expected {EXIT[kind]}; output {run.lines}")
    return problems + bench.aftermath(folder, before, kind == "KILL")


def whole_run(bench):
    tmpdir, folder = bench.tmpdirs["space"]
    before = bench.outside()
    run = Run(bench.project, [RELEASE, "--bare", str(bench.root())], tmpdir)
    code = run.finish()
    problems = [] if code == 0 and "6 passed, 0 failed" in " ".join(run.lines) else [
        f"exit {code}: {run.lines}"]
    return problems + bench.aftermath(folder, before)


def hostile_root(bench):
    """Links in the root that lead onto the host: resolv.conf is written
    inside the root, and no clone goes through /srv."""
    tmpdir, folder = bench.tmpdirs["link"]
    before = bench.outside()
    bare = bench.root(links=[("/etc/resolv.conf", str(bench.host / "resolv.conf")),
                             ("/srv", str(bench.host))])
    run = Run(bench.project, [RELEASE, "--bare", str(bare)], tmpdir)
    code = run.finish()
    problems = [] if code == 1 and any("/srv in the root is not a plain folder" in line
                                       for line in run.lines) else [f"exit {code}: {run.lines}"]
    if list(bench.host.iterdir()) != [bench.host / "resolv.conf"]:
        problems.append(f"written onto the host: {list(bench.host.iterdir())}")
    return problems + bench.aftermath(folder, before)


def no_code_name(bench):
    """A name that is not a code name removes nothing: not a folder that
    "../.." reaches from the logs, nor the logs of every release."""
    tmpdir, folder = bench.tmpdirs["slash"]
    before = bench.outside()
    problems = []
    for name in ["../../srv", "", "Bookworm"]:
        run = Run(bench.project, [name, "--bare", str(bench.root())], tmpdir)
        if (code := run.finish()) != 2:
            problems.append(f"{name!r}: exit {code}")
    return problems + bench.aftermath(folder, before)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--source", required=True, type=Path)
    parser.add_argument("--work", required=True, type=Path)
    parser.add_argument("--script", type=Path, help="the script to try (default: the source's)")
    args = parser.parse_args()
    if os.geteuid() != 0:
        print("SKIP: the script runs as root only")
        sys.exit(SKIP)
    if subprocess.run(["unshare", "--mount", "--pid", "--fork", "true"],
                      capture_output=True, check=False).returncode != 0:
        print("SKIP: unshare cannot make mount and PID namespaces here")
        sys.exit(SKIP)
    bench = Bench(args.work, args.script or args.source / "tools/fresh-debian.sh")
    report = Report()
    for i, stage in enumerate(STAGES):
        for j, spelling in enumerate(bench.tmpdirs):
            kind = SIGNALS[(i + j) % len(SIGNALS)]
            report.run(f"{kind} while {stage}, TMPDIR {spelling}", interrupted, bench, stage,
                       spelling, kind)
    report.run("a whole run passes and leaves nothing", whole_run, bench)
    report.run("links in the root do not lead onto the host", hostile_root, bench)
    report.run("a name that is no code name removes nothing", no_code_name, bench)
    if not report.failed:
        shutil.rmtree(bench.work)
    report.finish()


if __name__ == "__main__":
    main()
