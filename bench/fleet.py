#!/usr/bin/env python3
"""A plant's worth of lines on one machine: one mosquitto, N simulated lines
each with its jwgate, one subscriber to every topic, and one slow line taking
writes while it scans. Prints freshness (a controller's change to the
subscriber), write latency, and what each gateway costs, each beside the bound
the wire allows. Each changing value steps at a period of its own, a prime
number of milliseconds over the scan interval, so that its steps sweep every
phase of the gateway's scan; the bench reads the scans off the simulators'
traces, reports how well the steps' phases cover the interval, and warns
(or, on a run long enough to sweep, fails) when they do not. Everything
listens and connects on 127.0.0.1 only; every process it starts is stopped
on any exit, Ctrl-C included.

    fleet.py BIN_DIR [--lines N] [--baud B] [--seconds S] [--idle-seconds I]
"""
import argparse
import bisect
import datetime
import json
import os
import random
import re
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

HOST = "127.0.0.1"
POINTS = 50             # per line of the fleet
CHANGING = 3            # of which this many step about every second
INTERVAL_MS = 1000
# The changing values' step periods: primes, so prime to the interval, a
# little over it. Each step lands 21 to 193 ms later in the gateway's scan
# than the one before, so a value's steps sweep the whole interval within
# SWEEP_S: freshness is then measured at every phase of the scan, not at
# the one phase a period of exactly the interval would fix.
STEP_PERIODS_MS = [1021, 1031, 1033, 1039, 1049, 1051, 1061, 1063, 1069, 1087, 1091, 1093, 1097, 1103, 1109,
                   1117, 1123, 1129, 1151, 1153, 1163, 1171, 1181, 1187, 1193]
SWEEP_S = max(-(-INTERVAL_MS // (p - INTERVAL_MS)) * p for p in STEP_PERIODS_MS) / 1000
PHASE_BINS = 20         # the interval in twentieths for the coverage check
WRITE_POINTS = 200      # on the write line
WRITE_BAUD = 9600
BITS_PER_CHAR = 10      # 8 data bits, no parity, one stop bit: what a pseudo-terminal keeps

children = []


def start(args, **kwargs):
    process = subprocess.Popen(args, **kwargs)
    children.append(process)
    return process


def stop_all():
    for process in children:
        if process.poll() is None:
            process.send_signal(signal.SIGTERM)
    deadline = time.time() + 5
    for process in children:
        try:
            process.wait(timeout=max(0.1, deadline - time.time()))
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def on_signal(number, _frame):
    raise SystemExit(128 + number)


def free_port():
    with socket.socket() as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


def gate(byte):  # station 01, register byte in octal
    return "01MA%04o" % byte


def percentile(values, share):
    if not values:
        return float("nan")
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))]


# ---- a minimal MQTT 3.1.1 publisher (QoS 0), enough to time the broker's hop and send /sets ----

def remaining_length(n):
    out = b""
    while True:
        byte, n = n % 128, n // 128
        out += bytes([byte | (0x80 if n else 0)])
        if not n:
            return out


def mqtt_string(text):
    data = text.encode()
    return struct.pack(">H", len(data)) + data


class Publisher:
    def __init__(self, port, client_id):
        self.sock = socket.create_connection((HOST, port))
        body = mqtt_string("MQTT") + bytes([4, 2]) + struct.pack(">H", 60) + mqtt_string(client_id)
        self.sock.sendall(b"\x10" + remaining_length(len(body)) + body)
        if self.sock.recv(4)[:1] != b"\x20":
            raise RuntimeError("the broker refused the bench's publisher")

    def publish(self, topic, payload):
        body = mqtt_string(topic) + payload.encode()
        self.sock.sendall(b"\x30" + remaining_length(len(body)) + body)

    def close(self):
        self.sock.sendall(b"\xe0\x00")
        self.sock.close()


# ---- the subscriber: mosquitto_sub, one line a message with its arrival time ----

