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


def instructions(cmd):
    """The instructions a command runs, counted by callgrind (the same whatever the load); None
    without valgrind. OMP_WAIT_POLICY set keeps the converter from starting itself again."""
    if not shutil.which("valgrind"):
        return None
    with tempfile.TemporaryDirectory() as td:
        p = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + os.path.join(td, "out")] + cmd,
                           env=dict(os.environ, OMP_WAIT_POLICY="passive"), stdout=subprocess.DEVNULL,
                           stderr=subprocess.PIPE, text=True)
    m = re.search(r"Collected : (\d+)", p.stderr)
    return int(m.group(1)) if p.returncode == 0 and m else None


def timed(cmd, stdin=None):
    """Wall seconds, peak resident MB and user processor seconds of one command (through /usr/bin/time)."""
    t0 = time.monotonic()
    p = subprocess.run(["/usr/bin/time", "-f", "%M %U"] + cmd, stdin=stdin, stdout=subprocess.DEVNULL,
                       stderr=subprocess.PIPE, check=False)
    wall = time.monotonic() - t0
    if p.returncode != 0:
        raise RuntimeError("%s failed: %s" % (cmd[:3], p.stderr.decode(errors="replace")[-500:]))
    peak, user = p.stderr.decode().strip().splitlines()[-1].split()
    return wall, int(peak) / 1024.0, float(user)


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
        # The speed runs write into memory where it can: a thousand small files synced to a disk
        # that others use time the disk, not the converter (both sides write as many files).
        shm = "/dev/shm" if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK) else None
        self.outputs = tempfile.mkdtemp(prefix="palette-bench-", dir=shm) if shm else work

    def out(self, line=""):
        self.lines.append(line)

    def goal(self, text, ok):
        self.goals.append("- %s: %s" % (text, "met" if ok else "MISSED"))

    def fresh(self, *parts):
        d = os.path.join(self.outputs if parts[0].startswith("sp-") else self.work, *parts)
        shutil.rmtree(d, ignore_errors=True)
        os.makedirs(d)
        return d

    def names_file(self, files):
        path = os.path.join(self.work, "names0")
        with open(path, "wb") as f:
            f.write(b"".join(os.fsencode(p) + b"\0" for p in files))
        return path

    def shared_cmd(self, files, n, dest, extra=()):
        return [self.conv, "-q", "-shared", "-colors", str(n), *extra, "-outdir", dest, "-files0-from", self.names_file(files)]

    def each_cmd(self, files, n, dest):
        return [self.conv, "-q", "-colors", str(n), "-outdir", dest, "-files0-from", self.names_file(files)]

    def palette_cmd(self, files, palette, dest, extra=()):
        return [self.conv, "-q", "-palette", palette, *extra, "-outdir", dest, "-files0-from", self.names_file(files)]

    def ours_shared(self, files, n, dest, extra=()):
        return timed(self.shared_cmd(files, n, dest, extra))

    def ours_each(self, files, n, dest):
        return timed(self.each_cmd(files, n, dest))

    def ours_palette(self, files, palette, dest, extra=()):
        return timed(self.palette_cmd(files, palette, dest, extra))

    def instruction_ratio(self, a, b):
        """"; instructions (callgrind) A vs B = R" for two commands, or nothing without valgrind."""
        ia, ib = instructions(a), instructions(b)
        if not ia or not ib:
            return ""
        return "; instructions (callgrind) %s vs %s = %.2fx" % (f"{ia:,}", f"{ib:,}", ia / ib)

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
        """Pooled PSNR, total bytes, and the bytes of pixel data alone (without header and palette)."""
        outs = [os.path.join(dest, os.path.basename(f)) for f in files]
        psnr = pooled_psnr((rgb_of(f), rgb_of(o)) for f, o in zip(files, outs))
        total = sum(os.path.getsize(o) for o in outs)
        return psnr, total, total - sum(128 + (769 if pcx_palette_block(o) else 0) for o in outs)

    # Quality and size of one shared palette against ImageMagick's two steps, and the cost of sharing.
    def quality_shared(self, sets):
        self.out("## One palette for the set (`-shared`), no dither")
        self.out()
        self.out("| set | N | palettrim PSNR | bytes | ImageMagick PSNR | bytes | dB | bytes ratio | pixel data ratio | file by file PSNR | bytes |")
        self.out("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
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
                (p, b, d), (ip, ib, idata), (ep, eb, _) = self.measure(files, ours), self.measure(files, im), self.measure(files, each)
                self.out("| %s (%d colours) | %d | %.2f | %s | %.2f | %s | %+.2f | %.3f | %.3f | %.2f | %s |" % (
                    name, colours, n, p, f"{b:,}", ip, f"{ib:,}", p - ip, b / ib, d / idata, ep, f"{eb:,}"))
                self.goal("%s, N=%d: `-shared` PSNR %.2f vs ImageMagick's two steps %.2f (%+.2f dB, at least +0.5)"
                          % (name, n, p, ip, p - ip), p >= ip + 0.5)
                self.goal("%s, N=%d: `-shared` bytes %s vs ImageMagick's %s = %.3fx (at most 0.91; pixel data alone %.3fx)"
                          % (name, n, f"{b:,}", f"{ib:,}", b / ib, d / idata), b <= 0.91 * ib)
        self.out()

    def quality_palette(self, sets, palette):
        swatch = os.path.join(self.work, "swatch.png")
        entries = list(Image.open(palette).getpalette()[:768])
        sw = Image.new("RGB", (16, 16))
        sw.putdata([tuple(entries[3 * i:3 * i + 3]) for i in range(256)])
        sw.save(swatch)
        self.out("## To the game palette of `allegro_allegro.pcx` (`-palette`), no dither")
        self.out()
        self.out("| set | palettrim PSNR | bytes | ImageMagick PSNR | bytes | dB | bytes ratio | pixel data ratio |")
        self.out("|---|---:|---:|---:|---:|---:|---:|---:|")
        for name, files in sets.items():
            ours = self.fresh("palette")
            self.ours_palette(files, palette, ours)
            im = self.fresh("magick-palette")
            self.magick_palette(files, swatch, im)
            (p, b, d), (ip, ib, idata) = self.measure(files, ours), self.measure(files, im)
            self.out("| %s | %.2f | %s | %.2f | %s | %+.2f | %.3f | %.3f |" % (name, p, f"{b:,}", ip, f"{ib:,}", p - ip, b / ib, d / idata))
            self.goal("%s: `-palette` PSNR %.2f vs ImageMagick's `-remap` %.2f (%+.2f dB, at least -0.35)"
                      % (name, p, ip, p - ip), p >= ip - 0.35)
            self.goal("%s: `-palette` bytes %s vs ImageMagick's %s = %.3fx (at most 0.95; pixel data alone %.3fx)"
                      % (name, f"{b:,}", f"{ib:,}", b / ib, d / idata), b <= 0.95 * ib)
        self.out()

    # ---- hard rules, every file ----

    def hard_rules(self, sets, palette):
        self.out("## Hard rules, every file")
        self.out()
        given = pcx_palette_block(palette)
        key_index = 0
        for name, files in sets.items():
            srcs = {os.path.basename(f): rgb_of(f) for f in files}
            keyed = {b: np.all(a == KEY, axis=2) for b, a in srcs.items()}
            for n in (256, 16):
                d = self.fresh("hard-shared", str(n))
                self.ours_shared(files, n, d, ("-transparent", "ff00ff:%d" % key_index))
                outs = sorted(glob.glob(os.path.join(d, "*.pcx")))
                blocks = {pcx_palette_block(o) for o in outs}
                layouts = {open(o, "rb").read(128)[1:4] + open(o, "rb").read(128)[65:66] for o in outs}
                keys = sum(np.array_equal(pcx_indices(o) == key_index, keyed[os.path.basename(o)]) for o in outs)
                self.goal("%s, `-shared -colors %d -transparent ff00ff:%d`: %d palette block(s) and %d layout(s) over %d "
                          "outputs; key pixels and only they at index %d in %d of %d"
                          % (name, n, key_index, len(blocks), len(layouts), len(outs), key_index, keys, len(outs)),
                          len(blocks) == 1 and None not in blocks and len(layouts) == 1 and keys == len(outs) == len(files))
                self.readers_agree("%s, `-shared -colors %d`" % (name, n), outs)
            d = self.fresh("hard-palette")
            self.ours_palette(files, palette, d, ("-transparent", "ff00ff:%d" % key_index))
            outs = sorted(glob.glob(os.path.join(d, "*.pcx")))
            same = sum(pcx_palette_block(o) == given for o in outs)
            keys = sum(np.array_equal(pcx_indices(o) == key_index, keyed[os.path.basename(o)]) for o in outs)
            im = self.fresh("hard-magick")
            swatch = os.path.join(self.work, "swatch.png")
            self.magick_palette(files, swatch, im)
            im_same = sum(pcx_palette_block(o) == given for o in sorted(glob.glob(os.path.join(im, "*.pcx"))))
            self.goal("%s, `-palette allegro_allegro.pcx -transparent ff00ff:0`: the given 256 entries in order in %d of %d "
                      "outputs (ImageMagick's `-remap` of the same swatch: %d of %d); key pixels and only they at index 0 in %d of %d"
                      % (name, same, len(outs), im_same, len(outs), keys, len(outs)), same == keys == len(outs) == len(files))
            self.readers_agree("%s, `-palette`" % name, outs)
            # The outputs are in the palette now: again, they come back as they are.
            again = self.fresh("hard-again")
            self.ours_palette(outs, palette, again)
            kept = sum(open(o, "rb").read() == open(os.path.join(again, os.path.basename(o)), "rb").read() for o in outs)
            self.goal("%s: a file already in the given palette comes back byte-, pixel- and index-identical: %d of %d"
                      % (name, kept, len(outs)), kept == len(outs))
        self.palette_files_reproduce(sets)
        self.out()

    def readers_agree(self, what, outs):
        import pygame
        bad = []
        for o in outs:
            ours = rgb_of(o)
            seen = {
                "Pillow": np.asarray(Image.open(o).convert("RGB")),
                "SDL_image": np.transpose(pygame.surfarray.array3d(pygame.image.load(o)), (1, 0, 2)),
            }
            for reader, cmd in (("ImageMagick", ["convert", "PCX:" + o, "-depth", "8", "ppm:-"]),
                                ("GraphicsMagick", ["gm", "convert", "PCX:" + o, "-depth", "8", "ppm:-"])):
                ppm = run(cmd).stdout
                m = re.match(rb"P6\s+(\d+)\s+(\d+)\s+(\d+)\s", ppm)
                w, h = int(m.group(1)), int(m.group(2))
                seen[reader] = np.frombuffer(ppm[m.end():m.end() + w * h * 3], np.uint8).reshape(h, w, 3)
            bad += ["%s by %s" % (os.path.basename(o), r) for r, a in seen.items() if not np.array_equal(a, ours)]
        self.goal("%s: netpbm, Pillow, ImageMagick, GraphicsMagick and SDL_image read all %d outputs to the same pixels%s"
                  % (what, len(outs), "" if not bad else " (not: %s)" % ", ".join(bad[:5])), not bad)

    def palette_files_reproduce(self, sets):
        files = sets["pingus sprites"]
        base = os.path.join(self.work, "shared.act")
        run([self.conv, "-q", "-shared", "-colors", "200", "-transparent", "ff00ff:0", "-palette-out", base,
             "-files0-from", self.names_file(files)])
        ok = []
        for ext in (".pal", ".gpl", ".act", ".pcx"):
            first, second = os.path.join(self.work, "one" + ext), os.path.join(self.work, "two" + ext)
            run([self.conv, "-q", "-palette", base, "-palette-out", first])
            line = run([self.conv, "-palette", first, "-palette-out", second]).stdout.decode()
            ok.append(open(first, "rb").read() == open(second, "rb").read())
            self.out("- `%s`" % line.strip().replace(self.work + "/", ""))
        self.goal("a palette written by `-palette-out` as .pal, .gpl, .act and .pcx reads back and writes again "
                  "byte for byte: %d of 4" % sum(ok), all(ok))

    # ---- speed and memory ----

    def copies(self, files, count, folder):
        d = self.fresh(folder)
        out = []
        for i in range(count):
            src = files[i % len(files)]
            dst = os.path.join(d, "%05d-%s" % (i, os.path.basename(src)))
            os.link(src, dst) if os.stat(src).st_dev == os.stat(d).st_dev else shutil.copy(src, dst)
            out.append(dst)
        return out

    def speed(self, sets, palette, photo, repeat):
        sprites = sets["pingus sprites"]
        self.out("## Speed and memory")
        self.out()
        self.out("Median of %d runs of each side; the two sides of a ratio take turns. Outputs go to %s. Beside the "
                 "wall times, the instructions each side runs as callgrind counts them, which load does not move."
                 % (repeat, "a tmpfs (/dev/shm)" if self.outputs.startswith("/dev/shm") else "the work folder"))
        self.out()

        def medians(a, b):
            """Each side's median over runs that take turns, so both meet the same load."""
            ta, tb = [], []
            for _ in range(repeat):
                ta.append(a())
                tb.append(b())
            return sorted(ta)[len(ta) // 2], sorted(tb)[len(tb) // 2]

        files = self.copies(sprites, 1000, "thousand")
        for n in (256, 16):
            cpu = {"shared": [], "each": []}

            def counted(side, fn):
                wall, _, user = fn()
                cpu[side].append(user)
                return wall
            shared, each = medians(lambda: counted("shared", lambda: self.ours_shared(files, n, self.fresh("sp-shared"))),
                                   lambda: counted("each", lambda: self.ours_each(files, n, self.fresh("sp-each"))))
            user = {k: sorted(v)[len(v) // 2] for k, v in cpu.items()}
            counted_too = self.instruction_ratio(self.shared_cmd(files, n, self.fresh("sp-shared")),
                                                 self.each_cmd(files, n, self.fresh("sp-each")))
            self.goal("1,000 sprites, N=%d: `-shared -outdir` %.3f s vs `-outdir`, each file its own palette, %.3f s = %.2fx "
                      "(at most 1.5; user processor time %.2f s vs %.2f s%s)" % (n, shared, each, shared / each,
                                                                             user["shared"], user["each"], counted_too),
                      shared <= 1.5 * each)
        cpu = {"given": [], "reduced": []}

        def run_and_count(side, fn):
            wall, _, user = fn()
            cpu[side].append(user)
            return wall
        given, reduced = medians(lambda: run_and_count("given", lambda: self.ours_palette(files, palette, self.fresh("sp-palette"))),
                                 lambda: run_and_count("reduced", lambda: self.ours_each(files, 256, self.fresh("sp-each"))))
        user = {k: sorted(v)[len(v) // 2] for k, v in cpu.items()}
        counted_too = self.instruction_ratio(self.palette_cmd(files, palette, self.fresh("sp-palette")),
                                             self.each_cmd(files, 256, self.fresh("sp-each")))
        self.goal("1,000 sprites: `-palette allegro_allegro.pcx -outdir` %.3f s vs `-colors 256 -outdir` %.3f s = %.2fx "
                  "(at most 1.0; user processor time %.2f s vs %.2f s%s)" % (given, reduced, given / reduced, user["given"],
                                                                         user["reduced"], counted_too),
                  given <= reduced)

        loop = os.path.join(self.work, "loop.sh")
        with open(loop, "w") as f:
            f.write('out=$1; shift; for i in "$@"; do "%s" -q -colors 256 -o "$out/${i##*/}" "$i" || exit 1; done\n' % self.conv)
        env = dict(os.environ, OMP_WAIT_POLICY="passive")

        def one_start():
            t0 = time.monotonic()
            subprocess.run(["bash", loop, self.fresh("sp-loop")] + files, check=True, env=env)
            return time.monotonic() - t0
        started, outdir = medians(one_start, lambda: self.ours_each(files, 256, self.fresh("sp-each"))[0])
        self.goal("1,000 sprites at 256: `-outdir` in one start %.3f s vs the same binary started once a file (shell loop) "
                  "%.2f s = %.2fx (at most 0.5)" % (outdir, started, outdir / started), outdir <= 0.5 * started)

        many = self.copies(sprites, 10000, "tenthousand")
        names = self.names_file(many)
        wall, peak, _ = timed([self.conv, "-q", "-shared", "-colors", "256", "-palette-out",
                            os.path.join(self.work, "p.act"), "-files0-from", names])
        self.goal("the palette pass (`-shared -palette-out`) over 10,000 sprites: %.2f s, peak %.1f MB (at most 120)"
                  % (wall, peak), peak <= 120)

        with_photo = many + [photo]
        names = self.names_file(with_photo)
        wall, peak, _ = timed([self.conv, "-q", "-shared", "-colors", "256", "-palette-out",
                            os.path.join(self.work, "p.act"), "-files0-from", names])
        self.goal("the palette pass over the same 10,000 sprites and a 12-megapixel photo (%s): %.2f s, peak %.1f MB (at most 120)"
                  % (os.path.basename(photo), wall, peak), peak <= 120)
        # Both passes: the pictures kept between them for the second stay within a bound of their own.
        for what, inputs in (("10,000 sprites", many), ("10,000 sprites and the photo", with_photo)):
            wall, peak, _ = self.ours_shared(inputs, 256, self.fresh("sp-many"))
            self.goal("both passes (`-shared -outdir`) over the %s: %.2f s, peak %.1f MB (at most 120, as the palette pass)"
                      % (what, wall, peak), peak <= 120)
        shutil.rmtree(os.path.join(self.outputs, "sp-many"), ignore_errors=True)
        self.out()


def twelve_megapixels(work):
    """The converter bench's photo when it is there, else the same made here."""
    made = os.path.join(ROOT, "bench/out/corpus/photo12mp_24bit.pcx")
    if os.path.exists(made):
        return made
    path = os.path.join(work, "photo12mp_24bit.pcx")
    if not os.path.exists(path):
        from skimage import data
        im = Image.fromarray(data.coffee()).resize((4000, 3000), Image.LANCZOS)
        im.save(path)
    return path


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--converter", default=os.path.join(ROOT, "build/converter/palettrim-convert"))
    ap.add_argument("--output", help="also write the report here")
    ap.add_argument("--repeat", type=int, default=11)
    ap.add_argument("--work", help="a folder for the sets and outputs (default: a temporary one)")
    args = ap.parse_args()
    os.environ["PYGAME_HIDE_SUPPORT_PROMPT"] = "1"
    work = args.work or tempfile.mkdtemp(prefix="palette-bench-")
    os.makedirs(work, exist_ok=True)
    load0 = os.getloadavg()[0]
    started = time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())
    bench = Bench(args, work)
    sets = make_sets(work)
    log("sets:", {k: len(v) for k, v in sets.items()})
    photo = twelve_megapixels(work)
    bench.quality_shared(sets)
    bench.quality_palette(sets, GAME_PALETTE)
    bench.hard_rules(sets, GAME_PALETTE)
    bench.speed(sets, GAME_PALETTE, photo, args.repeat)
    shutil.rmtree(bench.outputs, ignore_errors=True)
    version = run([args.converter, "--version"]).stdout.decode().strip()
    magick = run(["convert", "-version"]).stdout.decode().splitlines()[0]
    head = ["# Palette bench", "",
            "- Date: %s; machine: %d CPUs; load average (1 min) at the start and the end: %.2f, %.2f"
            % (started, os.cpu_count(), load0, os.getloadavg()[0]),
            "- Command: `nice bench/palette_bench/palette_bench.py%s`" % (" --output " + args.output if args.output else ""),
            "- %s; %s" % (version, magick),
            "- Sets: %s" % "; ".join("%s, %d files" % (k, len(v)) for k, v in sets.items()), "",
            "## Goals", ""] + bench.goals + [""]
    report = "\n".join(head + bench.lines) + "\n"
    sys.stdout.write(report)
    if args.output:
        with open(args.output, "w") as f:
            f.write(report)


if __name__ == "__main__":
    main()
