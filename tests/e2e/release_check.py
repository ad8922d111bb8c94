"""Builds the release twice, one after the other, in two git checkouts of
the source tree at different paths, with a different time zone and umask,
the second (when run as root) owned by another user; checks that DUVAK.exe,
the zip, SHA256SUMS and BUILDINFO.txt come out byte for byte the same, that
BUILDINFO.txt names the commit and exactly the tools the build ran, that the
zip carries a published package's name only with that package's bytes, what
it holds, that `sha256sum -c SHA256SUMS` passes, and that every relative
link of README.md and CONTRIBUTING.md leads somewhere.

With --published it rebuilds instead each published package (releases/NAME/)
from its commit and checks its published checksums, where this machine's
tools are the ones its record names; elsewhere it skips (exit 77). With
--guide it checks only that the newest package holds README.md's user guide,
and skips, saying so, where the guide is newer.
Usage: release_check.py --source DIR --work DIR --cmake CMAKE --version VERSION
                        [--published | --guide]"""

import argparse
import contextlib
import hashlib
import itertools
import os
import pwd
import re
import shlex
import shutil
import subprocess
import sys
import zipfile
from pathlib import Path

from cases import HELP
from pe_check import RT_VERSION, Image, version_block
from wine_env import Report, Skip, fresh_folder

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))
from release import (debian_package, package_name as release_name, published,  # noqa: E402
                     read_sums, readme_txt, source_commit, tool_lines, trusted_git, user_guide)

ENTRIES = ["DUVAK.exe", "README.txt", "LICENSE.txt"]

# The two builds differ in everything that must not reach the bytes: the
# folder (and the length of its path), the time, the time zone, the umask
# and the checkout's owner.
BUILDS = [("one/DUVAK", "UTC0", 0o022, None),
          ("second-build/a-longer-folder-name/src", "<+14>-14", 0o077, "nobody")]
# The trees' one commit: the same files, author and time give the same hash.
COMMIT = {"GIT_AUTHOR_NAME": "release check", "GIT_AUTHOR_EMAIL": "check@duvak.invalid",
          "GIT_AUTHOR_DATE": "2026-01-01T00:00:00Z", "GIT_COMMITTER_NAME": "release check",
          "GIT_COMMITTER_EMAIL": "check@duvak.invalid", "GIT_COMMITTER_DATE": "2026-01-01T00:00:00Z"}


def source_git(source, *arguments):
    return subprocess.run(trusted_git(source) + list(arguments), capture_output=True, check=False)


def source_files(source):
    """The tree as a clone would hold it: git's list in a checkout, else
    every file outside build/ and .git."""
    if (source / ".git").exists() and shutil.which("git"):
        listed = source_git(source, "ls-files", "-z")
        if listed.returncode != 0:
            sys.exit(f"git ls-files in {source}: {listed.stderr.decode().strip()}")
        names = [Path(name) for name in os.fsdecode(listed.stdout).split("\0") if name]
        # A tracked file deleted in the working tree is not part of it.
        return [name for name in names if os.path.lexists(source / name)]
    files = []
    for folder, subfolders, names in os.walk(source):
        if Path(folder) == source:
            subfolders[:] = [name for name in subfolders if name not in ("build", ".git")]
        files += [Path(folder, name).relative_to(source) for name in names]
    return files


def copy_tree(source, files, destination):
    for name in files:
        (destination / name).parent.mkdir(parents=True, exist_ok=True)
        shutil.copy(source / name, destination / name, follow_symlinks=False)


def checkout(tree, owner):
    """Makes the tree a git checkout of one commit, owned by OWNER where
    this runs as root (as the README's rebuild in a user's checkout is)."""
    git = ["git", "-c", "init.defaultBranch=main", "-c", "commit.gpgSign=false", "-C", str(tree)]
    for command in (["init", "-q"], ["add", "-A"], ["commit", "-q", "--no-verify", "-m", "tree"]):
        subprocess.run(git + command, env={**os.environ, **COMMIT}, check=True,
                       stdout=subprocess.DEVNULL)
    commit = subprocess.run(git + ["rev-parse", "HEAD"], capture_output=True, text=True,
                            check=True).stdout.strip()
    if owner and os.geteuid() == 0:
        user = pwd.getpwnam(owner)
        for folder, _, names in os.walk(tree):
            for path in [folder] + [os.path.join(folder, name) for name in names]:
                os.lchown(path, user.pw_uid, user.pw_gid)
    return commit


