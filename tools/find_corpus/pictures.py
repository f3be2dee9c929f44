"""Real pictures from Debian packages and screenshots, written as real programs write them."""

import gzip
import os
import shutil
import struct
import subprocess

import numpy as np

from headers import L4, L8, L555, L24, L32, L565

IM = shutil.which("convert-im6.q16") or shutil.which("convert-im6") or "convert"

MATE_DIR = "/usr/share/backgrounds/mate"
GIMP_PATTERN_DIR = "/usr/share/gimp/2.0/patterns"
MPL_DATA_DIR = "/usr/share/matplotlib/mpl-data/sample_data"
ICON_DIR = "/usr/share/icons/Adwaita"
ICON_SIZES = ("64x64", "96x96", "256x256")
ICONS_PER_SIZE = 20

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
    "bmp555": ("im", ["-alpha", "off", "-type", "TrueColor", "-define", "bmp:subtype=RGB555", "-compress", "None"], "BMP", "bmp", L555),
    "bmp565": ("im", ["-alpha", "off", "-type", "TrueColor", "-define", "bmp:subtype=RGB565", "-compress", "None"], "BMP", "bmp", L565),
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
    with open(path, "rb") as f:
        data = f.read()
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
    for name, kind in (("grace_hopper.jpg", "photo"), ("Minduka_Present_Blue_Pack.png", "icon"),
                       ("logo2.png", "logo")):
        p = os.path.join(MPL_DATA_DIR, name)
        if os.path.exists(p):
            out.append({"path": p, "kind": kind, "name": "mpl/" + name})
    p = os.path.join(MPL_DATA_DIR, "s1045.ima.gz")
    if os.path.exists(p):
        with gzip.open(p) as f:
            scan = np.frombuffer(f.read(), "<u2").reshape(256, 256)
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


