#!/usr/bin/env python3
"""Draws the program's picture (a red rose on black, 62 x 92, 24 bits per pixel)
and its icon (16, 32 and 48 pixels) and writes them as rose.bmp and sonvale.ico.
Run it again after changing the drawing; the images are committed."""
import math
import os
import struct

def rose(w, h, scale=1.0):
    """Returns rows (top first) of (r, g, b) for a rose drawn into w x h."""
    px = [[(0, 0, 0) for _ in range(w)] for _ in range(h)]
    cx, cy = w / 2.0, h * (0.30 if h > w else 0.42)
    r = min(w, h * (0.62 if h > w else 1.0)) * 0.36 * scale
    # Stem and two leaves below the bloom.
    if h > w:
        for y in range(int(cy + r * 0.8), h - 2):
            bend = math.sin((y - cy) / h * 3.0) * 2.0
            for dx in (-1, 0, 1):
                x = int(cx + bend + dx)
                if 0 <= x < w:
                    px[y][x] = (30, 120, 40)
        for side, ly in ((-1, cy + r * 2.2), (1, cy + r * 3.1)):
            for y in range(h):
                for x in range(w):
                    u = (x - (cx + side * r * 0.7)) / (r * 0.75)
                    v = (y - ly) / (r * 0.32)
                    if u * u + v * v <= 1.0:
                        px[y][x] = (40, 140 + int(30 * v), 50)
    # The bloom: a spiral of petals, darker toward the centre.
    for y in range(h):
        for x in range(w):
            dx, dy = (x + 0.5 - cx) / r, (y + 0.5 - cy) / r
            d = math.hypot(dx, dy)
            if d > 1.05:
                continue
            a = math.atan2(dy, dx)
            petal = 0.92 + 0.12 * math.cos(5 * a)
            if d <= petal:
                swirl = 0.5 + 0.5 * math.cos(9.0 * d - 2.0 * a)
                shade = 0.45 + 0.55 * (1.0 - d * 0.6) * (0.55 + 0.45 * swirl)
                px[y][x] = (min(255, int(235 * shade) + 10), int(18 * shade), int(28 * shade))
    return px

def bmp24(px):
    h, w = len(px), len(px[0])
    stride = (w * 3 + 3) & ~3
    body = bytearray()
    for row in reversed(px):
        line = bytearray()
        for (r, g, b) in row:
            line += bytes((b, g, r))
        body += line + b"\0" * (stride - len(line))
    header = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 24, 0, len(body), 2835, 2835, 0, 0)
    return header, bytes(body)

def write_bmp(path, px):
    info, body = bmp24(px)
    offset = 14 + len(info)
    with open(path, "wb") as f:
        f.write(b"BM" + struct.pack("<IHHI", offset + len(body), 0, 0, offset))
        f.write(info + body)

def icon_image(size):
    px = rose(size, size, 1.25)
    h, w = size, size
    info, body = bmp24(px)
    # Icon bitmaps carry twice the height (colour plus AND mask) in the header.
    info = struct.pack("<IiiHHIIiiII", 40, w, h * 2, 1, 24, 0, len(body), 0, 0, 0, 0)
    mask_stride = ((w + 31) // 32) * 4
    mask = b"\0" * (mask_stride * h)
    return info + body + mask

def write_ico(path, sizes):
    images = [icon_image(s) for s in sizes]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for s, img in zip(sizes, images):
        out += struct.pack("<BBBBHHII", s, s, 0, 0, 1, 24, len(img), offset)
        offset += len(img)
    with open(path, "wb") as f:
        f.write(out + b"".join(images))

here = os.path.dirname(os.path.abspath(__file__))
write_bmp(os.path.join(here, "rose.bmp"), rose(62, 92))
write_ico(os.path.join(here, "sonvale.ico"), [16, 32, 48])
