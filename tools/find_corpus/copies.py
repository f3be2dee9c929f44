"""Pictures in an X server's memory besides its screen: images that clients hand over in shared
memory (MIT-SHM segments, mapped as /SYSV...), and copies of those or of the screen's content
elsewhere (pixmaps of windows and of the root window). They are real pictures, but their place and
stride are recorded nowhere, so finds over them count neither as found nor as false."""

import glob
import json
import os

import numpy as np

KEY_BYTES = 8
MIN_DISTINCT = 4        # bytes of a key: flat areas and two-colour text would match anything
GAP = 16 << 10          # matches closer than this belong to one copy
MIN_MATCHES = 32        # matches that make a copy
MARGIN = 4096
OWN_MEMORY = ("heap", "anon", "stack")


def keys_of(data):
    """Every 8-byte run of data, at every byte offset, as a sorted array of the informative ones."""
    s = np.frombuffer(data, np.uint8)
    n = len(s) - KEY_BYTES + 1
    keys = np.zeros(n, np.uint64)
    for k in range(KEY_BYTES):
        keys |= s[k:k + n].astype(np.uint64) << np.uint64(8 * k)
    windows = np.lib.stride_tricks.sliding_window_view(s, KEY_BYTES)
    ordered = np.sort(windows, axis=1)
    distinct = 1 + np.count_nonzero(ordered[:, 1:] != ordered[:, :-1], axis=1)
    return np.unique(keys[distinct >= MIN_DISTINCT])


def matches(dump, keys, skip_lo, skip_hi):
    """Offsets, 4-byte aligned, where the dump holds one of the keys, outside [skip_lo, skip_hi)."""
    found = []
    for phase in (0, 4):
        words = (len(dump) - phase) // 8
        vals = np.frombuffer(dump, np.uint64, words, phase)
        hit = np.nonzero(np.isin(vals, keys, assume_unique=False))[0] * 8 + phase
        found.append(hit)
    hits = np.sort(np.concatenate(found))
    return hits[(hits < skip_lo) | (hits >= skip_hi)]


def zones(hits):
    out = []
    if len(hits) == 0:
        return out
    breaks = np.nonzero(np.diff(hits) > GAP)[0]
    starts = np.concatenate([[0], breaks + 1])
    ends = np.concatenate([breaks, [len(hits) - 1]])
    for a, b in zip(starts, ends):
        if b - a + 1 >= MIN_MATCHES:
            lo, hi = int(hits[a]) - MARGIN, int(hits[b]) + KEY_BYTES + MARGIN
            out.append([max(0, lo), hi - max(0, lo)])
    return out


def is_shared_image(member):
    return "/SYSV" in member["name"]


def picture_zones(dump_path, truth):
    """Zones of the dump, outside the screen itself, holding client images or copies of the screen's
    content or of those images."""
    screen = truth["pictures"][0]
    with open(dump_path, "rb") as f:
        dump = f.read()
    lo, hi = screen["offset"], screen["offset"] + screen["bytes"]
    shared = [p for m in truth["members"] if is_shared_image(m) for p in m["pieces"]]
    keys = [keys_of(dump[lo:hi])] + [keys_of(dump[o:o + n]) for o, n in shared]
    hits = matches(dump, np.unique(np.concatenate(keys)), lo, hi)
    # pixmaps live in the server's own memory, not in the files it maps (whose tables match by chance)
    own = sorted(p for m in truth["members"] if m["kind"] in OWN_MEMORY or is_shared_image(m) for p in m["pieces"])
    starts = np.array([o for o, _ in own], np.int64)
    ends = np.array([o + n for o, n in own], np.int64)
    i = np.searchsorted(starts, hits, side="right") - 1
    inside = (i >= 0) & (hits < ends[np.maximum(i, 0)])
    return merge(zones(hits[inside]) + [[o, n] for o, n in shared])


def merge(spans):
    out = []
    for o, n in sorted(spans):
        if out and o <= out[-1][0] + out[-1][1]:
            out[-1][1] = max(out[-1][0] + out[-1][1], o + n) - out[-1][0]
        else:
            out.append([o, n])
    return out


def mark_copies(corpus_dir):
    """Writes those zones into the X server dumps' truth files as zones to ignore."""
    for truth_path in sorted(glob.glob(os.path.join(corpus_dir, "*.truth.json"))):
        with open(truth_path) as f:
            truth = json.load(f)
        if truth["kind"] != "xvfb":
            continue
        for m in truth["members"]:
            if is_shared_image(m):
                m["kind"] = "shm"
        found = picture_zones(os.path.join(corpus_dir, truth["container"]), truth)
        truth["ignore"] = [{"offset": o, "bytes": n, "why": "client images in shared memory, copies of them or "
                                                            "of the screen (pixmaps)"} for o, n in found]
        with open(truth_path, "w") as f:
            json.dump(truth, f, indent=1)
        print("%s: %d zones, %.1f MB, hold client images or copies of the screen" % (
            truth["container"], len(found), sum(n for _, n in found) / 1e6))
