"""Machinery shared by the end-to-end runners.

A private Xvfb, a thin Xlib binding (through ctypes) for finding windows by their titles and
closing them, xdotool for keys, ImageMagick's import for screenshots, per-case working
directories, and an independent model of the page decode and the BMP layout from which every
expected picture is computed.
"""

import ctypes
import ctypes.util
import os
import random
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import zlib

# ---------------------------------------------------------------------------------------------
# The model: what the viewer should show and write, computed from the data file alone.

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


def _grey_rgb(grey):
    rgb = bytearray(3 * len(grey))
    rgb[0::3] = grey
    rgb[1::3] = grey
    rgb[2::3] = grey
    return rgb


_LOW_NIBBLE = bytes((b & 15) * 15 for b in range(256))
_HIGH_NIBBLE = bytes((b >> 4) * 15 for b in range(256))
_CLUT8 = bytes((b * 15) & 255 for b in range(256))
_R15 = bytes((b & 31) * 8 for b in range(256))
_G15_LOW = bytes((b >> 5) * 8 for b in range(256))
_G15_HIGH = bytes((b & 3) * 64 for b in range(256))
_B15 = bytes(((b >> 2) & 31) * 8 for b in range(256))


def decode_units(fmt, raw):
    """RGB bytes of the whole units in raw, decoded as format fmt."""
    if fmt == 0:
        grey = bytearray(2 * len(raw))
        grey[0::2] = raw.translate(_LOW_NIBBLE)
        grey[1::2] = raw.translate(_HIGH_NIBBLE)
        return _grey_rgb(grey)
    if fmt == 1:
        return _grey_rgb(raw.translate(_CLUT8))
    if fmt == 2:
        lo, hi = raw[0::2], raw[1::2]
        n = len(lo)
        # The two halves of green come from different bytes and never overlap bitwise.
        green = (int.from_bytes(lo.translate(_G15_LOW), "big") |
                 int.from_bytes(hi.translate(_G15_HIGH), "big")).to_bytes(n, "big")
        rgb = bytearray(3 * n)
        rgb[0::3] = lo.translate(_R15)
        rgb[1::3] = green
        rgb[2::3] = hi.translate(_B15)
        return rgb
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
        bgr = bytearray(rgb)
        bgr[0::3] = rgb[2::3]
        bgr[2::3] = rgb[0::3]
        out += bgr
        out += pad
    return bytes(out)


class ViewerModel:
    """The paging state the viewer should be in after the same keys."""

    def __init__(self, data, width=256, height=256):
        self.data, self.width, self.height = data, width, height
        self.offset, self.fmt = 0, 3
        self.fraction = f32(0.2)
        self.delay = 200

    def copy(self):
        other = ViewerModel(self.data, self.width, self.height)
        other.offset, other.fmt, other.fraction, other.delay = (
            self.offset, self.fmt, self.fraction, self.delay)
        return other

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

    def bmps(self):
        return [bmp_bytes(rows) for rows in self.page()]

    def matches(self, capture):
        """None when capture is this model's page, else the first difference."""
        reasons = [first_difference(capture, bmp) for bmp in self.bmps()]
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
# Pictures read back: BMP captures and PNG screenshots.

def bmp_summary(data):
    if len(data) < 54 or data[:2] != b"BM":
        return "not a BMP (%d bytes)" % len(data)
    size, _, _, off, hdr, w, h, planes, bpp = struct.unpack("<IHHIIiiHH", data[2:30])
    return "BMP %dx%d, %d bpp, file size field %d, %d bytes" % (w, h, bpp, size, len(data))


def bmp_rows(data):
    """RGB rows of a 24-bit bottom-up BMP, row 0 at the top."""
    w, h = struct.unpack("<ii", data[18:26])
    row_size = (w * 3 + 3) & ~3
    rows = []
    for r in range(h):
        at = 54 + (h - 1 - r) * row_size
        bgr = data[at:at + w * 3]
        rgb = bytearray(bgr)
        rgb[0::3] = bgr[2::3]
        rgb[2::3] = bgr[0::3]
        rows.append(bytes(rgb))
    return rows


def first_difference(got, want):
    if got == want:
        return None
    if len(got) != len(want):
        return "size %d, expected %d" % (len(got), len(want))
    for i, (a, b) in enumerate(zip(got, want)):
        if a != b:
            return "byte %d is %d, expected %d" % (i, a, b)
    return None


