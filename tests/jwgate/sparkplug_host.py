#!/usr/bin/env python3
"""A Sparkplug B primary host for the tests, on Debian's python3-protobuf and
python3-paho-mqtt, with the payload classes protoc builds from the gateway's
own schema (sparkplug_b_pb2.py in the build tree).

- SessionChecker follows one edge node's messages as a primary host must:
  NBIRTH seq 0 with the bdSeq of the will before it and "Node Control/Rebirth"
  false, DBIRTH before a device's data, only metrics its birth named, seq one
  more each message (255 then 0), NDEATH with the session's bdSeq.
- PrimaryHost subscribes to a group on a broker, says it is online (STATE),
  decodes and checks what arrives, and sends Rebirth and writes.
- plain() renders a payload as the gateway's --decode-sparkplug prints it.

usage: sparkplug_host.py check --schema DIR --samples PROGRAM --jwgate PROGRAM
  runs PROGRAM DIR (tests/jwgate/sparkplug_samples.cpp), then checks the
  session it wrote, compares every payload field by field with the gateway's
  decoding, and one DBIRTH and one DDATA with jwgate --decode-sparkplug.
usage: sparkplug_host.py broker --schema DIR --samples PROGRAM
  the same session sent through a mosquitto broker of its own by a client
  that stands for the edge node: the PrimaryHost checks it as it arrives,
  and its Rebirth command reaches the node.
"""
import argparse
import importlib
import json
import pathlib
import subprocess
import sys
import tempfile
import threading
import time

NUMBERED = {'NBIRTH', 'NDATA', 'DBIRTH', 'DDATA', 'DDEATH'}
SIGNED_WIDTH = {'Int8': 8, 'Int16': 16, 'Int32': 32}
UNSIGNED_WIDTH = {'UInt8': 8, 'UInt16': 16, 'UInt32': 32}


def load_schema(directory):
    sys.path.insert(0, str(directory))
    return importlib.import_module('sparkplug_b_pb2')


def integer(type_name, bits):
    """An integer datatype's value from its 32 bits, a signed one sign-extended or not."""
    width = SIGNED_WIDTH.get(type_name) or UNSIGNED_WIDTH.get(type_name) or 32
    if bits < 1 << width:
        if type_name in SIGNED_WIDTH and bits >= 1 << (width - 1):
            return bits - (1 << width)
        return bits
    extended = bits - (1 << 32) if bits >= 1 << 31 else bits
    if type_name in SIGNED_WIDTH and -(1 << (width - 1)) <= extended < 0:
        return extended
    return bits


class Schema:
    def __init__(self, pb2):
        self.pb2 = pb2

    def type_name(self, number):
        try:
            return self.pb2.DataType.Name(number)
        except ValueError:
            return str(number)

    def value(self, holder, datatype):
        field = holder.WhichOneof('value')
        if field == 'int_value':
            return integer(self.type_name(datatype), holder.int_value)
        if field in ('long_value', 'float_value', 'double_value', 'boolean_value', 'string_value'):
            return getattr(holder, field)
        return None

    def decode(self, payload):
        message = self.pb2.Payload()
        message.ParseFromString(payload)
        return message

    def plain(self, payload):
        """The payload as the gateway's decoder prints it."""
        result = {}
        for field in ('timestamp', 'seq'):
            if payload.HasField(field):
                result[field] = getattr(payload, field)
        result['metrics'] = [self.plain_metric(metric) for metric in payload.metrics]
        return result

    def plain_metric(self, metric):
        result = {}
        for field in ('name', 'alias', 'timestamp'):
            if metric.HasField(field):
                result[field] = getattr(metric, field)
        if metric.HasField('datatype'):
            result['datatype'] = self.type_name(metric.datatype)
        result['value'] = None if metric.is_null else self.value(metric, metric.datatype)
        for flag in ('is_null', 'is_historical', 'is_transient'):
            if getattr(metric, flag):
                result[flag] = True
        if metric.HasField('properties'):
            result['properties'] = {
                key: None if value.is_null else self.value(value, value.type)
                for key, value in zip(metric.properties.keys, metric.properties.values)}
        return result


