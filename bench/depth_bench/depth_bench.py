#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Palettes on a grid of fewer bits, and the same bytes every time: see README.md here."""

import argparse
import hashlib
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np
from PIL import Image

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "bench", "palette_bench"))
from palette_bench import sprite_frames  # noqa: E402

PHOTOS = ["astronaut", "chelsea", "coffee", "rocket", "immunohistochemistry", "hubble_deep_field", "colorwheel"]
DEPTHS = [6, 5, 4, 3]
GOALS = {3: 0.3, 4: 0.1, 5: 0.0, 6: 0.0}


def log(*a):
    print(*a, file=sys.stderr, flush=True)


def run(cmd, env=None):
    return subprocess.run(cmd, check=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          env=dict(os.environ, **(env or {})))


def read_rgb(path):
    """A PCX file's pixels as netpbm reads them, N x 3."""
    ppm = run(["pcxtoppm", path]).stdout
    return np.asarray(Image.open(__import__("io").BytesIO(ppm)).convert("RGB"), dtype=np.int64).reshape(-1, 3)


def read_act(path):
    b = open(path, "rb").read()
    n = 256 if len(b) == 768 else (b[768] << 8 | b[769])
    return np.frombuffer(b[:3 * n], dtype=np.uint8).astype(np.int64).reshape(-1, 3)


def to_grid(palette, depth):
    """Each entry rounded to the grid afterwards, as a palette chosen at 8 bits is for a VGA."""
    top = (1 << depth) - 1
    levels = np.round(palette * top / 255.0)
    return np.unique(np.round(levels * 255.0 / top).astype(np.int64), axis=0)


def grid_bound(pixels, depth):
    """The least error any palette on the grid can reach: every pixel at its nearest grid point."""
    top = (1 << depth) - 1
    g = np.round(np.round(pixels * top / 255.0) * 255.0 / top)
    return int(((pixels - g) ** 2).sum())


def on_grid(palette, depth):
    top = (1 << depth) - 1
    return bool(np.all(np.round(np.round(palette * top / 255.0) * 255.0 / top) == palette))


def nearest_error(pixels, palette):
    """The squared error of every pixel at its nearest entry."""
    colours, counts = np.unique(pixels, axis=0, return_counts=True)
    p2 = (palette * palette).sum(1)
    total = 0
    for s in range(0, len(colours), 4096):
        c = colours[s:s + 4096]
        d = (c * c).sum(1)[:, None] - 2 * c @ palette.T + p2[None, :]
        total += int((d.min(1) * counts[s:s + 4096]).sum())
    return total


