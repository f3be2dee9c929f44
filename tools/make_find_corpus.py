#!/usr/bin/python3
"""Writes a test corpus for tessvane-find and scores the finder on it.

    tools/make_find_corpus.py make OUTDIR [--background-mb 300] [--seed 1]
    tools/make_find_corpus.py score OUTDIR [--finder build/release/tessvane-find]

`make` writes OUTDIR/corpus.bin, background data of several kinds in pieces of 64 KiB to 4 MiB,
with pictures drawn here (gradients, shapes, smooth noise) planted between the pieces in each of
the four layouts at widths 16 to 4096 and unaligned offsets, some of them touching each other.
OUTDIR/truth.tsv lists the pictures, OUTDIR/background.tsv the pieces of background.

`score` runs the finder with --tsv and reports recall (right layout and width, start within one
row) by layout, by the kind of data before the picture and by width, and false finds (finds not
mostly over a picture) per 100 MB of each kind of background.

Machine code comes from the .text sections of the machine's own libraries and text from its
Python library sources and documentation; everything else is synthesised. Debian's python3 with
python3-numpy runs it.
"""

import argparse
import glob
import lzma
import os
import subprocess
import sys
import tempfile
import zlib

import numpy as np

KINDS = ("random", "zeros", "ff", "code", "text", "utf16", "audio", "records", "compressed")
LAYOUT_NAMES = ("4-bit", "8-bit", "15-bit", "24-bit")
NIBBLES_PER_PIXEL = (1, 2, 4, 6)


# ---- pictures ---------------------------------------------------------------------------------

def smooth_noise(rng, h, w, cell):
    """Random values on a coarse grid, bilinearly interpolated: smooth at the scale of a cell."""
    gh, gw = h // cell + 2, w // cell + 2
    grid = rng.random((gh, gw))
    ys = np.arange(h) / cell
    xs = np.arange(w) / cell
    y0, x0 = ys.astype(int), xs.astype(int)
    fy, fx = (ys - y0)[:, None], (xs - x0)[None, :]
    a = grid[y0][:, x0]
    b = grid[y0][:, x0 + 1]
    c = grid[y0 + 1][:, x0]
    d = grid[y0 + 1][:, x0 + 1]
    return (a * (1 - fx) + b * fx) * (1 - fy) + (c * (1 - fx) + d * fx) * fy


def draw_picture(rng, h, w):
    """An RGB picture in floats 0..1: gradients, smooth noise, then a few flat shapes."""
    # Coordinates in units of the longer side, so that gradients are as steep down as across.
    side = max(h, w)
    y = (np.arange(h) / side)[:, None]
    x = (np.arange(w) / side)[None, :]
    img = np.zeros((h, w, 3))
    for ch in range(3):
        gx, gy = rng.uniform(-0.5, 0.5, 2)
        cell = int(rng.choice([4, 8, 16, 32, 64]))
        img[:, :, ch] = 0.5 + gx * (x - 0.5) + gy * (y - 0.5) + 0.35 * (smooth_noise(rng, h, w, cell) - 0.5)
    for _ in range(int(rng.integers(1, 6))):
        colour = rng.random(3)
        cy, cx = rng.random(2)
        r = rng.uniform(0.05, 0.3)
        yy, xx = np.ogrid[0:h, 0:w]
        if rng.random() < 0.5:
            mask = ((yy / max(h, 1) - cy) ** 2 * (h / max(w, 1)) ** 2 + (xx / max(w, 1) - cx) ** 2) < r * r
        else:
            mask = (abs(yy / max(h, 1) - cy) < r) & (abs(xx / max(w, 1) - cx) < r)
        img[mask] = colour
    return np.clip(img, 0, 1)


def encode(img, layout):
    h, w, _ = img.shape
    if layout == 3:
        return (img * 255).astype(np.uint8).tobytes()
    if layout == 2:
        f = (img * 31).astype(np.uint16)
        word = f[:, :, 0] | f[:, :, 1] << 5 | f[:, :, 2] << 10
        return word.astype("<u2").tobytes()
    lum = img @ np.array([0.3, 0.59, 0.11])
    if layout == 1:
        return (lum * 255).astype(np.uint8).tobytes()
    v = (lum * 15.99).astype(np.uint8).ravel()
    if v.size % 2:
        v = np.append(v, 0)
    return (v[0::2] | v[1::2] << 4).astype(np.uint8).tobytes()