def metric_value(payload, name):
    for metric in payload.metrics:
        if metric.name == name:
            return metric
    return None


class SessionChecker:
    """What a primary host checks of one edge node's messages; faults holds what broke the rules."""

    def __init__(self):
        self.faults = []
        self.bd_seq = None       # of the will, then of the session born
        self.seq = None          # the last message's
        self.born = False
        self.devices = {}        # device -> the metric names of its birth
        self.counts = {}

    def fault(self, topic, text):
        self.faults.append(f'{topic}: {text}')

    def will(self, payload):
        bd_seq = metric_value(payload, 'bdSeq')
        self.bd_seq = bd_seq.long_value if bd_seq else None

    def feed(self, topic, payload):
        levels = topic.split('/')
        kind = levels[2]
        device = levels[4] if len(levels) > 4 else None
        self.counts[kind] = self.counts.get(kind, 0) + 1
        if kind in NUMBERED:
            self.check_seq(topic, kind, payload)
        if kind == 'NBIRTH':
            self.node_birth(topic, payload)
        elif kind == 'NDEATH':
            self.node_death(topic, payload)
        elif kind == 'DBIRTH':
            self.devices[device] = {metric.name for metric in payload.metrics}
        elif kind == 'DDEATH':
            self.devices.pop(device, None)
        elif kind == 'DDATA':
            self.device_data(topic, device, payload)
        if kind in NUMBERED and kind != 'DDEATH':
            for metric in payload.metrics:
                if not metric.HasField('timestamp'):
                    self.fault(topic, f'metric {metric.name} without a timestamp')

    def check_seq(self, topic, kind, payload):
        if not payload.HasField('seq'):
            return self.fault(topic, 'no seq')
        expected = 0 if kind == 'NBIRTH' else (None if self.seq is None else (self.seq + 1) % 256)
        if expected is not None and payload.seq != expected:
            self.fault(topic, f'seq {payload.seq}, expected {expected}')
        if kind != 'NBIRTH' and not self.born:
            self.fault(topic, 'before any NBIRTH')
        self.seq = payload.seq

    def node_birth(self, topic, payload):
        bd_seq = metric_value(payload, 'bdSeq')
        rebirth = metric_value(payload, 'Node Control/Rebirth')
        if bd_seq is None or (self.bd_seq is not None and bd_seq.long_value != self.bd_seq):
            self.fault(topic, f'bdSeq {bd_seq.long_value if bd_seq else None}, the will had {self.bd_seq}')
        if rebirth is None or rebirth.WhichOneof('value') != 'boolean_value' or rebirth.boolean_value:
            self.fault(topic, 'no "Node Control/Rebirth" false')
        self.bd_seq = bd_seq.long_value if bd_seq else None
        self.born = True
        self.devices = {}

    def node_death(self, topic, payload):
        bd_seq = metric_value(payload, 'bdSeq')
        if payload.HasField('seq'):
            self.fault(topic, 'NDEATH with a seq')
        if bd_seq is None or bd_seq.long_value != self.bd_seq:
            self.fault(topic, f'bdSeq {bd_seq.long_value if bd_seq else None}, the session had {self.bd_seq}')
        self.born = False
        self.seq = None

    def device_data(self, topic, device, payload):
        if device not in self.devices:
            return self.fault(topic, 'data of a device not born')
        for metric in payload.metrics:
            if metric.name not in self.devices[device]:
                self.fault(topic, f'metric {metric.name} not in its DBIRTH')