class Subscriber:
    def __init__(self, port, directory):
        self.path = os.path.join(directory, "messages.txt")
        self.file = open(self.path, "w")
        self.process = start(["mosquitto_sub", "-h", HOST, "-p", str(port), "-t", "#", "-F", "%U %t %p",
                              "-i", "fleet-bench-subscriber"], stdout=self.file)

    def messages(self):
        """(arrival s, topic, payload) of every message so far."""
        self.file.flush()
        out = []
        with open(self.path) as f:
            for line in f:
                parts = line.rstrip("\n").split(" ", 2)
                if len(parts) == 3:
                    out.append((float(parts[0]), parts[1], parts[2]))
        return out


def value_of(payload):
    try:
        return json.loads(payload).get("value")
    except (ValueError, AttributeError):
        return None


# ---- the lines ----

def start_simulator(bin_dir, baud, steps, record, step_after_ms, log, trace):
    """steps: (gate, period ms) pairs. Its standard output, the port and then with steps the trace of every
    frame, goes to the file trace."""
    args = [os.path.join(bin_dir, "jwsim"), "--baud", str(baud)]
    for g, period in steps:
        args += ["--step", "%s:%d" % (g, period)]
    if steps:
        args += ["--step-record", record, "--step-after", str(step_after_ms), "--trace"]
    with open(trace, "w") as out:
        process = start(args, stdout=out, stderr=log)
    deadline = time.time() + 10
    while time.time() < deadline and process.poll() is None:
        with open(trace) as f:
            for line in f:
                if line.startswith("port "):
                    return process, line.split()[1]
        time.sleep(0.02)
    raise RuntimeError("jwsim did not say its port")


REQUEST = re.compile(r"^(\d\d):(\d\d):(\d\d)\.(\d{3}) < ::\d\d\?0MRG(.)(\d{4})\5(\d{4})")


def read_times(trace, area, byte):
    """When the simulator took up each read of register byte `byte` (octal in the request) of the area,
    in seconds since the epoch, from its trace's time of day (to the millisecond)."""
    today = datetime.date.today()
    now = time.time()
    out = []
    with open(trace) as f:
        for line in f:
            m = REQUEST.match(line)
            if not m or m.group(5) != area or not int(m.group(6), 8) <= byte <= int(m.group(7), 8):
                continue
            clock = datetime.time(int(m.group(1)), int(m.group(2)), int(m.group(3)), 1000 * int(m.group(4)))
            t = datetime.datetime.combine(today, clock).timestamp()
            if t > now + 43200:  # read before midnight, looked at after it
                t -= 86400
            out.append(t)
    return out


def gateway_config(port, baud, broker, http, points, prefix, modbus=None, writable=False, store=None):
    text = ('[line]\nport = "%s"\nbaud = %d\ndata_bits = 8\nlink_timeout_ms = 500\n\n'
            '[mqtt]\nhost = "%s"\nport = %d\nclient_id = "%s"\nstatus_topic = "%s/status"\npublish_period_s = 60\n\n'
            '[http]\nlisten = "%s"\nport = %d\n\n' % (port, baud, HOST, broker, prefix.replace("/", "-"), prefix,
                                                      HOST, http))
    if modbus is not None:
        text += '[modbus]\nlisten = "%s"\nport = %d\n\n' % (HOST, modbus)
    if store is not None:
        text += '[store]\npath = "%s"\n\n' % store
    for k in range(points):
        text += ('[[point]]\nname = "p%d"\naddress = "%s"\ntype = "u16"\ninterval_ms = %d\nmqtt_topic = "%s/p%d"\n'
                 % (k, gate(0o100 + 2 * k), INTERVAL_MS, prefix, k))
        if writable:
            text += "writable = true\nmodbus = %d\n" % k
        text += "\n"
    return text


