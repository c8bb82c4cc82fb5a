#!/usr/bin/env python3
"""Writes the seed corpus of each fuzz target into corpus/<target>/.

Run it after changing an input layout; the files it writes are checked in.
The layouts are those the targets read: see the head of each target.
"""
import os
import shutil
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
R, RT, T, MA, MB, M09, M19, M29, M39 = 0, 1, 3, 4, 5, 6, 7, 8, 9
WIDTH_INDEX = {0: 0, 8: 1, 16: 2, 32: 3}


def checksum(body):
    return '%02X' % ((0x100 - sum(body.encode('latin-1')) % 256) % 256)


def frame(body):
    return '::' + body + checksum(body) + '\r'


def octal(value):
    return '%04o' % value


def station(number):
    return '%02o' % number


def read_request(area, address, width, st):
    """The payload the driver sends for a read, as the controller sees it."""
    head = station(st) + '?0'
    if area in (R, RT):
        field = 'T' + octal(address) if area == RT else '%05o' % address
        return head + 'MRL' + field
    if area == T:
        return head + 'MTC' + octal(address) * 2
    char = {MA: 'A', MB: 'B', M09: '0', M19: '1', M29: '2', M39: '3'}[area]
    last = address + width // 8 - 1

    def reg(a):
        text = octal(a)
        return '9' + text[1:] if area >= M09 else text
    return head + 'MRG' + char + reg(address) + char + reg(last)


def reply(request, data, status='#0'):
    return request[:2] + status + request[4:] + data


def ack(st, mnemonic, status='#0'):
    return station(st) + status + mnemonic


def chunks(*parts):
    out = b''
    for part in parts:
        raw = part.encode('latin-1')
        out += struct.pack('<H', len(raw)) + raw
    return out


def write(target, name, data):
    with open(os.path.join(HERE, 'corpus', target, name), 'wb') as f:
        f.write(data if isinstance(data, bytes) else data.encode('latin-1'))


def gate_address():
    t = 'fuzz_gate_address'
    cases = [
        ('ma_16', 0, 0, 1, '01MA0100'), ('ma_last', 1, 4, 1, '01MA1577'), ('ma_past_end', 0, 0, 1, '01MA1600'),
        ('mb_byte', 0, 0, 1, '01MB0010B'), ('mb_past_end', 0, 0, 1, '01MB1000'), ('m09_32', 0, 4, 1, '01M09020'),
        ('m19', 0, 5, 1, '12M19777'), ('m29_block', 1, 0, 512, '01M29000'), ('m39', 0, 1, 1, '77m39777b'),
        ('relay', 0, 6, 1, '01R00001'), ('relay_last', 0, 6, 1, '01R15777'), ('relay_past_end', 0, 6, 1, '01R16000'),
        ('relay_t', 0, 6, 1, '01RT0017'), ('relay_t_past_end', 0, 6, 1, '01RT0400'), ('timer', 0, 0, 1, '01T0005'),
        ('timer_block', 1, 1, 256, '77t0377'), ('timer_block_too_many', 1, 0, 257, '01T0005'),
        ('relay_as_analog', 0, 0, 1, '01R00001'), ('register_as_digital', 0, 6, 1, '01MA0100'),
        ('relay_block', 1, 6, 4, '01R00001'), ('file_without_9', 0, 0, 1, '01M00100'),
        ('ma_with_9', 0, 0, 1, '01MA9100'), ('bad_letter', 0, 0, 1, '01X00001'), ('empty', 0, 0, 1, ''),
        ('too_long', 0, 0, 1, '01MA01000000'), ('station_not_octal', 0, 0, 1, '81MA0100'),
        ('gate_type_none', 0, 2, 1, '01MA0100'), ('gate_type_8', 1, 8, 9, '01MB0777'),
    ]
    for name, order, gate_type, count, gas in cases:
        write(t, name, bytes([order, gate_type]) + struct.pack('<H', count) + gas.encode('latin-1'))


def gate_head(area, address, width, value_type, st):
    return bytes([area]) + struct.pack('<H', address) + bytes([WIDTH_INDEX[width], value_type, st])


