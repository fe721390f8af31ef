#!/usr/bin/env python3
"""Draws the window background res/bk.png (640 x 455) and the icon res/logo.ico.

Both are plain pictures made from a few gradients and circles, written with the standard library
only, so that they can be made again on any machine:  tools/make-images.py [RES_DIR]
"""
import math
import os
import struct
import sys
import zlib

TOP = (236, 243, 250)      # pale blue at the top of the background
BOTTOM = (196, 214, 235)   # a calmer blue at the bottom
MARK = (33, 150, 243)      # the mark: a ring with an arrow pointing up


def png_bytes(width, height, pixel):
    rows = bytearray()
    for y in range(height):
        rows.append(0)  # no filter
        for x in range(width):
            rows.extend(pixel(x, y))
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)
    header = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header)
            + chunk(b"IDAT", zlib.compress(bytes(rows), 9)) + chunk(b"IEND", b""))


def blend(a, b, t):
    return tuple(round(a[i] + (b[i] - a[i]) * t) for i in range(3))


def mark_coverage(x, y, cx, cy, radius):
    """How much of the pixel the mark covers (0..1): a ring and an upward arrow inside it."""
    d = math.hypot(x - cx, y - cy)
    ring = max(0.0, 1.0 - abs(d - radius) / (radius * 0.09))
    shaft = (abs(x - cx) <= radius * 0.11 and cy - radius * 0.2 <= y <= cy + radius * 0.55)
    head_height = radius * 0.5
    top = cy - radius * 0.6
    head = top <= y <= top + head_height and abs(x - cx) <= (y - top) * 0.9
    return min(1.0, ring + (1.0 if shaft or head else 0.0))


def background(x, y, width=640, height=455):
    base = blend(TOP, BOTTOM, y / (height - 1))
    c = mark_coverage(x, y, width / 2, 120, 52)
    return bytes(blend(base, MARK, c * 0.85)) + b"\xff"


def icon_pixel(x, y, size=64):
    c = mark_coverage(x, y, size / 2 - 0.5, size / 2 - 0.5, size * 0.4)
    disc = math.hypot(x - size / 2 + 0.5, y - size / 2 + 0.5) <= size * 0.48
    if not disc:
        return b"\x00\x00\x00\x00"
    return bytes(blend((255, 255, 255), MARK, c)) + b"\xff"


def ico_bytes(png, size):
    header = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(png), 6 + 16)
    return header + entry + png


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "res")
    with open(os.path.join(out, "bk.png"), "wb") as f:
        f.write(png_bytes(640, 455, background))
    with open(os.path.join(out, "logo.ico"), "wb") as f:
        f.write(ico_bytes(png_bytes(64, 64, icon_pixel), 64))


if __name__ == "__main__":
    main()