class Gateway:
    def __init__(self, bin_dir, directory, name, baud, broker, points, steps, step_after_ms, log,
                 modbus=False, writable=False, store=False):
        self.name = name
        self.record = os.path.join(directory, name + "-steps.txt")
        self.trace = os.path.join(directory, name + "-trace.txt")
        self.sim, port = start_simulator(bin_dir, baud, steps, self.record, step_after_ms, log, self.trace)
        self.http = free_port()
        self.modbus = free_port() if modbus else None
        self.config = os.path.join(directory, name + ".toml")
        with open(self.config, "w") as f:
            f.write(gateway_config(port, baud, broker, self.http, points, "fleet/" + name, self.modbus, writable,
                                   os.path.join(directory, name + ".db") if store else None))
        check = subprocess.run([os.path.join(bin_dir, "jwgate"), "--config", self.config, "--check"],
                               capture_output=True, text=True, check=True).stdout
        self.scan_ms = float(re.search(r"wire time of a full scan: ([0-9.]+) ms", check).group(1))
        self.exchange_ms = [float(m) for m in re.findall(r"chars +([0-9.]+) ms", check)]
        self.process = start([os.path.join(bin_dir, "jwgate"), "--config", self.config, "--log-level", "warning"],
                             stderr=log)

    def cpu_seconds(self):
        """User and system time of all its threads, to the nanosecond (/proc/PID/stat counts in ticks of
        10 ms, too coarse for a gateway that uses a thousandth of a core)."""
        total = 0
        task = "/proc/%d/task" % self.process.pid
        for thread in os.listdir(task):
            try:
                with open(os.path.join(task, thread, "schedstat")) as f:
                    total += int(f.read().split()[0])
            except OSError:
                pass  # a thread that ended just now
        return total / 1e9

    def rss_kib(self):
        with open("/proc/%d/status" % self.process.pid) as f:
            return int(re.search(r"VmRSS:\s+(\d+)", f.read()).group(1))

    def metric(self, name):
        try:
            with socket.create_connection((HOST, self.http), timeout=2) as s:
                s.sendall(b"GET /metrics HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n")
                data = b""
                while chunk := s.recv(65536):
                    data += chunk
        except OSError:
            return float("nan")
        match = re.search(r"^%s(?:\{\})? ([0-9.e+]+)$" % name, data.decode(errors="replace"), re.M)
        return float(match.group(1)) if match else float("nan")

    def steps(self):
        out = []
        if os.path.exists(self.record):
            with open(self.record) as f:
                for line in f:
                    micros, g, value = line.split()
                    out.append((int(micros) / 1e6, g, int(value)))
        return out


def broker_hop(port, subscriber, samples=50):
    """The broker's hop: a message's publication to the subscriber's arrival, p99."""
    publisher = Publisher(port, "fleet-bench-hop")
    for i in range(samples):
        publisher.publish("fleet-bench/hop", "%.6f" % time.time())
        time.sleep(0.02)
    time.sleep(0.5)
    publisher.close()
    hops = [t - float(p) for t, topic, p in subscriber.messages() if topic == "fleet-bench/hop"]
    return percentile(hops, 0.99), len(hops)


def write_load(line, broker, seconds, results, stop):
    """Modbus writes (function 6) and MQTT /sets to the write line at random moments."""
    publisher = Publisher(broker, "fleet-bench-writer")
    sock = socket.create_connection((HOST, line.modbus))
    transaction = 0
    value = 1000
    end = time.time() + seconds
    while time.time() < end and not stop.is_set():
        time.sleep(random.uniform(0.2, 0.9))
        point = random.randrange(WRITE_POINTS)
        value += 1
        if transaction % 2 == 0:
            request = struct.pack(">HHHBBHH", transaction, 0, 6, 1, 6, point, value)
            sent = time.time()
            sock.sendall(request)
            reply = b""
            while len(reply) < 12:
                chunk = sock.recv(12 - len(reply))
                if not chunk:
                    break
                reply += chunk
            results["modbus"].append((time.time() - sent, reply[7:8] == b"\x06"))
        else:
            results["mqtt"].append((time.time(), point, value))
            publisher.publish("fleet/%s/p%d/set" % (line.name, point), str(value))
        transaction += 1
    sock.close()
    publisher.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("bin_dir")
    parser.add_argument("--lines", type=int, default=20)
    parser.add_argument("--baud", type=int, default=38400)
    parser.add_argument("--seconds", type=int, default=60, help="the busy phase: values stepping")
    parser.add_argument("--idle-seconds", type=int, default=15, help="first, nothing changes")
    parser.add_argument("--keep", action="store_true", help="keep the working directory (logs, records)")
    parser.add_argument("--store", action="store_true", help="each gateway keeps its messages in a [store] file")
    options = parser.parse_args()
    if options.lines < 1 or options.seconds < 5 or options.idle_seconds < 3:
        parser.error("--lines at least 1, --seconds at least 5, --idle-seconds at least 3")

    signal.signal(signal.SIGINT, on_signal)
    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGHUP, on_signal)
    directory = tempfile.mkdtemp(prefix="kel-fleet-")
    try:
        covered = run(options, directory)
    finally:
        stop_all()
        if not options.keep:
            subprocess.run(["rm", "-rf", directory])
        else:
            print("working directory kept: " + directory)
    # A run long enough to sweep the interval whose steps still bunched measured one phase only.
    if not covered and options.seconds >= SWEEP_S:
        sys.exit(3)


