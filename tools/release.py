"""Packs the release beside the built DUVAK.exe: README.txt (the user's part
of README.md as plain text), LICENSE.txt, the zip of the three, SHA256SUMS
over the zip and the exe, and BUILDINFO.txt, the record of what built them.
Run by the release target of the Windows build (cmake/release.cmake), in the
build folder.

The zip carries a published package's name (releases/NAME/SHA256SUMS) only
where its bytes and the exe's are that package's; any other build is named
DUVAK-VERSION-unreleased[-COMMIT][-modified]-windows-x64.zip, so that no one
takes it for a release.

Everything written depends only on the bytes of its inputs, never on the
clock, the folder, the user or the umask, so that a rebuild from the same
sources gives the same bytes.

The build record names the machine's Debian release, the source commit and
the package of each tool that made the bytes, so it differs between
machines where the release does not; it is not in SHA256SUMS.

Usage: release.py --readme README.md --license LICENSE --exe DUVAK.exe
                  --out FOLDER --version VERSION --compiler X86_64-W64-MINGW32-G++
                  --rc-compiler WINDRES --rc-preprocessor GCC --cmake CMAKE --source DIR"""

import argparse
import contextlib
import hashlib
import io
import os
import re
import shutil
import subprocess
import sys
import zipfile
from pathlib import Path

# The user's part of README.md: every block between these two lines, in order.
GUIDE_BEGIN = "<!-- user guide -->"
GUIDE_END = "<!-- end of user guide -->"

# One fixed time for every entry: the zip format's earliest, which claims
# nothing about when the release was made.
ENTRY_TIME = (1980, 1, 1, 0, 0, 0)
FILE_ATTRIBUTE_ARCHIVE = 0x20


def user_guide(markdown):
    """The marked blocks of README.md as lines, separated by a blank line."""
    lines, inside, blocks = markdown.splitlines(), False, []
    for number, line in enumerate(lines, 1):
        if line.strip() == GUIDE_BEGIN and not inside:
            inside, block = True, []
        elif line.strip() == GUIDE_END and inside:
            inside = False
            blocks.append(block)
        elif line.strip() in (GUIDE_BEGIN, GUIDE_END):
            sys.exit(f"release.py: README.md line {number}: unbalanced {line.strip()}")
        elif inside:
            block.append(line)
    if inside or not blocks:
        sys.exit(f"release.py: README.md needs blocks between {GUIDE_BEGIN} and {GUIDE_END}")
    joined = []
    for block in blocks:
        joined += ([""] if joined else []) + block
    return joined


CODE_SPAN = re.compile(r"`([^`]*)`")


def quoted_span(match):
    """A code span without its backticks. One that holds a space, such as a
    message, goes in single quotes, so that plain text still shows where it
    ends; a single word (DUVAK.exe, /Q) or a quoted name reads well bare."""
    span = match[1]
    return f"'{span}'" if " " in span and not span.startswith('"') else span


def plain_text(lines):
    """Markdown made readable as plain text: code blocks indented without their
    fences, headings underlined, code spans without backticks, no bold marks.
    Tables stay as they are; their pipes read well enough."""
    text, in_code = [], False
    for line in lines:
        if line.startswith("```"):
            in_code = not in_code
        elif in_code:
            text.append("    " + line if line else "")
        elif heading := re.match(r"(#+)\s+(.*)", line):
            title = heading[2]
            text += [title, ("=" if len(heading[1]) <= 2 else "-") * len(title)]
        else:
            text.append(CODE_SPAN.sub(quoted_span, line).replace("**", ""))
    # Blank lines at the ends and runs of them between blocks add nothing.
    squeezed = []
    for line in text:
        if line.strip() or (squeezed and squeezed[-1]):
            squeezed.append(line.rstrip())
    while squeezed and not squeezed[-1]:
        squeezed.pop()
    return squeezed


def crlf(lines):
    """Windows line ends, which every Windows editor shows well."""
    return "".join(line + "\r\n" for line in lines).encode("utf-8")


def readme_txt(markdown):
    """README.txt's bytes, made from the text of README.md."""
    return crlf(plain_text(user_guide(markdown)))


