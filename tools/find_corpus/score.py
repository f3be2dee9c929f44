"""`score`: runs the finder on each container of one or more corpora and measures it against the truth."""

import bisect
import glob
import json
import os
import subprocess
import tempfile
import time

LAYOUT_NAMES = {0: "4-bit", 1: "8-bit", 2: "15-bit 555", 3: "24-bit", 4: "32-bit", 5: "16-bit 565"}
BITS = {0: 4, 1: 8, 2: 16, 3: 24, 4: 32, 5: 16}


def packed_row(layout, width):
    return (width * BITS.get(layout, 8) + 7) // 8


def read_tsv(text):
    lines = [ln for ln in text.splitlines() if ln.strip()]
    if not lines:
        return []
    head = lines[0].split("\t")
    finds = []
    for ln in lines[1:]:
        row = dict(zip(head, ln.split("\t")))
        f = {"offset": int(row["offset"]), "bytes": int(row["bytes"]), "layout": int(row["layout"]),
             "width": int(row["width"]), "height": int(row["height"]), "score": float(row.get("score", 0))}
        f["stride"] = int(row["stride"]) if "stride" in row else packed_row(f["layout"], f["width"])
        finds.append(f)
    return finds


def overlap(a_lo, a_len, pieces):
    a_hi = a_lo + a_len
    return sum(max(0, min(a_hi, o + n) - max(a_lo, o)) for o, n in pieces)


class Intervals:
    """Sorted, non-overlapping labelled intervals; overlap of a range with each label."""

    def __init__(self, items):
        self.items = sorted(items)
        self.starts = [i[0] for i in self.items]

    def overlaps(self, lo, n):
        hi = lo + n
        out = {}
        i = max(0, bisect.bisect_right(self.starts, lo) - 1)
        while i < len(self.items) and self.items[i][0] < hi:
            s, length, label = self.items[i]
            o = min(hi, s + length) - max(lo, s)
            if o > 0:
                out[label] = out.get(label, 0) + o
            i += 1
        return out


def timed(cmd):
    """Seconds, exit code, output and peak resident MiB of one run of cmd. The peak comes from GNU
    time: a child that Python starts itself inherits Python's own peak when it execs."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err, \
            tempfile.NamedTemporaryFile("r") as peak:
        wrap = ["/usr/bin/time", "-f", "%M", "-o", peak.name] if os.path.exists("/usr/bin/time") else []
        t = time.perf_counter()
        code = subprocess.run(wrap + cmd, stdout=out, stderr=err).returncode
        seconds = time.perf_counter() - t
        out.seek(0)
        err.seek(0)
        kib = peak.read().strip().splitlines()
        mib = int(kib[-1]) / 1024.0 if kib and kib[-1].isdigit() else None
        return seconds, code, out.read(), err.read(), mib


def run_finder(args, path, label):
    """The finder's TSV, its fastest time of args.runs, a plain read's time, the finder's peak MiB."""
    if args.tsv_dir:
        with open(os.path.join(args.tsv_dir, label + ".tsv")) as f:
            return f.read(), None, None, None
    plain_read = ["sh", "-c", 'cat "$1" >/dev/null', "sh", path]
    timed(plain_read)  # into the page cache
    cat_s = min(timed(plain_read)[0] for _ in range(2))
    args.carved = carve(path) if getattr(args, "photorec", False) else None
    best, peak = None, None
    for _ in range(max(1, args.runs)):
        seconds, code, out, err, mib = timed([args.finder, "--tsv"] + args.finder_args.split() + [path])
        if code != 0:
            raise SystemExit("%s failed on %s: %s" % (args.finder, path, err.decode(errors="replace")))
        best = seconds if best is None else min(best, seconds)
        peak = None if mib is None else max(peak or 0.0, mib)
    text = out.decode()
    if args.save_tsv:
        os.makedirs(os.path.dirname(os.path.join(args.save_tsv, label)), exist_ok=True)
        with open(os.path.join(args.save_tsv, label + ".tsv"), "w") as f:
            f.write(text)
    return text, best, cat_s, peak