def build(cmake, tree, zone, umask, logs, steps=(("--workflow", "--preset", "release"),)):
    """Builds with make's echo of every command on, into LOGS[tree]."""
    env = {key: value for key, value in os.environ.items()
           if key not in ("SOURCE_DATE_EPOCH", "MAKEFLAGS", "MFLAGS")}
    env.update(TZ=zone, VERBOSE="1")
    output = ""
    for step in steps:
        result = subprocess.run([cmake, *step], cwd=tree, env=env, umask=umask,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=600,
                                check=False)
        output += result.stdout.decode(errors="replace")
        if result.returncode != 0:
            return [f"exit code {result.returncode}; last lines:", *output.splitlines()[-30:]]
    logs[tree] = output
    return []


def programs_run(log):
    """The files of the programs that the build's commands ran: the C++
    compiler driver (of every compile and of the link), windres and the
    preprocessor it ran (its --preprocessor, else the target's gcc beside
    it, where windres looks first), and the Python of the build's scripts."""
    ran = {"compiler": set(), "resource compiler": set(), "resource preprocessor": set(),
           "Python": set()}
    for line in log.splitlines():
        try:
            argv = shlex.split(line.split(" && ")[-1])
        except ValueError:
            continue
        if not argv or not argv[0].startswith("/") and not shutil.which(argv[0]):
            continue
        program = os.path.realpath(shutil.which(argv[0]) or argv[0])
        if ("-c" in argv and argv[-1].endswith(".cpp")) or "-o DUVAK.exe" in " ".join(argv):
            ran["compiler"].add(program)
        elif program.endswith("-windres"):
            ran["resource compiler"].add(program)
            told = [arg.split("=", 1)[1] for arg in argv if arg.startswith("--preprocessor=")]
            ran["resource preprocessor"].add(os.path.realpath(
                told[0] if told else shutil.which(program[:-len("windres")] + "gcc") or "gcc"))
        elif any(arg.endswith(("/release.py", "/readonly_sections.py")) for arg in argv[1:]):
            ran["Python"].add(program)
    problems = [f"the build ran {len(files)} programs as {what}: {sorted(files)}"
                for what, files in ran.items() if len(files) != 1]
    return problems, {what: min(files) for what, files in ran.items() if files}


def same_bytes(outputs, names):
    first, second = outputs
    return [f"{name} differs between {first} and {second}" for name in names
            if (first / name).read_bytes() != (second / name).read_bytes()]


def product_version(exe):
    """ProductVersion from the exe's version record: the zip's name must not
    claim another version than the program inside."""
    _, _, children, _ = version_block(Image(exe).resource([RT_VERSION, 1]), 0)
    tables = {block[0]: block[2] for block in children}.get("StringFileInfo", [])
    strings = {entry[0]: entry[1] for table in tables for entry in table[2]}
    return strings.get("ProductVersion")


def zip_contents(release, zip_name, version, source):
    with zipfile.ZipFile(release / zip_name) as archive:
        names = [entry.filename for entry in archive.infolist()]
        if names != ENTRIES:
            return [f"entries {names}, expected {ENTRIES}"]
        problems = []
        if (bad := archive.testzip()) is not None:
            problems.append(f"{bad}: CRC mismatch")
        if archive.read("DUVAK.exe") != (release / "DUVAK.exe").read_bytes():
            problems.append("the zip's DUVAK.exe is not the built one")
        if (inside := product_version(archive.read("DUVAK.exe"))) != version:
            problems.append(f"the zip is named for version {version}, DUVAK.exe says {inside}")
        license_text = (source / "LICENSE").read_bytes().replace(b"\n", b"\r\n")
        if archive.read("LICENSE.txt") != license_text:
            problems.append("LICENSE.txt is not LICENSE with CRLF line ends")
        return problems + readme_problems(archive.read("README.txt"))


