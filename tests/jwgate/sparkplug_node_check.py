#!/usr/bin/env python3
"""jwgate as a Sparkplug B edge node, seen by a primary host (sparkplug_host.py)
on a mosquitto broker of its own, the line a paced jwsim of two stations.
One gateway run after another, each phase checked as the host sees it:
births in order with the will's bdSeq, seq continuity over 300 messages and
DDATA on change, a DBIRTH decoded by jwgate --decode-sparkplug as the host
reads it, refused DCMD writing nothing and a good one after them read back,
Rebirth, DDEATH and DBIRTH of silent stations, STATE offline and online,
NDEATH on a clean stop, and as the will after kill -9 (bdSeq kept across
restarts), and a broker outage whose missed values come after the rebirth as
historical DDATA, counted against the simulator's record of its steps.
Prints how long births took.

usage: sparkplug_node_check.py --schema DIR --jwgate PROGRAM --jwsim PROGRAM
"""
import argparse
import json
import os
import pathlib
import re
import signal
import subprocess
import sys
import tempfile
import time
import urllib.request

from sparkplug_host import PrimaryHost, Schema, free_port, load_schema, metric_value, wait_until

GROUP, EDGE, HOST = 'Plant', 'line-a', 'scada'
CONFIG = '''
[line]
port = "{port}"
data_bits = 8
baud = 115200
link_timeout_ms = 100
[mqtt]
host = "127.0.0.1"
port = {broker}
client_id = "json-side"
status_topic = "t/status"
keepalive_s = 5
reconnect_min_s = 1
[http]
listen = "127.0.0.1"
port = {http}
[store]
path = "{store}"
[sparkplug]
group_id = "{group}"
edge_node_id = "{edge}"
primary_host_id = "{host}"
[[point]]
name = "counter"
address = "01MA0101"
type = "u16"
interval_ms = 10
[[point]]
name = "setpoint"
address = "01MA0100"
type = "i16"
interval_ms = 50
writable = true
scale = 0.5
[[point]]
name = "level"
address = "02MA0100"
type = "u16"
interval_ms = 50
[[point]]
name = "slow"
address = "02MA0101"
type = "u16"
interval_ms = 50
'''