class Image:
    def __init__(self, width, height, rgb):
        self.width, self.height, self.rgb = width, height, rgb

    def pixel(self, x, y):
        at = 3 * (y * self.width + x)
        return tuple(self.rgb[at:at + 3])


def decode_png(blob):
    if blob[:8] != b"\x89PNG\r\n\x1a\n":
        raise ValueError("not a PNG")
    at, idat, palette = 8, bytearray(), None
    while at < len(blob):
        length, kind = struct.unpack(">I4s", blob[at:at + 8])
        body = blob[at + 8:at + 8 + length]
        at += 12 + length
        if kind == b"IHDR":
            width, height, depth, ctype, _, _, interlace = struct.unpack(">IIBBBBB", body)
        elif kind == b"PLTE":
            palette = body
        elif kind == b"IDAT":
            idat += body
        elif kind == b"IEND":
            break
    if depth != 8 or interlace:
        raise ValueError("unsupported PNG: depth %d, interlace %d" % (depth, interlace))
    channels = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}[ctype]
    stride = width * channels
    raw = zlib.decompress(bytes(idat))
    out = bytearray(height * stride)
    prev = bytearray(stride)
    for y in range(height):
        filt = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - channels] if i >= channels else 0
            b = prev[i]
            if filt == 1:
                line[i] = (line[i] + a) & 255
            elif filt == 2:
                line[i] = (line[i] + b) & 255
            elif filt == 3:
                line[i] = (line[i] + ((a + b) >> 1)) & 255
            elif filt == 4:
                c = prev[i - channels] if i >= channels else 0
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        out[y * stride:(y + 1) * stride] = line
        prev = line
    if ctype == 2:
        rgb = out
    elif ctype == 6:
        rgb = bytearray(width * height * 3)
        for c in range(3):
            rgb[c::3] = out[c::4]
    elif ctype in (0, 4):
        rgb = _grey_rgb(out[0::channels])
    else:
        rgb = bytearray()
        for index in out:
            rgb += palette[3 * index:3 * index + 3]
    return Image(width, height, bytes(rgb))


# ---------------------------------------------------------------------------------------------
# The X server and the little of Xlib that the tests need.

class _XWindowAttributes(ctypes.Structure):
    _fields_ = [("x", ctypes.c_int), ("y", ctypes.c_int), ("width", ctypes.c_int),
                ("height", ctypes.c_int), ("border_width", ctypes.c_int), ("depth", ctypes.c_int),
                ("visual", ctypes.c_void_p), ("root", ctypes.c_ulong), ("c_class", ctypes.c_int),
                ("bit_gravity", ctypes.c_int), ("win_gravity", ctypes.c_int),
                ("backing_store", ctypes.c_int), ("backing_planes", ctypes.c_ulong),
                ("backing_pixel", ctypes.c_ulong), ("save_under", ctypes.c_int),
                ("colormap", ctypes.c_ulong), ("map_installed", ctypes.c_int),
                ("map_state", ctypes.c_int), ("all_event_masks", ctypes.c_long),
                ("your_event_mask", ctypes.c_long), ("do_not_propagate_mask", ctypes.c_long),
                ("override_redirect", ctypes.c_int), ("screen", ctypes.c_void_p)]


class _XClientMessageEvent(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("window", ctypes.c_ulong),
                ("message_type", ctypes.c_ulong), ("format", ctypes.c_int),
                ("l", ctypes.c_long * 5)]


class _XEvent(ctypes.Union):
    _fields_ = [("xclient", _XClientMessageEvent), ("pad", ctypes.c_long * 24)]


_IS_VIEWABLE = 2
_CLIENT_MESSAGE = 33
_X_ERROR_HANDLER = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)


@_X_ERROR_HANDLER
def _ignore_x_error(display, event):
    # Windows vanish between listing and querying them; that is expected, not fatal.
    return 0


