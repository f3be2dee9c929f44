"""The end-to-end cases, one list for the native and the wine runner.

Every expected picture comes from the model in model.py, fed with the same data file and the
same keys. Held keys and the automatic advance make a number of steps that cannot be counted
from outside, so their results are judged against every offset some number of steps could give,
and timing only by bounds that hold whatever the frame rate.
"""

import contextlib
import os
import signal
import threading
import time

from model import (VIDEO_MODES, ViewerModel, bmp_summary, make_data, match_sequence,
                   overlay_pixels, page_pixels_match)
from session import LIMIT, Case, CaseFailure, check

DATA = "data.bin"
GREY = 0x40
# Enough even grey at the start of a file to lie under the offset text for the first pages.
GREY_HEAD = 96 * 1024


def set_up(s, data=None, **settings):
    """The data file (when given) and settings that read it in mode 1 unless told otherwise."""
    if data is not None:
        s.write_file(DATA, data)
    settings.setdefault("infile", DATA)
    settings.setdefault("vidmode", "1")
    s.write_settings(**settings)


def start(s, data=None, **settings):
    set_up(s, data, **settings)
    s.start()
    window = s.wait_main_window()
    if s.xs.viewable_named("Error"):
        raise CaseFailure("unexpected error box at start-up %s" % (s.box_texts() or ""))
    return window


def capture_name(base, number):
    return "%s_%010d.bmp" % (base, number)


def expect_capture(s, name, model, what):
    data = s.wait_capture(name)
    reason = model.matches(data)
    check(reason is None, "%s: %s is not the page at offset %d in format %d: %s (%s)" % (
        what, name, model.offset, model.fmt, reason, bmp_summary(data)))
    return data


def expect_box_texts(s, wanted):
    """Checks the texts of all boxes shown so far, where the runner can read them."""
    deadline = time.monotonic() + LIMIT
    texts = s.box_texts()
    while texts is not None and len(texts) < len(wanted) and time.monotonic() < deadline:
        time.sleep(0.1)
        texts = s.box_texts()
    if texts is not None:
        check(texts == wanted, "message box texts %r, expected %r" % (texts, wanted))


def press_for_box(s, key, texts, tries=1):
    """Presses key until an error box comes, checks the texts of all boxes so far and closes it.

    Two tries for a key whose key-up went to an earlier box: the viewer counts it as still
    handled, so its next press there only releases it. A press that brings no box is known as
    soon as the viewer draws on after it."""
    for _ in range(tries):
        if s.keys(key) == "box":
            box = s.wait_for("Error")
            break
    else:
        raise CaseFailure('%d presses of %s brought no "Error" box' % (tries, key))
    expect_box_texts(s, texts)
    s.close_box(box)
    s.wait_gone(box)


def startup_fails(s, text, mode=None):
    """Start-up ends in an error box saying text, and closing it ends the program with status 0.
    With a mode, the viewer's window is open in that mode beside the box."""
    s.start()
    box = s.wait_for("Error")
    if mode is not None:
        viewers = s.xs.viewable_named("Tessvane")
        size = s.client_size(viewers[0]) if viewers else None
        check(size == VIDEO_MODES[mode], "beside the error box the viewer's window is %s, "
              "expected mode %d %s" % (size, mode, VIDEO_MODES[mode]))
    expect_box_texts(s, [text])
    s.close_box(box)
    s.expect_exit(0)


def quit_with_escape(s):
    s.keys("Escape")
    s.expect_exit(1)


