"""Game data with raw pictures, the truth read from the format's own directory.

Flight of the Amazon Queen (Debian's flight-of-the-amazon-queen, freeware) keeps all its files in one
resource file, queen.1c: "QTBL", a 6-byte version, 3 bytes, a big-endian 16-bit count of entries at
13, then from 15 one 21-byte entry per file (name of 12 bytes, bundle byte, big-endian offset and
size). Its sprite banks (.BBK, .ACT, .SAM) are a little-endian 16-bit count of frames, then each
frame: width, height and a hot spot (little-endian 16-bit each) and width x height bytes of palette
indices, rows top-down. A bank is taken as such only when its frames fill it exactly. Backgrounds
(.PCX) are run-length coded, speech (.SB) compressed, masks (.MSK) 1 bit a pixel: none of them a
layout the finder reports; the masks and banks that do not parse are zones that count neither way.

The container is a resource file of the same format holding one share of the original's files,
chosen by a hash of each name: "tune" and "apart" are disjoint halves, so that a set kept apart
does not hold the game's pictures tuned on."""

import os
import struct
import zlib

from headers import L8

QUEEN = "/usr/share/scummvm/flight-of-the-amazon-queen/queen.1c"
BANKS = ("BBK", "ACT", "SAM")
ENTRY = 21
KINDS = {"SB": "speech", "PCX": "rle-picture", "MSK": "mask", "MUS": "music", "RL": "music", "CUT": "game-script",
         "DOG": "game-script", "JAS": "game-script", "DATA": "game-script", "LUM": "game-table", "CRD": "game-script",
         "BAK": "game-table", "RAW": "game-other"}


def directory(data):
    """[(name, offset, size)] of a queen.1c directory (data: at least the directory's bytes)."""
    if data[:4] != b"QTBL":
        return None
    count, = struct.unpack_from(">H", data, 13)
    out = []
    for i in range(count):
        pos = 15 + ENTRY * i
        name = data[pos:pos + 12].split(b"\0")[0].decode("ascii", "replace")
        offset, size = struct.unpack_from(">II", data, pos + 13)
        out.append((name, offset, size))
    return out


def bank_frames(data):
    """[(offset of the pixels, width, height)] of a sprite bank, or None when its frames do not fill it."""
    if len(data) < 2:
        return None
    count, = struct.unpack_from("<H", data, 0)
    pos, frames = 2, []
    while pos + 8 <= len(data):
        w, h, _x, _y = struct.unpack_from("<4H", data, pos)
        if w == 0 or h == 0 or pos + 8 + w * h > len(data):
            return None
        frames.append((pos + 8, w, h))
        pos += 8 + w * h
    return frames if pos == len(data) and len(frames) == count else None


def truth_of(path, name, source=QUEEN):
    """The truth of a resource file whose files all come from source, the original."""
    with open(path, "rb") as f:
        head = f.read(15)
        count, = struct.unpack_from(">H", head, 13)
        f.seek(0)
        entries = directory(f.read(15 + ENTRY * count))
        truth = {"container": name, "kind": "gamedata", "size": os.path.getsize(path), "pictures": [],
                 "members": [{"name": "directory", "kind": "game-table", "pieces": [[0, 15 + ENTRY * count]]}],
                 "ignore": [], "has_headers": False, "source": source}
        for entry_name, offset, size in entries:
            ext = entry_name.rsplit(".", 1)[-1]
            frames = None
            if ext in BANKS:
                f.seek(offset)
                frames = bank_frames(f.read(size))
            if frames is None and ext in BANKS + ("MSK",):
                truth["ignore"].append({"offset": offset, "bytes": size, "why": "%s: %s" % (
                    entry_name, "1-bit mask" if ext == "MSK" else "a sprite bank of another layout")})
            kind = "sprites" if frames is not None else KINDS.get(ext, "game-other")
            truth["members"].append({"name": entry_name, "kind": kind, "pieces": [[offset, size]]})
            for i, (pos, w, h) in enumerate(frames or []):
                truth["pictures"].append({
                    "id": "%s#%d" % (entry_name, i), "member": entry_name, "source": "FOTAQ " + entry_name,
                    "source_kind": "sprite", "storage": "game8", "writer": "game", "layout": L8, "width": w,
                    "height": h, "stride": w, "offset": offset + pos, "bottom_up": False, "bytes": w * h,
                    "pieces": [[offset + pos, w * h]], "contiguous": True,
                    "format": "sprite bank frame, 8-bit palette indices"})
    return truth


def verify_game(container, truth):
    """Each file of the container is the original's file of its name, and each frame's own header
    gives the truth's width and height."""
    with open(truth["source"], "rb") as f:
        count, = struct.unpack_from(">H", f.read(15), 13)
        f.seek(0)
        original = {n: (o, s) for n, o, s in directory(f.read(15 + ENTRY * count))}
        for m in truth["members"][1:]:
            (off, size), = m["pieces"]
            o, s = original[m["name"]]
            f.seek(o)
            container.seek(off)
            if s != size or f.read(s) != container.read(size):
                return "%s differs from the original's" % m["name"]
    for pic in truth["pictures"]:
        container.seek(pic["offset"] - 8)
        if struct.unpack("<2H", container.read(4)) != (pic["width"], pic["height"]):
            return "%s: its frame header does not give %dx%d" % (pic["id"], pic["width"], pic["height"])
    return None


def share_of(name):
    return "tune" if zlib.crc32(name.encode()) % 2 == 0 else "apart"


def write_share(src, dst, share):
    """A queen.1c of the entries in the given share ("all": every one), in their original order."""
    with open(src, "rb") as f:
        head = f.read(15)
        count, = struct.unpack_from(">H", head, 13)
        f.seek(0)
        entries = directory(f.read(15 + ENTRY * count))
        keep = [e for e in sorted(entries, key=lambda e: e[1]) if share == "all" or share_of(e[0]) == share]
        pos = 15 + ENTRY * len(keep)
        table = bytearray(head[:13] + struct.pack(">H", len(keep)))
        for name, _offset, size in keep:
            table += name.encode().ljust(12, b"\0")[:12] + b"\x01" + struct.pack(">II", pos, size)
            pos += size
        with open(dst, "wb") as out:
            out.write(table)
            for _name, offset, size in keep:
                f.seek(offset)
                out.write(f.read(size))


def build_game(outdir, share, save_truth, log):
    if not os.path.exists(QUEEN):
        log("game data: %s is not installed (flight-of-the-amazon-queen), left out" % QUEEN)
        return
    name = "queen-%s.game" % share
    dst = os.path.join(outdir, name)
    write_share(QUEEN, dst, share)
    truth = truth_of(dst, name)
    save_truth(outdir, truth)
    log("game data: %s, %.0f MB, %d sprite frames, %d zones of other layouts" % (
        dst, truth["size"] / 1e6, len(truth["pictures"]), len(truth["ignore"])))