def zip_entry(name):
    """An entry with nothing of the build machine: fixed time, MS-DOS as the
    maker with the plain file attribute (archive) as Windows gives a new file,
    so no Unix mode, owner or group, and no extra fields. Stored, not
    deflated: the bytes then depend on the contents alone, not on the
    compressor's version, and the three files are a few tens of KiB."""
    entry = zipfile.ZipInfo(name, date_time=ENTRY_TIME)
    entry.create_system = 0
    entry.external_attr = FILE_ATTRIBUTE_ARCHIVE
    entry.compress_type = zipfile.ZIP_STORED
    return entry


def write_atomically(path, write):
    """Writes through a temporary name, so that an interrupted run leaves no
    half-written file that looks current to the build."""
    temporary = path.with_name(path.name + ".part")
    with open(temporary, "wb") as file:
        write(file)
    os.replace(temporary, path)


def command_output(argv):
    """What a command prints, stripped, or None where it cannot run or fails."""
    try:
        done = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                              check=False)
    except OSError:
        return None
    return done.stdout.strip() if done.returncode == 0 else None


def debian_package(path):
    """The Debian package that installed the file, with its exact version.
    Debian's alternatives link the tools' plain names to the versioned files
    that dpkg unpacked, so the link is followed first."""
    real = os.path.realpath(path)
    owner = command_output(["dpkg-query", "-S", real])
    if not owner:
        return f"not from a Debian package ({real})"
    package = owner.splitlines()[0].split(":")[0].split(",")[0]
    version = command_output(["dpkg-query", "-W", "-f", "${Version}", package])
    return f"{package} {version} ({real})"


def debian_release():
    fields = {}
    with contextlib.suppress(OSError):
        for line in Path("/etc/os-release").read_text(encoding="utf-8").splitlines():
            key, _, value = line.partition("=")
            fields[key] = value.strip('"')
    with contextlib.suppress(OSError):
        point = Path("/etc/debian_version").read_text(encoding="ascii").strip()
        return f"{fields.get('PRETTY_NAME', 'Debian')}, /etc/debian_version {point}"
    return f"not Debian: {fields.get('PRETTY_NAME', 'unknown')}"


def trusted_git(source):
    """git on a checkout that root may run in though it is another user's,
    which git refuses as of dubious ownership: trusted for this command
    alone, the user's settings untouched, and without the index lock, so
    that none of the user's files changes owner."""
    return ["git", "-c", f"safe.directory={source}", "--no-optional-locks", "-C", str(source)]


def source_commit(source):
    """The checkout's commit and whether it has uncommitted changes, or
    (None, None) where the source is not a git checkout. A status that git
    cannot give counts as changed: no build may claim a clean tree unseen."""
    source = source.resolve()
    git = trusted_git(source)
    if command_output(git + ["rev-parse", "--show-toplevel"]) != str(source):
        return None, None
    changed = command_output(git + ["status", "--porcelain", "--untracked-files=no"])
    return command_output(git + ["rev-parse", "HEAD"]), changed is None or bool(changed)


SUMS_LINE = re.compile(r"([0-9a-fA-F]{64}) [ *](.+)")


def read_sums(path):
    """A SHA256SUMS file as {file name: checksum in lower case}, in its
    order: text (two spaces) or binary (' *') lines, blank lines passed over."""
    sums = {}
    for number, line in enumerate(path.read_text("ascii").splitlines(), 1):
        if line.strip():
            if not (match := SUMS_LINE.fullmatch(line)):
                raise ValueError(f"{path}, line {number}: not a checksum line: {line!r}")
            sums[match[2]] = match[1].lower()
    return sums


def published(releases):
    """Each published package's SHA256SUMS, as read_sums gives it."""
    return [read_sums(sums) for sums in sorted(releases.glob("*/SHA256SUMS"))]


def package_name(version, exe_sum, zip_sum, releases, commit, changed):
    """The published package's zip name where both checksums are that
    package's, else one that says the build is no release."""
    for sums in published(releases):
        zips = {name: value for name, value in sums.items() if name != "DUVAK.exe"}
        if sums.get("DUVAK.exe") == exe_sum and list(zips.values()) == [zip_sum]:
            return next(iter(zips))
    suffix = (f"-{commit[:7]}" if commit else "") + ("-modified" if changed else "")
    return f"DUVAK-{version}-unreleased{suffix}-windows-x64.zip"


