#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Compares palettrim-convert with the tools a user would otherwise reach for.

Every PCX file in the given folders is reduced to N colours (256, 16 and 4 by default) by:

  palettrim       palettrim-convert -colors N -c 1 -o OUT IN
  imagemagick     convert IN -dither None -colors N -compress RLE OUT
  graphicsmagick  gm convert IN +dither -colors N OUT
  pngquant        pcxtoppm IN > in.ppm
                  pnmtopng in.ppm > in.png
                  pngquant --nofs --force --output q.png N -- in.png
                  pngtopnm q.png > q.pnm
                  ppmtopcx q.pnm > OUT
                  (ppmtopcx picks the layout: 1 bit x 1-4 planes up to 16 colours, else 8 bit)

Each output is decoded with netpbm's pcxtoppm, the reference reader, and compared with the input
as pcxtoppm decodes it; palettrim's outputs are also read with SDL_image (through pygame), which
must see the same pixels. The markdown report goes to standard output (and to --output); progress
goes to standard error. It ends with the converter's goals and the ratios measured against them.

Without folder arguments the corpus is tests/data/pcx plus bench/out/corpus, which this script
fills on first use: photos from python3-skimage as 24-bit, 8-bit and grey PCX, and three
12-megapixel 24-bit photos resized with ImageMagick. It also times the converter's start-up
(`-h`) against /bin/true.
"""

import argparse
import datetime
import os
import platform
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path

try:
    import numpy as np
except ImportError:
    sys.exit("converter_bench: needs numpy for the system python (python3-numpy; run "
             "scripts/bootstrap.sh, then start this script as /usr/bin/python3 or directly)")

REPO = Path(__file__).resolve().parent.parent
OUT_DIR = REPO / "bench" / "out"
CORPUS_DIR = OUT_DIR / "corpus"
DEFAULT_CONVERTER = REPO / "build" / "converter" / "palettrim-convert"
# The 12-megapixel photos and the python3-skimage pictures they are made from: a photo with
# smooth areas, an astronomy picture with many colours, and a retina photograph: a large dark
# background and few distinct colours, which GraphicsMagick quantises quickly.
BIG_PHOTOS = {"photo12mp_24bit.pcx": "coffee", "hubble12mp_24bit.pcx": "hubble_deep_field",
              "retina12mp_24bit.pcx": "retina"}
STARTUP_RUNS = 200
BIG_SIZE = (4000, 3000)
BASELINE = Path(__file__).resolve().parent / "quality_baseline.csv"
# The converter's goals (issue "twice as fast as GraphicsMagick").
GOAL_BIG_RATIO = 0.5       # wall time on a 12-megapixel photo, times GraphicsMagick's
GOAL_BIG_PEAK_MB = 120
GOAL_CORPUS_RATIO = 1.0    # total wall time over the corpus, times GraphicsMagick's
GOAL_BYTES = 0.005         # at most this much more than the baseline's total bytes
GOAL_PSNR = -0.05          # mean PSNR at most this much below the baseline's
GOAL_LOAD_DRIFT = 0.20     # the 12-megapixel ratio under load, within this of the idle one
PHOTOS = ("astronaut", "coffee", "chelsea", "rocket")
# A lossless result has infinite PSNR; means count it as this, far above any lossy photo result.
PSNR_CAP = 60.0
TIME = "/usr/bin/time"
STAGE_TIMEOUT = 600  # seconds; a tool that takes longer counts as failed
TOOLS = ("palettrim", "imagemagick", "graphicsmagick", "pngquant")
SHORT = {"palettrim": "pal", "imagemagick": "IM", "graphicsmagick": "GM", "pngquant": "pq"}


def log(msg):
    print(msg, file=sys.stderr, flush=True)


def imagemagick_binary():
    # The distribution's binary, so that a wrapper script earlier on PATH adds nothing to timings.
    return "/usr/bin/convert" if os.access("/usr/bin/convert", os.X_OK) else shutil.which("convert")


# ---------------------------------------------------------------------------------------------
# Running one command under /usr/bin/time


@dataclass
class Run:
    ok: bool = True
    wall: float = 0.0      # seconds, whole pipeline
    cpu: float = 0.0       # user + system seconds, whole pipeline
    rss_kb: int = 0        # largest peak resident set of any stage
    error: str = ""


def run_stage(argv, stdout_path=None):
    """Runs argv under /usr/bin/time -v; returns (wall, cpu, rss_kb, exit code, stderr tail)."""
    with tempfile.NamedTemporaryFile("r", suffix=".time", dir=OUT_DIR) as tf:
        fout = open(stdout_path, "wb") if stdout_path else subprocess.DEVNULL
        try:
            t0 = time.perf_counter()
            # Own session, so that a hung tool can be killed together with its children.
            p = subprocess.Popen([TIME, "-v", "-o", tf.name, *map(str, argv)], stdin=subprocess.DEVNULL,
                                 stdout=fout, stderr=subprocess.PIPE, start_new_session=True)
            try:
                _, stderr = p.communicate(timeout=STAGE_TIMEOUT)
            except subprocess.TimeoutExpired:
                os.killpg(p.pid, signal.SIGKILL)
                p.communicate()
                return time.perf_counter() - t0, 0.0, 0, -1, f"killed after {STAGE_TIMEOUT} s"
            wall = time.perf_counter() - t0
        finally:
            if stdout_path:
                fout.close()
        cpu, rss = 0.0, 0
        for line in tf.read().splitlines():
            key, _, val = line.strip().partition(": ")
            if key in ("User time (seconds)", "System time (seconds)"):
                cpu += float(val)
            elif key == "Maximum resident set size (kbytes)":
                rss = int(val)
        err = stderr.decode(errors="replace").strip().splitlines()
        return wall, cpu, rss, p.returncode, (err[-1] if err else "")


def run_pipeline(stages, out_path):
    r = Run()
    for argv, stdout_path in stages:
        wall, cpu, rss, rc, err = run_stage(argv, stdout_path)
        r.wall += wall
        r.cpu += cpu
        r.rss_kb = max(r.rss_kb, rss)
        if rc != 0:
            r.ok = False
            r.error = (f"{Path(argv[0]).name} exit {rc}" + (f": {err}" if err else ""))[:160]
            return r
    if not out_path.is_file():
        r.ok = False
        r.error = "no output file"
    return r


# ---------------------------------------------------------------------------------------------
# The tools


def tool_stages(tool, converter, inp, out, n, tmp):
    if tool == "palettrim":
        return [([converter, "-colors", n, "-c", "1", "-o", out, inp], None)]
    if tool == "imagemagick":
        return [([imagemagick_binary(), inp, "-dither", "None", "-colors", n,
                  "-compress", "RLE", out], None)]
    if tool == "graphicsmagick":
        return [(["gm", "convert", inp, "+dither", "-colors", n, out], None)]
    if tool == "pngquant":
        ppm, png, qpng, qpnm = (tmp / x for x in ("in.ppm", "in.png", "q.png", "q.pnm"))
        return [(["pcxtoppm", inp], ppm),
                (["pnmtopng", ppm], png),
                (["pngquant", "--nofs", "--force", "--output", qpng, n, "--", png], None),
                (["pngtopnm", qpng], qpnm),
                (["ppmtopcx", qpnm], out)]
    raise ValueError(tool)


def tool_versions(converter):
    def first_line(argv):
        try:
            p = subprocess.run(argv, capture_output=True, text=True, timeout=30)
            text = (p.stdout or p.stderr).strip().splitlines()
            return text[0] if text else "?"
        except OSError:
            return "not found"
    return {
        "palettrim": first_line([converter, "--version"]),
        "imagemagick": first_line([imagemagick_binary(), "-version"]),
        "graphicsmagick": first_line(["gm", "version"]),
        "pngquant": "pngquant " + first_line(["pngquant", "--version"]),
        "netpbm": first_line(["sh", "-c", "pcxtoppm -version 2>&1 | grep -i version"]),
    }


# ---------------------------------------------------------------------------------------------
# Decoding and comparing


def parse_ppm(data):
    """Decodes binary PPM (P6) as pcxtoppm writes it into an (h, w, 3) uint8 array."""
    fields, pos = [], 2
    if data[:2] != b"P6":
        raise ValueError("not a binary PPM")
    while len(fields) < 3:
        while pos < len(data) and data[pos:pos + 1].isspace():
            pos += 1
        if data[pos:pos + 1] == b"#":
            pos = data.index(b"\n", pos) + 1
            continue
        start = pos
        while pos < len(data) and data[pos:pos + 1].isdigit():
            pos += 1
        if start == pos:
            raise ValueError("bad PPM header")
        fields.append(int(data[start:pos]))
    w, h, maxval = fields
    pos += 1  # the single whitespace before the raster
    if maxval < 256:
        a = np.frombuffer(data, np.uint8, w * h * 3, pos).reshape(h, w, 3)
    else:
        a = np.frombuffer(data, ">u2", w * h * 3, pos).reshape(h, w, 3)
    if maxval != 255:
        a = np.round(a.astype(np.float64) * 255.0 / maxval).astype(np.uint8)
    return a


def decode(path):
    try:
        p = subprocess.run(["pcxtoppm", str(path)], capture_output=True, timeout=STAGE_TIMEOUT)
    except subprocess.TimeoutExpired:
        raise ValueError(f"pcxtoppm took over {STAGE_TIMEOUT} s") from None
    if p.returncode != 0:
        err = p.stderr.decode(errors="replace").strip().splitlines()
        raise ValueError("pcxtoppm: " + (err[-1] if err else f"exit {p.returncode}"))
    return parse_ppm(p.stdout)


def psnr(ref, img):
    """RGB PSNR in dB over all samples; inf when identical."""
    total = 0
    for i in range(0, ref.shape[0], 256):
        d = ref[i:i + 256].astype(np.int32) - img[i:i + 256]
        total += int(np.einsum("ijk,ijk->", d, d, dtype=np.int64))
    if total == 0:
        return float("inf")
    mse = total / ref.size
    return 10.0 * np.log10(255.0 * 255.0 / mse)


def colour_count(img):
    packed = (img[..., 0].astype(np.uint32) << 16) | (img[..., 1].astype(np.uint32) << 8) | img[..., 2]
    return int(np.unique(packed).size)


# ---------------------------------------------------------------------------------------------
# The corpus


def atomic_write(path, writer):
    tmp = path.with_name(path.name + ".part")
    writer(tmp)
    os.replace(tmp, path)


def make_corpus(big):
    """Writes the photo corpus into bench/out/corpus; files already there are kept."""
    CORPUS_DIR.mkdir(parents=True, exist_ok=True)
    from PIL import Image
    from skimage import data as skdata
    for name in PHOTOS:
        rgb = Image.fromarray(getattr(skdata, name)())
        p24, p8 = CORPUS_DIR / f"{name}_24bit.pcx", CORPUS_DIR / f"{name}_8bit.pcx"
        if not p24.exists():
            atomic_write(p24, lambda t: rgb.save(t, "PCX"))
        if not p8.exists():
            # An 8-bit palette photo as a paint program would save it (median cut).
            atomic_write(p8, lambda t: rgb.quantize(256).save(t, "PCX"))
    grey = CORPUS_DIR / "camera_gray8.pcx"
    if not grey.exists():
        atomic_write(grey, lambda t: Image.fromarray(skdata.camera(), "L").save(t, "PCX"))
    for name, picture in BIG_PHOTOS.items():
        if big:
            make_big(CORPUS_DIR / name, getattr(skdata, picture)())


def make_big(target, rgb):
    """Resizes a picture to fill 4000x3000 and writes it as a 24-bit run-length PCX."""
    from PIL import Image
    if not target.exists():
        log(f"making {target.name} ({BIG_SIZE[0]}x{BIG_SIZE[1]})")
        with tempfile.TemporaryDirectory(dir=OUT_DIR) as td:
            src, ppm = Path(td) / "source.png", Path(td) / "big.ppm"
            Image.fromarray(rgb).save(src)
            w, h = BIG_SIZE
            # Fill the frame, then crop the overhang, so the photo keeps its proportions.
            subprocess.run([imagemagick_binary(), str(src), "-filter", "Lanczos",
                            "-resize", f"{w}x{h}^", "-gravity", "center", "-extent", f"{w}x{h}",
                            "-depth", "8", f"ppm:{ppm}"], check=True)

            def write_big(t):
                with open(t, "wb") as f:
                    subprocess.run(["ppmtopcx", "-24bit", str(ppm)], stdout=f, check=True)
            atomic_write(target, write_big)


# ---------------------------------------------------------------------------------------------
# The run


@dataclass
class Result:
    bytes: int = 0
    psnr: float = 0.0
    wall: float = 0.0
    cpu: float = 0.0
    rss_kb: int = 0
    colours: int = 0
    error: str = ""
    sdl: str = ""          # palettrim only: what SDL_image made of the output, "" when it agrees
    copied: bool = False   # palettrim only: the output is the input's own bytes

    @property
    def ok(self):
        return not self.error


@dataclass
class FileEntry:
    path: Path
    in_bytes: int
    ref: object = None
    results: dict = field(default_factory=dict)   # (tool, n) -> Result
    loaded: dict = field(default_factory=dict)    # n -> (palettrim, GM) median wall under load


def run_once(tool, converter, entry, n):
    out_dir = OUT_DIR / "runs" / tool / str(n)
    out_dir.mkdir(parents=True, exist_ok=True)
    out = out_dir / entry.path.name
    out.unlink(missing_ok=True)
    with tempfile.TemporaryDirectory(dir=OUT_DIR) as td:
        return run_pipeline(tool_stages(tool, converter, entry.path, out, n, Path(td)), out), out


def measure(entry, runs, out, tool):
    """Sums up the runs of one tool on one file and judges its last output."""
    failed = next((r for r in runs if not r.ok), None)
    if failed:
        return Result(wall=failed.wall, error=failed.error)
    res = Result(bytes=out.stat().st_size, wall=statistics.median(r.wall for r in runs),
                 cpu=statistics.median(r.cpu for r in runs), rss_kb=max(r.rss_kb for r in runs))
    try:
        img = decode(out)
    except ValueError as e:
        res.error = f"output unreadable ({e})"
        return res
    if img.shape != entry.ref.shape:
        res.error = (f"output is {img.shape[1]}x{img.shape[0]}, "
                     f"input {entry.ref.shape[1]}x{entry.ref.shape[0]}")
        return res
    res.psnr = psnr(entry.ref, img)
    res.colours = colour_count(img)
    if tool == "palettrim":
        res.sdl = sdl_disagrees(out, img)
        res.copied = out.read_bytes() == entry.path.read_bytes()
    return res


def sdl_reader():
    """pygame's image loader (SDL_image), or None when python3-pygame is missing."""
    try:
        os.environ.setdefault("PYGAME_HIDE_SUPPORT_PROMPT", "1")
        import pygame
        return pygame
    except ImportError:
        return None


