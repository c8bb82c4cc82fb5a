#!/usr/bin/env python3
"""Fails on any #include that runs up the driver's layers or across jwgate's sides.

Each folder may include its own headers and those of the folders listed for
it; "kelwnsrp.h" counts as the folder include/ and "teskar.h" as
tools/teskar. Below the port layer, the platform seam
(serial/serial_platform.h) is the serial layer's own. The scan layer (scan/)
stands on the link layer, outside the driver; jwgate's line and the Python
module read through it. jwgate's sides (line, modbus, mqtt, http) include
only its core and configuration (the line also the driver's layers it drives
and the scan layer); only the files at jwgate's root include every side. A
rule may name a single header instead of a folder.
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
    # The planner of a set of reads and the executor of its plan, on the link
    # layer; shared by jwgate's line and the Python module, not in the driver.
    'scan': ['link', 'protocol', 'host', 'serial'],
    # The gate model works on the driver's GateAddress (kelwnsrp.h) and words
    # the refusal record of its gate check (one header of commands/); it
    # calls neither, so kelhost, which loads the driver as a host does, links
    # none of the driver.
    'tools/common': ['protocol', 'include', 'commands/gate_checks.h'],
    'tools/teskar': [],
    'tools/jwsim': ['protocol', 'tools/common'],
    'tools/kelhost': ['protocol', 'include', 'tools/teskar', 'tools/common'],
    'tools/jwgate/core': ['protocol', 'host', 'tools/common'],
    # The configuration checks the Sparkplug ids by the rule the topics follow.
    'tools/jwgate/config': ['tools/jwgate/core', 'commands', 'protocol', 'include', 'tools/common',
                            'tools/jwgate/sparkplug/sparkplug_names.h'],
    'tools/jwgate/line': ['tools/jwgate/core', 'tools/jwgate/config', 'scan', 'commands', 'link', 'protocol',
                          'host', 'serial', 'include', 'tools/common'],
    'tools/jwgate/modbus': ['tools/jwgate/core', 'tools/jwgate/config', 'tools/common'],
    # The MQTT side keeps what it publishes in the store, through its interface,
    # and follows what it sent until the broker has it, paced when replayed.
    'tools/jwgate/mqtt': ['tools/jwgate/core', 'tools/jwgate/config', 'tools/common',
                          'tools/jwgate/store/message_store.h', 'tools/jwgate/store/stored_message.h',
                          'tools/jwgate/store/in_flight.h', 'tools/jwgate/store/replay_pace.h'],
    'tools/jwgate/http': ['tools/jwgate/core', 'tools/jwgate/config', 'tools/common',
                          'tools/jwgate/store/message_store.h', 'tools/jwgate/store/stored_message.h'],
    # The message store: what the gateway publishes, kept until acknowledged.
    'tools/jwgate/store': ['tools/jwgate/core', 'tools/jwgate/config', 'tools/common'],
    # The Sparkplug B side builds its payloads from the points and their stored readings.
    # The edge node runs its session on an MQTT link of its own and keeps its bdSeq in the store.
    'tools/jwgate/sparkplug': ['tools/jwgate/core', 'tools/jwgate/config', 'tools/jwgate/store/stored_message.h',
                               'tools/jwgate/store/message_store.h', 'tools/jwgate/store/in_flight.h',
                               'tools/jwgate/store/replay_pace.h', 'tools/jwgate/mqtt/mqtt_link.h', 'tools/common'],
    # The Python module drives a line as jwgate's line side does, through the
    # scan layer, and serves the simulator in-process.
    'python': ['scan', 'commands', 'link', 'protocol', 'host', 'serial', 'include', 'tools/common',
               'tools/jwsim'],
    'tools/jwgate': ['tools/jwgate/core', 'tools/jwgate/config', 'tools/jwgate/line', 'tools/jwgate/modbus',
                     'tools/jwgate/mqtt', 'tools/jwgate/http', 'tools/jwgate/store', 'tools/jwgate/sparkplug',
                     'commands', 'link', 'protocol', 'host', 'serial', 'include', 'tools/common'],
}
# Folders whose files are checked one level deep only: their subfolders have rules of their own.
SHALLOW = {'tools/jwgate'}
SEAM = 'serial/serial_platform.h'
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def folder_of(header):
    if header == 'kelwnsrp.h':
        return 'include'
    if header == 'teskar.h':
        return 'tools/teskar'
    parts = header.split('/')
    if parts[:2] == ['tools', 'jwgate'] and len(parts) > 3:
        return '/'.join(parts[:3])
    return '/'.join(parts[:2]) if parts[0] == 'tools' else parts[0]


def main(root):
    root = pathlib.Path(root)
    faults = []
    for folder, allowed in ALLOWED.items():
        files = (root / folder).glob('*') if folder in SHALLOW else (root / folder).rglob('*')
        for path in sorted(files):
            if path.suffix not in ('.h', '.cpp', '.c'):
                continue
            for header in INCLUDE.findall(path.read_text(encoding='utf-8', errors='replace')):
                target = folder_of(header)
                if target != folder and target not in allowed and header not in allowed:
                    faults.append(f'{path.relative_to(root)}: includes "{header}" ({target}/ is not below {folder}/)')
                elif header == SEAM and folder != 'serial':
                    faults.append(f'{path.relative_to(root)}: includes the platform seam "{header}"')
    for fault in faults:
        print(fault)
    print(f'{len(faults)} include(s) against the layers')
    return 1 if faults else 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else '.'))
