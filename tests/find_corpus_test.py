#!/usr/bin/env python3
"""The corpus tool's own parts that can be wrong quietly: where a written file's pixels are, how an
ext4 file with holes maps into the image, what a headerless copy overwrites, how raw pictures are
written, how copies of a shown picture are found by their bytes, how a game file's directory gives
its frames, how textures are read and their palette ordered, and how finds are judged against the
truth."""

import json
import os
import struct
import sys
import tempfile
import types
import unittest

try:
    import numpy as np
except ImportError:
    # the tool runs on Debian's python3 and python3-numpy; another python3 first on PATH may lack numpy
    DEBIAN_PYTHON = "/usr/bin/python3"
    if os.path.exists(DEBIAN_PYTHON) and os.path.realpath(sys.executable) != os.path.realpath(DEBIAN_PYTHON):
        os.execv(DEBIAN_PYTHON, [DEBIAN_PYTHON] + sys.argv)
    raise

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
DATA = os.path.join(ROOT, "tests", "data", "find")
sys.path.insert(0, os.path.join(ROOT, "tools", "find_corpus"))
import build  # noqa: E402
import containers  # noqa: E402
import gamedata  # noqa: E402
import gamescreen  # noqa: E402
import headers  # noqa: E402
import pictures  # noqa: E402
import score  # noqa: E402
import strip  # noqa: E402
import textures  # noqa: E402
import train  # noqa: E402
import verify  # noqa: E402
import viewer  # noqa: E402


def tiff(strips, width=4, height=2):
    """A little-endian RGB TIFF header whose strips sit at the given (offset, bytes)."""
    entries = [(256, 4, 1, width), (257, 4, 1, height), (258, 3, 1, 8), (259, 3, 1, 1), (277, 3, 1, 3),
               (273, 4, len(strips), 200), (279, 4, len(strips), 200 + 4 * len(strips))]
    data = bytearray(b"II*\0" + struct.pack("<I", 8) + struct.pack("<H", len(entries)))
    for tag, typ, n, value in entries:
        if n == 1:
            data += struct.pack("<HHII", tag, typ, n, value) if typ == 4 else struct.pack("<HHIHH", tag, typ, n,
                                                                                       value, 0)
        else:
            data += struct.pack("<HHII", tag, typ, n, value)
    data += bytes(200 - len(data))
    data += b"".join(struct.pack("<I", o) for o, _ in strips) + b"".join(struct.pack("<I", n) for _, n in strips)
    return bytes(data)


class HeadersTest(unittest.TestCase):
    def test_committed_bmps_give_their_readme_truth(self):
        with open(os.path.join(DATA, "truth.json")) as f:
            truth = {e["file"]: e for e in json.load(f)}
        for name in ("photo_101x_bmp24.bmp", "photo_97x_bmp8.bmp"):
            info = headers.parse_picture(os.path.join(DATA, name))
            for key in ("layout", "width", "height", "stride", "offset", "bottom_up"):
                self.assertEqual(info[key], truth[name][key], (name, key))

    def test_pnm_with_a_comment_starts_after_one_whitespace(self):
        data = b"P5\n# written by hand\n3 2\n255\n" + bytes(range(6))
        info = headers.parse_pnm(data)
        self.assertEqual((info["layout"], info["width"], info["stride"]), (headers.L8, 3, 3))
        self.assertEqual(data[info["offset"]:], bytes(range(6)))

    def test_tga_after_id_and_palette_and_its_row_order(self):
        head = bytes([5, 1, 1, 0, 0]) + struct.pack("<H", 16) + bytes([24]) + bytes(4) + struct.pack("<HH", 7, 3)
        bottom_up = headers.parse_tga(head + bytes([8, 0]))
        top_down = headers.parse_tga(head + bytes([8, 0x20]))
        self.assertEqual(bottom_up["offset"], 18 + 5 + 16 * 3)
        self.assertEqual((bottom_up["layout"], bottom_up["stride"]), (headers.L8, 7))
        self.assertTrue(bottom_up["bottom_up"])
        self.assertFalse(top_down["bottom_up"])

    def test_tiff_strips_merge_only_when_they_touch(self):
        touching = headers.parse_tiff(tiff([(300, 12), (312, 12)]))
        apart = headers.parse_tiff(tiff([(300, 12), (400, 12)]))
        self.assertEqual(touching["file_pieces"], [[300, 24]])
        self.assertEqual(apart["file_pieces"], [[300, 12], [400, 12]])
        self.assertEqual((touching["layout"], touching["stride"]), (headers.L24, 12))

    def test_bmp_16_bit_masks_tell_555_from_565(self):
        def bmp(comp, red_mask):
            head = b"BM" + struct.pack("<IHHI", 0, 0, 0, 66) + struct.pack("<IiiHHI", 40, 5, -3, 1, 16, comp)
            return head + bytes(54 - len(head)) + struct.pack("<III", red_mask, 0, 0)
        self.assertEqual(headers.parse_bmp(bmp(3, 0xF800))["layout"], headers.L565)
        self.assertEqual(headers.parse_bmp(bmp(0, 0))["layout"], headers.L555)
        top_down = headers.parse_bmp(bmp(3, 0x7C00))
        self.assertEqual((top_down["layout"], top_down["stride"], top_down["bottom_up"]), (headers.L555, 12, False))
        self.assertIsNone(headers.parse_bmp(bmp(1, 0)))  # run-length coded: no raw rows


