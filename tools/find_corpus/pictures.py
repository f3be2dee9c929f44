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
