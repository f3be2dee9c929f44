"""`make`: a corpus of real pictures in real containers, with a truth file per container."""

import json
import os
import random
import shutil
import struct

import numpy as np

import containers
import copies
import fillers
import gamedata
import gamescreen
import headers
import pictures
import strip
import verify
import viewer

# How often each storage kind comes up, per round of pictures.
STORAGE_ROUND = ["bmp24", "bmp8", "bmp555", "bmp565", "pgm", "ppm", "tga", "tiff", "bmp4", "grey24", "bmp32",
                 "bmp24", "bmp8grey", "bmp4grey", "bmp24-netpbm", "ppm", "bmp555", "bmp565", "pgm", "tga",
                 "tiff", "bmp8", "bmp24", "grey24", "raw4", "rawbgrx", "raw565", "raw4"]
# raw frame buffers hold screens: their sources are screenshots, at their own size
SCREEN_STORAGES = ("rawbgrx", "raw565")
ICONS_IN_MEMORY = 40
PHOTO_WIDTHS = [64, 101, 128, 160, 200, 256, 333, 400, 480, 513, 640, 801, 1024, 1280, 1600]
TEXTURE_WIDTHS = [None, None, None, 37, 99, 101, 333]
MAX_PICTURE_BYTES = 7 << 20
MIN_PICTURE_BYTES = 8 << 10  # the finder's default --min-bytes is 4096


def log(*a):
    print(*a, flush=True)


def take_screenshots(work, count):
    out = []
    sizes = [(1024, 768), (800, 600), (1280, 720), (640, 480)]
    for i in range(count):
        w, h = sizes[i % len(sizes)]
        dst = os.path.join(work, "screenshot%d.png" % i)
        containers.screenshot(w, h, dst, os.path.join(work, "fbshot%d" % i))
        out.append({"path": dst, "kind": "screenshot", "name": "xvfb-screenshot-%dx%d" % (w, h)})
    return out


def plan_pictures(rng, sources, count):
    by_kind = {}
    for s in sources:
        group = {"photo": "photo", "artwork": "photo", "texture": "texture", "screenshot": "screenshot",
                 "icon": "icon"}.get(s["kind"], "other")
        by_kind.setdefault(group, []).append(s)
    weights = [("photo", 0.38), ("texture", 0.28), ("screenshot", 0.12), ("icon", 0.08), ("other", 0.14)]
    plan = []
    for i in range(count):
        r, acc, group = rng.random(), 0.0, "photo"
        for g, wgt in weights:
            acc += wgt
            if r < acc and by_kind.get(g):
                group = g
                break
        storage = STORAGE_ROUND[i % len(STORAGE_ROUND)]
        if storage in SCREEN_STORAGES and by_kind.get("screenshot"):
            group = "screenshot"
        src = rng.choice(by_kind[group])
        if src["kind"] == "icon" or storage in SCREEN_STORAGES:
            width = None
        elif src.get("native"):
            width = rng.choice(TEXTURE_WIDTHS)
        else:
            width = rng.choice(PHOTO_WIDTHS)
        plan.append((src, storage, width))
    return plan


