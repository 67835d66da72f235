#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Mappings to a palette in palettrim-convert against their peers, in one run: see README.md here."""
import argparse, os, shutil, statistics, struct, subprocess, sys, tempfile, time

import numpy as np
from PIL import Image
from scipy.spatial import ConvexHull
from skimage import color, data, filters

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
FREEDOOM = "/usr/share/games/doom/freedoom2.wad"


def log(*a):
    print(*a, file=sys.stderr, flush=True)


def run(cmd):
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL)


# --- pictures and palettes -------------------------------------------------------------------

def pictures():
    out = {}
    for name in ("astronaut", "coffee", "chelsea", "rocket"):
        im = Image.fromarray(getattr(data, name)()).convert("RGB")
        out[name] = np.asarray(im.resize((240, 180), Image.LANCZOS))
    y, x = np.mgrid[0:180, 0:240]
    out["gradient"] = np.dstack([x * 255 // 239, y * 255 // 179, 255 - (x + y) * 255 // 418]).astype(np.uint8)
    return out


def game_palette():
    """256 entries laid out as DOS games do: 16 EGA colours, 16 greys, then ramps of 28 hues."""
    pal = []
    for i in range(16):
        hi = 85 if i & 8 else 0
        pal.append(((i >> 2 & 1) * 170 + hi, (i >> 1 & 1) * 170 + hi, (i & 1) * 170 + hi))
    pal[6] = (170, 85, 0)
    pal += [(g * 17,) * 3 for g in range(16)]
    for h in range(28):
        for level in range(8):
            hsv = np.array([[[h / 28, 0.35 + 0.65 * (level % 2 == 0), 0.2 + 0.8 * (level // 2 + 1) / 4]]])
            r, g, b = (color.hsv2rgb(hsv)[0, 0] * 255).round().astype(int)
            pal.append((int(r), int(g), int(b)))
    return np.array(pal[:256], dtype=np.uint8)


def median_cut_palette(rgb, n):
    im = Image.fromarray(rgb).convert("RGB").quantize(n, method=Image.Quantize.MEDIANCUT)
    return np.array(im.getpalette()[: 3 * n], dtype=np.uint8).reshape(-1, 3)


def set_palette(pics, n):
    """One palette for the whole set, as a modder makes with -shared: a median cut of the pictures
    side by side."""
    return median_cut_palette(np.concatenate(list(pics.values()), axis=0), n)


def other_palette(n):
    """A median cut of a picture outside the set (skimage's immunohistochemistry): every mapping
    does badly with it, so it is shown but counts for no goal."""
    return median_cut_palette(data.immunohistochemistry(), n)


def wad_lump(path, name):
    """A lump of a Doom WAD, found through the WAD's directory (16-byte entries: offset, size, name)."""
    with open(path, "rb") as f:
        ident, count, diroff = struct.unpack("<4sii", f.read(12))
        if ident not in (b"IWAD", b"PWAD"):
            raise ValueError("%s: not a WAD" % path)
        f.seek(diroff)
        directory = f.read(16 * count)
        for i in range(count):
            pos, size, lump = struct.unpack_from("<ii8s", directory, 16 * i)
            if lump.rstrip(b"\0") == name:
                f.seek(pos)
                return f.read(size)
    raise KeyError("%s: no %s lump" % (path, name.decode()))


def doom_palette():
    """Freedoom's game palette: PLAYPAL holds 14 palettes (pain and pickup tints), the first is the game's."""
    if not os.path.exists(FREEDOOM):
        sys.exit("%s is missing: install the freedoom package (scripts/bootstrap.sh)" % FREEDOOM)
    return np.frombuffer(wad_lump(FREEDOOM, b"PLAYPAL")[:768], dtype=np.uint8).reshape(256, 3)


# The palettes the goals are judged on; the others are shown alone.
GOAL_PALETTES = ("game256", "doom256")


def write_palette(pal, path):
    """As a JASC-PAL file, which holds exactly its entries (an 8-bit PCX always holds 256)."""
    with open(path, "w") as f:
        f.write("JASC-PAL\r\n0100\r\n%d\r\n" % len(pal))
        for r, g, b in pal:
            f.write("%d %d %d\r\n" % (r, g, b))


def write_swatch(pal, path):
    Image.fromarray(pal.reshape(1, -1, 3)).save(path)


def save_pcx(rgb, path):
    Image.fromarray(rgb).save(path)


def read_indices(path):
    im = Image.open(path)
    assert im.mode == "P", path
    return np.asarray(im)


def read_rgb(path):
    return np.asarray(Image.open(path).convert("RGB"))


# --- references ------------------------------------------------------------------------------

def nearest_rgb(pal, c):
    p = pal.astype(np.int64)
    out = np.empty(len(c), dtype=np.int64)
    for s in range(0, len(c), 4096):
        d = ((c[s:s + 4096, None, :].astype(np.int64) - p[None]) ** 2).sum(2)
        out[s:s + 4096] = d.argmin(1)
    return out


def bayer8():
    m = np.array([[0]])
    while m.shape[0] < 8:
        m = np.block([[4 * m, 4 * m + 2], [4 * m + 3, 4 * m + 1]])
    return m


def knoll(img, pal, multiplier, n=64):
    """Knoll's pattern dithering: n candidates, each the nearest entry to the colour plus the error
    so far times the multiplier, sorted by luminance, one picked by an 8x8 threshold matrix."""
    h, w, _ = img.shape
    src = img.reshape(-1, 3).astype(np.int64)
    uniq, inv = np.unique(src, axis=0, return_inverse=True)
    err = np.zeros_like(uniq, dtype=np.float64)
    plans = np.empty((len(uniq), n), dtype=np.int64)
    for k in range(n):
        goal = np.clip(np.round(uniq + err * multiplier), 0, 255).astype(np.int64)
        chosen = nearest_rgb(pal, goal)
        plans[:, k] = chosen
        err += uniq - pal[chosen].astype(np.int64)
    luma = pal.astype(np.int64) @ np.array([299, 587, 114])
    plans = np.take_along_axis(plans, np.argsort(luma[plans], axis=1, kind="stable"), 1)
    yy, xx = np.mgrid[0:h, 0:w]
    pick = (bayer8()[yy % 8, xx % 8] * n // 64).reshape(-1)
    return pal[plans[inv.reshape(-1), pick]].reshape(h, w, 3)


def bayer_added(img, pal, spread):
    h, w, _ = img.shape
    yy, xx = np.mgrid[0:h, 0:w]
    t = ((bayer8()[yy % 8, xx % 8] + 0.5) / 64 - 0.5) * spread
    v = np.clip(np.round(img + t[..., None]), 0, 255).reshape(-1, 3)
    return pal[nearest_rgb(pal, v)].reshape(h, w, 3)


def blur(a):
    # The 'nearest' border repeats edge pixels, so every output is still a weighted mean of input
    # pixels with non-negative weights summing to 1: the hull bound below rests on it.
    return filters.gaussian(a.astype(float), sigma=1, mode="nearest", channel_axis=2, preserve_range=True)


def blurred_psnr(a, b):
    return 10 * np.log10(255.0 ** 2 / ((blur(a) - blur(b)) ** 2).mean())


def hull_distance(pal, pts):
    """The exact Euclidean distance of each point to the convex hull of the entries, 0 inside."""
    hull = ConvexHull(pal.astype(np.float64))
    eq = hull.equations
    pts = np.asarray(pts, np.float64)
    out = np.zeros(len(pts))
    outside = np.flatnonzero((pts @ eq[:, :3].T + eq[:, 3]).max(1) > 1e-9)
    a, b, c = (hull.points[hull.simplices[:, k]] for k in range(3))
    n = np.cross(b - a, c - a)
    nn = (n * n).sum(1)
    u, v = b - a, c - a
    uu, uv, vv = (u * u).sum(1), (u * v).sum(1), (v * v).sum(1)
    den = uu * vv - uv * uv
    for s in range(0, len(outside), 1024):
        p = pts[outside[s:s + 1024]][:, None, :]
        # Outside the hull the nearest point is on its surface: on a facet's face when the
        # point's foot on that plane falls inside the triangle, else on one of its edges.
        t = ((p - a) * n).sum(2) / nn
        q = p - t[..., None] * n - a
        qu, qv = (q * u).sum(2), (q * v).sum(2)
        bu, bv = (vv * qu - uv * qv) / den, (uu * qv - uv * qu) / den
        face = (bu >= 0) & (bv >= 0) & (bu + bv <= 1)
        best = np.where(face, np.abs(t) * np.sqrt(nn), np.inf).min(1)
        for e0, e1 in ((a, b), (b, c), (c, a)):
            e = e1 - e0
            k = np.clip(((p - e0) * e).sum(2) / (e * e).sum(1), 0, 1)
            best = np.minimum(best, np.sqrt((((p - e0) - k[..., None] * e) ** 2).sum(2)).min(1))
        out[outside[s:s + 1024]] = best
    return out


def hull_bound(img, pal):
    """The best blurred PSNR any mapping to pal can reach: the blur of a picture made of entries is
    a weighted mean of entries at every pixel, so it stays inside their hull, and each pixel errs by
    at least the distance of the blurred original to that hull."""
    d = hull_distance(pal, blur(img).reshape(-1, 3))
    mse = (d * d).sum() / img.size
    return float("inf") if mse == 0 else 10 * np.log10(255.0 ** 2 / mse)


def oklab(rgb):
    """As the converter computes it, in the same order of operations."""
    v = rgb.astype(np.float64) / 255.0
    lin = np.where(v <= 0.04045, v / 12.92, np.power((v + 0.055) / 1.055, 2.4))
    r, g, b = lin[..., 0], lin[..., 1], lin[..., 2]
    l = np.cbrt(0.4122214708 * r + 0.5363325363 * g + 0.0514459929 * b)
    m = np.cbrt(0.2119034982 * r + 0.6806995451 * g + 0.1073969566 * b)
    s = np.cbrt(0.0883024619 * r + 0.2817188376 * g + 0.6299787005 * b)
    return np.stack([0.2104542553 * l + 0.7936177850 * m - 0.0040720468 * s,
                     1.9779984951 * l - 2.4285922050 * m + 0.4505937099 * s,
                     0.0259040371 * l + 0.7827717662 * m - 0.8086757660 * s], -1)


def nearest_oklab(pal, c):
    """A search of every entry, the lowest index winning a tie (argmin takes the first)."""
    pl = oklab(pal)
    out = np.empty(len(c), dtype=np.int64)
    cl = oklab(c)
    for s in range(0, len(c), 4096):
        d = cl[s:s + 4096, None, :] - pl[None]
        d = d[..., 0] * d[..., 0] + d[..., 1] * d[..., 1] + d[..., 2] * d[..., 2]
        out[s:s + 4096] = d.argmin(1)
    return out


def ciede(a, b):
    return float(color.deltaE_ciede2000(color.rgb2lab(a), color.rgb2lab(b)).mean())


# --- the run ---------------------------------------------------------------------------------

class Bench:
    def __init__(self, args, work):
        self.conv = args.converter
        self.work = work
        self.lines = []
        self.repeat = args.repeat

    def out(self, line=""):
        print(line, flush=True)
        self.lines.append(line)

    def ours(self, src, pal_pcx, dest, *extra):
        run([self.conv, "-q", "-palette", pal_pcx, *extra, "-o", dest, src])
        return dest

    def timed(self, cmd):
        walls, users = [], []
        for _ in range(self.repeat):
            before = os.times()
            t = time.perf_counter()
            run(cmd)
            walls.append(time.perf_counter() - t)
            after = os.times()
            users.append(after.children_user - before.children_user + after.children_system - before.children_system)
        return statistics.median(walls), statistics.median(users)


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--converter", default=os.path.join(ROOT, "build/converter/palettrim-convert"))
    ap.add_argument("--output", help="also write the report here")
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--no-big", action="store_true", help="leave out the 12-megapixel timings")
    args = ap.parse_args()
    work = tempfile.mkdtemp(prefix="mapping_bench.")
    b = Bench(args, work)
    try:
        report(b, args)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    if args.output:
        with open(args.output, "w") as f:
            f.write("\n".join(b.lines) + "\n")


def report(b, args):
    w = b.work
    pics = pictures()
    palettes = {"game256": game_palette(), "set32": set_palette(pics, 32), "other32": other_palette(32),
                "doom256": doom_palette()}
    files = {}
    for name, rgb in pics.items():
        files[name] = os.path.join(w, name + ".pcx")
        save_pcx(rgb, files[name])
    b.out("# Mapping bench")
    b.out()
    b.out("Load average at the start: %.2f %.2f %.2f" % os.getloadavg())
    b.out()
    b.out("Pictures: skimage's astronaut, coffee, chelsea and rocket at 240x180, and a gradient. Palettes: "
          "game256, a DOS-like 256 (EGA colours, greys, hue ramps); set32, Pillow's median cut to 32 of the "
          "five pictures together (one palette for the set, of the kind -shared makes); other32, Pillow's median cut "
          "to 32 of skimage's immunohistochemistry, a palette made for another picture; doom256, the game palette "
          "of Freedoom (PLAYPAL). The goals are judged on the two game palettes, game256 and doom256: a game's "
          "fixed palette is what these mappings are for. set32's rows are shown with each goal's verdict but not "
          "counted: with 32 entries for five photos the palette, not the mapping, limits every score (see the hull "
          "bound). With other32 every mapping scores badly and alike (its colours are not the pictures'), so its "
          "rows are shown for the record and count for nothing.")

    # Pattern dither quality.
    b.out()
    b.out("## -dither pattern: PSNR after a Gaussian blur of sigma 1 px (dB)")
    b.out()
    b.out("Hull bound: the best any mapping to the palette can score. Blurring a picture made of entries gives at "
          "each pixel a weighted mean of entries, a point in their convex hull, so no mapping errs by less than "
          "the distance of the blurred original to that hull (computed exactly); none where the blurred original is "
          "inside the hull at every pixel.")
    b.out()
    b.out("| palette | picture | pattern | Knoll x0.09 | Knoll x0.5 | Knoll x1 | best Knoll | Bayer added (best of 16/32/64) | diffuse | nearest | hull bound |")
    b.out("|---|---|---|---|---|---|---|---|---|---|---|")
    above_knoll, above_bayer, diffuse_bayer, beyond = {}, {}, {}, {}
    for pname, pal in palettes.items():
        ppcx = os.path.join(w, pname + ".pal")
        write_palette(pal, ppcx)
        for name, rgb in pics.items():
            log("pattern", pname, name)
            ours = read_rgb(b.ours(files[name], ppcx, os.path.join(w, "p.pcx"), "-dither", "pattern"))
            diffuse = read_rgb(b.ours(files[name], ppcx, os.path.join(w, "d.pcx"), "-dither", "diffuse"))
            plain = read_rgb(b.ours(files[name], ppcx, os.path.join(w, "n.pcx")))
            kn = [blurred_psnr(rgb, knoll(rgb, pal, x)) for x in (0.09, 0.5, 1.0)]
            by = max(blurred_psnr(rgb, bayer_added(rgb, pal, s)) for s in (16, 32, 64))
            ps = blurred_psnr(rgb, ours)
            above_knoll.setdefault(pname, []).append(ps - max(kn))
            above_bayer.setdefault(pname, []).append(ps - by)
            pd = blurred_psnr(rgb, diffuse)
            diffuse_bayer.setdefault(pname, []).append(pd - by)
            pn = blurred_psnr(rgb, plain)
            bound = hull_bound(rgb, pal)
            # Every mapping here is one to the palette: one above the bound means the bound is wrong.
            assert max(ps, pd, pn, by, *kn) <= bound + 1e-6, (pname, name, bound)
            if by + 4 > bound:
                beyond.setdefault(pname, []).append((name, by + 4, bound))
            b.out("| %s | %s | %.2f | %.2f | %.2f | %.2f | %+.2f | %.2f | %.2f | %.2f | %s |" % (
                pname, name, ps, kn[0], kn[1], kn[2], ps - max(kn), by, pd, pn,
                "none" if bound == float("inf") else "%.2f" % bound))
    b.out()
    for pname in palettes:
        kn, by = above_knoll[pname], above_bayer[pname]
        if pname in GOAL_PALETTES or pname == "set32":
            b.out("- %s%s: above the best Knoll on every picture: %s (%+.2f dB at least, %+.2f on average); "
                  "4 dB above the Bayer added on every picture: %s (%+.2f dB at least, %+.2f on average; "
                  "error diffusion, for scale, %+.2f dB at least)." % (
                      pname, "" if pname in GOAL_PALETTES else " (shown, not counted)",
                      "met" if min(kn) > 0 else "NOT MET", min(kn), sum(kn) / len(kn),
                      "met" if min(by) >= 4 else "NOT MET", min(by), sum(by) / len(by), min(diffuse_bayer[pname])))
        else:
            b.out("- %s (not counted, a palette for another picture): %+.2f dB at least above the best Knoll, "
                  "%+.2f dB at least above the Bayer added." % (pname, min(kn), min(by)))
        if pname in beyond:
            b.out("  - the Bayer added + 4 dB lies above the hull bound, out of reach of any mapping to %s, on %s." % (
                pname, "; ".join("%s (%.2f against %.2f)" % t for t in beyond[pname])))
        else:
            b.out("  - the Bayer added + 4 dB lies within the hull bound on every picture.")

    # The moved sprite.
    b.out()
    b.out("## A sprite moved by one pixel over a still picture (game256)")
    b.out()
    ppcx = os.path.join(w, "game256.pal")
    bg = pics["coffee"].copy()
    sprite = pics["rocket"][60:84, 100:124]
    frames = []
    for dx in (0, 1):
        f = bg.copy()
        f[70:94, 80 + dx:104 + dx] = sprite
        frames.append(os.path.join(w, "frame%d.pcx" % dx))
        save_pcx(f, frames[-1])
    outside = np.ones(bg.shape[:2], bool)
    outside[70:94, 80:105] = False
    b.out("| mapping | background pixels whose index changed |")
    b.out("|---|---|")
    for label, extra in (("-dither pattern", ["-dither", "pattern"]), ("-dither diffuse", ["-dither", "diffuse"]), ("no dither", [])):
        idx = [read_indices(b.ours(f, ppcx, f + ".out.pcx", *extra)) for f in frames]
        changed = int(((idx[0] != idx[1]) & outside).sum())
        b.out("| %s | %d of %d (%.1f%%) |" % (label, changed, outside.sum(), 100.0 * changed / outside.sum()))

    # OKLab.
    b.out()
    b.out("## -match oklab: against a search of every entry, and mean CIEDE2000")
    b.out()
    b.out("| palette | picture | pixels differing from brute force | oklab | rgb | ImageMagick -remap | Pillow quantize | oklab/rgb |")
    b.out("|---|---|---|---|---|---|---|---|")
    total_diff, pooled, below_all = 0, {}, {}
    for pname, pal in palettes.items():
        ppcx = os.path.join(w, pname + ".pal")
        swatch = os.path.join(w, pname + ".png")
        write_swatch(pal, swatch)
        ppal = Image.new("P", (1, 1))
        ppal.putpalette(list(pal.reshape(-1)) + list(pal[0]) * (256 - len(pal)))
        for name, rgb in pics.items():
            log("oklab", pname, name)
            oi = read_indices(b.ours(files[name], ppcx, os.path.join(w, "o.pcx"), "-match", "oklab"))
            brute = nearest_oklab(pal, rgb.reshape(-1, 3)).reshape(rgb.shape[:2])
            diff = int((oi != brute).sum())
            total_diff += diff
            ok = pal[oi]
            rg = read_rgb(b.ours(files[name], ppcx, os.path.join(w, "r.pcx")))
            im_out = os.path.join(w, "im.png")
            run(["convert", files[name], "-dither", "None", "-remap", swatch, im_out])
            im = read_rgb(im_out)
            pil = np.asarray(Image.fromarray(rgb).quantize(palette=ppal, dither=Image.Dither.NONE).convert("RGB"))
            e = {k: ciede(rgb, v) for k, v in (("oklab", ok), ("rgb", rg), ("im", im), ("pil", pil))}
            sums = pooled.setdefault(pname, {"oklab": 0.0, "rgb": 0.0})
            sums["oklab"] += e["oklab"]
            sums["rgb"] += e["rgb"]
            below_all[pname] = below_all.get(pname, True) and e["oklab"] < min(e["rgb"], e["im"], e["pil"])
            b.out("| %s | %s | %d | %.3f | %.3f | %.3f | %.3f | %.3f |" % (
                pname, name, diff, e["oklab"], e["rgb"], e["im"], e["pil"], e["oklab"] / e["rgb"]))
    b.out()
    b.out("Differences from brute force over all pixels: %d." % total_diff)
    b.out()
    for pname in palettes:
        ratio = pooled[pname]["oklab"] / pooled[pname]["rgb"]
        if pname in GOAL_PALETTES or pname == "set32":
            b.out("- %s%s: pooled mean CIEDE2000, oklab against rgb: %.3fx, at most 0.95x: %s; below rgb, ImageMagick "
                  "and Pillow on every picture: %s." % (
                      pname, "" if pname in GOAL_PALETTES else " (shown, not counted)", ratio,
                      "met" if ratio <= 0.95 else "NOT MET", "met" if below_all[pname] else "NOT MET"))
        else:
            b.out("- %s (not counted, a palette for another picture): pooled oklab against rgb %.3fx; below every peer "
                  "on every picture: %s." % (pname, ratio, "yes" if below_all[pname] else "no"))
    goal_ok = sum(pooled[p]["oklab"] for p in GOAL_PALETTES)
    goal_rgb = sum(pooled[p]["rgb"] for p in GOAL_PALETTES)
    b.out()
    b.out("Pooled over %s: oklab against rgb %.3fx, at most 0.95x: %s; below every peer on every picture: %s." % (
        " and ".join(GOAL_PALETTES), goal_ok / goal_rgb, "met" if goal_ok / goal_rgb <= 0.95 else "NOT MET",
        "met" if all(below_all[p] for p in GOAL_PALETTES) else "NOT MET"))

    if args.no_big:
        return
    # Speed on a 12-megapixel photo.
    b.out()
    b.out("## 12-megapixel photo to the 256-entry palette (wall and processor seconds, median of %d)" % b.repeat)
    b.out()
    big = os.path.join(w, "photo12mp.pcx")
    Image.fromarray(data.coffee()).resize((4000, 3000), Image.LANCZOS).save(big)
    ppcx = os.path.join(w, "game256.pal")
    dest = os.path.join("/dev/shm" if os.path.isdir("/dev/shm") else w, "mapping_bench_out.pcx")
    rows = {}
    for label, extra in (("-dither diffuse", ["-dither", "diffuse"]), ("-dither pattern", ["-dither", "pattern"]),
                         ("-match rgb", ["-match", "rgb"]), ("-match oklab", ["-match", "oklab"])):
        log("12 MP", label)
        rows[label] = b.timed([b.conv, "-q", "-palette", ppcx, *extra, "-o", dest, big])
    if os.path.exists(dest):
        os.remove(dest)
    b.out("| form | wall | processor |")
    b.out("|---|---|---|")
    for label, (wall, user) in rows.items():
        b.out("| %s | %.2f | %.2f |" % (label, wall, user))
    b.out()
    b.out("pattern / diffuse: %.2fx wall, %.2fx processor; oklab / rgb: %.2fx wall, %.2fx processor." % (
        rows["-dither pattern"][0] / rows["-dither diffuse"][0], rows["-dither pattern"][1] / rows["-dither diffuse"][1],
        rows["-match oklab"][0] / rows["-match rgb"][0], rows["-match oklab"][1] / rows["-match rgb"][1]))
    b.out()
    b.out("Load average at the end: %.2f %.2f %.2f" % os.getloadavg())


if __name__ == "__main__":
    main()
