"""Real pictures, written as real programs write them, and the truth read back from their headers."""

import gzip
import os
import shutil
import struct
import subprocess

import numpy as np

IM = shutil.which("convert-im6.q16") or shutil.which("convert-im6") or "convert"

MATE_DIR = "/usr/share/backgrounds/mate"
GIMP_PATTERN_DIR = "/usr/share/gimp/2.0/patterns"
MPL_DATA_DIR = "/usr/share/matplotlib/mpl-data/sample_data"

# Layout numbers of tessvane-find's --tsv output.
L4, L8, L555, L24, L32, L565 = 0, 1, 2, 3, 4, 5
BITS_PER_PIXEL = {L4: 4, L8: 8, L555: 16, L24: 24, L32: 32, L565: 16}

# Storage kind -> (writer, ImageMagick options before the output, output prefix, extension, expected layout).
# Every BMP is written uncompressed: ImageMagick picks RLE for grey palettes otherwise.
STORAGES = {
    "bmp24": ("im", ["-alpha", "off", "-type", "TrueColor", "-compress", "None"], "BMP3", "bmp", L24),
    "bmp24-netpbm": ("netpbm", [], None, "bmp", L24),
    "bmp32": ("im", ["-alpha", "set", "-type", "TrueColorAlpha", "-compress", "None"], "BMP", "bmp", L32),
    "bmp8": ("im", ["-alpha", "off", "-type", "Palette", "-colors", "256", "-compress", "None"], "BMP3", "bmp", L8),
    "bmp8grey": ("im", ["-alpha", "off", "-colorspace", "Gray", "-type", "Palette", "-compress", "None"],
                 "BMP3", "bmp", L8),
    "bmp4": ("im", ["-alpha", "off", "-colors", "16", "-type", "Palette", "-compress", "None"], "BMP3", "bmp", L4),
    "bmp4grey": ("im", ["-alpha", "off", "-colorspace", "Gray", "-colors", "16", "-type", "Palette",
                        "-compress", "None"], "BMP3", "bmp", L4),
    "bmp555": ("im", ["-alpha", "off", "-define", "bmp:subtype=RGB555", "-compress", "None"], "BMP", "bmp", L555),
    "bmp565": ("im", ["-alpha", "off", "-define", "bmp:subtype=RGB565", "-compress", "None"], "BMP", "bmp", L565),
    "pgm": ("im", ["-alpha", "off", "-colorspace", "Gray", "-depth", "8"], "PGM", "pgm", L8),
    "ppm": ("im", ["-alpha", "off", "-depth", "8"], "PPM", "ppm", L24),
    "tga": ("im", ["-alpha", "off", "-type", "TrueColor", "-compress", "None"], "TGA", "tga", L24),
    "tiff": ("im", ["-alpha", "off", "-type", "TrueColor", "-depth", "8", "-compress", "None",
                    "-define", "tiff:rows-per-strip=100000"], "TIFF", "tif", L24),
    "grey24": ("im", ["-alpha", "off", "-colorspace", "Gray", "-type", "TrueColor", "-compress", "None"],
               "BMP3", "bmp", L24),
}


def run(cmd, **kw):
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, **kw)


# ---- sources ----------------------------------------------------------------------------------

def write_pnm(path, pixels):
    """pixels: uint8 array (h, w) or (h, w, 3)."""
    h, w = pixels.shape[:2]
    magic = b"P5" if pixels.ndim == 2 else b"P6"
    with open(path, "wb") as f:
        f.write(b"%s\n%d %d\n255\n" % (magic, w, h))
        f.write(np.ascontiguousarray(pixels, dtype=np.uint8).tobytes())


def gimp_pattern_pixels(path):
    """A GIMP .pat file: big-endian header (size, version, width, height, bytes a pixel, 'GPAT'), pixels."""
    data = open(path, "rb").read()
    header_size, _version, w, h, depth = struct.unpack_from(">5I", data, 0)
    if data[20:24] != b"GPAT" or depth not in (1, 2, 3, 4):
        return None
    px = np.frombuffer(data, np.uint8, w * h * depth, header_size).reshape(h, w, depth)
    if depth == 1:
        return px[:, :, 0]
    if depth == 2:
        return px[:, :, 0]
    return px[:, :, :3]