def run(options, directory):
    log = open(os.path.join(directory, "processes.log"), "w")
    broker = free_port()
    with open(os.path.join(directory, "mosquitto.conf"), "w") as f:
        f.write("listener %d %s\nallow_anonymous true\npersistence false\nmax_queued_messages 100000\n"
                % (broker, HOST))
    start(["mosquitto", "-c", os.path.join(directory, "mosquitto.conf")], stdout=log, stderr=log)
    time.sleep(0.5)
    subscriber = Subscriber(broker, directory)
    time.sleep(0.5)

    print("fleet: %d line(s) at %d baud, %d points each at %d ms (%d stepping, each every %d to %d ms), "
          "one mosquitto; the write line: %d points at %d baud; nothing changes for %d s, then %d s of changes"
          % (options.lines, options.baud, POINTS, INTERVAL_MS, CHANGING, min(STEP_PERIODS_MS), max(STEP_PERIODS_MS),
             WRITE_POINTS, WRITE_BAUD, options.idle_seconds, options.seconds), flush=True)
    step_after_ms = (options.idle_seconds + 5) * 1000  # the start and the idle phase
    fleet = []
    for i in range(options.lines):
        # Every line's values at periods of their own, taken in turn from the list.
        stepping = [(gate(0o100 + 2 * k), STEP_PERIODS_MS[(CHANGING * i + k) % len(STEP_PERIODS_MS)])
                    for k in range(CHANGING)]
        fleet.append(Gateway(options.bin_dir, directory, "line%02d" % i, options.baud, broker, POINTS, stepping,
                             step_after_ms, log, store=options.store))
    writes = Gateway(options.bin_dir, directory, "writes", WRITE_BAUD, broker, WRITE_POINTS, [], 0, log,
                     modbus=True, writable=True, store=options.store)
    started = time.time()
    time.sleep(5)  # connected, first values out

    idle_from = [g.cpu_seconds() for g in fleet]
    time.sleep(options.idle_seconds)
    idle_cpu = [(g.cpu_seconds() - c) / options.idle_seconds for g, c in zip(fleet, idle_from)]
    idle_rss = [g.rss_kib() for g in fleet]
    time.sleep(max(0.0, started + step_after_ms / 1000 + 1 - time.time()))

    results = {"modbus": [], "mqtt": []}
    stop = threading.Event()
    writer = threading.Thread(target=write_load, args=(writes, broker, options.seconds - 2, results, stop))
    writer.start()
    busy_from = [g.cpu_seconds() for g in fleet]
    messages_from = len(subscriber.messages())
    busy_start = time.time()
    try:
        time.sleep(options.seconds)
    finally:
        stop.set()
        writer.join()
    busy_end = time.time()
    busy_time = busy_end - busy_start
    busy_cpu = [(g.cpu_seconds() - c) / busy_time for g, c in zip(fleet, busy_from)]
    busy_rss = [g.rss_kib() for g in fleet]
    messages_per_s = (len(subscriber.messages()) - messages_from) / busy_time
    time.sleep(INTERVAL_MS / 1000 * 2)  # the last steps reach the subscriber
    hop, hop_samples = broker_hop(broker, subscriber)
    failures = [g.metric("jwgate_exchange_failures_total") for g in fleet + [writes]]
    exchanges = [g.metric("jwgate_exchanges_total") for g in fleet]
    return report(options, fleet, writes, subscriber, hop, hop_samples, results, idle_cpu, busy_cpu, idle_rss,
                  busy_rss, messages_per_s, failures, exchanges, busy_end)