def sdl_disagrees(path, img):
    """Empty when SDL_image reads the file as pcxtoppm did (img), else how it differs."""
    pygame = sdl_reader()
    if pygame is None:
        return "not checked (no python3-pygame)"
    try:
        surface = pygame.image.load(str(path))
    except pygame.error as e:
        return f"SDL_image cannot read it ({e})"
    w, h = surface.get_size()
    theirs = np.frombuffer(pygame.image.tostring(surface, "RGB"), np.uint8).reshape(h, w, 3)
    if theirs.shape != img.shape:
        return f"SDL_image reads {w}x{h}"
    bad = int(np.any(theirs != img, axis=2).sum())
    return f"SDL_image reads {bad} pixels differently" if bad else ""


def bench(entries, tools, colours, converter, repeat):
    for n in colours:
        for t in tools:
            log(f"N={n} {t}")
            for e in entries:
                if e.path.name not in BIG_PHOTOS:
                    run, out = run_once(t, converter, e, n)
                    e.results[(t, n)] = measure(e, [run], out, t)
        for e in entries:
            if e.path.name not in BIG_PHOTOS:
                continue
            # Rounds take every tool in turn, so a burst of load elsewhere hits them alike.
            runs = {t: [] for t in tools}
            outs = {}
            for i in range(repeat):
                for t in tools:
                    if runs[t] and not runs[t][-1].ok:
                        continue
                    log(f"N={n} {t} {e.path.name} run {i + 1}/{repeat}")
                    run, outs[t] = run_once(t, converter, e, n)
                    runs[t].append(run)
            for t in tools:
                e.results[(t, n)] = measure(e, runs[t], outs[t], t)


