"""Whole real files that hold no raw picture, chosen by kind to a byte budget."""

import glob
import os
import shutil
import sqlite3
import stat
import subprocess

# Share of the filler budget per kind of file.
SHARES = {
    "biglib": 0.44, "audio": 0.06, "exe": 0.10, "lib": 0.07, "datalib": 0.05, "font": 0.06, "sqlite": 0.04,
    "compressed": 0.05, "text": 0.05, "locale": 0.04, "pyc": 0.04,
}
SKIP_TREES = ("/proc", "/sys", "/dev", "/run", "/tmp", "/work", "/root", "/home", "/var/lib/docker")
PICTURE_EXTS = (".png", ".jpg", ".jpeg", ".bmp", ".gif", ".tga", ".tif", ".tiff", ".pgm", ".ppm", ".pnm",
                ".xpm", ".xbm", ".ico", ".svg", ".pat", ".xwd", ".webp")


def is_elf(path):
    try:
        with open(path, "rb") as f:
            return f.read(4) == b"\x7fELF"
    except OSError:
        return False


def regular_files(pattern_or_paths, min_size=1, max_size=1 << 40):
    paths = glob.glob(pattern_or_paths, recursive=True) if isinstance(pattern_or_paths, str) else pattern_or_paths
    out, seen = [], set()
    for p in sorted(paths):
        try:
            st = os.stat(p)
        except OSError:
            continue
        if not stat.S_ISREG(st.st_mode) or not min_size <= st.st_size <= max_size:
            continue
        if (st.st_dev, st.st_ino) in seen or p.lower().endswith(PICTURE_EXTS):
            continue
        seen.add((st.st_dev, st.st_ino))
        out.append((p, st.st_size))
    return out


def all_shared_libraries():
    """Every *.so* on the machine, largest first (find / -name '*.so*' sorted by size)."""
    found = []
    for root, dirs, files in os.walk("/"):
        dirs[:] = [d for d in dirs if os.path.join(root, d) not in SKIP_TREES]
        for fn in files:
            if ".so" in fn:
                found.append(os.path.join(root, fn))
    libs = [(p, s) for p, s in regular_files(found, 64 << 10) if is_elf(p)]
    return sorted(libs, key=lambda ps: (-ps[1], ps[0]))


def candidates():
    """Kind -> list of (path, size)."""
    libs = all_shared_libraries()
    big = [ps for ps in libs[:60] if "icudata" not in ps[0]]
    big_paths = {p for p, _ in big}
    kinds = {
        "biglib": big,
        "lib": [ps for ps in libs if ps[0] not in big_paths and "icudata" not in ps[0] and ps[1] < (8 << 20)],
        "exe": [ps for ps in regular_files("/usr/bin/*", 16 << 10, 40 << 20) if is_elf(ps[0])],
        "datalib": regular_files([p for p, _ in libs if "icudata" in p] +
                                 glob.glob("/usr/share/misc/magic.mgc") + glob.glob("/usr/lib/file/magic.mgc") +
                                 glob.glob("/usr/share/zoneinfo/**/*", recursive=True)[:400] +
                                 glob.glob("/usr/lib/x86_64-linux-gnu/gconv/*.so")[:80], 1 << 10),
        "font": regular_files("/usr/share/fonts/**/*", 4 << 10),
        "compressed": regular_files(glob.glob("/usr/share/doc/**/*.gz", recursive=True) +
                                    glob.glob("/usr/share/doc/**/*.xz", recursive=True) +
                                    glob.glob("/usr/share/man/man1/*.gz"), 2 << 10),
        "text": regular_files(glob.glob("/usr/share/common-licenses/*") +
                              glob.glob("/usr/lib/python3/dist-packages/**/*.py", recursive=True) +
                              glob.glob("/usr/lib/python3.*/**/*.py", recursive=True) +
                              glob.glob("/usr/share/doc/**/copyright", recursive=True), 4 << 10),
        "locale": regular_files(glob.glob("/usr/share/locale/**/*.mo", recursive=True) +
                                glob.glob("/usr/lib/locale/**/*", recursive=True) +
                                glob.glob("/usr/share/i18n/locales/*"), 2 << 10),
        "pyc": regular_files("/usr/lib/python3*/**/*.pyc", 2 << 10),
    }
    return kinds


