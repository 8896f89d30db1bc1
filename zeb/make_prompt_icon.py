#!/usr/bin/env python3
"""Draws the prompt's 32 x 32 RGBA icon: a sheet of paper with a folded corner and a blue badge holding a
question mark. Written with the standard library only, so building needs nothing but python3.

Usage: make_prompt_icon.py OUTPUT.png
"""
import math
import struct
import sys
import zlib

SIZE = 32
SAMPLES = 4  # per axis, for smooth edges


def inside_paper(x, y):
    left, top, right, bottom, fold = 5.0, 2.0, 23.0, 28.0, 7.0
    if not (left <= x <= right and top <= y <= bottom):
        return False
    return not (x > right - fold and y < top + fold and (x - (right - fold)) > (y - top))


def inside_fold(x, y):
    right, top, fold = 23.0, 2.0, 7.0
    return right - fold <= x <= right and top <= y <= top + fold and (x - (right - fold)) <= (y - top)


def paper_edge(x, y):
    return inside_paper(x, y) and not all(
        inside_paper(x + dx, y + dy) for dx, dy in ((1, 0), (-1, 0), (0, 1), (0, -1)))


def in_badge(x, y):
    return math.hypot(x - 21.5, y - 21.5) <= 9.5


def in_question_mark(x, y):
    cx, cy = 21.5, 18.8
    r = math.hypot(x - cx, y - cy)
    angle = math.degrees(math.atan2(y - cy, x - cx))
    arc = 2.2 <= r <= 4.0 and not (20.0 < angle < 125.0)
    stem = 20.6 <= x <= 22.4 and 21.0 <= y <= 24.2
    dot = math.hypot(x - 21.5, y - 27.0) <= 1.2
    return arc or stem or dot


def colour_at(x, y):
    """Straight RGBA of the topmost shape at (x, y), or None."""
    if in_badge(x, y):
        if in_question_mark(x, y):
            return (255, 255, 255, 255)
        shade = int(40 * (y - 12.0) / 19.0)
        return (30, 110 - shade // 2, 210 - shade, 255)
    if inside_fold(x, y):
        return (190, 196, 205, 255)
    if paper_edge(x, y):
        return (110, 118, 130, 255)
    if inside_paper(x, y):
        return (250, 251, 253, 255)
    return None


def pixel(px, py):
    total = [0.0, 0.0, 0.0, 0.0]
    for sy in range(SAMPLES):
        for sx in range(SAMPLES):
            c = colour_at(px + (sx + 0.5) / SAMPLES, py + (sy + 0.5) / SAMPLES)
            if c is not None:
                a = c[3] / 255.0
                for i in range(3):
                    total[i] += c[i] * a
                total[3] += a
    n = SAMPLES * SAMPLES
    alpha = total[3] / n
    if alpha == 0:
        return (0, 0, 0, 0)
    return tuple(int(round(total[i] / total[3])) for i in range(3)) + (int(round(alpha * 255)),)


def chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def main():
    rows = b"".join(b"\0" + bytes(v for px in range(SIZE) for v in pixel(px, py)) for py in range(SIZE))
    png = b"\x89PNG\r\n\x1a\n"
    png += chunk(b"IHDR", struct.pack(">IIBBBBB", SIZE, SIZE, 8, 6, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(rows, 9))
    png += chunk(b"IEND", b"")
    with open(sys.argv[1], "wb") as out:
        out.write(png)


if __name__ == "__main__":
    main()