def scale_to_u8(a):
    a = np.asarray(a, dtype=np.float64)
    a = np.nan_to_num(a, nan=np.nanmin(a) if np.isfinite(a).any() else 0.0)
    lo, hi = np.percentile(a, 0.5), np.percentile(a, 99.5)
    return np.clip((a - lo) * 255.0 / max(hi - lo, 1e-9), 0, 255).astype(np.uint8)


def mpl_sources(work):
    """matplotlib's sample pictures: a photo, an MRI scan, elevation maps, icons."""
    out = []
    for name, kind in (("grace_hopper.jpg", "photo"), ("Minduka_Present_Blue_Pack.png", "icons"),
                       ("logo2.png", "logo")):
        p = os.path.join(MPL_DATA_DIR, name)
        if os.path.exists(p):
            out.append({"path": p, "kind": kind, "name": "mpl/" + name})
    p = os.path.join(MPL_DATA_DIR, "s1045.ima.gz")
    if os.path.exists(p):
        scan = np.frombuffer(gzip.open(p).read(), "<u2").reshape(256, 256)
        dst = os.path.join(work, "mpl_s1045.pgm")
        write_pnm(dst, scale_to_u8(scan))
        out.append({"path": dst, "kind": "scan", "name": "mpl/s1045.ima.gz"})
    for name, key in (("jacksboro_fault_dem.npz", "elevation"), ("topobathy.npz", "topo")):
        p = os.path.join(MPL_DATA_DIR, name)
        if not os.path.exists(p):
            continue
        with np.load(p) as z:
            arr = z[key] if key in z.files else z[z.files[0]]
        if arr.ndim != 2:
            continue
        dst = os.path.join(work, "mpl_" + name.replace(".npz", ".pgm"))
        write_pnm(dst, scale_to_u8(arr))
        out.append({"path": dst, "kind": "scan", "name": "mpl/" + name})
    return out


def gimp_sources(work):
    out = []
    for root, _dirs, files in os.walk(GIMP_PATTERN_DIR):
        for fn in sorted(files):
            if not fn.endswith(".pat"):
                continue
            px = gimp_pattern_pixels(os.path.join(root, fn))
            if px is None or min(px.shape[:2]) < 24:
                continue
            rel = os.path.relpath(os.path.join(root, fn), GIMP_PATTERN_DIR)
            dst = os.path.join(work, "gimp_" + rel.replace("/", "_").replace(".pat", ".pnm"))
            write_pnm(dst, px)
            out.append({"path": dst, "kind": "texture", "name": "gimp/" + rel, "native": True})
    return out


def mate_sources():
    out = []
    for root, _dirs, files in os.walk(MATE_DIR):
        for fn in sorted(files):
            if fn.lower().endswith((".jpg", ".jpeg", ".png")):
                rel = os.path.relpath(os.path.join(root, fn), MATE_DIR)
                kind = "photo" if rel.startswith("nature/") or fn.lower().endswith(".jpg") else "artwork"
                out.append({"path": os.path.join(root, fn), "kind": kind, "name": "mate/" + rel})
    return sorted(out, key=lambda s: s["name"])


# ---- writing ----------------------------------------------------------------------------------

def write_picture(src, storage, width, dst):
    """Writes src scaled to width (None: native size) in the given storage kind."""
    writer, opts, prefix, _ext, _layout = STORAGES[storage]
    resize = ["-resize", "%dx" % width] if width else []
    if writer == "im":
        run([IM, src + "[0]", "-auto-orient"] + resize + opts + ["%s:%s" % (prefix, dst)])
    else:
        ppm = dst + ".tmp.ppm"
        run([IM, src + "[0]"] + resize + ["-alpha", "off", "-type", "TrueColor", "-depth", "8", "PPM:" + ppm])
        with open(dst, "wb") as out:
            subprocess.run(["ppmtobmp", "-bpp", "24", ppm], check=True, stdout=out, stderr=subprocess.PIPE)
        os.unlink(ppm)


# ---- truth from the written file's own header ---------------------------------------------------

def stride_of(width, bits, align_bytes):
    packed = (width * bits + 7) // 8
    return (packed + align_bytes - 1) // align_bytes * align_bytes