def write_pictures(rng, work, stage, count, shots):
    sources = (pictures.mate_sources() + pictures.gimp_sources(work) + pictures.mpl_sources(work) +
               pictures.icon_sources() + shots)
    out = []
    os.makedirs(os.path.join(stage, "pictures"), exist_ok=True)
    # what raw pictures decode to, for `verify`: kept out of the containers
    refs = os.path.join(work, "refs")
    os.makedirs(os.path.join(refs, "pictures"), exist_ok=True)
    plan = plan_pictures(rng, sources, count)
    spare = plan_pictures(rng, sources, count)
    for i, (src, storage, width) in enumerate(plan):
        raw = storage in pictures.RAW_STORAGES
        ext, expected = ("raw", pictures.RAW_STORAGES[storage][0]) if raw else pictures.STORAGES[storage][3:5]
        for attempt in range(4):
            base = os.path.splitext(os.path.basename(src["name"]))[0].replace(" ", "_")
            rel = "pictures/p%03d_%s_%s.%s" % (i, base, storage, ext)
            dst = os.path.join(stage, rel)
            if raw:
                ref = "pictures/p%03d_reference.%s" % (i, "png" if storage == "raw4" else "ppm")
                info = pictures.write_raw_picture(src["path"], storage, width, dst, os.path.join(refs, ref))
                if info:
                    info["reference"] = ref
            else:
                pictures.write_picture(src["path"], storage, width, dst)
                info = headers.parse_picture(dst)
            problem = ("not in a layout we score" if info is None else
                       "layout %d, not %d" % (info["layout"], expected) if info["layout"] != expected else
                       "too large" if info["bytes"] > MAX_PICTURE_BYTES else
                       "too small" if info["bytes"] < MIN_PICTURE_BYTES else None)
            if problem is None:
                break
            # e.g. a source of two colours, which ImageMagick writes in 1 bit: another source
            log("  %s: %s, another source" % (rel, problem))
            if os.path.exists(dst):
                os.unlink(dst)
            src, _, width = spare[(i + attempt) % len(spare)]
            if raw and storage in SCREEN_STORAGES:
                width = None
        if problem is not None:
            continue
        info.update({"id": "p%03d" % i, "member": rel, "source": src["name"], "source_kind": src["kind"],
                     "storage": storage.replace("-netpbm", ""), "writer": "netpbm" if "netpbm" in storage else
                     "imagemagick"})
        out.append(info)
    return out + icons_in_memory(rng, stage, refs, ICONS_IN_MEMORY)


