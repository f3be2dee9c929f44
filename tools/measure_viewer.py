#!/usr/bin/env python3
"""Measures the viewer from outside: time from start to the first page on screen, and pages per
second while B is held, at 256 x 256 and 2048 x 2048, for the native build and the Windows build
under wine, each on a private Xvfb.

The data file is made of 8-byte records, a 32-bit record number and four bright marker bytes, so a
capture tells the offset it shows. B first wraps from 0 to 100 bytes before the end, then steps
back 20001 bytes a frame; the number of frames is found by replaying that arithmetic to the offset
the capture after the hold shows. Figures are medians over the runs; the load average is printed
beside them, since other work on the machine slows both.
"""

import argparse
import array
import ctypes
import os
import platform
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))

import driver  # noqa: E402
from run_native import NativeProgram  # noqa: E402
from run_wine import WineProgram  # noqa: E402

FILE_SIZE = 256 << 20
MARK = 0x4080C0FF  # bytes FF C0 80 40: no page of this file looks like an empty window
FMT_24BIT, FRACTION = 3, driver.f32(0.2)
SIZES = (256, 2048)


def records(first, count):
    words = array.array("I", bytes(8 * count))
    words[0::2] = array.array("I", range(first, first + count))
    words[1::2] = array.array("I", [MARK]) * count
    return words.tobytes()


