#!/usr/bin/env python3
"""Writes one tiny module of each format the decoder keeps (MOD, S3M, XM, IT, MTM,
and UMX around an S3M), each playing a looped square wave from its first row,
and of a format that libopenmpt plays but the player refuses (669); and
the stations' modules of the tests: a MOD of a given title, length and loudness,
or garbage that is no module.

  formats.py --dir DIR         DIR/NAME.EXT for each, NAME the format
  formats.py --header FILE     a C++ header: kFormats[] = {name, kept, bytes}
  formats.py --mod OUT [--title T] [--seconds S] [--amplitude A] [--garbage BYTES]
"""

import argparse
import os
import random
import struct

SQUARE = bytes((100 if i % 32 < 16 else 156) for i in range(64))  # signed 8-bit, +-100
UNSIGNED = bytes(b ^ 0x80 for b in SQUARE)


def at(size, *parts):
    """`size` zero bytes with each (offset, bytes) of `parts` written in."""
    out = bytearray(size)
    for offset, data in parts:
        out[offset:offset + len(data)] = data
    return out


def mod(title=b"mod", orders=1, rows=64, amplitude=100):
    """ProTracker (M.K.): channels 1 and 2 hold the square wave from the first row at
    speed 3 (60 ms a row), through `orders` patterns of `rows` rows (a break ends one)."""
    head = at(1084, (0, title[:20]), (42, struct.pack(">HBBHH", 32, 0, 64, 0, 32)),
              (950, bytes([orders, 127, *range(orders)])), (1080, b"M.K."))
    pattern = at(1024, (0, bytes([0x01, 0xAC, 0x1F, 0x03, 0x01, 0xAC, 0x10, 0x00])))  # C-3, speed 3
    if rows < 64:
        pattern[(rows - 1) * 16 + 10] = 0x0D  # channel 3
    square = bytes((amplitude if i % 32 < 16 else -amplitude) & 0xFF for i in range(64))
    return bytes(head + pattern * orders + square)


def s3m():
    head = at(0x60, (0, b"s3m"), (0x1C, b"\x1A\x10"), (0x20, struct.pack("<HHHHHH", 2, 1, 1, 0, 0x1320, 2)),
              (0x2C, b"SCRM\x40\x06\x7D\xB0"), (0x40, bytes([0, 8] + [255] * 30)))
    tables = bytes([0, 255]) + struct.pack("<HH", 7, 12)  # orders; sample and pattern at 0x70, 0xC0
    sample = at(0x50, (0, b"\x01"), (0x0D, struct.pack("<BHIIIBBBB", 0, 0x11, 64, 0, 64, 64, 0, 0, 1)),
                (0x20, struct.pack("<I", 8363)), (0x4C, b"SCRS"))
    rows = bytes([0x20, 0x40, 1, 0]) + bytes(63)  # channel 0: C-4, sample 1; 63 empty rows
    pattern = struct.pack("<H", len(rows) + 2) + rows
    return bytes(head + tables + bytes(0x70 - 0x66) + sample + pattern + bytes(0x110 - 0xC0 - len(pattern)) + UNSIGNED)


def xm():
    head = at(336, (0, b"Extended Module: xm"), (37, b"\x1A"), (58, struct.pack("<HIHHHHHHHH", 0x104, 276, 1, 0, 2, 1, 1, 1, 6, 125)))
    cells = bytes([0x83, 49, 1, 0x80]) + bytes([0x80, 0x80] * 63)  # C-4, instrument 1; then empty
    pattern = struct.pack("<IBHH", 9, 0, 64, len(cells)) + cells
    instrument = at(263, (0, struct.pack("<I", 263)), (27, struct.pack("<HI", 1, 40)))
    sample = struct.pack("<IIIBbBBbB", 64, 0, 64, 64, 0, 1, 128, 0, 0) + bytes(22)
    deltas = bytes((SQUARE[i] - (SQUARE[i - 1] if i else 0)) & 0xFF for i in range(64))
    return bytes(head + pattern + instrument + sample + deltas)


