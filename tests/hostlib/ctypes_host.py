#!/usr/bin/env python3
"""A host written in Python: mirrors the boundary records with ctypes from the
header's layout rule alone (same fields and widths, native pointers, natural
alignment, host gaps as unsigned 32-bit fields) and drives the driver through
KelMain. Exits non-zero on the first mismatch."""
import ctypes
import sys


class LineSettings(ctypes.Structure):
    _fields_ = [("baudRate", ctypes.c_uint16), ("dataBits", ctypes.c_uint16),
                ("stopBits", ctypes.c_uint16), ("parity", ctypes.c_uint16)]


class PortSettings(ctypes.Structure):
    _fields_ = [("portName", ctypes.c_char * 12), ("line", LineSettings),
                ("handshakeFlags", ctypes.c_uint16), ("unused", ctypes.c_uint16)]


class DriverState(ctypes.Structure):
    _fields_ = [("LinkTimeout", ctypes.c_uint32), ("portHandle", ctypes.c_void_p),
                ("portOpen", ctypes.c_uint32), ("portSettings", PortSettings),
                ("WriteEnablePending", ctypes.c_int32)]


class KelRequest(ctypes.Structure):
    _fields_ = [("state", ctypes.POINTER(DriverState)), ("command", ctypes.c_int32),
                ("hostReserved0", ctypes.c_uint32), ("hostReserved1", ctypes.c_uint32),
                ("block", ctypes.c_void_p)]


class OpenRequest(ctypes.Structure):
    _fields_ = [("portName", ctypes.c_char * 12), ("enable", ctypes.c_uint32),
                ("LinkTimeout", ctypes.c_uint32), ("line", LineSettings)]


class DriverInfo(ctypes.Structure):
    _fields_ = [("hostValue1", ctypes.c_uint32), ("name", ctypes.c_char_p),
                ("banner", ctypes.c_char_p), ("hostValue2", ctypes.c_uint32),
                ("hostValue3", ctypes.c_uint32), ("defaultLine", LineSettings),
                ("hostValue4", ctypes.c_uint32)]


class GateAddress(ctypes.Structure):
    _fields_ = [("station", ctypes.c_int32), ("areaKind", ctypes.c_int32), ("address", ctypes.c_int32),
                ("marker", ctypes.c_int32), ("widthBits", ctypes.c_int32)]


class GateCheckRequest(ctypes.Structure):
    _fields_ = [("gas", ctypes.c_char_p), ("hostReserved", ctypes.c_uint32), ("gateType", ctypes.c_uint32),
                ("count", ctypes.c_uint16), ("unused", ctypes.c_uint16), ("address", GateAddress)]


class GateRequest(ctypes.Structure):
    _fields_ = [("gas", ctypes.c_char_p), ("hostReserved0", ctypes.c_uint32), ("address", GateAddress),
                ("valueType", ctypes.c_uint32), ("count", ctypes.c_int32), ("hostReserved1", ctypes.c_uint32),
                ("value", ctypes.c_void_p)]


def check(condition, what):
    if not condition:
        print("ctypes host:", what)
        sys.exit(1)


def main():
    driver = ctypes.CDLL(sys.argv[1])
    kel_main = driver.KelMain
    kel_main.argtypes = [ctypes.POINTER(KelRequest)]
    kel_main.restype = ctypes.c_int32
    state = DriverState()

    def call(command, block=None):
        request = KelRequest(ctypes.pointer(state), command, 7, 9,
                             ctypes.cast(ctypes.pointer(block), ctypes.c_void_p) if block is not None else None)
        result = kel_main(ctypes.byref(request))
        check(request.hostReserved0 == 7 and request.hostReserved1 == 9, "host bytes changed")
        return result

    info = DriverInfo()
    check(call(14, info) == 0, "driver information failed")
    check(info.name == b"Sharp PLC", "driver name %r" % info.name)
    check(len(info.banner) == 379 and info.banner.startswith(b"\n \xc9"), "banner")
    check((info.hostValue1, info.hostValue2, info.hostValue3, info.hostValue4) == (70, 40, 4, 3),
          "fixed values")
    line = info.defaultLine
    check((line.baudRate, line.dataBits, line.stopBits, line.parity) == (9600, 7, 0, 0),
          "default line settings")

    open_block = OpenRequest(b"NUL", 1, 25, LineSettings(19200, 8, 2, 2))
    check(call(1, open_block) == 0, "open NUL failed")
    check(state.portHandle is not None, "no handle stored")
    check(state.LinkTimeout == 25 and state.portOpen == 1, "timeout or open flag not stored")
    stored = state.portSettings
    check(stored.portName == b"NUL" and stored.handshakeFlags == 8, "port settings not stored")
    check((stored.line.baudRate, stored.line.dataBits, stored.line.stopBits, stored.line.parity)
          == (19200, 8, 2, 2), "line settings not stored")
    state.WriteEnablePending = 1
    check(call(2) == 0 and state.WriteEnablePending == 0, "warm start")

    gas = b"01ma1576"
    gate = GateCheckRequest(gas, 5, 0, 0, 0)
    check(call(3, gate) == 0, "gate check")
    found = gate.address
    check((found.station, found.areaKind, found.address, found.marker, found.widthBits) == (1, 4, 894, 255, 16),
          "gate address %r" % ((found.station, found.areaKind, found.address, found.marker, found.widthBits),))
    check(gate.hostReserved == 5, "host field of the gate check changed")
    check(call(4, GateCheckRequest(b"00T0000", 0, 3, 257, 0)) == 1, "block of 257 timers")

    cell = (ctypes.c_uint8 * 4)(1, 2, 3, 4)
    read = GateRequest(gas, 0, found, 0, 1, 0, ctypes.cast(cell, ctypes.c_void_p))
    result = call(6, read)
    check(result == 2, "a read from the null device gets no reply: %d" % result)
    check(list(cell) == [1, 2, 3, 4], "value cell changed by a failed read")
    # 32 bits at the last byte of area A would run past it: refused unsent.
    past = GateRequest(gas, 0, GateAddress(1, 4, 895, 255, 32), 4, 1, 0, ctypes.cast(cell, ctypes.c_void_p))
    check(call(6, past) == 1, "a read past the end of its area")

    check(call(12) == 0 and state.portHandle is None, "close")
    check(call(8) == -1, "command 8 has no handler")
    print("ctypes host: records mirror the driver's layout")


if __name__ == "__main__":
    main()
