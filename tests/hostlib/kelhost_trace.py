#!/usr/bin/env python3
"""kelhost --trace shows each frame on the line, timed and escaped, and
changes nothing else: the same results with and without it.
usage: kelhost_trace.py KELHOST JWSIM"""
import json
import re
import subprocess
import sys

kelhost, jwsim = sys.argv[1], sys.argv[2]
simulator = subprocess.Popen([jwsim, '--station', '01'], stdout=subprocess.PIPE, text=True)
try:
    port = next(line.split()[1] for line in simulator.stdout if line.startswith('port '))
    line = ['--port', port, '--data-bits', '8', '--timeout', '200']
    runs = {}
    for traced in (False, True):
        runs[traced] = [subprocess.run([kelhost, *(['--trace'] if traced else []), command, '--json', *line, gate],
                                       capture_output=True, text=True, timeout=60)
                        for command, gate in (('write', '01MA0100=4660'), ('read', '01MA0100'))]
finally:
    simulator.terminate()
    simulator.wait(timeout=10)

def results(done):
    assert done.returncode == 0, (done.returncode, done.stderr)
    records = [json.loads(text) for text in done.stdout.splitlines()]
    return [{k: v for k, v in r.items() if k not in ('ms', 'time')} for r in records]

plain, traced = runs[False], runs[True]
assert [results(d) for d in plain] == [results(d) for d in traced], (plain, traced)
stamp = r'\d\d:\d\d:\d\d\.\d\d\d'
frames = [text for done in traced for text in done.stderr.splitlines() if re.match(stamp, text)]
expected = [r'< ::01\?0WRGA0100A01013412..\\r', r'> ::01#0WRG5C\\r',
            r'< ::01\?0MRGA0100A010145\\r', r'> ::01#0MRGA0100A01013412..\\r']
assert len(frames) == len(expected), frames
for text, pattern in zip(frames, expected):
    assert re.fullmatch(stamp + ' ' + pattern, text), (text, pattern)
assert not [text for done in plain for text in done.stderr.splitlines() if re.match(stamp, text)]
print('\n'.join(frames))
