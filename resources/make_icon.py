#!/usr/bin/env python3
"""Draws torquelin's icon, a bar chart whose last bar breaks through the
alarm line, and writes it as a 32x32, 16-colour Windows icon.

    python3 resources/make_icon.py            writes resources/torquelin.ico
    python3 resources/make_icon.py --check    fails when the file differs
"""
import os
import struct
import sys

SIZE = 32

# The 16 colours of the standard console palette, as (red, green, blue).
PALETTE = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]
BLACK, MAROON, GREEN, NAVY, SILVER, GREY = 0, 1, 2, 4, 7, 8
RED, LIME, YELLOW, WHITE = 9, 10, 11, 15

ALARM_Y = 11      # the margin, as a dashed line
BASE_Y = 26       # the chart's floor
BARS = [          # (left x, top y): three pixels wide each
    (5, 20), (9, 17), (13, 19), (17, 15), (21, 18), (25, 5),
]


def inside(x, y, r=4):
    """True inside the tile: a 30x30 square with rounded corners."""
    lo, hi = 1, SIZE - 2
    if x < lo or x > hi or y < lo or y > hi:
        return False
    cx = min(max(x, lo + r), hi - r)
    cy = min(max(y, lo + r), hi - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def draw():
    """Returns rows of colour indices, top row first; None is transparent."""
    img = [[None] * SIZE for _ in range(SIZE)]
    for y in range(SIZE):
        for x in range(SIZE):
            if inside(x, y):
                edge = not all(inside(x + dx, y + dy)
                               for dx, dy in ((1, 0), (-1, 0), (0, 1), (0, -1)))
                img[y][x] = BLACK if edge else NAVY
    # A faint grid behind the chart.
    for y in range(6, BASE_Y, 5):
        for x in range(4, 28, 2):
            img[y][x] = GREY
    for x in range(4, 28):
        img[BASE_Y][x] = SILVER
    for left, top in BARS:
        for y in range(top, BASE_Y):
            for x in range(left, left + 3):
                if y < ALARM_Y:
                    img[y][x] = WHITE if x == left else RED
                else:
                    over = top < ALARM_Y
                    shade = MAROON if over else GREEN
                    img[y][x] = shade if x == left + 2 else (RED if over else LIME)
    for x in range(3, 29):
        if x % 4 != 3 and img[ALARM_Y][x] not in (RED, WHITE):
            img[ALARM_Y][x] = YELLOW
    return img


def ico(img):
    """The icon file: one image, 4 bits a pixel, with its transparency mask."""
    xor = bytearray()
    mask = bytearray()
    for row in reversed(img):            # bitmaps run bottom up
        for x in range(0, SIZE, 2):
            hi, lo = row[x] or 0, row[x + 1] or 0
            xor.append(hi << 4 | lo)
        bits = 0
        for x in range(SIZE):
            bits = bits << 1 | (row[x] is None)
        mask += struct.pack('>I', bits)
    palette = b''.join(struct.pack('<BBBB', b, g, r, 0) for r, g, b in PALETTE)
    header = struct.pack('<IiiHHIIiiII', 40, SIZE, 2 * SIZE, 1, 4, 0,
                         len(xor) + len(mask), 0, 0, 16, 0)
    image = header + palette + bytes(xor) + bytes(mask)
    directory = struct.pack('<HHH', 0, 1, 1)
    entry = struct.pack('<BBBBHHII', SIZE, SIZE, 16, 0, 1, 4, len(image), 6 + 16)
    return directory + entry + image


def main():
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'torquelin.ico')
    data = ico(draw())
    if sys.argv[1:] == ['--check']:
        with open(path, 'rb') as f:
            if f.read() != data:
                sys.exit('%s differs from what make_icon.py draws' % path)
        return
    with open(path, 'wb') as f:
        f.write(data)


if __name__ == '__main__':
    main()