def random_picture(rng):
    layout = int(rng.integers(0, 4))
    width = int(round(2 ** rng.uniform(4, 12)))
    row_bytes = width * NIBBLES_PER_PIXEL[layout] / 2
    # Heights of at least a sixteenth of the width (no thin strips), at most 3 MB.
    target = 2 ** rng.uniform(13, 20.5)
    height = max(16, width // 16, int(target / row_bytes))
    height = min(height, max(16, int(3_000_000 / row_bytes)))
    data = encode(draw_picture(rng, height, width), layout)
    return layout, width, height, data


# ---- background -------------------------------------------------------------------------------

def text_pool():
    files = sorted(glob.glob("/usr/lib/python3*/**/*.py", recursive=True))[:4000]
    files += sorted(glob.glob("/usr/share/common-licenses/*"))
    out = bytearray()
    for path in files:
        try:
            with open(path, "rb") as f:
                out += f.read()
        except OSError:
            pass
        if len(out) > 40 << 20:
            break
    return bytes(out)


def code_pool():
    out = bytearray()
    libs = sorted(glob.glob("/usr/lib/x86_64-linux-gnu/lib*.so*"), key=os.path.getsize, reverse=True)
    with tempfile.TemporaryDirectory() as tmp:
        for lib in libs[:6] + ["/usr/bin/cmake", "/usr/bin/python3.11"]:
            dst = os.path.join(tmp, "text")
            if subprocess.run(["objcopy", "-O", "binary", "--only-section=.text", lib, dst],
                              capture_output=True).returncode == 0:
                with open(dst, "rb") as f:
                    out += f.read()
            if len(out) > 80 << 20:
                break
    return bytes(out)


def audio(rng, n):
    """Speech-like 16-bit PCM at 16 kHz: voiced stretches with drifting pitch and formants,
    noise bursts and near silence, plus tones with a vibrato."""
    samples = n // 2 + 1
    t = np.arange(samples) / 16000.0
    out = np.zeros(samples)
    pos = 0
    while pos < samples:
        seg = int(rng.integers(800, 8000))
        end = min(samples, pos + seg)
        tt = t[pos:end]
        kind = rng.random()
        if kind < 0.5:
            pitch = rng.uniform(90, 240) * (1 + 0.05 * np.sin(2 * np.pi * rng.uniform(2, 6) * tt))
            phase = 2 * np.pi * np.cumsum(pitch) / 16000.0
            sig = sum(np.sin(k * phase) * np.exp(-((k * pitch.mean() - f) / 300) ** 2)
                      for k in range(1, 30) for f in (rng.uniform(300, 900), rng.uniform(900, 2500)))
            sig = sig / (np.abs(sig).max() + 1e-9) * rng.uniform(2000, 20000)
        elif kind < 0.7:
            sig = rng.normal(0, rng.uniform(500, 4000), end - pos)
        elif kind < 0.85:
            f = rng.uniform(200, 3000)
            sig = rng.uniform(1000, 20000) * np.sin(2 * np.pi * f * tt * (1 + 0.01 * np.sin(7 * tt)))
        else:
            sig = rng.normal(0, rng.uniform(1, 30), end - pos)
        env = np.minimum(1, np.minimum(np.arange(end - pos), np.arange(end - pos)[::-1]) / 200.0)
        out[pos:end] = sig * env + rng.normal(0, 3, end - pos)
        pos = end
    return np.clip(out, -32768, 32767).astype("<i2").tobytes()[:n]


def records(rng, n):
    """Arrays of small records: ids counting up, a wandering measurement, small codes, stamps."""
    style = int(rng.integers(0, 3))
    count = n // 8 + 1
    ids = np.arange(count, dtype=np.uint32) + np.uint32(rng.integers(0, 1 << 30))
    walk = np.cumsum(rng.normal(0, 1, count)).astype(np.float32)
    codes = rng.integers(0, 8, count).astype(np.uint16)
    stamps = (np.cumsum(rng.integers(1, 1000, count)) + rng.integers(0, 1 << 40)).astype(np.uint64)
    if style == 0:
        rec = np.zeros(count, dtype=[("id", "<u4"), ("x", "<f4"), ("c", "<u2"), ("f", "<u2"), ("v", "<u4")])
        rec["id"], rec["x"], rec["c"], rec["f"], rec["v"] = ids, walk, codes, codes ^ 5, rng.integers(0, 100, count)
    elif style == 1:
        rec = np.zeros(count, dtype=[("t", "<u8"), ("x", "<f4"), ("y", "<f4"), ("c", "<u4")])
        rec["t"], rec["x"], rec["y"], rec["c"] = stamps, walk, walk * 2, codes
    else:
        rec = np.zeros(count, dtype=[("id", "<u2"), ("c", "u1"), ("k", "u1"), ("x", "<i4"), ("y", "<i4")])
        rec["id"], rec["c"], rec["k"] = ids, codes, 7
        rec["x"], rec["y"] = (walk * 100).astype(np.int32), (walk * -50).astype(np.int32)
    return rec.tobytes()[:n]


def background(kind, rng, n, pools):
    if kind == "random":
        return rng.integers(0, 256, n, dtype=np.uint8).tobytes()
    if kind == "zeros":
        return bytes(n)
    if kind == "ff":
        return b"\xff" * n
    if kind in ("code", "text"):
        pool = pools[kind]
        start = int(rng.integers(0, len(pool) - n)) if len(pool) > n else 0
        return (pool[start:start + n] * (n // max(1, len(pool)) + 1))[:n]
    if kind == "utf16":
        return background("text", rng, n // 2 + 1, pools).decode("latin-1").encode("utf-16-le")[:n]
    if kind == "audio":
        return audio(rng, n)
    if kind == "records":
        return records(rng, n)
    out = bytearray()
    while len(out) < n:
        chunk = background("text", rng, 1 << 20, pools)
        out += lzma.compress(chunk, preset=1) if rng.random() < 0.3 else zlib.compress(chunk, 6)
    return bytes(out[:n])


def make(outdir, background_mb, seed):
    rng = np.random.default_rng(seed)
    pools = {"text": text_pool(), "code": code_pool()}
    os.makedirs(outdir, exist_ok=True)
    total_bg = background_mb << 20
    written = bg_done = 0
    truth, pieces = [], []
    with open(os.path.join(outdir, "corpus.bin"), "wb") as out:
        previous = "start"
        while bg_done < total_bg:
            kind = KINDS[int(rng.integers(0, len(KINDS)))]
            n = int(2 ** rng.uniform(16, 22)) + int(rng.integers(0, 4096))
            data = background(kind, rng, n, pools)
            pieces.append((written, len(data), kind))
            out.write(data)
            written += len(data)
            bg_done += len(data)
            # One picture after most pieces; now and then two touching.
            if rng.random() < 0.8:
                for _ in range(2 if rng.random() < 0.15 else 1):
                    layout, width, height, pic = random_picture(rng)
                    truth.append((written, len(pic), layout, width, height, kind))
                    out.write(pic)
                    written += len(pic)
            previous = kind
        del previous
    with open(os.path.join(outdir, "truth.tsv"), "w") as f:
        f.write("offset\tbytes\tlayout\twidth\theight\tbefore\n")
        for row in truth:
            f.write("\t".join(str(v) for v in row) + "\n")
    with open(os.path.join(outdir, "background.tsv"), "w") as f:
        f.write("offset\tbytes\tkind\n")
        for row in pieces:
            f.write("\t".join(str(v) for v in row) + "\n")
    print(f"wrote {outdir}/corpus.bin: {written} bytes, {bg_done} of background, {len(truth)} pictures")


# ---- scoring ----------------------------------------------------------------------------------

def read_tsv(path):
    with open(path) as f:
        lines = f.read().splitlines()
    head = lines[0].split("\t")
    return [dict(zip(head, line.split("\t"))) for line in lines[1:] if line]


def score(outdir, finder, verbose):
    truth = read_tsv(os.path.join(outdir, "truth.tsv"))
    pieces = read_tsv(os.path.join(outdir, "background.tsv"))
    run = subprocess.run([finder, "--tsv", os.path.join(outdir, "corpus.bin")], capture_output=True,
                         text=True, check=True)
    finds = [dict(zip(("offset", "bytes", "layout", "width", "height", "score"), map(float, l.split("\t"))))
             for l in run.stdout.splitlines()[1:]]
    for t in truth:
        for k in ("offset", "bytes", "layout", "width", "height"):
            t[k] = int(t[k])
    hit = {}
    for t in truth:
        row = t["width"] * NIBBLES_PER_PIXEL[t["layout"]] / 2
        hit[id(t)] = any(f["layout"] == t["layout"] and f["width"] == t["width"]
                         and abs(f["offset"] - t["offset"]) <= row for f in finds)

    def report(title, key, names):
        print(title)
        for name in names:
            group = [t for t in truth if key(t) == name]
            if group:
                found = sum(hit[id(t)] for t in group)
                print(f"  {name:<12} {found:>4} / {len(group):<4} {100.0 * found / len(group):6.1f} %")

    if verbose:
        for t in truth:
            if not hit[id(t)]:
                a, b = t["offset"], t["offset"] + t["bytes"]
                near = [(int(f["offset"]) - a, int(f["bytes"]), int(f["layout"]), int(f["width"]))
                        for f in finds if f["offset"] < b and a < f["offset"] + f["bytes"]]
                print(f"missed {a} bytes {t['bytes']} layout {t['layout']} width {t['width']} "
                      f"height {t['height']} after {t['before']}: {near}")
    found = sum(hit.values())
    print(f"recall: {found} / {len(truth)} = {100.0 * found / max(1, len(truth)):.1f} %")
    report("by layout", lambda t: LAYOUT_NAMES[t["layout"]], LAYOUT_NAMES)
    report("by data before the picture", lambda t: t["before"], KINDS)
    bands = ("16-63", "64-255", "256-1023", "1024-4096")
    report("by width", lambda t: bands[min(3, max(0, (t["width"].bit_length() - 5) // 2))], bands)

    # False finds: not mostly over a picture; charged to the background piece holding their middle.
    starts = sorted((t["offset"], t["offset"] + t["bytes"]) for t in truth)
    bg = [(int(p["offset"]), int(p["bytes"]), p["kind"]) for p in pieces]
    size = {k: 0 for k in KINDS}
    for _, n, kind in bg:
        size[kind] += n
    false = {k: 0 for k in KINDS}
    examples = []
    import bisect
    offsets = [p[0] for p in bg]
    for f in finds:
        a, b = f["offset"], f["offset"] + f["bytes"]
        if sum(max(0, min(b, e) - max(a, s)) for s, e in starts) * 2 >= b - a:
            continue
        mid = (a + b) / 2
        i = max(0, bisect.bisect_right(offsets, mid) - 1)
        false[bg[i][2]] += 1
        examples.append((int(a), int(f["bytes"]), int(f["layout"]), int(f["width"]), bg[i][2]))
    total_false = sum(false.values())
    total_mb = sum(size.values()) / 1e6
    print(f"false finds: {total_false} in {total_mb:.0f} MB of background = "
          f"{100.0 * total_false / max(total_mb, 1e-9):.2f} per 100 MB")
    for k in KINDS:
        if size[k]:
            print(f"  {k:<12} {false[k]:>4} in {size[k] / 1e6:7.1f} MB = {1e8 * false[k] / size[k]:6.2f} per 100 MB")
    for e in examples[:10]:
        print("  e.g. offset %d bytes %d layout %d width %d in %s" % e)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sub = parser.add_subparsers(dest="command", required=True)
    m = sub.add_parser("make")
    m.add_argument("outdir")
    m.add_argument("--background-mb", type=int, default=300)
    m.add_argument("--seed", type=int, default=1)
    s = sub.add_parser("score")
    s.add_argument("outdir")
    s.add_argument("--finder", default=os.path.join(os.path.dirname(__file__), "..", "build", "release",
                                                    "tessvane-find"))
    s.add_argument("--verbose", action="store_true", help="list the missed pictures")
    args = parser.parse_args()
    if args.command == "make":
        make(args.outdir, args.background_mb, args.seed)
    else:
        score(args.outdir, args.finder, args.verbose)
    return 0


if __name__ == "__main__":
    sys.exit(main())
