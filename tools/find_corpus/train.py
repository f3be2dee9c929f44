"""`train`: fits the finder's judge (find/judge_weights.h) to the regions it weighs in real corpora.

The finder lists every region its look brings to the judge, with the judge's measures
(`--candidates`). A region is a picture when its layout, width and stride are a picture's and at
least half of it lies in that picture; a lookalike when more than half of it lies outside every
picture (what `score` counts as a false find); others (another reading of a picture) are left out.
A game engine's memory holds more pictures than its truth lists (the room's background, earlier
frames, the toolkit's icons), so its lookalikes are left out too. A small network (one hidden layer
of HIDDEN units) is fitted to them, from a fixed seed: each kind of container (archives, disk
images, a server's memory, a game's data...) weighs alike, however many pictures it holds, each
picture alike within it however often it was seen, and the pictures as much as the lookalikes, so that the same corpora give the same weights. What the finder's rules accept stays, ordered by the likelihood;
what they turn down is taken from the likelihood kJudgeRescue up: the lowest at which the
lookalikes so taken stay under --rescue-per-100mb per 100 MB of the corpora (find/prune.cpp says
why the likelihood is not the only gate).
"""

import bisect
import glob
import json
import math
import os
import subprocess

import numpy

import score

FEATURES = 32  # kJudgeFeatures
HIDDEN = 16     # kJudgeHidden
UNLISTED = ("gamescreen",)  # containers whose truth does not list every picture they hold
HAND_ACCEPTS = 0  # the first measure: the hand-set rules' verdict
HAND_SCORE = 1


def candidates(finder, path):
    out = subprocess.run([finder, "--candidates", path], stdout=subprocess.PIPE, check=True).stdout.decode()
    seen, rows = set(), []
    for line in out.splitlines():
        v = line.split("\t")
        f = {"offset": int(v[0]), "bytes": int(v[1]), "layout": int(v[2]), "width": int(v[3]),
             "height": int(v[4]), "stride": int(v[5]), "score": float(v[6])}
        x = [float(a) for a in v[7:7 + FEATURES]]
        key = (f["offset"], f["layout"], f["stride"], f["height"])
        if len(x) != FEATURES or math.isnan(x[0]) or key in seen:
            continue
        seen.add(key)
        f["x"] = x
        rows.append(f)
    return rows


def label(truth, regions):
    """(picture id or None, region) for pictures and lookalikes; other readings are left out."""
    false, _ = score.false_finds_of(truth, [dict(r) for r in regions])
    false_keys = {(f["offset"], f["layout"], f["stride"], f["height"]) for f in false}
    out = []
    for r in regions:
        if (r["offset"], r["layout"], r["stride"], r["height"]) in false_keys:
            out.append((None, r))
            continue
        for pic in truth["pictures"]:
            if (pic["layout"], pic["width"], pic["stride"]) != (r["layout"], r["width"], r["stride"]):
                continue
            if 2 * score.overlap(r["offset"], r["bytes"], pic["pieces"]) >= r["bytes"]:
                out.append((truth["container"] + "/" + pic["id"], r))
                break
    return out


def fit(x, y, w, l2=1e-3, epochs=3000, rate=0.01, seed=1):
    """One hidden layer of tanh units and a logistic output, by full-batch Adam on the weighted
    log-loss; returns (w1, b1, w2, b2)."""
    rng = numpy.random.default_rng(seed)
    params = [rng.normal(0.0, 0.5, (x.shape[1], HIDDEN)), numpy.zeros(HIDDEN), rng.normal(0.0, 0.5, HIDDEN),
              numpy.zeros(1)]
    m = [numpy.zeros_like(q) for q in params]
    v = [numpy.zeros_like(q) for q in params]
    wn = w / w.sum()
    for t in range(1, epochs + 1):
        w1, b1, w2, b2 = params
        h = numpy.tanh(x @ w1 + b1)
        p = 1.0 / (1.0 + numpy.exp(-(h @ w2 + b2[0])))
        g = wn * (p - y)
        gh = numpy.outer(g, w2) * (1.0 - h * h)
        grads = [x.T @ gh + l2 * w1, gh.sum(0), h.T @ g + l2 * w2, numpy.array([g.sum()])]
        for i, gi in enumerate(grads):
            m[i] = 0.9 * m[i] + 0.1 * gi
            v[i] = 0.999 * v[i] + 0.001 * gi * gi
            params[i] = params[i] - rate * (m[i] / (1 - 0.9 ** t)) / (numpy.sqrt(v[i] / (1 - 0.999 ** t)) + 1e-8)
    return params


def predict(params, x):
    w1, b1, w2, b2 = params
    return 1.0 / (1.0 + numpy.exp(-(numpy.tanh(x @ w1 + b1) @ w2 + b2[0])))