def readme_problems(readme):
    problems = []
    bare = readme.replace(b"\r\n", b"")
    if b"\n" in bare or b"\r" in bare:
        problems.append("README.txt has a line end other than CRLF")
    text = readme.decode("utf-8")
    if "`" in text:
        problems.append("README.txt keeps Markdown backticks or code fences")
    # The usage and switch lines of the program's own help text, as the e2e
    # tests expect it from DUVAK.exe.
    help_lines = HELP.decode("ascii").splitlines()
    start = next(i for i, line in enumerate(help_lines) if line.startswith("Usage: "))
    end = next(i for i, line in enumerate(help_lines) if "file1, file2" in line)
    wanted = [line.removeprefix("Usage: ").strip() for line in help_lines[start:end + 1]]
    present = {line.strip() for line in text.splitlines()}
    problems += [f"README.txt lacks the usage line {line!r}" for line in wanted
                 if line and line not in present]
    return problems


def tools_ran(log, cmake):
    """The record's tool lines as they must read for the build in LOG: each
    program it ran, with the package and version that installed it."""
    problems, ran = programs_run(log)
    if problems:
        return problems, []
    return [], tool_lines(ran["compiler"], ran["resource compiler"], ran["resource preprocessor"],
                          shutil.which(cmake) or cmake, ran["Python"])


def build_record(release, version, log, cmake, commit):
    """BUILDINFO.txt names the checkout's commit and, line for line, the
    tools the build ran with their installed packages; on Debian every one
    of them comes from a package, and the release is Debian's."""
    lines = (release / "BUILDINFO.txt").read_text(encoding="utf-8").splitlines()
    problems = [] if lines[0] == f"DUVAK {version} release build record" else [
        f"first line {lines[0]!r}"]
    if lines[2:3] != [f"source commit: {commit}"]:
        problems.append(f"{lines[2:3]}, but the build was of commit {commit}")
    problems_run, wanted = tools_ran(log, cmake)
    problems += problems_run
    problems += [f"the record says {got!r}; the build ran {want!r}"
                 for got, want in itertools.zip_longest(lines[3:], wanted, fillvalue="")
                 if got != want]
    if not Path("/etc/debian_version").exists():
        return problems
    problems += [f"not Debian's: {line}" for line in wanted
                 if not re.fullmatch(r"[^:]+: \S+ \S*\d\S* \(/\S+\)", line)]
    return problems + ([] if lines[1].startswith("built on: Debian GNU/Linux ") else [
        f"{lines[1]!r}"])


RECORD_LINE = re.compile(r"(?P<what>[^:]+): (?P<package>\S+) (?P<version>\S+) \((?P<path>/\S+)\)")


def tools_here(record):
    """Each tool line of a record as it reads on this machine: the package
    and version that now own the file the record names."""
    return [f"{line.split(': ', 1)[0]}: {debian_package(match['path'])}"
            if (match := RECORD_LINE.fullmatch(line)) else f"{line} (unreadable)" for line in record]


def newer_python(here, then):
    """Whether two record lines differ only in Python's Debian revision: the
    same package (so the same 3.x), the same file."""
    a, b = RECORD_LINE.fullmatch(here), RECORD_LINE.fullmatch(then)
    return bool(a and b and a["what"] == "Python" and
                (a["package"], a["path"]) == (b["package"], b["path"]))


