"""What the viewer should show and write, computed from the data file alone.

An independent model of the page decode, the paging keys and the BMP layout, from which every
expected picture is computed, and the helpers that hold captures and screenshots against it.
"""

import copy
import random
import struct

PAGE_SIZE = (50000, 100000, 150000, 200000)
# Pixels and bytes per decoding unit, by format.
UNIT = ((4, 2), (2, 2), (1, 2), (1, 3))
VIDEO_MODES = ((512, 384), (640, 480), (800, 600), (1024, 768), (1280, 960), (1280, 1024),
               (1600, 1200))


def f32(x):
    return struct.unpack("<f", struct.pack("<f", x))[0]


def next_pow2(n):
    if n <= 0:
        return 0
    p = 1
    while p < n:
        p *= 2
    return p


# ---------------------------------------------------------------------------------------------
# Decoding a page.

_LOW_NIBBLE = bytes((b & 15) * 15 for b in range(256))
_HIGH_NIBBLE = bytes((b >> 4) * 15 for b in range(256))
_CLUT8 = bytes((b * 15) & 255 for b in range(256))
_R15 = bytes((b & 31) * 8 for b in range(256))
_G15_LOW = bytes((b >> 5) * 8 for b in range(256))
_G15_HIGH = bytes((b & 3) * 64 for b in range(256))
_B15 = bytes(((b >> 2) & 31) * 8 for b in range(256))


def _interleave(red, green, blue):
    rgb = bytearray(3 * len(red))
    rgb[0::3], rgb[1::3], rgb[2::3] = red, green, blue
    return rgb


def decode_units(fmt, raw):
    """RGB bytes of the whole units in raw, decoded as format fmt."""
    if fmt == 0:
        grey = bytearray(2 * len(raw))
        grey[0::2] = raw.translate(_LOW_NIBBLE)
        grey[1::2] = raw.translate(_HIGH_NIBBLE)
        return _interleave(grey, grey, grey)
    if fmt == 1:
        grey = raw.translate(_CLUT8)
        return _interleave(grey, grey, grey)
    if fmt == 2:
        lo, hi = raw[0::2], raw[1::2]
        n = len(lo)
        # The two halves of green come from different bytes and never overlap bitwise.
        green = (int.from_bytes(lo.translate(_G15_LOW), "big") |
                 int.from_bytes(hi.translate(_G15_HIGH), "big")).to_bytes(n, "big")
        return _interleave(lo.translate(_R15), green, hi.translate(_B15))
    return bytearray(raw)


