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
as pcxtoppm decodes it. The markdown report goes to standard output (and to --output); progress
goes to standard error.

Without folder arguments the corpus is tests/data/pcx plus bench/out/corpus, which this script
fills on first use: photos from python3-skimage as 24-bit, 8-bit and grey PCX, and a 12-megapixel
24-bit photo resized with ImageMagick.
"""

import argparse
import datetime
import os
import platform
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
BIG_NAME = "photo12mp_24bit.pcx"
BIG_SIZE = (4000, 3000)
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
    target = CORPUS_DIR / BIG_NAME
    if big and not target.exists():
        log(f"making {target.name} ({BIG_SIZE[0]}x{BIG_SIZE[1]})")
        with tempfile.TemporaryDirectory(dir=OUT_DIR) as td:
            src, ppm = Path(td) / "coffee.png", Path(td) / "big.ppm"
            Image.fromarray(skdata.coffee()).save(src)
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

    @property
    def ok(self):
        return not self.error


@dataclass
class FileEntry:
    path: Path
    in_bytes: int
    ref: object = None
    results: dict = field(default_factory=dict)   # (tool, n) -> Result


def run_once(tool, converter, entry, n):
    out_dir = OUT_DIR / "runs" / tool / str(n)
    out_dir.mkdir(parents=True, exist_ok=True)
    out = out_dir / entry.path.name
    out.unlink(missing_ok=True)
    with tempfile.TemporaryDirectory(dir=OUT_DIR) as td:
        return run_pipeline(tool_stages(tool, converter, entry.path, out, n, Path(td)), out), out


def measure(entry, runs, out):
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
    return res


def bench(entries, tools, colours, converter, repeat):
    for n in colours:
        for t in tools:
            log(f"N={n} {t}")
            for e in entries:
                if e.path.name != BIG_NAME:
                    run, out = run_once(t, converter, e, n)
                    e.results[(t, n)] = measure(e, [run], out)
        for e in entries:
            if e.path.name != BIG_NAME:
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
                e.results[(t, n)] = measure(e, runs[t], outs[t])


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
    add(f"- Files: {len(entries)}; the 12-megapixel photo timed as the median of {args.repeat} runs")
    add("")

    big = next((e for e in entries if e.path.name == BIG_NAME), None)
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
        small = [e for e in common[n] if e is not big]
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
        if big is not None and 256 in colours:
            p = big.results[("palettrim", 256)]
            line = "- 12 MP photo at N=256: "
            if not p.ok:
                line += "palettrim failed"
            else:
                if "graphicsmagick" in tools and big.results[("graphicsmagick", 256)].ok:
                    g = big.results[("graphicsmagick", 256)]
                    line += (f"{p.wall:.2f} s vs GM {g.wall:.2f} s = {p.wall / g.wall:.2f} x "
                             f"(≤ 0.5: {'met' if p.wall <= 0.5 * g.wall else 'MISSED'}; "
                             f"CPU {p.cpu:.2f} s vs {g.cpu:.2f} s); ")
                line += (f"peak {p.rss_kb / 1024:.1f} MB "
                         f"(≤ 120 MB: {'met' if p.rss_kb <= 120 * 1024 else 'MISSED'})")
            add(line)
        add("")

    if big is not None:
        add("## The 12-megapixel photo")
        add("")
        add(f"`{BIG_NAME}`, {big.ref.shape[1]}x{big.ref.shape[0]}, {fmt_bytes(big.in_bytes)} bytes. "
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
    ap.add_argument("--no-big", action="store_true", help="leave out the 12-megapixel photo")
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
    files = [f for f in collect(folders) if not (args.no_big and f.name == BIG_NAME)]
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

    bench(entries, tools, colours, str(converter), args.repeat)

    text = report(entries, tools, colours, args, tool_versions(str(converter)), converter)
    print(text)
    if args.output:
        atomic_write(Path(args.output), lambda t: Path(t).write_text(text + "\n"))


if __name__ == "__main__":
    main()
