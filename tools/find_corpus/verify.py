"""`verify`: checks every truth file against the container and an independent decoder.

For a picture: the container holds the written file's bytes at each truth piece, and the pixels read
at the truth's offset, layout, stride and row order equal ImageMagick's own decoding of the file.
For a screen: the XWD header of the frame buffer file sits where the truth says it does."""

import glob
import json
import os
import struct
import subprocess

import numpy as np

import containers
import gamedata
import gamescreen
import headers
import pictures
import textures
import viewer


def im_rgb(path, w, h):
    raw = subprocess.run([pictures.IM, path + "[0]", "-alpha", "off", "-depth", "8", "RGB:-"], check=True,
                         capture_output=True).stdout
    return np.frombuffer(raw, np.uint8).reshape(h, w, 3)


def palette(data):
    dib, = struct.unpack_from("<I", data, 14)
    return np.frombuffer(data, np.uint8, 256 * 4 if len(data) >= 14 + dib + 1024 else 0, 14 + dib).reshape(-1, 4)


def expand5(v):
    return ((v << 3) | (v >> 2)).astype(np.uint8)


def expand6(v):
    return ((v << 2) | (v >> 4)).astype(np.uint8)


def decode(data, pic):
    """RGB pixels as the truth describes them: layout, stride, row order."""
    w, h, stride, layout = pic["width"], pic["height"], pic["stride"], pic["layout"]
    rows = np.frombuffer(data, np.uint8, stride * h, pic["offset"]).reshape(h, stride)
    if pic["bottom_up"]:
        rows = rows[::-1]
    fmt = pic["format"]
    if layout == headers.L24:
        px = rows[:, :w * 3].reshape(h, w, 3)
        return px[:, :, ::-1] if fmt.startswith(("BMP", "TGA")) else px
    if layout == headers.L32:
        return rows[:, :w * 4].reshape(h, w, 4)[:, :, 2::-1]
    if layout in (headers.L555, headers.L565):
        v = rows[:, :w * 2].copy().view("<u2").astype(np.uint16)
        if layout == headers.L555:
            r, g, b = expand5((v >> 10) & 31), expand5((v >> 5) & 31), expand5(v & 31)
        else:
            r, g, b = expand5(v >> 11), expand6((v >> 5) & 63), expand5(v & 31)
        return np.stack([r, g, b], -1)
    if layout == headers.L8:
        idx = rows[:, :w]
    else:  # BMP 4-bit: the first pixel in the high nibble
        nib = np.stack([rows >> 4, rows & 15], -1).reshape(h, -1)
        idx = nib[:, :w]
    if "palette" in pic:
        return np.array(pic["palette"], np.uint8)[idx]
    if fmt.startswith("BMP"):
        return palette(data)[idx][:, :, 2::-1]
    return np.stack([idx, idx, idx], -1)


def verify_picture(container, pic, file_path, reference=None):
    """reference: what a raw picture (no header for ImageMagick to read) decodes to."""
    with open(file_path, "rb") as f:
        data = f.read()
    for (off, n), start in zip(pic["pieces"], pic["piece_file_offsets"]):
        container.seek(off)
        if container.read(n) != data[start:start + n]:
            return "container bytes at %d differ from the file at %d" % (off, start)
    mine = decode(data, pic).astype(np.int16)
    theirs = im_rgb(reference or file_path, pic["width"], pic["height"]).astype(np.int16)
    worst = int(np.abs(mine - theirs).max())
    tolerance = 8 if pic["layout"] in (headers.L555, headers.L565) else 1
    if worst > tolerance:
        return "pixels differ from ImageMagick's decoding by up to %d" % worst
    return None


def verify_screen(container, truth, pic):
    fb = [m for m in truth["members"] if m["kind"] == "framebuffer"]
    if len(fb) != 1:
        return "no single frame buffer mapping"
    off = fb[0]["pieces"][0][0]
    container.seek(off)
    xwd = containers.parse_xwd_header(container.read(100))
    if xwd != truth["xwd"] or off + xwd["pixels"] != pic["offset"]:
        return "the XWD header is not where the truth says"
    return None


def verify_overwritten(container, truth, corpus_dir):
    """A headerless copy: zeros wherever a header was, and the original's bytes over every picture."""
    for off, n in truth["overwritten"]:
        container.seek(off)
        if container.read(n) != bytes(n):
            return "header bytes at %d are not overwritten" % off
    with open(os.path.join(corpus_dir, truth["original"]), "rb") as original:
        for pic in truth["pictures"]:
            for off, n in pic["pieces"]:
                container.seek(off)
                original.seek(off)
                if container.read(n) != original.read(n):
                    return "%s's pixels at %d differ from %s" % (pic["id"], off, truth["original"])
    return None


def verify(corpus_dir):
    bad, checked = 0, 0
    for truth_path in sorted(glob.glob(os.path.join(corpus_dir, "*.truth.json"))):
        with open(truth_path) as f:
            truth = json.load(f)
        with open(os.path.join(corpus_dir, truth["container"]), "rb") as container:
            if truth.get("form") == "noheader":
                err = verify_overwritten(container, truth, corpus_dir)
                if err:
                    bad += 1
                    print("  %s: %s" % (truth["container"], err))
            if truth["kind"] in ("gamedata", "textures"):
                check = gamedata.verify_game if truth["kind"] == "gamedata" else textures.verify_textures
                err = check(container, truth)
                checked += len(truth["pictures"])
                if err:
                    bad += 1
                    print("  %s: %s" % (truth["container"], err))
                continue
            for pic in truth["pictures"]:
                if truth["kind"] in ("viewer", "gamescreen"):
                    check = viewer.verify_copy if truth["kind"] == "viewer" else gamescreen.verify_copy
                    err = check(container, pic, corpus_dir)
                    checked += 1
                    if err:
                        bad += 1
                        print("  %s %s: %s" % (truth["container"], pic["id"], err))
                    continue
                if truth["kind"] == "xvfb" and truth.get("form") == "noheader":
                    continue  # its XWD header is gone; checked against the original above
                if truth["kind"] == "xvfb":
                    err = verify_screen(container, truth, pic)
                else:
                    ref = pic.get("reference")
                    err = verify_picture(container, pic, os.path.join(corpus_dir, pic["member"]),
                                         ref and os.path.join(corpus_dir, ref))
                checked += 1
                if err:
                    bad += 1
                    print("  %s %s (%s): %s" % (truth["container"], pic["id"], pic["storage"], err))
    print("truth checked: %d pictures, %d wrong" % (checked, bad))
    return bad == 0
