#!/usr/bin/env python3
"""Writes tiny ProTracker modules (M.K., 4 channels) for the tests, and broken
files that are no module.

A valid module holds one square-wave note on channels 1 and 2 (left and right
on an Amiga), looped so it sounds for the whole song, at 125 BPM with a chosen
speed, so that every row lasts speed * 20 ms. It uses the same layout as the
C++ test writer (tests/audio/ModuleWriter.cpp), so both agree on durations.

  modwriter.py OUT.mod [--title T] [--seconds S | --orders N --rows R] [--speed K]
                       [--jump-back-after ORDER] [--amplitude A]
  modwriter.py OUT --broken truncated|garbage|text|empty [--size N] [--seed N]
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


def write_module(title="", orders=1, rows=16, speed=3, jump_back_after=-1, amplitude=100):
    """Returns the bytes of a module whose orders play `rows` rows each at
    `speed` ticks a row. With jump_back_after >= 0, that order's last row jumps
    back to order 0, so the song would loop forever."""
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
        if p == jump_back_after:
            put(last_row, 3, _cell(0, 0, 0xB, 0))
        elif last_row < ROWS_PER_PATTERN - 1:
            put(last_row, 2, _cell(0, 0, 0xD, 0))

    data = HEADER_SIZE + orders * PATTERN_SIZE
    for i in range(SAMPLE_BYTES):
        v = amplitude if (i % 32) < 16 else -amplitude
        out[data + i] = v & 0xFF
    return bytes(out)


def played_seconds(orders=1, rows=16, speed=3, jump_back_after=-1):
    """Seconds the orders before the end (or before the jump back) last."""
    orders = max(1, min(orders, 64))
    played = min(jump_back_after + 1, orders) if jump_back_after >= 0 else orders
    rows = max(1, min(rows, ROWS_PER_PATTERN))
    return played * rows * max(1, min(speed, 31)) * TICK_SECONDS


def layout_for_seconds(seconds, speed=3):
    """(orders, rows) for a song of about `seconds` at this speed."""
    row_seconds = speed * TICK_SECONDS
    total = max(1, int(round(seconds / row_seconds)))
    orders = min(64, math.ceil(total / ROWS_PER_PATTERN))
    rows = max(1, min(ROWS_PER_PATTERN, int(round(total / orders))))
    return orders, rows


def broken(kind, size=None, seed=1):
    """Bytes that no loader should take for a module."""
    if kind == "truncated":   # cut inside the sample headers, before the tag
        return write_module("truncated")[:size if size is not None else 1000]
    if kind == "garbage":
        return random.Random(seed).randbytes(size if size is not None else 4096)
    if kind == "text":
        text = b"This is not a tracker module, only a few lines of text.\r\n" * 64
        return text[:size] if size is not None else text
    if kind == "empty":
        return b""
    raise ValueError("unknown broken kind %r" % kind)


BROKEN_KINDS = ("truncated", "garbage", "text", "empty")


def main(argv=None):
    p = argparse.ArgumentParser(description="Writes a tiny ProTracker module (or a broken file) for the tests.")
    p.add_argument("out", help="file to write ('-' for standard output)")
    p.add_argument("--title", default="", help="song title, at most 20 characters (default: untitled)")
    p.add_argument("--seconds", type=float, help="about how long the song plays (sets --orders and --rows)")
    p.add_argument("--orders", type=int, default=1, help="patterns in the order list (1-64)")
    p.add_argument("--rows", type=int, default=16, help="rows played of each pattern (1-64)")
    p.add_argument("--speed", type=int, default=3, help="ticks a row at 125 BPM, 1-31 (3: 60 ms a row)")
    p.add_argument("--jump-back-after", type=int, default=-1, metavar="ORDER",
                   help="that order's last row jumps back to order 0 (a looping song)")
    p.add_argument("--amplitude", type=int, default=100, help="of the 8-bit square wave (0-127)")
    p.add_argument("--broken", choices=BROKEN_KINDS, help="write a file that is no module instead")
    p.add_argument("--size", type=int, help="--broken garbage/text/truncated: bytes to write")
    p.add_argument("--seed", type=int, default=1, help="--broken garbage: random seed")
    p.add_argument("--print-seconds", action="store_true", help="print the song's playing time")
    a = p.parse_args(argv)

    if a.broken:
        data = broken(a.broken, a.size, a.seed)
        seconds = 0.0
    else:
        if len(a.title.encode("latin-1")) > 20:
            p.error("the title holds at most 20 characters")
        orders, rows = (layout_for_seconds(a.seconds, a.speed) if a.seconds is not None
                        else (a.orders, a.rows))
        data = write_module(a.title, orders, rows, a.speed, a.jump_back_after, a.amplitude)
        seconds = played_seconds(orders, rows, a.speed, a.jump_back_after)
    if a.out == "-":
        sys.stdout.buffer.write(data)
    else:
        with open(a.out, "wb") as f:
            f.write(data)
    if a.print_seconds:
        print("%.3f" % seconds, file=sys.stderr if a.out == "-" else sys.stdout)
    return 0


if __name__ == "__main__":
    sys.exit(main())
