"""A private Xvfb, the little of Xlib the tests need (through ctypes), and the X tools run on it.

Windows are found by their titles through Xlib, since xdotool cannot read the UTF-8 title of
SDL's message box. Keys go through xdotool, each press and release apart, the frames between
them counted through DAMAGE; screenshots come from ImageMagick's import.
"""

import ctypes
import ctypes.util
import os
import select
import signal
import subprocess
import time

from model import Image


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


class _XDamageNotifyEvent(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("drawable", ctypes.c_ulong),
                ("damage", ctypes.c_ulong)]


class _XEvent(ctypes.Union):
    _fields_ = [("xclient", _XClientMessageEvent), ("xdamage", _XDamageNotifyEvent),
                ("pad", ctypes.c_long * 24)]


_IS_VIEWABLE = 2
_CLIENT_MESSAGE = 33
_XA_CARDINAL = 6
_REVERT_TO_PARENT = 2
# Frames of a window after a key before the key counts as handled. The viewer's main loop draws
# only when no event waits, but a frame may have been under way when the key came, and the
# X server may still be taking in the one before it: the third is surely after the key.
FRAMES = 3
_DAMAGE_NOTIFY = 0  # the first of the extension's events
_DAMAGE_REPORT_NON_EMPTY = 3
_X_ERROR_HANDLER = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)

_P = ctypes.POINTER
_DPY, _WIN, _ATOM = ctypes.c_void_p, ctypes.c_ulong, ctypes.c_ulong
# Result and argument types of the Xlib calls used here.
_PROTOTYPES = {
    "XOpenDisplay": (ctypes.c_void_p, [ctypes.c_char_p]),
    "XCloseDisplay": (ctypes.c_int, [_DPY]),
    "XSetErrorHandler": (ctypes.c_void_p, [_X_ERROR_HANDLER]),
    "XDefaultRootWindow": (_WIN, [_DPY]),
    "XInternAtom": (_ATOM, [_DPY, ctypes.c_char_p, ctypes.c_int]),
    "XQueryTree": (ctypes.c_int, [_DPY, _WIN, _P(_WIN), _P(_WIN), _P(_P(_WIN)),
                                  _P(ctypes.c_uint)]),
    "XGetWindowProperty": (ctypes.c_int, [_DPY, _WIN, _ATOM, ctypes.c_long, ctypes.c_long,
                                          ctypes.c_int, _ATOM, _P(_ATOM), _P(ctypes.c_int),
                                          _P(ctypes.c_ulong), _P(ctypes.c_ulong),
                                          _P(ctypes.c_void_p)]),
    "XChangeProperty": (ctypes.c_int, [_DPY, _WIN, _ATOM, _ATOM, ctypes.c_int, ctypes.c_int,
                                       ctypes.c_void_p, ctypes.c_int]),
    "XGetWindowAttributes": (ctypes.c_int, [_DPY, _WIN, _P(_XWindowAttributes)]),
    "XSendEvent": (ctypes.c_int, [_DPY, _WIN, ctypes.c_int, ctypes.c_long, _P(_XEvent)]),
    "XSync": (ctypes.c_int, [_DPY, ctypes.c_int]),
    "XFree": (ctypes.c_int, [ctypes.c_void_p]),
    "XPending": (ctypes.c_int, [_DPY]),
    "XNextEvent": (ctypes.c_int, [_DPY, _P(_XEvent)]),
    "XConnectionNumber": (ctypes.c_int, [_DPY]),
    "XFlush": (ctypes.c_int, [_DPY]),
    "XNextRequest": (ctypes.c_ulong, [_DPY]),
    "XSetInputFocus": (ctypes.c_int, [_DPY, _WIN, ctypes.c_int, ctypes.c_ulong]),
    "XGetInputFocus": (ctypes.c_int, [_DPY, _P(_WIN), _P(ctypes.c_int)]),
}
_XDAMAGE_PROTOTYPES = {
    "XDamageQueryExtension": (ctypes.c_int, [_DPY, _P(ctypes.c_int), _P(ctypes.c_int)]),
    "XDamageCreate": (ctypes.c_ulong, [_DPY, _WIN, ctypes.c_int]),
    "XDamageDestroy": (None, [_DPY, ctypes.c_ulong]),
    "XDamageSubtract": (None, [_DPY, ctypes.c_ulong, ctypes.c_ulong, ctypes.c_ulong]),
}


