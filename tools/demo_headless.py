#!/usr/bin/env python3
"""Runs the viewer in the current directory under a private Xvfb, pages to the first hidden
picture of the demo (three steps forward), saves it with D and takes a screenshot.

    python3 tools/demo_headless.py [--wait SECONDS] PATH-TO-TESSVANE [ARG ...]

The program may be a command that starts the viewer, e.g. `wine tessvane.exe`. Each step waits for
the viewer (its window, its frames after each key, its exit); SECONDS (120 by default) only
bounds a viewer that hangs.
"""

import os
import subprocess
import sys

# The X server and its tools, shared with the end-to-end tests.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from session import wait_until  # noqa: E402
from xserver import XServer  # noqa: E402


def main(argv):
    wait = 120
    if len(argv) > 2 and argv[1] == "--wait":
        wait = float(argv[2])
        argv = argv[2:]
    if len(argv) < 2:
        sys.exit("usage: demo_headless.py [--wait SECONDS] PATH-TO-TESSVANE [ARG ...]")
    xs = XServer()
    viewer = subprocess.Popen(argv[1:], env=dict(os.environ, DISPLAY=xs.display),
                              stdin=subprocess.DEVNULL)
    try:
        def window_or_exit():
            return "exited" if viewer.poll() is not None else xs.viewable_named("Tessvane")

        windows = wait_until(window_or_exit, wait)
        if not windows or windows == "exited":
            sys.exit("the viewer's window did not appear")
        window = windows[0]
        damage = xs.watch(window)

        def stopped():
            if viewer.poll() is not None:
                return "exited"
            return None if xs.viewable(window) and not xs.viewable_named("Error") else "gone"

        shot = xs.follow(damage, stopped, timeout=wait) is None
        for key in ["n", "n", "n", "d"]:
            shot = shot and xs.focus(window, wait) and xs.press(damage, key, stopped,
                                                                 timeout=wait) is None
        if shot:
            try:
                xs.run_tool(["import", "-window", str(window), "screenshot.png"], timeout=wait)
            except subprocess.SubprocessError:
                shot = False
        if xs.focus(window, wait):
            xs.press(damage, "Escape", stopped, timeout=wait)
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
