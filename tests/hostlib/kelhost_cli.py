#!/usr/bin/env python3
"""kelhost as a user meets it: every bad option or value ends with one line
and exit 64 before anything reaches the line; a healthy run says nothing on
standard error (the driver's lifecycle notes are info, shown with --verbose),
while a refused gate or a port not opened still shows the driver's warning;
JSON and CSV output parse; a poll's statistics add up with what it printed.
usage: kelhost_cli.py KELHOST JWSIM"""
import csv
import datetime
import io
import json
import subprocess
import sys

kelhost, jwsim = sys.argv[1], sys.argv[2]
simulator = subprocess.Popen([jwsim, '--station', '01', '--trace'],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

def run(*args):
    return subprocess.run([kelhost, *args], capture_output=True, text=True, timeout=60)

try:
    port = next(line.split()[1] for line in simulator.stdout if line.startswith('port '))
    line = ['--port', port, '--data-bits', '8', '--timeout', '50']
    usage_errors = [
        ['read', *line, '--count', '2', '01MA0100'],          # an option of another sub-command
        ['poll', *line, '--count', 'x', '01MA0100'],
        ['poll', *line, '--interval', '-5', '01MA0100'],
        ['read', *line, '--parity', 'sometimes', '01MA0100'],
        ['read', *line, '--stop-bits', '3', '01MA0100'],
        ['read', *line, '--baud', '115200', '01MA0100'],
        ['read', *line, '--data-bits', '9', '01MA0100'],
        ['read', *line, '--timeout', '0', '01MA0100'],
        ['read', '--port', port, '--baud', '9600 8', '01MA0100'],
        ['read', *line, '01MA0100:abc'],
        ['read', *line, '01MA0100:8'],                        # 8 bits want the trailing B
        ['read', *line, '01MA0100B:16'],
        ['read', '--port', '/dev/ttyUSB100', '01MA0100'],     # 12 characters
        ['read', *line, '01MA0100..01MB0100'],                # a range across areas
        ['read', *line, '01MA0110..01MA0100'],
        ['read', *line, '01R00000..01R15777'],                # over the range limit
        ['read', '01MA0100'],                                 # no port
        ['write', *line, '01MA0100'],
        ['write', *line, '01MA0100=70000'],
        ['write', *line, '01MA0100=-32769'],
        ['write', *line, '01MA0100=12abc'],
        ['write', *line, '01MA0100B=256'],
        ['write', *line, '01M09000:32=4294967296'],
        ['write', *line, '01M09000:float=1.5'],
        ['write', *line, '01M09000:float=nan'],
        ['write', *line, '01R00001=2'],
        ['write', *line, '01T0005=120'],                      # a timer's value is read-only
        ['write', *line, '01MA0100=1', '01MA0102=99999'],     # the good one is not sent either
        ['frobnicate'],
        [],
    ]
    for args in usage_errors:
        done = run(*args)
        assert done.returncode == 64, (args, done.returncode, done.stdout, done.stderr)
        assert len(done.stderr.splitlines()) == 1 and done.stderr.startswith('kelhost: error: '), (args, done.stderr)
        assert done.stdout == '', (args, done.stdout)

    refused = run('check', '01MA1600')
    assert refused.returncode == 1 and 'kelhost: warning: KELSRP: Gate address 01MA1600 not valid' in refused.stderr, refused
    assert run('check', '01MA0100', '01MA0177B', '01R15777').returncode == 0

    missing = run('read', '--port', 'ttyKEL99', '01MA0100')
    assert missing.returncode == 74, missing
    assert missing.stderr.splitlines() == ['kelhost: warning: KELSharp PLC : Fail to open ttyKEL99',
                                           'kelhost: error: port ttyKEL99 not opened (result 2)'], missing.stderr

    # A healthy write and read: not a word on standard error.
    done = run('write', '--json', *line, '01MA0100=-2', '01MB0010B=-1', '01M09000:32=0x12345678')
    writes = [json.loads(text) for text in done.stdout.splitlines()]
    assert [w['result'] for w in writes] == [0, 0, 0] and done.stderr == '', done
    done = run('read', '--json', *line, '01MA0100', '01MB0010B', '01M09000:32')
    assert [json.loads(text)['value'] for text in done.stdout.splitlines()] == [65534, 255, 0x12345678], done
    assert done.returncode == 0 and done.stderr == '', done
    # --verbose shows the driver's notes, as info, never as warnings.
    done = run('read', '--verbose', *line, '01MA0100')
    assert done.returncode == 0 and 'kelhost: info: KELSRP: Loaded succesfully' in done.stderr.splitlines(), done
    assert all(text.startswith('kelhost: info: ') for text in done.stderr.splitlines()), done.stderr

    done = run('poll', '--csv', *line, '--count', '3', '--interval', '0', '01MA0100..01MA0103', '01R00001')
    rows = list(csv.DictReader(io.StringIO(done.stdout)))
    assert len(rows) == 9 and rows[0].keys() == {'time', 'gate', 'type', 'value', 'result', 'ms'}, done.stdout
    for row in rows:
        datetime.datetime.strptime(row['time'], '%Y-%m-%dT%H:%M:%S.%fZ')
        float(row['ms'])
    assert done.returncode == 0 and '9 exchanges, 0 failed' in done.stderr, done

    # Station 02 is not on the line: its reads fail.
    done = run('poll', '--json', '--port', port, '--timeout', '10', '--count', '2', '--interval', '0',
               '01MA0100', '02MA0100')
    records = [json.loads(text) for text in done.stdout.splitlines()]
    stats = records.pop()['stats']
    assert done.returncode == 1 and stats['exchanges'] == len(records) == 4, (done, records)
    assert stats['failures'] == {'2': 2} and [r['result'] for r in records] == [0, 2, 0, 2], (stats, records)
    times = sorted(r['ms'] for r in records)
    assert abs(stats['ms']['min'] - times[0]) < 0.01 and abs(stats['ms']['max'] - times[-1]) < 0.01, stats
finally:
    simulator.terminate()
    trace, said = simulator.communicate(timeout=10)

# Nothing of a refused write reached the line: only the three good writes.
sent = [text for text in trace.splitlines() if ' < ' in text]
assert sum('WRG' in text for text in sent) == 3, sent
assert said.splitlines()[-1].startswith('jwsim: info: ') and 'with a bad checksum' in said, said
print('ok')