def carve(path):
    """photorec's time over the same file, from the page cache, and how many files it recovered
    (those of picture formats apart): the carver beside the finder."""
    with tempfile.TemporaryDirectory() as d:
        seconds = timed(["photorec", "/d", os.path.join(d, "out"), "/cmd", path, "search"])[0]
        names = [n for _, _, files in os.walk(d) for n in files if n != "report.xml"]
    kinds = (".bmp", ".tif", ".tga", ".pnm", ".ppm", ".pgm", ".png", ".jpg", ".gif", ".xwd")
    return {"seconds": seconds, "files": len(names), "pictures": sum(1 for n in names if n.lower().endswith(kinds))}


def describe(f, pic_bytes=None, cover=None):
    s = "%s w%d stride %d h%d @%d" % (LAYOUT_NAMES.get(f["layout"], f["layout"]), f["width"], f["stride"],
                                       f["height"], f["offset"])
    if cover is not None:
        s += " covers %.0f%%" % (100.0 * cover / pic_bytes)
    return s + " score %.2f" % f["score"]


def why_missed(pic, near):
    """What the find covering most of a missed picture got wrong."""
    if not near:
        return "nothing found there"
    f = max(near, key=lambda fc: fc[1])[0]
    if f["layout"] != pic["layout"]:
        return "wrong layout"
    if f["width"] != pic["width"]:
        return "wrong width"
    if f["stride"] != pic["stride"]:
        return "wrong stride"
    return "too little of it"


def false_finds_of(truth, finds):
    """The finds with more than half of their bytes outside every picture, each with the kind of
    file holding most of it, and how many finds lie over zones that count neither way."""
    pic_pieces = [p for pic in truth["pictures"] for p in pic["pieces"]]
    ignore = [[z["offset"], z["bytes"]] for z in truth.get("ignore", [])]
    members = Intervals([(o, n, m["kind"]) for m in truth["members"] for o, n in m["pieces"]])
    false, ignored = [], 0
    for f in finds:
        inside = overlap(f["offset"], f["bytes"], pic_pieces)
        if inside * 2 >= f["bytes"]:
            continue
        if (inside + overlap(f["offset"], f["bytes"], ignore)) * 2 >= f["bytes"]:
            ignored += 1
            continue
        by_kind = members.overlaps(f["offset"], f["bytes"])
        outside = f["bytes"] - sum(by_kind.values())
        if outside > 0:
            by_kind["container"] = by_kind.get("container", 0) + outside
        f["kind"] = max(by_kind, key=by_kind.get)
        false.append(f)
    return false, ignored


def judge_picture(pic, finds, label, truth, min_bytes, min_rows=0):
    """Found when finds of its layout, width and stride cover at least half of it; marks those finds
    right. Returns the picture's entry and the scores of its right finds."""
    total = sum(n for _, n in pic["pieces"])
    right, near = [], []
    for f in finds:
        cov = overlap(f["offset"], f["bytes"], pic["pieces"])
        if cov <= 0:
            continue
        if f["layout"] == pic["layout"] and f["width"] == pic["width"] and f["stride"] == pic["stride"]:
            right.append((f, cov))
            f["right"] = True
        else:
            near.append((f, cov))
    found = union_cover([f for f, _ in right], pic["pieces"]) * 2 >= total
    entry = {"container": label, "container_kind": container_kind(truth), "id": pic["id"], "storage": pic["storage"],
             "layout": pic["layout"], "width": pic["width"], "stride": pic["stride"], "height": pic["height"],
             "source": pic["source"], "source_kind": pic["source_kind"], "contiguous": pic["contiguous"],
             "found": found, "best_score": max((f["score"] for f, _ in right), default=None),
             "bytes": pic["bytes"], "small": pic["bytes"] < min_bytes or pic["height"] < min_rows}
    if not found:
        near.sort(key=lambda fc: -fc[1])
        entry["why"] = why_missed(pic, near + right)
        entry["instead"] = [describe(f, total, c) for f, c in (right + near)[:4]]
    return entry, [f["score"] for f, _ in right]