def _library(name, soname, prototypes):
    lib = ctypes.CDLL(ctypes.util.find_library(name) or soname)
    for function, (result, args) in prototypes.items():
        getattr(lib, function).restype = result
        getattr(lib, function).argtypes = args
    return lib


@_X_ERROR_HANDLER
def _ignore_x_error(display, event):
    # Windows vanish between listing and querying them; that is expected, not fatal.
    return 0


def _start_xvfb():
    """Xvfb on a display number of its own choosing, and that display's name."""
    # A screen larger than the largest mode, since wine places the client area at +3+22; key
    # repeat far later than any hold, so that a held key is one press.
    read_fd, write_fd = os.pipe()
    proc = subprocess.Popen(
        ["Xvfb", "-displayfd", str(write_fd), "-nolisten", "tcp", "-noreset",
         "-screen", "0", "2048x1536x24", "-ardelay", "30000", "-arinterval", "1000"],
        pass_fds=[write_fd], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL, start_new_session=True)
    os.close(write_fd)
    number = b""
    # Xvfb writes its number once it takes clients; the limit only bounds a server that hangs.
    deadline = time.monotonic() + 120
    while not number.endswith(b"\n") and time.monotonic() < deadline:
        if not select.select([read_fd], [], [], max(0, deadline - time.monotonic()))[0]:
            break
        chunk = os.read(read_fd, 16)
        if not chunk:
            break
        number += chunk
    os.close(read_fd)
    number = number.strip().decode("latin-1")
    return proc, ":" + number if number.isdigit() else None