class Run:
    """The broker, the simulator, the host; gateways started one after another."""

    def __init__(self, options, directory):
        self.options, self.directory = options, pathlib.Path(directory)
        self.faults = []
        self.broker_port, self.http_port = free_port(), free_port()
        self.start_broker()
        memory = self.directory / 'memory.txt'
        memory.write_text('01MA0100 = 10\n01MA0101 = 0\n02MA0100 = 7\n')
        self.sim_log = self.directory / 'jwsim.txt'
        self.simulator = subprocess.Popen(
            [options.jwsim, '--station', '01', '--station', '02', '--baud', '115200', '--memory', str(memory),
             '--step', '01MA0101:10', '--step', '02MA0101:200', '--step-record', str(self.directory / 'steps.txt')],
            stdout=open(self.sim_log, 'w'), stderr=subprocess.STDOUT)
        wait_until(lambda: 'port ' in self.sim_log.read_text())
        line = re.search(r'^port (\S+)', self.sim_log.read_text(), re.M).group(1)
        self.config = self.directory / 'gateway.toml'
        self.config.write_text(CONFIG.format(port=line, broker=self.broker_port, http=self.http_port,
                                             store=self.directory / 'store.db', group=GROUP, edge=EDGE, host=HOST))
        wait_until(lambda: self.connectable())
        self.host = PrimaryHost(Schema(load_schema(options.schema)), HOST, GROUP, self.broker_port)
        wait_until(self.host.subscribed.is_set)
        self.gateway = None

    def start_broker(self):
        self.broker = subprocess.Popen(['mosquitto', '-p', str(self.broker_port)], stderr=subprocess.DEVNULL)

    def steps(self, gate):
        """The simulator's steps of gate: (wall-clock ms, value), in order."""
        lines = (line.split() for line in (self.directory / 'steps.txt').read_text().splitlines())
        return [(int(micros) / 1000, int(value)) for micros, name, value in lines if name == gate]

    def connectable(self):
        import socket
        with socket.socket() as probe:
            return probe.connect_ex(('127.0.0.1', self.broker_port)) == 0

    def check(self, condition, text):
        if not condition:
            self.faults.append(text)
        return condition

    def start_gateway(self):
        self.gateway = subprocess.Popen([self.options.jwgate, '--config', str(self.config)],
                                        stderr=open(self.directory / 'jwgate.txt', 'a'))

    def seen(self):
        with self.host.lock:
            return list(self.host.messages)

    def wait(self, predicate, after, timeout=15):
        """The index of the first message from after on with predicate(topic, payload), or None."""
        found = []

        def look():
            for index, (topic, payload) in enumerate(self.seen()[after:], after):
                if predicate(topic, payload):
                    found.append(index)
                    return True
            return False
        wait_until(look, timeout)
        return found[0] if found else None

    def kind(self, kind, after, device=None, timeout=15):
        return self.wait(lambda topic, payload: topic.split('/')[2] == kind and
                         (device is None or topic.endswith('/' + device)), after, timeout)

    def status(self):
        with urllib.request.urlopen(f'http://127.0.0.1:{self.http_port}/api/points', timeout=5) as answer:
            return json.load(answer).get('sparkplug', {})

    def metrics(self):
        with urllib.request.urlopen(f'http://127.0.0.1:{self.http_port}/metrics', timeout=5) as answer:
            text = answer.read().decode()
        return {m.group(1): float(m.group(2)) for m in re.finditer(r'^jwgate_(\w+) (\S+)$', text, re.M)}

    def births(self, after, what):
        """NBIRTH then both DBIRTHs, after index after; the time they took."""
        started = time.monotonic()
        node = self.kind('NBIRTH', after)
        devices = [self.kind('DBIRTH', node or after, device) for device in ('station01', 'station02')]
        took = time.monotonic() - started
        if self.check(node is not None and None not in devices and node < min(devices),
                      f'{what}: no NBIRTH followed by DBIRTH of both stations'):
            print(f'{what}: NBIRTH and DBIRTHs after {took * 1000:.0f} ms')
        return node

    def bd_seq(self, index):
        return metric_value(self.seen()[index][1], 'bdSeq').long_value

    def close(self):
        for process in (self.gateway, self.simulator, self.broker):
            if process and process.poll() is None:
                process.kill()
                process.wait(timeout=10)
        self.host.close()


def data_of(run, after, name, value):
    return run.wait(lambda topic, payload: '/DDATA/' in topic and any(
        m.name == name and getattr(m, m.WhichOneof('value') or 'is_null') == value for m in payload.metrics), after)


def decoded_by_the_gateway(run, index):
    """jwgate --decode-sparkplug reads a DBIRTH as the host does: each metric's name and value."""
    payload = run.seen()[index][1]
    shown = subprocess.run([run.options.jwgate, '--decode-sparkplug', '-'], input=payload.SerializeToString(),
                           capture_output=True)
    names = [m.name for m in payload.metrics]
    decoded = json.loads(shown.stdout) if shown.returncode == 0 else {}
    run.check([m.get('name') for m in decoded.get('metrics', [])] == names,
              f'jwgate --decode-sparkplug: exit {shown.returncode}, {shown.stdout[:200]!r}, the host saw {names}')


