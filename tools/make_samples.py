#!/usr/bin/env python3
"""Draws the sample images in samples/: two source pictures and three textures.

Everything is computed here from formulas (no downloaded material), so the samples can be
made again byte for byte: python3 tools/make_samples.py
Textures are centred on the neutral grey 191, which leaves the source unchanged.
"""
import math
import os
import random
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "..", "samples")


def clamp(v):
    return max(0, min(255, int(round(v))))


def write_png(path, w, h, pixel):
    raw = bytearray()
    for y in range(h):
        raw.append(0)
        for x in range(w):
            raw.extend(pixel(x, y))
    def chunk(tag, data):
        c = struct.pack(">I", len(data)) + tag + data
        return c + struct.pack(">I", zlib.crc32(tag + data) & 0xFFFFFFFF)
    png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b"")
    with open(path, "wb") as f:
        f.write(png)


def write_bmp(path, w, h, pixel):
    stride = (w * 3 + 3) & ~3
    body = bytearray()
    for y in range(h - 1, -1, -1):
        row = bytearray()
        for x in range(w):
            r, g, b = pixel(x, y)
            row.extend((b, g, r))
        row.extend(b"\0" * (stride - len(row)))
        body.extend(row)
    header = struct.pack("<2sIHHI", b"BM", 54 + len(body), 0, 0, 54)
    info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 24, 0, len(body), 2835, 2835, 0, 0)
    with open(path, "wb") as f:
        f.write(header + info + body)


def landscape(x, y, w=640, h=427):
    """Evening sky, sun, two ranges of hills and a lake."""
    sky_t = y / (h * 0.62)
    if y < h * 0.62:
        r, g, b = 40 + 200 * sky_t, 60 + 120 * sky_t, 140 + 40 * sky_t
        d = math.hypot(x - w * 0.7, y - h * 0.45)
        glow = max(0.0, 1 - d / 90)
        r, g, b = r + 120 * glow, g + 90 * glow, b + 20 * glow
        if d < 28:
            r, g, b = 255, 236, 180
    else:
        lake_t = (y - h * 0.62) / (h * 0.38)
        r, g, b = 40 + 60 * (1 - lake_t), 70 + 50 * (1 - lake_t), 110 + 40 * (1 - lake_t)
        r += 12 * math.sin(x * 0.11 + y * 0.9)
    far = h * 0.5 + 30 * math.sin(x / 70.0) + 14 * math.sin(x / 23.0 + 1)
    near = h * 0.6 + 22 * math.sin(x / 45.0 + 2) + 9 * math.sin(x / 11.0)
    if far < y < h * 0.62:
        r, g, b = 70, 80, 110
    if near < y < h * 0.66:
        r, g, b = 35 + 10 * math.sin(x / 5.0), 70, 45
    return clamp(r), clamp(g), clamp(b)


def flowers(x, y, w=480, h=480):
    """Rings of coloured petals on a soft gradient."""
    cx, cy = w / 2, h / 2
    a = math.atan2(y - cy, x - cx)
    d = math.hypot(x - cx, y - cy)
    petal = 0.5 + 0.5 * math.cos(8 * a + d / 25.0)
    r = 90 + 150 * petal * math.exp(-d / 260)
    g = 60 + 80 * (1 - petal) + 60 * (y / h)
    b = 120 + 100 * math.sin(d / 40.0)
    return clamp(r), clamp(g), clamp(b)


def canvas(x, y):
    """Woven canvas: crossing threads a little lighter and darker than 191."""
    warp = math.sin(x * math.pi / 3.0)
    weft = math.sin(y * math.pi / 3.0)
    v = 191 + 28 * warp * weft + 10 * math.sin((x + y) * 0.7)
    return clamp(v), clamp(v), clamp(v)


_rng = random.Random(191)
_grain = [[_rng.gauss(0, 14) for _ in range(256)] for _ in range(256)]


def paper(x, y):
    """Paper grain: smoothed noise around 191, a little warm."""
    v = 0.0
    for dx, dy, wgt in ((0, 0, 0.5), (1, 0, 0.125), (-1, 0, 0.125), (0, 1, 0.125), (0, -1, 0.125)):
        v += wgt * _grain[(y + dy) % 256][(x + dx) % 256]
    v = 191 + 2.2 * v
    return clamp(v + 4), clamp(v), clamp(v - 6)


def bricks(x, y):
    """Bricks with dark mortar and lighter edges, 64 x 32 pixels a repeat."""
    row = y // 16
    bx = (x + (16 if row % 2 else 0)) % 32
    by = y % 16
    if bx == 0 or by == 0:
        v = 90
    elif bx == 1 or by == 1:
        v = 230
    else:
        v = 191 + 15 * math.sin(x * 1.3 + row * 2.1) * math.cos(y * 0.7)
    return clamp(v + 10), clamp(v - 5), clamp(v - 15)


def main():
    os.makedirs(OUT, exist_ok=True)
    write_png(os.path.join(OUT, "landscape.png"), 640, 427, landscape)
    write_bmp(os.path.join(OUT, "flowers.bmp"), 480, 480, flowers)
    write_png(os.path.join(OUT, "texture-canvas.png"), 96, 96, canvas)
    write_png(os.path.join(OUT, "texture-paper.png"), 256, 256, paper)
    write_bmp(os.path.join(OUT, "texture-bricks.bmp"), 64, 32, bricks)


if __name__ == "__main__":
    main()