class XServer:
    """A private Xvfb and one Xlib connection to it."""

    def __init__(self):
        self.dpy = None
        self.proc, self.display = _start_xvfb()
        if self.display is None:
            self.stop()
            raise RuntimeError("Xvfb did not report a display number")
        self.x = _library("X11", "libX11.so.6", _PROTOTYPES)
        self.xdamage = _library("Xdamage", "libXdamage.so.1", _XDAMAGE_PROTOTYPES)
        self.x.XSetErrorHandler(_ignore_x_error)
        self.dpy = self.x.XOpenDisplay(self.display.encode())
        if not self.dpy:
            self.stop()
            raise RuntimeError("cannot open display " + self.display)
        self.root = self.x.XDefaultRootWindow(self.dpy)
        self.atoms = {}
        event_base, error_base = ctypes.c_int(), ctypes.c_int()
        if not self.xdamage.XDamageQueryExtension(self.dpy, ctypes.byref(event_base),
                                                  ctypes.byref(error_base)):
            self.stop()
            raise RuntimeError("the X server has no DAMAGE extension")
        self.damage_event = event_base.value + _DAMAGE_NOTIFY

    def stop(self):
        if self.dpy:
            self.x.XCloseDisplay(self.dpy)
            self.dpy = None
        if self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGTERM)
            try:
                self.proc.wait(30)
            except subprocess.TimeoutExpired:
                os.killpg(self.proc.pid, signal.SIGKILL)
                self.proc.wait()

    # Windows and their properties.

    def atom(self, name):
        if name not in self.atoms:
            self.atoms[name] = self.x.XInternAtom(self.dpy, name.encode(), 0)
        return self.atoms[name]

    def top_windows(self):
        root, parent = ctypes.c_ulong(), ctypes.c_ulong()
        children, count = _P(ctypes.c_ulong)(), ctypes.c_uint()
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
                return ctypes.cast(data, _P(ctypes.c_ulong))[0]
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

    def _shown(self, window):
        attrs = self.attributes(window)
        return attrs is not None and attrs.map_state == _IS_VIEWABLE

    def viewable(self, window):
        """Whether window is a top-level window that is shown."""
        return window in self.top_windows() and self._shown(window)

    def viewable_named(self, title):
        return [w for w in self.top_windows() if self._shown(w) and self.window_name(w) == title]

    def client_size(self, window):
        attrs = self.attributes(window)
        return (attrs.width, attrs.height) if attrs else None

    def mark(self, window):
        """Tags a window, so that a window made later, even under the same id, is told apart."""
        value = (ctypes.c_long * 1)(1)
        self.x.XChangeProperty(self.dpy, window, self.atom("_TESSVANE_E2E_MARK"), _XA_CARDINAL,
                               32, 0, value, 1)  # PropModeReplace
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

    # Frames: a window's drawing, seen through DAMAGE.

    def watch(self, window):
        """A handle that counts window's frames from now on (see follow)."""
        return self.xdamage.XDamageCreate(self.dpy, window, _DAMAGE_REPORT_NON_EMPTY)

    def unwatch(self, damage):
        # Gone already when its window went; the error that brings is ignored.
        self.xdamage.XDamageDestroy(self.dpy, damage)
        self.x.XSync(self.dpy, 0)

    def follow(self, damage, give_up, at_least=0.0, timeout=120, count=FRAMES):
        """Waits for count frames drawn after the call and at least at_least seconds; returns
        None then. give_up() runs whenever a frame is slow to come and may return a reason to
        stop waiting, which is then returned; "timeout" after timeout seconds.

        A frame is drawing reported after the server cleared the damage so far, so two
        counted frames are two presentations of the program, not two parts of one."""
        t0 = time.monotonic()
        deadline = t0 + timeout
        fd = self.x.XConnectionNumber(self.dpy)
        event = _XEvent()
        for _ in range(count):
            # An event carries the number of our last request the server had done: those older
            # than the clearing report drawing before it (and after it nothing is reported
            # until the next clearing).
            clearing = self.x.XNextRequest(self.dpy)
            self.xdamage.XDamageSubtract(self.dpy, damage, 0, 0)
            self.x.XFlush(self.dpy)
            drawn = False
            next_look = time.monotonic() + 0.05
            while not drawn:
                while self.x.XPending(self.dpy):
                    self.x.XNextEvent(self.dpy, ctypes.byref(event))
                    drawn = drawn or (event.xdamage.type == self.damage_event and
                                      event.xdamage.damage == damage and
                                      event.xdamage.serial >= clearing)
                if drawn:
                    break
                select.select([fd], [], [], 0.05)
                if time.monotonic() >= next_look:
                    reason = give_up()
                    if reason:
                        return reason
                    if time.monotonic() >= deadline:
                        return "timeout"
                    next_look = time.monotonic() + 0.05
        rest = at_least - (time.monotonic() - t0)
        if rest > 0:
            time.sleep(rest)
        return None

    # Keys, sent through xdotool to the window that has the focus.

    def focus(self, window, timeout):
        """Gives window the input focus, as nothing else does here; whether it took it."""
        deadline = time.monotonic() + timeout
        focused, revert = ctypes.c_ulong(), ctypes.c_int()
        while True:
            self.x.XSetInputFocus(self.dpy, window, _REVERT_TO_PARENT, 0)  # CurrentTime
            self.x.XSync(self.dpy, 0)
            self.x.XGetInputFocus(self.dpy, ctypes.byref(focused), ctypes.byref(revert))
            if focused.value == window:
                return True
            if time.monotonic() >= deadline or not self.viewable(window):
                return False
            time.sleep(0.02)

    def key(self, name, down):
        """Presses (down) or releases the key of an X keysym name such as "n" or "Escape"."""
        self.run_tool(["xdotool", "keydown" if down else "keyup", name])

    def press(self, damage, name, give_up, hold=0.1, gap=0.05, timeout=120):
        """One key pressed and released in the window that damage watches, each held until the
        window has drawn frames after it (see follow) and at least hold and gap seconds, so
        that the program sees the two apart however slow its frames are. Returns what ended
        the last wait: None for frames, else give_up's reason or "timeout"."""
        self.key(name, True)
        try:
            reason = self.follow(damage, give_up, hold, timeout)
        finally:
            # Released whatever happened: a key left down would reach the next program.
            self.key(name, False)
        if reason == "timeout":
            return reason
        return self.follow(damage, give_up, gap, timeout)

    # Tools run against this server; a failure raises subprocess's exceptions. The limit only
    # bounds a tool that hangs, since a loaded machine may take long over an import.

    def run_tool(self, args, timeout=120):
        return subprocess.run(args, env=dict(os.environ, DISPLAY=self.display),
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout,
                              check=True).stdout

    def screenshot(self, window):
        """The window's pixels as an Image, handed over by import as raw 8-bit RGB."""
        width, height = self.client_size(window) or (0, 0)
        rgb = self.run_tool(["import", "-window", str(window), "-depth", "8", "rgb:-"])
        if not width or len(rgb) != 3 * width * height:
            raise RuntimeError("screenshot of 0x%x: %d bytes for %dx%d pixels" % (
                window, len(rgb), width, height))
        return Image(width, height, rgb)