def container_kind(truth):
    return truth["kind"] + (" noheader" if truth.get("form") == "noheader" else "")


def in_form(truth, form):
    """form "noheader": what the finder must find by the look alone (headerless copies, containers whose
    pictures never had a header, and those without pictures); "header": the containers as built."""
    if form == "all" or not truth["pictures"]:
        return True
    headerless = truth.get("form") == "noheader" or truth.get("has_headers") is False
    stripped_form = truth.get("form") == "noheader"
    return headerless if form == "noheader" else not stripped_form


def add_up(report, key, counts):
    for k, n in counts:
        report[key][k] = report[key].get(k, 0) + n


def score_container(args, truth_path, report):
    with open(truth_path) as f:
        truth = json.load(f)
    name = truth["container"]
    # corpus/container: tells the corpora apart in the report and in saved output
    label = os.path.join(os.path.basename(os.path.dirname(os.path.abspath(truth_path))), name)
    text, seconds, cat_s, peak_mib = run_finder(args, os.path.join(os.path.dirname(truth_path), name), label)
    finds = read_tsv(text)
    min_bytes = getattr(args, "min_picture_bytes", 0)
    min_rows = getattr(args, "min_picture_rows", 0)
    false, ignored = false_finds_of(truth, finds)
    for pic in truth["pictures"]:
        entry, scores = judge_picture(pic, finds, label, truth, min_bytes, min_rows)
        report["pictures"].append(entry)
        report["true_scores"].extend(scores)
    report["false_scores"].extend(f["score"] for f in false)
    kind_bytes = [(m["kind"], sum(n for _, n in m["pieces"])) for m in truth["members"]]
    add_up(report, "kind_bytes", kind_bytes + [("container", truth["size"] - sum(n for _, n in kind_bytes))])
    add_up(report, "kind_false", [(f["kind"], 1) for f in false])
    # what a user reads first: the best-scored finds, as many as the file holds pictures
    top = sorted(finds, key=lambda f: -f["score"])[:sum(1 for p in truth["pictures"]
                                                         if p["bytes"] >= min_bytes and p["height"] >= min_rows)]
    report["top_right"] = report.get("top_right", 0) + sum(1 for f in top if f.get("right"))
    report["top_total"] = report.get("top_total", 0) + len(top)
    report["containers"].append({
        "name": label, "kind": container_kind(truth), "mb": truth["size"] / 1e6, "finds": len(finds),
        "pictures": len(truth["pictures"]), "found": None, "false": len(false), "ignored": ignored,
        "seconds": seconds, "cat_seconds": cat_s, "mbps": truth["size"] / 1e6 / seconds if seconds else None,
        "cat_mbps": truth["size"] / 1e6 / cat_s if cat_s else None, "peak_mib": peak_mib,
        "photorec": getattr(args, "carved", None),
        "top_false": ["%s in %s" % (describe(f), f["kind"]) for f in sorted(false, key=lambda f: -f["score"])[:5]]})


def union_cover(finds, pieces):
    spans = sorted((f["offset"], f["offset"] + f["bytes"]) for f in finds)
    merged = []
    for lo, hi in spans:
        if merged and lo <= merged[-1][1]:
            merged[-1][1] = max(merged[-1][1], hi)
        else:
            merged.append([lo, hi])
    return sum(overlap(lo, hi - lo, pieces) for lo, hi in merged)


def table(title, rows, key):
    counts = {}
    for r in rows:
        k = r[key]
        c = counts.setdefault(k, [0, 0])
        c[0] += 1 if r["found"] else 0
        c[1] += 1
    lines = [title]
    for k in sorted(counts, key=str):
        f, t = counts[k]
        label = LAYOUT_NAMES.get(k, k) if key == "layout" else k
        lines.append("  %-22s %3d / %-3d  %5.1f%%" % (label, f, t, 100.0 * f / t))
    return lines, {str(k): {"found": v[0], "total": v[1]} for k, v in counts.items()}


