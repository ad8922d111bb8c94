"""Checks the built DUVAK.exe as a file: its PE headers, its imports, its
sections, the unwind data against the code (disassembled with the MinGW-w64
objdump), the stack protector's failure path, and the version record and
manifest in its resources, all read back from the bytes themselves.
Usage: pe_check.py --objdump OBJDUMP DUVAK.exe"""

import argparse
import bisect
import re
import struct
import subprocess
import sys
import xml.etree.ElementTree as ElementTree
from collections import namedtuple
from pathlib import Path

from wine_env import Report

DYNAMIC_BASE, HIGH_ENTROPY_VA, NX_COMPAT = 0x0040, 0x0020, 0x0100
IMPORT_DIRECTORY, RESOURCE_DIRECTORY, EXCEPTION_DIRECTORY, DELAY_IMPORT_DIRECTORY = 1, 2, 3, 13
BASE_RELOCATION_DIRECTORY, RELOCATION_DIR64 = 5, 10
TLS_DIRECTORY = 9
SCN_MEM_EXECUTE, SCN_MEM_READ, SCN_MEM_WRITE = 0x20000000, 0x40000000, 0x80000000
# Only the program's own variables may be writable. The import table and the
# resources are read-only too: the loader unprotects the import address table
# itself while it binds.
WRITABLE_SECTIONS = {".data", ".bss"}
RT_VERSION, RT_MANIFEST = 16, 24
FIXED_FILE_INFO_SIGNATURE = 0xFEEF04BD
SIZE_LIMIT = 16 * 1024  # the program is a few pages: growth past this is bloat, not a feature

Section = namedtuple("Section", "name address size raw_offset raw_size flags virtual_size")
Function = namedtuple("Function", "begin end prologue frame_register")
# target: where a direct call or jump goes; address: what a rip-relative
# operand names (both RVAs, or None).
Instruction = namedtuple("Instruction", "rva mnemonic operands target address")