def bench_under_load(entries, colours, converter, repeat):
    """Times palettrim and GraphicsMagick on the 12-megapixel photos while two busy loops, as a
    build would, keep both cores loaded."""
    load = [subprocess.Popen(["/bin/sh", "-c", "while :; do :; done"], start_new_session=True)
            for _ in range(2)]
    try:
        for e in entries:
            if e.path.name not in BIG_PHOTOS:
                continue
            for n in colours:
                walls = {"palettrim": [], "graphicsmagick": []}
                for i in range(repeat):
                    for t in walls:
                        log(f"under load: N={n} {t} {e.path.name} run {i + 1}/{repeat}")
                        run, _ = run_once(t, converter, e, n)
                        if run.ok:
                            walls[t].append(run.wall)
                if all(walls.values()):
                    e.loaded[n] = tuple(statistics.median(walls[t]) for t in walls)
    finally:
        for p in load:
            os.killpg(p.pid, signal.SIGKILL)
            p.wait()


def collect(folders):
    files, seen = [], {}
    for folder in map(Path, folders):
        if not folder.is_dir():
            sys.exit(f"converter_bench: {folder} is not a folder")
        for p in sorted(p for p in folder.iterdir() if p.suffix.lower() == ".pcx" and p.is_file()):
            # Outputs and table rows go by file name, so two inputs may not share one.
            if p.name in seen:
                sys.exit(f"converter_bench: {p} and {seen[p.name]} have the same name")
            seen[p.name] = p
            files.append(p)
    return files