def median(values):
    v = sorted(values)
    return None if not v else v[len(v) // 2]


def ranking(true_scores, false_scores, pictures):
    top_false = max(false_scores, default=None)
    best = [p["best_score"] for p in pictures if p["best_score"] is not None]
    above = sum(1 for s in true_scores if top_false is None or s > top_false)
    pairs = sum(1 for t in true_scores for f in false_scores if t > f) + 0.5 * sum(
        1 for t in true_scores for f in false_scores if t == f)
    return {"highest_false_score": top_false, "true_finds": len(true_scores),
            "median_true_score": median(true_scores), "median_false_score": median(false_scores),
            "true_finds_above_highest_false": above,
            "pictures_with_right_find": len(best),
            "pictures_above_highest_false": sum(1 for s in best if top_false is None or s > top_false),
            "true_above_false_pairs": pairs / (len(true_scores) * len(false_scores))
            if true_scores and false_scores else None}


def score(args):
    dirs = [args.dir] + list(getattr(args, "more", []) or [])
    report = {"containers": [], "pictures": [], "true_scores": [], "false_scores": [], "kind_bytes": {},
              "kind_false": {}}
    for d in dirs:
        for truth_path in sorted(glob.glob(os.path.join(d, "*.truth.json"))):
            with open(truth_path) as f:
                if not in_form(json.load(f), getattr(args, "form", "all")):
                    continue
            n_before = len(report["pictures"])
            score_container(args, truth_path, report)
            mine = [e for e in report["pictures"][n_before:] if not e["small"]]
            report["containers"][-1]["found"] = sum(1 for e in mine if e["found"])
            report["containers"][-1]["pictures"] = len(mine)
    out = []
    small = [p for p in report["pictures"] if p["small"]]
    pics = [p for p in report["pictures"] if not p["small"]]
    found = sum(1 for p in pics if p["found"])
    out.append("tessvane-find on real material: %s%s" % (", ".join(dirs), {
        "all": "", "noheader": " (by the look alone: headers overwritten)", "header": " (with headers)"}[
        getattr(args, "form", "all")]))
    out.append("recall (right layout, width and stride, at least half the picture): %d / %d = %.1f%%" % (
        found, len(pics), 100.0 * found / len(pics) if pics else 0.0))
    if small:
        out.append("not counted: %d pictures smaller than %d bytes or of fewer than %d rows (the finder's default "
                   "--min-bytes and --min-height); finds over them are not false" % (
                       len(small), args.min_picture_bytes, args.min_picture_rows))
    reasons = {}
    for p in pics:
        if not p["found"]:
            reasons[p["why"]] = reasons.get(p["why"], 0) + 1
    out.append("missed: " + ", ".join("%d %s" % (n, why) for why, n in sorted(reasons.items(), key=lambda r: -r[1])))
    summary = {"finder": args.finder if not args.tsv_dir else "tsv:" + args.tsv_dir, "dirs": dirs,
               "recall": {"found": found, "total": len(pics), "not_counted_small": len(small)},
               "missed_because": reasons}
    for title, key in (("by storage kind", "storage"), ("by layout", "layout"), ("by kind of picture",
                                                                                  "source_kind"),
                       ("by container", "container_kind")):
        lines, data = table("recall " + title, pics, key)
        out += [""] + lines
        summary["recall_by_" + key] = data
    out += ["", "false finds per 100 MB by kind of file (the part holding most of the find)"]
    total_false = sum(report["kind_false"].values())
    total_mb = sum(report["kind_bytes"].values()) / 1e6
    rates = {}
    for k in sorted(report["kind_bytes"], key=lambda k: -report["kind_false"].get(k, 0)):
        mb = report["kind_bytes"][k] / 1e6
        n = report["kind_false"].get(k, 0)
        if mb <= 0:
            continue
        rates[k] = {"false": n, "mb": round(mb, 2), "per_100mb": round(100.0 * n / mb, 2)}
        out.append("  %-14s %5d in %8.1f MB  %8.1f / 100 MB" % (k, n, mb, 100.0 * n / mb))
    out.append("  %-14s %5d in %8.1f MB  %8.1f / 100 MB" % ("all", total_false, total_mb,
                                                            100.0 * total_false / total_mb if total_mb else 0))
    summary["false_by_kind"] = rates
    summary["false_total"] = {"false": total_false, "mb": round(total_mb, 2)}
    out += ["", "per container%s" % ("" if args.tsv_dir else ": the finder's time (fastest of %d), beside cat FILE "
                                                             ">/dev/null from the page cache; the finder's peak "
                                                             "memory" % args.runs)]
    for c in report["containers"]:
        speed = ""
        if c["seconds"]:
            speed = "  %5.1f s %6.1f MB/s (cat %6.0f MB/s) %s MiB" % (
                c["seconds"], c["mbps"], c["cat_mbps"], "?" if c["peak_mib"] is None else "%.0f" % c["peak_mib"])
            if c.get("photorec"):
                speed += " (photorec %6.1f MB/s, %d files, %d pictures)" % (
                    c["mb"] / c["photorec"]["seconds"], c["photorec"]["files"], c["photorec"]["pictures"])
        out.append("  %-26s %7.1f MB  %3d/%-3d pictures  %4d finds  %4d false  %3d on copies%s" % (
            c["name"], c["mb"], c["found"], c["pictures"], c["finds"], c["false"], c["ignored"], speed))
    summary["containers"] = report["containers"]
    rank = ranking(report["true_scores"], report["false_scores"], pics)
    rank["top_of_lists"] = {"right": report.get("top_right", 0), "finds": report.get("top_total", 0)}
    summary["ranking"] = rank
    out += ["", "ranking: highest false score %s; %d of %d right finds above it; %d of %d found pictures "
            "have a right find above it; P(right find > false find) = %s" % (
                "none" if rank["highest_false_score"] is None else "%.3f" % rank["highest_false_score"],
                rank["true_finds_above_highest_false"], rank["true_finds"], rank["pictures_above_highest_false"],
                rank["pictures_with_right_find"], "n/a" if rank["true_above_false_pairs"] is None else
                "%.3f" % rank["true_above_false_pairs"])]
    fmt = lambda v: "n/a" if v is None else "%.3f" % v  # noqa: E731
    out.append("  median score of right finds %s, of false finds %s; of the best N finds of each container "
               "(N its pictures) %d of %d are right finds" % (fmt(rank["median_true_score"]),
                                                              fmt(rank["median_false_score"]),
                                                              rank["top_of_lists"]["right"],
                                                              rank["top_of_lists"]["finds"]))
    missed = [p for p in pics if not p["found"]]
    summary["missed"] = missed
    if missed and not args.quiet:
        out += ["", "missed pictures (truth: layout width stride height) and what was found there"]
        for p in missed:
            out.append("  %s/%s %-10s %-12s w%d stride %d h%d%s  %s: %s" % (
                p["container"], p["id"], p["storage"], LAYOUT_NAMES[p["layout"]], p["width"], p["stride"],
                p["height"], "" if p["contiguous"] else " (split)", p["source"], p["why"]))
            for s in p.get("instead", []):
                out.append("      found %s" % s)
    out += ["", "highest false finds"]
    for c in report["containers"]:
        for s in c["top_false"][:3]:
            out.append("  %s: %s" % (c["name"], s))
    text = "\n".join(out)
    print(text)
    json_path = args.json or os.path.join(args.dir, "score.json")
    with open(json_path, "w") as f:
        json.dump(summary, f, indent=1)
    with open(os.path.splitext(json_path)[0] + ".txt", "w") as f:
        f.write(text + "\n")
