#!/usr/bin/env python3
"""Prometheus targets for every gateway configured on this machine: reads
/etc/jwgate/*.toml (or DIR) and writes a file_sd_configs document, one target
per gateway with an [http] table, labelled with its line (the file's name, as
in jwgate@LINE), its serial port and its MQTT client id.

    jwgate-targets.py [--dir DIR] [--host NAME] [--output FILE]

--host replaces a listen address of 0.0.0.0 (default: this machine's name).
The output is written beside FILE and renamed over it, as Prometheus asks.
"""
import argparse
import glob
import json
import os
import socket
import sys
import tomllib


def targets(directory, host):
    found = []
    for path in sorted(glob.glob(os.path.join(directory, "*.toml"))):
        line = os.path.splitext(os.path.basename(path))[0]
        if line == "example":
            continue
        try:
            with open(path, "rb") as f:
                config = tomllib.load(f)
        except (OSError, tomllib.TOMLDecodeError) as e:
            print("jwgate-targets: warning: %s: %s" % (path, e), file=sys.stderr)
            continue
        http = config.get("http")
        if http is None:
            continue
        listen = http.get("listen", "127.0.0.1")
        address = host if listen == "0.0.0.0" else listen
        labels = {"line": line, "serial_port": str(config.get("line", {}).get("port", ""))}
        if "client_id" in config.get("mqtt", {}):
            labels["mqtt_client_id"] = config["mqtt"]["client_id"]
        found.append({"targets": ["%s:%d" % (address, http.get("port", 8080))], "labels": labels})
    return found


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--dir", default="/etc/jwgate")
    parser.add_argument("--host", default=socket.getfqdn())
    parser.add_argument("--output", help="default: standard output")
    options = parser.parse_args()
    text = json.dumps(targets(options.dir, options.host), indent=2) + "\n"
    if not options.output:
        sys.stdout.write(text)
        return
    temporary = options.output + ".new"
    with open(temporary, "w") as f:
        f.write(text)
    os.replace(temporary, options.output)


if __name__ == "__main__":
    main()
