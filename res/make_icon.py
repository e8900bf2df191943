#!/usr/bin/env python3
"""Draws Pacecap's icon, a gauge whose needle stands short of the red end, and
writes res/Pacecap.ico: 32x32, 20x20 and 16x16 images in the 16-colour
palette, in that order. This script is the icon's source; rerun it after a
change and commit both."""
import math
import struct
from pathlib import Path

SIZES = (32, 20, 16)
PALETTE = [0x000000, 0x800000, 0x008000, 0x808000, 0x000080, 0x800080, 0x008080, 0xC0C0C0,
           0x808080, 0xFF0000, 0x00FF00, 0xFFFF00, 0x0000FF, 0xFF00FF, 0x00FFFF, 0xFFFFFF]
TRANSPARENT, NAVY, SILVER, RED, LIME, YELLOW, WHITE = None, 4, 7, 9, 10, 11, 15
ARC_START, ARC_SPAN = 210.0, 240.0  # degrees, counter-clockwise from the right
NEEDLE_AT = 0.8  # the cap: four fifths of the scale


def segment_distance(px, py, ax, ay, bx, by):
    vx, vy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((px - ax) * vx + (py - ay) * vy) / (vx * vx + vy * vy)))
    return math.hypot(px - ax - t * vx, py - ay - t * vy)


def colour(size, x, y):
    """Palette index of one pixel, or None where the icon is transparent."""
    radius = size * 0.48
    cx, cy = size / 2.0, size / 2.0
    px, py = x + 0.5 - cx, cy - (y + 0.5)  # y grows upwards
    dist = math.hypot(px, py)
    if dist > radius:
        return TRANSPARENT
    needle = math.radians(ARC_START - NEEDLE_AT * ARC_SPAN)
    tip = (math.cos(needle) * radius * 0.68, math.sin(needle) * radius * 0.68)
    if dist <= max(1.0, size * 0.09) or segment_distance(px, py, 0, 0, *tip) <= max(0.6, size * 0.04):
        return WHITE
    if dist > radius * 0.9:
        return SILVER
    angle = math.degrees(math.atan2(py, px))
    if angle < ARC_START - 360.0 + 1e-9 or angle < -30.0:
        angle += 360.0
    along = (ARC_START - angle) / ARC_SPAN
    if radius * 0.55 < dist <= radius * 0.78 and 0.0 <= along <= 1.0:
        return LIME if along < 0.5 else YELLOW if along < NEEDLE_AT else RED
    return NAVY


def image(size):
    """One icon image: BITMAPINFOHEADER, palette, 4-bit colour rows and the
    1-bit transparency mask, both bottom-up with rows padded to 4 bytes."""
    pixels = [[colour(size, x, y) for x in range(size)] for y in range(size)]
    xor_row = (size * 4 + 31) // 32 * 4
    and_row = (size + 31) // 32 * 4
    xor, mask = bytearray(), bytearray()
    for row in reversed(pixels):
        line = bytearray(xor_row)
        bits = bytearray(and_row)
        for x, index in enumerate(row):
            value = 0 if index is None else index
            line[x // 2] |= value << (4 if x % 2 == 0 else 0)
            if index is None:
                bits[x // 8] |= 0x80 >> (x % 8)
        xor += line
        mask += bits
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 4, 0, len(xor) + len(mask), 0, 0, 16, 0)
    palette = b"".join(struct.pack("<BBBB", rgb & 0xFF, (rgb >> 8) & 0xFF, rgb >> 16, 0) for rgb in PALETTE)
    return header + palette + bytes(xor) + bytes(mask)


def icon():
    images = [image(size) for size in SIZES]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in zip(SIZES, images):
        out += struct.pack("<BBBBHHII", size, size, 16, 0, 1, 4, len(data), offset)
        offset += len(data)
    return out + b"".join(images)


if __name__ == "__main__":
    target = Path(__file__).resolve().parent.parent / "res" / "Pacecap.ico"
    target.write_bytes(icon())
    print("wrote %s" % target)
