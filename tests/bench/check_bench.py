#!/usr/bin/env python3
"""Runs a bench command once and checks that it ran: exit 0 within the time
allowed, and every expected line on its standard output, in order. Lines are
matched by their words, never by a figure: the figures depend on the machine.
usage: check_bench.py [--timeout S] [--env NAME=VALUE]... --expect REGEX [--expect REGEX]... -- COMMAND [ARG]..."""
import argparse
import os
import re
import subprocess
import sys


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--timeout", type=float, default=120)
    parser.add_argument("--env", action="append", default=[], help="NAME=VALUE for the command")
    parser.add_argument("--expect", action="append", default=[], required=True,
                        help="a regular expression some line of the output must match, after the previous one's")
    parser.add_argument("command", nargs=argparse.REMAINDER)
    options = parser.parse_args()
    command = options.command[1:] if options.command[:1] == ["--"] else options.command
    if not command:
        parser.error("no command")
    environment = dict(os.environ)
    for pair in options.env:
        name, _, value = pair.partition("=")
        environment[name] = value

    try:
        done = subprocess.run(command, capture_output=True, text=True, timeout=options.timeout, env=environment)
    except subprocess.TimeoutExpired as e:
        print("%s: still running after %.0f s" % (" ".join(command), options.timeout))
        print(e.stdout or "")
        return 1
    lines = done.stdout.splitlines()
    problems = []
    if done.returncode != 0:
        problems.append("exit %d" % done.returncode)
    at = 0
    for pattern in options.expect:
        found = next((i for i in range(at, len(lines)) if re.search(pattern, lines[i])), None)
        if found is None:
            problems.append("no line matching %r after line %d" % (pattern, at))
        else:
            at = found + 1
    if problems:
        print("%s:\n  %s" % (" ".join(command), "\n  ".join(problems)))
        print("--- standard output\n" + done.stdout + "--- standard error\n" + done.stderr)
        return 1
    print("%s: exit 0, %d expected line(s) seen" % (" ".join(command), len(options.expect)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
