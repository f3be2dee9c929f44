"""The memory of an image viewer showing pictures, as its own structures hold them.

nsxiv (Debian's nsxiv, built on Imlib2) shows real pictures under Xvfb at depth 24, at 100 % zoom,
one after the other so that its image cache keeps several; then all its readable mappings are read
from /proc/PID/mem, as for the X server. The truth comes from the bytes alone: each picture shown is
decoded by ImageMagick into the forms a program keeps (B,G,R,A; B,G,R,X; R,G,B,A; 24-bit B,G,R and
R,G,B), a few of its rows are looked for in the dump, and each copy is confirmed row by row at the
stride that the next row's place gives."""

import os
import shutil
import subprocess
import time

import numpy as np

import containers
import headers
import pictures

VIEWER = "nsxiv"
# form -> (layout, how an RGB pixel is laid out, the fourth byte or None)
FORMS = {
    "bgra": (headers.L32, (2, 1, 0), 0xFF),
    "bgrx": (headers.L32, (2, 1, 0), 0x00),
    "rgba": (headers.L32, (0, 1, 2), 0xFF),
    "bgr": (headers.L24, (2, 1, 0), None),
    "rgb": (headers.L24, (0, 1, 2), None),
}
LAYOUT_OF = dict({f: v[0] for f, v in FORMS.items()}, **{"565": headers.L565, "index": headers.L8})
MIN_ROWS = 8          # rows a copy must match in a row to count
MAX_PAD = 256         # bytes of padding at the end of a row looked for
PROBES = (0.5, 0.25, 0.75, 0.1, 0.9)


def form_rows(rgb, form):
    """(h, bytes a row) uint8: the picture in the given form, rows packed."""
    h, w = rgb.shape[:2]
    if form == "565":
        r, g, b = (rgb[:, :, i].astype(np.uint16) for i in range(3))
        words = ((r >> 3) << 11 | (g >> 2) << 5 | (b >> 3)).astype("<u2")
        return np.ascontiguousarray(words).view(np.uint8).reshape(h, 2 * w)
    _layout, order, fourth = FORMS[form]
    planes = [rgb[:, :, i] for i in order]
    if fourth is not None:
        planes.append(np.full((h, w), fourth, np.uint8))
    return np.ascontiguousarray(np.stack(planes, -1).reshape(h, -1))


def find_all(data, needle, lo=0, hi=None):
    out, pos = [], data.find(needle, lo, hi)
    while pos >= 0:
        out.append(pos)
        pos = data.find(needle, pos + 1, hi)
    return out


def copies_in(dump, rows):
    """[(offset of row 0, stride, first row, rows)] of each copy of the picture's rows in dump: a probe
    row found, its stride from where the next row is, the run of rows matching around it."""
    h, packed = rows.shape
    found = {}
    for frac in PROBES:
        r0 = min(h - 2, max(0, int(h * frac)))
        probe, below = rows[r0].tobytes(), rows[r0 + 1].tobytes()
        if len(set(probe)) < 8:
            continue  # a flat row matches anything flat
        for q in find_all(dump, probe):
            nxt = dump.find(below, q + packed, q + 2 * packed + MAX_PAD + 1)
            if nxt < 0:
                continue
            stride = nxt - q
            start = q - r0 * stride
            if any(abs(start - s) < stride and st == stride for (s, st) in found):
                continue
            ok = [0 <= start + r * stride and dump[start + r * stride:start + r * stride + packed] ==
                  rows[r].tobytes() for r in range(h)]
            first = r0
            while first > 0 and ok[first - 1]:
                first -= 1
            last = r0
            while last + 1 < h and ok[last + 1]:
                last += 1
            if last - first + 1 >= MIN_ROWS:
                found[(start, stride)] = (first, last - first + 1)
    return [(s, st, f, n) for (s, st), (f, n) in sorted(found.items())]


def decode_rgb(path):
    return pictures.rgba_of(path)[:, :, :3]


def truth_from_bytes(dump_path, shown):
    """Pictures of the dump: every copy of each shown picture (name, RGB pixels) in every form."""
    with open(dump_path, "rb") as f:
        dump = f.read()
    out = []
    for name, rgb in shown:
        h, w = rgb.shape[:2]
        for form, (layout, _order, _fourth) in FORMS.items():
            rows = form_rows(rgb, form)
            for start, stride, first, n in copies_in(dump, rows):
                offset = start + first * stride
                out.append({
                    "id": "%s@%x" % (form, offset), "member": name, "source": name, "source_kind": "viewer",
                    "storage": "viewer-" + form, "writer": VIEWER, "layout": layout, "width": w, "height": n,
                    "stride": stride, "offset": offset, "bottom_up": False, "bytes": stride * n,
                    "pieces": [[offset, stride * n]], "contiguous": True, "rows_of_picture": [first, n],
                    "format": "%s rows found by their bytes, %d of the picture's %d from row %d" % (
                        form, n, h, first)})
    return dedupe(out)


