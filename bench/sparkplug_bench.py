#!/usr/bin/env python3
"""What the Sparkplug B edge node costs, in figures (no verdicts): jwgate on a
paced jwsim whose 200 registers each count up once a second, a mosquitto of
its own and a primary host (tests/jwgate/sparkplug_host.py):
  - jwgate's CPU per DDATA metric: its CPU time over a window with [sparkplug]
    less the same without, over the metrics the host received;
  - from a station's first answer (the simulator let go after a stop) to its
    DBIRTH;
  - from a Rebirth command to the last DBIRTH.

usage: sparkplug_bench.py BUILD_DIR [SECONDS]
"""
import pathlib
import re
import signal
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / 'tests' / 'jwgate'))
from sparkplug_host import PrimaryHost, Schema, free_port, load_schema, wait_until  # noqa: E402

POINTS = 200
# Each register steps at a period of its own, a prime number of ms near a
# second: together about 200 changes a second, spread over the second and
# over every phase of the 200 ms scan, not a burst of 200 at one phase.
PERIODS_MS = [p for p in range(907, 1100) if all(p % d for d in range(2, 32))]


def gate(i):
    return f'01MA{2 * i:04o}'  # 16-bit registers side by side, none overlapping


def config(line, broker, sparkplug):
    text = (f'[line]\nport = "{line}"\ndata_bits = 8\nbaud = 115200\nlink_timeout_ms = 100\n'
            f'[mqtt]\nhost = "127.0.0.1"\nport = {broker}\nclient_id = "bench-json"\nstatus_topic = "bench/status"\n')
    if sparkplug:
        text += '[sparkplug]\ngroup_id = "Bench"\nedge_node_id = "line"\n'
    for i in range(POINTS):
        text += f'[[point]]\nname = "r{i}"\naddress = "{gate(i)}"\ntype = "u16"\ninterval_ms = 200\n'
    return text


def cpu_seconds(pid):
    """The CPU time of the process's threads, in ns steps (schedstat), not the stat file's 10 ms ticks."""
    total = 0
    for task in pathlib.Path(f'/proc/{pid}/task').iterdir():
        try:
            total += int((task / 'schedstat').read_text().split()[0])
        except (OSError, IndexError, ValueError):  # a thread that just ended
            pass
    return total / 1e9


def data_metrics(host):
    with host.lock:
        return sum(len(p.metrics) for t, p in host.messages if '/DDATA/' in t)


def index_of(host, kind, after):
    with host.lock:
        for index, (topic, _) in enumerate(host.messages[after:], after):
            if topic.split('/')[2] == kind:
                return index
    return None


class Bench:
    def __init__(self, build, directory):
        self.build, self.directory = pathlib.Path(build), pathlib.Path(directory)
        self.broker_port = free_port()
        self.broker = subprocess.Popen(['mosquitto', '-p', str(self.broker_port)], stderr=subprocess.DEVNULL)
        steps = [a for i in range(POINTS) for a in ('--step', f'{gate(i)}:{PERIODS_MS[i % len(PERIODS_MS)]}')]
        log = self.directory / 'jwsim.txt'
        self.simulator = subprocess.Popen([str(self.build / 'bin/jwsim'), '--baud', '115200', *steps],
                                          stdout=open(log, 'w'), stderr=subprocess.STDOUT)
        wait_until(lambda: 'port ' in log.read_text())
        self.line = re.search(r'^port (\S+)', log.read_text(), re.M).group(1)
        time.sleep(0.5)
        self.host = PrimaryHost(Schema(load_schema(self.build / 'sparkplug_python')), 'bench-host', 'Bench',
                                self.broker_port)
        wait_until(self.host.subscribed.is_set)

    def gateway(self, sparkplug):
        path = self.directory / f'gateway-{int(sparkplug)}.toml'
        path.write_text(config(self.line, self.broker_port, sparkplug))
        return subprocess.Popen([str(self.build / 'bin/jwgate'), '--config', str(path), '--log-level', 'error'])

    def cpu_over(self, sparkplug, seconds):
        gateway = self.gateway(sparkplug)
        time.sleep(3)  # connected, every point read once
        before, metrics = cpu_seconds(gateway.pid), data_metrics(self.host)
        time.sleep(seconds)
        used, metrics = cpu_seconds(gateway.pid) - before, data_metrics(self.host) - metrics
        gateway.terminate()
        gateway.wait(timeout=10)
        return used, metrics

    def first_answer_to_birth(self):
        self.simulator.send_signal(signal.SIGSTOP)
        gateway = self.gateway(True)
        mark = len(self.host.messages)
        wait_until(lambda: index_of(self.host, 'NBIRTH', mark) is not None)
        time.sleep(1)
        mark = len(self.host.messages)
        started = time.monotonic()
        self.simulator.send_signal(signal.SIGCONT)
        wait_until(lambda: index_of(self.host, 'DBIRTH', mark) is not None)
        took = time.monotonic() - started
        return gateway, took

    def rebirths(self, count):
        took = []
        for _ in range(count):
            mark = len(self.host.messages)
            started = time.monotonic()
            self.host.rebirth('line')
            wait_until(lambda: index_of(self.host, 'DBIRTH', mark) is not None)
            took.append(time.monotonic() - started)
            time.sleep(0.3)
        return took

    def close(self):
        for process in (self.simulator, self.broker):
            process.kill()
            process.wait(timeout=10)
        self.host.close()


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else 'build'
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 20
    with tempfile.TemporaryDirectory() as directory:
        bench = Bench(build, directory)
        try:
            with_node, metrics = bench.cpu_over(True, seconds)
            without, _ = bench.cpu_over(False, seconds)
            print(f'sparkplug: {POINTS} points changing every second, {seconds:.0f} s: {metrics} DDATA metrics, '
                  f'jwgate CPU {with_node:.2f} s with the edge node, {without:.2f} s without: '
                  f'{(with_node - without) / max(metrics, 1) * 1e6:.1f} us per DDATA metric '
                  f'(the whole gateway: {with_node / max(metrics, 1) * 1e6:.1f} us per metric)')
            gateway, took = bench.first_answer_to_birth()
            print(f'sparkplug: a station\'s first answer to its DBIRTH: {took * 1000:.0f} ms')
            took = bench.rebirths(5)
            print(f'sparkplug: Rebirth command to the last DBIRTH ({POINTS} metrics): median '
                  f'{statistics.median(took) * 1000:.0f} ms, longest {max(took) * 1000:.0f} ms of {len(took)}')
            gateway.terminate()
            gateway.wait(timeout=10)
        finally:
            bench.close()
    return 0


if __name__ == '__main__':
    sys.exit(main())