def step_phases(fleet, busy_end):
    """Where each step fell in its gate's scan: the time since the gate's last read before it, as a share of
    the time from that read to the next. By line."""
    phases = {}
    for g in fleet:
        reads = {}
        for t, gas, value in g.steps():
            if t > busy_end:
                continue
            key = (gas[3], int(gas[4:], 8))
            if key not in reads:
                reads[key] = read_times(g.trace, *key)
            r = reads[key]
            i = bisect.bisect_right(r, t)
            if 0 < i < len(r) and r[i] > r[i - 1]:
                phases.setdefault(g.name, []).append((t - r[i - 1]) / (r[i] - r[i - 1]))
    return phases


def phase_bins(phases):
    bins = [0] * PHASE_BINS
    for phase in phases:
        bins[min(PHASE_BINS - 1, int(phase * PHASE_BINS))] += 1
    return bins


def report_coverage(options, fleet, busy_end):
    """Prints how the steps' phases cover the scan interval; True when every twentieth holds at least half
    its even share."""
    by_line = step_phases(fleet, busy_end)
    phases = [p for line in by_line.values() for p in line]
    bins = phase_bins(phases)
    even = len(phases) / PHASE_BINS
    covered = bool(phases) and min(bins) >= even / 2
    worst = min((sum(1 for b in phase_bins(line) if b) for line in by_line.values()), default=0)
    print("\nphase of the steps in the scan (time since the gate's last read, as a share of the gap to its next; "
          "from the simulators' traces), %d step(s):" % len(phases))
    print("  coverage %d of %d twentieths of the interval, fewest %d and most %d steps in one (even: %.1f); "
          "the worst line's steps hit %d of %d" % (sum(1 for b in bins if b), PHASE_BINS, min(bins), max(bins),
                                                  even, worst, PHASE_BINS))
    if not covered:
        why = ("this run (%d s of changes) is shorter than a sweep of the interval (%.0f s)"
               % (options.seconds, SWEEP_S) if options.seconds < SWEEP_S else "the steps bunched in the scan")
        warning = ("WARNING: the steps' phases do not cover the scan interval (%s): the freshness figures say "
                   "where the steps fell in the scan, not how fresh a value is" % why)
        print("  " + warning)
        print("fleet: " + warning, file=sys.stderr)
    return covered


def report(options, fleet, writes, subscriber, hop, hop_samples, results, idle_cpu, busy_cpu, idle_rss, busy_rss,
           messages_per_s, failures, exchanges, busy_end):
    """Prints what the run measured; True when the steps' phases covered the scan interval."""
    # The first arrival of each (topic, value).
    arrivals = {}
    for t, topic, payload in subscriber.messages():
        key = (topic, value_of(payload))
        if key not in arrivals:
            arrivals[key] = t
    freshness_ratio = report_freshness(fleet, arrivals, hop, hop_samples, busy_end)
    covered = report_coverage(options, fleet, busy_end)
    write_ratio = report_writes(writes, arrivals, hop, results)

    reads_per_s = POINTS * 1000 / INTERVAL_MS
    print("\ncost per gateway (%d points read a second):" % reads_per_s)
    for label, cpu, rss in (("idle", idle_cpu, idle_rss), ("busy", busy_cpu, busy_rss)):
        print("  %s: CPU %.2f %% of a core on average (max %.2f %%), %.1f us per point read; RSS %.0f kB average "
              "(max %d kB)" % (label, 100 * sum(cpu) / len(cpu), 100 * max(cpu),
                               1e6 * sum(cpu) / len(cpu) / reads_per_s, sum(rss) / len(rss), max(rss)))
    print("  broker: %.0f messages a second to the subscriber" % messages_per_s)
    print("  exchanges: %.0f in all, failed %s" % (sum(exchanges), " ".join("%.0f" % f for f in failures)))
    load = os.getloadavg()
    print("  machine: %d cores, load average %.2f %.2f %.2f" % (os.cpu_count(), *load))

    print()
    print("freshness p99/bound %.2fx" % freshness_ratio)
    print("write p99/bound %.2fx" % write_ratio)
    return covered


