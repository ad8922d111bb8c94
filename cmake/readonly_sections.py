"""Post-link step of DUVAK.exe: clears the write flag of the named sections
in the PE section table and brings the header checksum up to date.

Why not the linker: the linker's PE writer sets the write flag on any output
section named .idata or .rsrc whatever the script asks for (READONLY is
ignored for those two names), renaming .rsrc loses the resource directory,
and moving the import table into .rdata would mean replacing the linker's
whole default script. Neither section needs to be writable: the resources
are only read, and the loader makes the import address table writable
itself while it binds the imports (the image's IAT directory names it).

The result depends on the input bytes alone, so the build stays
reproducible, and a second run changes nothing.
Usage: readonly_sections.py IMAGE SECTION..."""

import struct
import sys

SCN_MEM_WRITE = 0x80000000


def checksum(data, field):
    """The PE image checksum: 16-bit one's-complement-style sum of the file,
    the checksum field itself taken as zero, plus the file's length."""
    padded = data + b"\0" * (len(data) % 2)
    total = 0
    for (word,) in struct.iter_unpack("<H", padded):
        total += word
    total -= sum(struct.unpack_from("<HH", data, field))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return total + len(data)


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    path, wanted = sys.argv[1], set(sys.argv[2:])
    with open(path, "rb") as image:
        data = bytearray(image.read())
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[:2] != b"MZ" or data[pe:pe + 4] != b"PE\0\0":
        sys.exit(f"{path}: not a PE image")
    sections, _, _, _, optional_size = struct.unpack_from("<HIIIH", data, pe + 6)
    table = pe + 24 + optional_size
    found = set()
    for i in range(sections):
        header = table + 40 * i
        name = bytes(data[header:header + 8]).rstrip(b"\0").decode("ascii")
        if name in wanted:
            flags = struct.unpack_from("<I", data, header + 36)[0]
            struct.pack_into("<I", data, header + 36, flags & ~SCN_MEM_WRITE)
            found.add(name)
    if found != wanted:
        sys.exit(f"{path}: no section {', '.join(sorted(wanted - found))}")
    field = pe + 24 + 64
    struct.pack_into("<I", data, field, checksum(bytes(data), field))
    with open(path, "wb") as image:
        image.write(data)


if __name__ == "__main__":
    main()
