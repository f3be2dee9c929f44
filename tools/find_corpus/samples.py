"""`samples`: small real files for the repository's finder tests, each with its truth.

Written from a corpus built by `make` (its X server dumps and written pictures) and from a large
library of the machine in which the given finder reports a false find."""

import json
import os
import subprocess

import numpy as np

import headers
import pictures
import score

SLICE_BYTES = 48 << 10


def read_truth(corpus, container):
    with open(os.path.join(corpus, container + ".truth.json")) as f:
        return json.load(f)


def screen_crop(corpus, depth, x, y, w, h, dst):
    """A rectangle of the X server's screen, rows packed one after the other."""
    truth = read_truth(corpus, "xvfb%d.dump" % depth)
    pic = truth["pictures"][0]
    bpp = headers.BITS_PER_PIXEL[pic["layout"]] // 8
    with open(os.path.join(corpus, truth["container"]), "rb") as f:
        f.seek(pic["offset"])
        screen = np.frombuffer(f.read(pic["bytes"]), np.uint8).reshape(pic["height"], pic["stride"])
    crop = np.ascontiguousarray(screen[y:y + h, x * bpp:(x + w) * bpp])
    with open(dst, "wb") as f:
        f.write(crop.tobytes())
    return {"file": os.path.basename(dst), "layout": pic["layout"], "width": w, "height": h, "stride": w * bpp,
            "offset": 0, "bottom_up": False,
            "from": "%s of %s (screen %s), x %d y %d" % (pic["id"], truth["container"], truth["screen"], x, y)}


def picture_file(src, storage, width, dst):
    pictures.write_picture(src, storage, width, dst)
    info = headers.parse_picture(dst)
    return {"file": os.path.basename(dst), "layout": info["layout"], "width": info["width"],
            "height": info["height"], "stride": info["stride"], "offset": info["offset"],
            "bottom_up": info["bottom_up"], "from": "%s written by ImageMagick (%s)" % (src, info["format"])}


def finds_in(finder, path):
    out = subprocess.run([finder, "--tsv", path], capture_output=True, text=True, check=True).stdout
    return score.read_tsv(out)


def library_slice(finder, libraries, dst):
    """48 KB of a large library around a false find that the finder still reports in the slice alone."""
    for lib in libraries:
        for f in sorted(finds_in(finder, lib), key=lambda f: -f["score"])[:12]:
            start = max(0, f["offset"] - 4096)
            with open(lib, "rb") as src:
                src.seek(start)
                data = src.read(SLICE_BYTES)
            with open(dst, "wb") as out:
                out.write(data)
            again = finds_in(finder, dst)
            if again:
                pkg = subprocess.run(["dpkg", "-S", lib], capture_output=True, text=True).stdout.split(":")[0]
                ver = subprocess.run(["dpkg-query", "-W", "-f", "${Version}", pkg], capture_output=True,
                                     text=True).stdout if pkg else ""
                return {"file": os.path.basename(dst), "pictures": 0,
                        "from": "bytes %d to %d of %s (Debian %s %s); the finder reported %s" % (
                            start, start + len(data), lib, pkg, ver,
                            "; ".join(score.describe(g) for g in again))}
    os.unlink(dst)
    return None


def write_samples(args):
    os.makedirs(args.out, exist_ok=True)
    photo = os.path.join(pictures.MATE_DIR, "nature/LadyBird.jpg")
    entries = [
        picture_file(photo, "bmp24", 101, os.path.join(args.out, "photo_101x_bmp24.bmp")),
        picture_file(os.path.join(pictures.MATE_DIR, "nature/Garden.jpg"), "bmp8", 97,
                     os.path.join(args.out, "photo_97x_bmp8.bmp")),
        screen_crop(args.corpus, 16, 400, 330, 240, 160, os.path.join(args.out, "screen565_240x160.raw")),
        screen_crop(args.corpus, 24, 600, 330, 160, 120, os.path.join(args.out, "screen32_160x120.raw")),
    ]
    libs = [p for p, _ in sorted(((p, os.path.getsize(p)) for p in args.library), key=lambda ps: -ps[1])]
    lib = library_slice(args.finder, libs, os.path.join(args.out, "library_slice.bin"))
    if lib:
        entries.append(lib)
    with open(os.path.join(args.out, "truth.json"), "w") as f:
        json.dump(entries, f, indent=1)
    for e in entries:
        print(json.dumps(e))
