"""Lines of their own on threads of their own: each opens, reads and closes without the others in its way."""
import sys
import threading

import kelwnsrp

THREADS = 4
ROUNDS = 200


def test_threads_open_read_and_close_their_own_lines():
    simulators = [kelwnsrp.Simulator(memory={"01MA0100": 100 + n}) for n in range(THREADS)]
    failures = []  # (thread, round, what went wrong), counted here, outside the threads
    reads = [0] * THREADS
    # Each round starts on every thread at once, so that opens and closes meet
    # each other and the other lines' exchanges (whose pause keeps them on the line).
    together = threading.Barrier(THREADS)

    def rounds(n):
        simulator = simulators[n]
        for round_ in range(ROUNDS):
            together.wait()
            try:
                with kelwnsrp.Line(simulator.port, reply_pause_ms=10, link_timeout_ms=200) as line:
                    value = line.read("01MA0100")
                if value == 100 + n:
                    reads[n] += 1
                else:
                    failures.append((n, round_, f"read {value!r}"))
            except Exception as error:  # every kind counts, kelwnsrp.Error or not
                failures.append((n, round_, repr(error)))

    threads = [threading.Thread(target=rounds, args=(n,)) for n in range(THREADS)]
    # Threads that hold the GIL hand it on often, so that a thread's way into
    # the serial layer meets another's while that one is inside.
    switch_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        requests = [len(simulator.requests) for simulator in simulators]
    finally:
        sys.setswitchinterval(switch_interval)
        for simulator in simulators:
            simulator.close()
    assert len(failures) == 0, f"{len(failures)} of {THREADS * ROUNDS} rounds failed, the first: {failures[:3]}"
    assert reads == [ROUNDS] * THREADS
    # One request per round: no attempt was lost to another thread's open or close.
    assert requests == [ROUNDS] * THREADS