def _page_rows(buf, fmt, width, height, tex_w, tex_h, partial, max_rows):
    upix, ubytes = UNIT[fmt]
    units_per_row = -(-width // upix)
    row_bytes = units_per_row * ubytes
    black_row = bytes(3 * tex_w)
    rows = []
    for y in range(min(tex_h, max_rows)):
        if y >= height:
            rows.append(black_row)
            continue
        chunk = buf[y * row_bytes:(y + 1) * row_bytes]
        whole = len(chunk) // ubytes
        rgb = decode_units(fmt, bytes(chunk[:whole * ubytes]))
        if len(chunk) % ubytes:
            # A unit cut short by the end of the page: zero-filled or black, either is allowed.
            if partial == "zero":
                rgb += decode_units(fmt, bytes(chunk[whole * ubytes:]).ljust(ubytes, b"\0"))
            else:
                rgb += bytes(3 * upix)
        rgb += bytes(3 * tex_w - len(rgb))
        rows.append(bytes(rgb))
    return rows


def stepped_offset(offset, fmt, fraction, direction):
    """The offset one step asks for, before the end-of-file rules."""
    # Double-precision sum truncated toward zero, as the viewer does it.
    return int(offset + direction * (PAGE_SIZE[fmt] * fraction * 0.5))


def wrapped_offset(start, size):
    """Where a page load asked for start settles in a file of size bytes."""
    if start >= size:
        return 0
    if start < 0:
        return size - 100 if size >= 200 else 0
    return start


def load_page(data, fmt, width, height, start, max_rows=1 << 30):
    """Offset after the end-of-file rules, and the page as lists of RGB rows (row 0 first).

    Usually one picture; two when the page ends inside a unit, since such a unit may be shown
    with its missing bytes as zero or all black."""
    size = len(data)
    end = PAGE_SIZE[fmt] if start >= size else start + PAGE_SIZE[fmt]
    start = wrapped_offset(start, size)
    if end > size or start > end:
        end = size
    buf = data[start:end]
    tex_w, tex_h = next_pow2(width), next_pow2(height)
    variants = [_page_rows(buf, fmt, width, height, tex_w, tex_h, "zero", max_rows)]
    if len(buf) % UNIT[fmt][1] and len(buf) < -(-width // UNIT[fmt][0]) * UNIT[fmt][1] * height:
        variants.append(_page_rows(buf, fmt, width, height, tex_w, tex_h, "black", max_rows))
    return start, variants


# ---------------------------------------------------------------------------------------------
# BMP captures: the layout the viewer should write, and reading one back.

def _swap_red_blue(pixels):
    out = bytearray(pixels)
    out[0::3], out[2::3] = pixels[2::3], pixels[0::3]
    return out


def bmp_bytes(rows):
    """A 24-bit bottom-up BMP of RGB rows (row 0 is the top of the picture)."""
    tex_h = len(rows)
    tex_w = len(rows[0]) // 3 if rows else 0
    row_size = (tex_w * 3 + 3) & ~3
    image_size = row_size * tex_h
    out = bytearray(struct.pack("<2sIHHIIiiHHIIiiII", b"BM", 54 + image_size, 0, 0, 54, 40, tex_w,
                                tex_h, 1, 24, 0, image_size, 0, 0, 0, 0))
    pad = bytes(row_size - tex_w * 3)
    for rgb in reversed(rows):
        out += _swap_red_blue(rgb) + pad
    return bytes(out)


def bmp_rows(data):
    """RGB rows of a 24-bit bottom-up BMP, row 0 at the top."""
    w, h = struct.unpack("<ii", data[18:26])
    row_size = (w * 3 + 3) & ~3
    rows = []
    for r in range(h):
        at = 54 + (h - 1 - r) * row_size
        rows.append(bytes(_swap_red_blue(data[at:at + w * 3])))
    return rows


def bmp_summary(data):
    if len(data) < 54 or data[:2] != b"BM":
        return "not a BMP (%d bytes)" % len(data)
    size, _, _, off, hdr, w, h, planes, bpp = struct.unpack("<IHHIIiiHH", data[2:30])
    return "BMP %dx%d, %d bpp, file size field %d, %d bytes" % (w, h, bpp, size, len(data))


def first_difference(got, want):
    if got == want:
        return None
    if len(got) != len(want):
        return "size %d, expected %d" % (len(got), len(want))
    for i, (a, b) in enumerate(zip(got, want)):
        if a != b:
            return "byte %d is %d, expected %d" % (i, a, b)
    return None


# ---------------------------------------------------------------------------------------------
# The paging state.

class ViewerModel:
    """The paging state the viewer should be in after the same keys."""

    def __init__(self, data, width=256, height=256):
        self.data, self.width, self.height = data, width, height
        self.offset, self.fmt = 0, 3
        self.fraction = f32(0.2)
        self.delay = 200

    def copy(self):
        return copy.copy(self)

    def reload(self):
        self.offset, _ = load_page(self.data, self.fmt, self.width, self.height, self.offset)

    def step(self, direction):
        self.offset = stepped_offset(self.offset, self.fmt, self.fraction, direction)
        self.reload()

    def next_format(self):
        self.fmt = (self.fmt + 1) % 4
        self.reload()

    def change_fraction(self, sign):
        value = self.fraction + sign * f32(0.1)
        self.fraction = f32(min(max(value, f32(0.1)), f32(1.0)))

    def change_delay(self, sign):
        self.delay = min(max(self.delay + 25 * sign, 0), 1000)

    def page(self):
        return load_page(self.data, self.fmt, self.width, self.height, self.offset)[1]

    def matches(self, capture):
        """None when capture is this model's page, else the first difference."""
        reasons = [first_difference(capture, bmp_bytes(rows)) for rows in self.page()]
        return None if None in reasons else reasons[0]

    def top_row_matches(self, top_row):
        variants = load_page(self.data, self.fmt, self.width, self.height, self.offset, 1)[1]
        return any(rows and rows[0] == top_row for rows in variants)

    def after_steps(self, direction, count):
        """Models after 1, 2, ... count steps in one direction."""
        model = self.copy()
        out = []
        for _ in range(count):
            model.step(direction)
            out.append(model.copy())
        return out


def match_sequence(capture, models):
    """Index of the first model whose page the capture shows, or None."""
    if len(capture) < 54 or capture[:2] != b"BM":
        return None
    top = bmp_rows(capture)[0] if struct.unpack("<i", capture[22:26])[0] > 0 else b""
    for index, model in enumerate(models):
        if model.top_row_matches(top) and model.matches(capture) is None:
            return index
    return None


def make_data(size, seed, grey_head=0, grey=0x40):
    """Random bytes, so that every offset looks different, after an optional even grey head."""
    rng = random.Random(seed)
    return bytes([grey]) * grey_head + rng.randbytes(max(size - grey_head, 0))


# ---------------------------------------------------------------------------------------------
# Screenshots: what window pixels should show.

class Image:
    def __init__(self, width, height, rgb):
        self.width, self.height, self.rgb = width, height, rgb

    def pixel(self, x, y):
        at = 3 * (y * self.width + x)
        return tuple(self.rgb[at:at + 3])


def texel_under(x, y, width, height, tex_w, tex_h):
    """Texture column and row drawn at the centre of window pixel (x, y), with the fractional
    position inside the texel, for the quad 18 x 13.4 at depth 16 under a 45 degree view."""
    half_h = 16.0 * 0.41421356237309503  # tan(22.5 degrees)
    half_w = half_h * (f32(width / height))
    world_x = ((x + 0.5) / width * 2.0 - 1.0) * half_w
    world_y = (1.0 - (y + 0.5) / height * 2.0) * half_h
    s = (world_x + 9.0) / 18.0 * tex_w
    t = (6.7 - world_y) / 13.4 * tex_h
    return int(s), int(t), s - int(s), t - int(t)


def page_pixels_match(image, rows, region, samples=40, tolerance=8):
    """None when sampled window pixels in region show the page's texels, else a reason."""
    tex_h = len(rows)
    tex_w = len(rows[0]) // 3
    x0, y0, x1, y1 = region
    rng = random.Random(1)
    checked = 0
    for _ in range(samples * 20):
        if checked >= samples:
            break
        x, y = rng.randrange(x0, x1), rng.randrange(y0, y1)
        col, row, fx, fy = texel_under(x, y, image.width, image.height, tex_w, tex_h)
        # Pixels near a texel edge could round either way; judge only clear ones.
        if not (0.25 < fx < 0.75 and 0.25 < fy < 0.75):
            continue
        want = tuple(rows[row][3 * col:3 * col + 3])
        got = image.pixel(x, y)
        if any(abs(a - b) > tolerance for a, b in zip(got, want)):
            return "window pixel (%d,%d) is %s, texel (%d,%d) of the page is %s" % (
                x, y, got, col, row, want)
        checked += 1
    if checked < samples // 2:
        return "too few window pixels could be judged (%d)" % checked
    return None


def overlay_pixels(image, background, region):
    """White and dark pixels in region of a window that shows an even grey page."""
    x0, y0, x1, y1 = region
    white, dark = [], []
    for y in range(y0, min(y1, image.height)):
        for x in range(x0, min(x1, image.width)):
            p = image.pixel(x, y)
            if min(p) >= 250:
                white.append((x, y))
            elif max(p) < background - 24:
                dark.append((x, y))
    return white, dark