class PrimaryHost:
    """A primary host on a broker: online while connected (STATE, retained), the group's messages checked."""

    def __init__(self, schema, host_id, group, port, broker='127.0.0.1'):
        import paho.mqtt.client as mqtt
        self.schema, self.host_id, self.group = schema, host_id, group
        self.checker = SessionChecker()
        self.messages = []
        self.lock = threading.Lock()
        self.client = mqtt.Client(client_id=f'host-{host_id}', clean_session=True)
        self.client.will_set(self.state_topic(), self.state(False), qos=1, retain=True)
        self.subscribed = threading.Event()
        self.client.on_connect = self.connected
        self.client.on_subscribe = lambda client, userdata, mid, granted: self.subscribed.set()
        self.client.on_message = self.received
        self.client.connect(broker, port)
        self.client.loop_start()

    def state_topic(self):
        return f'spBv1.0/STATE/{self.host_id}'

    @staticmethod
    def state(online):
        return json.dumps({'online': online, 'timestamp': int(time.time() * 1000)})

    def connected(self, client, userdata, flags, code):
        client.subscribe([(self.state_topic(), 1), (f'spBv1.0/{self.group}/#', 0)])
        client.publish(self.state_topic(), self.state(True), qos=1, retain=True)

    def received(self, client, userdata, message):
        if message.topic.startswith('spBv1.0/STATE/'):
            return
        payload = self.schema.decode(message.payload)
        with self.lock:
            self.messages.append((message.topic, payload))
            if message.topic.split('/')[2] not in ('NCMD', 'DCMD'):
                self.checker.feed(message.topic, payload)

    def wait_for(self, count, timeout=10):
        """The messages once count have come, or after timeout seconds."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            with self.lock:
                if len(self.messages) >= count:
                    break
            time.sleep(0.02)
        with self.lock:
            return list(self.messages)

    def command(self, edge, metric_name, datatype, field, value, device=None):
        payload = self.schema.pb2.Payload()
        payload.timestamp = int(time.time() * 1000)
        metric = payload.metrics.add()
        metric.name = metric_name
        metric.datatype = self.schema.pb2.DataType.Value(datatype)
        setattr(metric, field, value)
        kind = 'DCMD' if device else 'NCMD'
        topic = f'spBv1.0/{self.group}/{kind}/{edge}' + (f'/{device}' if device else '')
        self.client.publish(topic, payload.SerializeToString(), qos=0)

    def rebirth(self, edge):
        self.command(edge, 'Node Control/Rebirth', 'Boolean', 'boolean_value', True)

    def offline(self):
        self.client.publish(self.state_topic(), self.state(False), qos=1, retain=True).wait_for_publish()

    def close(self):
        self.client.loop_stop()
        self.client.disconnect()


def run_samples(program, directory):
    """The messages program writes in directory: [(name, topic)], the will first."""
    subprocess.run([program, directory], check=True)
    root = pathlib.Path(directory)
    return root, [line.split(' ', 1) for line in (root / 'topics.txt').read_text().splitlines()]


def check_samples(options):
    schema = Schema(load_schema(options.schema))
    faults = []
    with tempfile.TemporaryDirectory() as directory:
        root, entries = run_samples(options.samples, directory)
        checker = SessionChecker()
        checker.will(schema.decode((root / f'{entries[0][0]}.bin').read_bytes()))
        firsts = {}
        for name, topic in entries:
            payload = schema.decode((root / f'{name}.bin').read_bytes())
            if name != entries[0][0]:
                checker.feed(topic, payload)
            theirs = json.loads((root / f'{name}.json').read_text())
            if schema.plain(payload) != theirs:
                faults.append(f'{name} {topic}: Python reads {schema.plain(payload)}, the gateway {theirs}')
            firsts.setdefault(topic.split('/')[2], name)
        faults += checker.faults
        faults += expect_counts(checker.counts, entries, root, schema)
        for kind in ('DBIRTH', 'DDATA'):
            shown = subprocess.run([options.jwgate, '--decode-sparkplug', str(root / f'{firsts[kind]}.bin')],
                                   capture_output=True, text=True)
            print(f'{kind}:\n{shown.stdout}', end='')
            if shown.returncode != 0 or json.loads(shown.stdout) != json.loads((root / f'{firsts[kind]}.json').read_text()):
                faults.append(f'jwgate --decode-sparkplug {firsts[kind]}: exit {shown.returncode}, {shown.stderr}')
    for fault in faults:
        print(fault)
    print(f'{len(entries)} messages, {len(faults)} fault(s)')
    return 1 if faults else 0


def free_port():
    import socket
    with socket.socket() as probe:
        probe.bind(('127.0.0.1', 0))
        return probe.getsockname()[1]


def wait_until(condition, timeout=10):
    deadline = time.monotonic() + timeout
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.02)
    return condition()


def connects(client, port):
    try:
        return client.connect('127.0.0.1', port) == 0
    except OSError:  # the broker not listening yet
        return False


def check_through_broker(options):
    import paho.mqtt.client as mqtt
    schema = Schema(load_schema(options.schema))
    port = free_port()
    broker = subprocess.Popen(['mosquitto', '-p', str(port)], stderr=subprocess.DEVNULL)
    faults = []
    try:
        with tempfile.TemporaryDirectory() as directory:
            root, entries = run_samples(options.samples, directory)
            node = mqtt.Client(client_id='line-a', clean_session=True)
            node.will_set(entries[0][1], (root / f'{entries[0][0]}.bin').read_bytes(), qos=1)
            commands = []
            listening = threading.Event()
            node.on_message = lambda client, userdata, message: commands.append(schema.decode(message.payload))
            node.on_subscribe = lambda client, userdata, mid, granted: listening.set()
            if not wait_until(lambda: connects(node, port)):
                raise RuntimeError('the broker did not start')
            node.loop_start()
            node.subscribe('spBv1.0/Plant 1/NCMD/line-a', qos=1)
            host = PrimaryHost(schema, 'scada', 'Plant 1', port)
            host.checker.will(schema.decode((root / f'{entries[0][0]}.bin').read_bytes()))
            if not (wait_until(host.subscribed.is_set) and wait_until(listening.is_set)):
                raise RuntimeError('no subscription acknowledged')
            for name, topic in entries[1:]:
                node.publish(topic, (root / f'{name}.bin').read_bytes(), qos=1).wait_for_publish()
            seen = host.wait_for(len(entries) - 1)
            host.rebirth('line-a')
            wait_until(lambda: commands)
            faults += host.checker.faults
            if len(seen) != len(entries) - 1:
                faults.append(f'the host saw {len(seen)} of {len(entries) - 1} messages')
            if not commands or not metric_value(commands[0], 'Node Control/Rebirth').boolean_value:
                faults.append('no Rebirth command reached the node')
            host.close()
            node.loop_stop()
            node.disconnect()
    finally:
        broker.terminate()
        broker.wait(timeout=10)
    for fault in faults:
        print(fault)
    print(f'through the broker: {len(faults)} fault(s)')
    return 1 if faults else 0


def expect_counts(counts, entries, root, schema):
    """The scripted run's shape: 300 DDATA pairs and more, history once, a death at the end."""
    faults = []
    if counts.get('DDATA', 0) < 600 or counts.get('DDEATH') != 1 or counts.get('DBIRTH') != 3:
        faults.append(f'message counts {counts}')
    historical = [name for name, topic in entries if '/DDATA/' in topic and
                  all(m.is_historical for m in schema.decode((root / f'{name}.bin').read_bytes()).metrics)]
    if len(historical) != 2:
        faults.append(f'{len(historical)} historical DDATA, expected 2 (one per station)')
    if '/NDEATH/' not in entries[-1][1]:
        faults.append('the run does not end with NDEATH')
    return faults


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    commands = parser.add_subparsers(dest='command', required=True)
    check = commands.add_parser('check', help='check the scripted session of sparkplug_samples')
    check.add_argument('--schema', required=True, help='the directory of sparkplug_b_pb2.py')
    check.add_argument('--samples', required=True, help='the sparkplug_samples program')
    check.add_argument('--jwgate', required=True, help='the jwgate program')
    broker = commands.add_parser('broker', help='the same session through a broker, to a PrimaryHost')
    broker.add_argument('--schema', required=True, help='the directory of sparkplug_b_pb2.py')
    broker.add_argument('--samples', required=True, help='the sparkplug_samples program')
    options = parser.parse_args()
    return check_samples(options) if options.command == 'check' else check_through_broker(options)


if __name__ == '__main__':
    sys.exit(main())