def report_freshness(fleet, arrivals, hop, hop_samples, busy_end):
    """Prints the freshness of the steps; their p99 over the bound."""
    freshness, missed = [], 0
    for g in fleet:
        for t, gas, value in g.steps():
            if t > busy_end:
                continue
            k = (int(gas[4:], 8) - 0o100) // 2
            arrival = arrivals.get(("fleet/%s/p%d" % (g.name, k), value))
            if arrival is None or arrival < t:
                missed += 1
            else:
                freshness.append(arrival - t)
    scan_ms = max(g.scan_ms for g in fleet)
    bound = (INTERVAL_MS + scan_ms) / 1000 + hop
    print("\nfreshness (a step in the controller to the subscriber), %d change(s), %d never read (the next step "
          "came first):" % (len(freshness), missed))
    print("  p50 %.1f ms  p95 %.1f ms  p99 %.1f ms  max %.1f ms" % tuple(
        1000 * percentile(freshness, q) for q in (0.5, 0.95, 0.99, 1.0)))
    print("  bound %.1f ms: interval %d ms + one pass of the line %.1f ms (jwgate --check) + broker hop %.1f ms "
          "(p99 of %d)" % (1000 * bound, INTERVAL_MS, scan_ms, 1000 * hop, hop_samples))
    print("  (with the steps at every phase of the scan, a change waits on average half the interval for its "
          "gate's next read, and at most all of it)")
    return percentile(freshness, 0.99) / bound


def report_writes(writes, arrivals, hop, results):
    """Prints the write line's latencies; the worse p99 over its bound of the two ways in."""
    modbus = [latency for latency, ok in results["modbus"] if ok]
    refused = sum(1 for _, ok in results["modbus"] if not ok)
    mqtt = []
    for sent, point, value in results["mqtt"]:
        arrival = arrivals.get(("fleet/writes/p%d" % point, value))
        if arrival is not None and arrival >= sent:
            mqtt.append(arrival - sent)
    char_ms = 1000.0 * BITS_PER_CHAR / WRITE_BAUD
    # "::01?0WRGA0100A0101" + 4 digits + checksum + CR, and "::01#0WRG" + checksum + CR.
    write_exchange_ms = (26 + 12) * char_ms
    write_bound = (max(writes.exchange_ms) + write_exchange_ms) / 1000
    mqtt_bound = write_bound + 2 * hop  # to the gateway through the broker, and back
    print("\nwrites while scanning (%d points at %d baud, a full scan %.0f ms):" % (WRITE_POINTS, WRITE_BAUD,
                                                                                   writes.scan_ms))
    for name, values, limit, extra in (
            ("Modbus", modbus, write_bound, ", %d refused" % refused),
            ("MQTT /set", mqtt, mqtt_bound, " to the value published back; bound + 2 broker hops")):
        print("  %-9s %3d: p50 %.1f ms  p99 %.1f ms  max %.1f ms, bound %.1f ms (p99 %.2fx)%s" % (
            name, len(values), *(1000 * percentile(values, q) for q in (0.5, 0.99, 1.0)), 1000 * limit,
            percentile(values, 0.99) / limit, extra))
    print("  bound: the longest exchange under way %.1f ms + the write's own exchange %.1f ms (WRG, 38 "
          "characters; the simulator asks for no write mode)" % (max(writes.exchange_ms), write_exchange_ms))
    return max(percentile(modbus, 0.99) / write_bound, percentile(mqtt, 0.99) / mqtt_bound)


if __name__ == "__main__":
    main()
