#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Game palettes in palettrim-convert against ImageMagick, in one run: see README.md here."""

import argparse
import glob
import hashlib
import os
import re
import resource
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np
from PIL import Image

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PINGUS = "/usr/share/games/pingus/data/images/pingus/player0"
GAME_PALETTE = os.path.join(ROOT, "tests/data/pcx/allegro_allegro.pcx")
KEY = (255, 0, 255)


def log(*a):
    print(*a, file=sys.stderr, flush=True)


def run(cmd, **kw):
    return subprocess.run(cmd, check=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE, **kw)


def timed(cmd, stdin=None):
    """Wall seconds and peak resident MB of one command (through /usr/bin/time)."""
    t0 = time.monotonic()
    p = subprocess.run(["/usr/bin/time", "-f", "%M"] + cmd, stdin=stdin, stdout=subprocess.DEVNULL,
                       stderr=subprocess.PIPE, check=False)
    wall = time.monotonic() - t0
    if p.returncode != 0:
        raise RuntimeError("%s failed: %s" % (cmd[:3], p.stderr.decode(errors="replace")[-500:]))
    return wall, int(p.stderr.decode().strip().splitlines()[-1]) / 1024.0


# ---- the sets ----

def sprite_frames():
    """Every frame the .sprite files of pingus-data's player0 cut from their sheets, onto #ff00ff."""
    frames = {}
    for spr in sorted(glob.glob(os.path.join(PINGUS, "**/*.sprite"), recursive=True)):
        text = open(spr).read()
        image = re.search(r'\(image "([^"]+)"\)', text)
        size = re.search(r"\(size (\d+) (\d+)\)", text)
        array = re.search(r"\(array (\d+) (\d+)\)", text)
        pos = re.search(r"\(position (\d+) (\d+)\)", text)
        if not (image and size and array):
            continue
        sheet = os.path.normpath(os.path.join(os.path.dirname(spr), image.group(1)))
        w, h = int(size.group(1)), int(size.group(2))
        cols, rows = int(array.group(1)), int(array.group(2))
        x0, y0 = (int(pos.group(1)), int(pos.group(2))) if pos else (0, 0)
        im = Image.open(sheet).convert("RGBA")
        name = os.path.relpath(spr, PINGUS)[:-len(".sprite")].replace("/", "-")
        for r in range(rows):
            for c in range(cols):
                box = (x0 + c * w, y0 + r * h, x0 + (c + 1) * w, y0 + (r + 1) * h)
                if box[2] > im.width or box[3] > im.height:
                    continue
                flat = Image.new("RGBA", (w, h), KEY + (255,))
                flat.alpha_composite(im.crop(box))
                frames["%s-%02d.pcx" % (name, r * cols + c)] = flat.convert("RGB")
    return frames


def make_sets(work):
    sprites = os.path.join(work, "sprites")
    os.makedirs(sprites, exist_ok=True)
    for name, im in sprite_frames().items():
        im.save(os.path.join(sprites, name))  # Pillow writes RGB as 8 bits x 3 planes
    small = os.path.join(work, "small")
    os.makedirs(small, exist_ok=True)
    for folder in (os.path.join(ROOT, "tests/data/pcx"), os.path.join(ROOT, "bench/out/corpus")):
        for f in sorted(glob.glob(os.path.join(folder, "*.pcx"))):
            if os.path.getsize(f) < 64 * 1024:
                shutil.copy(f, small)
    return {"pingus sprites": sorted(glob.glob(os.path.join(sprites, "*.pcx"))),
            "small corpus files": sorted(glob.glob(os.path.join(small, "*.pcx")))}


# ---- pictures ----

def rgb_of(path):
    """A file as netpbm's pcxtoppm reads it, as an array."""
    ppm = run(["pcxtoppm", path]).stdout
    m = re.match(rb"P6\s+(\d+)\s+(\d+)\s+(\d+)\s", ppm)
    w, h = int(m.group(1)), int(m.group(2))
    return np.frombuffer(ppm[m.end():m.end() + w * h * 3], np.uint8).reshape(h, w, 3)


def pooled_psnr(pairs):
    se, n = 0.0, 0
    for a, b in pairs:
        d = a.astype(np.int64) - b.astype(np.int64)
        se += float((d * d).sum())
        n += d.size
    return 60.0 if se == 0 else min(60.0, 10 * np.log10(255.0 ** 2 * n / se))


def distinct_colours(files):
    seen = set()
    for f in files:
        a = rgb_of(f).reshape(-1, 3)
        seen.update(map(bytes, np.unique(a, axis=0)))
    return len(seen)


def pcx_palette_block(path):
    b = open(path, "rb").read()
    return b[-769:] if len(b) > 897 and b[-769] == 12 else None


def pcx_indices(path):
    im = Image.open(path)
    return np.asarray(im) if im.mode == "P" else None


# ---- the runs ----

