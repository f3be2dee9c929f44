#!/usr/bin/env python3
"""The README's demo output is what tessvane-find prints on the demo file.

    readme_demo_test.py TESSVANE_FIND SOURCE_DIR

Every line of the README's example but the closing timing line must match the program's.
"""

import pathlib
import subprocess
import sys
import tempfile


def readme_lines(source):
    text = (source / "README.md").read_text()
    start = text.index("$ build/release/tessvane-find /tmp/demo/demo.bin\n")
    block = text[start:text.index("```", start)].splitlines()[1:]
    return [line for line in block if not line.startswith("scanned ")]


def main():
    finder, source = sys.argv[1], pathlib.Path(sys.argv[2])
    with tempfile.TemporaryDirectory() as scratch:
        subprocess.run([sys.executable, str(source / "tools/make_demo.py"), scratch], check=True,
                       stdout=subprocess.DEVNULL)
        out = subprocess.run([finder, f"{scratch}/demo.bin"], check=True, capture_output=True,
                             text=True).stdout.splitlines()
    got = [line for line in out if not line.startswith("scanned ")]
    want = readme_lines(source)
    if got != want:
        print("README says:", *want, "the program prints:", *got, sep="\n")
        return 1
    print(f"{len(got)} lines as the README gives them")
    return 0


if __name__ == "__main__":
    sys.exit(main())
