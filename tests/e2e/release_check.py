"""Builds the release twice, one after the other, in two copies of the source
tree at different paths, with a different time zone and umask, and checks
that DUVAK.exe, the zip and SHA256SUMS come out byte for byte the same; then
checks what the zip holds and that `sha256sum -c SHA256SUMS` passes.
Usage: release_check.py --source DIR --work DIR --cmake CMAKE --version VERSION"""

import argparse
import os
import re
import shutil
import subprocess
import zipfile
from pathlib import Path

from cases import HELP
from pe_check import RT_VERSION, Image, version_block
from wine_env import Report, fresh_folder

ENTRIES = ["DUVAK.exe", "README.txt", "LICENSE.txt"]

# The two builds differ in everything that must not reach the bytes: the
# folder (and the length of its path), the time, the time zone and the umask.
BUILDS = [("one/DUVAK", "UTC0", 0o022),
          ("second-build/a-longer-folder-name/src", "<+14>-14", 0o077)]


def source_files(source):
    """The tree as a clone would hold it: git's list in a checkout, else
    every file outside build/ and .git."""
    if (source / ".git").exists() and shutil.which("git"):
        listed = subprocess.run(["git", "-C", str(source), "ls-files", "-z"],
                                stdout=subprocess.PIPE, check=True).stdout
        names = [Path(name) for name in os.fsdecode(listed).split("\0") if name]
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


def build(cmake, tree, zone, umask):
    env = {key: value for key, value in os.environ.items()
           if key not in ("SOURCE_DATE_EPOCH", "MAKEFLAGS", "MFLAGS")}
    env["TZ"] = zone
    result = subprocess.run([cmake, "--workflow", "--preset", "release"], cwd=tree, env=env,
                            umask=umask, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            timeout=600, check=False)
    if result.returncode != 0:
        output = result.stdout.decode(errors="replace").splitlines()
        return [f"exit code {result.returncode}; last lines:", *output[-30:]]
    return []


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


def build_record(release, version):
    """On Debian every tool that made the bytes comes from a package with its
    version; the copies built here are not checkouts, which it says."""
    lines = (release / "BUILDINFO.txt").read_text(encoding="utf-8").splitlines()
    fields = dict(line.split(": ", 1) for line in lines[1:])
    problems = [] if lines[0] == f"DUVAK {version} release build record" else [
        f"first line {lines[0]!r}"]
    if fields.get("source commit") != "not a git checkout":
        problems.append(f"source commit: {fields.get('source commit')!r}")
    if not Path("/etc/debian_version").exists():
        return problems
    problems += [f"{what}: {fields.get(what)!r}" for what in
                 ("compiler", "C++ compiler proper", "libgcc", "linker",
                  "headers and import libraries", "CMake")
                 if not re.fullmatch(r"\S+ \S*\d\S* \(/\S+\)", fields.get(what, ""))]
    return problems + ([] if fields.get("built on", "").startswith("Debian GNU/Linux ") else [
        f"built on: {fields.get('built on')!r}"])


def checksums(release, zip_name):
    listed = [line.split("  ", 1)[1] for line in
              (release / "SHA256SUMS").read_text(encoding="ascii").splitlines()]
    problems = [] if listed == [zip_name, "DUVAK.exe"] else [f"SHA256SUMS lists {listed}"]
    result = subprocess.run(["sha256sum", "-c", "SHA256SUMS"], cwd=release,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, check=False)
    if result.returncode != 0:
        problems.append(f"sha256sum -c: exit {result.returncode}: {result.stdout!r}")
    return problems


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--source", required=True, type=Path)
    parser.add_argument("--work", required=True, type=Path)
    parser.add_argument("--cmake", required=True)
    parser.add_argument("--version", required=True)
    args = parser.parse_args()
    source, work = args.source.resolve(), fresh_folder(args.work)
    zip_name = f"DUVAK-{args.version}-windows-x64.zip"

    report = Report()
    files = source_files(source)
    outputs = []
    for folder, zone, umask in BUILDS:
        tree = work / folder
        # Copied only now, so that the second tree's files are newer too.
        copy_tree(source, files, tree)
        report.run(f"release built in {tree} (TZ={zone}, umask {umask:03o})",
                   build, args.cmake, tree, zone, umask)
        outputs.append(tree / "build" / "release")
    if report.failed:
        report.finish()
    release = outputs[0]
    compared = ["DUVAK.exe", zip_name, "SHA256SUMS", "BUILDINFO.txt"]
    report.run(f"{', '.join(compared)} are the same bytes in both builds", same_bytes, outputs,
               compared)
    report.run("BUILDINFO.txt names the Debian release and each tool's package", build_record,
               release, args.version)
    report.run(f"{zip_name} holds {', '.join(ENTRIES)} as built", zip_contents,
               release, zip_name, args.version, source)
    report.run("SHA256SUMS lists the zip and the exe, and sha256sum -c passes", checksums,
               release, zip_name)
    if not report.failed:
        shutil.rmtree(work)
    report.finish()


if __name__ == "__main__":
    main()