class Bench:
    def __init__(self, args, work):
        self.conv = args.converter
        self.work = work
        self.lines = []
        self.goals = []

    def out(self, line=""):
        self.lines.append(line)

    def goal(self, text, ok):
        self.goals.append("- %s: %s" % (text, "met" if ok else "MISSED"))

    def fresh(self, *parts):
        d = os.path.join(self.work, *parts)
        shutil.rmtree(d, ignore_errors=True)
        os.makedirs(d)
        return d

    def names_file(self, files):
        path = os.path.join(self.work, "names0")
        with open(path, "wb") as f:
            f.write(b"".join(os.fsencode(p) + b"\0" for p in files))
        return path

    def ours_shared(self, files, n, dest, extra=()):
        names = self.names_file(files)
        return timed([self.conv, "-q", "-shared", "-colors", str(n), *extra, "-outdir", dest, "-files0-from", names])

    def ours_each(self, files, n, dest):
        names = self.names_file(files)
        return timed([self.conv, "-q", "-colors", str(n), "-outdir", dest, "-files0-from", names])

    def ours_palette(self, files, palette, dest, extra=()):
        names = self.names_file(files)
        return timed([self.conv, "-q", "-palette", palette, *extra, "-outdir", dest, "-files0-from", names])

    def magick_shared(self, files, n, dest):
        m = os.path.join(self.work, "map.png")
        t0 = time.monotonic()
        run(["convert", *files, "-append", "-colors", str(n), "-unique-colors", m])
        for f in files:
            run(["convert", f, "-dither", "None", "-remap", m, os.path.join(dest, os.path.basename(f))])
        return time.monotonic() - t0

    def magick_palette(self, files, swatch, dest):
        for f in files:
            run(["convert", f, "-dither", "None", "-remap", swatch, os.path.join(dest, os.path.basename(f))])

    def measure(self, files, dest):
        outs = [os.path.join(dest, os.path.basename(f)) for f in files]
        psnr = pooled_psnr((rgb_of(f), rgb_of(o)) for f, o in zip(files, outs))
        return psnr, sum(os.path.getsize(o) for o in outs)

    # Quality and size of one shared palette against ImageMagick's two steps, and the cost of sharing.
    def quality_shared(self, sets):
        self.out("## One palette for the set (`-shared`), no dither")
        self.out()
        self.out("| set | N | palettrim PSNR | bytes | ImageMagick PSNR | bytes | dB | bytes ratio | file by file PSNR | bytes |")
        self.out("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
        for name, files in sets.items():
            colours = distinct_colours(files)
            for n in (256, 64, 16):
                if n == 256 and colours <= 256:
                    continue
                ours = self.fresh("shared", str(n))
                self.ours_shared(files, n, ours)
                im = self.fresh("magick-shared", str(n))
                self.magick_shared(files, n, im)
                each = self.fresh("each", str(n))
                self.ours_each(files, n, each)
                (p, b), (ip, ib), (ep, eb) = self.measure(files, ours), self.measure(files, im), self.measure(files, each)
                self.out("| %s (%d colours) | %d | %.2f | %s | %.2f | %s | %+.2f | %.3f | %.2f | %s |" % (
                    name, colours, n, p, f"{b:,}", ip, f"{ib:,}", p - ip, b / ib, ep, f"{eb:,}"))
                self.goal("%s, N=%d: `-shared` PSNR %.2f vs ImageMagick's two steps %.2f (%+.2f dB, at least +0.5)"
                          % (name, n, p, ip, p - ip), p >= ip + 0.5)
                self.goal("%s, N=%d: `-shared` bytes %s vs ImageMagick's %s = %.3fx (at most 0.91)"
                          % (name, n, f"{b:,}", f"{ib:,}", b / ib), b <= 0.91 * ib)
        self.out()

    def quality_palette(self, sets, palette):
        swatch = os.path.join(self.work, "swatch.png")
        entries = list(Image.open(palette).getpalette()[:768])
        sw = Image.new("RGB", (16, 16))
        sw.putdata([tuple(entries[3 * i:3 * i + 3]) for i in range(256)])
        sw.save(swatch)
        self.out("## To the game palette of `allegro_allegro.pcx` (`-palette`), no dither")
        self.out()
        self.out("| set | palettrim PSNR | bytes | ImageMagick PSNR | bytes | dB | bytes ratio |")
        self.out("|---|---:|---:|---:|---:|---:|---:|")
        for name, files in sets.items():
            ours = self.fresh("palette")
            self.ours_palette(files, palette, ours)
            im = self.fresh("magick-palette")
            self.magick_palette(files, swatch, im)
            (p, b), (ip, ib) = self.measure(files, ours), self.measure(files, im)
            self.out("| %s | %.2f | %s | %.2f | %s | %+.2f | %.3f |" % (name, p, f"{b:,}", ip, f"{ib:,}", p - ip, b / ib))
            self.goal("%s: `-palette` PSNR %.2f vs ImageMagick's `-remap` %.2f (%+.2f dB, at least -0.35)"
                      % (name, p, ip, p - ip), p >= ip - 0.35)
            self.goal("%s: `-palette` bytes %s vs ImageMagick's %s = %.3fx (at most 0.95)" % (name, f"{b:,}", f"{ib:,}", b / ib),
                      b <= 0.95 * ib)
        self.out()
