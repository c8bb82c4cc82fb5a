#!/usr/bin/env python3
"""Makes the release zip of one Windows build with make_zips.sh and checks
what a user unpacks: exactly the files README-windows.txt speaks of, the
DLL the other tests checked, every program file built for the build's
machine, and kelhost/ complete: whatever its files import beyond what every
Windows has is in the folder.

Usage: check_zip.py MAKE_ZIPS VERSION NAME BIN_DIR OBJDUMP FORMAT
       (NAME win32 or win64, FORMAT pei-i386 or pei-x86-64)
"""
import os
import subprocess
import sys
import tempfile
import zipfile

SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll"}


def fail(message):
    print(message)
    sys.exit(1)


def main():
    if len(sys.argv) != 7:
        fail(__doc__.strip().splitlines()[-2])
    make_zips, version, name, bin_dir, objdump, want_format = sys.argv[1:]
    folder = f"kelwnsrp-{version}-{name}"
    with tempfile.TemporaryDirectory() as scratch:
        subprocess.run([make_zips, version, scratch, f"{name}={bin_dir}"], check=True, stdout=subprocess.DEVNULL)
        with zipfile.ZipFile(os.path.join(scratch, folder + ".zip")) as archive:
            files = sorted(n for n in archive.namelist() if not n.endswith("/"))
            want = sorted(f"{folder}/{n}" for n in (
                "KELWNSRP.dll", "kelwnSRP.int", "README-windows.txt",
                "kelhost/kelhost.exe", "kelhost/KELWNSRP.dll", "kelhost/TESKAR.dll"))
            if files != want:
                fail(f"zip holds {files}, want {want}")
            archive.extractall(scratch)
        top = os.path.join(scratch, folder)

        with open(os.path.join(bin_dir, "KELWNSRP.dll"), "rb") as f:
            built = f.read()
        for copy in ("KELWNSRP.dll", "kelhost/KELWNSRP.dll"):
            with open(os.path.join(top, copy), "rb") as f:
                if f.read() != built:
                    fail(f"{copy} is not the DLL built in {bin_dir}")
        with open(os.path.join(top, "kelwnSRP.int"), "rb") as f:
            if f.read() != b"WAITINGTIME 50\r\n":
                fail("kelwnSRP.int is not 'WAITINGTIME 50'")
        with open(os.path.join(top, "README-windows.txt"), "rb") as f:
            readme = f.read().decode("ascii")
        bits = name[3:]
        if f"{version}" not in readme or f"{bits}-bit" not in readme or "@" in readme:
            fail("README-windows.txt does not name the version and the bitness")

        kelhost = os.path.join(top, "kelhost")
        present = {n.lower() for n in os.listdir(kelhost)}
        for program in ("KELWNSRP.dll", "kelhost/kelhost.exe", "kelhost/KELWNSRP.dll", "kelhost/TESKAR.dll"):
            dump = subprocess.run([objdump, "-p", os.path.join(top, program)],
                                  check=True, capture_output=True, text=True).stdout
            fmt = next((line.split()[-1] for line in dump.splitlines() if "file format" in line), "")
            if fmt != want_format:
                fail(f"{program}: file format '{fmt}', want '{want_format}'")
            if program.startswith("kelhost/"):
                imports = {line.split()[-1].lower() for line in dump.splitlines() if "DLL Name:" in line}
                missing = imports - SYSTEM_DLLS - present
                if missing:
                    fail(f"{program} imports {sorted(missing)}, not in kelhost/")
    print(f"{folder}.zip: {len(files)} files, {want_format}, kelhost/ complete")


main()