def dedupe(pics):
    """A B,G,R,X copy whose X bytes are 0xFF also matches as B,G,R,A; keep one of each place."""
    out = []
    for p in sorted(pics, key=lambda p: (p["offset"], -p["bytes"])):
        if out and out[-1]["offset"] == p["offset"] and out[-1]["layout"] == p["layout"]:
            continue
        out.append(p)
    return out


def shown_pictures(rng, work, count):
    """Real photos and artwork, scaled and written as PNG (lossless: the viewer and ImageMagick decode
    the same pixels)."""
    sources = [s["path"] for s in pictures.mate_sources()]
    out = []
    for i, src in enumerate(rng.sample(sources, count)):
        width = rng.choice([333, 480, 513, 640, 801, 1024])
        dst = os.path.join(work, "shown%d.png" % i)
        pictures.run([pictures.IM, src + "[0]", "-auto-orient"] + (["-resize", "%dx" % width] if width else []) +
                     ["-alpha", "off", "-depth", "8", "PNG24:" + dst])
        out.append((os.path.basename(src) + (" at %d wide" % width if width else ""), dst))
    return out


def build_viewer_dump(outdir, work, rng, count=6, save_truth=None, log=print):
    if not shutil.which(VIEWER):
        log("viewer: %s is not installed, left out" % VIEWER)
        return None
    name = "viewer-%s.dump" % VIEWER
    shown = shown_pictures(rng, work, count)
    xvfb, env = containers.start_xvfb(1280, 1024, 24, os.path.join(work, "fbviewer"))
    try:
        proc = subprocess.Popen([VIEWER, "-b", "-z", "100", "-g", "1280x1024+0+0"] + [p for _, p in shown],
                                env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            time.sleep(2)
            for _ in shown[1:]:  # show each in turn; the image cache keeps the ones shown before
                subprocess.run(["xdotool", "key", "--window", str(window_of(proc.pid, env)), "n"], env=env,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                time.sleep(1.5)
            dst = os.path.join(outdir, name)
            placed = containers.read_mappings(proc.pid, dst)
        finally:
            containers.stop([proc])
    finally:
        containers.stop([xvfb])
    truth = {"container": name, "kind": "viewer", "size": os.path.getsize(dst), "members": [], "ignore": [],
             "has_headers": False, "viewer": VIEWER, "shown": [n for n, _ in shown],
             "pictures": truth_from_bytes(dst, [(n, decode_rgb(p)) for n, p in shown])}
    os.makedirs(os.path.join(outdir, "pictures", "shown"), exist_ok=True)
    for n, p in shown:  # for `verify`
        shutil.copyfile(p, os.path.join(outdir, "pictures", "shown", n.replace(" ", "_") + ".png"))
    truth["members"] += containers.mapping_members(placed)
    if save_truth:
        save_truth(outdir, truth)
    log("viewer %s: %s, %.0f MB, %d pictures shown, %d copies found by their bytes (%s)" % (
        VIEWER, dst, truth["size"] / 1e6, len(shown), len(truth["pictures"]),
        ", ".join(sorted({p["storage"] for p in truth["pictures"]}))))
    return truth


def verify_copy(container, pic, corpus_dir):
    """The copy's rows in the dump are the shown picture's, in its form, at its stride."""
    rgb = decode_rgb(os.path.join(corpus_dir, "pictures", "shown", pic["source"].replace(" ", "_") + ".png"))
    rows = form_rows(rgb, pic["storage"].split("-", 1)[1])
    first, n = pic["rows_of_picture"]
    for r in range(n):
        container.seek(pic["offset"] + r * pic["stride"])
        if container.read(rows.shape[1]) != rows[first + r].tobytes():
            return "row %d of the copy is not the shown picture's row %d" % (r, first + r)
    return None


def window_of(pid, env):
    out = subprocess.run(["xdotool", "search", "--pid", str(pid)], env=env, capture_output=True,
                         text=True).stdout.split()
    return out[-1] if out else "0"
