"""Running cases: one case's working directory, program, keys, windows and captures, and the
loop that runs a list of cases against one private X server.

A runner describes how its build is started and stopped by filling in a Program.
"""

import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

from xserver import FRAMES, XServer


class CaseFailure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise CaseFailure(message)


class Case:
    def __init__(self, name, run):
        self.name, self.run = name, run


def wait_until(found, timeout, between=None):
    """found()'s first true result within timeout seconds, else its last one. between() runs
    after each false result and may raise to give up early."""
    deadline = time.monotonic() + timeout
    while True:
        result = found()
        if result or time.monotonic() >= deadline:
            return result
        if between:
            between()
        time.sleep(0.05)


# ---------------------------------------------------------------------------------------------
# Starting and stopping programs.

SANITIZER_MARKERS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:",
                     "SUMMARY: UndefinedBehaviorSanitizer")


def sanitizer_env(suppressions):
    return {
        "ASAN_OPTIONS": "exitcode=99:detect_leaks=1:abort_on_error=0:detect_stack_use_after_return=0",
        "LSAN_OPTIONS": "exitcode=99:suppressions=%s:print_suppressions=0" % suppressions,
        "UBSAN_OPTIONS": "exitcode=99:halt_on_error=1:print_stacktrace=1",
    }


def base_env(display):
    env = {k: v for k, v in os.environ.items()
           if k not in ("WAYLAND_DISPLAY", "XAUTHORITY", "SDL_VIDEODRIVER")}
    env["DISPLAY"] = display
    return env


def popen_logged(args, cwd, log_dir, env, preexec_fn=None):
    """The program in a process group of its own, its output in log_dir."""
    with open(os.path.join(log_dir, "stdout"), "wb") as out, \
            open(os.path.join(log_dir, "stderr"), "wb") as err:
        return subprocess.Popen(args, cwd=cwd, env=env, stdin=subprocess.DEVNULL, stdout=out,
                                stderr=err, start_new_session=True, preexec_fn=preexec_fn)


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


# Limits that only bound a real hang: every wait ends as soon as the program has done what is
# waited for, so a loaded machine makes the suite slower, not failed.
LIMIT = 120


class Program:
    """How one build of the viewer is started and stopped; the runners fill this in."""
    window_timeout = LIMIT
    exit_timeout = LIMIT
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
        lines = [l for l in stderr.splitlines() if any(m in l for m in SANITIZER_MARKERS)]
        if code == 99 or lines:
            return "sanitizer report (exit status %s): %s" % (code, " | ".join(lines[:5]))
        return None


# ---------------------------------------------------------------------------------------------
# One case.

class Session:
    def __init__(self, xserver, program, root_dir, name):
        self.xs, self.program = xserver, program
        self.dir = os.path.join(root_dir, name, "cwd")
        self.log_dir = os.path.join(root_dir, name, "log")
        os.makedirs(self.dir)
        os.makedirs(self.log_dir)
        self.proc = None
        self.window = None
        self.watched = None  # (window, DAMAGE handle) whose frames follow() counts
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

    def wait_capture(self, name, timeout=LIMIT):
        """The bytes of a capture file once it is complete."""
        path = os.path.join(self.dir, name)

        def complete():
            if not os.path.exists(path):
                return None
            with open(path, "rb") as f:
                data = f.read()
            if len(data) >= 6 and len(data) == struct.unpack("<I", data[2:6])[0]:
                return data
            return None

        data = wait_until(complete, timeout, self.check_running)
        check(data, "capture %s did not appear within %d s (files: %s)" % (
            name, timeout, self.bmp_files()))
        return data

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
        if self.watched:
            self.xs.unwatch(self.watched[1])
            self.watched = None

    def box_texts(self):
        return self.program.box_texts(self.stderr_text())

    # Windows.

    def wait_for(self, title, timeout=None, unmarked=False):
        timeout = timeout or self.program.window_timeout
        found = wait_until(lambda: [w for w in self.xs.viewable_named(title)
                                    if not (unmarked and self.xs.marked(w))],
                           timeout, self.check_running)
        check(found, 'no window titled "%s" within %d s' % (title, timeout))
        return found[-1]

    def wait_main_window(self, unmarked=False):
        """The viewer's window once it shows pages: keys and screenshots need its first frames."""
        self.window = self.wait_for("Tessvane", unmarked=unmarked)
        self.watch(self.window)
        self.follow()
        return self.window

    def watch(self, window):
        """Counts window's frames from here on; anew each time, since X gives ids out again."""
        if self.watched:
            self.xs.unwatch(self.watched[1])
        self.watched = (window, self.xs.watch(window))

    def _stopped_drawing(self):
        """Why the main window draws no more frames, if it does not: then no frame is awaited."""
        if self.proc is not None and self.proc.poll() is not None:
            return "exited"
        if not self.xs.viewable(self.watched[0]):
            return "gone"
        if self.xs.viewable_named("Error"):
            return "box"
        return None

    def watched_damage(self):
        if not self.watched or self.watched[0] != self.window:
            self.watch(self.window)
        return self.watched[1]

    def _followed(self, reason):
        check(reason != "timeout", "window 0x%x drew no frame for %d s" % (self.window, LIMIT))
        return reason or "frames"

    def follow(self, at_least=0.0, frames=FRAMES):
        """Waits until the viewer has handled all that was sent to it so far: frames frames of
        its window drawn since, or the window gone, an error box shown (the box holds the main
        loop) or the program ended, and at least at_least seconds. Returns which it was."""
        return self._followed(self.xs.follow(self.watched_damage(), self._stopped_drawing,
                                             at_least, LIMIT, frames))

    def wait_gone(self, window, timeout=LIMIT):
        check(wait_until(lambda: not self.xs.viewable(window), timeout),
              "window 0x%x still there after %d s" % (window, timeout))

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

    def screenshot(self, window=None):
        image = self.xs.screenshot(window or self.window)
        # Kept beside the logs as PPM, which any viewer opens.
        self.shots += 1
        with open(os.path.join(self.log_dir, "screenshot-%d.ppm" % self.shots), "wb") as f:
            f.write(b"P6 %d %d 255\n" % (image.width, image.height) + image.rgb)
        return image

    # Keys: the window focused each time, since the window id can change, and each press and
    # release followed by frames (see XServer.press). The times are only the least a key is held.

    def focus(self, window):
        check(self.xs.focus(window, LIMIT), "window 0x%x did not take the focus" % window)

    def keys(self, *names, hold=0.1, gap=0.05):
        """Each key pressed and released in turn in the main window; what ended the last wait
        (see follow): "box" when an error box came up."""
        self.check_running()
        reason = None
        for name in names:
            self.focus(self.window)
            reason = self._followed(self.xs.press(self.watched_damage(), name,
                                                  self._stopped_drawing, hold, gap, LIMIT))
        return reason

    def hold(self, name, seconds):
        return self.keys(name, hold=seconds)

    def close_box(self, box):
        # The box acts on Return however fast it comes, and draws no frames to follow; the
        # program may end right after, so do not check it.
        self.focus(box)
        self.xs.key("Return", True)
        time.sleep(0.1)
        self.xs.key("Return", False)


# ---------------------------------------------------------------------------------------------
# Running a list of cases.

def parse_args(argv, usage):
    """EXE, optional case names and the flags (arguments that start with --)."""
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
            except Exception as e:  # a fault in the suite or a tool still counts against the case
                reason = "%s: %s" % (type(e).__name__, e)
            finally:
                session.stop()
                program.after_case()
                wait_until(lambda: not (xs.viewable_named("Tessvane") or
                                        xs.viewable_named("Error")), LIMIT)
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