def gather(args):
    items, megabytes = [], 0.0
    for d in [args.dir] + list(args.more or []):
        for truth_path in sorted(glob.glob(os.path.join(d, "*.truth.json"))):
            with open(truth_path) as f:
                truth = json.load(f)
            if not score.in_form(truth, "noheader"):
                continue
            path = os.path.join(os.path.dirname(truth_path), truth["container"])
            # a picture is named by its corpus, container and id
            labelled = [(p and (truth["kind"], os.path.basename(d) + "/" + p), r)
                        for p, r in label(truth, candidates(args.finder, path))]
            if truth["kind"] in UNLISTED:
                labelled = [(p, r) for p, r in labelled if p]
            else:
                megabytes += truth["size"] / 1e6
            items.extend(labelled)
            print("%-40s %6d pictures' regions %6d lookalikes" % (os.path.join(os.path.basename(d), truth["container"]),
                                                                  sum(1 for p, _ in labelled if p),
                                                                  sum(1 for p, _ in labelled if not p)))
    return items, megabytes


def ranks_above(items, value):
    """Of the pairs (picture's region, lookalike) the rules accept, the share where value ranks the
    picture's higher (ties half)."""
    pics = sorted(v for (p, _), v in zip(items, value) if p)
    looks = [v for (p, _), v in zip(items, value) if not p]
    if not pics or not looks:
        return None
    above = sum(len(pics) - bisect.bisect_right(pics, v) + 0.5 * (bisect.bisect_right(pics, v) - bisect.bisect_left(pics, v))
                for v in looks)
    return above / (len(pics) * len(looks))


def rescue_threshold(items, likelihood, rejected, megabytes, per_100mb):
    """The lowest likelihood from which the regions the rules turn down hold at most per_100mb
    lookalikes per 100 MB."""
    allowed = per_100mb * megabytes / 100.0
    order = sorted((i for i in range(len(items)) if rejected[i]), key=lambda i: -likelihood[i])
    threshold, false = 1.0, 0
    for i in order:
        if items[i][0] is None:
            false += 1
            if false > allowed:
                break
        threshold = float(likelihood[i])
    return threshold


def write_header(path, params, rescue, summary):
    w1, b1, w2, b2 = params
    table = lambda values: ", ".join("%.6ff" % v for v in values)
    rows = ",\n".join("    {%s}" % table(row) for row in w1)
    with open(path, "w") as f:
        f.write("// The learned judge's weights over judgeFeatures (prune.cpp). Written by\n"
                "// `tools/find_corpus train`; do not edit by hand.\n// %s\n" % summary +
                "#pragma once\n\n#include <cstdint>\n\n"
                "constexpr bool kJudgeTrained = true;\n"
                "constexpr int32_t kJudgeHidden = %d;\n" % HIDDEN +
                "constexpr float kJudgeInput[%d][%d] = {\n%s,\n};\n" % (FEATURES, HIDDEN, rows) +
                "constexpr float kJudgeInputBias[%d] = {%s};\n" % (HIDDEN, table(b1)) +
                "constexpr float kJudgeOutput[%d] = {%s};\n" % (HIDDEN, table(w2)) +
                "constexpr float kJudgeOutputBias = %.6ff;\n" % b2[0] +
                "constexpr float kJudgeRescue = %.6ff;\n" % rescue)


def train(args):
    items, megabytes = gather(args)
    if not items:
        raise SystemExit("no regions to train on")
    x = numpy.array([r["x"] for _, r in items])
    y = numpy.array([1.0 if p else 0.0 for p, _ in items])
    per_picture = {}
    for p, _ in items:
        if p:
            per_picture[p] = per_picture.get(p, 0) + 1
    per_kind = {}
    for kind, _ in per_picture:
        per_kind[kind] = per_kind.get(kind, 0) + 1
    w = numpy.array([1.0 / (per_picture[p] * per_kind[p[0]]) if p else 1.0 for p, _ in items])
    # as much weight on the pictures as on the lookalikes, each side in all
    w[y == 1] *= w[y == 0].sum() / max(w[y == 1].sum(), 1e-9)
    params = fit(x, y, w, args.l2)
    likelihood = predict(params, x)
    accepted = x[:, HAND_ACCEPTS] > 0.5
    kept = [item for item, a in zip(items, accepted) if a]
    hand_rank = ranks_above(kept, x[accepted, HAND_SCORE])
    learned_rank = ranks_above(kept, likelihood[accepted])
    rescue = rescue_threshold(items, likelihood, ~accepted, megabytes, args.rescue_per_100mb)
    taken = (~accepted) & (likelihood >= rescue)
    summary = ("trained on %d regions (%d pictures, %d lookalikes) in %.0f MB; of those the rules accept, a picture's "
               "region ranks above a lookalike %.3f by the rules' score, %.3f by the likelihood; from %.3f it takes "
               "%d more pictures and %d lookalikes that the rules turn down" %
               (len(items), len(per_picture), int((y == 0).sum()), megabytes, hand_rank or 0.0, learned_rank or 0.0,
                rescue, len({p for (p, _), t in zip(items, taken) if p and t}),
                sum(1 for (p, _), t in zip(items, taken) if not p and t)))
    print(summary)
    if args.out:
        write_header(args.out, params, rescue, summary)
        print("wrote", args.out)