def published_package(args, folder, work):
    """Where the tools that write the bytes (compiler, binutils, MinGW-w64,
    CMake) are the ones the package's record names, and Python the same 3.x,
    its commit rebuilt here has the published checksums."""
    if not (folder / "BUILDINFO.txt").exists():
        raise Skip(f"releases/{folder.name} has no BUILDINFO.txt (release.reproducible fails)")
    commit, problem = record_commit(folder)
    if problem:
        return [problem]
    then = (folder / "BUILDINFO.txt").read_text(encoding="utf-8").splitlines()
    here = tools_here(then[3:])
    differ = [(a, b) for a, b in zip(here, then[3:]) if a != b]
    if blocking := [f"{a!r} here, {b!r} in the record" for a, b in differ
                    if not newer_python(a, b)]:
        raise Skip(f"not {folder.name}'s tools: {blocking[0]}")
    if missing := missing_commit(args.source, folder, commit):
        return [missing]
    tree = fresh_folder(work / f"published-{folder.name}")
    archive = source_git(args.source, "archive", commit)
    subprocess.run(["tar", "-x", "-C", str(tree)], input=archive.stdout, check=True)
    python = next(RECORD_LINE.fullmatch(line)["path"] for line in then
                  if line.startswith("Python: "))
    logs = {}
    problems = build(args.cmake, tree, "UTC0", 0o022, logs,
                     [("--preset", "release", f"-DPython3_EXECUTABLE={python}"),
                      ("--build", "--preset", "release")])
    if problems:
        return problems
    problems, ran = tools_ran(logs[tree], args.cmake)
    if problems:
        return problems
    # Where the build finds other files first (another variant of the
    # compiler chosen as the default, say), this machine is not the record's.
    if other := [f"{a!r}, not the record's {b!r}"
                 for a, b in itertools.zip_longest(ran, here, fillvalue="") if a != b]:
        raise Skip(f"the build of {commit} ran {other[0]}")
    # By checksum, not by name: the commit built is the one before the
    # package's folder was added, so its zip is named as unreleased.
    built = list(read_sums(tree / "build" / "release" / "SHA256SUMS").values())
    wanted = list(read_sums(folder / "SHA256SUMS").values())
    if built != wanted:
        problems.append(f"the rebuild's checksums {built}, the published {wanted}; "
                        "tools not at the record's version: "
                        f"{[f'{a!r} here, {b!r} in the record' for a, b in differ] or 'none'}")
    return problems


def package_name(release, zip_name, version, source):
    """A published package's name only with that package's bytes, and that
    package's bytes only under its name; any other build says it is
    unreleased."""
    built = read_sums(release / "SHA256SUMS")
    packages = published(source / "releases")
    problems = []
    for sums in packages:
        name = next(name for name in sums if name != "DUVAK.exe")
        same = built.get(zip_name) == sums[name] and built.get("DUVAK.exe") == sums["DUVAK.exe"]
        if zip_name == name and not same:
            problems.append(f"{zip_name} is a published package's name, with other bytes")
        elif same and zip_name != name:
            problems.append(f"the bytes of the published {name} are named {zip_name}")
    if not any(zip_name in sums for sums in packages) and not re.fullmatch(
            rf"DUVAK-{re.escape(version)}-unreleased(-[0-9a-f]{{7}})?(-modified)?-windows-x64\.zip",
            zip_name):
        problems.append(f"{zip_name} is neither a published name nor an unreleased one")
    return problems


COMMIT_LINE = re.compile(r"source commit: ([0-9a-f]{40})")


def record_commit(folder):
    """The commit that releases/NAME/BUILDINFO.txt names, or a problem that
    quotes its commit line where it names none (a tree with uncommitted
    changes, a typo): such a record can never be rebuilt."""
    lines = (folder / "BUILDINFO.txt").read_text(encoding="utf-8").splitlines()
    line = lines[2] if len(lines) > 2 else ""
    if match := COMMIT_LINE.fullmatch(line):
        return match[1], None
    return None, f"releases/{folder.name}/BUILDINFO.txt, line 3: {line!r} names no commit"


def missing_commit(source, folder, commit):
    """None where the checkout has the commit that the folder's record names;
    else a problem, or, in a shallow clone or outside git, the reason to skip."""
    if source_git(source, "cat-file", "-e", f"{commit}^{{commit}}").returncode == 0:
        return None
    shallow = source_git(source, "rev-parse", "--is-shallow-repository").stdout.strip()
    if shallow != b"false":
        raise Skip(f"commit {commit} is not in this checkout, a shallow clone or none")
    return f"releases/{folder.name}/BUILDINFO.txt names commit {commit}, which is in no history"


