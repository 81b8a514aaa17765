#!/usr/bin/env python3
"""Draws playonce.ico: a white loudspeaker sending out two sound waves, on a blue disc.

One 32x32 image, 8 bits per pixel over a 256-colour palette, edges smoothed by 4x4
supersampling and made transparent through the AND mask. Usage: make_icon.py OUT.ico
"""
import math
import struct
import sys

SIZE = 32
SUB = 4  # supersamples per pixel along each axis
WHITE = (255, 255, 255)
BLUE = (0, 102, 204)


def palette():
    """A 6x6x6 colour cube, then 40 steps from the disc's blue to white for smooth edges:
    256 entries of (r, g, b)."""
    steps = [0, 51, 102, 153, 204, 255]
    cube = [(r, g, b) for r in steps for g in steps for b in steps]
    ramp = [tuple(round(b + (w - b) * i / 39) for b, w in zip(BLUE, WHITE)) for i in range(40)]
    return cube + ramp


def in_disc(x, y):
    return (x - 16) ** 2 + (y - 16) ** 2 <= 15.5 ** 2


def in_speaker(x, y):
    if 7 <= x <= 11 and 12.5 <= y <= 19.5:
        return True
    # The cone widens from the magnet at x=11 to the mouth at x=17.
    if 11 <= x <= 17:
        half = 3.5 + (x - 11) * (9.0 - 3.5) / 6
        return abs(y - 16) <= half
    return False


def in_wave(x, y):
    dx, dy = x - 17, y - 16
    if dx <= 0 or abs(dy) > dx * 1.2:
        return False
    r = math.hypot(dx, dy)
    return any(abs(r - radius) <= 1.0 for radius in (5.0, 9.5))


def pixel(px, py):
    """The mean colour of a pixel and the share of it that the disc covers."""
    total = [0.0, 0.0, 0.0]
    covered = 0
    for sy in range(SUB):
        for sx in range(SUB):
            x, y = px + (sx + 0.5) / SUB, py + (sy + 0.5) / SUB
            if not in_disc(x, y):
                continue
            covered += 1
            colour = WHITE if in_speaker(x, y) or in_wave(x, y) else BLUE
            total = [t + c for t, c in zip(total, colour)]
    if covered == 0:
        return (0, 0, 0), 0.0
    return tuple(t / covered for t in total), covered / SUB ** 2


def nearest(colours, colour):
    return min(range(len(colours)),
               key=lambda i: sum((a - b) ** 2 for a, b in zip(colours[i], colour)))


def icon_bytes():
    colours = palette()
    rows, mask_rows = [], []
    for py in range(SIZE):
        row, mask = bytearray(), 0
        for px in range(SIZE):
            colour, coverage = pixel(px, py)
            opaque = coverage >= 0.5
            row.append(nearest(colours, colour) if opaque else 0)
            mask = (mask << 1) | (0 if opaque else 1)
        rows.append(bytes(row))
        mask_rows.append(struct.pack('>I', mask))
    # Bitmaps in icons are stored bottom row first; the height counts image and mask.
    pixels = b''.join(reversed(rows)) + b''.join(reversed(mask_rows))
    header = struct.pack('<IiiHHIIiiII', 40, SIZE, SIZE * 2, 1, 8, 0, len(pixels), 0, 0, 256, 0)
    table = b''.join(struct.pack('BBBB', b, g, r, 0) for r, g, b in colours)
    image = header + table + pixels
    directory = struct.pack('<HHH', 0, 1, 1)
    entry = struct.pack('<BBBBHHII', SIZE, SIZE, 0, 0, 1, 8, len(image), 6 + 16)
    return directory + entry + image


if __name__ == '__main__':
    with open(sys.argv[1], 'wb') as out:
        out.write(icon_bytes())
