#!/usr/bin/env python3
"""kelhost --trace shows each frame on the line, timed and escaped, and
changes nothing else: the same results with and without it.
usage: kelhost_trace.py KELHOST JWSIM"""
import re
import subprocess
import sys

kelhost, jwsim = sys.argv[1], sys.argv[2]
simulator = subprocess.Popen([jwsim, '--station', '01'], stdout=subprocess.PIPE, text=True)
try:
    port = next(line.split()[1] for line in simulator.stdout if line.startswith('port '))
    run = [kelhost, '--port', port, '--line', '9600 8 0 0', '--timeout', '20',
           '--write', '01MA0100=4660', '--read', '01MA0100']
    plain = subprocess.run(run, capture_output=True, text=True, timeout=60)
    traced = subprocess.run(run + ['--trace'], capture_output=True, text=True, timeout=60)
finally:
    simulator.terminate()
    simulator.wait(timeout=10)

assert plain.returncode == traced.returncode == 0, (plain.returncode, traced.returncode)
assert plain.stdout == traced.stdout, (plain.stdout, traced.stdout)
frames = [line for line in traced.stderr.splitlines() if not line.startswith('[')]
stamp = r'\d\d:\d\d:\d\d\.\d\d\d'
expected = [r'< ::01\?0WRGA0100A01013412..\\r', r'> ::01#0WRG5C\\r',
            r'< ::01\?0MRGA0100A010145\\r', r'> ::01#0MRGA0100A01013412..\\r']
assert len(frames) == len(expected), frames
for line, pattern in zip(frames, expected):
    assert re.fullmatch(stamp + ' ' + pattern, line), (line, pattern)
assert not [line for line in plain.stderr.splitlines() if re.match(stamp, line)], plain.stderr
print('\n'.join(frames))
