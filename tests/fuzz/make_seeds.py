#!/usr/bin/env python3
"""Writes the seed corpora under corpus/<target>/ from the cases the unit
tests use. Each file is named after what it holds; running it again gives
the same files."""
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
seeds = {}


def seed(target, name, data):
    seeds.setdefault(target, {})[name] = data


def u16(v):
    return struct.pack('<H', v & 0xFFFF)


def u24(v):
    return struct.pack('<I', v)[:3]


# Replies, as fuzz_replies.h reads them: kind, length, data.
def length(n):
    return bytes([n]) if n < 255 else bytes([255, n - 255])


def good(data=b''):
    return bytes([0]) + length(len(data)) + data


def check(key, asc, ascq=0):
    s = bytes([0x70, 0, key, 0, 0, 0, 0, 10, 0, 0, 0, 0, asc, ascq, 0, 0, 0, 0])
    return bytes([1, len(s)]) + s


def fails(errno=5):
    return bytes([2, 1, errno])


def busy():
    return bytes([3, 0])


# ---- build_select_list: n, states, count byte, default, line
readings = ['1,3-4', '3-5', '1 3', '1, 3', '', '0', 'x', '2,0,4', '3-9', '5-3', '7',
            '   ', '2,2', '99999999999999999999', '1-', '-3', '5-', '1,,2', '4 - 5']
for i, line in enumerate(readings):
    seed('select', 'reading_%02d' % i, bytes([5] + [1] * 5 + [0]) + u16(1) +
         line.encode() + b'\n\n\n\n')
# Busy devices named twice, a table count beyond the list, an empty list.
seed('select', 'busy', bytes([3, 6, 5, 2, 0]) + u16(1) + b'1-2\n')
seed('select', 'count_beyond_list', bytes([2, 1, 1, 40]) + u16(0) + b'1-30\n')
seed('select', 'empty_list', bytes([0, 0]) + u16(0) + b'1\n\n')
seed('select', 'forty', bytes([40] + [1, 0, 2, 3, 4, 5, 6, 200] * 5 + [0]) + u16(39) +
     b'1-40,40-1 7 39\n\n\n')
seed('select', 'long_line', bytes([5] + [1] * 5 + [0]) + u16(1) + b'1 ' * 300 + b'\n')
seed('select', 'no_newline', bytes([5] + [1] * 5 + [0]) + u16(1) + b'2-4')

# ---- unlock: mode, target size, script length, script, file
line = b'00000000:' + b'0123456789ABCDEF' * 4 + b'X\n'
page = bytes([0x88, 0, 0, 72]) + bytes(range(1, 73))
exchange = good() + good(page[:6]) + good(page)
script = exchange * 2 + good() + good()
seed('unlock', 'proper_image', bytes([1]) + u24(1540 * len(line)) + u16(len(script)) +
     script + line)
seed('unlock', 'two_drives', bytes([3]) + u24(1540 * len(line)) + u16(len(script)) +
     script + line)
seed('unlock', 'long_page', bytes([1]) + u24(1540 * len(line)) +
     u16(len(script)) + (good() + good(bytes([0x88, 0, 0, 200])) + good(bytes(255))) * 2 +
     line)
seed('unlock', 'start_stop_fails', bytes([1]) + u24(1540 * len(line)) +
     u16(len(exchange) * 2 + len(check(2, 0x3A))) + exchange * 2 + check(2, 0x3A) + line)
seed('unlock', 'send_fails', bytes([1]) + u24(1540 * len(line)) +
     u16(len(check(5, 0x26))) + check(5, 0x26) + line)
seed('unlock', 'small_file', bytes([0]) + u24(0) + u16(0) + line * 3)
seed('unlock', 'no_newline', bytes([1]) + u24(60000) + u16(0) + b'0123456789abcdef')
seed('unlock', 'half_pair', bytes([1]) + u24(115203) + u16(0) + line)
seed('unlock', 'newline_in_pairs', bytes([1]) + u24(120000) + u16(0) +
     b'hdr\n000000:' + b'0\n' * 40 + b'\n')

# ---- scsi_printerr and string_dump
def sense_case(sense, cdb, label=b'sense:  ', fmt=0, length=18, text_size=1600, prefix=0,
               data=b''):
    request = bytes(56)  # sizeof(uscsi_request) on x86_64
    return (bytes([len(sense) - 1]) + sense + bytes([len(cdb)]) + cdb + request +
            bytes([len(label)]) + label + bytes([fmt]) + u16(length) + u16(text_size) +
            u16(prefix) + data)


not_ready = bytes([0x70, 0, 2, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x3A, 0, 0, 0, 0, 0])
illegal = bytes([0xF0, 0, 5, 0, 0, 1, 0, 14, 0, 0, 0, 0, 0x24, 0, 0, 0, 0, 0, 0, 0])
seed('sense', 'not_ready_tur', sense_case(not_ready, bytes(6)))
seed('sense', 'illegal_request_wb', sense_case(illegal, bytes([0x3B, 4, 0, 0, 0, 0, 1, 0, 0, 0]),
                                              b'    Data out: ', 1, 300, 1600, 1500,
                                              bytes(range(256)) * 2))
seed('sense', 'one_byte', sense_case(b'\x72', b'\x12', b'cmd:    ', 0, 36, 40, 10, bytes(36)))
seed('sense', 'sixteen_cdb', sense_case(bytes([0xF0, 0, 0x0F, 0xFF, 0xFF, 0xFF, 0xFF, 255]) +
                                        bytes(12), bytes(range(16)), b'x' * 255, 1, 17, 4096, 0,
                                        b'ABCDEFGHIJKLMNOPQ'))