def tool_files(compiler, rc_compiler, rc_preprocessor, cmake, python):
    """Each tool whose output reaches the release's bytes, by the file the
    build ran: the compiler driver, its C++ compiler proper, libgcc (whose
    stack probe is linked in), the linker, the import libraries (with the
    headers, one package), windres, the C preprocessor it runs over the
    resource scripts and that one's compiler proper, CMake, and the Python
    that rewrites the section flags and writes the zip."""
    asked = lambda driver, option: command_output([driver, option])
    return [("compiler", compiler), ("C++ compiler proper", asked(compiler, "-print-prog-name=cc1plus")),
            ("libgcc", asked(compiler, "-print-libgcc-file-name")),
            ("linker", asked(compiler, "-print-prog-name=ld")),
            ("headers and import libraries", asked(compiler, "-print-file-name=libkernel32.a")),
            ("resource compiler", rc_compiler), ("resource preprocessor", rc_preprocessor),
            ("resource preprocessor proper", asked(rc_preprocessor, "-print-prog-name=cc1")),
            ("CMake", cmake), ("Python", python)]


def tool_lines(*tools):
    return [f"{what}: {debian_package(path) if path else 'not found'}"
            for what, path in tool_files(*tools)]


def build_record(args, commit, changed):
    found = lambda program: shutil.which(program) or program
    described = f"{commit}{' with uncommitted changes' if changed else ''}" if commit else (
        "not a git checkout")
    lines = [f"DUVAK {args.version} release build record",
             f"built on: {debian_release()}", f"source commit: {described}"]
    lines += tool_lines(found(args.compiler), found(args.rc_compiler),
                        found(args.rc_preprocessor), found(args.cmake), sys.executable)
    return "".join(line + "\n" for line in lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--readme", required=True, type=Path)
    parser.add_argument("--license", required=True, type=Path)
    parser.add_argument("--exe", required=True, type=Path)
    parser.add_argument("--out", required=True, type=Path)
    parser.add_argument("--version", required=True, help="the release's version")
    parser.add_argument("--compiler", required=True, help="the C++ cross compiler")
    parser.add_argument("--rc-compiler", required=True, help="the resource compiler")
    parser.add_argument("--rc-preprocessor", required=True, help="the preprocessor it runs")
    parser.add_argument("--cmake", required=True, help="the cmake that runs the build")
    parser.add_argument("--source", required=True, type=Path, help="the source tree")
    args = parser.parse_args()
    if args.exe.resolve().parent != args.out.resolve():
        sys.exit("release.py: SHA256SUMS names the exe beside it, so --exe must be in --out")

    readme = readme_txt(args.readme.read_text(encoding="utf-8"))
    license_text = crlf(args.license.read_text(encoding="utf-8").splitlines())
    exe = args.exe.read_bytes()
    contents = [(args.exe.name, exe), ("README.txt", readme), ("LICENSE.txt", license_text)]

    for name, data in contents[1:]:
        write_atomically(args.out / name, lambda file, data=data: file.write(data))

    packed = io.BytesIO()
    with zipfile.ZipFile(packed, "w") as archive:
        for name, data in contents:
            archive.writestr(zip_entry(name), data)
    packed = packed.getvalue()
    exe_sum, zip_sum = hashlib.sha256(exe).hexdigest(), hashlib.sha256(packed).hexdigest()
    commit, changed = source_commit(args.source)
    zip_name = package_name(args.version, exe_sum, zip_sum, args.source / "releases", commit,
                            changed)
    # A zip of an earlier build, under another name, is not this build's.
    for old in args.out.glob("DUVAK-*-windows-x64.zip"):
        old.unlink()
    write_atomically(args.out / zip_name, lambda file: file.write(packed))

    # The format that `sha256sum -c` reads; the exe is the one beside the zip.
    sums = f"{zip_sum}  {zip_name}\n{exe_sum}  {args.exe.name}\n"
    write_atomically(args.out / "SHA256SUMS", lambda file: file.write(sums.encode("ascii")))
    record = build_record(args, commit, changed)
    write_atomically(args.out / "BUILDINFO.txt", lambda file: file.write(record.encode("utf-8")))


if __name__ == "__main__":
    main()
