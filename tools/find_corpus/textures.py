"""Textures of one size back to back, as a game's data holds its floors and walls.

gimp-data's patterns of 32 pixels or more each way are cut to 64 x 64 (ImageMagick: -resize 64x64^
-gravity center -extent 64x64) and brought to one palette of 256 colours shared by all of them
(-colors 256 -unique-colors over the patterns side by side), each pattern remapped to it, dithered
or not (-remap). The palette is ordered as games order theirs, in ramps: colours grouped by hue
(greys apart), each group from dark to light. The container is the palette (768 bytes, a game's
resource file keeps one) then every pattern of the share as 4096 bytes of palette indices, in the
order of their paths; the truth is each texture's place. "tune" and "apart" are disjoint halves
of the patterns by a hash of their names."""

import colorsys
import glob
import os
import struct
import subprocess
import tempfile
import zlib

import numpy as np

from headers import L8

PATTERNS = "/usr/share/gimp/2.0/patterns"
SIZE = 64


def pattern_files():
    """gimp-data's patterns of 32 pixels or more each way, by path."""
    out = []
    for path in sorted(glob.glob(os.path.join(PATTERNS, "**", "*.pat"), recursive=True)):
        with open(path, "rb") as f:
            _size, _version, w, h = struct.unpack(">4I", f.read(16))
        if w >= 32 and h >= 32:
            out.append(path)
    return out


def share_of(path):
    return "tune" if zlib.crc32(os.path.relpath(path, PATTERNS).encode()) % 2 == 0 else "apart"


def pat_to_ppm(path, out):
    """A GIMP pattern (a header giving its size and bytes a pixel, then the pixels) as a PPM."""
    with open(path, "rb") as f:
        data = f.read()
    header, _version, w, h, depth = struct.unpack(">5I", data[:20])
    pixels = np.frombuffer(data[header:header + w * h * depth], dtype=np.uint8).reshape(h, w, depth)
    rgb = np.repeat(pixels[:, :, :1], 3, axis=2) if depth < 3 else pixels[:, :, :3]
    with open(out, "wb") as f:
        f.write(b"P6\n%d %d\n255\n" % (w, h) + np.ascontiguousarray(rgb).tobytes())


def read_ppm(path):
    with open(path, "rb") as f:
        data = f.read()
    magic, dims, _maxval, pixels = data.split(b"\n", 3)
    w, h = (int(v) for v in dims.split())
    return np.frombuffer(pixels[:w * h * 3], dtype=np.uint8).reshape(h, w, 3)


def ramps(colours):
    """The palette's order: greys first, then hue groups of 30 degrees, each from dark to light."""
    def key(c):
        hue, light, sat = colorsys.rgb_to_hls(*(v / 255.0 for v in c))
        group = -1 if sat < 0.12 or light < 0.06 or light > 0.94 else int(hue * 12) % 12
        return (group, light)
    return sorted(range(len(colours)), key=lambda i: key(colours[i]))


def texture_bytes(paths, dither):
    """The palette (768 bytes) and each pattern's 4096 palette indices."""
    with tempfile.TemporaryDirectory() as work:
        cut = []
        for k, path in enumerate(paths):
            out = os.path.join(work, "t%03d.ppm" % k)
            pat_to_ppm(path, out)
            subprocess.run(["convert", out, "-resize", "%dx%d^" % (SIZE, SIZE), "-gravity", "center",
                            "-extent", "%dx%d" % (SIZE, SIZE), "+repage", out], check=True)
            cut.append(out)
        palette = os.path.join(work, "palette.ppm")
        subprocess.run(["convert"] + cut + ["+append", "-colors", "256", "-unique-colors", palette], check=True)
        colours = [tuple(c) for c in read_ppm(palette).reshape(-1, 3)]
        table = np.array([colours[i] for i in ramps(colours)], dtype=np.int32)
        indices = []
        for k, ppm in enumerate(cut):
            out = os.path.join(work, "r%03d.ppm" % k)
            subprocess.run(["convert", ppm] + ([] if dither else ["+dither"]) + ["-remap", palette, out], check=True)
            pixels = read_ppm(out).reshape(-1, 1, 3).astype(np.int32)
            # every remapped colour is a palette entry: the nearest is the very one
            nearest = np.argmin(((pixels - table[None, :, :]) ** 2).sum(axis=2), axis=1)
            indices.append(nearest.astype(np.uint8).tobytes())
    return table.astype(np.uint8).tobytes().ljust(768, b"\0"), indices


def build_textures(outdir, share, dither, save_truth, log):
    paths = [p for p in pattern_files() if share == "all" or share_of(p) == share]
    if not paths:
        log("textures: gimp-data's patterns are not installed, left out")
        return
    name = "textures-%s%s.game" % (share, "" if dither else "-plain")
    head, indices = texture_bytes(paths, dither)
    dst = os.path.join(outdir, name)
    with open(dst, "wb") as f:
        f.write(head)
        for blob in indices:
            f.write(blob)
    truth = {"container": name, "kind": "textures", "size": os.path.getsize(dst), "pictures": [],
             "members": [{"name": "palette", "kind": "game-table", "pieces": [[0, len(head)]]}],
             "ignore": [], "has_headers": False, "source": PATTERNS, "dither": dither}
    for k, path in enumerate(paths):
        offset = len(head) + k * SIZE * SIZE
        rel = os.path.relpath(path, PATTERNS)
        truth["members"].append({"name": rel, "kind": "texture", "pieces": [[offset, SIZE * SIZE]]})
        truth["pictures"].append({
            "id": "t%02d" % k, "member": rel, "source": rel, "source_kind": "texture", "storage": "texture8",
            "writer": "imagemagick", "layout": L8, "width": SIZE, "height": SIZE, "stride": SIZE,
            "offset": offset, "bottom_up": False, "bytes": SIZE * SIZE, "pieces": [[offset, SIZE * SIZE]],
            "contiguous": True, "format": "texture, 8-bit palette indices"})
    save_truth(outdir, truth)
    log("textures: %s, %d textures of %dx%d%s" % (dst, len(paths), SIZE, SIZE, ", dithered" if dither else ""))


def verify_textures(container, truth):
    """Each texture's bytes are the indices its pattern is converted to again."""
    paths = [os.path.join(truth["source"], p["member"]) for p in truth["pictures"]]
    head, indices = texture_bytes(paths, truth["dither"])
    container.seek(0)
    if container.read(len(head)) != head:
        return "the palette differs"
    for pic, blob in zip(truth["pictures"], indices):
        container.seek(pic["offset"])
        if container.read(pic["bytes"]) != blob:
            return "%s differs from its pattern's indices" % pic["id"]
    return None
