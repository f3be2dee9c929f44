"""`strip`: each container again with the stored pictures' headers overwritten, so that the same
pictures measure what the finder sees by their look alone.

CONTAINER.noheader.EXT gets every byte of a picture's own file that is not one of its pixel rows
(the BMP, PNM, TGA and TIFF headers, palettes and TIFF directories) and the XWD header and colour
table before an X server's frame buffer overwritten with zeros. The pixel rows, and so the truth's
pixel regions, stay where they were."""

import glob
import json
import os
import shutil

NOHEADER = ".noheader"


def noheader_name(container):
    stem, ext = os.path.splitext(container)
    return stem + NOHEADER + ext


def is_noheader(container):
    return NOHEADER + "." in container or container.endswith(NOHEADER)


def subtract(spans, holes):
    """The parts of spans ([offset, bytes] each) outside every hole."""
    out = []
    holes = sorted(holes)
    for lo, n in spans:
        pos, hi = lo, lo + n
        for h_lo, h_n in holes:
            h_hi = h_lo + h_n
            if h_hi <= pos or h_lo >= hi:
                continue
            if h_lo > pos:
                out.append([pos, h_lo - pos])
            pos = max(pos, h_hi)
        if pos < hi:
            out.append([pos, hi - pos])
    return out


def header_spans(truth):
    """Container spans that hold the pictures' headers: for a stored picture, its file's bytes outside
    its pixel rows; for an X server's screen, the frame buffer file's bytes before the pixels."""
    pixels = [p for pic in truth["pictures"] for p in pic["pieces"]]
    spans = []
    if truth["kind"] == "xvfb":
        for pic in truth["pictures"]:
            for m in truth["members"]:
                if m["kind"] != "framebuffer":
                    continue
                start = m["pieces"][0][0]
                if start <= pic["offset"] < start + m["pieces"][0][1]:
                    spans.append([start, pic["offset"] - start])
        return spans
    owners = {pic["member"] for pic in truth["pictures"]}
    for m in truth["members"]:
        if m["kind"] == "picture" and m["name"] in owners:
            spans += subtract(m["pieces"], pixels)
    return [s for s in spans if s[1] > 0]


def overwrite(path, spans):
    with open(path, "r+b") as f:
        for off, n in spans:
            f.seek(off)
            f.write(bytes(n))


def strip_container(corpus_dir, truth):
    """Writes the headerless copy of one container and its truth; returns the new truth."""
    src = os.path.join(corpus_dir, truth["container"])
    name = noheader_name(truth["container"])
    dst = os.path.join(corpus_dir, name)
    spans = header_spans(truth)
    shutil.copyfile(src, dst)
    overwrite(dst, spans)
    out = dict(truth, container=name, form="noheader", overwritten=spans, original=truth["container"])
    with open(os.path.join(corpus_dir, name + ".truth.json"), "w") as f:
        json.dump(out, f, indent=1)
    return out


def strip_corpus(corpus_dir):
    for truth_path in sorted(glob.glob(os.path.join(corpus_dir, "*.truth.json"))):
        with open(truth_path) as f:
            truth = json.load(f)
        if is_noheader(truth["container"]) or not truth["pictures"] or truth.get("has_headers") is False:
            continue
        out = strip_container(corpus_dir, truth)
        print("%s: %d headers overwritten, %.1f KB" % (out["container"], len(out["overwritten"]),
                                                        sum(n for _, n in out["overwritten"]) / 1e3), flush=True)