class Image:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise ValueError("no MZ header")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        (self.machine, sections, _, _, _, optional_size,
         self.characteristics) = struct.unpack_from("<HHIIIHH", data, pe + 4)
        optional = pe + 24
        self.magic = struct.unpack_from("<H", data, optional)[0]
        if self.magic != 0x20B:
            raise ValueError(f"optional header magic {self.magic:#x} is not PE32+")
        self.entry_point = struct.unpack_from("<I", data, optional + 16)[0]
        self.image_base = struct.unpack_from("<Q", data, optional + 24)[0]
        self.subsystem, self.dll_characteristics = struct.unpack_from("<HH", data, optional + 68)
        count = struct.unpack_from("<I", data, optional + 108)[0]
        self.directories = [struct.unpack_from("<II", data, optional + 112 + 8 * i)
                            for i in range(count)]
        self.sections = []
        table = optional + optional_size
        for i in range(sections):
            name, virtual_size, address, raw_size, raw_offset = struct.unpack_from(
                "<8sIIII", data, table + 40 * i)
            flags = struct.unpack_from("<I", data, table + 40 * i + 36)[0]
            self.sections.append(Section(name.rstrip(b"\0").decode("ascii"), address,
                                         max(virtual_size, raw_size), raw_offset, raw_size,
                                         flags, virtual_size))

    def offset(self, rva):
        for section in self.sections:
            if section.address <= rva < section.address + section.size:
                if rva - section.address >= section.raw_size:
                    raise ValueError(f"RVA {rva:#x} lies past its section's file data")
                return section.raw_offset + rva - section.address
        raise ValueError(f"RVA {rva:#x} is in no section")

    def directory(self, index):
        return self.directories[index] if index < len(self.directories) else (0, 0)

    def c_string(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("ascii")

    def imports(self):
        """{DLL name: [function names]} from the import descriptors."""
        rva, size = self.directory(IMPORT_DIRECTORY)
        found = {}
        position = self.offset(rva)
        while True:
            lookup, _, _, name, thunks = struct.unpack_from("<IIIII", self.data, position)
            if (lookup, name, thunks) == (0, 0, 0):
                return found
            names = []
            entry = self.offset(lookup or thunks)
            while (value := struct.unpack_from("<Q", self.data, entry)[0]) != 0:
                names.append(f"#{value & 0xFFFF}" if value >> 63 else
                             self.c_string((value & 0x7FFFFFFF) + 2))
                entry += 8
            found[self.c_string(name)] = names
            position += 20

    def runtime_functions(self):
        """The exception directory's entries, sorted: (begin, end) RVAs, the
        prologue's size and the frame register (0 for none) from each one's
        unwind info."""
        rva, size = self.directory(EXCEPTION_DIRECTORY)
        if size == 0:
            return []
        start = self.offset(rva)
        entries = []
        for i in range(size // 12):
            begin, end, unwind = struct.unpack_from("<III", self.data, start + 12 * i)
            _, prologue, _, frame = struct.unpack_from("<BBBB", self.data, self.offset(unwind))
            entries.append(Function(begin, end, prologue, frame & 0x0F))
        return sorted(entries)

    def absolute_pointers(self):
        """The RVAs that the image's 64-bit absolute addresses point to: every
        such address, in code or data, has a base relocation under ASLR."""
        rva, size = self.directory(BASE_RELOCATION_DIRECTORY)
        pointers = []
        position, end = (self.offset(rva), self.offset(rva) + size) if size else (0, 0)
        while position < end:
            page, block = struct.unpack_from("<II", self.data, position)
            for i in range(8, block, 2):
                entry = struct.unpack_from("<H", self.data, position + i)[0]
                if entry >> 12 == RELOCATION_DIR64:
                    where = self.offset(page + (entry & 0xFFF))
                    pointers.append(struct.unpack_from("<Q", self.data, where)[0]
                                    - self.image_base)
            position += block
        return pointers

    def resource(self, path):
        """The bytes of the resource found by following ids, then the first
        entry at each level left (the language)."""
        base_rva, size = self.directory(RESOURCE_DIRECTORY)
        if size == 0:
            raise ValueError("no resource directory")
        base = self.offset(base_rva)
        table = base
        for level in range(3):
            named, ids = struct.unpack_from("<HH", self.data, table + 12)
            entries = [struct.unpack_from("<II", self.data, table + 16 + 8 * i)
                       for i in range(named + ids)]
            if level < len(path):
                matches = [target for key, target in entries if key == path[level]]
            else:
                matches = [target for _, target in entries]
            if not matches:
                raise ValueError(f"no resource entry {path[level:]} at level {level}")
            target = matches[0]
            if level < 2:
                if not target & 0x80000000:
                    raise ValueError(f"resource level {level} ends early")
                table = base + (target & 0x7FFFFFFF)
        data_rva, size = struct.unpack_from("<II", self.data, base + target)
        start = self.offset(data_rva)
        return self.data[start:start + size]


def version_block(data, position):
    """One VS_VERSIONINFO-style block: (key, value, children, end)."""
    length, value_length, kind = struct.unpack_from("<HHH", data, position)
    end = position + length
    key_start = position + 6
    key_end = key_start
    while data[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    key = data[key_start:key_end].decode("utf-16-le")
    value_start = (key_end + 2 + 3) & ~3
    value_bytes = value_length * 2 if kind == 1 else value_length
    value = data[value_start:value_start + value_bytes]
    if kind == 1:
        value = value.decode("utf-16-le").rstrip("\0")
    children = []
    child = (value_start + value_bytes + 3) & ~3
    while child < end:
        block = version_block(data, child)
        children.append(block)
        child = (block[3] + 3) & ~3
    return key, value, children, end


def version_problems(record):
    key, fixed, children, _ = version_block(record, 0)
    problems = [] if key == "VS_VERSION_INFO" else [f"root key {key!r}"]
    if len(fixed) != 52:
        return problems + [f"fixed file info is {len(fixed)} bytes, not 52"]
    (signature, _, file_ms, file_ls, product_ms, product_ls, mask, flags, os, kind,
     _, _, _) = struct.unpack("<13I", fixed)
    expected = {"signature": (signature, FIXED_FILE_INFO_SIGNATURE),
                "file version": ((file_ms, file_ls), (0x00010002, 0)),
                "product version": ((product_ms, product_ls), (0x00010002, 0)),
                "flags mask": (mask, 0x3F), "flags": (flags, 0),
                "file OS": (os, 0x00040004), "file type": (kind, 1)}
    for name, (got, want) in expected.items():
        if got != want:
            problems.append(f"{name}: expected {want!r}, got {got!r}")
    blocks = {block[0]: block for block in children}
    tables = {table[0]: table for table in blocks.get("StringFileInfo", ("", "", []))[2]}
    if "000004b0" not in tables:
        problems.append(f"string tables {sorted(tables)}, no 000004b0")
    else:
        strings = {entry[0]: entry[1] for entry in tables["000004b0"][2]}
        print(f"    strings: {strings}")
        for name, want in {"FileVersion": "1.2", "ProductVersion": "1.2",
                           "InternalName": "DUVAK", "OriginalFilename": "DUVAK.exe"}.items():
            if strings.get(name) != want:
                problems.append(f"{name}: expected {want!r}, got {strings.get(name)!r}")
    variables = {v[0]: v[1] for v in blocks.get("VarFileInfo", ("", "", []))[2]}
    translation = variables.get("Translation", b"")
    if len(translation) != 4 or struct.unpack("<HH", translation) != (0x0000, 0x04B0):
        problems.append(f"translation {translation!r}, expected 0x0000 0x04B0")
    return problems


# --- The code against its unwind data ---------------------------------------
# On x64 Windows the exception dispatcher unwinds every frame by its
# RUNTIME_FUNCTION entry, and code without one is taken for a leaf: return
# address at [rsp]. So anything that calls, pushes or moves rsp needs an entry,
# or the in-page filter could never be reached from a fault in the comparison.

STACK_MNEMONIC = re.compile(r"(call|push|pop|enter|leave)(f?[wlq])?")
STACK_REGISTERS = ("%rsp", "%esp", "%sp", "%spl")
READS_ONLY = re.compile(r"(cmp|test|bt)[bwlq]?")
LINE = re.compile(r"\s*([0-9a-f]+):\t(\S+)\s*(.*)")
DIRECT_TARGET = re.compile(r"0x([0-9a-f]+)\b")
NAMED_ADDRESS = re.compile(r"#\s*0x([0-9a-f]+)\b")
# ld ends .text with the constructor and destructor lists, each -1 ... 0. A
# freestanding program has no constructors, so both are empty: 32 bytes of
# data, not code.
EMPTY_CONSTRUCTOR_LISTS = (b"\xff" * 8 + b"\0" * 8) * 2


def disassemble(objdump, path, image):
    """The instructions of every executable section, by RVA, as objdump
    decodes them (AT&T syntax, no raw bytes)."""
    done = subprocess.run([objdump, "-d", "-w", "--no-show-raw-insn", str(path)],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, check=False)
    if done.returncode != 0:
        raise RuntimeError(f"{objdump} -d failed: {done.stderr.decode(errors='replace')}")
    code_end = {}
    for section in image.sections:
        if section.flags & SCN_MEM_EXECUTE:
            end = section.address + section.virtual_size
            tail = image.data[image.offset(end - 32):image.offset(end - 32) + 32]
            code_end[section.name] = end - 32 if tail == EMPTY_CONSTRUCTOR_LISTS else end
    instructions = []
    for line in done.stdout.decode().splitlines():
        match = LINE.fullmatch(line.rstrip())
        if match is None:
            continue
        rva = int(match[1], 16) - image.image_base
        if any(section.address <= rva < code_end.get(section.name, 0)
               for section in image.sections):
            operands, _, comment = match[3].partition("  #")
            operands = operands.strip()
            target = (DIRECT_TARGET.match(operands)
                      if match[2].startswith(("call", "j")) else None)
            named = NAMED_ADDRESS.match("#" + comment) if "(%rip)" in operands else None
            instructions.append(Instruction(
                rva, match[2], operands,
                int(target[1], 16) - image.image_base if target else None,
                int(named[1], 16) - image.image_base if named else None))
    return instructions


def moves_stack(instruction):
    if STACK_MNEMONIC.fullmatch(instruction.mnemonic):
        return True
    destination = instruction.operands.rsplit(",", 1)[-1]
    return (destination in STACK_REGISTERS
            and not READS_ONLY.fullmatch(instruction.mnemonic))


def direct_calls(instructions):
    """{target RVA: [the calls to it]}"""
    calls = {}
    for ins in instructions:
        if ins.mnemonic.startswith("call") and ins.target is not None:
            calls.setdefault(ins.target, []).append(ins)
    return calls


class Coverage:
    def __init__(self, ranges):
        self.ranges = ranges
        self.begins = [function.begin for function in ranges]

    def function(self, rva):
        """The function entry holding `rva`, or None."""
        index = bisect.bisect_right(self.begins, rva) - 1
        if index >= 0 and rva < self.ranges[index].end:
            return self.ranges[index]
        return None


def routine_at(instructions, start):
    """The straight run of instructions from `start` to its first ret."""
    index = next((i for i, ins in enumerate(instructions) if ins.rva == start), None)
    if index is None:
        return []
    routine = []
    for instruction in instructions[index:]:
        routine.append(instruction)
        if instruction.mnemonic.startswith("ret"):
            return routine
    return []


PROBE_WORK = re.compile(r"(cmp|lea|sub|or|and|mov)[bwlq]?")
PROBE_JUMP = re.compile(r"j[a-z]+")


def stack_probe_problems(routine):
    """Whether `routine` is exactly libgcc's stack probe, ___chkstk_ms: it
    saves rcx and rax, touches one word in each page of the allocation that
    rax asks for (or $0,(%rcx)), restores both and returns. It needs no unwind
    entry: it never reads the mapped files, so the in-page filter has nothing
    to catch in it, and the only fault it can raise is a stack overflow on
    those touches, which ends the process with or without an entry (the filter
    passes on all but in-page errors). Anything else in it, a call, another
    write, a jump out, and it is no longer that probe."""
    if not routine:
        return ["no routine ending in ret"]
    shape = [(ins.mnemonic, ins.operands) for ins in routine]
    if shape[:2] != [("push", "%rcx"), ("push", "%rax")] or \
            shape[-3:] != [("pop", "%rax"), ("pop", "%rcx"), ("ret", "")]:
        return [f"not the probe's saves and restores: {shape[:2]} ... {shape[-3:]}"]
    first, last = routine[0].rva, routine[-1].rva
    problems = []
    for ins in routine[2:-3]:
        destination = ins.operands.rsplit(",", 1)[-1]
        if PROBE_JUMP.fullmatch(ins.mnemonic):
            if ins.target is None or not first <= ins.target <= last:
                problems.append(f"{ins.rva:#x}: {ins.mnemonic} {ins.operands} leaves the probe")
        elif not PROBE_WORK.fullmatch(ins.mnemonic):
            problems.append(f"{ins.rva:#x}: {ins.mnemonic} {ins.operands} is not probe work")
        elif destination not in ("%rax", "%rcx", "%eax", "%ecx") and \
                (ins.mnemonic, ins.operands) != ("orq", "$0x0,(%rcx)"):
            problems.append(f"{ins.rva:#x}: {ins.mnemonic} {ins.operands} writes elsewhere")
    return problems


def unwind_problems(image, instructions):
    coverage = Coverage(image.runtime_functions())
    moving = [ins for ins in instructions if moves_stack(ins)]
    if not coverage.ranges or not moving:
        return [f"{len(coverage.ranges)} unwind entries, {len(moving)} stack instructions: "
                "nothing to check is a broken check"]
    uncovered = [ins for ins in moving if coverage.function(ins.rva) is None]
    calls = direct_calls(instructions)
    problems = []
    # Uncovered stack instructions are allowed only inside a stack probe, and
    # only if each call of that probe comes from a function with unwind data
    # that, next, moves rsp by rax: the allocation just probed.
    probes = set()
    for ins in uncovered:
        start = max((target for target in calls if target <= ins.rva
                     and coverage.function(target) is None), default=None)
        routine = routine_at(instructions, start) if start is not None else []
        if not routine or ins.rva > routine[-1].rva:
            problems.append(f"{ins.rva:#x}: {ins.mnemonic} {ins.operands} has no unwind entry")
            continue
        if start in probes:
            continue
        probes.add(start)
        found = stack_probe_problems(routine)
        if found:
            problems.append(f"{ins.rva:#x}: {ins.mnemonic} {ins.operands} has no unwind entry, "
                            f"and the routine at {start:#x} is no stack probe:")
            problems += [f"    {problem}" for problem in found]
            continue
        for call in calls[start]:
            if coverage.function(call.rva) is None:
                problems.append(f"{call.rva:#x}: probe called from code without unwind data")
                continue
            after = instructions[instructions.index(call) + 1:]
            following = next((i for i in after if moves_stack(i)), None)
            if following is None or (following.mnemonic, following.operands) != \
                    ("sub", "%rax,%rsp"):
                problems.append(f"{call.rva:#x}: the probe's caller does not allocate next: "
                                + (f"{following.mnemonic} {following.operands} at "
                                   f"{following.rva:#x}" if following else "nothing"))
    # After the prologue, the unwinder can undo an allocation of unknown size
    # only through a frame register.
    for ins in moving:
        function = coverage.function(ins.rva)
        if (function is not None and ins.rva >= function.begin + function.prologue
                and ins.mnemonic.startswith(("sub", "and")) and function.frame_register == 0):
            problems.append(f"{ins.rva:#x}: {ins.mnemonic} {ins.operands} after the prologue "
                            f"of the function at {function.begin:#x}, which has no frame "
                            "register")
    print(f"    {len(moving)} stack instructions, {len(coverage.ranges)} unwind entries, "
          f"{len(uncovered)} stack instructions without one")
    for probe in sorted(probes):
        inside = [call for call in calls[probe] if (function := coverage.function(call.rva))
                  and call.rva < function.begin + function.prologue]
        print(f"    the routine at {probe:#x} taken for the stack probe is called "
              f"{len(calls[probe])} times, {len(inside)} of them in a prologue")
    return problems


def reach_problems(image, instructions):
    """Code that nothing reaches is dead weight that --gc-sections keeps when
    an unwind entry refers to it. Every function with an entry must be
    reached from the entry point, through direct calls and jumps from other
    reached functions, or through an address taken: a rip-relative lea or mov
    in a reached function (the exception filter handed to the system), or an
    absolute pointer anywhere in the image (which ASLR gives a relocation)."""
    functions = image.runtime_functions()
    coverage = Coverage(functions)
    begins = {function.begin for function in functions}
    if not functions or not instructions:
        return [f"{len(functions)} unwind entries, {len(instructions)} instructions: "
                "nothing to check is a broken check"]
    calls, addresses = {}, {}  # {function: the function begins it calls or names}
    for ins in instructions:
        source = coverage.function(ins.rva)
        for found, kind in ((ins.target, calls), (ins.address, addresses)):
            if found in begins and (source is None or found != source.begin):
                kind.setdefault(source, set()).add(found)
    pointers = begins.intersection(image.absolute_pointers())
    reached = {image.entry_point} | pointers
    by_address = set(pointers)
    work = list(reached)
    while work:
        function = coverage.function(work.pop())
        for kind in (calls, addresses):
            for begin in kind.get(function, ()):
                if kind is addresses:
                    by_address.add(begin)
                if begin not in reached:
                    reached.add(begin)
                    work.append(begin)
    unreached = sorted(begins - reached)
    print(f"    {len(functions)} functions with unwind entries: {len(reached & begins)} reached "
          f"from the entry point at {image.entry_point:#x}, {len(by_address & begins)} of them "
          f"with their address taken ({len(pointers)} as absolute pointers), "
          f"{len(unreached)} unreached")
    problems = []
    if image.entry_point not in begins:
        problems.append(f"the entry point {image.entry_point:#x} has no unwind entry")
    for begin in unreached:
        function = coverage.function(begin)
        problems.append(f"{begin:#x}..{function.end:#x}: no call, jump or taken address from "
                        "reached code leads here")
    return problems


def stack_guard_problems(image, instructions):
    """The stack protector's failure routine is there and called: int 0x29
    with FAST_FAIL_STACK_COOKIE_CHECK_FAILURE (2) in ecx. A build without
    -fstack-protector-strong still holds the routine (its unwind entry keeps
    it from --gc-sections) but never calls it."""
    callers = direct_calls(instructions)
    coverage = Coverage(image.runtime_functions())
    problems = []
    found = False
    for index, ins in enumerate(instructions):
        if (ins.mnemonic, ins.operands) != ("int", "$0x29"):
            continue
        found = True
        before = instructions[index - 1] if index else None
        if before is None or (before.mnemonic, before.operands) != ("mov", "$0x2,%ecx"):
            problems.append(f"{ins.rva:#x}: int $0x29 without the stack cookie code in ecx")
        # The routine is its unwind entry, or without one, the two instructions.
        function = coverage.function(ins.rva)
        start = function.begin if function else (before or ins).rva
        calls = callers.get(start, [])
        functions = {coverage.function(call.rva) for call in calls} - {None}
        print(f"    fast-fail routine at {start:#x}: {len(calls)} calls from "
              f"{len(functions)} functions with unwind entries")
        if not calls:
            problems.append(f"the fast fail at {ins.rva:#x} is reached by no call")
    if not found:
        problems.append("no int $0x29 in the code: the stack protector's failure path is gone")
    return problems


def access(section):
    return "".join(letter if section.flags & bit else "-" for letter, bit in
                   (("r", SCN_MEM_READ), ("w", SCN_MEM_WRITE), ("x", SCN_MEM_EXECUTE)))


def section_problems(image):
    problems = []
    for section in image.sections:
        if section.flags & SCN_MEM_WRITE and section.flags & SCN_MEM_EXECUTE:
            problems.append(f"{section.name} is writable and executable ({section.flags:#010x})")
        elif section.flags & SCN_MEM_WRITE and section.name not in WRITABLE_SECTIONS:
            problems.append(f"{section.name} is writable ({section.flags:#010x}); only "
                            f"{' and '.join(sorted(WRITABLE_SECTIONS))} may be")
    return problems


MANIFEST_NEEDS = [
    ("{urn:schemas-microsoft-com:asm.v3}requestedExecutionLevel", "level", "asInvoker"),
    ("{urn:schemas-microsoft-com:compatibility.v1}supportedOS", "Id",
     "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"),
    ("{http://schemas.microsoft.com/SMI/2016/WindowsSettings}longPathAware", None, "true"),
]


def manifest_problems(manifest):
    """The manifest's settings, each with the namespace Windows reads it in:
    one in the wrong namespace is ignored as if it were missing."""
    root = ElementTree.fromstring(manifest)
    problems = []
    for tag, attribute, want in MANIFEST_NEEDS:
        values = [(element.get(attribute) if attribute else (element.text or "").strip())
                  for element in root.iter(tag)]
        if want not in values:
            problems.append(f"no {tag.split('}')[1]} {want!r} (found {values})")
    return problems


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--objdump", required=True,
                        help="the MinGW-w64 objdump (binutils-mingw-w64-x86-64)")
    parser.add_argument("exe", type=Path)
    args = parser.parse_args()
    path = args.exe
    if not path.is_file():
        print(f"FAIL: {path} is missing: the windows build did not run")
        sys.exit(1)
    data = path.read_bytes()
    print(f"{path.name}: {len(data)} bytes")
    image = Image(data)
    report = Report()

    report.check(f"file size {len(data)} bytes, at most {SIZE_LIMIT}",
                 [f"{len(data)} bytes is over {SIZE_LIMIT}"] if len(data) > SIZE_LIMIT else [])
    report.check("PE32+ console program for x86-64", [
        *([f"machine {image.machine:#x}"] if image.machine != 0x8664 else []),
        *([f"subsystem {image.subsystem}"] if image.subsystem != 3 else []),
        *(["no entry point"] if image.entry_point == 0 else [])])
    missing = [name for bit, name in ((DYNAMIC_BASE, "DYNAMIC_BASE"),
                                      (HIGH_ENTROPY_VA, "HIGH_ENTROPY_VA"),
                                      (NX_COMPAT, "NX_COMPAT"))
               if not image.dll_characteristics & bit]
    report.check("DllCharacteristics has DYNAMIC_BASE, HIGH_ENTROPY_VA, NX_COMPAT",
                 [f"missing {missing} in {image.dll_characteristics:#06x}"] if missing else [])

    imports = image.imports()
    for dll, names in imports.items():
        print(f"    {dll}: {', '.join(names)}")
    allowed = {"KERNEL32.DLL", "USER32.DLL"}
    report.check("imports only from KERNEL32.dll and USER32.dll",
                 [f"imports from {sorted(imports)}"]
                 if not imports or not {dll.upper() for dll in imports} <= allowed else [])
    report.check("no delay-loaded imports",
                 ["a delay import directory exists"]
                 if image.directory(DELAY_IMPORT_DIRECTORY)[1] else [])
    # TLS callbacks would run before the entry point, which is all the
    # start-up code this program has.
    tls = image.directory(TLS_DIRECTORY)
    report.check("no TLS directory", [f"TLS directory at {tls[0]:#x}, {tls[1]} bytes"]
                 if tls != (0, 0) else [])

    names = [section.name for section in image.sections]
    print(f"    sections: {', '.join(f'{s.name} {access(s)}' for s in image.sections)}")
    report.check(f"no section writable but {' and '.join(sorted(WRITABLE_SECTIONS))}, "
                 "none writable and executable", section_problems(image))
    report.check(".pdata section with the exception directory", [
        *([f"no .pdata among {names}"] if ".pdata" not in names else []),
        *(["empty exception directory"] if image.directory(EXCEPTION_DIRECTORY)[1] == 0
          else [])])
    try:
        instructions = disassemble(args.objdump, path, image)
    except (OSError, RuntimeError) as error:
        instructions = []
        print(f"    cannot disassemble: {error}")
    report.run("every call, push and rsp move has unwind data",
               unwind_problems, image, instructions)
    report.run("every function with unwind data is reached from the entry point",
               reach_problems, image, instructions)
    report.run("stack protector fails fast with int 0x29",
               stack_guard_problems, image, instructions)

    report.run("version record", lambda: version_problems(image.resource([RT_VERSION, 1])))
    report.run("manifest: asInvoker, Windows 10/11, longPathAware",
               lambda: manifest_problems(image.resource([RT_MANIFEST, 1])))
    report.finish()


if __name__ == "__main__":
    main()
