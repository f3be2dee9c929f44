"""The memory of a game engine showing a game: ScummVM (Debian's scummvm) running Flight of the
Amazon Queen under Xvfb at depth 24, scaled 2x, stopped in the first room after the intro is skipped.

Its own structures hold the room as 8-bit palette indices (the game's screen, 320 x 200), as 16-bit
565 (the scaler's source with a border, and its 2x output) and as 32-bit words (the window's
surface). The truth comes from the bytes: the screen is read back from the X server's frame buffer
(the window at 2x; every other pixel of it at 1x), decoded into each form, and each copy confirmed
row by row at the stride the next row gives (viewer.copies_in). Palette indices cannot be computed
from colours: a row of the room is looked for as a pattern (equal colours, equal bytes; different
colours, different bytes) in the engine's own memory; the colour-to-index table it gives, checked
over the whole screen, makes the 8-bit form."""

import os
import shutil
import subprocess
import time

import numpy as np

import containers
import viewer

SCUMMVM = "/usr/games/scummvm"
GAME_DIR = "/usr/share/scummvm/flight-of-the-amazon-queen"
SCALE = 2
OWN_MEMORY = ("heap", "anon", "shm", "stack")
PAIRS = 24            # places along a row where the colour stays, and as many where it changes
MAX_PAD = 64


def window_geometry(env, title):
    wid = subprocess.run(["xdotool", "search", "--name", title], env=env, capture_output=True,
                         text=True).stdout.split()
    if not wid:
        return None, None
    out = subprocess.run(["xdotool", "getwindowgeometry", "--shell", wid[0]], env=env, capture_output=True,
                         text=True).stdout
    g = dict(line.split("=", 1) for line in out.split() if "=" in line)
    return wid[0], (int(g["X"]), int(g["Y"]), int(g["WIDTH"]), int(g["HEIGHT"]))


def screen_rgb(fbdir, x, y, w, h):
    raw = subprocess.run([viewer.pictures.IM, "xwd:" + os.path.join(fbdir, "Xvfb_screen0"), "-crop",
                          "%dx%d+%d+%d" % (w, h, x, y), "+repage", "-depth", "8", "RGB:-"], check=True,
                         capture_output=True).stdout
    return np.frombuffer(raw, np.uint8).reshape(h, w, 3)


def index_rows(dump, spans, rgb):
    """Copies of the screen as palette indices in the given spans of dump: [(offset, stride, first row,
    rows, {index: colour})]. A place is tried when, along a row, the bytes change where the colours do
    and stay where they stay (all but a few of PAIRS such places each), then checked whole: each byte
    value stands for one colour."""
    h, w = rgb.shape[:2]
    colours, cid = np.unique(rgb.reshape(-1, 3), axis=0, return_inverse=True)
    cid = cid.reshape(h, w)
    changes = np.count_nonzero(cid[:, 1:] != cid[:, :-1], axis=1)
    # a row of the middle (an on-screen message may cover the top) with as many places that stay as change
    r0 = h // 4 + int(np.argmax(np.minimum(changes, w - 1 - changes)[h // 4:3 * h // 4]))
    change = cid[r0, 1:] != cid[r0, :-1]
    rng = np.random.default_rng(0)
    stay = rng.permutation(np.nonzero(~change)[0])[:PAIRS]
    moves = rng.permutation(np.nonzero(change)[0])[:PAIRS]
    need = len(stay) + len(moves) - 3
    data = np.frombuffer(dump, np.uint8)
    out = []
    for lo, n in spans:
        if n < w * 2:
            continue
        d = data[lo:lo + n]
        m = n - w
        votes = np.zeros(m, np.uint8)
        for j in stay:
            votes += d[j:j + m] == d[j + 1:j + 1 + m]
        for j in moves:
            votes += d[j:j + m] != d[j + 1:j + 1 + m]
        for q in np.nonzero(votes >= need)[0]:
            found = confirm(d, int(q), r0, cid, w)
            if found and not any(abs(lo + found[0] - o[0]) < w for o in out):
                offset, stride, first, rows, table = found
                out.append((lo + offset, stride, first, rows,
                            {int(v): [int(x) for x in colours[c]] for v, c in table.items()}))
    return out