class XServer:
    """A private Xvfb and one Xlib connection to it."""

    def __init__(self):
        read_fd, write_fd = os.pipe()
        self.proc = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_fd), "-nolisten", "tcp", "-noreset",
             "-screen", "0", "2048x1536x24", "-ardelay", "30000", "-arinterval", "1000"],
            pass_fds=[write_fd], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL, start_new_session=True)
        os.close(write_fd)
        number = b""
        deadline = time.monotonic() + 30
        while not number.endswith(b"\n") and time.monotonic() < deadline:
            chunk = os.read(read_fd, 16)
            if not chunk:
                break
            number += chunk
        os.close(read_fd)
        if not number.strip().isdigit():
            self.stop()
            raise RuntimeError("Xvfb did not report a display number")
        self.display = ":" + number.strip().decode()

        lib = ctypes.util.find_library("X11") or "libX11.so.6"
        self.x = ctypes.CDLL(lib)
        self.x.XOpenDisplay.restype = ctypes.c_void_p
        self.x.XOpenDisplay.argtypes = [ctypes.c_char_p]
        self.x.XDefaultRootWindow.restype = ctypes.c_ulong
        self.x.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
        self.x.XInternAtom.restype = ctypes.c_ulong
        self.x.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
        self.x.XQueryTree.argtypes = [ctypes.c_void_p, ctypes.c_ulong,
                                      ctypes.POINTER(ctypes.c_ulong),
                                      ctypes.POINTER(ctypes.c_ulong),
                                      ctypes.POINTER(ctypes.POINTER(ctypes.c_ulong)),
                                      ctypes.POINTER(ctypes.c_uint)]
        self.x.XGetWindowProperty.argtypes = [
            ctypes.c_void_p, ctypes.c_ulong, ctypes.c_ulong, ctypes.c_long, ctypes.c_long,
            ctypes.c_int, ctypes.c_ulong, ctypes.POINTER(ctypes.c_ulong),
            ctypes.POINTER(ctypes.c_int), ctypes.POINTER(ctypes.c_ulong),
            ctypes.POINTER(ctypes.c_ulong), ctypes.POINTER(ctypes.c_void_p)]
        self.x.XGetWindowAttributes.argtypes = [ctypes.c_void_p, ctypes.c_ulong,
                                                ctypes.POINTER(_XWindowAttributes)]
        self.x.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int,
                                      ctypes.c_long, ctypes.POINTER(_XEvent)]
        self.x.XChangeProperty.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_ulong,
                                           ctypes.c_ulong, ctypes.c_int, ctypes.c_int,
                                           ctypes.c_void_p, ctypes.c_int]
        self.x.XFree.argtypes = [ctypes.c_void_p]
        self.x.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
        self.x.XCloseDisplay.argtypes = [ctypes.c_void_p]
        self.x.XSetErrorHandler(_ignore_x_error)
        self.dpy = self.x.XOpenDisplay(self.display.encode())
        if not self.dpy:
            self.stop()
            raise RuntimeError("cannot open display " + self.display)
        self.root = self.x.XDefaultRootWindow(self.dpy)
        self.atoms = {}

    def stop(self):
        if getattr(self, "dpy", None):
            self.x.XCloseDisplay(self.dpy)
            self.dpy = None
        if self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                os.killpg(self.proc.pid, signal.SIGKILL)
                self.proc.wait()

    def atom(self, name):
        if name not in self.atoms:
            self.atoms[name] = self.x.XInternAtom(self.dpy, name.encode(), 0)
        return self.atoms[name]

    def top_windows(self):
        root, parent = ctypes.c_ulong(), ctypes.c_ulong()
        children, count = ctypes.POINTER(ctypes.c_ulong)(), ctypes.c_uint()
        if not self.x.XQueryTree(self.dpy, self.root, ctypes.byref(root), ctypes.byref(parent),
                                 ctypes.byref(children), ctypes.byref(count)):
            return []
        out = [children[i] for i in range(count.value)]
        if children:
            self.x.XFree(children)
        return out

    def _property(self, window, name):
        kind, fmt = ctypes.c_ulong(), ctypes.c_int()
        count, after, data = ctypes.c_ulong(), ctypes.c_ulong(), ctypes.c_void_p()
        status = self.x.XGetWindowProperty(self.dpy, window, self.atom(name), 0, 4096, 0, 0,
                                           ctypes.byref(kind), ctypes.byref(fmt),
                                           ctypes.byref(count), ctypes.byref(after),
                                           ctypes.byref(data))
        if status != 0 or not data:
            return None
        try:
            if fmt.value == 8:
                return ctypes.string_at(data, count.value)
            if fmt.value == 32 and count.value:
                return ctypes.cast(data, ctypes.POINTER(ctypes.c_ulong))[0]
            return None
        finally:
            self.x.XFree(data)

    def window_name(self, window):
        # SDL's message box names itself through _NET_WM_NAME only, so read that first.
        name = self._property(window, "_NET_WM_NAME")
        if name is not None:
            return name.decode("utf-8", "replace")
        name = self._property(window, "WM_NAME")
        return name.decode("latin-1") if name is not None else None

    def attributes(self, window):
        attrs = _XWindowAttributes()
        if not self.x.XGetWindowAttributes(self.dpy, window, ctypes.byref(attrs)):
            return None
        return attrs

    def viewable_named(self, title):
        out = []
        for window in self.top_windows():
            attrs = self.attributes(window)
            if attrs and attrs.map_state == _IS_VIEWABLE and self.window_name(window) == title:
                out.append(window)
        return out

    def client_size(self, window):
        attrs = self.attributes(window)
        return (attrs.width, attrs.height) if attrs else None

    def exists(self, window):
        return window in self.top_windows()

    def mark(self, window):
        """Tags a window, so that a window made later, even under the same id, is told apart."""
        value = (ctypes.c_long * 1)(1)
        self.x.XChangeProperty(self.dpy, window, self.atom("_TESSVANE_E2E_MARK"), 6, 32, 0,
                               value, 1)  # XA_CARDINAL, PropModeReplace
        self.x.XSync(self.dpy, 0)

    def marked(self, window):
        return self._property(window, "_TESSVANE_E2E_MARK") is not None

    def request_close(self, window):
        """What a close box does: WM_DELETE_WINDOW through WM_PROTOCOLS."""
        event = _XEvent()
        event.xclient.type = _CLIENT_MESSAGE
        event.xclient.window = window
        event.xclient.message_type = self.atom("WM_PROTOCOLS")
        event.xclient.format = 32
        event.xclient.l[0] = self.atom("WM_DELETE_WINDOW")
        event.xclient.l[1] = 0  # CurrentTime
        self.x.XSendEvent(self.dpy, window, 0, 0, ctypes.byref(event))
        self.x.XSync(self.dpy, 0)


