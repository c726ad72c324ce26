#!/usr/bin/env python3
"""Draws the program's icons in the 16-colour palette and writes them as XPM files.

The XPM files are C arrays that windows/icons.cpp compiles in, so the build needs neither this
script nor an image tool. Run it again after changing a drawing:  python3 make_icons.py
"""
import os

# The classic 16-colour palette; '.' is transparent.
PALETTE = {
    'k': '#000000', 'm': '#800000', 'g': '#008000', 'o': '#808000',
    'n': '#000080', 'p': '#800080', 't': '#008080', 's': '#C0C0C0',
    'a': '#808080', 'r': '#FF0000', 'l': '#00FF00', 'y': '#FFFF00',
    'b': '#0000FF', 'f': '#FF00FF', 'c': '#00FFFF', 'w': '#FFFFFF',
}


def canvas(size):
    return [['.'] * size for _ in range(size)]


def rect(img, x0, y0, x1, y1, c):
    """Fills x0..x1-1, y0..y1-1."""
    for y in range(max(y0, 0), min(y1, len(img))):
        for x in range(max(x0, 0), min(x1, len(img))):
            img[y][x] = c


def outline(img, x0, y0, x1, y1, c):
    rect(img, x0, y0, x1, y0 + 1, c)
    rect(img, x0, y1 - 1, x1, y1, c)
    rect(img, x0, y0, x0 + 1, y1, c)
    rect(img, x1 - 1, y0, x1, y1, c)


def main_icon(size):
    """A landscape photo with a grey relief tile laid over its lower right part: a source image
    and the floating image that shades it."""
    img = canvas(size)
    u = size / 32.0
    p = lambda v: int(round(v * u))
    # The photo: sky, sun, two hills.
    rect(img, p(1), p(2), p(25), p(22), 'c')
    for y in range(p(2), p(22)):
        for x in range(p(1), p(25)):
            if (x - p(18)) ** 2 + (y - p(7)) ** 2 <= p(3.2) ** 2:
                img[y][x] = 'y'
            hill1 = p(15) + abs(x - p(7)) * 0.6
            hill2 = p(17) + abs(x - p(20)) * 0.7
            if y >= min(hill1, hill2):
                img[y][x] = 'g' if y >= hill1 else 'l'
    outline(img, p(1), p(2), p(25), p(22), 'k')
    # The floating image: a relief tile of grey and silver with light and dark edges.
    x0, y0, x1, y1 = p(12), p(13), p(31), p(31)
    rect(img, x0, y0, x1, y1, 'a')
    step = max(p(6), 3)
    for ty in range(y0 + 1, y1 - 1, step):
        for tx in range(x0 + 1, x1 - 1, step):
            rect(img, tx, ty, tx + step - 1, ty + step - 1, 's')
            rect(img, tx, ty, tx + step - 1, ty + 1, 'w')
            rect(img, tx, ty, tx + 1, ty + step - 1, 'w')
    outline(img, x0, y0, x1, y1, 'k')
    return img


def options_icon(size):
    """A floppy disk with a slider on its label: the output settings of saved files."""
    img = canvas(size)
    rect(img, 1, 1, 15, 15, 'n')
    rect(img, 4, 1, 12, 6, 's')     # shutter
    rect(img, 9, 2, 11, 5, 'n')
    rect(img, 3, 8, 13, 15, 'w')    # label
    rect(img, 4, 11, 12, 12, 'a')   # slider track
    rect(img, 7, 9, 9, 14, 'r')     # slider thumb
    outline(img, 1, 1, 15, 15, 'k')
    return img


def write_xpm(path, name, img):
    used = sorted({c for row in img for c in row})
    lines = ['/* XPM */', f'static const char* const {name}[] = {{',
             f'"{len(img[0])} {len(img)} {len(used)} 1",']
    for c in used:
        lines.append(f'"{c} c {"None" if c == "." else PALETTE[c]}",')
    for i, row in enumerate(img):
        lines.append('"' + ''.join(row) + '"' + (',' if i + 1 < len(img) else ''))
    lines.append('};')
    with open(path, 'w', encoding='ascii') as f:
        f.write('\n'.join(lines) + '\n')


if __name__ == '__main__':
    here = os.path.dirname(os.path.abspath(__file__))
    write_xpm(os.path.join(here, 'main32.xpm'), 'main32_xpm', main_icon(32))
    write_xpm(os.path.join(here, 'main16.xpm'), 'main16_xpm', main_icon(16))
    write_xpm(os.path.join(here, 'options16.xpm'), 'options16_xpm', options_icon(16))
