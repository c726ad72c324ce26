#!/usr/bin/env python3
"""Writes the window's icon as PNG files for the desktop's icon theme (hicolor), from the same
drawing as the window's own XPM icons (windows/icons/make_icons.py). The drawing is pixel art made
for 16 and 32 pixels; larger sizes enlarge one of those by a whole factor, pixel for pixel, as the
drawing's shapes do not scale cleanly by themselves.

The PNG files are committed, so the build needs neither this script nor Python. Run it again
after changing the drawing:  python3 make_png_icons.py
"""
import os
import struct
import sys
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, '..', '..', 'windows', 'icons'))
import make_icons  # noqa: E402

# Installed size: (drawn size, factor).
SIZES = {16: (16, 1), 32: (32, 1), 48: (16, 3), 64: (32, 2), 128: (32, 4), 256: (32, 8)}


def enlarge(img, factor):
    return [[c for c in row for _ in range(factor)] for row in img for _ in range(factor)]


def png_bytes(img):
    def chunk(kind, data):
        return (struct.pack('>I', len(data)) + kind + data +
                struct.pack('>I', zlib.crc32(kind + data) & 0xFFFFFFFF))
    size = len(img)
    rows = b''
    for row in img:
        rows += b'\0'
        for c in row:
            if c == '.':
                rows += b'\0\0\0\0'
            else:
                rows += bytes.fromhex(make_icons.PALETTE[c][1:]) + b'\xff'
    header = struct.pack('>IIBBBBB', size, size, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', header) +
            chunk(b'IDAT', zlib.compress(rows, 9)) + chunk(b'IEND', b''))


if __name__ == '__main__':
    for size, (drawn, factor) in SIZES.items():
        with open(os.path.join(HERE, 'icons', f'{size}.png'), 'wb') as f:
            f.write(png_bytes(enlarge(make_icons.main_icon(drawn), factor)))