def icon_sources():
    """Icons of the desktop's icon theme, at their own sizes; every so many of each size."""
    out = []
    for size in ICON_SIZES:
        found = []
        for root, _dirs, files in os.walk(os.path.join(ICON_DIR, size)):
            found += [os.path.join(root, fn) for fn in files if fn.endswith(".png")]
        found.sort()
        step = max(1, len(found) // ICONS_PER_SIZE)
        for path in found[::step][:ICONS_PER_SIZE]:
            out.append({"path": path, "kind": "icon", "name": "icons/" + os.path.relpath(path, ICON_DIR),
                        "native": True})
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
    writer, opts, prefix, _ext, layout = STORAGES[storage]
    before = ["-resize", "%dx" % width] if width else []
    if layout != L32:
        # transparent parts (icons, some wallpapers) on a light grey, as a program shows them
        before += ["-background", "#dcdcdc", "-alpha", "remove"]
    if writer == "im":
        run([IM, src + "[0]", "-auto-orient"] + before + opts + ["%s:%s" % (prefix, dst)])
    else:
        ppm = dst + ".tmp.ppm"
        run([IM, src + "[0]"] + before + ["-alpha", "off", "-type", "TrueColor", "-depth", "8", "PPM:" + ppm])
        with open(dst, "wb") as out:
            subprocess.run(["ppmtobmp", "-bpp", "24", ppm], check=True, stdout=out, stderr=subprocess.PIPE)
        os.unlink(ppm)


# ---- raw pictures, as programs hold them in memory -------------------------------------------

# Storage kind -> (layout, bytes a pixel or None for 4 bits, description). Rows top-down, packed.
RAW_STORAGES = {
    "raw4": (L4, None, "raw 4-bit palette indices, the first pixel in the high nibble"),
    "rawbgrx": (L32, 4, "raw B,G,R,X (X zero), as a frame buffer or an X image at depth 24"),
    "raw565": (L565, 2, "raw RGB565 little-endian, as a frame buffer at depth 16"),
}
CURSOR_DIR = os.path.join(ICON_DIR, "cursors")
SMALL_ICON_SIZES = ("16x16", "22x22", "24x24", "32x32", "48x48", "64x64")
XCURSOR_IMAGE = 0xFFFD0002


def rgba_of(src, width=None):
    """(h, w, 4) uint8 RGBA of a picture as ImageMagick decodes it, scaled to width if given."""
    size = subprocess.run([IM, src + "[0]", "-auto-orient"] + (["-resize", "%dx" % width] if width else []) +
                          ["-format", "%w %h", "info:"], check=True, capture_output=True, text=True).stdout.split()
    w, h = int(size[0]), int(size[1])
    raw = subprocess.run([IM, src + "[0]", "-auto-orient"] + (["-resize", "%dx" % width] if width else []) +
                         ["-alpha", "on", "-depth", "8", "RGBA:-"], check=True, capture_output=True).stdout
    return np.frombuffer(raw, np.uint8).reshape(h, w, 4)


def write_ppm(path, rgb):
    write_pnm(path, np.ascontiguousarray(rgb[:, :, :3]))


def quantize16(src, width, ref):
    """src in 16 colours (ImageMagick, no dither for flat parts): indices and palette; ref gets the
    quantized picture for `verify`."""
    run([IM, src + "[0]", "-auto-orient"] + (["-resize", "%dx" % width] if width else []) +
        ["-background", "#dcdcdc", "-alpha", "remove", "-alpha", "off", "-colors", "16", "-type", "Palette",
         "PNG8:" + ref])
    rgb = rgba_of(ref)[:, :, :3]
    colours, idx = np.unique(rgb.reshape(-1, 3), axis=0, return_inverse=True)
    if len(colours) > 16:
        return None, None
    return idx.reshape(rgb.shape[:2]).astype(np.uint8), colours


def write_raw_picture(src, storage, width, dst, ref):
    """src as a raw picture file (no header) in the given storage kind; ref: a file ImageMagick reads
    that holds what the raw pixels decode to. Returns the picture's place in the file, or None."""
    layout, bpp, desc = RAW_STORAGES[storage]
    info = {"layout": layout, "offset": 0, "bottom_up": False, "format": desc, "reference": ref}
    if layout == L4:
        idx, colours = quantize16(src, width, ref)
        if idx is None:
            return None
        h, w = idx.shape
        padded = np.zeros((h, w + (w & 1)), np.uint8)
        padded[:, :w] = idx
        data = (padded[:, 0::2] << 4) | padded[:, 1::2]
        info["palette"] = colours.tolist()
    else:
        rgba = rgba_of(src, width)
        h, w = rgba.shape[:2]
        alpha = rgba[:, :, 3:4].astype(np.uint32)
        # on the light grey a program shows transparent parts on
        rgb = ((rgba[:, :, :3] * alpha + 0xDC * (255 - alpha) + 127) // 255).astype(np.uint8)
        write_ppm(ref, rgb)
        if layout == L32:
            data = np.concatenate([rgb[:, :, ::-1], np.zeros((h, w, 1), np.uint8)], axis=2)
        else:
            r, g, b = (rgb[:, :, i].astype(np.uint16) for i in range(3))
            data = ((r >> 3) << 11 | (g >> 2) << 5 | (b >> 3)).astype("<u2")
    raw = np.ascontiguousarray(data).tobytes()
    with open(dst, "wb") as f:
        f.write(raw)
    info.update({"width": w, "height": h, "stride": len(raw) // h, "bytes": len(raw),
                 "file_pieces": [[0, len(raw)]]})
    return info


def xcursor_images(path):
    """(width, height, pixels) of each image of an Xcursor file: premultiplied ARGB words, little-endian
    in the file as in memory."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:4] != b"Xcur":
        return []
    _hsize, _version, ntoc = struct.unpack_from("<III", data, 4)
    out = []
    for i in range(ntoc):
        typ, _size, pos = struct.unpack_from("<III", data, 16 + 12 * i)
        if typ != XCURSOR_IMAGE:
            continue
        _chunk, _t, _s, _v, w, h = struct.unpack_from("<6I", data, pos)
        out.append((w, h, data[pos + 36:pos + 36 + 4 * w * h]))
    return out


def premultiplied_bgra(rgba):
    a = rgba[:, :, 3:4].astype(np.uint16)
    rgb = ((rgba[:, :, :3].astype(np.uint16) * a + 127) // 255).astype(np.uint8)
    return np.concatenate([rgb[:, :, ::-1], rgba[:, :, 3:4]], axis=2)


def small_icons(rng, count):
    """Icons of 16 to 64 pixels and cursors of 24 to 64 of the desktop theme: (name, w, h, BGRA bytes,
    RGBA reference pixels over black or None for cursors)."""
    pngs = []
    for size in SMALL_ICON_SIZES:
        for root, _dirs, files in os.walk(os.path.join(ICON_DIR, size)):
            pngs += [os.path.join(root, fn) for fn in files if fn.endswith(".png")]
    pngs.sort()
    cursors = sorted(os.path.join(CURSOR_DIR, fn) for fn in os.listdir(CURSOR_DIR)) if os.path.isdir(CURSOR_DIR) else []
    out = []
    for path in rng.sample(pngs, min(len(pngs), count * 3 // 4)):
        rgba = rgba_of(path)
        out.append(("icons/" + os.path.relpath(path, ICON_DIR), rgba.shape[1], rgba.shape[0],
                    premultiplied_bgra(rgba).tobytes(), rgba))
    for path in rng.sample(cursors, min(len(cursors), count - len(out))):
        images = [im for im in xcursor_images(path) if 16 <= im[0] <= 64 and 16 <= im[1] <= 64]
        if images:
            w, h, px = rng.choice(images)
            out.append(("cursors/" + os.path.basename(path), w, h, px, None))
    rng.shuffle(out)
    return out