def sessions_and_data(run):
    run.start_gateway()
    first = run.births(0, 'a start')
    if first is None:
        return
    bd_seq = run.bd_seq(first)
    decoded_by_the_gateway(run, run.kind('DBIRTH', first))
    counts = wait_until(lambda: sum('/DDATA/' in topic for topic, _ in run.seen()[first:]) >= 300, 60)
    # A read that failed under load goes out as is_null: only the values read count; the
    # history of what was read before the births comes in beside the live values.
    counters = [m.int_value for topic, p in run.seen()[first:] if '/DDATA/' in topic
                for m in p.metrics if m.name == 'counter' and not m.is_null and not m.is_historical]
    run.check(counts and counters == sorted(counters) and len(set(counters)) >= 100,
              f'300 DDATA following the stepped counter: {len(set(counters))} values, in order: '
              f'{counters == sorted(counters)}')
    # Refused commands write nothing; the next good one, a Double in
    # engineering units scaled as a /set is, goes through and is read back.
    before = run.metrics()
    for name, datatype, field, value, device in [('nope', 'Double', 'double_value', 1.0, 'station01'),
                                                 ('level', 'UInt16', 'int_value', 3, 'station02'),
                                                 ('setpoint', 'String', 'string_value', '9', 'station01'),
                                                 ('setpoint', 'Double', 'double_value', 1e9, 'station01')]:
        run.host.command(EDGE, name, datatype, field, value, device=device)
    wait_until(lambda: run.metrics().get('sparkplug_commands_refused_total', 0) >= 4)
    mark = len(run.seen())
    run.host.command(EDGE, 'setpoint', 'Double', 'double_value', 12.5, device='station01')
    run.check(data_of(run, mark, 'setpoint', 12.5) is not None, 'DCMD setpoint=12.5 not read back in a DDATA')
    after = run.metrics()
    run.check(after.get('sparkplug_commands_total') == 5 and after.get('sparkplug_births_total', 0) >= 3,
              f'/metrics: {after.get("sparkplug_commands_total")} commands, {after.get("sparkplug_births_total")} births')
    page = run.status()
    run.check(page.get('born') and page.get('refused_commands') == 4 and f'spBv1.0/{GROUP}/NCMD/{EDGE}' in page['topics'],
              f'the status page\'s edge node: {page}')
    run.check(after.get('sparkplug_commands_refused_total') == 4 and after.get('writes_total') == before['writes_total'] + 1,
              f'refusals: {after.get("sparkplug_commands_refused_total")} counted, '
              f'{after.get("writes_total", 0) - before["writes_total"]} writes on the line (1 expected)')
    mark = len(run.seen())
    started = time.monotonic()
    run.host.rebirth(EDGE)
    run.births(mark, 'Rebirth command')
    print(f'Rebirth command to the last DBIRTH: {(time.monotonic() - started) * 1000:.0f} ms')
    # Silent stations: the simulator stopped, then going on.
    mark = len(run.seen())
    run.simulator.send_signal(signal.SIGSTOP)
    dead = [run.kind('DDEATH', mark, device) for device in ('station01', 'station02')]
    run.simulator.send_signal(signal.SIGCONT)
    back = run.kind('DBIRTH', max([d for d in dead if d is not None], default=mark), 'station01')
    run.check(None not in dead and back is not None, f'silent stations: DDEATH at {dead}, DBIRTH again at {back}')
    # The primary host offline: NDEATH; online again: a new session, the next bdSeq.
    mark = len(run.seen())
    run.host.offline()
    death = run.kind('NDEATH', mark)
    run.check(death is not None and run.bd_seq(death) == bd_seq, 'STATE offline: no NDEATH of the session')
    time.sleep(1.5)
    run.check(run.kind('NBIRTH', mark, timeout=0) is None, 'a birth while the primary host is offline')
    run.host.checker.bd_seq = None
    run.host.client.publish(run.host.state_topic(), run.host.state(True), qos=1, retain=True)
    reborn = run.births(mark, 'STATE online')
    run.check(reborn is not None and run.bd_seq(reborn) == (bd_seq + 1) % 256,
              'STATE online: no NBIRTH with the next bdSeq')
    # A clean stop: NDEATH with the session's bdSeq.
    mark = len(run.seen())
    run.gateway.send_signal(signal.SIGTERM)
    run.gateway.wait(timeout=10)
    death = run.kind('NDEATH', mark)
    run.check(death is not None and reborn is not None and run.bd_seq(death) == run.bd_seq(reborn),
              'clean stop: no NDEATH with the session\'s bdSeq')
    return run.bd_seq(reborn) if reborn is not None else None


