#!/usr/bin/env python3
"""Writes tiny ProTracker modules (M.K., 4 channels) for the tests, and garbage
that is no module. A module holds one looped square-wave note on channels 1 and 2
at 125 BPM, so that every row lasts speed * 20 ms (as EngineTestSupport.h writes).

  modwriter.py OUT.mod [--title T] [--seconds S] [--amplitude A]
  modwriter.py OUT --garbage BYTES
"""

import argparse
import math
import random
import struct
import sys

CHANNELS = 4
ROWS_PER_PATTERN = 64
SAMPLE_BYTES = 64          # two periods of a 32-byte square wave
PERIOD_C = 428             # ProTracker's middle C
HEADER_SIZE = 20 + 31 * 30 + 2 + 128 + 4   # 1084: title, samples, orders, tag
PATTERN_SIZE = ROWS_PER_PATTERN * CHANNELS * 4
TICK_SECONDS = 0.02        # at 125 BPM


def _cell(sample, period, effect, param):
    return bytes(((sample & 0xF0) | ((period >> 8) & 0x0F), period & 0xFF,
                  ((sample & 0x0F) << 4) | (effect & 0x0F), param & 0xFF))


def write_module(title="", orders=1, rows=16, speed=3, amplitude=100):
    """Returns the bytes of a module whose orders play `rows` rows each at
    `speed` ticks a row."""
    orders = max(1, min(orders, 64))
    rows = max(1, min(rows, ROWS_PER_PATTERN))
    speed = max(1, min(speed, 31))   # 32 and above would set the tempo instead
    amplitude = max(0, min(amplitude, 127))
    out = bytearray(HEADER_SIZE + orders * PATTERN_SIZE + SAMPLE_BYTES)

    t = title.encode("latin-1")[:20]
    out[0:len(t)] = t
    sample = 20
    out[sample:sample + 6] = b"square"
    struct.pack_into(">HBBHH", out, sample + 22,
                     SAMPLE_BYTES // 2,   # length in words
                     0, 64,               # finetune, volume
                     0, SAMPLE_BYTES // 2)  # loop start, loop length: the whole sample

    song = 20 + 31 * 30
    out[song] = orders
    out[song + 1] = 127
    for o in range(orders):
        out[song + 2 + o] = o
    out[song + 2 + 128:song + 2 + 128 + 4] = b"M.K."

    last_row = rows - 1
    for p in range(orders):
        base = HEADER_SIZE + p * PATTERN_SIZE

        def put(row, channel, cell):
            at = base + (row * CHANNELS + channel) * 4
            out[at:at + 4] = cell
        if p == 0:
            put(0, 0, _cell(1, PERIOD_C, 0xF, speed))
            put(0, 1, _cell(1, PERIOD_C, 0, 0))
        if last_row < ROWS_PER_PATTERN - 1:
            put(last_row, 2, _cell(0, 0, 0xD, 0))

    data = HEADER_SIZE + orders * PATTERN_SIZE
    for i in range(SAMPLE_BYTES):
        v = amplitude if (i % 32) < 16 else -amplitude
        out[data + i] = v & 0xFF
    return bytes(out)


def layout_for_seconds(seconds, speed=3):
    """(orders, rows) for a song of about `seconds` at this speed."""
    row_seconds = speed * TICK_SECONDS
    total = max(1, int(round(seconds / row_seconds)))
    orders = min(64, math.ceil(total / ROWS_PER_PATTERN))
    rows = max(1, min(ROWS_PER_PATTERN, int(round(total / orders))))
    return orders, rows


def main(argv=None):
    p = argparse.ArgumentParser(description="Writes a tiny ProTracker module (or garbage) for the tests.")
    p.add_argument("out")
    p.add_argument("--title", default="", help="at most 20 characters")
    p.add_argument("--seconds", type=float, default=1.0, help="about how long the song plays")
    p.add_argument("--amplitude", type=int, default=100, help="of the 8-bit square wave (0-127)")
    p.add_argument("--garbage", type=int, metavar="BYTES", help="seeded random bytes instead")
    a = p.parse_args(argv)
    if a.garbage is not None:
        data = random.Random(1).randbytes(a.garbage)
    else:
        data = write_module(a.title, *layout_for_seconds(a.seconds), 3, a.amplitude)
    with open(a.out, "wb") as f:
        f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main())
