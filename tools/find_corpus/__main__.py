#!/usr/bin/python3
"""Builds corpora of real material for tessvane-find and scores the finder on them.

    python3 tools/find_corpus make DIR [--seed 1] [--pictures 48] [--filler-mb 220]
                                       [--parts tar,ext4,xvfb,viewer,game,gamescreen]
                                       [--screens 8:1366x768,16:1024x768,24:1024x768]
                                       [--headerless] [--game-share tune|apart|all]
    python3 tools/find_corpus make DIR --nopic --filler-mb 330 --parts tar
    python3 tools/find_corpus textures DIR [--share tune|apart|all] [--plain]
    python3 tools/find_corpus strip DIR
    python3 tools/find_corpus verify DIR
    python3 tools/find_corpus copies DIR
    python3 tools/find_corpus score DIR [DIR...] [--finder build/release/tessvane-find] [--runs N]
                                        [--save-tsv D | --tsv-dir D] [--json F] [--quiet]
                                        [--form all|noheader|header]
    python3 tools/find_corpus samples OUT --corpus DIR [--finder F] [--library LIB...]

`make` writes containers into DIR, each with CONTAINER.truth.json:
  archive.tar     real pictures among whole real files (tar offsets give the truth)
  disk.ext4       the same files in an ext4 image (mke2fs -d; debugfs's extents give the truth)
  xvfbN.dump      all readable mappings of an X server (Xvfb -fbdir) at depth N showing photos and
                  programs; the truth is the mapping of its frame buffer file
  viewer-nsxiv.dump  all readable mappings of an image viewer (nsxiv) that has shown six photos
                  under Xvfb; the truth is each copy of them found by its bytes (see viewer.py)
  queen-tune.game    a game's resource file (Flight of the Amazon Queen, half of its files: --game-share)
                  with its sprite banks' frames as 8-bit pictures; the truth is the format's own directory
  game-scummvm.dump  all readable mappings of a game engine (ScummVM) showing that game's first room at
                  2x: its 8-bit screen, 565 and 32-bit copies, found by their bytes (see gamescreen.py)
and DIR/pictures/, the pictures as written. Pictures come from mate-backgrounds (photos),
gimp-data's patterns (textures), matplotlib's sample data (a photo, a scan, elevation maps, icons),
the Adwaita icon theme and screenshots of X programs taken under Xvfb, written by ImageMagick or
netpbm as BMP (24, 32, 8 and 4-bit palettes, 16-bit 555 and 565), PGM, PPM, TGA, TIFF and grey in
24 bits. The pixel data's place is read from each written file's own header. --nopic builds the
same kinds of files without any picture, for false-find rates. The same seed picks the same files
as long as the machine's files are the same.

`textures` writes textures-SHARE[-plain].game: gimp-data's patterns cut to 64 x 64 under one shared
palette of 256 colours in ramps, dithered (or not: --plain), as palette indices back to back, as a
game's data holds its floors; "tune" and "apart" are disjoint halves of the patterns (see
textures.py). A run of them found as one find counts for each texture it half covers.

`strip` (or `make --headerless`) writes CONTAINER.noheader.EXT beside each container holding
pictures, with its own truth: the same bytes but each stored picture's header, palette and TIFF
directory and the XWD header before an X server's frame buffer overwritten with zeros, so the same
pictures measure the finder's look alone. `score --form noheader` scores those (and containers whose
pictures never had a header), `--form header` the containers as built.

`copies` marks, in the X server dumps' truth, the zones that hold other pictures than the screen:
client images in shared memory (MIT-SHM) and copies of them or of the screen (pixmaps), found by
their bytes. Finds there count neither as found nor as false. `make` runs it.

`verify` checks each truth: the container holds the written file's bytes at each piece, and the
pixels read as the truth describes them equal ImageMagick's decoding; for a screen, the frame
buffer's XWD header sits where the truth says. `make` runs it at the end.

`score` runs the finder with --tsv on every container of the given corpora (or reads
CORPUS/CONTAINER.tsv from --tsv-dir, CORPUS being the corpus directory's name) and reports recall
by storage kind, layout, kind of picture and container, the missed pictures with what was found
there instead, false finds per 100 MB by kind of file, MB/s and peak memory beside a plain read of
the same file, and how the scores rank. It writes the same into DIR/score.txt and DIR/score.json.

`samples` writes the small real files of tests/data/find (see its README.txt).

Needs (Debian): python3, python3-numpy, imagemagick, netpbm, mate-backgrounds, gimp-data,
python3-matplotlib (for its sample data only), adwaita-icon-theme, e2fsprogs, xvfb, xterm,
x11-apps, time. Run as root: the X server's memory is read through /proc/PID/mem.
"""

import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import build  # noqa: E402
import copies  # noqa: E402
import samples  # noqa: E402
import score  # noqa: E402
import strip  # noqa: E402
import textures  # noqa: E402
import train  # noqa: E402
import verify  # noqa: E402


