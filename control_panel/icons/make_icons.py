#!/usr/bin/env python3
"""Draws the panel's two icon groups and writes them as .ico files (standard library only).

AIcon:   the maker's dial mark: a meter dial with a red needle on a navy plate,
         as 32x32 and 16x16 in 16 colours and 32x32 in 256 colours.
Vantrel: the maker's name plate, 49x13 in 16 colours.

Run it from anywhere; it rewrites aicon.ico and vantrel.ico beside itself. The output is
committed, so a build never needs Python.
"""
import math
import os
import struct

VGA = [
    (0, 0, 0),
    (128, 0, 0),
    (0, 128, 0),
    (128, 128, 0),
    (0, 0, 128),
    (128, 0, 128),
    (0, 128, 128),
    (192, 192, 192),
    (128, 128, 128),
    (255, 0, 0),
    (0, 255, 0),
    (255, 255, 0),
    (0, 0, 255),
    (255, 0, 255),
    (0, 255, 255),
    (255, 255, 255),
]
NAVY, WHITE, RED, YELLOW, SILVER, GRAY, BLACK = (
    VGA[4],
    VGA[15],
    VGA[9],
    VGA[11],
    VGA[7],
    VGA[8],
    VGA[0],
)


def palette_256():
    """The 16 VGA colours, a 6x6x6 colour cube and a grey ramp: 256 entries."""
    colours = list(VGA)
    for r in range(6):
        for g in range(6):
            for b in range(6):
                colours.append((r * 51, g * 51, b * 51))
    ramp = 256 - len(colours)
    for i in range(ramp):
        v = 8 + i * 240 // (ramp - 1)
        colours.append((v, v, v))
    return colours


def nearest(colour, palette):
    return min(
        range(len(palette)), key=lambda i: sum((a - b) ** 2 for a, b in zip(colour, palette[i]))
    )


def dial_mark(u, v):
    """Colour of the dial mark at (u, v) in a unit square (v downward), or None outside it."""
    # Rounded navy plate with a grey rim.
    r = 0.14
    cu = min(max(u, r), 1 - r)
    cv = min(max(v, r), 1 - r)
    d = math.hypot(u - cu, v - cv)
    if d > r:
        return None
    if d > r - 0.045 or u < 0.035 or u > 0.965 or v < 0.035 or v > 0.965:
        return GRAY
    # Dial: an arc over the upper two thirds, centred low on the plate.
    ox, oy = 0.5, 0.66
    dx, dy = u - ox, oy - v
    dist = math.hypot(dx, dy)
    angle = math.degrees(math.atan2(dy, dx))
    on_dial = 10 <= angle <= 170
    if on_dial and 0.37 <= dist <= 0.42:
        return WHITE
    # Scale ticks every 20 degrees; the last one, full scale, in red.
    for tick in range(10, 171, 20):
        if abs(angle - tick) < 3.2 and 0.28 <= dist <= 0.42:
            return RED if tick == 10 else WHITE
    # Needle at about 70 % of full scale.
    needle = math.radians(62)
    nx, ny = math.cos(needle), math.sin(needle)
    along = dx * nx + dy * ny
    across = abs(-dx * ny + dy * nx)
    if 0 <= along <= 0.40 and across <= 0.028 + 0.02 * (0.40 - along):
        return RED
    if dist <= 0.07:
        return YELLOW
    # Base plate under the dial with two output terminals.
    if 0.76 <= v <= 0.88 and 0.18 <= u <= 0.82:
        if 0.79 <= v <= 0.85 and (0.24 <= u <= 0.34 or 0.66 <= u <= 0.76):
            return RED if u < 0.5 else BLACK
        return SILVER
    return NAVY


def render(shape, width, height, samples=4):
    """Supersampled picture: rows of (rgb or None, coverage) per pixel."""
    rows = []
    for y in range(height):
        row = []
        for x in range(width):
            hits = []
            for sy in range(samples):
                for sx in range(samples):
                    c = shape(
                        (x + (sx + 0.5) / samples) / width, (y + (sy + 0.5) / samples) / height
                    )
                    hits.append(c)
            row.append(hits)
        rows.append(row)
    return rows


def quantise_16(hits):
    """Majority colour of the samples, so thin strokes stay crisp in 16 colours."""
    counts = {}
    for c in hits:
        counts[c] = counts.get(c, 0) + 1
    best = max(counts, key=counts.get)
    if best is None:
        return None
    return VGA.index(best)


