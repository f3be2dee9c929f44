#!/usr/bin/env python3
"""Runs the end-to-end cases against the Windows build (tessvane.exe) under wine and Xvfb.

Usage: run_wine.py EXE [CASE ...]

One wine prefix serves the whole run: $XDG_CACHE_HOME/tessvane-wine when that folder exists,
otherwise a fresh one in a temporary folder. Cases run one at a time, and the prefix's
wineserver is stopped after each, since its helpers stay tied to the X display.
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import cases  # noqa: E402
from session import (Program, base_env, parse_args, popen_logged,  # noqa: E402
                     run_cases)

# Each message box's text, as wine traces it, and the escapes in it.
MSGBOX_TRACE = re.compile(r'trace:msgbox:MSGBOX_OnInit L"((?:[^"\\]|\\.)*)"')
_WINE_ESCAPE = re.compile(r'\\(x[0-9a-fA-F]{4}|[nrt"\\])')
_WINE_ESCAPED = {"n": "\n", "r": "\r", "t": "\t", '"': '"', "\\": "\\"}


def unescape_wine(text):
    """A traced string as the program wrote it: wine escapes controls, quotes and backslashes,
    and writes \\xHHHH for characters beyond ASCII."""
    def one(match):
        code = match.group(1)
        return _WINE_ESCAPED.get(code) or chr(int(code[1:], 16))
    return _WINE_ESCAPE.sub(one, text)


class WineProgram(Program):
    def __init__(self, exe, prefix=None):
        self.exe = exe
        cache = os.environ.get("XDG_CACHE_HOME")
        reuse = os.path.join(cache, "tessvane-wine") if cache else None
        if prefix:
            os.makedirs(prefix, exist_ok=True)
            self.prefix, self.own_prefix = prefix, False
        elif reuse and os.path.isdir(reuse):
            self.prefix, self.own_prefix = reuse, False
        else:
            self.prefix, self.own_prefix = tempfile.mkdtemp(prefix="tessvane-wine-"), True
        self.display = None

    def env(self, debug="-all"):
        env = base_env(self.display)
        env.update(WINEPREFIX=self.prefix, WINEDEBUG=debug,
                   # No offer to install Mono or Gecko while the prefix is made.
                   WINEDLLOVERRIDES="mscoree,mshtml=")
        return env

    def wine(self, *args, timeout=120):
        subprocess.run(list(args), env=self.env(), stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=timeout)

    def prepare(self, display):
        self.display = display
        self.wine("wine", "wineboot", "--init", timeout=300)
        # A crash must end the process, not wait on a dialog.
        self.wine("wine", "reg", "add", r"HKCU\Software\Wine\WineDbg", "/v", "ShowCrashDialog",
                  "/t", "REG_DWORD", "/d", "0", "/f")
        self.wine("wineserver", "-w")

    def start(self, cwd, log_dir, display):
        # Now and then, on a loaded machine, wine's launcher gives up at once, silent, right after
        # the last case's server was stopped; the program itself cannot have run by then. Such a
        # start is made again, once, and said so.
        proc = popen_logged(["wine", self.exe], cwd, log_dir, self.env("-all,trace+msgbox"))
        try:
            proc.wait(0.5)
        except subprocess.TimeoutExpired:
            return proc
        if os.path.getsize(os.path.join(log_dir, "stderr")) == 0:
            print("  (wine ended at once with status %s and no output; started again)" % proc.returncode)
            self.stop_server()
            return popen_logged(["wine", self.exe], cwd, log_dir, self.env("-all,trace+msgbox"))
        return proc

    def stop_server(self):
        try:
            self.wine("wineserver", "-k")
            self.wine("wineserver", "-w")
        except subprocess.TimeoutExpired:
            pass

    def after_case(self):
        self.stop_server()

    def finish(self):
        if self.display:
            self.stop_server()
        if self.own_prefix:
            shutil.rmtree(self.prefix, ignore_errors=True)

    def box_texts(self, stderr):
        return [unescape_wine(m) for m in MSGBOX_TRACE.findall(stderr)]

    def filter_stderr(self, text):
        return "\n".join(l for l in text.splitlines() if "trace:msgbox" not in l)


def main():
    exe, selected, _ = parse_args(sys.argv, "usage: run_wine.py EXE [CASE ...]\n")
    return run_cases(WineProgram(exe), cases.CASES, selected)


if __name__ == "__main__":
    sys.exit(main())