def package_key(name):
    """1.2 < 1.2-2 < 1.10: the program version's numbers, then the revision."""
    version, _, revision = name.partition("-")
    return [int(number) for number in version.split(".")], int(revision or 1)


def newest_package(source):
    """The folder of the newest package whose zip releases/ keeps, or None."""
    kept = [folder for folder in (source / "releases").iterdir()
            if (folder / f"DUVAK-{folder.name}-windows-x64.zip").exists()]
    return max(kept, key=lambda folder: package_key(folder.name), default=None)


def releases_folder(source, work):
    """Each folder of releases/ names its own zip in SHA256SUMS and has the
    build record of a commit; every package of one version carries one
    DUVAK.exe. A zip kept there is its SHA256SUMS line, holds DUVAK.exe of
    the exe line and of the version in its name, and the README.txt that its
    record's commit makes, and passes the README's Linux check in a folder of
    the zip and SHA256SUMS alone. The README's download section names the
    newest package kept, and only that one."""
    problems, exes = [], {}
    readme = (source / "README.md").read_text(encoding="utf-8")
    if not (linux_check := re.search(r"^sha256sum -c[^#\n]*", readme, re.M)):
        return ["README.md gives no Linux check (a line 'sha256sum -c ...')"]
    linux_check = linux_check[0].strip()
    folders = sorted(path.parent for path in (source / "releases").glob("*/SHA256SUMS"))
    for folder in folders:
        sums, name = read_sums(folder / "SHA256SUMS"), f"DUVAK-{folder.name}-windows-x64.zip"
        if list(sums) != [name, "DUVAK.exe"]:
            problems.append(f"releases/{folder.name}/SHA256SUMS lists {list(sums)}, "
                            f"expected {[name, 'DUVAK.exe']}")
        exes.setdefault(folder.name.partition("-")[0], {})[folder.name] = sums.get("DUVAK.exe")
        if others := [path.name for path in folder.glob("*.zip") if path.name != name]:
            problems.append(f"releases/{folder.name} holds {others}, which it does not list")
        commit = None
        if not (folder / "BUILDINFO.txt").exists():
            problems.append(f"releases/{folder.name} has no BUILDINFO.txt: commit the record of "
                            "its build with it (CONTRIBUTING.md, Publishing a package)")
        else:
            commit, problem = record_commit(folder)
            with contextlib.suppress(Skip):
                problem = problem or missing_commit(source, folder, commit)
            problems += [problem] if problem else []
        if not (folder / name).exists():
            continue  # only its checksums are kept
        data = (folder / name).read_bytes()
        with zipfile.ZipFile(folder / name) as archive:
            exe, guide = archive.read("DUVAK.exe"), archive.read("README.txt")
        if hashlib.sha256(data).hexdigest() != sums.get(name):
            problems.append(f"releases/{folder.name}/{name} is not its SHA256SUMS line")
        if hashlib.sha256(exe).hexdigest() != sums.get("DUVAK.exe"):
            problems.append(f"{name}'s DUVAK.exe is not the exe line of its SHA256SUMS")
        if (inside := product_version(exe)) != folder.name.partition("-")[0]:
            problems.append(f"{name} is named for another version than its DUVAK.exe, {inside}")
        then = source_git(source, "show", f"{commit}:README.md") if commit else None
        if then and then.returncode == 0 and guide != readme_txt(then.stdout.decode("utf-8")):
            problems.append(f"{name}'s README.txt is not the one its commit {commit[:7]} makes")
        check = fresh_folder(work / "download")
        for file in (name, "SHA256SUMS"):
            shutil.copy(folder / file, check / file)
        done = subprocess.run(linux_check, shell=True, cwd=check, capture_output=True, text=True,
                              check=False)
        if (done.returncode, done.stdout) != (0, f"{name}: OK\n"):
            problems.append(f"the README's check {linux_check!r} beside {name}: exit "
                            f"{done.returncode}, {done.stdout!r} {done.stderr!r}")
    problems += [f"the packages of {version} carry different DUVAK.exe: {packages}; a package "
                 "revision changes the package alone" for version, packages in exes.items()
                 if len(set(packages.values())) > 1]
    if (newest := newest_package(source)) is None:
        return problems + ["releases/ keeps no package's zip"]
    return problems + download_section(readme, newest.name, [folder.name for folder in folders])