def read_reply():
    t = 'fuzz_read_reply'
    gates = {
        'relay': (R, 0o1234, 0, 6, 1, '1'), 'relay_station12': (R, 4096, 0, 4, 0o12, '0'),
        'relay_t': (RT, 0o17, 0, 6, 1, '1'), 'timer': (T, 5, 16, 0, 1, '341204'),
        'counter_float': (T, 5, 16, 3, 1, '341202'), 'timer_withheld': (T, 5, 16, 4, 1, '341207'),
        'ma_16': (MA, 0o100, 16, 1, 1, '3412'), 'mb_8_digital': (MB, 0o10, 8, 6, 1, 'FF'),
        'm09_32': (M09, 0o20, 32, 5, 1, '78563412'), 'm39_last': (M39, 0o776, 16, 4, 0o77, 'ABCD'),
    }
    for name, (area, address, width, value_type, st, data) in gates.items():
        request = read_request(area, address, width, st)
        head = gate_head(area, address, width, value_type, st)
        write(t, name, head + chunks(frame(reply(request, data))))
        good = frame(reply(request, data))
        damaged = good[:-3] + ('00' if good[-3:-1] != '00' else '01') + '\r'
        write(t, name + '_after_garbage', head + chunks('xyz', damaged, good))
    request = read_request(MA, 0o100, 16, 1)
    head = gate_head(MA, 0o100, 16, 0, 1)
    write(t, 'no_reply', head)
    write(t, 'error_status', head + chunks(*[frame(ack(1, 'MRG', '%05'))] * 5))
    write(t, 'write_mode_status', head + chunks(frame(ack(1, 'MRG', '%10')), frame(reply(request, '0100'))))
    write(t, 'bad_checksums', head + chunks(*[frame(reply(request, '3412'))[:-3] + '00\r'] * 5))
    write(t, 'too_short', head + chunks(*[frame(reply(request, '34'))] * 5))
    write(t, 'other_station', head + chunks(frame('02' + reply(request, '3412')[2:])))
    write(t, 'over_long', head + chunks('::' + 'A' * 700 + '\r', frame(reply(request, '3412'))))
    write(t, 'split_reply', head + chunks(frame(reply(request, '3412'))[:9], frame(reply(request, '3412'))[9:]))
    write(t, 'no_header', head + chunks(*[reply(request, '3412')] * 5))
    write(t, 'no_width', gate_head(MA, 0o100, 0, 0, 1) + chunks(frame(reply(request, '3412'))))
    write(t, 'area_2', gate_head(2, 0, 16, 0, 1))
    write(t, 'station_64', gate_head(MA, 0o100, 16, 0, 64))


def write_reply():
    t = 'fuzz_write_reply'

    def head(area, address, width, value_type, st, flags, value):
        return gate_head(area, address, width, value_type, st) + bytes([flags]) + struct.pack('<I', value)
    relay_on = 1 << 16  # types 0, 1 and 6 take the upper half of the cell
    write(t, 'relay', head(R, 1, 0, 6, 1, 0, relay_on) + chunks(frame(ack(1, 'SRR'))))
    write(t, 'relay_t', head(RT, 0o17, 0, 6, 0o12, 0, relay_on) + chunks(frame(ack(0o12, 'SRR'))))
    write(t, 'timer', head(T, 5, 16, 0, 1, 0, 1 << 16) + chunks(frame(ack(1, 'SRT'))))
    write(t, 'ma_16', head(MA, 0o100, 16, 0, 1, 0, 0x1234 << 16) + chunks(frame(ack(1, 'WRG'))))
    write(t, 'm09_32', head(M09, 0o20, 32, 4, 1, 0, 0x12345678) + chunks(frame(ack(1, 'WRG'))))
    write(t, 'mb_8_too_big', head(MB, 0o10, 8, 0, 1, 0, 300 << 16) + chunks(frame(ack(1, 'WRG'))))
    write(t, 'mb_8', head(MB, 0o10, 8, 0, 1, 0, 200 << 16) + chunks(frame(ack(1, 'WRG'))))
    write(t, 'write_mode_pending', head(MA, 0o100, 16, 0, 1, 4, 0x1234 << 16) +
          chunks(frame(ack(1, 'EWR')), frame(ack(1, 'WRG')), frame(ack(1, 'EWR'))))
    write(t, 'write_mode_asked', head(MA, 0o100, 16, 0, 1, 0, 0x1234 << 16) +
          chunks(frame(ack(1, 'WRG', '%10')), frame(ack(1, 'EWR')), frame(ack(1, 'WRG')), frame(ack(1, 'EWR'))))
    write(t, 'write_mode_refused', head(MA, 0o100, 16, 0, 1, 4, 0x1234 << 16) +
          chunks(*[frame(ack(1, 'EWR', '%01'))] * 5))
    write(t, 'marked_unmarked', head(MA, 0o100, 16, 0, 1, 1, 0x1234 << 16))
    write(t, 'marked', head(MA, 0o100, 16, 0, 1, 3, 0x1234 << 16) + chunks(frame(ack(1, 'WRG'))))
    write(t, 'no_reply', head(MA, 0o100, 16, 0, 1, 0, 0x1234 << 16))
    write(t, 'bad_checksum', head(MA, 0o100, 16, 0, 1, 0, 5 << 16) + chunks(*['::01#0WRG00\r'] * 5))
    write(t, 'error_then_ack', head(T, 5, 16, 1, 1, 0, 0) +
          chunks(frame(ack(1, 'SRT', '%06')), 'garbage', frame(ack(1, 'SRT'))))
    write(t, 'relay_value_2', head(R, 1, 0, 6, 1, 0, 2 << 16) + chunks(frame(ack(1, 'SRR'))))
    write(t, 'value_type_2', head(MA, 0o100, 16, 2, 1, 0, 1) + chunks(frame(ack(1, 'WRG'))))


