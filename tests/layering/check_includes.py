#!/usr/bin/env python3
"""Fails on any #include that runs up the driver's layers.

Each folder may include its own headers and those of the folders listed for
it; "kelwnsrp.h" counts as the folder include/. Below the port layer, the
platform seam (serial/serial_platform.h) is the serial layer's own.
usage: check_includes.py SOURCE_DIR
"""
import pathlib
import re
import sys

ALLOWED = {
    'include': [],
    'entry': ['commands', 'link', 'protocol', 'host', 'serial', 'include'],
    'commands': ['link', 'protocol', 'host', 'serial', 'include'],
    'link': ['protocol', 'host', 'serial'],
    'protocol': [],
    'host': [],
    'serial': [],
    'tools/jwsim': ['protocol'],
    'tools/jwgate': ['commands', 'link', 'protocol', 'host', 'serial', 'include'],
}
SEAM = 'serial/serial_platform.h'
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def folder_of(header):
    if header == 'kelwnsrp.h':
        return 'include'
    parts = header.split('/')
    return '/'.join(parts[:2]) if parts[0] == 'tools' else parts[0]


def main(root):
    root = pathlib.Path(root)
    faults = []
    for folder, allowed in ALLOWED.items():
        for path in sorted((root / folder).rglob('*')):
            if path.suffix not in ('.h', '.cpp', '.c'):
                continue
            for header in INCLUDE.findall(path.read_text(encoding='utf-8', errors='replace')):
                target = folder_of(header)
                if target != folder and target not in allowed:
                    faults.append(f'{path.relative_to(root)}: includes "{header}" ({target}/ is not below {folder}/)')
                elif header == SEAM and folder != 'serial':
                    faults.append(f'{path.relative_to(root)}: includes the platform seam "{header}"')
    for fault in faults:
        print(fault)
    print(f'{len(faults)} include(s) against the layers')
    return 1 if faults else 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else '.'))