# ---------------------------------------------------------------------------------------------
# The report


def fmt_bytes(b):
    return f"{b:,}"


def fmt_db(v):
    return "∞" if v == float("inf") else f"{v:.2f}"


def capped(v):
    return min(v, PSNR_CAP)


def git_commit():
    try:
        rev = subprocess.run(["git", "-C", str(REPO), "describe", "--always", "--dirty"],
                             capture_output=True, text=True, check=True).stdout.strip()
        subj = subprocess.run(["git", "-C", str(REPO), "log", "-1", "--format=%s"],
                              capture_output=True, text=True, check=True).stdout.strip()
        conv = subprocess.run(["git", "-C", str(REPO), "log", "-1", "--format=%h %s", "--", "converter"],
                              capture_output=True, text=True, check=True).stdout.strip()
        return f"{rev} ({subj}); last converter commit {conv}"
    except (OSError, subprocess.CalledProcessError):
        return "unknown"


def cpu_model():
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def met(ok):
    return "met" if ok else "MISSED"


def read_baseline():
    """Per (file, N): bytes and PSNR of the converter before this work, from quality_baseline.csv."""
    base = {}
    if BASELINE.exists():
        for line in BASELINE.read_text().splitlines():
            if line.startswith("#") or line.startswith("file,") or not line.strip():
                continue
            name, n, size, db = line.split(",")
            base[(name, int(n))] = (int(size), float(db))
    return base