def decoded_sounds(work):
    """The desktop's sound theme (Ogg Vorbis) decoded to 16-bit PCM WAV files, as a player holds them."""
    out = []
    if not shutil.which("oggdec"):
        return out
    os.makedirs(os.path.join(work, "sounds"), exist_ok=True)
    for src in sorted(glob.glob("/usr/share/sounds/**/*.og[ag]", recursive=True)):
        dst = os.path.join(work, "sounds", os.path.basename(src).rsplit(".", 1)[0] + ".wav")
        if not os.path.exists(dst):
            subprocess.run(["oggdec", "-Q", "-o", dst, src], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if os.path.exists(dst):
            out.append(dst)
    return out


def audio_files(work):
    """Real PCM sound: WAV files of Debian's packages (ALSA's test sounds, games' sound effects), the
    sound effects of a game in their own archive (OpenTTD's opensfx.cat) and decoded desktop sounds."""
    return regular_files(glob.glob("/usr/share/**/*.wav", recursive=True) +
                         glob.glob("/usr/share/**/*.WAV", recursive=True) +
                         glob.glob("/usr/share/games/openttd/baseset/opensfx/*.cat") + decoded_sounds(work), 1 << 10)


def make_sqlite(path, texts, target_bytes):
    """A SQLite database of real text lines with an index, grown until it reaches target_bytes."""
    if os.path.exists(path):
        os.unlink(path)
    db = sqlite3.connect(path)
    db.execute("CREATE TABLE line (id INTEGER PRIMARY KEY, file TEXT, number INTEGER, words INTEGER, body TEXT)")
    db.execute("CREATE INDEX line_body ON line (body)")
    for src, _size in texts:
        try:
            with open(src, encoding="utf-8", errors="replace") as f:
                lines = f.read().splitlines()
        except OSError:
            continue
        db.executemany("INSERT INTO line (file, number, words, body) VALUES (?, ?, ?, ?)",
                       [(src, i, len(t.split()), t) for i, t in enumerate(lines)])
        db.commit()
        if os.path.getsize(path) >= target_bytes:
            break
    db.close()


def choose(rng, budget_bytes, work, exclude=()):
    """Returns a list of {"path", "kind", "size"} whose sizes add up to about budget_bytes."""
    kinds = candidates()
    kinds["audio"] = audio_files(work)
    chosen = []
    used = set(exclude)
    for kind, share in SHARES.items():
        want = int(budget_bytes * share)
        if kind == "sqlite":
            db = os.path.join(work, "lines-%d.sqlite" % rng.randrange(1 << 30))
            make_sqlite(db, rng.sample(kinds["text"], min(len(kinds["text"]), 4000)), want)
            chosen.append({"path": db, "kind": "sqlite", "size": os.path.getsize(db)})
            continue
        pool = [ps for ps in kinds[kind] if ps[0] not in used]
        rng.shuffle(pool)
        if kind == "biglib":
            # the largest of the system's own libraries first (libLLVM, libclang...), then other large ones
            pool.sort(key=lambda ps: (not ps[0].startswith("/usr/lib/"), -ps[1] if ps[0].startswith("/usr/lib/")
                                      else 0))
        got, dirs = 0, set()
        for p, size in pool:
            if got >= want:
                break
            if got + size > want * 1.25 and got > 0:
                continue
            if size > want * 1.25:
                continue
            if kind == "biglib" and os.path.dirname(p) in dirs:
                continue
            dirs.add(os.path.dirname(p))
            chosen.append({"path": p, "kind": kind, "size": size})
            used.add(p)
            got += size
    return chosen
