#!/usr/bin/env python3
"""examples/jwgate-targets.py on a directory of gateway configurations: one
target per gateway with an [http] table, labelled by its line, and 0.0.0.0
replaced by the host's name; the example and a file without [http] add none.
Usage: prometheus_targets_check.py SOURCE_DIR"""
import json
import os
import subprocess
import sys
import tempfile

source = sys.argv[1]
with tempfile.TemporaryDirectory() as directory:
    files = {
        "line07.toml": '[line]\nport = "ttyUSB7"\n[mqtt]\nclient_id = "jwgate-line07"\n[http]\nport = 9107\n',
        "line08.toml": '[line]\nport = "/dev/serial/by-id/usb-x"\n[http]\nlisten = "0.0.0.0"\n',
        "line09.toml": '[line]\nport = "ttyUSB9"\n',              # no endpoint: nothing to scrape
        "example.toml": '[line]\nport = "ttyUSB0"\n[http]\nport = 8080\n',  # the package's sample
    }
    for name, text in files.items():
        with open(os.path.join(directory, name), "w") as f:
            f.write(text)
    output = os.path.join(directory, "targets.json")
    subprocess.run([sys.executable, os.path.join(source, "examples", "jwgate-targets.py"), "--dir", directory,
                    "--host", "plant-a", "--output", output], check=True)
    with open(output) as f:
        found = json.load(f)
expected = [
    {"targets": ["127.0.0.1:9107"],
     "labels": {"line": "line07", "serial_port": "ttyUSB7", "mqtt_client_id": "jwgate-line07"}},
    {"targets": ["plant-a:8080"], "labels": {"line": "line08", "serial_port": "/dev/serial/by-id/usb-x"}},
]
if found != expected:
    print("targets:\n%s\nexpected:\n%s" % (json.dumps(found, indent=1), json.dumps(expected, indent=1)))
    sys.exit(1)
print("2 targets, as expected")