def main():
    ap = argparse.ArgumentParser(prog="find_corpus", description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = ap.add_subparsers(dest="command", required=True)
    mk = sub.add_parser("make", help="build a corpus")
    mk.add_argument("dir")
    mk.add_argument("--seed", type=int, default=1)
    mk.add_argument("--pictures", type=int, default=48)
    mk.add_argument("--filler-mb", type=int, default=220, help="MB of real files around the pictures")
    mk.add_argument("--screenshots", type=int, default=3, help="screenshots of X programs among the sources")
    mk.add_argument("--parts", default="tar,ext4,xvfb,viewer,game,gamescreen")
    mk.add_argument("--game-share", choices=("tune", "apart", "all"), default="tune",
                    help="which half of the game's files (by a hash of their names) goes into the game data")
    mk.add_argument("--screens", default="8:1366x768,16:1024x768,24:1024x768",
                    help="X server dumps, DEPTH:WIDTHxHEIGHT each")
    mk.add_argument("--nopic", action="store_true", help="real files only, no picture")
    mk.add_argument("--headerless", action="store_true",
                    help="also write each container with its pictures' headers overwritten (as `strip` does)")
    mk.add_argument("--keep-stage", action="store_true", help="keep DIR/stage (the files as written)")
    tx = sub.add_parser("textures", help="textures of one size back to back, as a game's data holds them")
    tx.add_argument("dir")
    tx.add_argument("--share", choices=("tune", "apart", "all"), default="tune",
                    help="which half of the patterns (by a hash of their names)")
    tx.add_argument("--plain", action="store_true", help="remap to the palette without dithering")
    cp = sub.add_parser("copies", help="mark client images and copies of the screen in the X server dumps")
    cp.add_argument("dir")
    st = sub.add_parser("strip", help="write each container again with its pictures' headers overwritten")
    st.add_argument("dir")
    vf = sub.add_parser("verify", help="check a corpus's truth against its containers and ImageMagick")
    vf.add_argument("dir")
    sm = sub.add_parser("samples", help="small real files for the repository's tests")
    sm.add_argument("out")
    sm.add_argument("--corpus", required=True, help="a corpus built by make, for its X server dumps")
    sm.add_argument("--finder", default="build/release/tessvane-find")
    sm.add_argument("--library", nargs="+", default=["/usr/lib/x86_64-linux-gnu/libLLVM-15.so.1"],
                    help="large libraries to take a slice from where the finder reports a false find")
    sc = sub.add_parser("score", help="score a finder on a corpus")
    sc.add_argument("dir")
    sc.add_argument("more", nargs="*", help="more corpora scored together")
    sc.add_argument("--finder", default="build/release/tessvane-find")
    sc.add_argument("--finder-args", default="", help="extra arguments for the finder")
    sc.add_argument("--tsv-dir", help="read CORPUS/CONTAINER.tsv from here instead of running the finder")
    sc.add_argument("--min-picture-bytes", type=int, default=4096,
                    help="pictures smaller than this are not counted in recall (the finder's --min-bytes)")
    sc.add_argument("--min-picture-rows", type=int, default=32,
                    help="nor pictures of fewer rows (the finder's --min-height)")
    sc.add_argument("--runs", type=int, default=1, help="runs of the finder per container; the fastest counts")
    sc.add_argument("--save-tsv", help="keep the finder's output as CORPUS/CONTAINER.tsv here")
    sc.add_argument("--json", help="write the summary here (default DIR/score.json)")
    sc.add_argument("--form", choices=("all", "noheader", "header"), default="all",
                    help="noheader: only what must be found by the look alone (CONTAINER.noheader.* and "
                         "containers whose pictures have no header); header: the containers as built")
    sc.add_argument("--quiet", action="store_true", help="no list of missed pictures")
    sc.add_argument("--photorec", action="store_true",
                    help="also time photorec (Debian's testdisk) over each container and count what it recovers")
    tr = sub.add_parser("train", help="fit the finder's judge to the regions it weighs in corpora")
    tr.add_argument("dir")
    tr.add_argument("more", nargs="*", help="more corpora trained on together")
    tr.add_argument("--finder", default="build/release/tessvane-find")
    tr.add_argument("--out", help="write the weights here (find/judge_weights.h)")
    tr.add_argument("--l2", type=float, default=1e-3, help="weight decay")
    tr.add_argument("--rescue-per-100mb", type=float, default=0.1,
                    help="lookalikes per 100 MB of the corpora that the likelihood may take beside the rules' finds")
    args = ap.parse_args()
    if args.command == "make":
        build.make(args)
    elif args.command == "samples":
        samples.write_samples(args)
    elif args.command == "textures":
        os.makedirs(args.dir, exist_ok=True)
        textures.build_textures(os.path.abspath(args.dir), args.share, not args.plain, build.save_truth, build.log)
        sys.exit(0 if verify.verify(args.dir) else 1)
    elif args.command == "copies":
        copies.mark_copies(args.dir)
    elif args.command == "strip":
        strip.strip_corpus(args.dir)
        sys.exit(0 if verify.verify(args.dir) else 1)
    elif args.command == "train":
        train.train(args)
    elif args.command == "verify":
        sys.exit(0 if verify.verify(args.dir) else 1)
    else:
        score.score(args)


if __name__ == "__main__":
    main()
