"""Checks the built DUVAK.exe as a file: its PE headers, its imports and the
version record in its resources, all read back from the bytes themselves.
Usage: pe_check.py DUVAK.exe"""

import struct
import sys
from pathlib import Path

from wine_env import Report

DYNAMIC_BASE, HIGH_ENTROPY_VA, NX_COMPAT = 0x0040, 0x0020, 0x0100
IMPORT_DIRECTORY, RESOURCE_DIRECTORY, EXCEPTION_DIRECTORY, DELAY_IMPORT_DIRECTORY = 1, 2, 3, 13
RT_VERSION = 16
FIXED_FILE_INFO_SIGNATURE = 0xFEEF04BD


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
        self.subsystem, self.dll_characteristics = struct.unpack_from("<HH", data, optional + 68)
        count = struct.unpack_from("<I", data, optional + 108)[0]
        self.directories = [struct.unpack_from("<II", data, optional + 112 + 8 * i)
                            for i in range(count)]
        self.sections = []
        table = optional + optional_size
        for i in range(sections):
            name, virtual_size, address, raw_size, raw_offset = struct.unpack_from(
                "<8sIIII", data, table + 40 * i)
            self.sections.append((name.rstrip(b"\0").decode("ascii"), address,
                                  max(virtual_size, raw_size), raw_offset, raw_size))

    def offset(self, rva):
        for _, address, size, raw_offset, raw_size in self.sections:
            if address <= rva < address + size:
                if rva - address >= raw_size:
                    raise ValueError(f"RVA {rva:#x} lies past its section's file data")
                return raw_offset + rva - address
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

    def resource(self, path):
        """The bytes of the resource found by following ids, then the first
        entry at each level left (the language)."""
        base_rva, _ = self.directory(RESOURCE_DIRECTORY)
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


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    path = Path(sys.argv[1])
    if not path.is_file():
        print(f"FAIL: {path} is missing: the windows build did not run")
        sys.exit(1)
    data = path.read_bytes()
    print(f"{path.name}: {len(data)} bytes")
    image = Image(data)
    report = Report()

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

    names = [section[0] for section in image.sections]
    print(f"    sections: {' '.join(names)}")
    report.check(".pdata section with the exception directory", [
        *([f"no .pdata among {names}"] if ".pdata" not in names else []),
        *(["empty exception directory"] if image.directory(EXCEPTION_DIRECTORY)[1] == 0
          else [])])

    report.run("version record", lambda: version_problems(image.resource([RT_VERSION, 1])))
    report.finish()


if __name__ == "__main__":
    main()
