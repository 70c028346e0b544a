#!/usr/bin/env python3
"""Draws the installer's own pictures: icon 111 (32x32 and 16x16) and bitmap 113 (88x31),
both 8 bits per pixel with a palette, uncompressed. Usage: make-pictures.py <res folder>"""
import math
import struct
import sys

# Palette: a blue-to-amber ramp (0-191), greys (192-254), white (255).
PALETTE = []
for i in range(192):
    t = i / 191
    PALETTE.append((int(30 + 210 * t), int(60 + 120 * t), int(140 - 100 * t)))  # (R, G, B)
for i in range(63):
    g = int(40 + 200 * i / 62)
    PALETTE.append((g, g, g))
PALETTE.append((255, 255, 255))
WHITE, DARK = 255, 192


def palette_bytes():
    return b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in PALETTE)


def draw(width, height):
    """A lens over a gradient, with a white Z: the viewer's plug-ins."""
    px = [[0] * width for _ in range(height)]
    cx, cy, radius = width * 0.5, height * 0.5, min(width, height) * 0.45
    for y in range(height):
        for x in range(width):
            px[y][x] = int(191 * (x + y) / (width + height - 2))
            d = math.hypot(x + 0.5 - cx, y + 0.5 - cy)
            if abs(d - radius) < max(1.0, radius / 8):
                px[y][x] = DARK
    # The Z: top bar, diagonal, bottom bar inside the lens.
    left, right = int(cx - radius * 0.5), int(cx + radius * 0.5)
    top, bottom = int(cy - radius * 0.5), int(cy + radius * 0.5)
    stroke = max(1, int(radius / 6))
    for x in range(left, right + 1):
        for s in range(stroke):
            px[min(height - 1, top + s)][x] = WHITE
            px[max(0, bottom - s)][x] = WHITE
    for y in range(top, bottom + 1):
        x = int(right - (right - left) * (y - top) / max(1, bottom - top))
        for s in range(stroke):
            px[y][max(0, min(width - 1, x - s))] = WHITE
    return px


def dib(px, with_mask):
    height, width = len(px), len(px[0])
    row = (width + 3) & ~3
    xor = b"".join(bytes(px[y]) + b"\0" * (row - width) for y in reversed(range(height)))
    mask = b""
    if with_mask:
        mask_row = ((width + 31) // 32) * 4
        mask = b"\0" * (mask_row * height)  # every pixel opaque
    header = struct.pack("<IiiHHIIiiII", 40, width, height * (2 if with_mask else 1), 1, 8, 0,
                         len(xor) + len(mask), 0, 0, 256, 0)
    return header + palette_bytes() + xor + mask


def bitmap(width, height):
    body = dib(draw(width, height), False)
    return struct.pack("<2sIHHI", b"BM", 14 + len(body), 0, 0, 14 + 40 + 1024) + body


def icon(sizes):
    images = [dib(draw(s, s), True) for s in sizes]
    out = struct.pack("<HHH", 0, 1, len(sizes))
    offset = 6 + 16 * len(sizes)
    for s, img in zip(sizes, images):
        out += struct.pack("<BBBBHHII", s, s, 0, 0, 1, 8, len(img), offset)
        offset += len(img)
    return out + b"".join(images)


if __name__ == "__main__":
    folder = sys.argv[1] if len(sys.argv) > 1 else "."
    with open(f"{folder}/setup.ico", "wb") as f:
        f.write(icon([32, 16]))
    with open(f"{folder}/banner.bmp", "wb") as f:
        f.write(bitmap(88, 31))
