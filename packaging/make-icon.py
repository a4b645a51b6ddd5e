#!/usr/bin/env python3
"""Draws camera-patch.ico: a police beacon, red and blue, at 16, 32 and 48 px.

Each size is drawn on its own from the same shapes, 8x8 samples a pixel, so
the small sizes stay sharp instead of being shrunk from the large one. The
output depends on nothing but this file: run it again and the bytes match.

    python3 packaging/make-icon.py packaging/camera-patch.ico [--png DIR]

--png also writes each size as a PNG, to look at.
"""
import math
import struct
import sys
import zlib

SIZES = (16, 32, 48)
SAMPLES = 8

OUTLINE = (24, 26, 32)
BASE = (70, 76, 88)
BASE_TOP = (120, 128, 142)
RED = (226, 30, 36)
BLUE = (28, 86, 232)
GLARE = (255, 255, 255)


def in_rounded_rect(x, y, left, top, right, bottom, radius):
    cx = min(max(x, left + radius), right - radius)
    cy = min(max(y, top + radius), bottom - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius**2


def in_dome(x, y, grow):
    """A beacon's dome: a half ellipse over a short upright band."""
    centre_x, shoulder, rx, ry, bottom = 0.5, 0.50, 0.27 + grow, 0.25 + grow, 0.74 + grow
    if y > bottom or abs(x - centre_x) > rx:
        return False
    if y >= shoulder:
        return True
    return ((x - centre_x) / rx) ** 2 + ((y - shoulder) / ry) ** 2 <= 1.0


def near_segment(x, y, ax, ay, bx, by, half_width):
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((x - ax) * dx + (y - ay) * dy) / (dx * dx + dy * dy)))
    return math.hypot(x - (ax + t * dx), y - (ay + t * dy)) <= half_width


def rays(size):
    """Flashes either side of the dome, red left and blue right; too fine for 16 px."""
    if size < 32:
        return []
    segments = []
    for angle in (0, 40, 78):
        a = math.radians(angle)
        for side, colour in ((-1, RED), (1, BLUE)):
            dx, dy = side * math.cos(a), -math.sin(a)
            segments.append((0.5 + dx * 0.36, 0.52 + dy * 0.36, 0.5 + dx * 0.46, 0.52 + dy * 0.46,
                             colour))
    return segments


def paint(x, y, size):
    """The colour at a point of the unit square (y down), or None for clear."""
    pixel = 1.0 / size
    if in_rounded_rect(x, y, 0.10, 0.72, 0.90, 0.92, 0.05):
        if in_rounded_rect(x, y, 0.10 + pixel, 0.72 + pixel, 0.90 - pixel, 0.92 - pixel, 0.04):
            return BASE_TOP if y < 0.72 + 0.06 else BASE
        return OUTLINE
    if in_dome(x, y, 0.0):
        # A glint on the glass, up and to the left.
        if ((x - 0.38) / 0.07) ** 2 + ((y - 0.40) / 0.10) ** 2 <= 1.0:
            return GLARE
        if 0.5 - pixel <= x < 0.5 and size > 16:
            return OUTLINE
        return RED if x < 0.5 else BLUE
    if in_dome(x, y, pixel):
        return OUTLINE
    for ax, ay, bx, by, colour in rays(size):
        if near_segment(x, y, ax, ay, bx, by, 0.03):
            return colour
    return None


def draw(size):
    """Rows of (r, g, b, a), top row first."""
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            r = g = b = hits = 0
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    colour = paint((px + (sx + 0.5) / SAMPLES) / size,
                                   (py + (sy + 0.5) / SAMPLES) / size, size)
                    if colour:
                        r, g, b, hits = r + colour[0], g + colour[1], b + colour[2], hits + 1
            if hits:
                row.append((round(r / hits), round(g / hits), round(b / hits),
                            round(255 * hits / SAMPLES**2)))
            else:
                row.append((0, 0, 0, 0))
        rows.append(row)
    return rows


def dib(rows):
    """A 32-bit icon image: BITMAPINFOHEADER, BGRA bottom-up, then the AND mask."""
    size = len(rows)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = b"".join(bytes((b, g, r, a)) for row in reversed(rows) for r, g, b, a in row)
    mask_stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(rows):
        bits = bytearray(mask_stride)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + pixels + bytes(mask)


def ico(images):
    entries, data = b"", b""
    offset = 6 + 16 * len(images)
    for size, image in images:
        entries += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(image), offset)
        data += image
        offset += len(image)
    return struct.pack("<HHH", 0, 1, len(images)) + entries + data


def png(rows):
    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

    size = len(rows)
    raw = b"".join(b"\0" + b"".join(bytes(p) for p in row) for row in rows)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def main(arguments):
    if len(arguments) not in (1, 3) or (len(arguments) == 3 and arguments[1] != "--png"):
        sys.exit(__doc__)
    drawn = [(size, draw(size)) for size in SIZES]
    with open(arguments[0], "wb") as out:
        out.write(ico([(size, dib(rows)) for size, rows in drawn]))
    if len(arguments) == 3:
        for size, rows in drawn:
            with open(f"{arguments[2]}/camera-patch-{size}.png", "wb") as out:
                out.write(png(rows))


if __name__ == "__main__":
    main(sys.argv[1:])