def icons_in_memory(rng, stage, refs, count):
    """Small icons and cursors as a program holds them: premultiplied B,G,R,A rows (cairo's ARGB32,
    Xcursor's images), each in a heap chunk of its own (a 16-byte chunk header before it), one after
    the other in one file."""
    rel = "pictures/icons_in_memory.bin"
    out, data = [], bytearray()
    for k, (name, w, h, px, rgba) in enumerate(pictures.small_icons(rng, count)):
        data += struct.pack("<QQ", 0, (len(px) + 16 + 15) // 16 * 16 | 1)
        start = len(data)
        data += px + bytes(-len(px) % 16)
        ref = "pictures/icon%02d_reference.ppm" % k
        if rgba is not None:
            pictures.run([pictures.IM, "PAM:-", "-background", "black", "-alpha", "remove", "-alpha", "off",
                          "PPM:" + os.path.join(refs, ref)], input=pam_of(rgba))
        else:  # a cursor: its own file's pixels, over black as they are premultiplied
            px_arr = np.frombuffer(px, np.uint8).reshape(h, w, 4)
            pictures.write_ppm(os.path.join(refs, ref), px_arr[:, :, 2::-1])
        out.append({"id": "i%02d" % k, "member": rel, "source": name, "source_kind": "icon" if rgba is not None
                    else "cursor", "storage": "argb-memory", "writer": "in memory", "layout": headers.L32,
                    "width": w, "height": h, "stride": 4 * w, "offset": start, "bottom_up": False,
                    "bytes": len(px), "file_pieces": [[start, len(px)]], "reference": ref,
                    "format": "premultiplied B,G,R,A in memory"})
    with open(os.path.join(stage, rel), "wb") as f:
        f.write(bytes(data))
    return out


def pam_of(rgba):
    h, w = rgba.shape[:2]
    return b"P7\nWIDTH %d\nHEIGHT %d\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n" % (w, h) + \
        np.ascontiguousarray(rgba).tobytes()


def stage_fillers(rng, work, stage, budget, exclude=()):
    chosen = fillers.choose(rng, budget, work, exclude)
    out = []
    for i, f in enumerate(chosen):
        rel = "files/%s/f%04d_%s" % (f["kind"], i, os.path.basename(f["path"]).replace(" ", "_"))
        os.makedirs(os.path.dirname(os.path.join(stage, rel)), exist_ok=True)
        shutil.copyfile(f["path"], os.path.join(stage, rel))
        out.append({"member": rel, "kind": f["kind"], "source": f["path"], "size": f["size"]})
    return out


def container_truth(name, kind, path, pics, members, place):
    """place(member, start, length) -> container runs [offset, bytes, offset in the run from start]."""
    truth = {"container": name, "kind": kind, "size": os.path.getsize(path), "pictures": [], "members": [],
             "ignore": []}
    for p in pics:
        runs = []
        for off, n in p["file_pieces"]:
            runs += [[c, k, off + s] for c, k, s in place(p["member"], off, n)]
        entry = {k: v for k, v in p.items() if k not in ("file_pieces",)}
        entry["pieces"] = [[c, k] for c, k, _ in runs]
        # where each piece starts in the picture's own file, for `verify`
        entry["piece_file_offsets"] = [s for _, _, s in runs]
        entry["contiguous"] = len(runs) == 1
        truth["pictures"].append(entry)
        if any(m["name"] == p["member"] for m in truth["members"]):
            continue  # a file of several pictures
        truth["members"].append({"name": p["member"], "kind": "picture",
                                 "pieces": [[c, k] for c, k, _ in place(p["member"], 0, os.path.getsize(p["_path"]))]})
    for m in members:
        truth["members"].append({"name": m["member"], "kind": m["kind"], "source": m["source"],
                                 "pieces": [[c, k] for c, k, _ in place(m["member"], 0, m["size"])]})
    for e in truth["pictures"]:
        e.pop("_path", None)
    return truth


def save_truth(outdir, truth):
    with open(os.path.join(outdir, truth["container"] + ".truth.json"), "w") as f:
        json.dump(truth, f, indent=1)


def build_tar_and_ext4(rng, outdir, stage, pics, members, parts):
    names = sorted({p["member"] for p in pics}) + [m["member"] for m in members]
    rng.shuffle(names)
    for p in pics:
        p["_path"] = os.path.join(stage, p["member"])
    if "tar" in parts:
        dst = os.path.join(outdir, "archive.tar")
        offsets = containers.build_tar(stage, names, dst)
        truth = container_truth("archive.tar", "tar", dst, pics, members,
                                lambda m, start, n: [[offsets[m] + start, n, 0]])
        save_truth(outdir, truth)
        log("tar: %s, %.0f MB" % (dst, truth["size"] / 1e6))
    if "ext4" in parts:
        dst = os.path.join(outdir, "disk.ext4")
        runs = containers.build_ext4(stage, names, dst)
        for p in pics:
            p["_path"] = os.path.join(stage, p["member"])
        truth = container_truth("disk.ext4", "ext4", dst, pics, members,
                                lambda m, start, n: containers.map_range(runs[m], start, n))
        save_truth(outdir, truth)
        split = sum(1 for p in truth["pictures"] if not p["contiguous"])
        log("ext4: %s, %.0f MB, %d pictures split over non-contiguous blocks" % (dst, truth["size"] / 1e6, split))


SCREEN_LAYOUT = {8: headers.L8, 16: headers.L565, 24: headers.L24, 32: headers.L32}


def build_xvfb_dump(outdir, work, depth, width, height, photos):
    name = "xvfb%d.dump" % depth
    fbdir = os.path.join(work, "fb%d" % depth)
    xvfb, env = containers.start_xvfb(width, height, depth, fbdir)
    try:
        clients = containers.start_clients(env, width, height, photos)
        try:
            dst = os.path.join(outdir, name)
            placed = containers.read_mappings(xvfb.pid, dst)
            with open(os.path.join(fbdir, "Xvfb_screen0"), "rb") as f:
                xwd = containers.parse_xwd_header(f.read(4096))
        finally:
            containers.stop(clients)
    finally:
        containers.stop([xvfb])
    truth = {"container": name, "kind": "xvfb", "size": os.path.getsize(dst), "pictures": [], "members": [],
             "ignore": [], "xwd": xwd, "screen": "%dx%dx%d" % (width, height, depth)}
    fb = [m for m in placed if m["path"].endswith("Xvfb_screen0")]
    truth["members"] += containers.mapping_members(placed)
    if not fb:
        raise RuntimeError("the frame buffer is not among Xvfb's readable mappings")
    m = fb[0]
    start = m["offset"] + xwd["pixels"] - m["file_offset"]
    nbytes = xwd["bytes_per_line"] * xwd["height"]
    truth["pictures"].append({
        "id": "screen%d" % depth, "member": "Xvfb_screen0", "source": "Xvfb screen with photos and programs",
        "source_kind": "screen", "storage": "xvfb%d" % depth, "writer": "Xvfb",
        "layout": SCREEN_LAYOUT[xwd["bits_per_pixel"]], "width": xwd["width"], "height": xwd["height"],
        "stride": xwd["bytes_per_line"], "offset": start, "bottom_up": False, "bytes": nbytes,
        "pieces": [[start, nbytes]], "contiguous": True, "format": "XWD frame buffer, %d bits a pixel" %
        xwd["bits_per_pixel"]})
    save_truth(outdir, truth)
    log("xvfb depth %d: %s, %.0f MB, %d mappings" % (depth, dst, truth["size"] / 1e6, len(placed)))


def make(args):
    rng = random.Random(args.seed)
    outdir = os.path.abspath(args.dir)
    os.makedirs(outdir, exist_ok=True)
    work = os.path.join(outdir, "work")
    stage = os.path.join(outdir, "stage")
    shutil.rmtree(stage, ignore_errors=True)
    os.makedirs(work, exist_ok=True)
    parts = set(args.parts.split(","))
    pics = []
    if not args.nopic:
        shots = take_screenshots(work, args.screenshots)
        pics = write_pictures(rng, work, stage, args.pictures, shots)
        log("pictures: %d, %.0f MB" % (len(pics), sum(os.path.getsize(os.path.join(stage, p["member"]))
                                                      for p in pics) / 1e6))
    members = stage_fillers(rng, work, stage, args.filler_mb << 20)
    log("files around them: %d, %.0f MB" % (len(members), sum(m["size"] for m in members) / 1e6))
    build_tar_and_ext4(rng, outdir, stage, pics, members, parts)
    if not args.nopic and "xvfb" in parts:
        photos = [s["path"] for s in pictures.mate_sources() if s["kind"] == "photo"]
        rng.shuffle(photos)
        for screen in args.screens.split(","):
            depth, size = screen.split(":")
            w, h = (int(v) for v in size.split("x"))
            build_xvfb_dump(outdir, work, int(depth), w, h, photos[:3])
            photos = photos[3:] + photos[:3]
        copies.mark_copies(outdir)
    if not args.nopic and "viewer" in parts:
        viewer.build_viewer_dump(outdir, work, rng, save_truth=save_truth, log=log)
    if not args.nopic and "game" in parts:
        gamedata.build_game(outdir, args.game_share, save_truth, log)
    if not args.nopic and "gamescreen" in parts:
        gamescreen.build_game_screen(outdir, work, save_truth=save_truth, log=log)
    if pics or not args.nopic:
        # the pictures as written, for `verify` and for a look at them
        os.makedirs(os.path.join(outdir, "pictures"), exist_ok=True)
        for p in pics:
            shutil.copyfile(os.path.join(stage, p["member"]), os.path.join(outdir, p["member"]))
            if "reference" in p:
                shutil.copyfile(os.path.join(work, "refs", p["reference"]), os.path.join(outdir, p["reference"]))
        if getattr(args, "headerless", False):
            strip.strip_corpus(outdir)
        verify.verify(outdir)
    if not args.keep_stage:
        shutil.rmtree(stage, ignore_errors=True)
        shutil.rmtree(work, ignore_errors=True)
