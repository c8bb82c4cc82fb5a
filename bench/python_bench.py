#!/usr/bin/env python3
"""Reads per second through kelwnsrp.Line against the same reads through the
link layer in C++ (link_reads), in turns on one pseudo-terminal that the
jwsim program serves from a process of its own (so neither reader shares a
process with the simulator), and what the jwsim fixture's start and stop
cost. A report, not a test.
usage: PYTHONPATH=build/python python3 bench/python_bench.py BUILD_DIR [READS]"""
import statistics
import subprocess
import sys
import time

import kelwnsrp


def python_reads(port, count):
    with kelwnsrp.Line(port, reply_pause_ms=0, link_timeout_ms=1000) as line:
        for _ in range(200):  # untimed, as link_reads warms up
            line.read("01MA0100")
        start = time.perf_counter()
        for _ in range(count):
            line.read("01MA0100")
        return count / (time.perf_counter() - start)


def cpp_reads(build, port, count):
    output = subprocess.run([f"{build}/bin/link_reads", port, str(count)], check=True, capture_output=True, text=True)
    return float(output.stdout.split()[1])


def main():
    build = sys.argv[1]
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 2000
    rounds = 9
    python, cpp = [], []
    simulator = subprocess.Popen([f"{build}/bin/jwsim", "--station", "01"], stdout=subprocess.PIPE, text=True)
    try:
        port = next(line.split()[1] for line in simulator.stdout if line.startswith("port "))
        for _ in range(rounds):
            cpp.append(cpp_reads(build, port, count))
            python.append(python_reads(port, count))
    finally:
        simulator.terminate()
        simulator.wait()
    # The best round says what each can do; the median what a busy machine let it.
    print(f"reads of one 16-bit register, {count} a round, {rounds} rounds in turns:")
    print(f"  C++ link layer   median {statistics.median(cpp):7.0f} reads/s, best {max(cpp):7.0f}")
    print(f"  Python (Line)    median {statistics.median(python):7.0f} reads/s, best {max(python):7.0f}")
    print(f"  ratio            median {statistics.median(python) / statistics.median(cpp):7.2f}, "
          f"best {max(python) / max(cpp):7.2f}")
    starts = []
    for _ in range(50):
        start = time.perf_counter()
        with kelwnsrp.Simulator():
            pass
        starts.append((time.perf_counter() - start) * 1000)
    print(f"jwsim fixture's simulator, start and stop: median {statistics.median(starts):.2f} ms, "
          f"max {max(starts):.2f} ms (50 runs)")


if __name__ == "__main__":
    main()