def grow(table, ids, values):
    """table (byte -> colour id) extended by a row, or None where a byte would stand for two colours."""
    t = dict(table)
    for c, v in zip(ids.tolist(), values.tolist()):
        if t.setdefault(v, c) != c:
            return None
    return t


def confirm(d, q, r0, cid, w):
    """The stride from the next row, then the run of rows around r0 whose bytes stand each for one
    colour: (offset of the run in d, stride, first row, rows, byte -> colour id), or None."""
    h = cid.shape[0]
    table = grow({}, cid[r0], d[q:q + w])
    if table is None or r0 + 1 >= h:
        return None
    for stride in range(w, w + MAX_PAD + 1):
        if q + stride + w > len(d):
            return None
        grown = grow(table, cid[r0 + 1], d[q + stride:q + stride + w])
        if grown is None:
            continue
        ok = {r0: True, r0 + 1: True}
        table = grown
        for r in list(range(r0 + 2, h)) + list(range(r0 - 1, -1, -1)):
            at = q + (r - r0) * stride
            t = grow(table, cid[r], d[at:at + w]) if 0 <= at and at + w <= len(d) else None
            ok[r] = t is not None
            if t is not None:
                table = t
        first, last = r0, r0 + 1
        while first > 0 and ok[first - 1]:
            first -= 1
        while last + 1 < h and ok[last + 1]:
            last += 1
        if last - first + 1 < viewer.MIN_ROWS:
            return None
        return (q + (first - r0) * stride, stride, first, last - first + 1, table)
    return None


def truth_from_bytes(dump, placed, rgb2):
    rgb1 = rgb2[::SCALE, ::SCALE]
    pics = []
    for scale, rgb in ((SCALE, rgb2), (1, rgb1)):
        for form in ("bgra", "bgrx", "rgba", "565", "bgr", "rgb"):
            rows = viewer.form_rows(rgb, form)
            for start, stride, first, n in viewer.copies_in(dump, rows):
                pics.append(entry(form, scale, rgb, start + first * stride, stride, first, n))
    own = [[m["offset"], m["size"]] for m in placed if containers.mapping_kind(m) in OWN_MEMORY]
    for offset, stride, first, n, table in index_rows(dump, own, rgb1):
        e = entry("index", 1, rgb1, offset, stride, first, n)
        e["colour_of_index"] = [[i, c] for i, c in sorted(table.items())]
        pics.append(e)
    return viewer.dedupe(pics)


def entry(form, scale, rgb, offset, stride, first, n):
    h, w = rgb.shape[:2]
    return {"id": "%s%dx@%x" % (form, scale, offset), "member": "screen", "source": "FOTAQ first room",
            "source_kind": "game screen", "storage": "game-%s-%dx" % (form, scale), "writer": "scummvm",
            "layout": viewer.LAYOUT_OF[form], "width": w, "height": n, "stride": stride, "offset": offset,
            "bottom_up": False, "bytes": stride * n, "pieces": [[offset, stride * n]], "contiguous": True,
            "rows_of_picture": [first, n], "scale": scale, "form": form,
            "format": "%s at %dx, rows %d to %d of %d found by their bytes" % (form, scale, first, first + n - 1, h)}


def verify_copy(container, pic, corpus_dir):
    """The copy's rows are the screen's in its form; palette indices, through the colour each stands for."""
    rgb2 = viewer.decode_rgb(os.path.join(corpus_dir, "pictures", "shown", "game-screen.png"))
    rgb = rgb2 if pic["scale"] == SCALE else rgb2[::SCALE, ::SCALE]
    first, n = pic["rows_of_picture"]
    if pic["form"] == "index":
        palette = np.zeros((256, 3), np.uint8)
        for i, c in pic["colour_of_index"]:
            palette[i] = c
        container.seek(pic["offset"])
        rows = np.frombuffer(container.read(pic["bytes"]), np.uint8).reshape(n, pic["stride"])[:, :pic["width"]]
        if not np.array_equal(palette[rows], rgb[first:first + n]):
            return "its indices do not stand for the screen's colours"
        return None
    rows = viewer.form_rows(rgb, pic["form"])
    for r in range(n):
        container.seek(pic["offset"] + r * pic["stride"])
        if container.read(rows.shape[1]) != rows[first + r].tobytes():
            return "row %d of the copy is not the screen's row %d" % (r, first + r)
    return None


