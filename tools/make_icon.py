#!/usr/bin/env python3
"""Draws the tray icon: a vellum-coloured shield with a dark rim and a red
chevron, one 16 x 16 image with 32-bit colour and alpha, written as an .ico.

Usage: make_icon.py OUT.ico [PREVIEW.png]
The optional PNG is the same picture enlarged eight times, for a look.
"""
import struct
import sys
import zlib

SIZE = 16
SAMPLES = 8  # per axis, for smooth edges

RIM = (0x1F, 0x3A, 0x5F)
VELLUM = (0xF3, 0xE5, 0xC0)
MARK = (0xA2, 0x3B, 0x2A)


def half_width(y):
    """Half the shield's width at height y (0 top, 1 bottom), or None outside."""
    if y < 0.06 or y > 0.96:
        return None
    if y < 0.5:
        return 0.40
    t = (y - 0.5) / 0.46
    return 0.40 * (1.0 - t ** 1.7)


def inside(x, y, inset):
    top = 0.06 + inset
    if y < top:
        return False
    w = half_width(y + inset * 0.6)
    return w is not None and abs(x - 0.5) <= w - inset


def in_chevron(x, y):
    # A "V" of two strokes meeting low in the middle.
    d = abs(x - 0.5)
    centre = 0.64 - d * 1.15
    return d <= 0.26 and abs(y - centre) <= 0.085


def pixel(px, py):
    acc = [0.0, 0.0, 0.0, 0.0]
    for sy in range(SAMPLES):
        for sx in range(SAMPLES):
            x = (px + (sx + 0.5) / SAMPLES) / SIZE
            y = (py + (sy + 0.5) / SAMPLES) / SIZE
            if not inside(x, y, 0.0):
                continue
            if not inside(x, y, 0.085):
                colour = RIM
            elif in_chevron(x, y):
                colour = MARK
            else:
                colour = VELLUM
            for i in range(3):
                acc[i] += colour[i]
            acc[3] += 1
    n = SAMPLES * SAMPLES
    if acc[3] == 0:
        return (0, 0, 0, 0)
    # Straight (not premultiplied) alpha, as icons store it.
    return tuple(int(round(acc[i] / acc[3])) for i in range(3)) + (int(round(255 * acc[3] / n)),)


def image():
    return [[pixel(x, y) for x in range(SIZE)] for y in range(SIZE)]


def ico_bytes(rows):
    xor = bytearray()
    for row in reversed(rows):  # bottom-up
        for r, g, b, a in row:
            xor += bytes((b, g, r, a))
    # AND mask: 1 = transparent, rows padded to 32 bits; used where alpha is ignored.
    mask = bytearray()
    stride = ((SIZE + 31) // 32) * 4
    for row in reversed(rows):
        bits = bytearray(stride)
        for x, (_, _, _, a) in enumerate(row):
            if a < 128:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 32, 0, len(xor) + len(mask), 0, 0, 0, 0)
    body = header + xor + mask
    icondir = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, 1, 32, len(body), 6 + 16)
    return icondir + entry + body


def png_bytes(rows, scale):
    raw = bytearray()
    for row in rows:
        line = bytearray()
        for p in row:
            line += bytes(p) * scale
        for _ in range(scale):
            raw += b"\x00" + line
    w = h = SIZE * scale

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 6, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b""))


def main():
    if len(sys.argv) not in (2, 3):
        sys.exit(__doc__)
    rows = image()
    with open(sys.argv[1], "wb") as f:
        f.write(ico_bytes(rows))
    if len(sys.argv) == 3:
        with open(sys.argv[2], "wb") as f:
            f.write(png_bytes(rows, 8))


if __name__ == "__main__":
    main()