def download_section(readme, newest, names):
    """The README's download section links to the newest package's zip and
    SHA256SUMS, and names no other package's zip: not in its link, nor in
    the checks, nor in what they print."""
    section = re.search(r"^## Download\n(.*?)^## ", readme, re.M | re.S)
    text = section[1] if section else ""
    zip_name = f"DUVAK-{newest}-windows-x64.zip"
    problems = [f"README.md's download section has no link to {link}" for link in
                (f"releases/{newest}/{zip_name}", f"releases/{newest}/SHA256SUMS")
                if f"]({link})" not in text]
    named = set(re.findall(r"DUVAK-(.+?)-windows-x64\.zip", text)) & set(names)
    return problems + [f"README.md's download section names DUVAK-{name}-windows-x64.zip; the "
                       f"newest package is {zip_name}" for name in sorted(named - {newest})]


def newest_guide(source):
    """The newest package kept holds the README.txt that README.md makes now;
    a newer user guide waits for the next package, and says so."""
    if (folder := newest_package(source)) is None:
        return ["releases/ keeps no package's zip"]
    name = f"DUVAK-{folder.name}-windows-x64.zip"
    with zipfile.ZipFile(folder / name) as archive:
        guide = archive.read("README.txt")
    if guide != readme_txt((source / "README.md").read_text(encoding="utf-8")):
        raise Skip(f"the user guide is newer than {name}'s README.txt: publish a package "
                   "(CONTRIBUTING.md, Publishing a package)")
    return []


def release_py(work):
    """SHA256SUMS lines as sha256sum writes them in text and binary mode, with
    a blank line; and a checkout whose status git cannot give is no clean
    tree in the package's name."""
    problems = []
    sums = work / "SHA256SUMS"
    sums.write_text(f"{'A' * 64}  one.zip\n\n{'b' * 64} *DUVAK.exe\n")
    if (got := read_sums(sums)) != {"one.zip": "a" * 64, "DUVAK.exe": "b" * 64}:
        problems.append(f"read_sums read {got}")
    tree = fresh_folder(work / "unreadable")
    (tree / "README.md").write_text("a tree\n")
    checkout(tree, None)
    (tree / ".git" / "index").write_bytes(b"not an index")
    commit, changed = source_commit(tree)
    if (name := release_name("1.2", "", "", tree / "releases", commit, changed)) != (
            f"DUVAK-1.2-unreleased-{commit[:7]}-modified-windows-x64.zip"):
        problems.append(f"with git status failing, the zip is named {name}")
    return problems


def documents(source):
    """Every relative link in README.md and CONTRIBUTING.md leads to a file,
    or a heading, that exists; README.txt's parts are still marked."""
    problems = []
    try:
        user_guide((source / "README.md").read_text(encoding="utf-8"))
    except SystemExit as error:  # its marks are unbalanced or gone
        problems.append(str(error))
    for page in ["README.md", "CONTRIBUTING.md"]:
        text = (source / page).read_text(encoding="utf-8")
        for target in re.findall(r"\]\(([^)\s]+)\)", text):
            if re.match(r"[a-z]+:", target):
                continue
            path, _, heading = target.partition("#")
            linked = (source / page).parent / path if path else source / page
            if not linked.exists():
                problems.append(f"{page}: {target} leads to no file")
            elif heading and heading not in headings(linked.read_text(encoding="utf-8")):
                problems.append(f"{page}: {target} leads to no heading")
    return problems