def killed(run, last_bd_seq):
    mark = len(run.seen())
    run.host.checker.bd_seq = None
    run.start_gateway()
    birth = run.births(mark, 'a restart')
    if not run.check(birth is not None, 'no births after a restart'):
        return
    run.check(last_bd_seq is None or run.bd_seq(birth) == (last_bd_seq + 1) % 256,
              f'a restart: bdSeq {run.bd_seq(birth)} after {last_bd_seq}')
    mark = len(run.seen())
    run.gateway.kill()
    run.gateway.wait(timeout=10)
    death = run.kind('NDEATH', mark)
    run.check(death is not None and run.bd_seq(death) == run.bd_seq(birth), 'kill -9: no NDEATH will')


def outage(run):
    """The broker stopped for 3 s while "slow" steps every 200 ms: after the rebirth each value read meanwhile
    comes as historical DDATA, in order, stamped with its read's time; none missing."""
    mark = len(run.seen())
    run.host.checker.bd_seq = None
    run.host.client.reconnect_delay_set(1, 1)
    run.start_gateway()
    if not run.check(run.births(mark, 'before the outage') is not None, 'no births before the outage'):
        return
    time.sleep(1)
    run.broker.kill()
    run.broker.wait(timeout=10)
    away_from = time.time() * 1000
    time.sleep(3)
    away_to = time.time() * 1000
    mark = len(run.seen())
    run.host.checker.bd_seq = None
    run.start_broker()
    # Both clients connect again after their back-off (the gateway's grows to several seconds).
    run.kind('NBIRTH', mark, timeout=60)
    reborn = run.births(mark, 'after the outage')
    if not run.check(reborn is not None, 'no births after the outage'):
        return
    missed = [value for at, value in run.steps('02MA0101') if away_from < at < away_to]
    step_at = dict((value, at) for at, value in run.steps('02MA0101'))

    def history():
        return [(m.int_value, m.timestamp) for topic, p in run.seen()[reborn:] if '/DDATA/' in topic and
                topic.endswith('/station02') for m in p.metrics if m.name == 'slow' and m.is_historical and not m.is_null]
    wait_until(lambda: set(missed) <= {value for value, _ in history()}, 15)
    historical = history()
    values = [value for value, _ in historical]
    lost = sorted(set(missed) - set(values))
    run.check(len(missed) >= 10 and not lost, f'the outage: {len(missed)} steps, not arrived as history: {lost}')
    run.check(values == sorted(values), f'the outage: history out of order: {values}')
    # Each value was read after its step and before the next one.
    stamped = [(value, stamp) for value, stamp in historical if value in step_at and value + 1 in step_at and
               not step_at[value] - 250 <= stamp <= step_at[value + 1] + 250]
    run.check(not stamped, f'the outage: history stamped outside its value\'s time: {stamped[:5]}')
    print(f'the outage: {len(missed)} values stepped while the broker was away, '
          f'{len(set(values) & set(missed))} of them came as history after the rebirth')


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--schema', required=True)
    parser.add_argument('--jwgate', required=True)
    parser.add_argument('--jwsim', required=True)
    options = parser.parse_args()
    with tempfile.TemporaryDirectory() as directory:
        run = Run(options, directory)
        try:
            killed(run, sessions_and_data(run))
            outage(run)
        finally:
            run.close()
        faults = run.faults + run.host.checker.faults
        if faults:
            sys.stdout.write((pathlib.Path(directory) / 'jwgate.txt').read_text()[-3000:])
    for fault in faults:
        print(fault)
    print(f'the host saw {run.host.checker.counts}; {len(faults)} fault(s)')
    return 1 if faults else 0


if __name__ == '__main__':
    sys.exit(main())