# ---------------------------------------------------------------------------------------------
# One case: its working directory, the program, keys, windows, captures.

class CaseFailure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise CaseFailure(message)


class Session:
    def __init__(self, xserver, program, root_dir, name):
        self.xs, self.program = xserver, program
        self.dir = os.path.join(root_dir, name, "cwd")
        self.log_dir = os.path.join(root_dir, name, "log")
        os.makedirs(self.dir)
        os.makedirs(self.log_dir)
        self.proc = None
        self.window = None
        self.exit_code = None
        self.notes = []
        self.shots = 0

    def note(self, text):
        """A measured figure worth showing beside the case's result."""
        self.notes.append(text)

    # Files the program reads and writes.

    def write_settings(self, **values):
        text = "# written by the end-to-end suite\n"
        text += "".join('%s="%s"\n' % (k, v) for k, v in values.items())
        with open(os.path.join(self.dir, "tessvane.cfg"), "w") as f:
            f.write(text)

    def write_file(self, name, data):
        with open(os.path.join(self.dir, name), "wb") as f:
            f.write(data)

    def bmp_files(self):
        out = []
        for base, _, files in os.walk(self.dir):
            out += [os.path.relpath(os.path.join(base, f), self.dir)
                    for f in files if f.lower().endswith(".bmp")]
        return sorted(out)

    def wait_capture(self, name, timeout=10):
        """The bytes of a capture file once it is complete."""
        path = os.path.join(self.dir, name)
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if os.path.exists(path):
                with open(path, "rb") as f:
                    data = f.read()
                if len(data) >= 6 and len(data) == struct.unpack("<I", data[2:6])[0]:
                    return data
            self.check_running()
            time.sleep(0.05)
        raise CaseFailure("capture %s did not appear within %d s (files: %s)" %
                          (name, timeout, self.bmp_files()))

    # The program.

    def start(self, **options):
        """Options reach the runner's start: env changes and a file-size limit, natively."""
        self.proc = self.program.start(self.dir, self.log_dir, self.xs.display, **options)

    def check_running(self):
        if self.proc.poll() is not None:
            raise CaseFailure("program exited early with status %s%s" %
                              (self.proc.returncode, self.stderr_excerpt()))

    def stderr_text(self):
        try:
            with open(os.path.join(self.log_dir, "stderr"), "rb") as f:
                return f.read().decode("utf-8", "replace")
        except OSError:
            return ""

    def stderr_excerpt(self, lines=15):
        text = self.program.filter_stderr(self.stderr_text()).strip()
        if not text:
            return ""
        return "; stderr: " + " | ".join(text.splitlines()[-lines:])

    def wait_exit(self, timeout=None):
        timeout = timeout or self.program.exit_timeout
        try:
            self.exit_code = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            raise CaseFailure("program still running %d s later" % timeout)
        problem = self.program.sanitizer_problem(self.exit_code, self.stderr_text())
        check(problem is None, problem or "")
        return self.exit_code

    def expect_exit(self, status, timeout=None):
        code = self.wait_exit(timeout)
        check(code == status, "exit status %s, expected %d%s" % (code, status,
                                                                  self.stderr_excerpt()))

    def stop(self):
        if self.proc is not None:
            self.program.stop(self.proc)

    # Windows.

    def wait_for(self, title, timeout=None, unmarked=False):
        timeout = timeout or self.program.window_timeout
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            found = [w for w in self.xs.viewable_named(title)
                     if not (unmarked and self.xs.marked(w))]
            if found:
                return found[-1]
            self.check_running()
            time.sleep(0.05)
        raise CaseFailure('no window titled "%s" within %d s' % (title, timeout))

    def wait_main_window(self, unmarked=False):
        self.window = self.wait_for("Tessvane", unmarked=unmarked)
        # Give the first frames time to be drawn before keys and screenshots.
        time.sleep(self.program.settle)
        return self.window

    def wait_gone(self, window, timeout=10):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            attrs = self.xs.attributes(window) if self.xs.exists(window) else None
            if attrs is None or attrs.map_state != _IS_VIEWABLE:
                return
            time.sleep(0.05)
        raise CaseFailure("window 0x%x still there after %d s" % (window, timeout))

    def recreate_window(self, key="f"):
        """Presses key and waits for the window that replaces the current one.

        The replacement is told apart by a mark on the old window rather than by its id:
        a backend that reconnects to the X server may be given the same id again."""
        old = self.window
        self.xs.mark(old)
        self.keys(key)
        new = self.wait_main_window(unmarked=True)
        if new != old:
            self.wait_gone(old)
        return new

    def client_size(self, window=None):
        return self.xs.client_size(window or self.window)

    # Keys: held for a while and focused each time, since the window id can change.

    def _xdotool(self, window, actions):
        args = ["xdotool"]
        if window is not None:
            args += ["windowfocus", "--sync", str(window)]
        args += actions
        env = dict(os.environ, DISPLAY=self.xs.display)
        try:
            subprocess.run(args, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=15, check=True)
        except (subprocess.TimeoutExpired, subprocess.CalledProcessError) as e:
            raise CaseFailure("xdotool %s failed: %s" % (" ".join(actions), e))

    def keys(self, *names, hold=0.1, gap=0.05, window=None):
        """Each key pressed and released in turn in the given (default: main) window."""
        self.check_running()
        for name in names:
            self._xdotool(window or self.window,
                          ["keydown", name, "sleep", str(hold), "keyup", name, "sleep", str(gap)])

    def hold(self, name, seconds):
        self.keys(name, hold=seconds)

    def close_box(self, box):
        # The box takes Return and goes; the program may end right after, so do not check it.
        self._xdotool(box, ["keydown", "Return", "sleep", "0.1", "keyup", "Return",
                            "sleep", "0.05"])

    def screenshot(self, window=None):
        # png24: plain 8-bit RGB, whatever few colours the window shows.
        window = window or self.window
        env = dict(os.environ, DISPLAY=self.xs.display)
        try:
            blob = subprocess.run(["import", "-window", str(window), "png24:-"], env=env,
                                  stdin=subprocess.DEVNULL, capture_output=True, timeout=30,
                                  check=True).stdout
        except (subprocess.TimeoutExpired, subprocess.CalledProcessError) as e:
            raise CaseFailure("screenshot failed: %s" % e)
        self.shots += 1
        with open(os.path.join(self.log_dir, "screenshot-%d.png" % self.shots), "wb") as f:
            f.write(blob)
        return decode_png(blob)

    def box_texts(self):
        return self.program.box_texts(self.stderr_text())


