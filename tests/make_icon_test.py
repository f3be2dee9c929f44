#!/usr/bin/env python3
"""Checks the committed icon files: that they are what tools/make_icon.py writes now, and that
the .ico decodes, with a reader written here, to the same picture as the RGBA header."""

import os
import re
import struct
import sys
import tempfile
import unittest

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
ICO_PATH = os.path.join(ROOT, "display", "win32", "tessvane.ico")
HEADER_PATH = os.path.join(ROOT, "display", "sdl", "icon_pixels.h")
sys.path.insert(0, os.path.join(ROOT, "tools"))
import make_icon  # noqa: E402


def read_ico(data):
    """Entries of an icon file as dicts with the directory fields and the decoded image."""
    reserved, kind, count = struct.unpack_from("<HHH", data, 0)
    assert (reserved, kind) == (0, 1), "not an icon file"
    entries = []
    for i in range(count):
        width, height, colours, _, planes, bits, length, offset = struct.unpack_from(
            "<BBBBHHII", data, 6 + 16 * i)
        image = data[offset:offset + length]
        entry = dict(width=width or 256, height=height or 256, colours=colours, planes=planes,
                     bits=bits, offset=offset, length=length, image_length=len(image))
        entry.update(read_bmp_entry(image))
        entries.append(entry)
    return entries


def read_bmp_entry(image):
    (header_size, width, double_height, planes, bits, compression,
     _, _, _, used, _) = struct.unpack_from("<IiiHHIIiiII", image, 0)
    height = double_height // 2
    palette_count = used or (1 << bits)
    palette = [tuple(image[header_size + 4 * i + k] for k in (2, 1, 0)) for i in range(palette_count)]
    colour_at = header_size + 4 * palette_count
    colour_stride = (width * bits + 31) // 32 * 4
    mask_at = colour_at + colour_stride * height
    mask_stride = (width + 31) // 32 * 4
    indices, mask = [], []
    for row in range(height):
        colour_line = colour_at + (height - 1 - row) * colour_stride
        mask_line = mask_at + (height - 1 - row) * mask_stride
        for column in range(width):
            bit = column * bits
            byte = image[colour_line + bit // 8]
            indices.append((byte >> (8 - bits - bit % 8)) & ((1 << bits) - 1))
            mask.append((image[mask_line + column // 8] >> (7 - column % 8)) & 1)
    return dict(header_size=header_size, bmp_width=width, bmp_double_height=double_height,
                bmp_planes=planes, bmp_bits=bits, compression=compression, palette=palette,
                indices=indices, mask=mask, expected_length=mask_at + mask_stride * height)


def read_header_pixels(text):
    size = int(re.search(r"kIconSize = (\d+);", text).group(1))
    body = text[text.index("= {") + 3:text.rindex("}")]
    values = [int(v) for v in re.findall(r"\d+", body)]
    return size, [tuple(values[i:i + 4]) for i in range(0, len(values), 4)]


class GeneratedFilesTest(unittest.TestCase):
    def test_committed_files_match_the_tool(self):
        with tempfile.TemporaryDirectory() as scratch:
            os.makedirs(os.path.join(scratch, "display", "win32"))
            os.makedirs(os.path.join(scratch, "display", "sdl"))
            make_icon.build(scratch)
            for path in (ICO_PATH, HEADER_PATH):
                relative = os.path.relpath(path, ROOT)
                with open(path, "rb") as committed, open(os.path.join(scratch, relative), "rb") as fresh:
                    self.assertEqual(committed.read(), fresh.read(), f"{relative} is stale: run the tool")


class IconFileTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        with open(ICO_PATH, "rb") as f:
            cls.data = f.read()
        cls.entries = read_ico(cls.data)
        with open(HEADER_PATH) as f:
            cls.size, cls.rgba = read_header_pixels(f.read())

    def test_directory_lists_the_three_images_in_order(self):
        shapes = [(e["width"], e["height"], e["colours"], e["bits"], e["planes"]) for e in self.entries]
        self.assertEqual(shapes, [(32, 32, 16, 4, 1), (48, 48, 0, 8, 1), (32, 32, 0, 8, 1)])
        spans = sorted((e["offset"], e["offset"] + e["length"]) for e in self.entries)
        self.assertEqual(spans[0][0], 6 + 16 * len(self.entries))
        for (_, end), (start, _) in zip(spans, spans[1:]):
            self.assertEqual(end, start, "images overlap or leave gaps")
        self.assertEqual(spans[-1][1], len(self.data))

    def test_entries_are_complete_bitmaps_with_masks(self):
        for e in self.entries:
            self.assertEqual((e["header_size"], e["bmp_planes"], e["compression"]), (40, 1, 0))
            self.assertEqual((e["bmp_width"], e["bmp_double_height"], e["bmp_bits"]),
                             (e["width"], 2 * e["height"], e["bits"]))
            self.assertEqual(e["expected_length"], e["image_length"])
            self.assertEqual(len(e["palette"]), 1 << e["bits"])
            # Masked pixels must be black in the colour plane, or they tint the screen.
            for index, masked in zip(e["indices"], e["mask"]):
                if masked:
                    self.assertEqual(e["palette"][index], (0, 0, 0))

    def assert_looks_like(self, entry, rgba, tolerance):
        errors = []
        for (r, g, b, a), index, masked in zip(rgba, entry["indices"], entry["mask"]):
            self.assertEqual(bool(masked), a < 128)
            if not masked:
                errors.append(sum(abs(x - y) for x, y in zip(entry["palette"][index], (r, g, b))) / 3)
        self.assertLess(sum(errors) / len(errors), tolerance)

    def test_256_colour_images_show_the_artwork(self):
        self.assert_looks_like(self.entries[2], self.rgba, 4)
        self.assert_looks_like(self.entries[1], make_icon.render(48, 4), 4)

    def test_16_colour_image_uses_the_standard_palette(self):
        small = self.entries[0]
        self.assertEqual(small["palette"], make_icon.VGA_PALETTE)
        # Rendered without smoothing, every pixel of the artwork is a palette colour.
        self.assert_looks_like(small, make_icon.render(32, 1), 0.001)
        self.assert_looks_like(small, self.rgba, 40)


if __name__ == "__main__":
    unittest.main()
