"""A private Xvfb, the little of Xlib the tests need (through ctypes), and the X tools run on it.

Windows are found by their titles through Xlib, since xdotool cannot read the UTF-8 title of
SDL's message box. Keys go through xdotool, screenshots through ImageMagick's import.
"""

import ctypes
import ctypes.util
import os
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


class _XEvent(ctypes.Union):
    _fields_ = [("xclient", _XClientMessageEvent), ("pad", ctypes.c_long * 24)]


_IS_VIEWABLE = 2
_CLIENT_MESSAGE = 33
_XA_CARDINAL = 6
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
}


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
    deadline = time.monotonic() + 30
    while not number.endswith(b"\n") and time.monotonic() < deadline:
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
        self.x = ctypes.CDLL(ctypes.util.find_library("X11") or "libX11.so.6")
        for name, (result, args) in _PROTOTYPES.items():
            getattr(self.x, name).restype = result
            getattr(self.x, name).argtypes = args
        self.x.XSetErrorHandler(_ignore_x_error)
        self.dpy = self.x.XOpenDisplay(self.display.encode())
        if not self.dpy:
            self.stop()
            raise RuntimeError("cannot open display " + self.display)
        self.root = self.x.XDefaultRootWindow(self.dpy)
        self.atoms = {}

    def stop(self):
        if self.dpy:
            self.x.XCloseDisplay(self.dpy)
            self.dpy = None
        if self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGTERM)
            try:
                self.proc.wait(10)
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

    # Tools run against this server; a failure raises subprocess's exceptions.

    def run_tool(self, args, timeout=15):
        return subprocess.run(args, env=dict(os.environ, DISPLAY=self.display),
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout,
                              check=True).stdout

    def xdotool(self, window, actions):
        """xdotool's actions, after focusing window (if any) since nothing else does."""
        focus = ["windowfocus", "--sync", str(window)] if window is not None else []
        self.run_tool(["xdotool"] + focus + actions)

    def screenshot(self, window):
        """The window's pixels as an Image, handed over by import as raw 8-bit RGB."""
        width, height = self.client_size(window) or (0, 0)
        rgb = self.run_tool(["import", "-window", str(window), "-depth", "8", "rgb:-"],
                            timeout=30)
        if not width or len(rgb) != 3 * width * height:
            raise RuntimeError("screenshot of 0x%x: %d bytes for %dx%d pixels" % (
                window, len(rgb), width, height))
        return Image(width, height, rgb)