class Ext4RunsTest(unittest.TestCase):
    def test_a_hole_splits_a_file_though_its_blocks_touch(self):
        block = containers.EXT4_BLOCK
        # blocks 0 and 2 of the file at image blocks 100 and 101: block 1 is a hole (zeros not stored)
        runs = containers.file_runs([(0, 100, 1), (2, 101, 2)], 3 * block + 10)
        self.assertEqual(runs, [[0, 100 * block, block], [2 * block, 101 * block, block + 10]])
        pieces = containers.map_range(runs, 50, 2 * block)
        self.assertEqual([p[:2] for p in pieces], [[100 * block + 50, block - 50], [101 * block, 50]])
        self.assertEqual([p[2] for p in pieces], [0, 2 * block - 50])


class RawPicturesTest(unittest.TestCase):
    def test_raw_storages_decode_to_their_reference_and_wrong_rows_do_not(self):
        # 5 x 3 (an odd width: the 4-bit rows end in half a byte), a few flat colours like a screenshot
        colours = [(255, 0, 0), (0, 128, 255), (20, 200, 20), (250, 250, 250), (0, 0, 0)]
        rgb = bytes(c for i in range(15) for c in colours[(i * 3 + i // 5) % 5])
        with tempfile.TemporaryDirectory() as d:
            src = os.path.join(d, "src.ppm")
            with open(src, "wb") as f:
                f.write(b"P6\n5 3\n255\n" + rgb)
            for storage, stride in (("raw4", 3), ("rawbgrx", 20), ("raw565", 10)):
                dst, ref = os.path.join(d, storage + ".raw"), os.path.join(d, storage + ".ref.png")
                info = pictures.write_raw_picture(src, storage, None, dst, ref)
                self.assertEqual((info["width"], info["height"], info["stride"]), (5, 3, stride), storage)
                self.assertEqual(os.path.getsize(dst), 3 * stride)
                pic = dict(info, pieces=[[0, info["bytes"]]], piece_file_offsets=[0])
                with open(dst, "rb") as container:
                    self.assertIsNone(verify.verify_picture(container, pic, dst, ref), storage)
                    if storage == "raw4":
                        wrong = dict(pic, palette=pic["palette"][1:] + pic["palette"][:1])
                    else:
                        wrong = dict(pic, bottom_up=True)
                    self.assertIsNotNone(verify.verify_picture(container, wrong, dst, ref), storage)

    def test_xcursor_images_are_read_by_their_table_of_contents(self):
        image = struct.pack("<9I", 36, pictures.XCURSOR_IMAGE, 2, 1, 2, 2, 0, 0, 50) + bytes(range(16))
        comment = struct.pack("<3I", 0xFFFE0001, 0, 999)
        head = b"Xcur" + struct.pack("<III", 16, 0x10000, 2)
        toc = comment + struct.pack("<3I", pictures.XCURSOR_IMAGE, 2, 16 + 24)
        with tempfile.NamedTemporaryFile() as f:
            f.write(head + toc + image)
            f.flush()
            self.assertEqual(pictures.xcursor_images(f.name), [(2, 2, bytes(range(16)))])


class IconsInMemoryTest(unittest.TestCase):
    def test_icons_sit_in_aligned_heap_chunks_premultiplied_as_imagemagick_composes_them_on_black(self):
        rng = np.random.default_rng(9)
        rgba = rng.integers(0, 256, (2, 3, 4), dtype=np.uint8)
        rgba[0, 0, 3], rgba[1, 2, 3] = 0, 255
        cursor = rng.integers(0, 256, (2, 2, 4), dtype=np.uint8)
        cursor[:, :, :3] = np.minimum(cursor[:, :, :3], cursor[:, :, 3:])  # premultiplied: colour <= alpha
        icons = [("icons/a", 3, 2, pictures.premultiplied_bgra(rgba).tobytes(), rgba),
                 ("cursors/b", 2, 2, cursor.tobytes(), None)]
        saved = pictures.small_icons
        pictures.small_icons = lambda _rng, _count: icons
        try:
            with tempfile.TemporaryDirectory() as d:
                for sub in ("stage/pictures", "refs/pictures"):
                    os.makedirs(os.path.join(d, sub))
                pics = build.icons_in_memory(None, os.path.join(d, "stage"), os.path.join(d, "refs"), 2)
                path = os.path.join(d, "stage", pics[0]["member"])
                with open(path, "rb") as f:
                    data = f.read()
                for pic, (_name, w, h, px, _rgba) in zip(pics, icons):
                    self.assertEqual(pic["offset"] % 16, 0)
                    self.assertEqual(data[pic["offset"]:pic["offset"] + pic["bytes"]], px)
                    size, = struct.unpack_from("<Q", data, pic["offset"] - 8)
                    self.assertEqual((size & 1, size - 1), (1, (w * h * 4 + 31) // 16 * 16))
                    with open(path, "rb") as container:
                        self.assertIsNone(verify.verify_picture(
                            container, dict(pic, pieces=[[pic["offset"], pic["bytes"]]],
                                            piece_file_offsets=[pic["offset"]]),
                            path, os.path.join(d, "refs", pic["reference"])), pic["source"])
        finally:
            pictures.small_icons = saved


class ViewerTruthTest(unittest.TestCase):
    def test_copies_are_found_at_their_stride_and_only_over_their_matching_rows(self):
        rng = np.random.default_rng(5)
        rgb = rng.integers(0, 256, (40, 30, 3), dtype=np.uint8)
        bgra = viewer.form_rows(rgb, "bgra")
        dump = bytearray(rng.integers(0, 256, 60000, dtype=np.uint8).tobytes())
        stride = 30 * 4 + 8  # padded rows
        for r in range(40):
            dump[1000 + r * stride:1000 + r * stride + 120] = bgra[r].tobytes()
        # a copy of which rows 12 to 31 are left (its memory reused above and below)
        for r in range(12, 32):
            dump[30000 + r * 120:30000 + (r + 1) * 120] = bgra[r].tobytes()
        self.assertEqual(viewer.copies_in(bytes(dump), bgra), [(1000, stride, 0, 40), (30000, 120, 12, 20)])
        self.assertEqual(viewer.copies_in(bytes(dump), viewer.form_rows(rgb, "bgrx")), [])

    def test_flat_rows_alone_find_nothing(self):
        rgb = np.zeros((20, 16, 3), np.uint8)
        self.assertEqual(viewer.copies_in(bytes(64 * 1024), viewer.form_rows(rgb, "bgr")), [])


class GameScreenTest(unittest.TestCase):
    def test_palette_indices_are_found_by_their_pattern_though_two_indices_share_a_colour(self):
        rng = np.random.default_rng(3)
        palette = rng.integers(0, 256, (256, 3), dtype=np.uint8)
        palette[7] = palette[9]  # a game's palette often holds a colour twice
        # flat runs and edges, like a room of a game
        idx = np.repeat(rng.choice([3, 7, 9, 20, 41, 77, 130, 200, 201, 250], (48, 16)), 4, axis=1).astype(np.uint8)
        idx[:, 1::7] = rng.integers(0, 256, (48, 9), dtype=np.uint8)
        dump = bytearray(rng.integers(0, 256, 90000, dtype=np.uint8).tobytes())
        stride = 64 + 16
        for r in range(48):
            dump[20000 + r * stride:20000 + r * stride + 64] = idx[r].tobytes()
        found = gamescreen.index_rows(bytes(dump), [[0, len(dump)]], palette[idx])
        self.assertEqual([f[:4] for f in found], [(20000, stride, 0, 48)])
        self.assertEqual(found[0][4][7], list(palette[7]))
        # the same rows as another picture's do not match: colours that its bytes cannot stand for
        other = palette[idx].copy()
        other[24:, :8] = other[24:, 8:16]
        self.assertEqual([f[:4] for f in gamescreen.index_rows(bytes(dump), [[0, len(dump)]], other)],
                         [(20000, stride, 0, 24)])


class GameDataTest(unittest.TestCase):
    def resource_file(self, path):
        bank = struct.pack("<H", 2) + struct.pack("<4H", 3, 2, 0, 0) + bytes(range(6)) + \
            struct.pack("<4H", 2, 4, 1, 1) + bytes(range(8))
        files = [("A.BBK", bank), ("B.PCX", b"\x0a\x05" * 20), ("C.ACT", bank + b"\0")]
        data_at = 15 + gamedata.ENTRY * len(files)
        table = bytearray(b"QTBLCEM10\0\0\0\0" + struct.pack(">H", len(files)))
        pos = data_at
        for name, body in files:
            table += name.encode().ljust(12, b"\0") + b"\1" + struct.pack(">II", pos, len(body))
            pos += len(body)
        with open(path, "wb") as f:
            f.write(bytes(table) + b"".join(body for _, body in files))
        return data_at

    def test_frames_come_from_the_directory_and_banks_that_do_not_fill_their_file_count_neither_way(self):
        with tempfile.TemporaryDirectory() as d:
            path = os.path.join(d, "q.1c")
            at = self.resource_file(path)
            truth = gamedata.truth_of(path, "q.1c")
            self.assertEqual([(p["offset"], p["width"], p["stride"], p["height"]) for p in truth["pictures"]],
                             [(at + 10, 3, 3, 2), (at + 24, 2, 2, 4)])
            self.assertEqual([m["kind"] for m in truth["members"]], ["game-table", "sprites", "rle-picture",
                                                                      "game-other"])
            self.assertEqual([z["offset"] for z in truth["ignore"]], [at + 32 + 40])
            halves = []
            for share in ("tune", "apart"):
                dst = os.path.join(d, share)
                gamedata.write_share(path, dst, share)
                with open(dst, "rb") as f:
                    halves.append({n for n, _, _ in gamedata.directory(f.read())})
            self.assertEqual(halves[0] | halves[1], {"A.BBK", "B.PCX", "C.ACT"})
            self.assertFalse(halves[0] & halves[1])

    def test_verify_catches_a_changed_pixel_and_a_frame_not_where_its_header_is(self):
        with tempfile.TemporaryDirectory() as d:
            original, copy = os.path.join(d, "q.1c"), os.path.join(d, "all")
            self.resource_file(original)
            gamedata.write_share(original, copy, "all")
            truth = gamedata.truth_of(copy, "all", source=original)
            with open(copy, "r+b") as f:
                self.assertIsNone(gamedata.verify_game(f, truth))
                moved = dict(truth, pictures=[dict(truth["pictures"][1], offset=truth["pictures"][1]["offset"] + 1)])
                self.assertIn("frame header", gamedata.verify_game(f, moved))
                f.seek(truth["pictures"][0]["offset"])
                f.write(b"\xff")
                self.assertIn("A.BBK differs", gamedata.verify_game(f, truth))


class TexturesTest(unittest.TestCase):
    def test_patterns_of_one_and_four_bytes_a_pixel_read_as_their_colours(self):
        with tempfile.TemporaryDirectory() as d:
            for depth, pixels, rgb in [(1, bytes([10, 200]), [10, 10, 10, 200, 200, 200]),
                                       (4, bytes([1, 2, 3, 255, 4, 5, 6, 0]), [1, 2, 3, 4, 5, 6])]:
                name = b"p\0"
                path, out = os.path.join(d, "p.pat"), os.path.join(d, "p.ppm")
                with open(path, "wb") as f:
                    f.write(struct.pack(">5I", 24 + len(name), 1, 2, 1, depth) + b"GPAT" + name + pixels)
                textures.pat_to_ppm(path, out)
                self.assertEqual(textures.read_ppm(out).reshape(-1).tolist(), rgb)

    def test_palette_in_ramps_greys_first_then_each_hue_dark_to_light(self):
        colours = [(250, 20, 20), (90, 0, 0), (128, 128, 128), (20, 20, 250), (160, 10, 10), (0, 0, 90)]
        self.assertEqual(textures.ramps(colours), [2, 1, 4, 0, 5, 3])


class StripTest(unittest.TestCase):
    def test_headers_go_and_pixels_stay_in_a_file_container_and_a_screen(self):
        # a TIFF-like member: header at 100, pixels at 140 (two strips), its directory after them at 200
        member = [[100, 120]]
        pic = {"id": "p0", "member": "m", "pieces": [[140, 30], [170, 30]], "bytes": 60}
        tar = {"container": "c.tar", "kind": "tar", "size": 400, "pictures": [pic], "ignore": [],
               "members": [{"name": "m", "kind": "picture", "pieces": member},
                           {"name": "lib", "kind": "lib", "pieces": [[220, 180]]}]}
        self.assertEqual(strip.header_spans(tar), [[100, 40], [200, 20]])
        screen = {"container": "x.dump", "kind": "xvfb", "size": 400, "ignore": [],
                  "pictures": [{"id": "s", "offset": 300, "pieces": [[300, 100]], "bytes": 100}],
                  "members": [{"name": "heap", "kind": "heap", "pieces": [[0, 200]]},
                              {"name": "fb", "kind": "framebuffer", "pieces": [[200, 200]]}]}
        self.assertEqual(strip.header_spans(screen), [[200, 100]])
        with tempfile.TemporaryDirectory() as d:
            original = bytes((i * 7 + 1) % 251 + 1 for i in range(400))
            for name in ("c.tar", "x.dump"):
                with open(os.path.join(d, name), "wb") as f:
                    f.write(original)
            for truth in (tar, screen):
                out = strip.strip_container(d, truth)
                self.assertEqual(out["pictures"], truth["pictures"])
                self.assertTrue(strip.is_noheader(out["container"]))
                with open(os.path.join(d, out["container"]), "rb") as f:
                    data = f.read()
                for off, n in out["overwritten"]:
                    self.assertEqual(data[off:off + n], bytes(n))
                kept = strip.subtract([[0, 400]], out["overwritten"])
                self.assertTrue(all(data[o:o + n] == original[o:o + n] for o, n in kept))
                with open(os.path.join(d, out["container"]), "rb") as f:
                    self.assertIsNone(verify.verify_overwritten(f, out, d))
            self.assertEqual(sorted(os.listdir(d)), ["c.noheader.tar", "c.noheader.tar.truth.json", "c.tar",
                                                     "x.dump", "x.noheader.dump", "x.noheader.dump.truth.json"])

    def test_a_copy_whose_header_is_left_fails_verify(self):
        with tempfile.TemporaryDirectory() as d:
            with open(os.path.join(d, "c.tar"), "wb") as f:
                f.write(b"BM" + bytes(range(1, 99)))
            truth = {"container": "c.tar", "kind": "tar", "size": 100, "ignore": [],
                     "pictures": [{"id": "p0", "member": "m", "pieces": [[54, 46]], "bytes": 46}],
                     "members": [{"name": "m", "kind": "picture", "pieces": [[0, 100]]}]}
            out = strip.strip_container(d, truth)
            with open(os.path.join(d, out["container"]), "r+b") as f:
                self.assertIsNone(verify.verify_overwritten(f, out, d))
                f.seek(0)
                f.write(b"BM")
                self.assertIn("not overwritten", verify.verify_overwritten(f, out, d))

    def test_score_by_form_keeps_a_container_or_its_headerless_copy(self):
        pic = {"id": "p0", "storage": "bmp24", "layout": 3, "width": 64, "stride": 192, "height": 64,
               "bytes": 12288, "pieces": [[1000, 12288]], "contiguous": True, "source": "t", "source_kind": "photo"}
        with tempfile.TemporaryDirectory() as d:
            os.makedirs(os.path.join(d, "set"))
            os.makedirs(os.path.join(d, "tsv", "set"))
            finds = {"c.tar": "1000\t12288\t3\t64\t64\t192\t0.9\n", "c.noheader.tar": ""}
            for name, rows in finds.items():
                truth = {"container": name, "kind": "tar", "size": 20000, "pictures": [pic], "ignore": [],
                         "members": [{"name": "m", "kind": "picture", "pieces": [[900, 13000]]}]}
                if "noheader" in name:
                    truth["form"] = "noheader"
                with open(os.path.join(d, "set", name + ".truth.json"), "w") as f:
                    json.dump(truth, f)
                with open(os.path.join(d, "tsv", "set", name + ".tsv"), "w") as f:
                    f.write("offset\tbytes\tlayout\twidth\theight\tstride\tscore\n" + rows)
            recall = {}
            for form in ("header", "noheader"):
                args = types.SimpleNamespace(dir=os.path.join(d, "set"), more=[], tsv_dir=os.path.join(d, "tsv"),
                                             finder="", min_picture_bytes=4096, min_picture_rows=32, runs=1,
                                             json=os.path.join(d, form + ".json"), quiet=True, form=form)
                with open(os.devnull, "w") as quiet:
                    saved, sys.stdout = sys.stdout, quiet
                    try:
                        score.score(args)
                    finally:
                        sys.stdout = saved
                with open(args.json) as f:
                    recall[form] = json.load(f)["recall_by_container_kind"]
            self.assertEqual(recall, {"header": {"tar": {"found": 1, "total": 1}},
                                      "noheader": {"tar noheader": {"found": 0, "total": 1}}})

    def test_forms_split_the_containers_and_share_those_without_pictures(self):
        built = {"kind": "tar", "pictures": [{}]}
        stripped = {"kind": "tar", "pictures": [{}], "form": "noheader"}
        raw_only = {"kind": "gamedata", "pictures": [{}], "has_headers": False}
        nopic = {"kind": "tar", "pictures": []}
        self.assertEqual([score.in_form(t, "noheader") for t in (built, stripped, raw_only, nopic)],
                         [False, True, True, True])
        self.assertEqual([score.in_form(t, "header") for t in (built, stripped, raw_only, nopic)],
                         [True, False, True, True])


class TrainTest(unittest.TestCase):
    def test_regions_are_labelled_by_their_reading_and_where_they_lie(self):
        truth = {"container": "c.bin", "pictures": [{"id": "p0", "layout": 3, "width": 101, "stride": 304,
                                                     "pieces": [[20000, 30400]]}],
                 "members": [{"kind": "lib", "pieces": [[0, 20000]]}]}
        region = lambda offset, layout, width, stride: {"offset": offset, "bytes": 16000, "layout": layout,
                                                        "width": width, "height": 50, "stride": stride, "score": 0.0}
        labelled = train.label(truth, [region(22000, 3, 101, 304), region(1000, 3, 101, 304),
                                       region(22000, 1, 304, 304), region(8000, 3, 101, 304)])
        self.assertEqual([(p, r["offset"], r["layout"]) for p, r in labelled],
                         [("c.bin/p0", 22000, 3), (None, 1000, 3), (None, 8000, 3)])

    def test_rescue_level_keeps_the_lookalikes_taken_under_the_budget(self):
        # regions the rules turned down, by likelihood: picture, lookalike, picture, lookalike...
        items = [("a", None), (None, None), ("b", None), (None, None), ("c", None), (None, None)]
        likelihood = [0.99, 0.97, 0.95, 0.9, 0.8, 0.7]
        rejected = np.array([True] * 6)
        # 100 MB at 1 per 100 MB: one lookalike may be taken, not the second
        self.assertEqual(train.rescue_threshold(items, likelihood, rejected, 100.0, 1.0), 0.95)
        self.assertEqual(train.rescue_threshold(items, likelihood, rejected, 100.0, 0.0), 0.99)
        # regions the rules accept do not count against it
        rejected[1] = False
        self.assertEqual(train.rescue_threshold(items, likelihood, rejected, 100.0, 1.0), 0.8)

    def test_the_network_learns_to_rank_a_telling_measure(self):
        rng = np.random.default_rng(5)
        x = rng.random((400, train.FEATURES))
        y = (x[:, 3] + 0.2 * x[:, 7] > 0.6).astype(float)
        likelihood = train.predict(train.fit(x, y, np.ones(400), epochs=600), x)
        items = [("p%d" % i if t else None, None) for i, t in enumerate(y)]
        self.assertGreater(train.ranks_above(items, likelihood), 0.97)
        self.assertLess(train.ranks_above(items, -likelihood), 0.03)


class ScoreTest(unittest.TestCase):
    def test_tsv_with_and_without_stride(self):
        old = score.read_tsv("offset\tbytes\tlayout\twidth\theight\tscore\n10\t99\t0\t101\t2\t0.5\n")
        new = score.read_tsv("offset\tbytes\tlayout\twidth\theight\tstride\tscore\n10\t99\t3\t101\t2\t304\t0.5\n")
        self.assertEqual(old[0]["stride"], 51)  # 4-bit rows round up to whole bytes
        self.assertEqual(new[0]["stride"], 304)

    def judge(self, finds):
        """Scores finds against one padded BMP picture between a font and a library."""
        truth = {"container": "c.bin", "kind": "tar", "size": 100000,
                 "pictures": [{"id": "p0", "storage": "bmp24", "layout": 3, "width": 101, "stride": 304,
                               "height": 100, "bytes": 30400, "pieces": [[20000, 30400]], "contiguous": True,
                               "source": "test", "source_kind": "photo"}],
                 "members": [{"name": "f", "kind": "font", "pieces": [[0, 19000]]},
                             {"name": "p", "kind": "picture", "pieces": [[19900, 30554]]},
                             {"name": "l", "kind": "lib", "pieces": [[51000, 49000]]}],
                 "ignore": [{"offset": 90000, "bytes": 10000, "why": "copy"}]}
        head = "offset\tbytes\tlayout\twidth\theight\tstride\tscore\n"
        rows = "".join("%d\t%d\t%d\t%d\t1\t%d\t%s\n" % f for f in finds)
        with tempfile.TemporaryDirectory() as d:
            os.makedirs(os.path.join(d, "tsv", "set"))
            os.makedirs(os.path.join(d, "set"))
            with open(os.path.join(d, "set", "c.bin.truth.json"), "w") as f:
                json.dump(truth, f)
            with open(os.path.join(d, "tsv", "set", "c.bin.tsv"), "w") as f:
                f.write(head + rows)
            args = types.SimpleNamespace(tsv_dir=os.path.join(d, "tsv"))
            report = {"containers": [], "pictures": [], "true_scores": [], "false_scores": [], "kind_bytes": {},
                      "kind_false": {}}
            score.score_container(args, os.path.join(d, "set", "c.bin.truth.json"), report)
        return report

    def test_a_picture_counts_only_with_its_stride_over_half_of_it(self):
        right = (20000, 16000, 3, 101, 304, 0.9)
        self.assertTrue(self.judge([right])["pictures"][0]["found"])
        packed = (20000, 30400, 3, 101, 303, 0.9)
        missed = self.judge([packed])["pictures"][0]
        self.assertFalse(missed["found"])
        self.assertEqual(missed["why"], "wrong stride")
        too_little = (20000, 15000, 3, 101, 304, 0.9)
        self.assertFalse(self.judge([too_little])["pictures"][0]["found"])
        two_halves = [(20000, 8000, 3, 101, 304, 0.9), (30000, 8000, 3, 101, 304, 0.8)]
        self.assertTrue(self.judge(two_halves)["pictures"][0]["found"])

    def test_false_finds_go_to_the_kind_holding_most_of_them(self):
        report = self.judge([(10000, 12000, 1, 64, 64, 0.7),    # mostly font
                             (45000, 10000, 1, 64, 64, 0.6),    # half picture: not false
                             (47000, 10000, 1, 64, 64, 0.5),    # mostly library
                             (91000, 5000, 4, 16, 64, 0.4)])    # on a copy of the screen
        self.assertEqual(report["kind_false"], {"font": 1, "lib": 1})
        self.assertEqual(report["containers"][0]["ignored"], 1)
        self.assertEqual(sorted(report["false_scores"]), [0.5, 0.7])


if __name__ == "__main__":
    unittest.main()
