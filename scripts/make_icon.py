#!/usr/bin/env python3
"""Draws the program's icon, a sticking plaster across a page of text, and
writes it as a Windows icon file: one 32 by 32 image with 16 colours.

    python3 scripts/make_icon.py [OUTPUT]      (default ui/win32/patchicon.ico)

The icon is drawn from geometry rather than kept only as a binary so that it
can be reviewed and changed here; the .ico next to the window code is this
script's output and is what the build uses.
"""
import math
import os
import struct
import sys

SIZE = 32

# The palette: 16 entries, as (red, green, blue).
PALETTE = [
    (0, 0, 0),          # 0 outline
    (255, 255, 255),    # 1 page
    (200, 200, 200),    # 2 folded corner
    (110, 110, 120),    # 3 lines of text
    (232, 184, 130),    # 4 plaster
    (176, 122, 70),     # 5 plaster edge and holes
    (250, 240, 222),    # 6 pad
    (214, 196, 170),    # 7 pad edge
    (128, 128, 128),    # 8 corner crease
] + [(0, 0, 0)] * 7     # unused
TRANSPARENT = None

# The page: a sheet with its top right corner folded over.
PAGE_LEFT, PAGE_RIGHT, PAGE_TOP, PAGE_BOTTOM, FOLD = 5, 26, 1, 30, 7

# The plaster lies on the diagonal from bottom left to top right.
BAND_HALF_WIDTH = 4.6
BAND_HALF_LENGTH = 15.5
PAD_HALF_LENGTH = 5.5
CENTRE = (15.0, 18.0)


def page_colour(x, y):
    """Colour of the page at (x, y), or TRANSPARENT outside it."""
    if not (PAGE_LEFT <= x <= PAGE_RIGHT and PAGE_TOP <= y <= PAGE_BOTTOM):
        return TRANSPARENT
    # Distance inside the fold's diagonal edge.
    fold = (x - (PAGE_RIGHT - FOLD)) + (PAGE_TOP + FOLD - y)
    if fold > FOLD:
        return TRANSPARENT
    if fold == FOLD:
        return 0
    if x in (PAGE_LEFT, PAGE_RIGHT) or y in (PAGE_TOP, PAGE_BOTTOM):
        return 0
    if x >= PAGE_RIGHT - FOLD and y <= PAGE_TOP + FOLD:
        # The folded flap and its crease.
        if x == PAGE_RIGHT - FOLD or y == PAGE_TOP + FOLD:
            return 8
        return 2
    if y % 3 == 0 and PAGE_TOP + 3 < y < PAGE_BOTTOM - 2 and PAGE_LEFT + 3 <= x <= PAGE_RIGHT - 4:
        # Lines of text, ragged on the right.
        if x <= PAGE_RIGHT - 4 - (y * 7) % 5:
            return 3
    return 1


def band_coordinates(x, y):
    """(along, across) of a pixel centre in the plaster's own axes."""
    dx, dy = x + 0.5 - CENTRE[0], y + 0.5 - CENTRE[1]
    along = (dx - dy) / math.sqrt(2)
    across = (dx + dy) / math.sqrt(2)
    return along, across


def in_band(x, y):
    along, across = band_coordinates(x, y)
    if abs(across) > BAND_HALF_WIDTH:
        return False
    # Rounded ends.
    over = abs(along) - (BAND_HALF_LENGTH - BAND_HALF_WIDTH)
    return over <= 0 or over * over + across * across <= BAND_HALF_WIDTH ** 2


def band_colour(x, y):
    if not in_band(x, y):
        return TRANSPARENT
    edge = any(not in_band(x + dx, y + dy) for dx, dy in ((1, 0), (-1, 0), (0, 1), (0, -1)))
    if edge:
        return 5
    along, across = band_coordinates(x, y)
    if abs(along) <= PAD_HALF_LENGTH:
        if abs(abs(along) - PAD_HALF_LENGTH) < 0.8 or abs(across) > BAND_HALF_WIDTH - 1.8:
            return 7
        return 6
    # Breathing holes on the sticky ends.
    if (x + y) % 3 == 0 and (x - y) % 4 == 0:
        return 5
    return 4


def draw():
    pixels = []
    for y in range(SIZE):
        row = []
        for x in range(SIZE):
            colour = band_colour(x, y)
            if colour is TRANSPARENT:
                colour = page_colour(x, y)
            row.append(colour)
        pixels.append(row)
    return pixels


def ico(pixels):
    """The .ico bytes: directory, one 4-bit image with its mask (rows bottom up)."""
    xor = bytearray()
    mask = bytearray()
    for row in reversed(pixels):
        for x in range(0, SIZE, 2):
            hi, lo = (row[x] or 0), (row[x + 1] or 0)
            xor.append(hi << 4 | lo)
        bits = 0
        for x in range(SIZE):
            bits = bits << 1 | (row[x] is TRANSPARENT)
        mask += struct.pack(">I", bits)
    palette = b"".join(struct.pack("BBBB", b, g, r, 0) for r, g, b in PALETTE)
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, 2 * SIZE, 1, 4, 0, len(xor) + len(mask),
                         0, 0, 16, 0)
    image = header + palette + bytes(xor) + bytes(mask)
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 16, 0, 1, 4, len(image), 6 + 16)
    return directory + entry + image


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "ui", "win32",
                                                             "patchicon.ico")
    with open(out, "wb") as f:
        f.write(ico(draw()))


if __name__ == "__main__":
    main()