def reach(pixels, depth, palette, entries, goal_error=None, rounds=3000):
    """A lower bound on the squared error of any palette of `entries` points of the grid, and
    whether it passes goal_error. It is the Lagrangian dual of choosing them (the p-median over
    the picture's colours): any prices of the colours give a bound, raised here by subgradient
    steps aimed at the error of `palette`, until the bound passes goal_error (None: until it
    settles). The best prices are taken down to integers and the bound summed again exactly."""
    from scipy.spatial import cKDTree
    colours, counts = np.unique(pixels, axis=0, return_counts=True)
    top = (1 << depth) - 1
    v = np.round(np.arange(top + 1) * 255.0 / top)
    grid = np.stack(np.meshgrid(v, v, v, indexing="ij"), -1).reshape(-1, 3)
    # A colour's price is held under its cost at the palette's second nearest entry a grid step
    # farther off; a point past that radius costs more than the price and adds nothing, so only
    # the pairs within it are kept (looked for a little past it, so that none is lost to rounding).
    pal = np.asarray(palette, dtype=np.float64)
    radius = np.empty(len(colours))
    for s in range(0, len(colours), 8192):
        c = colours[s:s + 8192]
        radius[s:s + 8192] = np.sqrt(np.sort(((c[:, None, :] - pal[None, :, :]) ** 2).sum(2), 1)[:, 1])
    radius += 255.0 / top
    cap = np.floor(counts * radius * radius)
    tree = cKDTree(grid)
    who, where = [], []
    for s in range(0, len(colours), 4096):
        near = tree.query_ball_point(colours[s:s + 4096].astype(np.float64), radius[s:s + 4096] + 0.5)
        who.append(np.repeat(np.arange(s, s + len(near), dtype=np.int32), [len(n) for n in near]))
        where.append(np.fromiter((j for n in near for j in n), dtype=np.int32, count=sum(len(n) for n in near)))
    who, where = np.concatenate(who), np.concatenate(where)
    # Integers below 2**53 and sums of them stay exact in doubles; the assert keeps it so.
    cost = counts[who] * ((colours[who] - grid[where].astype(np.int64)) ** 2).sum(1).astype(np.float64)
    assert (cost + cap[who]).sum() < 2.0 ** 52
    parts = [slice(s, s + (1 << 22)) for s in range(0, len(who), 1 << 22)]

    def dual(price):
        rho = np.zeros(len(grid))
        for p in parts:
            rho += np.bincount(where[p], weights=np.minimum(0, cost[p] - price[who[p]]), minlength=len(grid))
        chosen = np.argsort(rho, kind="stable")[:entries]
        return price.sum() + rho[chosen].sum(), chosen

    # Start from each colour's second cheapest point: the first is what it pays anyway.
    order = np.lexsort((cost, who))
    w, c = who[order], cost[order]
    del order
    first = np.flatnonzero(np.r_[True, w[1:] != w[:-1]])
    second = first + 1
    ok = second < len(w)
    ok[ok] &= w[second[ok]] == w[first[ok]]
    price = cap.copy()
    price[w[first[ok]]] = np.minimum(cap[w[first[ok]]], c[second[ok]])
    del w, c
    upper = float(nearest_error(pixels, palette))
    best, kept, step, stall = -np.inf, price, 1.0, 0
    for _ in range(rounds):
        value, chosen = dual(price)
        if value > best:
            best, kept, stall = value, price.copy(), 0
            if goal_error is not None and value > goal_error and dual(np.floor(kept))[0] > goal_error:
                break
        else:
            stall += 1
            if stall >= 20:
                step, stall = step / 2, 0
                if step < 1e-4:
                    break
        served = np.zeros(len(grid), dtype=bool)
        served[chosen] = True
        g = np.ones(len(colours))
        for p in parts:
            g -= np.bincount(who[p], weights=served[where[p]] & (cost[p] < price[who[p]]), minlength=len(colours))
        norm = (g * g).sum()
        if norm == 0:
            break
        price = np.clip(price + step * (upper - value) / norm * g, 0, cap)
    bound = int(dual(np.floor(kept))[0])
    return bound, goal_error is not None and bound > goal_error


def psnr(error, samples):
    return 60.0 if error == 0 else min(60.0, 10 * np.log10(255.0 ** 2 * samples / error))


def photos(work):
    import skimage.data as data
    out = []
    for name in PHOTOS:
        try:
            a = getattr(data, name)()
        except Exception:  # a data set this skimage does not carry
            continue
        path = os.path.join(work, name + ".pcx")
        Image.fromarray(a[..., :3]).save(path)
        out.append(path)
    return out


def sprite_set(work):
    folder = os.path.join(work, "sprites")
    os.makedirs(folder, exist_ok=True)
    paths = []
    for name, im in sorted(sprite_frames().items()):
        path = os.path.join(folder, name)
        im.save(path)
        paths.append(path)
    return paths


