#!/usr/bin/env python3
"""Runs the viewer in the current directory under a private Xvfb, pages to the first hidden
picture of the demo (three steps forward), saves it with D and takes a screenshot.

    python3 tools/demo_headless.py [--wait SECONDS] PATH-TO-TESSVANE [ARG ...]

The program may be a command that starts the viewer, e.g. `wine tessvane.exe`, which needs the
longer wait for the window (10 seconds by default) and for the exit.
"""

import os
import subprocess
import sys
import time

# The X server and its tools, shared with the end-to-end tests.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from xserver import XServer  # noqa: E402


def press(xs, window, key):
    xs.xdotool(window, ["keydown", key, "sleep", "0.1", "keyup", key, "sleep", "0.2"])


def main(argv):
    wait = 10
    if len(argv) > 2 and argv[1] == "--wait":
        wait = float(argv[2])
        argv = argv[2:]
    if len(argv) < 2:
        sys.exit("usage: demo_headless.py [--wait SECONDS] PATH-TO-TESSVANE [ARG ...]")
    xs = XServer()
    viewer = subprocess.Popen(argv[1:], env=dict(os.environ, DISPLAY=xs.display),
                              stdin=subprocess.DEVNULL)
    try:
        windows = []
        for _ in range(int(wait * 10)):
            windows = xs.viewable_named("Tessvane")
            if windows:
                break
            time.sleep(0.1)
        if not windows:
            sys.exit("the viewer's window did not appear")
        time.sleep(0.5)
        for key in ["n", "n", "n", "d"]:
            press(xs, windows[0], key)
        time.sleep(0.5)
        try:
            xs.run_tool(["import", "-window", str(windows[0]), "screenshot.png"], timeout=30)
            shot = True
        except subprocess.SubprocessError:
            shot = False
        press(xs, windows[0], "Escape")
        status = viewer.wait(timeout=wait)
    finally:
        if viewer.poll() is None:
            viewer.kill()
        xs.stop()
    here = os.getcwd()
    print(f"The viewer ran under a virtual display and quit with status {status}.")
    if shot:
        print(f"Screenshot at offset 60000 (a Mandelbrot set in 24-bit colour): {here}/screenshot.png")
    if os.path.exists("capture_0000000001.bmp"):
        print(f"Capture of that page: {here}/capture_0000000001.bmp")
    return 0 if status == 1 and shot else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
