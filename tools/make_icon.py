#!/usr/bin/env python3
"""Draws the program icon and writes it in the two forms the backends use.

    display/win32/tessvane.ico    icon group for the Windows resource: 32x32 at 16 colours,
                                  48x48 at 256 colours, 32x32 at 256 colours (BMP entries with
                                  AND masks)
    display/sdl/icon_pixels.h     the same artwork as 32x32 RGBA bytes, row 0 at the top

The picture: a grid of coloured blocks, as the viewer shows raw bytes, with a magnifying glass
whose lens shows the blocks beneath it enlarged. Only the standard library is used, and the
output is the same on every run. Run from anywhere: python3 tools/make_icon.py [repo root]
"""

import math
import os
import struct
import sys

# The classic 16-colour palette, in index order, as 4-bit icons expect it.
VGA_PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]

# Colours the 16-colour image can show exactly, so the small icon stays clean.
BLOCK_COLOURS = [
    (255, 0, 0), (255, 255, 0), (0, 255, 0), (0, 255, 255),
    (0, 0, 255), (255, 0, 255), (255, 255, 255), (192, 192, 192),
]
BACKGROUND = (0, 0, 128)
RIM = (255, 255, 255)
OUTLINE = (0, 0, 0)
HANDLE = (128, 128, 0)

GRID_CELLS = 5
GRID_LOW, GRID_HIGH = 0.10, 0.90
LENS_CENTRE = (0.56, 0.54)
LENS_RADIUS = 0.19
RIM_WIDTH = 0.06
HANDLE_FROM, HANDLE_TO, HANDLE_WIDTH = (0.71, 0.71), (0.93, 0.93), 0.13
MAGNIFICATION = 1.6


def block_colour(x, y):
    """Colour of the block grid at (x, y) in the unit square, or None in a gap or outside."""
    if not (GRID_LOW <= x < GRID_HIGH and GRID_LOW <= y < GRID_HIGH):
        return None
    cell = (GRID_HIGH - GRID_LOW) / GRID_CELLS
    column = int((x - GRID_LOW) / cell)
    row = int((y - GRID_LOW) / cell)
    inner_x = (x - GRID_LOW) - column * cell
    inner_y = (y - GRID_LOW) - row * cell
    if inner_x > cell * 0.86 or inner_y > cell * 0.86:
        return None
    return BLOCK_COLOURS[(row * 3 + column * 2 + row * column) % len(BLOCK_COLOURS)]


