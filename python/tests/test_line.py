"""kelwnsrp.Line against the simulator: what a script sees and what goes on the line."""
import re
import threading

import pytest

import kelwnsrp


@pytest.mark.parametrize("address, stored, read", [
    ("01R00003", 1, 1),
    ("01RT0017", 1, 1),
    ("01T0005", 1234, 1234),
    ("01MA0100B", 0xAB, 0xAB),
    ("01MA0100", 0x1234, 0x1234),
    ("01MA0100:32", 0x12345678, 0x12345678),
    ("01MA0100:32", -2, 0xFFFFFFFE),
    ("01MA0100:float", -7, -7.0),
    ("01M09100", 513, 513),
])
def test_reads_every_kind_of_gate(jwsim, jwline, address, stored, read):
    jwsim.memory[address] = stored
    value = jwline.read(address)
    assert value == read and type(value) is type(read)


@pytest.mark.jwsim(write_protected=True)
def test_a_write_goes_through_write_protection(jwsim, jwline):
    jwline.write("01MA0100", -2)
    assert jwsim.memory["01MA0100"] == 0xFFFE
    # Refused for write mode, then write mode on, the write again, write mode off.
    assert [frame[6:9] for frame in jwsim.requests] == ["WRG", "EWR", "WRG", "EWR"]


def test_read_many_takes_the_planners_exchanges(jwsim, jwline):
    jwsim.memory["01MA0100"] = 0x0102
    jwsim.memory["01MA0104B"] = 9
    jwsim.memory["01R01010"] = 1  # bit 0 of MA0101
    jwsim.memory["01T0001"] = 11
    jwsim.memory["01T0003"] = 33
    jwsim.memory["01RT0001"] = 1
    values = jwline.read_many(["01T0003", "01MA0100", "01RT0001", "01MA0104B", "01R01010", "01T0001"])
    assert values == [33, 0x0102, 1, 9, 1, 11]
    # One register run, one timer run, one RT relay.
    assert sorted(frame[6:9] for frame in jwsim.requests) == ["MRG", "MRL", "MTC"]


@pytest.mark.jwline(link_timeout_ms=50, reply_pause_ms=0)
@pytest.mark.parametrize("call, fault, error, message", [
    (lambda line: line.read("01MA01000B"), None, kelwnsrp.GateAddressError,
     "KELSRP: GAS 01MA01000B length isn't correct"),
    (lambda line: line.read("01XA0100"), None, kelwnsrp.GateAddressError, "KELSRP: GAS 01XA0100 isn't correct"),
    (lambda line: line.read_many(["01MA0100", "01MA0100:8"]), None, kelwnsrp.GateAddressError,
     "01MA0100: an 8-bit gate is written with a B at the end (e.g. 01MA0100B)"),
    (lambda line: line.write("01MA0100B", 256), None, kelwnsrp.ValueRangeError,
     "KELSRP: Write failed Value out of range. GAS=01MA0100B "
     "(an 8-bit register takes 0 to 255, or -128 to -1 as two's complement)"),
    (lambda line: line.write("01MA0100:float", 1.5), None, kelwnsrp.ValueRangeError, "whole numbers only"),
    (lambda line: line.read("01MA0100"), "no-reply", kelwnsrp.NoAnswer, "01MA0100: no answer after 5 attempt(s)"),
    # The timer run is planned first; its failure ends the call.
    (lambda line: line.read_many(["01MA0100", "01T0005"]), "no-reply", kelwnsrp.NoAnswer,
     "01T0005: no answer after 5 attempt(s)"),
    (lambda line: line.read("01MA0100"), "error-status", kelwnsrp.Refused,
     "01MA0100: KELSRP : Status Error: STS = b"),
])
def test_each_failure_raises_its_exception_with_the_drivers_message(jwsim, jwline, call, fault, error, message):
    if fault:
        jwsim.fault(fault, count=5)
    with pytest.raises(error) as raised:
        call(jwline)
    assert isinstance(raised.value, kelwnsrp.Error)
    assert message in str(raised.value)
    if fault is None:
        assert jwsim.requests == []  # refused before anything is sent
    else:
        assert len(jwsim.requests) == 5
    if error is kelwnsrp.Refused:
        assert raised.value.status == 0x0B


@pytest.mark.jwsim(baud=9600)
def test_a_fault_costs_one_attempt_on_a_paced_line(jwsim, jwline):
    jwsim.memory["01MA0100"] = 77
    jwsim.fault("wrong-checksum")
    assert jwline.read("01MA0100") == 77
    assert len(jwsim.requests) == 2


def test_the_trace_sees_every_frame_as_kelhost_shows_it(jwsim, jwline):
    jwsim.memory["01MA0100"] = 0x1234
    frames = []
    jwline.trace = lambda direction, frame: frames.append((direction, frame))
    jwline.read("01MA0100")
    jwline.trace = None
    jwline.read("01MA0100")
    assert frames == [("<", "::01?0MRGA0100A010145\\r"), (">", "::01#0MRGA0100A0101341297\\r")]


@pytest.mark.jwline(reply_pause_ms=0)
def test_two_threads_share_a_line(jwsim, jwline):
    jwsim.memory["01MA0100"] = 100
    jwsim.memory["01MA0200"] = 200
    frames = []
    jwline.trace = lambda direction, frame: frames.append(direction)
    results = {}

    def reads(address):
        results[address] = [jwline.read(address) for _ in range(50)]

    threads = [threading.Thread(target=reads, args=(address,)) for address in ("01MA0100", "01MA0200")]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert results == {"01MA0100": [100] * 50, "01MA0200": [200] * 50}
    # Calls take turns: every request is followed by its own reply.
    assert frames == ["<", ">"] * 100 and len(jwsim.requests) == 100


def test_a_closed_line_refuses_calls(jwline):
    jwline.close()
    jwline.close()
    assert jwline.closed
    with pytest.raises(kelwnsrp.Error, match="the line is closed"):
        jwline.read("01MA0100")


@pytest.mark.parametrize("make, error, message", [
    (lambda: kelwnsrp.Line("/dev/no-such-port"), kelwnsrp.Error,
     "cannot open port /dev/no-such-port: No such file or directory"),
    (lambda: kelwnsrp.Line("/dev/null", parity="sometimes"), ValueError, "parity is none, odd, even"),
    (lambda: kelwnsrp.Simulator(memory={"02MA0100": 1}), kelwnsrp.GateAddressError, "does not serve that station"),
    (lambda: kelwnsrp.Simulator().fault("lightning"), ValueError, "no fault named lightning (no-reply, "),
])
def test_bad_settings_are_refused(make, error, message):
    with pytest.raises(error, match=re.escape(message)):
        make()


def test_a_port_another_line_holds_is_refused_in_the_systems_words(jwsim, jwline):
    busy = re.escape(f"cannot open port {jwsim.port}: Device or resource busy") + "$"
    with pytest.raises(kelwnsrp.Error, match=busy):
        kelwnsrp.Line(jwsim.port)
    jwline.close()
    with kelwnsrp.Line(jwsim.port) as line:  # free again once closed
        assert not line.closed


def test_the_simulator_loads_a_jwsim_memory_file(tmp_path):
    memory = tmp_path / "memory.txt"
    memory.write_text("01MA0100 = 0x1234\n01T0005 = 120 counter\n")
    with kelwnsrp.Simulator(memory=memory) as simulator:
        assert (simulator.memory["01MA0100"], simulator.memory["01T0005"]) == (0x1234, 120)