def quantise_256(hits, palette):
    solid = [c for c in hits if c is not None]
    if len(solid) * 2 < len(hits):
        return None
    avg = tuple(sum(c[i] for c in solid) // len(solid) for i in range(3))
    return nearest(avg, palette)


def dib(indices, width, height, bits, palette):
    """One icon image: header, palette, colour rows and mask rows, bottom-up."""
    xor_stride = ((width * bits + 31) // 32) * 4
    and_stride = ((width + 31) // 32) * 4
    xor = bytearray()
    mask = bytearray()
    for y in reversed(range(height)):
        row = bytearray(xor_stride)
        mrow = bytearray(and_stride)
        for x in range(width):
            idx = indices[y][x]
            if idx is None:
                mrow[x // 8] |= 0x80 >> (x % 8)
                idx = 0
            if bits == 4:
                row[x // 2] |= idx << (4 if x % 2 == 0 else 0)
            else:
                row[x] = idx
        xor += row
        mask += mrow
    header = struct.pack(
        "<IiiHHIIiiII", 40, width, height * 2, 1, bits, 0, len(xor) + len(mask), 0, 0, 0, 0
    )
    pal = b"".join(struct.pack("BBBB", b, g, r, 0) for (r, g, b) in palette)
    return header + pal + bytes(xor) + bytes(mask)


def write_ico(path, images):
    """images: list of (width, height, bits, dib bytes)."""
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries = b""
    blobs = b""
    for width, height, bits, data in images:
        colours = 16 if bits == 4 else 0
        entries += struct.pack(
            "<BBBBHHII", width % 256, height % 256, colours, 0, 1, bits, len(data), offset
        )
        offset += len(data)
        blobs += data
    with open(path, "wb") as f:
        f.write(out + entries + blobs)


def dial_images():
    images = []
    pal256 = palette_256()
    for size, bits in ((32, 4), (16, 4), (32, 8)):
        hits = render(dial_mark, size, size)
        if bits == 4:
            idx = [[quantise_16(h) for h in row] for row in hits]
            images.append((size, size, 4, dib(idx, size, size, 4, VGA)))
        else:
            idx = [[quantise_256(h, pal256) for h in row] for row in hits]
            images.append((size, size, 8, dib(idx, size, size, 8, pal256)))
    return images


# 5 x 7 capitals for the name plate.
GLYPHS = {
    "V": ["X...X", "X...X", "X...X", "X...X", "X...X", ".X.X.", "..X.."],
    "A": [".XXX.", "X...X", "X...X", "XXXXX", "X...X", "X...X", "X...X"],
    "N": ["X...X", "XX..X", "X.X.X", "X.X.X", "X..XX", "X...X", "X...X"],
    "T": ["XXXXX", "..X..", "..X..", "..X..", "..X..", "..X..", "..X.."],
    "R": ["XXXX.", "X...X", "X...X", "XXXX.", "X.X..", "X..X.", "X...X"],
    "E": ["XXXXX", "X....", "X....", "XXXX.", "X....", "X....", "XXXXX"],
    "L": ["X....", "X....", "X....", "X....", "X....", "X....", "XXXXX"],
}


def name_plate():
    width, height = 49, 13
    navy, white, red, gray = (VGA.index(c) for c in (NAVY, WHITE, RED, GRAY))
    idx = [[navy] * width for _ in range(height)]
    for x in range(width):
        idx[0][x] = idx[height - 1][x] = gray
    for y in range(height):
        idx[y][0] = idx[y][width - 1] = gray
    for corner_y in (0, height - 1):
        for corner_x in (0, width - 1):
            idx[corner_y][corner_x] = None
    left = 4
    for n, letter in enumerate("VANTREL"):
        for gy, line in enumerate(GLYPHS[letter]):
            for gx, cell in enumerate(line):
                if cell == "X":
                    idx[2 + gy][left + n * 6 + gx] = white
    for x in range(left, width - left):
        idx[10][x] = red
    return [(width, height, 4, dib(idx, width, height, 4, VGA))]


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    write_ico(os.path.join(here, "aicon.ico"), dial_images())
    write_ico(os.path.join(here, "vantrel.ico"), name_plate())


if __name__ == "__main__":
    main()