# ---------------------------------------------------------------------------------------------
# What a screenshot should show: texels of the page under given window pixels.

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


# ---------------------------------------------------------------------------------------------
# Running a list of cases.

class Case:
    def __init__(self, name, run):
        self.name, self.run = name, run


class Program:
    """How one build of the viewer is started and stopped; the runners fill this in."""
    window_timeout = 20
    exit_timeout = 20
    settle = 0.3
    box_timeout = 3
    sanitized = False

    def prepare(self, display):
        pass

    def start(self, cwd, log_dir, display):
        raise NotImplementedError

    def stop(self, proc):
        kill_group(proc)

    def after_case(self):
        pass

    def finish(self):
        pass

    def box_texts(self, stderr):
        """Texts of the message boxes shown so far, or None when they cannot be read."""
        return None

    def filter_stderr(self, text):
        return text

    def sanitizer_problem(self, code, stderr):
        if not self.sanitized:
            return None
        found = [m for m in SANITIZER_MARKERS if m in stderr]
        if code == 99 or found:
            lines = [l for l in stderr.splitlines() if any(m in l for m in SANITIZER_MARKERS)]
            return "sanitizer report (exit status %s): %s" % (code, " | ".join(lines[:5]))
        return None


def popen_logged(args, cwd, log_dir, env, preexec_fn=None):
    out = open(os.path.join(log_dir, "stdout"), "wb")
    err = open(os.path.join(log_dir, "stderr"), "wb")
    try:
        return subprocess.Popen(args, cwd=cwd, env=env, stdin=subprocess.DEVNULL, stdout=out,
                                stderr=err, start_new_session=True, preexec_fn=preexec_fn)
    finally:
        out.close()
        err.close()


