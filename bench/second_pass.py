#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""How much a second pass of palettrim-convert over its own output still saves.

Every PCX file of the corpus (tests/data/pcx and bench/out/corpus, which converter_bench.py makes)
is reduced to N colours, and that output is reduced again at the same N; both passes with
-renumber, which a converter from before that option always did. A first pass that found the
smallest file leaves the second nothing to gain. With --kept, the first pass also runs without
-renumber (indices kept where the picture fits), for the cost of keeping them.

The markdown report goes to standard output, progress to standard error.
"""

import argparse
import os
import subprocess
import sys
import tempfile
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
DEFAULT_CONVERTER = REPO / "build" / "converter" / "palettrim-convert"
FOLDERS = [REPO / "tests" / "data" / "pcx", REPO / "bench" / "out" / "corpus"]
SHRINK_GOAL = 0.005  # a second pass shrinks no output by more than this


def convert(converter, flags, n, inp, out):
    p = subprocess.run([converter, "-q", *flags, "-colors", str(n), "-o", str(out), str(inp)],
                       stdin=subprocess.DEVNULL, capture_output=True, text=True)
    if p.returncode != 0:
        sys.exit(f"second_pass: {inp} at {n}: {p.stderr.strip()}")
    return out.stat().st_size


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("folders", nargs="*", help="folders of PCX files (default: the bench corpus)")
    ap.add_argument("--converter", default=str(DEFAULT_CONVERTER))
    ap.add_argument("--colors", default="256,16,4")
    ap.add_argument("--kept", action="store_true", help="also the first pass without -renumber")
    args = ap.parse_args()
    converter = str(Path(args.converter).resolve())
    usage = subprocess.run([converter, "--help"], capture_output=True, text=True).stdout
    flags = ["-renumber"] if "-renumber" in usage else []
    files = sorted(f for d in (map(Path, args.folders) if args.folders else FOLDERS)
                   for f in d.glob("*.pcx"))
    if not files:
        sys.exit("second_pass: no .pcx files; run bench/converter_bench.py once to make the corpus")

    print(f"Converter `{args.converter}`, first and second pass with `{' '.join(flags) or '(nothing)'}`; "
          f"{len(files)} files.\n")
    print("| N | first pass | second pass | gain (files that shrink) | files that shrink | by more than 0.5% | worst |"
          + (" indices kept | cost |" if args.kept else ""))
    print("|---|---:|---:|---:|---:|---:|---|" + ("---:|---:|" if args.kept else ""))
    with tempfile.TemporaryDirectory() as td:
        tmp = Path(td)
        for n in (int(c) for c in args.colors.split(",")):
            first = second = gain = kept = 0
            shrunk, over, worst = 0, 0, (0.0, "")
            for f in files:
                print(f"{n} {f.name}", file=sys.stderr, flush=True)
                a = convert(converter, flags, n, f, tmp / "a.pcx")
                b = convert(converter, flags, n, tmp / "a.pcx", tmp / "b.pcx")
                first += a
                second += b
                gain += max(0, a - b)
                shrunk += b < a
                over += b < a * (1 - SHRINK_GOAL)
                worst = max(worst, ((a - b) / a, f"{f.name} {a:,} → {b:,}"))
                if args.kept:
                    kept += convert(converter, [], n, f, tmp / "k.pcx")
            row = (f"| {n} | {first:,} | {second:,} | {gain:,} ({100 * gain / first:.2f}%) "
                   f"| {shrunk} | {over} | {worst[1] if worst[0] > 0 else '—'} |")
            if args.kept:
                row += f" {kept:,} | {kept - first:+,} ({100 * (kept - first) / first:+.2f}%) |"
            print(row, flush=True)


if __name__ == "__main__":
    main()