def grid_part(conv, pictures, sprites, work, lines, counts=(16, 256), bounds=None):
    """bounds: None, or (rounds, settle) for the bound of each goal missed (see reach)."""
    lines += ["## Palettes on the grid", "",
              "Each palette alone: every pixel mapped to its nearest entry, PSNR over the picture (the set pooled for "
              "`-shared`). `-depth B` is the palette the converter chooses on the grid; *rounded* is its palette at 8 "
              "bits (`-depth 8`, the default) with each entry rounded to the grid afterwards (duplicates merged); "
              "*bound* is every pixel at its nearest grid point, which no palette on the grid passes (a goal above "
              "it cannot be met).", "",
              "| form | picture | N | B | entries | -depth B dB | rounded dB | gain dB | bound dB | goal | s (-depth B) | s (8 bits) |",
              "|---|---|---:|---:|---:|---:|---:|---:|---:|---|---:|---:|"]
    missed = 0
    offgrid = 0
    unreachable = [0]
    proved = 0
    for n in counts:
        cases = [("per file", p, [p]) for p in pictures] + [("-shared", "pingus sprites", sprites)]
        for form, name, files in cases:
            pix = np.concatenate([read_rgb(f) for f in files])
            t0 = time.monotonic()
            if form == "per file":
                out8 = os.path.join(work, "o8.pcx")
                run([conv, "-q", "-colors", str(n), "-o", out8, files[0]])
                pal8 = np.unique(read_rgb(out8), axis=0)
            else:
                act = os.path.join(work, "p8.act")
                run([conv, "-q", "-shared", "-colors", str(n), "-palette-out", act] + files)
                pal8 = read_act(act)
            s8 = time.monotonic() - t0
            if form == "-shared" and n == 256 and len(np.unique(pix, axis=0)) <= 256:
                continue
            for depth in DEPTHS:
                t0 = time.monotonic()
                if form == "per file":
                    out = os.path.join(work, "od.pcx")
                    run([conv, "-q", "-colors", str(n), "-depth", str(depth), "-o", out, files[0]])
                    pal = np.unique(read_rgb(out), axis=0)
                else:
                    act = os.path.join(work, "pd.act")
                    run([conv, "-q", "-shared", "-colors", str(n), "-depth", str(depth), "-palette-out", act] + files)
                    pal = read_act(act)
                sd = time.monotonic() - t0
                if not on_grid(pal, depth) or len(np.unique(pal, axis=0)) != len(pal) or len(pal) > n:
                    offgrid += 1
                mine = psnr(nearest_error(pix, pal), pix.size)
                theirs = psnr(nearest_error(pix, to_grid(pal8, depth)), pix.size)
                bound = psnr(grid_bound(pix, depth), pix.size)
                gain = mine - theirs
                goal = GOALS[depth]
                met = gain >= goal - 1e-9
                at_bound = not met and mine >= bound - 0.005 and gain >= 0
                verdict = "met" if met else "at the bound" if at_bound else "MISSED"
                if bounds and verdict == "MISSED":
                    t0 = time.monotonic()
                    goal_error = nearest_error(pix, to_grid(pal8, depth)) * 10 ** (-(goal - 1e-9) / 10)
                    least, _ = reach(pix, depth, pal, n, None if bounds[1] else goal_error, bounds[0])
                    out = least > goal_error
                    verdict = "%s (any palette ≤ %.3f dB; %.0f s)" % (
                        "out of reach" if out else "MISSED", psnr(least, pix.size), time.monotonic() - t0)
                    proved += out
                missed += verdict.startswith("MISSED")
                unreachable[0] += at_bound
                lines.append("| %s | %s | %d | %d | %d | %.2f | %.2f | %+.2f | %.2f | ≥ %+.1f: %s | %.2f | %.2f |" % (
                    form, os.path.basename(name), n, depth, len(pal), mine, theirs, gain, bound, goal,
                    verdict, sd, s8))
                log(lines[-1])
    lines += ["", "Goals missed: %d; at the bound (no palette on the grid does better): %d; %spalettes off their grid, "
              "with two entries alike or more than N: %d" % (
                  missed, unreachable[0], "out of reach of any palette on the grid: %d; " % proved if bounds else "",
                  offgrid), ""]


def digest(folder):
    h = hashlib.sha256()
    for root, _, files in sorted(os.walk(folder)):
        for f in sorted(files):
            p = os.path.join(root, f)
            h.update(os.path.relpath(p, folder).encode() + b"\0" + open(p, "rb").read())
    return h.hexdigest()[:16]


