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
"""
import importlib
import json
import sys
import threading
import time

NUMBERED = {'NBIRTH', 'NDATA', 'DBIRTH', 'DDATA', 'DDEATH'}


def load_schema(directory):
    sys.path.insert(0, str(directory))
    return importlib.import_module('sparkplug_b_pb2')


class Schema:
    def __init__(self, pb2):
        self.pb2 = pb2

    def decode(self, payload):
        message = self.pb2.Payload()
        message.ParseFromString(payload)
        return message


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