def it():
    head = at(0xC0, (0, b"IMPMit"), (0x20, struct.pack("<HHHHHHHHBBBBBB", 2, 0, 1, 1, 0x214, 0x214, 9, 0, 128, 48, 6, 125, 128, 0)),
              (0x40, bytes([32] * 64)), (0x80, bytes([64] * 64)))
    tables = bytes([0, 255]) + struct.pack("<II", 0xCA, 0x11A)  # sample and pattern offsets
    rows = bytes([0x81, 0x03, 60, 1, 0]) + bytes(63)  # channel 1: C-5, sample 1
    sample = at(0x50, (0, b"IMPS"), (0x11, bytes([64, 0x11, 64])), (0x2E, bytes([1, 32])),
                (0x30, struct.pack("<IIIIIII", 64, 0, 64, 8363, 0, 0, 0x11A + 8 + len(rows))))
    pattern = struct.pack("<HH", len(rows), 64) + bytes(4) + rows
    return bytes(head + tables + sample + pattern + SQUARE)


def mtm():
    head = at(66, (0, b"MTM\x10mtm"), (24, struct.pack("<HBBHBBBB", 1, 0, 0, 0, 1, 0, 64, 4)))
    sample = at(37, (22, struct.pack("<IIIbB", 64, 0, 64, 0, 64)))
    track = at(192, (0, bytes([24 << 2, 1 << 4, 0])))  # C-5, sample 1
    return bytes(head + sample + bytes(128) + track + struct.pack("<H", 1) + bytes(62) + UNSIGNED)


def index(value):
    """Unreal's compact index of a non-negative value."""
    out = [value & 0x3F | (0x40 if value > 0x3F else 0)]
    value >>= 6
    while value:
        out.append(value & 0x7F | (0x80 if value > 0x7F else 0))
        value >>= 7
    return bytes(out)


def umx():
    inner = s3m()
    names = b"music\0" + bytes(4) + b"song\0" + bytes(4)  # at 36
    imports = bytes([0, 0]) + bytes(4) + bytes([0])        # class "music", at 55
    body = bytes([0, 0]) + index(len(inner)) + inner
    exports = b"\x81\x00" + bytes(4) + b"\x01" + bytes(4) + index(len(body))
    offset = 62 + len(exports) + 3
    exports += index(offset)
    exports += bytes(offset - 62 - len(exports))
    head = b"\xC1\x83\x2A\x9E" + struct.pack("<HHIIIIIII", 61, 0, 0, 2, 36, 1, 62, 1, 55)
    return head + names + imports + exports + body


def f669():
    head = at(497, (0, b"if669"), (110, bytes([1, 1, 0, 0] + [255] * 127)), (241, bytes([4])), (369, bytes([63])))
    sample = at(25, (13, struct.pack("<III", 64, 0, 64)))
    pattern = bytearray(bytes([0xFF, 0x00, 0xFF]) * 512)
    pattern[0:3] = bytes([24 << 2, 0x0F, 0xFF])  # a note of sample 0 at full volume
    return bytes(head + sample + pattern + UNSIGNED)


KEPT = {"mod": mod, "s3m": s3m, "xm": xm, "it": it, "mtm": mtm, "umx": umx}
REFUSED = {"669": f669}


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--dir")
    p.add_argument("--header")
    p.add_argument("--mod")
    p.add_argument("--title", default="")
    p.add_argument("--seconds", type=float, default=1.0)
    p.add_argument("--amplitude", type=int, default=100)
    p.add_argument("--garbage", type=int, help="seeded random bytes of this length instead")
    a = p.parse_args(argv)
    if a.mod:
        rows = max(1, round(a.seconds / 0.06))
        orders = -(-rows // 64)
        data = mod(a.title.encode("latin-1"), orders, round(rows / orders), a.amplitude)
        with open(a.mod, "wb") as f:
            f.write(random.Random(1).randbytes(a.garbage) if a.garbage is not None else data)
    if a.dir:
        os.makedirs(a.dir, exist_ok=True)
        for name, write in {**KEPT, **REFUSED}.items():
            with open(os.path.join(a.dir, "%s.%s" % (name, name)), "wb") as f:
                f.write(write())
    if a.header:
        rows = ["    {\"%s\", %s, {%s}}," % (n, "true" if n in KEPT else "false", ",".join(map(str, w())))
                for n, w in {**KEPT, **REFUSED}.items()]
        with open(a.header, "w") as f:
            f.write("// Written by tests/support/formats.py.\n#pragma once\n#include <cstdint>\n#include <vector>\n"
                    "struct TestFormat { const char* name; bool kept; std::vector<uint8_t> bytes; };\n"
                    "inline const TestFormat kFormats[] = {\n%s\n};\n" % "\n".join(rows))


if __name__ == "__main__":
    main()