def report_goals(add, entries, bigs, common, colours, tools, totals, start):
    """The goals of palettrim-convert with the ratios this run measured against them."""
    add("## Goals of palettrim-convert")
    add("")
    add("Each goal with the ratio this run measured; wall times compare tools within this run.")
    add("")
    has_gm = "graphicsmagick" in tools and "palettrim" in tools
    for big in bigs:
        for n in colours:
            p, g = big.results[("palettrim", n)], big.results.get(("graphicsmagick", n))
            if not p.ok:
                add(f"- {big.path.name}, N={n}: palettrim failed")
                continue
            line = f"- {big.path.name}, N={n}: "
            if has_gm and g and g.ok:
                line += (f"wall {p.wall:.2f} s vs GM {g.wall:.2f} s = {p.wall / g.wall:.2f} x "
                         f"(≤ {GOAL_BIG_RATIO}: {met(p.wall <= GOAL_BIG_RATIO * g.wall)}); ")
            line += f"peak {p.rss_kb / 1024:.1f} MB (≤ {GOAL_BIG_PEAK_MB}: {met(p.rss_kb <= GOAL_BIG_PEAK_MB * 1024)})"
            add(line)
    if has_gm:
        for n in colours:
            p, g = totals(n, "palettrim", common[n]), totals(n, "graphicsmagick", common[n])
            if p and g:
                add(f"- Whole corpus, N={n}: {p[3]:.2f} s vs GM {g[3]:.2f} s = {p[3] / g[3]:.2f} x "
                    f"(≤ {GOAL_CORPUS_RATIO}: {met(p[3] <= GOAL_CORPUS_RATIO * g[3])})")
    base = read_baseline()
    for n in colours:
        same = [e for e in entries if (e.path.name, n) in base and e.results[("palettrim", n)].ok]
        if not same:
            continue
        now_bytes = sum(e.results[("palettrim", n)].bytes for e in same)
        was_bytes = sum(base[(e.path.name, n)][0] for e in same)
        now_db = statistics.mean(capped(e.results[("palettrim", n)].psnr) for e in same)
        was_db = statistics.mean(capped(base[(e.path.name, n)][1]) for e in same)
        add(f"- Quality kept, N={n}, the {len(same)} files of `{BASELINE.name}`: bytes {now_bytes:,} vs "
            f"{was_bytes:,} ({100 * (now_bytes / was_bytes - 1):+.2f}%, ≤ +{100 * GOAL_BYTES:.1f}%: "
            f"{met(now_bytes <= (1 + GOAL_BYTES) * was_bytes)}); mean PSNR {now_db:.3f} vs {was_db:.3f} dB "
            f"({now_db - was_db:+.3f}, ≥ {GOAL_PSNR}: {met(now_db - was_db >= GOAL_PSNR)})")
    checked = [(n, e) for n in colours for e in entries if e.results[("palettrim", n)].ok]
    written = [(n, e) for n, e in checked if not e.results[("palettrim", n)].copied]
    unread = [(n, e) for n, e in written if e.results[("palettrim", n)].sdl]
    add(f"- SDL_image reads every written output as netpbm does: {len(written) - len(unread)} of {len(written)} "
        f"({met(not unread)})" + "".join(f"; N={n} {e.path.name}: {e.results[('palettrim', n)].sdl}"
                                          for n, e in unread))
    copies = [(n, e) for n, e in checked if e.results[("palettrim", n)].copied]
    if copies:
        add(f"- Outputs that are the input's own bytes (a picture that fits, whose file is the smallest): "
            f"{len(copies)}; SDL_image reads them as it reads the input: "
            + ", ".join(f"N={n} {e.path.name}" + (f" ({e.results[('palettrim', n)].sdl})"
                                                   if e.results[("palettrim", n)].sdl else "")
                        for n, e in copies))
    for big in bigs:
        for n in colours:
            loaded = big.loaded.get(n)
            p, g = big.results[("palettrim", n)], big.results.get(("graphicsmagick", n))
            if not loaded or not (p.ok and g and g.ok):
                continue
            idle, busy = p.wall / g.wall, loaded[0] / loaded[1]
            add(f"- Under load, {big.path.name}, N={n}: {loaded[0]:.2f} s vs GM {loaded[1]:.2f} s = "
                f"{busy:.2f} x against {idle:.2f} x idle ({100 * (busy / idle - 1):+.0f}%, within "
                f"{100 * GOAL_LOAD_DRIFT:.0f}%: {met(busy <= (1 + GOAL_LOAD_DRIFT) * idle)})")
    if start:
        add(f"- Start-up, `palettrim-convert -h` with OMP_WAIT_POLICY=passive, median of {STARTUP_RUNS}: "
            f"{start['set']:.2f} ms vs /bin/true {start['true']:.2f} ms ({start['set'] - start['true']:+.2f} ms); "
            f"without OMP_WAIT_POLICY {start['unset']:.2f} ms"
            + (f"; {start['instructions']:,} instructions (callgrind)" if "instructions" in start else ""))
    add("")


