"""Where the pixels of a written picture file are, read from the file's own header (BMP, PGM/PPM,
TGA, TIFF), in the finder's terms: layout, width, height, stride, offset of the first row in file
order, and whether rows go bottom-up."""

import os
import struct

# Layout numbers of tessvane-find's --tsv output.
L4, L8, L555, L24, L32, L565 = 0, 1, 2, 3, 4, 5
BITS_PER_PIXEL = {L4: 4, L8: 8, L555: 16, L24: 24, L32: 32, L565: 16}


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
    with open(path, "rb") as f:
        data = f.read()
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
