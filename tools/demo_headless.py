#!/usr/bin/env python3
"""Runs the viewer in the current directory under a private Xvfb, pages to the first hidden
picture of the demo (three steps forward), saves it with D and takes a screenshot.

    python3 tools/demo_headless.py PATH-TO-TESSVANE
"""

import os
import subprocess
import sys
import time


def start_xvfb():
    read_end, write_end = os.pipe()
    server = subprocess.Popen(
        ["Xvfb", "-displayfd", str(write_end), "-nolisten", "tcp", "-noreset",
         "-screen", "0", "1024x768x24"],
        pass_fds=(write_end,), stdin=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_end)
    with os.fdopen(read_end) as pipe:
        number = pipe.readline().strip()
    if not number:
        sys.exit("Xvfb did not start")
    return server, ":" + number


def xdotool(env, *args):
    return subprocess.run(["xdotool", *args], env=env, capture_output=True, text=True).stdout.strip()


def main(argv):
    if len(argv) != 2:
        sys.exit("usage: demo_headless.py PATH-TO-TESSVANE")
    server, display = start_xvfb()
    env = dict(os.environ, DISPLAY=display)
    viewer = subprocess.Popen([argv[1]], env=env, stdin=subprocess.DEVNULL)
    try:
        window = ""
        for _ in range(100):
            window = xdotool(env, "search", "--name", "^Tessvane$").split("\n")[0]
            if window:
                break
            time.sleep(0.1)
        if not window:
            sys.exit("the viewer's window did not appear")
        time.sleep(0.5)
        for key in ["n", "n", "n", "d"]:
            xdotool(env, "windowfocus", "--sync", window)
            xdotool(env, "keydown", key)
            time.sleep(0.1)
            xdotool(env, "keyup", key)
            time.sleep(0.2)
        time.sleep(0.5)
        shot = subprocess.run(["import", "-window", window, "screenshot.png"], env=env)
        xdotool(env, "keydown", "Escape")
        time.sleep(0.1)
        xdotool(env, "keyup", "Escape")
        status = viewer.wait(timeout=10)
    finally:
        if viewer.poll() is None:
            viewer.kill()
        server.terminate()
        server.wait()
    here = os.getcwd()
    print(f"The viewer ran under a virtual display and quit with status {status}.")
    if shot.returncode == 0:
        print(f"Screenshot at offset 60000 (a Mandelbrot set in 24-bit colour): {here}/screenshot.png")
    if os.path.exists("capture_0000000001.bmp"):
        print(f"Capture of that page: {here}/capture_0000000001.bmp")
    return 0 if status == 1 and shot.returncode == 0 else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