def base_env(display):
    env = {k: v for k, v in os.environ.items()
           if k not in ("WAYLAND_DISPLAY", "XAUTHORITY", "SDL_VIDEODRIVER")}
    env["DISPLAY"] = display
    return env


def sanitizer_env(suppressions):
    return {
        "ASAN_OPTIONS": "exitcode=99:detect_leaks=1:abort_on_error=0:detect_stack_use_after_return=0",
        "LSAN_OPTIONS": "exitcode=99:suppressions=%s:print_suppressions=0" % suppressions,
        "UBSAN_OPTIONS": "exitcode=99:halt_on_error=1:print_stacktrace=1",
    }


SANITIZER_MARKERS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:",
                     "SUMMARY: UndefinedBehaviorSanitizer")


def run_cases(program, cases, selected=None):
    """Runs the cases one at a time against one Xvfb; prints the tally; returns the exit code."""
    started = time.monotonic()
    # A runner stopped from outside (a test timeout) still stops its programs and its Xvfb.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(128 + signal.SIGTERM))
    root_dir = tempfile.mkdtemp(prefix="tessvane-e2e-")
    keep = os.environ.get("TESSVANE_E2E_KEEP") == "1"
    xs = XServer()
    failures, passed = [], 0
    try:
        program.prepare(xs.display)
        for case in cases:
            if selected and case.name not in selected:
                continue
            t0 = time.monotonic()
            session = Session(xs, program, root_dir, case.name)
            reason = None
            try:
                case.run(session)
            except CaseFailure as e:
                reason = str(e)
            except Exception as e:  # a fault in the suite itself still counts against the case
                reason = "%s: %s" % (type(e).__name__, e)
            finally:
                session.stop()
                program.after_case()
                _wait_windows_gone(xs)
            status = "ok" if reason is None else "FAIL"
            notes = ("  (" + "; ".join(session.notes) + ")") if session.notes else ""
            print("%-30s %-4s %5.1f s%s" % (case.name, status, time.monotonic() - t0, notes),
                  flush=True)
            if reason is None:
                passed += 1
            else:
                failures.append((case.name, reason))
    finally:
        program.finish()
        xs.stop()
        if not keep and not failures:
            shutil.rmtree(root_dir, ignore_errors=True)
    for name, reason in failures:
        print("FAILED %s: %s" % (name, reason))
    if failures:
        print("case files kept in %s" % root_dir)
    print("run time %.1f s" % (time.monotonic() - started))
    print("%d passed, %d failed" % (passed, len(failures)), flush=True)
    return 1 if failures else 0


def _wait_windows_gone(xs, timeout=10):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if not xs.viewable_named("Tessvane") and not xs.viewable_named("Error"):
            return
        time.sleep(0.05)


def parse_args(argv, usage):
    """EXE and optional case names; --sanitized; --list."""
    args = [a for a in argv[1:] if not a.startswith("--")]
    flags = [a for a in argv[1:] if a.startswith("--")]
    if not args:
        sys.stderr.write(usage)
        sys.exit(2)
    exe = os.path.abspath(args[0])
    if not os.path.isfile(exe):
        sys.stderr.write("no such program: %s\n" % exe)
        sys.exit(2)
    return exe, args[1:], flags


def kill_group(proc):
    if proc.poll() is None:
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    try:
        proc.wait(10)
    except subprocess.TimeoutExpired:
        pass


MSGBOX_TRACE = re.compile(r'trace:msgbox:MSGBOX_OnInit L"((?:[^"\\]|\\.)*)"')
