#!/usr/bin/env python3
"""Runs the end-to-end cases against the native (SDL2) build under a private Xvfb.

Usage: run_native.py EXE [CASE ...] [--sanitized]

A build with AddressSanitizer is recognised by itself; TESSVANE_SANITIZED=1 or --sanitized
says so explicitly. Sanitizer reports then fail the case that produced them, leaks inside
system libraries excepted (lsan.supp).
"""

import glob
import os
import resource
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import cases  # noqa: E402
from session import (Program, base_env, parse_args, popen_logged, run_cases,  # noqa: E402
                     sanitizer_env)


DRI_DRIVERS = ("/usr/lib/x86_64-linux-gnu/dri/swrast_dri.so", "/usr/lib64/dri/swrast_dri.so",
               "/usr/lib/dri/swrast_dri.so")


def sanitizer_preload(exe):
    """LD_PRELOAD that keeps Mesa's software driver loaded until the leak check.

    The driver is unloaded whenever the X display closes; its allocations then show as
    nameless frames that no suppression can match. The sanitizer runtime must stay first."""
    try:
        listing = subprocess.run(["ldd", exe], capture_output=True, text=True, timeout=120).stdout
    except (OSError, subprocess.TimeoutExpired):
        return None
    runtime = [line.split("=>")[1].split()[0] for line in listing.splitlines()
               if "libasan.so" in line and "=>" in line]
    drivers = [p for p in DRI_DRIVERS if os.path.exists(p)] or glob.glob("/usr/lib*/**/swrast_dri.so",
                                                                          recursive=True)
    if not runtime or not drivers:
        return None
    return "%s %s" % (runtime[0], drivers[0])


class NativeProgram(Program):
    def __init__(self, exe, sanitized):
        self.exe, self.sanitized = exe, sanitized
        self.preload = sanitizer_preload(exe) if sanitized else None

    def start(self, cwd, log_dir, display, env_changes=None, file_size_limit=None):
        env = base_env(display)
        if self.sanitized:
            env.update(sanitizer_env(os.path.join(HERE, "lsan.supp")))
            if self.preload:
                env["LD_PRELOAD"] = self.preload
        for name, value in (env_changes or {}).items():
            if value is None:
                env.pop(name, None)
            else:
                env[name] = value
        preexec = None
        if file_size_limit is not None:
            def preexec():
                resource.setrlimit(resource.RLIMIT_FSIZE, (file_size_limit, file_size_limit))
        return popen_logged([self.exe], cwd, log_dir, env, preexec)


def looks_sanitized(exe):
    with open(exe, "rb") as f:
        return b"__asan_init" in f.read()


def main():
    exe, selected, flags = parse_args(
        sys.argv, "usage: run_native.py EXE [CASE ...] [--sanitized]\n")
    sanitized = ("--sanitized" in flags or os.environ.get("TESSVANE_SANITIZED") == "1" or
                 looks_sanitized(exe))
    if sanitized:
        print("sanitized build: sanitizer reports fail the case")
    return run_cases(NativeProgram(exe, sanitized), cases.CASES + cases.NATIVE_CASES, selected)


if __name__ == "__main__":
    sys.exit(main())