def parse_bmp(data):
    if data[:2] != b"BM":
        return None
    off_bits, = struct.unpack_from("<I", data, 10)
    dib, w, h, _planes, bpp, comp = struct.unpack_from("<IiiHHI", data, 14)
    if comp not in (0, 3):
        return None
    layout = {4: L4, 8: L8, 24: L24, 32: L32}.get(bpp)
    if bpp == 16:
        red_mask = struct.unpack_from("<I", data, 54)[0] if comp == 3 else 0x7C00
        layout = {0x7C00: L555, 0xF800: L565}.get(red_mask)
    if layout is None:
        return None
    return {"layout": layout, "width": w, "height": abs(h), "stride": stride_of(w, bpp, 4),
            "offset": off_bits, "bottom_up": h > 0, "format": "BMP %d-bit (header %d, compression %d)" % (bpp, dib, comp)}


def parse_pnm(data):
    tokens, pos = [], 0
    while len(tokens) < 4:
        while data[pos:pos + 1].isspace():
            pos += 1
        if data[pos:pos + 1] == b"#":
            pos = data.index(b"\n", pos) + 1
            continue
        start = pos
        while not data[pos:pos + 1].isspace():
            pos += 1
        tokens.append(data[start:pos])
    magic, w, h, maxval = tokens[0], int(tokens[1]), int(tokens[2]), int(tokens[3])
    if maxval > 255 or magic not in (b"P5", b"P6"):
        return None
    layout = L8 if magic == b"P5" else L24
    return {"layout": layout, "width": w, "height": h, "stride": w * (1 if layout == L8 else 3),
            "offset": pos + 1, "bottom_up": False, "format": magic.decode() + " maxval %d" % maxval}


def parse_tga(data):
    id_len, cmap_type, img_type = data[0], data[1], data[2]
    cmap_len, cmap_bits = struct.unpack_from("<H", data, 5)[0], data[7]
    w, h = struct.unpack_from("<HH", data, 12)
    bpp, desc = data[16], data[17]
    if img_type not in (1, 2, 3):
        return None
    layout = {8: L8, 16: L555, 24: L24, 32: L32}.get(bpp)
    if layout is None:
        return None
    offset = 18 + id_len + (cmap_len * ((cmap_bits + 7) // 8) if cmap_type else 0)
    return {"layout": layout, "width": w, "height": h, "stride": w * bpp // 8, "offset": offset,
            "bottom_up": not (desc & 0x20), "format": "TGA type %d %d-bit" % (img_type, bpp)}


def parse_tiff(data):
    end = {b"II": "<", b"MM": ">"}.get(data[:2])
    if end is None:
        return None
    ifd, = struct.unpack_from(end + "I", data, 4)
    count, = struct.unpack_from(end + "H", data, ifd)
    tags = {}
    sizes = {1: 1, 3: 2, 4: 4}
    for i in range(count):
        tag, typ, n, val_off = struct.unpack_from(end + "HHII", data, ifd + 2 + 12 * i)
        size = sizes.get(typ)
        if size is None:
            continue
        fmt = {1: "B", 3: "H", 4: "I"}[typ]
        where = ifd + 2 + 12 * i + 8 if size * n <= 4 else val_off
        tags[tag] = list(struct.unpack_from(end + fmt * n, data, where))
    w, h = tags[256][0], tags[257][0]
    spp = tags.get(277, [1])[0]
    bits = tags.get(258, [1])[0]
    if tags.get(259, [1])[0] != 1 or bits != 8 or tags.get(284, [1])[0] != 1:
        return None
    layout = {1: L8, 3: L24, 4: L32}.get(spp)
    offs, counts = tags[273], tags[279]
    pieces = []
    for o, c in zip(offs, counts):
        if pieces and pieces[-1][0] + pieces[-1][1] == o:
            pieces[-1][1] += c
        else:
            pieces.append([o, c])
    return {"layout": layout, "width": w, "height": h, "stride": w * spp, "offset": offs[0],
            "bottom_up": False, "format": "TIFF %d samples, %d strips" % (spp, len(offs)),
            "file_pieces": pieces}


def parse_picture(path):
    data = open(path, "rb").read()
    for parse in (parse_bmp, parse_tga if path.endswith(".tga") else None, parse_pnm if data[:1] == b"P" else None,
                  parse_tiff):
        if parse is None:
            continue
        try:
            info = parse(data)
        except (struct.error, ValueError, IndexError, KeyError):
            info = None
        if info:
            size = os.path.getsize(path)
            info["bytes"] = info["stride"] * info["height"]
            if "file_pieces" not in info:
                info["file_pieces"] = [[info["offset"], info["bytes"]]]
            if info["offset"] + info["bytes"] > size:
                return None
            return info
    return None