# ---- inquiry and receive_diagnostic: command, trace level, size, bits, page, script
vpd = bytes([1, 0x80, 0, 12]) + b'ABC123      '
std = bytes([1, 0x80, 6, 2, 91, 0, 0, 0]) + b'HP      Ultrium 6-SCSI  J5SW' + b'vendorbytes!'
stk = bytes([1, 0x80, 6, 2, 91, 0, 0, 0]) + b'STK     T10000C         1.57' + b'ABCDEFGHIJKL'
seed('inquiry', 'serial_page', bytes([0, 1]) + u16(0) + b'\0\0' + good(vpd[:4]) + good(vpd) +
     good(std))
seed('inquiry', 'stk_serial', bytes([0, 0]) + u16(0) + b'\0\0' + good(vpd[:4]) + good(vpd) +
     good(stk))
seed('inquiry', 'long_serial', bytes([0, 2]) + u16(0) + b'\0\0' + good(bytes([0, 0x80, 0, 252])) +
     good(bytes([0, 0x80, 0, 252]) + b'S' * 252) + good(std))
seed('inquiry', 'no_serial_page', bytes([0, 1]) + u16(0) + b'\0\0' + check(5, 0x24) + good(std))
seed('inquiry', 'blank_serial', bytes([0, 0]) + u16(0) + b'\0\0' + good(bytes([0, 0x80, 0, 8])) +
     good(bytes([0, 0x80, 0, 8]) + b' ' * 8) + good(std))
seed('inquiry', 'diag_page_72', bytes([1, 1]) + u16(76) + b'\0\0' + good(page[:6]) + good(page))
seed('inquiry', 'diag_page_long', bytes([1, 0]) + u16(76) + b'\0\0' +
     good(bytes([0x88, 0, 0xFF, 0xFF, 0, 0])) + good(bytes(255)))
seed('inquiry', 'diag_header_fails', bytes([1, 1]) + u16(76) + b'\0\0' + fails(16))
seed('inquiry', 'diag_busy', bytes([1, 0]) + u16(3) + b'\x01\x88' + busy())

# ---- time_delta: unit, start, end
stamps = [('12/31/2023 23:59:50 ', '01/01/2024 00:00:20 ', 3),
          ('02/28/2024 12:00:00 ', '03/01/2024 12:00:00 ', 0),
          ('01/01/2000 00:00:00 ', '01/01/2400 00:00:00 ', 0),
          ('06/15/2025 10:00:00 ', '06/15/2025 10:01:30 ', 2),
          ('06/15/2025 10:00:00 ', '06/15/2025 11:29:30 ', 1),
          ('06/15/2025 10:00:30 ', '06/15/2025 10:00:00 ', 3),
          ('07-04-2025 12:34:56 ', '07/04/2025 12:34:56 ', 3),
          ('13/01/2025 00:00:00 ', '07/04/2025 12:34:56 ', 3),
          ('01/01/2025 00:00:00 ', '01/01/99999999999 00:00:00 ', 0),
          ('07/04/2025 12:34:56 ', '07/04/2025 12:34:56 ', 4)]
for i, (a, b, unit) in enumerate(stamps):
    seed('time_delta', 'stamps_%02d' % i, bytes([unit & 0xFF]) + a.encode() + b'\0' + b.encode())

# ---- download: row, [row fields], INQUIRY byte 0, flags, image length,
# host limit, script
def u32(v):
    return struct.pack('<I', v & 0xFFFFFFFF)


def dl(row, byte0, flags, size, host=0, script=b'', fields=b''):
    return bytes([row]) + fields + bytes([byte0, flags]) + u24(size) + u32(host) + script


limits = good(bytes([0, 0xFF, 0xFF, 0xFF, 0, 1]))
empty = check(2, 0x3A)
seed('download', 'ibm_tape', dl(9, 1, 0, 11000, 0, limits + empty))
seed('download', 'hp_ultrium_closing', dl(7, 1, 0, 8192 + 100, 0, good(bytes([0, 0, 0x20, 0, 0, 1])) + empty))
seed('download', 'seagate_ultrium_optical', dl(12, 5, 0, 11000))
seed('download', 'single_command_too_big', dl(3, 1, 0, 11000, 0, good(bytes([0, 0, 0x08, 0, 0, 1]))))
seed('download', 'fixed_512_not_divisible', dl(9, 1, 0, 1000, 0,
                                               good(bytes([0, 0, 2, 0, 2, 0])) + empty))
seed('download', 'limits_zero', dl(10, 1, 0, 11000, 0, good(bytes(6)) + empty))
seed('download', 'usb_bridge_limit', dl(17, 5, 0, 11000, 4096))
seed('download', 'second_write_fails', dl(9, 1, 0, 11000, 0,
                                          limits + empty + good() + check(5, 0x26)))
seed('download', 'loaded_then_unloads', dl(4, 1, 1, 11000, 0,
                                           limits + good() + good() + empty))
seed('download', 'debug', dl(13, 1, 2, 11000, 0, limits + empty))
seed('download', 'own_row_changer', dl(200, 8, 0, 5000, 0, b'', bytes([6, 1, 0, 0, 1, 2]) +
                                       u32(1024) + u32(0)))
seed('download', 'empty_image_closing', dl(12, 5, 0, 0))

for target, files in seeds.items():
    d = os.path.join(HERE, 'corpus', target)
    os.makedirs(d, exist_ok=True)
    for name, data in files.items():
        with open(os.path.join(d, name), 'wb') as f:
            f.write(data)
    os.makedirs(os.path.join(HERE, 'regressions', target), exist_ok=True)
print(sum(len(f) for f in seeds.values()), 'seeds', file=sys.stderr)