def overlay_region(width, height):
    return (0, 0, width // 2, height // 8 + 24)


def check_overlay(white, dark, where):
    check(len(white) >= 15, "%s: no white offset text near the top left (%d white pixels)" % (
        where, len(white)))
    check(len(dark) >= 15, "%s: no dark shadow beside the offset text (%d dark pixels)" % (
        where, len(dark)))
    wx = sum(p[0] for p in white) / len(white)
    wy = sum(p[1] for p in white) / len(white)
    dx = sum(p[0] for p in dark) / len(dark)
    dy = sum(p[1] for p in dark) / len(dark)
    check(dx > wx and dy > wy, "%s: shadow centre (%.1f,%.1f) is not right of and below the "
          "text centre (%.1f,%.1f)" % (where, dx, dy, wx, wy))
    return max(p[0] for p in white) - min(p[0] for p in white) + 1


# --- Startup failures and ways out -------------------------------------------------------------

def no_settings_file(s):
    # The window opens in the default mode.
    startup_fails(s, "Failed to read 'tessvane.cfg', exiting.\n", mode=1)


def missing_data_file(s):
    # The window opens in the configured mode before the data file is read.
    set_up(s, infile="absent.bin", vidmode="2")
    startup_fails(s, "Failed to read 'absent.bin', exiting.\n", mode=2)


def close_window_exits(s):
    start(s, make_data(300000, 3))
    s.xs.request_close(s.window)
    s.expect_exit(1)


def mode_case(index):
    width, height = VIDEO_MODES[index]

    def run(s):
        data = make_data(400000, 100 + index, GREY_HEAD, GREY)
        start(s, data, vidmode=str(index), showoffset="1")
        size = s.client_size()
        check(size == (width, height), "client size %s, expected %s" % (size, (width, height)))
        image = s.screenshot()
        rows = ViewerModel(data).page()[0]
        reason = page_pixels_match(image, rows, (width // 20, height * 6 // 10,
                                                 width - width // 20, height - height // 20))
        check(reason is None, "page not shown as it should be: %s" % reason)
        white, dark = overlay_pixels(image, GREY, overlay_region(width, height))
        if width * 1000 // height < 1268:
            # Too narrow: the text's raster position lies outside the view.
            check(not white and not dark, "offset text drawn where it should be left out "
                  "(%d white, %d dark pixels)" % (len(white), len(dark)))
        else:
            check_overlay(white, dark, "mode %d" % index)
        quit_with_escape(s)

    return Case("mode_%d_%dx%d" % (index, width, height), run)


# --- Paging, formats, step and delay, judged through captures ------------------------------

def paging_n_and_held_b(s):
    data = make_data(400000, 11)
    start(s, data, outpath="shot")
    model = ViewerModel(data)
    s.keys("n", "n", "d")
    model.step(1)
    model.step(1)
    expect_capture(s, capture_name("shot", 1), model, "after N N")

    s.hold("b", 0.1)
    s.keys("d")
    got = s.wait_capture(capture_name("shot", 2))
    k = match_sequence(got, model.after_steps(-1, 2000))
    check(k is not None, "after B held, the capture is none of the pages that backward steps "
          "from offset %d give" % model.offset)
    s.note("B held 0.1 s: %d steps" % (k + 1))
    check(s.bmp_files() == [capture_name("shot", 1), capture_name("shot", 2)],
          "unexpected files %s" % s.bmp_files())
    quit_with_escape(s)


def end_of_file_wraps(s):
    # A short file: pages run out early, end inside a pixel, and stepping past the end or
    # before the start wraps around.
    data = make_data(50000, 12)
    start(s, data, outpath="eof")
    model = ViewerModel(data)
    for number in (1, 2, 3):
        s.keys("n", "d")
        model.step(1)
        expect_capture(s, capture_name("eof", number), model, "after %d x N" % number)
    s.hold("b", 0.1)
    s.keys("d")
    got = s.wait_capture(capture_name("eof", 4))
    check(match_sequence(got, model.after_steps(-1, 2000)) is not None,
          "after B held from offset %d, the capture is none of the pages backward steps give "
          "(%s)" % (model.offset, bmp_summary(got)))
    quit_with_escape(s)


def formats_cycle(s):
    # A window narrower than its texture, with units that straddle its right edge in the
    # packed formats.
    data = make_data(400000, 13)
    start(s, data, outpath="fmt", width="301", height="200")
    model = ViewerModel(data, 301, 200)
    s.keys("n")
    model.step(1)
    for number in (1, 2, 3, 4):
        s.keys("p", "d")
        model.next_format()
        expect_capture(s, capture_name("fmt", number), model, "after %d x P" % number)
    quit_with_escape(s)


def step_fraction_arrows(s):
    data = make_data(600000, 14)
    start(s, data, outpath="step")
    model = ViewerModel(data)
    rounds = [("Right",), ("Left", "Left", "Left"), ("Right",) * 10, ("Left",)]
    for number, arrows in enumerate(rounds, 1):
        s.keys(*arrows)
        s.keys("n", "d")
        for arrow in arrows:
            model.change_fraction(1 if arrow == "Right" else -1)
        model.step(1)
        expect_capture(s, capture_name("step", number), model,
                       "after %s and N" % " ".join(arrows))
    quit_with_escape(s)


def run_advance(s, seconds, frames=0):
    """Switches the advance on for at least seconds and frames frames; returns an upper bound
    of the time it ran."""
    t0 = time.monotonic()
    s.keys("a")
    s.follow(seconds, frames)
    s.keys("a")
    return time.monotonic() - t0


def steps_taken(s, name, model, limit, what):
    got = s.wait_capture(name)
    k = match_sequence(got, model.after_steps(1, limit))
    check(k is not None, "%s: the capture is no page that 1 to %d forward steps from offset %d "
          "give" % (what, limit, model.offset))
    return k + 1, got


def auto_advance(s):
    data = make_data(2000000, 15)
    start(s, data, outpath="auto")
    model = ViewerModel(data)
    ran = run_advance(s, 1.0)
    s.keys("d")
    steps, first = steps_taken(s, capture_name("auto", 1), model, 200, "auto-advance")
    # Automatic steps come more than the delay apart, the first one at once.
    bound = 1 + ran / 0.2
    s.note("%d steps in at most %.2f s" % (steps, ran))
    check(steps <= bound, "%d automatic steps in %.2f s, more than a 200 ms delay allows" % (
        steps, ran))
    # Long enough for an advance still running to take steps: three delays and frames to show it.
    s.follow(0.6)
    s.keys("d")
    second = s.wait_capture(capture_name("auto", 2))
    check(second == first, "the page moved on after A switched the advance off")
    quit_with_escape(s)


def advance_delay_keys(s):
    # Long enough that the fastest possible advance, a step per millisecond, cannot wrap it.
    data = make_data(16000000, 16)
    start(s, data, outpath="delay")
    model = ViewerModel(data)
    start_delay = model.delay
    s.keys(*["Down"] * 8)
    for _ in range(8):
        model.change_delay(1)
    ran = run_advance(s, 1.2)
    s.keys("d")
    slow, _ = steps_taken(s, capture_name("delay", 1), model, 400, "longer delay")
    check(slow <= 1 + ran * 1000 / model.delay, "%d steps in %.2f s: Down did not lengthen the "
          "delay to %d ms" % (slow, ran, model.delay))
    for _ in range(slow):
        model.step(1)

    s.keys(*["Up"] * 16)
    for _ in range(16):
        model.change_delay(-1)
    # Frames enough that a step a frame beats the start-up delay's bound even when frames are
    # slow: from about 7 frames a second up.
    ran_fast = run_advance(s, 0.3, 40)
    s.keys("d")
    fast, _ = steps_taken(s, capture_name("delay", 2), model, 800, "no delay")
    s.note("delay %d: %d steps in %.2f s; delay %d: %d steps in %.2f s" % (
        start_delay + 8 * 25, slow, ran, model.delay, fast, ran_fast))
    # Bounded by the frame rate only; any rate above a few frames a second beats the start-up delay.
    check(fast > 1 + ran_fast * 1000 / start_delay, "only %d steps in %.2f s: Up did not shorten "
          "the delay" % (fast, ran_fast))
    quit_with_escape(s)


# --- Window re-creation --------------------------------------------------------------------

def fullscreen_recreates(s):
    data = make_data(400000, 17)
    start(s, data, vidmode="0", outpath="full")
    model = ViewerModel(data)
    s.keys("n")
    model.step(1)
    ids = [s.window]
    for round_ in (1, 2):
        ids.append(s.recreate_window("f"))
        size = s.client_size()
        check(size == VIDEO_MODES[0], "after F number %d the window is %s, expected %s" % (
            round_, size, VIDEO_MODES[0]))
        image = s.screenshot()
        reason = page_pixels_match(image, model.page()[0],
                                   (10, 10, image.width - 10, image.height - 10))
        check(reason is None, "after F number %d the page is not shown: %s" % (round_, reason))
    s.note("window ids " + ", ".join("0x%x" % w for w in ids))
    s.keys("d")
    expect_capture(s, capture_name("full", 1), model, "after two re-creations")
    quit_with_escape(s)


# --- Captures --------------------------------------------------------------------------------

def two_captures_numbered(s):
    data = make_data(300000, 18)
    start(s, data, outpath="pic", width="300", height="200")
    model = ViewerModel(data, 300, 200)
    s.keys("d", "d")
    for number in (1, 2):
        expect_capture(s, capture_name("pic", number), model, "capture %d" % number)
    check(s.bmp_files() == [capture_name("pic", 1), capture_name("pic", 2)],
          "unexpected files %s" % s.bmp_files())
    quit_with_escape(s)


def capture_without_outpath(s):
    start(s, make_data(300000, 19))
    message = "Base output name not specified, cannot save."
    press_for_box(s, "d", [message])
    press_for_box(s, "d", [message, message], tries=2)
    quit_with_escape(s)
    check(s.bmp_files() == [], "files written without an output name: %s" % s.bmp_files())


def capture_failure_keeps_number(s):
    data = make_data(300000, 20)
    start(s, data, outpath="missing/shot")
    name = "missing/" + capture_name("shot", 1)
    press_for_box(s, "d", ["Could not open '%s' to save." % name])
    os.mkdir(os.path.join(s.dir, "missing"))
    # The capture is written before the viewer draws on, so the files tell after each press.
    for _ in range(2):
        s.keys("d")
        if s.bmp_files():
            break
    expect_capture(s, name, ViewerModel(data), "after a failed capture")
    check(s.bmp_files() == [name], "unexpected files %s" % s.bmp_files())
    quit_with_escape(s)


def capture_never_overwrites_data_file(s):
    # The capture's name is the data file under another spelling.
    os.mkdir(os.path.join(s.dir, "sub"))
    data = make_data(300000, 24)
    s.write_file(capture_name("cap", 1), data)
    start(s, infile="sub/../" + capture_name("cap", 1), outpath="cap")
    press_for_box(s, "d", ["Could not open '%s' to save." % capture_name("cap", 1)])
    with open(os.path.join(s.dir, capture_name("cap", 1)), "rb") as f:
        check(f.read() == data, "the data file was written over by a capture")
    quit_with_escape(s)


# --- The offset overlay -----------------------------------------------------------------------

def overlay_shows_offset(s):
    width, height = VIDEO_MODES[1]
    start(s, make_data(400000, 21, GREY_HEAD, GREY), showoffset="1")
    white, dark = overlay_pixels(s.screenshot(), GREY, overlay_region(width, height))
    one_digit = check_overlay(white, dark, "at offset 0")
    s.keys("n")
    white, dark = overlay_pixels(s.screenshot(), GREY, overlay_region(width, height))
    five_digits = check_overlay(white, dark, "at offset 20000")
    s.note("text %d px wide at 0, %d px at 20000" % (one_digit, five_digits))
    check(five_digits > 3 * one_digit, "the text did not grow from one digit to five after N "
          "(%d px, then %d px)" % (one_digit, five_digits))
    quit_with_escape(s)


def overlay_off(s):
    width, height = VIDEO_MODES[1]
    start(s, make_data(400000, 22, GREY_HEAD, GREY), showoffset="0")
    white, dark = overlay_pixels(s.screenshot(), GREY, overlay_region(width, height))
    check(not white and not dark, "text drawn with showoffset off (%d white, %d dark pixels)" % (
        len(white), len(dark)))
    quit_with_escape(s)


# --- Many reloads and re-creations, for the sanitizers ------------------------------------------

def soak_reloads(s):
    start(s, make_data(400000, 23), vidmode="0", showoffset="1")
    s.hold("b", 1.5)
    s.keys(*["p"] * 5)
    s.hold("b", 0.5)
    for _ in range(3):
        s.recreate_window("f")
    quit_with_escape(s)


CASES = (
    [Case("no_settings_file", no_settings_file),
     Case("missing_data_file", missing_data_file),
     Case("close_window_exits", close_window_exits)]
    + [mode_case(i) for i in range(len(VIDEO_MODES))]
    + [Case("paging_n_and_held_b", paging_n_and_held_b),
       Case("end_of_file_wraps", end_of_file_wraps),
       Case("formats_cycle", formats_cycle),
       Case("step_fraction_arrows", step_fraction_arrows),
       Case("auto_advance", auto_advance),
       Case("advance_delay_keys", advance_delay_keys),
       Case("fullscreen_recreates", fullscreen_recreates),
       Case("two_captures_numbered", two_captures_numbered),
       Case("capture_without_outpath", capture_without_outpath),
       Case("capture_failure_keeps_number", capture_failure_keeps_number),
       Case("capture_never_overwrites_data_file", capture_never_overwrites_data_file),
       Case("overlay_shows_offset", overlay_shows_offset),
       Case("overlay_off", overlay_off),
       Case("soak_reloads", soak_reloads)]
)


# --- Native only: the process and its surroundings -------------------------------------------

def without_display(s):
    set_up(s, make_data(300000, 25))
    for display in (None, ":999"):
        s.start(env_changes={"DISPLAY": display})
        s.expect_exit(0)
        lines = [l for l in s.program.filter_stderr(s.stderr_text()).splitlines()
                 if "display" in l.lower()]
        check(len(lines) == 1, "DISPLAY=%s: expected one line saying there is no display, got "
              "%r" % (display, s.stderr_text()))


def x_connections(pid):
    """Inodes of the program's sockets: its display connection among them."""
    found = set()
    for fd in os.listdir("/proc/%d/fd" % pid):
        try:
            target = os.readlink("/proc/%d/fd/%s" % (pid, fd))
        except OSError:
            continue
        if target.startswith("socket:"):
            found.add(target)
    return found


def fullscreen_keeps_display_connection(s):
    # On a server with no other client, a dropped connection resets the whole server.
    start(s, make_data(300000, 26), vidmode="0")
    before = x_connections(s.proc.pid)
    check(before, "no socket open before F")
    for _ in range(3):
        s.recreate_window("f")
    after = x_connections(s.proc.pid)
    check(before <= after, "F closed the display connection: sockets %s before, %s after" % (
        sorted(before), sorted(after)))
    quit_with_escape(s)


def capture_over_file_size_limit(s):
    # Under "ulimit -f 100" the capture must fail and be cleaned up, and the viewer go on.
    set_up(s, make_data(300000, 27), outpath="lim")
    s.start(file_size_limit=100 * 1024)
    s.wait_main_window()
    press_for_box(s, "d", ["Could not write '%s' completely." % capture_name("lim", 1)], tries=2)
    check(s.bmp_files() == [], "a cut-off capture was left: %s" % s.bmp_files())
    quit_with_escape(s)


def data_fifo_at_start(s):
    os.mkfifo(os.path.join(s.dir, DATA))
    set_up(s)
    startup_fails(s, "Failed to read '%s', exiting.\n" % DATA)


def data_file_changes_kind_while_paging(s):
    # Each reload meets something that cannot be paged; the window must keep taking keys.
    start(s, make_data(300000, 28))
    path = os.path.join(s.dir, DATA)
    os.remove(path)
    os.mkfifo(path)
    s.keys("n", "p")
    os.remove(path)
    os.mkdir(path)
    s.keys("n", "b")
    os.rmdir(path)
    s.keys("n")
    quit_with_escape(s)


@contextlib.contextmanager
def throttled(pid, stopped, running):
    """The process stopped for stopped seconds out of every stopped + running, as on a machine
    with far more work than cores."""
    done = threading.Event()

    def cycle():
        while not done.is_set():
            os.kill(pid, signal.SIGSTOP)
            done.wait(stopped)
            os.kill(pid, signal.SIGCONT)
            done.wait(running)

    thread = threading.Thread(target=cycle, daemon=True)
    thread.start()
    try:
        yield
    finally:
        done.set()
        thread.join()
        os.kill(pid, signal.SIGCONT)


def keys_while_frames_are_slow(s):
    # Each key's press and release would reach a viewer that runs this seldom together, and
    # count as no press, unless they are sent frames apart.
    data = make_data(400000, 29)
    start(s, data, vidmode="0", outpath="slow")
    model = ViewerModel(data)
    with throttled(s.proc.pid, 0.3, 0.05):
        s.keys("n", "n", "p", "d")
    model.step(1)
    model.step(1)
    model.next_format()
    expect_capture(s, capture_name("slow", 1), model, "after N N P D, throttled")
    quit_with_escape(s)


NATIVE_CASES = [
    Case("data_fifo_at_start", data_fifo_at_start),
    Case("data_file_changes_kind_while_paging", data_file_changes_kind_while_paging),
    Case("without_display", without_display),
    Case("fullscreen_keeps_display_connection", fullscreen_keeps_display_connection),
    Case("capture_over_file_size_limit", capture_over_file_size_limit),
    Case("keys_while_frames_are_slow", keys_while_frames_are_slow),
]