def startup(converter):
    """Median wall milliseconds of `converter -h` with and without OMP_WAIT_POLICY, of /bin/true,
    and the instructions `-h` runs (callgrind, when valgrind is there)."""
    quiet = dict(os.environ, OMP_WAIT_POLICY="passive")
    bare = {k: v for k, v in os.environ.items() if k != "OMP_WAIT_POLICY"}
    cases = {"set": ([converter, "-h"], quiet), "unset": ([converter, "-h"], bare), "true": (["/bin/true"], quiet)}
    times = {k: [] for k in cases}
    for _ in range(STARTUP_RUNS):
        for k, (argv, env) in cases.items():
            t = time.perf_counter()
            subprocess.run(argv, env=env, stdout=subprocess.DEVNULL, check=True)
            times[k].append(1000 * (time.perf_counter() - t))
    result = {k: statistics.median(v) for k, v in times.items()}
    if shutil.which("valgrind"):
        with tempfile.TemporaryDirectory() as td:
            out = Path(td) / "callgrind.out"
            run = subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", converter, "-h"],
                                 env=quiet, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
            m = re.search(r"Collected : (\d+)", run.stderr)
            if m:
                result["instructions"] = int(m.group(1))
    return result


def report(entries, tools, colours, args, versions, converter):
    lines = []
    add = lines.append
    add("# Converter bench")
    add("")
    add(f"- Date: {datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M} UTC")
    add(f"- Machine: {os.cpu_count()} CPUs (nproc {len(os.sched_getaffinity(0))}), {cpu_model()}")
    add(f"- Command: `{' '.join(['bench/converter_bench.py', *sys.argv[1:]])}`")
    shown = converter.relative_to(REPO) if converter.is_relative_to(REPO) else converter
    add(f"- Source: {git_commit()}; converter `{shown}`")
    for t in ("palettrim", "imagemagick", "graphicsmagick", "pngquant", "netpbm"):
        add(f"- {t}: {versions[t]}")
    add(f"- Files: {len(entries)}; each 12-megapixel photo timed as the median of {args.repeat} runs")
    add(f"- Load average (1 min) at the start and the end: {args.load_before:.2f}, {os.getloadavg()[0]:.2f}")
    add("")

    bigs = [e for e in entries if e.path.name in BIG_PHOTOS]
    common = {n: [e for e in entries if all(e.results[(t, n)].ok for t in tools)] for n in colours}

    def totals(n, tool, subset):
        rs = [e.results[(tool, n)] for e in subset]
        if not rs:
            return None
        return (sum(r.bytes for r in rs), statistics.mean(capped(r.psnr) for r in rs),
                min(r.psnr for r in rs), sum(r.wall for r in rs))

    add("## Totals")
    add("")
    add("Over the files that every tool reduced (a file any tool failed on is left out everywhere "
        f"and listed below). Mean PSNR counts a lossless file as {PSNR_CAP:.0f} dB.")
    add("")
    add("| N | tool | files | bytes | vs GM | bytes without 12 MP | mean PSNR | min PSNR | seconds | fails |")
    add("|---|---|---:|---:|---:|---:|---:|---:|---:|---:|")
    for n in colours:
        gm = totals(n, "graphicsmagick", common[n]) if "graphicsmagick" in tools else None
        small = [e for e in common[n] if e not in bigs]
        for t in tools:
            fails = sum(not e.results[(t, n)].ok for e in entries)
            tt = totals(n, t, common[n])
            if tt is None:
                add(f"| {n} | {t} | 0 | — | — | — | — | — | — | {fails} |")
                continue
            ts = totals(n, t, small)
            vs = f"{tt[0] / gm[0]:.3f}" if gm and gm[0] else "—"
            add(f"| {n} | {t} | {len(common[n])} | {fmt_bytes(tt[0])} | {vs} | "
                f"{fmt_bytes(ts[0]) if ts else '—'} | {tt[1]:.2f} | {fmt_db(tt[2])} | {tt[3]:.2f} | {fails} |")
    add("")
    partial = [n for n in colours if len(common[n]) < len(entries)]
    if partial:
        add("Each tool over every file it reduced (not comparable between tools where the file "
            "counts differ):")
        add("")
        add("| N | tool | files | bytes | mean PSNR | seconds |")
        add("|---|---|---:|---:|---:|---:|")
        for n in partial:
            for t in tools:
                own = [e for e in entries if e.results[(t, n)].ok]
                tt = totals(n, t, own)
                add(f"| {n} | {t} | {len(own)} | " + (f"{fmt_bytes(tt[0])} | {tt[1]:.2f} | {tt[3]:.2f} |"
                                                        if tt else "— | — | — |"))
        add("")

    failures = [(n, t, e) for n in colours for e in entries for t in tools if not e.results[(t, n)].ok]
    over = [(n, t, e) for n in colours for e in entries for t in tools
            if e.results[(t, n)].ok and e.results[(t, n)].colours > n]
    if failures or over:
        add("### Failures and faults")
        add("")
        for n, t, e in failures:
            add(f"- N={n} {t} {e.path.name}: {e.results[(t, n)].error}")
        for n, t, e in over:
            add(f"- N={n} {t} {e.path.name}: {e.results[(t, n)].colours} colours in the output")
        add("")

    if "palettrim" in tools:
        add("## Targets for palettrim-convert")
        add("")
        for n in colours:
            p = totals(n, "palettrim", common[n])
            if p is None:
                add(f"- N={n}: not measured (no file reduced by every tool)")
                continue
            parts = []
            for peer, label in (("graphicsmagick", "GM"), ("imagemagick", "IM")):
                if peer in tools:
                    q = totals(n, peer, common[n])
                    parts.append(f"size {p[0] / q[0]:.3f} x {label}")
            if "graphicsmagick" in tools:
                q = totals(n, "graphicsmagick", common[n])
                parts.append("size ≤ GM: " + ("met" if p[0] <= q[0] else "MISSED"))
            if "pngquant" in tools:
                q = totals(n, "pngquant", common[n])
                d = p[1] - q[1]
                parts.append(f"mean PSNR {p[1]:.2f} vs pngquant {q[1]:.2f} ({d:+.2f} dB): "
                             + ("met" if d >= -0.2 else "MISSED"))
            if "imagemagick" in tools:
                worse = [e for e in common[n]
                         if e.results[("palettrim", n)].psnr < e.results[("imagemagick", n)].psnr]
                parts.append("no file below IM's PSNR: " + ("met" if not worse else
                             "MISSED on " + ", ".join(
                                 f"{e.path.name} ({fmt_db(e.results[('palettrim', n)].psnr)} < "
                                 f"{fmt_db(e.results[('imagemagick', n)].psnr)})" for e in worse)))
            add(f"- N={n}: " + "; ".join(parts))
        add("")
        report_goals(add, entries, bigs, common, colours, tools, totals, args.startup)

    for big in bigs:
        add(f"## The 12-megapixel photo {big.path.name}")
        add("")
        add(f"`{big.path.name}`, {big.ref.shape[1]}x{big.ref.shape[0]}, {fmt_bytes(big.in_bytes)} bytes. "
            f"Seconds are the median wall time of {args.repeat} runs; peak is the largest "
            "resident set of any run (of any stage, for the pngquant pipeline).")
        add("")
        add("| N | tool | bytes | PSNR | wall s | CPU s | peak MB |")
        add("|---|---|---:|---:|---:|---:|---:|")
        for n in colours:
            for t in tools:
                r = big.results[(t, n)]
                if r.ok:
                    add(f"| {n} | {t} | {fmt_bytes(r.bytes)} | {fmt_db(r.psnr)} | {r.wall:.2f} | "
                        f"{r.cpu:.2f} | {r.rss_kb / 1024:.1f} |")
                else:
                    add(f"| {n} | {t} | fail | | {r.wall:.2f} | | |")
        add("")

    add("## Per file")
    add("")
    add("Per tool: output bytes, PSNR in dB (∞ = identical to the input), wall seconds. "
        + ", ".join(f"{SHORT[t]} = {t}" for t in tools) + ".")
    for n in colours:
        add("")
        add(f"### N = {n}")
        add("")
        head = "| file | input bytes |" + "".join(f" {SHORT[t]} bytes | {SHORT[t]} dB | {SHORT[t]} s |" for t in tools)
        add(head)
        add("|---|---:|" + "---:|---:|---:|" * len(tools))
        for e in entries:
            row = f"| {e.path.name} | {fmt_bytes(e.in_bytes)} |"
            for t in tools:
                r = e.results[(t, n)]
                row += (f" {fmt_bytes(r.bytes)} | {fmt_db(r.psnr)} | {r.wall:.2f} |" if r.ok
                        else f" fail | | {r.wall:.2f} |")
            add(row)
    add("")
    return "\n".join(lines)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("folders", nargs="*", help="folders of PCX files (default: tests/data/pcx and "
                    "bench/out/corpus, made when missing)")
    ap.add_argument("--converter", default=str(DEFAULT_CONVERTER), help="palettrim-convert to run")
    ap.add_argument("--colors", default="256,16,4", help="colour counts, comma-separated")
    ap.add_argument("--tools", default=",".join(TOOLS), help="tools to run, comma-separated")
    ap.add_argument("--repeat", type=int, default=3, help="runs of the 12 MP photo per tool and N")
    ap.add_argument("--no-big", action="store_true", help="leave out the 12-megapixel photos")
    ap.add_argument("--under-load", type=int, default=0, metavar="RUNS",
                    help="also time palettrim and GraphicsMagick on the 12-megapixel photos this many "
                         "times each while two busy loops load the cores")
    ap.add_argument("--output", help="also write the report to this file")
    args = ap.parse_args()

    tools = [t.strip() for t in args.tools.split(",") if t.strip()]
    bad = [t for t in tools if t not in TOOLS]
    if bad:
        ap.error(f"unknown tool {bad[0]} (known: {', '.join(TOOLS)})")
    try:
        colours = [int(c) for c in args.colors.split(",")]
    except ValueError:
        ap.error("--colors takes numbers such as 256,16,4")
    if any(not 2 <= c <= 256 for c in colours):
        ap.error("colour counts must be 2 to 256")
    if args.repeat < 1:
        ap.error("--repeat must be at least 1")

    needed = {"imagemagick": [imagemagick_binary() or "convert"], "graphicsmagick": ["gm"],
              "pngquant": ["pngquant", "pnmtopng", "pngtopnm", "ppmtopcx"]}
    missing = [b for t in tools for b in needed.get(t, []) if not shutil.which(b)]
    missing += [b for b in ("pcxtoppm", TIME) if not shutil.which(b)]
    converter = Path(args.converter).resolve()
    if "palettrim" in tools and not os.access(converter, os.X_OK):
        sys.exit(f"converter_bench: no converter at {converter}; build it with\n"
                 "  cmake -S . -B build -DCMAKE_BUILD_TYPE=Release && "
                 "cmake --build build --target palettrim-convert")
    if missing:
        sys.exit(f"converter_bench: missing {', '.join(missing)}; run scripts/bootstrap.sh")

    OUT_DIR.mkdir(parents=True, exist_ok=True)
    folders = args.folders or [REPO / "tests" / "data" / "pcx", CORPUS_DIR]
    if not args.folders:
        make_corpus(big=not args.no_big)
    files = [f for f in collect(folders) if not (args.no_big and f.name in BIG_PHOTOS)]
    if not files:
        sys.exit("converter_bench: no .pcx files in " + ", ".join(map(str, folders)))

    entries = []
    for f in files:
        try:
            ref = decode(f)
        except ValueError as e:
            log(f"skipping {f}: the reference reader cannot read it ({e})")
            continue
        entries.append(FileEntry(f, f.stat().st_size, ref))

    args.load_before = os.getloadavg()[0]
    args.startup = startup(str(converter)) if "palettrim" in tools else None
    bench(entries, tools, colours, str(converter), args.repeat)
    if args.under_load and {"palettrim", "graphicsmagick"} <= set(tools):
        bench_under_load(entries, colours, str(converter), args.under_load)

    text = report(entries, tools, colours, args, tool_versions(str(converter)), converter)
    print(text)
    if args.output:
        atomic_write(Path(args.output), lambda t: Path(t).write_text(text + "\n"))


if __name__ == "__main__":
    main()