def bytes_at(offset, count):
    first = offset // 8
    return records(first, (offset + count) // 8 - first + 1)[offset - 8 * first:][:count]


def write_data(path):
    step = 1 << 20
    with open(path, "wb") as f:
        for first in range(0, FILE_SIZE // 8, step):
            f.write(records(first, step))


def offset_shown(head):
    """The file offset whose bytes begin head, or None."""
    for shift in range(8):
        offset = 8 * struct.unpack_from("<I", head, shift)[0] - shift
        if 0 <= offset < FILE_SIZE and bytes_at(offset, len(head)) == head:
            return offset
    return None


def steps_back_to(target):
    """How many frames with B held take the viewer from offset 0 to target."""
    offset = 0
    for count in range(1, 4 * FILE_SIZE // 20000):
        offset = driver.wrapped_offset(
            driver.stepped_offset(offset, FMT_24BIT, FRACTION, -1), FILE_SIZE)
        if offset == target:
            return count
    return None


class XImage(ctypes.Structure):
    _fields_ = [("width", ctypes.c_int), ("height", ctypes.c_int), ("xoffset", ctypes.c_int),
                ("format", ctypes.c_int), ("data", ctypes.c_void_p),
                ("byte_order", ctypes.c_int), ("bitmap_unit", ctypes.c_int),
                ("bitmap_bit_order", ctypes.c_int), ("bitmap_pad", ctypes.c_int),
                ("depth", ctypes.c_int), ("bytes_per_line", ctypes.c_int),
                ("bits_per_pixel", ctypes.c_int)]


def grab(xs, window):
    """The window's pixels straight from the server (32-bit BGRX), or None while it has none.

    Far quicker than ImageMagick's import, which would blur the time to the first frame."""
    size = xs.client_size(window)
    if not size:
        return None
    xs.x.XGetImage.restype = ctypes.POINTER(XImage)
    xs.x.XGetImage.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_int,
                               ctypes.c_uint, ctypes.c_uint, ctypes.c_ulong, ctypes.c_int]
    image = xs.x.XGetImage(xs.dpy, window, 0, 0, size[0], size[1], 0xFFFFFFFF, 2)  # ZPixmap
    if not image:
        return None
    im = XImage.from_buffer_copy(image.contents)
    raw = ctypes.string_at(im.data, im.bytes_per_line * im.height)
    xs.x.XDestroyImage(image)
    if im.bits_per_pixel != 32:
        raise RuntimeError("expected a 32-bit X visual, got %d bits" % im.bits_per_pixel)
    rgb = bytearray(3 * im.width * im.height)
    for y in range(im.height):
        line = raw[y * im.bytes_per_line:y * im.bytes_per_line + 4 * im.width]
        at = 3 * im.width * y
        for c in range(3):
            rgb[at + c:at + 3 * im.width:3] = line[2 - c::4]
    return driver.Image(im.width, im.height, bytes(rgb))


def data_region(side, window_size):
    """Window rows that show file bytes rather than the black below one page of data."""
    w, h = window_size
    full_rows = driver.PAGE_SIZE[FMT_24BIT] // (3 * side)
    rows = 0
    while rows < h and driver.texel_under(w // 2, rows, w, h, side, side)[1] < full_rows:
        rows += 1
    return (0, 0, w, rows)


def run_once(xs, program, root, name, side, hold):
    """Seconds from start to the first page on screen, and frames while B was held."""
    s = driver.Session(xs, program, root, name)
    try:
        os.symlink(os.path.join(root, "position.bin"), os.path.join(s.dir, "position.bin"))
        s.write_settings(infile="position.bin", vidmode="1", showoffset="0", width=side,
                         height=side, outpath="shot")
        page = driver.load_page(bytes_at(0, driver.PAGE_SIZE[FMT_24BIT]), FMT_24BIT, side, side,
                                0)[1][0]
        started = time.monotonic()
        s.start()
        first_frame = None
        while first_frame is None:
            if time.monotonic() - started > program.window_timeout:
                raise driver.CaseFailure("no first page within %d s" % program.window_timeout)
            s.check_running()
            for window in xs.viewable_named("Tessvane"):
                image = grab(xs, window)
                region = image and data_region(side, (image.width, image.height))
                if image and driver.page_pixels_match(image, page, region) is None:
                    first_frame, s.window = time.monotonic() - started, window
            time.sleep(0.005)
        s.hold("b", hold)
        s.keys("d")
        head = driver.bmp_rows(s.wait_capture("shot_0000000001.bmp", timeout=60))[0][:48]
        offset = offset_shown(head)
        driver.check(offset is not None, "the capture shows no offset of the data file")
        steps = steps_back_to(offset)
        driver.check(steps is not None, "offset %d is not reached by B from the start" % offset)
        return first_frame, steps
    finally:
        s.stop()
        program.after_case()


def measure(label, program, root, runs, hold):
    """Table rows for one build; the sizes take turns, so that drifting load hits both alike."""
    xs = driver.XServer()
    firsts, rates = {side: [] for side in SIZES}, {side: [] for side in SIZES}
    load_before = os.getloadavg()[0]
    try:
        program.prepare(xs.display)
        for run in range(runs):
            for side in SIZES:
                first, steps = run_once(xs, program, root, "%s-%d-%d" % (label, side, run), side,
                                        hold)
                firsts[side].append(first)
                rates[side].append(steps / hold)
                print("  %s %dx%d: first page after %.2f s, %d pages in %.1f s (load %.1f)" % (
                    label, side, side, first, steps, hold, os.getloadavg()[0]), flush=True)
                # A pass through the whole file would make the count ambiguous.
                if steps > FILE_SIZE // 20001 // 2:
                    print("warning: %d steps come close to one pass through the data file" % steps)
    finally:
        program.finish()
        xs.stop()
    load = (load_before, os.getloadavg()[0])
    return [(label, "%dx%d" % (side, side), statistics.median(firsts[side]), min(firsts[side]),
             max(firsts[side]), statistics.median(rates[side]), min(rates[side]),
             max(rates[side])) + load for side in SIZES]


def machine():
    def output(*args):
        return subprocess.run(args, capture_output=True, text=True, timeout=60).stdout.strip()
    with open("/proc/cpuinfo") as f:
        cpu = next((l.split(":", 1)[1].strip() for l in f if l.startswith("model name")), "?")
    return "%s, %d cores, Debian %s, Linux %s, Mesa %s (llvmpipe under Xvfb), %s" % (
        cpu, os.cpu_count(), output("cat", "/etc/debian_version"), platform.release(),
        output("dpkg-query", "-W", "-f", "${Version}", "libgl1-mesa-dri"),
        output("wine", "--version"))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--native", default=os.path.join(ROOT, "build/release/tessvane"))
    parser.add_argument("--exe", default=os.path.join(ROOT, "build/windows/tessvane.exe"))
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--hold", type=float, default=3.0, help="seconds B is held")
    parser.add_argument("--wineprefix", default=os.path.join(ROOT, "build/measure-wine"))
    args = parser.parse_args()
    print(machine(), flush=True)
    root = tempfile.mkdtemp(prefix="tessvane-measure-")
    rows = []
    try:
        write_data(os.path.join(root, "position.bin"))
        for label, exe in (("native", args.native), ("wine", args.exe)):
            if not os.path.isfile(exe):
                print("no %s, skipped" % exe)
                continue
            exe = os.path.abspath(exe)
            program = (NativeProgram(exe, False) if label == "native" else
                       WineProgram(exe, os.path.abspath(args.wineprefix)))
            rows += measure(label, program, root, args.runs, args.hold)
    finally:
        shutil.rmtree(root, ignore_errors=True)
    print("\n%d runs each, B held %.1f s; medians (min to max)" % (args.runs, args.hold))
    print("| Build | Page | First page on screen | Pages per second, B held | Load average |")
    print("|---|---|---|---|---|")
    for r in rows:
        print("| %s | %s | %.2f s (%.2f to %.2f) | %.0f (%.0f to %.0f) | %.1f to %.1f |" % r)
    return 0 if rows else 1


if __name__ == "__main__":
    sys.exit(main())
