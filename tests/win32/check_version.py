#!/usr/bin/env python3
"""Reads the version resource of a Windows DLL back from the file and checks
it against the project's version: the fixed file and product versions, and
the FileVersion, ProductVersion and OriginalFilename strings. (The machine
is check_dll.sh's to check.)

Usage: check_version.py DLL VERSION
"""
import struct
import sys


def fail(message):
    print(message)
    sys.exit(1)


def string_value(data, key):
    """The value of a String entry of StringFileInfo: its header stands
    before the key, its value on the next 4-byte boundary after it."""
    encoded = (key + "\0").encode("utf-16-le")
    at = data.find(encoded)
    if at < 6:
        return None
    _, value_length, _ = struct.unpack_from("<HHH", data, at - 6)
    start = (at + len(encoded) + 3) & ~3
    return data[start:start + 2 * value_length].decode("utf-16-le", "replace").rstrip("\0")


def main():
    if len(sys.argv) != 3:
        fail(__doc__.strip().splitlines()[-1])
    path, version = sys.argv[1:]
    with open(path, "rb") as f:
        data = f.read()
    fixed = data.find(struct.pack("<I", 0xFEEF04BD))
    if fixed < 0:
        fail("no fixed file information (VS_FIXEDFILEINFO)")
    _, _, file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<6I", data, fixed)
    parts = [int(p) for p in version.split(".")] + [0] * 4
    want = ((parts[0] << 16) | parts[1], (parts[2] << 16) | parts[3])
    for what, got in (("file", (file_ms, file_ls)), ("product", (product_ms, product_ls))):
        if got != want:
            shown = f"{got[0] >> 16}.{got[0] & 0xFFFF}.{got[1] >> 16}.{got[1] & 0xFFFF}"
            fail(f"fixed {what} version {shown}, want {version}")
    expected = {"FileVersion": version, "ProductVersion": version, "OriginalFilename": "KELWNSRP.dll"}
    for name, value in expected.items():
        if string_value(data, name) != value:
            fail(f"{name} '{string_value(data, name)}', want '{value}'")
    description = string_value(data, "FileDescription")
    if not description or not string_value(data, "ProductName"):
        fail("FileDescription or ProductName empty")
    print(f"{path}: version {version}, {description}")


main()