def configuration():
    t = 'fuzz_configuration'
    cases = {
        'plain': 'WAITINGTIME 100\n', 'lower_crlf': 'waitingtime 0\r\n', 'negative': 'WAITINGTIME -1\n',
        'wraps': 'WAITINGTIME 65536\n', 'spaced': '  WAITINGTIME\t250  \n', 'second_line': 'OTHER 5\nWAITINGTIME 20\n',
        'empty': '', 'no_number': 'WAITINGTIME\n', 'not_a_number': 'WAITINGTIME x\n',
        'many_digits': 'WAITINGTIME 99999999999999999999\n', 'no_line_end': 'WAITINGTIME 7',
        'long_line': 'x' * 79 + 'WAITINGTIME 30\n', 'key_split_by_piece': 'x' * 75 + ' WAITINGTIME 30\n',
        'last_wins': 'WAITINGTIME 1\nWAITINGTIME 2\n', 'cr_only': 'WAITINGTIME 5\rWAITINGTIME 6\r',
    }
    for name, text in cases.items():
        write(t, name, text)


def port_name():
    t = 'fuzz_port_name'

    def field(name):
        raw = name.encode('latin-1')
        return raw + b'\0' * (12 - len(raw))
    cases = [
        ('com1_pts', 'COM1', 'pts/3', 64), ('nul_twice', 'NUL', 'NUL', 10), ('usb_com1', 'ttyUSB0', 'COM1', 5),
        ('absolute', '/dev/ttyS0', 'pts/3', 11), ('com10', 'COM10', 'ttyUSB0', 12), ('climbs', '../etc/x', 'COM1', 64),
        ('unterminated_open', 'ABCDEFGHIJKL', 'COM1', 64), ('unterminated_change', 'pts/3', 'ABCDEFGHIJKL', 64),
        ('empty', '', '', 0), ('same_name', 'pts/3', 'pts/3', 1), ('eleven', 'ttyUSB0ABCD', 'COM999999', 20),
    ]
    for name, first, second, size in cases:
        write(t, name, field(first) + field(second) + bytes([size]))


# Inputs the fuzzers once found faults with, kept so that they stay mended.
REGRESSIONS = {
    'fuzz_read_reply': {
        'checksum_digit_P_for_9': '0440000204011a003a3a303123304d5247413031303041303130313334313250370d',
        'timer_checksum_digits_quote_for_B':
            '0305000203011a003a3a303123304d5443303030353030303533343132303222320d',
    },
    'fuzz_write_reply': {
        'checksum_digit_L_for_5': '04400002000100000034120c003a3a303123305752474c430d',
    },
}


def regressions():
    for target, cases in REGRESSIONS.items():
        for name, hex_input in cases.items():
            write(target, name, bytes.fromhex(hex_input))


if __name__ == '__main__':
    for target, make in [('fuzz_gate_address', gate_address), ('fuzz_read_reply', read_reply),
                         ('fuzz_write_reply', write_reply), ('fuzz_configuration', configuration),
                         ('fuzz_port_name', port_name)]:
        shutil.rmtree(os.path.join(HERE, 'corpus', target), ignore_errors=True)
        os.makedirs(os.path.join(HERE, 'corpus', target))
        make()
    regressions()
