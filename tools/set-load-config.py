#!/usr/bin/env python3
"""Points the PE load-configuration directory (data directory 10) at the structure the
program defines, after linking and before signing, and keeps the header checksum right.

GNU ld puts the structure into .rdata but leaves the directory empty. The symbol's address
comes from the link map; the structure's own Size field gives the directory's size.

Usage: set-load-config.py <executable> <link map> [symbol]
"""
import array
import os
import re
import struct
import sys

LOAD_CONFIG = 10
SECURITY = 4
# The smallest structure that reaches DependentLoadFlags (offset 78, two bytes).
MIN_SIZE = 80


def fail(message):
    # Without its load configuration the file must not stay behind as built: the next build links it again.
    if len(sys.argv) > 1 and os.path.isfile(sys.argv[1]):
        os.remove(sys.argv[1])
    sys.exit(f"set-load-config: {message}")


def symbol_address(map_path, symbol):
    pattern = re.compile(r"^\s+0x([0-9a-fA-F]+)\s+" + re.escape(symbol) + r"\s*$")
    found = set()
    with open(map_path, encoding="utf-8", errors="replace") as f:
        for line in f:
            m = pattern.match(line)
            if m:
                found.add(int(m.group(1), 16))
    if len(found) != 1:
        fail(f"{symbol} is {'missing from' if not found else 'ambiguous in'} {map_path}")
    return found.pop()


def pe_checksum(image, checksum_at):
    data = bytearray(image)
    data[checksum_at:checksum_at + 4] = b"\0\0\0\0"
    if len(data) % 2:
        data.append(0)
    words = array.array("H", bytes(data))
    if sys.byteorder != "little":
        words.byteswap()
    total = sum(words)
    # End-around carry: the same value as folding after every word.
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return (total + len(image)) & 0xFFFFFFFF


def main():
    if len(sys.argv) not in (3, 4):
        fail(__doc__.strip().splitlines()[-1])
    exe, map_path = sys.argv[1], sys.argv[2]
    symbol = sys.argv[3] if len(sys.argv) == 4 else "_load_config_used"
    with open(exe, "rb") as f:
        image = bytearray(f.read())

    def u16(at): return struct.unpack_from("<H", image, at)[0]
    def u32(at): return struct.unpack_from("<I", image, at)[0]

    if len(image) < 0x200 or image[:2] != b"MZ":
        fail(f"{exe} is not a PE file")
    nt = u32(0x3C)
    if nt + 24 > len(image) or image[nt:nt + 4] != b"PE\0\0":
        fail(f"{exe} has no PE header")
    sections, optional_size = u16(nt + 6), u16(nt + 20)
    optional = nt + 24
    if u16(optional) != 0x20B:
        fail(f"{exe} is not a PE32+ image")
    image_base = struct.unpack_from("<Q", image, optional + 24)[0]
    checksum_at = optional + 64
    if u32(optional + 108) <= LOAD_CONFIG:
        fail(f"{exe} has no room for the load-configuration directory")
    directory_at = optional + 112 + 8 * LOAD_CONFIG
    if u32(optional + 112 + 8 * SECURITY) != 0:
        fail(f"{exe} is already signed: patching it would break the signature")

    rva = symbol_address(map_path, symbol) - image_base
    size = None
    for i in range(sections):
        s = optional + optional_size + 40 * i
        virtual_size, va, raw_size, raw = u32(s + 8), u32(s + 12), u32(s + 16), u32(s + 20)
        stored = min(virtual_size, raw_size)
        if va <= rva and rva + MIN_SIZE <= va + stored:
            offset = raw + (rva - va)
            size = u32(offset)
            if size < MIN_SIZE or rva + size > va + stored:
                fail(f"{symbol} at RVA {rva:#x} declares {size} bytes, which do not fit its section")
            break
    if size is None:
        fail(f"{symbol} at RVA {rva:#x} lies in no section stored in the file")

    present = struct.unpack_from("<II", image, directory_at)
    if present not in ((0, 0), (rva, size)):
        fail(f"{exe} already has a load configuration at RVA {present[0]:#x}, size {present[1]}")
    struct.pack_into("<II", image, directory_at, rva, size)
    if u32(checksum_at) != 0:
        struct.pack_into("<I", image, checksum_at, pe_checksum(image, checksum_at))

    temporary = exe + ".patching"
    with open(temporary, "wb") as f:
        f.write(image)
    os.chmod(temporary, os.stat(exe).st_mode & 0o7777)
    os.replace(temporary, exe)


if __name__ == "__main__":
    main()