def wait_for_room(env, wid, fbdir, geometry, tries=25):
    """Skips the intro (Escape) until the room is shown: a screen that stays the same 2 s on and after
    one more Escape (which skips whatever is not the room), the panel of verbs lit below it. The
    pointer is moved off the room first."""
    def shot(wait):
        subprocess.run(["xdotool", "mousemove", "2", "2"], env=env)
        time.sleep(wait)
        return screen_rgb(fbdir, *geometry)

    def escape():
        subprocess.run(["xdotool", "key", "--window", wid, "Escape"], env=env)

    for _ in range(tries):
        escape()
        first = shot(3)
        if not np.array_equal(first, shot(2)):
            continue
        escape()
        panel = first[first.shape[0] * 3 // 4:]
        if np.array_equal(first, shot(3)) and 60 < panel.mean() < 160:
            return first
    return None


def build_game_screen(outdir, work, save_truth=None, log=print):
    if not (os.path.exists(SCUMMVM) and os.path.isdir(GAME_DIR) and shutil.which("xdotool")):
        log("game screen: scummvm, flight-of-the-amazon-queen or xdotool missing, left out")
        return None
    name = "game-scummvm.dump"
    fbdir = os.path.join(work, "fbgame")
    xvfb, env = containers.start_xvfb(1024, 768, 24, fbdir)
    home = os.path.join(work, "scummvm-home")
    os.makedirs(home, exist_ok=True)
    env = dict(env, HOME=home, SDL_AUDIODRIVER="dummy")
    try:
        proc = subprocess.Popen([SCUMMVM, "-c", os.path.join(home, "scummvm.ini"), "--gfx-mode=surfacesdl",
                                 "--scaler=normal", "--scale-factor=%d" % SCALE, "--no-fullscreen", "-p", GAME_DIR,
                                 "queen"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            geometry = None
            for _ in range(60):
                time.sleep(0.5)
                wid, geometry = window_geometry(env, "Amazon Queen")
                if geometry:
                    break
            if not geometry:
                raise RuntimeError("scummvm showed no window")
            x, y, w, h = geometry
            rgb2 = wait_for_room(env, wid, fbdir, geometry)
            if rgb2 is None:
                raise RuntimeError("scummvm did not come to a still room")
            dst = os.path.join(outdir, name)
            placed = containers.read_mappings(proc.pid, dst)
            if not np.array_equal(screen_rgb(fbdir, x, y, w, h), rgb2):
                log("game screen: the screen changed while the memory was read")
        finally:
            containers.stop([proc])
    finally:
        containers.stop([xvfb])
    os.makedirs(os.path.join(outdir, "pictures", "shown"), exist_ok=True)
    viewer.pictures.run([viewer.pictures.IM, "-size", "%dx%d" % (w, h), "-depth", "8", "RGB:-",
                         os.path.join(outdir, "pictures", "shown", "game-screen.png")], input=rgb2.tobytes())
    with open(dst, "rb") as f:
        dump = f.read()
    truth = {"container": name, "kind": "gamescreen", "size": len(dump), "members": [], "ignore": [],
             "has_headers": False, "pictures": truth_from_bytes(dump, placed, rgb2)}
    truth["members"] += containers.mapping_members(placed)
    if save_truth:
        save_truth(outdir, truth)
    log("game screen: %s, %.0f MB, %d copies of the room found by their bytes (%s)" % (
        dst, truth["size"] / 1e6, len(truth["pictures"]), ", ".join(p["storage"] for p in truth["pictures"])))
    return truth
