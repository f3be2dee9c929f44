#!/usr/bin/env python3
"""Writes a demo data file and its settings: noise with four pictures hidden in it.

    python3 tools/make_demo.py OUTDIR

writes OUTDIR/demo.bin (4 MiB) and OUTDIR/tessvane.cfg, then prints where the pictures lie.
Each picture is 256 x 256 pixels in one of the four pixel formats and starts at an offset that
the default forward step of its format reaches from 0 (the step is a tenth of the format's page
size: 20000 bytes in format 3, 15000 in 2, 10000 in 1, 5000 in 0). The offsets are multiples of
60000, so every picture lies on a step of every format: page there in any format, then press P
until the picture appears. Only the standard library is used; the output is the same every run.
"""

import hashlib
import math
import os
import sys

FILE_SIZE = 4 * 1024 * 1024
SIDE = 256
NOISE_SEED = b"tessvane demo noise"
FORMAT_NAMES = ("4-bit CLUT", "8-bit CLUT", "15-bit direct", "24-bit direct")
FORWARD_STEP = (5000, 10000, 15000, 20000)

# (pixel format, byte offset, what it shows), in file order.
DEMO_PICTURES = (
    (3, 60000, "Mandelbrot set in colour"),
    (2, 300000, "colour gradient with a circle and a square"),
    (1, 480000, "smiley on a grey ramp"),
    (0, 600000, "checkerboard with a ring"),
)

SETTINGS = (
    'infile="demo.bin"\n'
    'vidmode="1"\n'
    'showoffset="1"\n'
    'width="256"\n'
    'height="256"\n'
    'outpath="capture"\n'
)


def noise(size):
    """SHA-256 in counter mode: reproducible everywhere, and fast enough for a few MiB."""
    out = bytearray()
    counter = 0
    while len(out) < size:
        out += hashlib.sha256(NOISE_SEED + counter.to_bytes(8, "little")).digest()
        counter += 1
    return out[:size]


def mandelbrot_rgb():
    """Format 3: bytes R, G, B per pixel."""
    out = bytearray()
    for y in range(SIDE):
        ci = (y - SIDE / 2) * 2.4 / SIDE
        for x in range(SIDE):
            cr = x * 3.0 / SIDE - 2.1
            zr = zi = 0.0
            n = 0
            while n < 48 and zr * zr + zi * zi < 4.0:
                zr, zi = zr * zr - zi * zi + cr, 2 * zr * zi + ci
                n += 1
            if n == 48:
                out += b"\x00\x00\x20"
            else:
                t = n / 48
                out += bytes((int(255 * t ** 0.5), int(255 * t), int(255 * (1 - t) ** 2)))
    return out


def shapes_rgb15():
    """Format 2: little-endian words, red in the low five bits, then green, then blue."""
    out = bytearray()
    for y in range(SIDE):
        for x in range(SIDE):
            r, g, b = x // 8, 8, y // 8  # red to the right, blue downwards
            if (x - 90) ** 2 + (y - 100) ** 2 < 55 ** 2:
                r, g, b = 31, 31, 0
            elif 140 <= x < 220 and 140 <= y < 220:
                r, g, b = 0, 31, 8
            word = r | g << 5 | b << 10
            out += bytes((word & 255, word >> 8))
    return out


def smiley_grey8():
    """Format 1: grey = byte * 15 mod 256, so bytes 0 to 17 make a smooth ramp."""
    out = bytearray()
    for y in range(SIDE):
        for x in range(SIDE):
            dx, dy = x - 128, y - 128
            r = math.hypot(dx, dy)
            value = 2 + y * 8 // SIDE  # dark ramp behind the face
            if r < 100:
                value = 15
            if 96 <= r < 100:
                value = 0
            if math.hypot(dx + 35, dy + 30) < 13 or math.hypot(dx - 35, dy + 30) < 13:
                value = 0
            if 55 <= r < 63 and dy > 15:
                value = 1
            out.append(value)
    return out


def checker_grey4():
    """Format 0: two pixels per byte, the left one in the low four bits."""
    values = []
    for y in range(SIDE):
        for x in range(SIDE):
            value = 12 if (x // 32 + y // 32) % 2 else 3
            r = math.hypot(x - 128, y - 128)
            if 60 <= r < 80:
                value = 15
            elif 52 <= r < 60:
                value = 0
            values.append(value)
    return bytes(values[i] | values[i + 1] << 4 for i in range(0, len(values), 2))


PAINTERS = {3: mandelbrot_rgb, 2: shapes_rgb15, 1: smiley_grey8, 0: checker_grey4}


def build():
    data = noise(FILE_SIZE)
    for fmt, offset, _ in DEMO_PICTURES:
        assert offset % FORWARD_STEP[fmt] == 0
        picture = PAINTERS[fmt]()
        data[offset:offset + len(picture)] = picture
    assert len(data) == FILE_SIZE
    return data


def main(argv):
    if len(argv) != 2:
        print("usage: python3 tools/make_demo.py OUTDIR", file=sys.stderr)
        return 2
    outdir = argv[1]
    os.makedirs(outdir, exist_ok=True)
    with open(os.path.join(outdir, "demo.bin"), "wb") as f:
        f.write(build())
    with open(os.path.join(outdir, "tessvane.cfg"), "w", newline="\n") as f:
        f.write(SETTINGS)
    print(f"wrote {outdir}/demo.bin ({FILE_SIZE} bytes) and {outdir}/tessvane.cfg")
    print(f"{'offset':>8}  {'format':<18}  {'steps of N':>10}  picture")
    for fmt, offset, what in DEMO_PICTURES:
        name = f"{fmt} {FORMAT_NAMES[fmt]}"
        print(f"{offset:>8}  {name:<18}  {offset // FORWARD_STEP[fmt]:>10}  {what}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
