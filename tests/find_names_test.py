#!/usr/bin/env python3
"""tessvane-find with file and folder names beyond ASCII: the scanned file, the report and the
--extract folder are found and made under the names given, the page holds the name as UTF-8,
and a refusal names the path as it was given.

usage: find_names_test.py TESSVANE_FIND
A program ending in .exe runs under wine through cmake/run-under-wine.sh (outside Windows); the
native program passes the same checks.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
DEMO_FINDS = ["60000\t196608\t3\t256\t256", "300000\t131072\t2\t256\t256",
              "480000\t65536\t1\t256\t256", "600000\t32768\t0\t256\t256"]
PROGRAM = None


def run_finder(cwd, *args):
    """(status, stdout, stderr) of one run in cwd, the output decoded strictly as UTF-8."""
    command = [PROGRAM, *args]
    if PROGRAM.endswith(".exe") and os.name != "nt":
        command = [os.path.join(ROOT, "cmake", "run-under-wine.sh"), *command]
    done = subprocess.run(command, cwd=cwd, stdin=subprocess.DEVNULL, capture_output=True, timeout=600)
    # Wine's carriage returns stay on stderr; run-under-wine.sh takes them out of stdout only.
    return (done.returncode, done.stdout.decode("utf-8").replace("\r", ""),
            done.stderr.decode("utf-8").replace("\r", ""))


def finds(listing):
    return [line.rsplit("\t", 2)[0] for line in listing.splitlines()[1:]]


class UnicodeNamesTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="find-names-")
        subprocess.run([sys.executable, os.path.join(ROOT, "tools", "make_demo.py"), cls.dir], check=True,
                       stdout=subprocess.DEVNULL)
        for name in ("bild_ä.bin", "图片.bin"):
            shutil.copyfile(os.path.join(cls.dir, "demo.bin"), os.path.join(cls.dir, name))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir)

    def test_scanned_name_is_utf8_in_the_page(self):
        status, out, err = run_finder(self.dir, "--tsv", "--report", "报告_ä.html", "bild_ä.bin")
        self.assertEqual((status, err), (0, ""))
        self.assertEqual(finds(out), DEMO_FINDS)
        with open(os.path.join(self.dir, "报告_ä.html"), "rb") as f:
            page = f.read().decode("utf-8")  # raises on a byte such as a lone 0xE4
        self.assertIn("<h1>Pictures in bild_ä.bin</h1>", page)

    def test_pictures_drawn_into_a_chinese_folder(self):
        status, out, err = run_finder(self.dir, "--tsv", "--extract", "图", "图片.bin")
        self.assertEqual((status, err), (0, ""))
        self.assertEqual(finds(out), DEMO_FINDS)
        folder = os.path.join(self.dir, "图")
        self.assertEqual(sorted(os.listdir(folder)),
                         ["000000060000_layout3_w256.png", "000000300000_layout2_w256.png",
                          "000000480000_layout1_w256.png", "000000600000_layout0_w256.png"])
        for name in os.listdir(folder):
            with open(os.path.join(folder, name), "rb") as f:
                self.assertEqual(f.read(8), b"\x89PNG\r\n\x1a\n", name)

    def test_refusal_names_the_path_as_given(self):
        existing = os.path.join(self.dir, "旧报告.html")
        with open(existing, "w") as f:
            f.write("kept")
        status, out, err = run_finder(self.dir, "--report", "旧报告.html", "图片.bin")
        self.assertEqual((status, out), (3, ""))
        self.assertEqual(err, "tessvane-find: 旧报告.html: already exists, not replaced\n")
        with open(existing) as f:
            self.assertEqual(f.read(), "kept")
        status, out, err = run_finder(self.dir, "缺失_ö.bin")
        self.assertEqual(status, 1)
        self.assertTrue(err.startswith("tessvane-find: 缺失_ö.bin: "), err)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    PROGRAM = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