def same_part(conv, pictures, sprites, work, lines, runs):
    """Every form, its outputs hashed over thread counts, runs and input orders."""
    game = os.path.join(ROOT, "tests", "data", "pcx", "allegro_allegro.pcx")
    inputs = sprites[:120] + pictures[:3]
    forms = [
        ("each file its own palette", ["-colors", "64"]),
        ("each file, -dither", ["-colors", "16", "-dither"]),
        ("each file, -depth 5", ["-colors", "64", "-depth", "5"]),
        ("-shared", ["-shared", "-colors", "256", "-transparent", "ff00ff:0"]),
        ("-shared -depth 6", ["-shared", "-colors", "64", "-depth", "6"]),
        ("-palette", ["-palette", game, "-transparent", "ff00ff"]),
        ("-palette -free", ["-palette", game, "-free", "192-255"]),
        ("-palette -free -shared", ["-palette", game, "-free", "192-255", "-shared"]),
    ]
    lines += ["## The same bytes every time", "",
              "%d inputs (120 sprites and the first three photos above); each form run with OMP_NUM_THREADS=1, 2 and 8, %d times "
              "each, the inputs in their order and in %d shuffled orders; the hash covers every output's name and bytes "
              "(and the `-palette-out` file of `-shared`)." % (len(inputs), runs, 2), "",
              "| form | runs | distinct hashes | hash | seconds, 1 / 2 / 8 threads |", "|---|---:|---:|---|---|"]
    rng = random.Random(33)
    orders = [inputs] + [rng.sample(inputs, len(inputs)) for _ in range(2)]
    bad = 0
    for name, args in forms:
        hashes = []
        seconds = {}
        for threads in (1, 2, 8):
            for r in range(runs):
                for order in orders:
                    out = os.path.join(work, "same")
                    shutil.rmtree(out, ignore_errors=True)
                    os.makedirs(out)
                    extra = ["-palette-out", os.path.join(out, "set.act")] if "-shared" in args and "-palette" not in args else []
                    t0 = time.monotonic()
                    run([conv, "-q", "-outdir", out] + args + extra + order, env={"OMP_NUM_THREADS": str(threads)})
                    seconds.setdefault(threads, []).append(time.monotonic() - t0)
                    hashes.append(digest(out))
        distinct = len(set(hashes))
        bad += distinct != 1
        lines.append("| %s | %d | %d | %s | %s |" % (name, len(hashes), distinct, hashes[0], " / ".join(
            "%.2f" % sorted(seconds[t])[len(seconds[t]) // 2] for t in (1, 2, 8))))
        log(lines[-1])
    lines += ["", "Forms whose outputs changed: %d" % bad, ""]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--converter", default=os.path.join(ROOT, "build", "converter", "palettrim-convert"))
    ap.add_argument("--output")
    ap.add_argument("--work")
    ap.add_argument("--runs", type=int, default=2)
    ap.add_argument("--part", choices=["all", "grid", "same", "bound"], default="all",
                    help="bound: the grid part, and for each goal missed the most any palette on the grid can reach")
    ap.add_argument("--bound-rounds", type=int, default=300,
                    help="with --part bound: subgradient rounds of each bound at most (default 300)")
    ap.add_argument("--settle", action="store_true",
                    help="with --part bound: each bound until it settles, not only until it passes the goal")
    ap.add_argument("--colors", type=int, action="append", choices=[16, 256],
                    help="the grid part at this count only (repeatable; default 16 and 256)")
    a = ap.parse_args()
    work = a.work or tempfile.mkdtemp(prefix="depth_bench.")
    os.makedirs(work, exist_ok=True)
    pictures = photos(work)
    sprites = sprite_set(work)
    head = run(["git", "-C", ROOT, "log", "-1", "--format=%h %s"]).stdout.decode().strip()
    lines = ["# Depth and same-bytes bench", "",
             "- Date: %s UTC" % time.strftime("%Y-%m-%d %H:%M", time.gmtime()),
             "- Command: `bench/depth_bench/depth_bench.py%s`" % "".join(" " + x for x in sys.argv[1:]),
             "- Source: %s" % head,
             "- Pictures: %s (skimage's data), %d pingus sprites" % (", ".join(os.path.basename(p) for p in pictures),
                                                                    len(sprites)),
             "- Load average (1 min) at the start: %.2f" % os.getloadavg()[0], ""]
    if a.part in ("all", "grid", "bound"):
        grid_part(a.converter, pictures, sprites, work, lines, tuple(a.colors or (16, 256)),
                  (a.bound_rounds, a.settle) if a.part == "bound" else None)
    if a.part in ("all", "same"):
        same_part(a.converter, pictures, sprites, work, lines, a.runs)
    lines.append("Load average (1 min) at the end: %.2f" % os.getloadavg()[0])
    text = "\n".join(lines) + "\n"
    if a.output:
        open(a.output, "w").write(text)
    print(text)
    if not a.work:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