def headings(markdown):
    """The anchors of a page's headings; a comment line of a code block is
    no heading."""
    slug = lambda title: re.sub(r"[^\w\- ]", "", title.strip().lower()).replace(" ", "-")
    found, in_code = set(), False
    for line in markdown.splitlines():
        if line.startswith("```"):
            in_code = not in_code
        elif line.startswith("#") and not in_code:
            found.add(slug(line.lstrip("#")))
    return found


def checksums(release, zip_name):
    listed = list(read_sums(release / "SHA256SUMS"))
    zips = [path.name for path in release.glob("*.zip")]
    problems = [] if listed == [zip_name, "DUVAK.exe"] == zips + ["DUVAK.exe"] else [
        f"SHA256SUMS lists {listed}, beside the zips {zips}"]
    result = subprocess.run(["sha256sum", "-c", "SHA256SUMS"], cwd=release,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, check=False)
    if result.returncode != 0:
        problems.append(f"sha256sum -c: exit {result.returncode}: {result.stdout!r}")
    return problems


def check_published(args, report, work):
    for folder in sorted(path.parent for path in (args.source / "releases").glob("*/SHA256SUMS")):
        report.run(f"the published {folder.name}, rebuilt from its commit, has its checksums",
                   published_package, args, folder, work)
    if not report.failed:
        shutil.rmtree(work)
    if report.passed or report.failed:
        report.finish()
    print(f"0 passed, 0 failed, {report.skipped} skipped")
    sys.exit(77)  # so that CTest reports it as skipped, not as passed


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--source", required=True, type=Path)
    parser.add_argument("--work", required=True, type=Path)
    parser.add_argument("--cmake", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--published", action="store_true")
    parser.add_argument("--guide", action="store_true")
    args = parser.parse_args()
    args.source = args.source.resolve()
    source, work = args.source, fresh_folder(args.work)
    report = Report()
    if args.published:
        check_published(args, report, work)
    if args.guide:
        report.run("the newest package holds the user guide of README.md", newest_guide, source)
        shutil.rmtree(work)
        if report.skipped:
            sys.exit(77)  # so that CTest reports it as skipped, with the reason
        report.finish()

    report.run("README.md and CONTRIBUTING.md: every relative link leads somewhere; the user "
               "guide is marked", documents, source)
    report.run("releases/: each folder names its zip and a commit, one DUVAK.exe per version; a "
               "zip kept is its checksums and its commit's, passes the README's check; the README "
               "downloads the newest", releases_folder, source, work)
    report.run("release.py reads binary-mode and blank SHA256SUMS lines, and names a tree whose "
               "status git cannot give as modified", release_py, fresh_folder(work / "release.py"))
    files = source_files(source)
    outputs, logs, commits = [], {}, []
    for folder, zone, umask, owner in BUILDS:
        tree = work / folder
        # Copied only now, so that the second tree's files are newer too.
        copy_tree(source, files, tree)
        commits.append(checkout(tree, owner))
        owned = f", owned by {owner}" if owner and os.geteuid() == 0 else ""
        report.run(f"release built in {tree} (TZ={zone}, umask {umask:03o}{owned})",
                   build, args.cmake, tree, zone, umask, logs)
        outputs.append(tree / "build" / "release")
    if report.failed:
        report.finish()
    release = outputs[0]
    zip_name = next(iter(read_sums(release / "SHA256SUMS")))
    compared = ["DUVAK.exe", zip_name, "SHA256SUMS", "BUILDINFO.txt"]
    report.run(f"{', '.join(compared)} are the same bytes in both builds", same_bytes, outputs,
               compared)
    report.run("BUILDINFO.txt names the commit and each tool the build ran, with its package",
               build_record, release, args.version, logs[release.parent.parent], args.cmake,
               commits[0])
    report.run(f"{zip_name}: a published name only with the published bytes", package_name,
               release, zip_name, args.version, source)
    report.run(f"{zip_name} holds {', '.join(ENTRIES)} as built", zip_contents,
               release, zip_name, args.version, source)
    report.run("SHA256SUMS lists the zip and the exe, and sha256sum -c passes", checksums,
               release, zip_name)
    if not report.failed:
        shutil.rmtree(work)
    report.finish()


if __name__ == "__main__":
    main()