def in_rounded_square(x, y, low, high, radius):
    if not (low <= x <= high and low <= y <= high):
        return False
    cx = min(max(x, low + radius), high - radius)
    cy = min(max(y, low + radius), high - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius * radius


def distance_to_segment(x, y, a, b):
    dx, dy = b[0] - a[0], b[1] - a[1]
    t = ((x - a[0]) * dx + (y - a[1]) * dy) / (dx * dx + dy * dy)
    t = min(max(t, 0.0), 1.0)
    return math.hypot(x - (a[0] + t * dx), y - (a[1] + t * dy))


def scene(x, y):
    """RGBA colour of the artwork at (x, y), y downwards; alpha is 0 or 255."""
    handle = distance_to_segment(x, y, HANDLE_FROM, HANDLE_TO)
    if handle <= HANDLE_WIDTH / 2:
        inner = handle <= HANDLE_WIDTH / 2 - 0.03
        return (HANDLE if inner else OUTLINE) + (255,)
    lens = math.hypot(x - LENS_CENTRE[0], y - LENS_CENTRE[1])
    if lens <= LENS_RADIUS:
        zoomed = block_colour(LENS_CENTRE[0] + (x - LENS_CENTRE[0]) / MAGNIFICATION,
                              LENS_CENTRE[1] + (y - LENS_CENTRE[1]) / MAGNIFICATION)
        return (zoomed or BACKGROUND) + (255,)
    if lens <= LENS_RADIUS + RIM_WIDTH:
        return RIM + (255,)
    if lens <= LENS_RADIUS + RIM_WIDTH + 0.03:
        return OUTLINE + (255,)
    if not in_rounded_square(x, y, 0.02, 0.98, 0.14):
        return (0, 0, 0, 0)
    colour = block_colour(x, y)
    return (colour or BACKGROUND) + (255,)


def render(size, samples):
    """size x size RGBA pixels, row 0 at the top, each the mean of samples x samples points."""
    pixels = []
    for row in range(size):
        for column in range(size):
            total = [0, 0, 0, 0]
            for sy in range(samples):
                for sx in range(samples):
                    r, g, b, a = scene((column + (sx + 0.5) / samples) / size,
                                       (row + (sy + 0.5) / samples) / size)
                    total[0] += r * a
                    total[1] += g * a
                    total[2] += b * a
                    total[3] += a
            alpha = total[3]
            if alpha == 0:
                pixels.append((0, 0, 0, 0))
            else:
                pixels.append(tuple(round(c / alpha) for c in total[:3]) +
                              (round(alpha / (samples * samples)),))
    return pixels


def nearest(palette, colour):
    return min(range(len(palette)),
               key=lambda i: sum((p - c) ** 2 for p, c in zip(palette[i], colour)))


def median_cut(colours, count):
    """A palette of at most count colours for the given list of RGB colours."""
    boxes = [sorted(set(colours))]
    while len(boxes) < count:
        spans = []
        for box in boxes:
            span = max(max(c[k] for c in box) - min(c[k] for c in box) for k in range(3))
            spans.append(span if len(box) > 1 else -1)
        widest = max(range(len(boxes)), key=lambda i: spans[i])
        if spans[widest] <= 0:
            break
        box = boxes.pop(widest)
        channel = max(range(3), key=lambda k: max(c[k] for c in box) - min(c[k] for c in box))
        box.sort(key=lambda c: c[channel])
        half = len(box) // 2
        boxes += [box[:half], box[half:]]
    return [tuple(round(sum(c[k] for c in box) / len(box)) for k in range(3)) for box in boxes]


def row_bytes(bits_per_row):
    return (bits_per_row + 31) // 32 * 4


def pack_rows(values, size, bits):
    """Bottom-up rows of size values of the given bit depth, each padded to four bytes."""
    data = bytearray()
    per_byte = 8 // bits
    for row in reversed(range(size)):
        line = bytearray(row_bytes(size * bits))
        for column in range(size):
            value = values[row * size + column]
            shift = 8 - bits * (column % per_byte + 1)
            line[column // per_byte] |= value << shift
        data += line
    return data


def icon_image(pixels, size, bits):
    """One BMP-format icon entry: header, palette, colour indices and the AND mask."""
    opaque = [p[3] >= 128 for p in pixels]
    if bits == 4:
        palette = list(VGA_PALETTE)
    else:
        # Index 0 stays black: transparent pixels use it, so the mask leaves the screen as it is.
        found = [p[:3] for p, solid in zip(pixels, opaque) if solid]
        palette = [(0, 0, 0)] + median_cut(found, 255)
        palette += [(0, 0, 0)] * (256 - len(palette))
    cache = {}
    indices = []
    for p, solid in zip(pixels, opaque):
        if not solid:
            indices.append(0)
            continue
        if p[:3] not in cache:
            cache[p[:3]] = nearest(palette, p[:3])
        indices.append(cache[p[:3]])
    colour_data = pack_rows(indices, size, bits)
    mask_data = pack_rows([0 if solid else 1 for solid in opaque], size, 1)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bits, 0,
                         len(colour_data) + len(mask_data), 0, 0, 0, 0)
    table = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in palette)
    return header + table + colour_data + mask_data


def icon_file(entries):
    """An .ico file from (size, bits, image bytes) entries, in the given order."""
    directory = struct.pack("<HHH", 0, 1, len(entries))
    offset = 6 + 16 * len(entries)
    body = b""
    for size, bits, image in entries:
        directory += struct.pack("<BBBBHHII", size % 256, size % 256, 16 if bits == 4 else 0, 0,
                                 1, bits, len(image), offset + len(body))
        body += image
    return directory + body


def pixels_header(pixels, size):
    lines = [
        "// Generated by tools/make_icon.py; edit that script, not this file.",
        "// The program icon as RGBA bytes, row 0 at the top.",
        "#pragma once",
        "",
        f"constexpr int kIconSize = {size};",
        f"constexpr unsigned char kIconPixels[{size} * {size} * 4] = {{",
    ]
    flat = [c for p in pixels for c in p]
    for start in range(0, len(flat), 32):
        lines.append("    " + ", ".join(str(c) for c in flat[start:start + 32]) + ",")
    lines.append("};")
    return "\n".join(lines) + "\n"


def build(root):
    small_rgba = render(32, 4)
    entries = [
        (32, 4, icon_image(render(32, 1), 32, 4)),
        (48, 8, icon_image(render(48, 4), 48, 8)),
        (32, 8, icon_image(small_rgba, 32, 8)),
    ]
    with open(os.path.join(root, "display", "win32", "tessvane.ico"), "wb") as f:
        f.write(icon_file(entries))
    with open(os.path.join(root, "display", "sdl", "icon_pixels.h"), "w", newline="\n") as f:
        f.write(pixels_header(small_rgba, 32))


if __name__ == "__main__":
    build(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), ".."))
