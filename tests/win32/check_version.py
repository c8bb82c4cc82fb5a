#!/usr/bin/env python3
"""Reads the version resource of a Windows DLL back from the file and checks
it against the project's version: the fixed file and product versions, and
the FileVersion, ProductVersion and OriginalFilename strings.

Usage: check_version.py DLL VERSION MACHINE   (MACHINE: i386 or x86-64)
"""
import struct
import sys

MACHINES = {"i386": 0x014C, "x86-64": 0x8664}
RT_VERSION = 16


def fail(message):
    print(message)
    sys.exit(1)


def pe_sections(data):
    if data[:2] != b"MZ":
        fail("not a PE file")
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        fail("no PE signature")
    machine, count = struct.unpack_from("<HH", data, pe + 4)
    optional_size = struct.unpack_from("<H", data, pe + 20)[0]
    table = pe + 24 + optional_size
    sections = []
    for i in range(count):
        entry = table + 40 * i
        name = data[entry:entry + 8].rstrip(b"\0").decode("ascii", "replace")
        virtual_size, rva, raw_size, raw_offset = struct.unpack_from("<IIII", data, entry + 8)
        sections.append((name, rva, max(virtual_size, raw_size), raw_offset))
    return machine, sections


def version_resource(data, sections):
    rsrc = next((s for s in sections if s[0] == ".rsrc"), None)
    if rsrc is None:
        fail("no .rsrc section")
    _, base_rva, _, base = rsrc

    def entries(directory):
        named, ids = struct.unpack_from("<HH", data, base + directory + 12)
        for i in range(named + ids):
            name, target = struct.unpack_from("<II", data, base + directory + 16 + 8 * i)
            yield name, target

    def first_leaf(target):
        while target & 0x80000000:
            target = next(entries(target & 0x7FFFFFFF))[1]
        return target

    for name, target in entries(0):
        if name == RT_VERSION:
            rva, size = struct.unpack_from("<II", data, base + first_leaf(target))
            offset = base + rva - base_rva
            return data[offset:offset + size]
    fail("no version resource")


def parse_block(blob, at):
    """One VS_VERSIONINFO node: (key, value bytes, value type, children, end)."""
    length, value_length, value_type = struct.unpack_from("<HHH", blob, at)
    end = at + length
    key_end = at + 6
    while blob[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    key = blob[at + 6:key_end].decode("utf-16-le")
    cursor = (key_end + 2 + 3) & ~3
    value_bytes = value_length * 2 if value_type == 1 else value_length
    value = blob[cursor:cursor + value_bytes]
    cursor = (cursor + value_bytes + 3) & ~3
    children = []
    while cursor < end:
        child = parse_block(blob, cursor)
        children.append(child)
        cursor = (child[4] + 3) & ~3
    return key, value, value_type, children, end


def main():
    if len(sys.argv) != 4 or sys.argv[3] not in MACHINES:
        fail(__doc__.strip().splitlines()[-1])
    path, version, machine_name = sys.argv[1:]
    with open(path, "rb") as f:
        data = f.read()
    machine, sections = pe_sections(data)
    if machine != MACHINES[machine_name]:
        fail(f"{path}: machine 0x{machine:04x}, want {machine_name}")

    key, fixed, _, children, _ = parse_block(version_resource(data, sections), 0)
    if key != "VS_VERSION_INFO" or len(fixed) != 52:
        fail(f"version resource '{key}' with {len(fixed)} bytes of fixed information")
    signature, _, file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<6I", fixed)
    if signature != 0xFEEF04BD:
        fail("fixed file information without its signature")
    parts = [int(p) for p in version.split(".")] + [0] * 4
    want = ((parts[0] << 16) | parts[1], (parts[2] << 16) | parts[3])
    for what, got in (("file", (file_ms, file_ls)), ("product", (product_ms, product_ls))):
        if got != want:
            shown = f"{got[0] >> 16}.{got[0] & 0xFFFF}.{got[1] >> 16}.{got[1] & 0xFFFF}"
            fail(f"fixed {what} version {shown}, want {version}")

    strings = {}
    for block in children:
        if block[0] == "StringFileInfo":
            for table in block[3]:
                for name, value, _, _, _ in table[3]:
                    strings[name] = value.decode("utf-16-le").rstrip("\0")
    expected = {"FileVersion": version, "ProductVersion": version, "OriginalFilename": "KELWNSRP.dll"}
    for name, value in expected.items():
        if strings.get(name) != value:
            fail(f"{name} '{strings.get(name)}', want '{value}'")
    if not strings.get("FileDescription") or not strings.get("ProductName"):
        fail(f"FileDescription or ProductName empty: {strings}")
    print(f"{path}: {machine_name}, version {version}, {strings['FileDescription']}")


main()
