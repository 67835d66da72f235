#!/usr/bin/python3
"""Folder-scan and long-list benchmark.

Builds a tree of FILES files in FOLDERS folders (50 top folders, the rest below them), then
times "Add All" (the whole PushButton3 handler in the real main window, offscreen) against
`find` over the same tree, warm cache, and reports the ratio of the medians. Then fills the
list with ROWS rows and times one-row scroll steps and drag-reorder moves, each painted.

    cmake --build build --target scan_bench
    bench/scan_bench/run.py [--build build] [--files 100000] [--folders 5000] [--runs 5] [--rows 10000]

Goals: the scan at most twice `find`'s time (wall and CPU time are both shown: on a shared machine
the CPU ratio is the steadier one); scrolling and dragging with 10,000 rows well
under a frame (16 ms) per step.
"""
import argparse
import json
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time


def make_tree(root, files, folders):
    top = 50
    per_top = (folders - top) // top
    dirs = []
    for t in range(top):
        d = os.path.join(root, f"album{t:02d}")
        os.mkdir(d)
        dirs.append(d)
        for s in range(per_top):
            sd = os.path.join(d, f"roll{s:03d}")
            os.mkdir(sd)
            dirs.append(sd)
    for i in range(files):
        with open(os.path.join(dirs[i % len(dirs)], f"img{i:06d}.pcx"), "wb"):
            pass
    return len(dirs)


def run_find(args):
    """Wall and CPU milliseconds of one `find` run."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    t = time.perf_counter()
    subprocess.run(args, stdout=subprocess.DEVNULL, check=True)
    wall = (time.perf_counter() - t) * 1000
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime) * 1000
    return wall, cpu


def bench_json(cmd, env):
    out = subprocess.run(cmd, env=env, capture_output=True, text=True)
    if out.returncode != 0:
        sys.exit(f"{' '.join(cmd)} failed:\n{out.stdout}\n{out.stderr}")
    return json.loads(out.stdout.strip().splitlines()[-1])


def compare(exe, tree, ext, find_args, runs, env):
    """Runs `find` and "Add All" in turn, warm cache, so both see the same load."""
    subprocess.run(find_args, stdout=subprocess.DEVNULL, check=True)
    fw, fc, sw, sc, gaps, rows = [], [], [], [], [], 0
    for _ in range(runs):
        w, c = run_find(find_args)
        fw.append(w)
        fc.append(c)
        s = bench_json([exe, "scan", tree, ext, "1"], env)
        sw.append(s["median_ms"])
        sc.append(s["cpu_ms"])
        gaps.append(s["max_gap_ms"])
        rows = s["rows"]
    m = statistics.median
    return m(fw), m(sw), m(fc), m(sc), max(gaps), rows


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default="build")
    ap.add_argument("--files", type=int, default=100000)
    ap.add_argument("--folders", type=int, default=5000)
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--rows", type=int, default=10000)
    ap.add_argument("--tree", help="use this folder (kept) instead of a fresh temporary one")
    a = ap.parse_args()

    exe = os.path.join(a.build, "bench", "scan_bench", "scan_bench")
    if not os.access(exe, os.X_OK):
        sys.exit(f"{exe} missing: cmake --build {a.build} --target scan_bench")

    work = tempfile.mkdtemp(prefix="scan_bench.")
    env = dict(os.environ, XDG_CONFIG_HOME=os.path.join(work, "config"), QT_QPA_PLATFORM="offscreen")
    try:
        tree = a.tree
        if not tree:
            tree = os.path.join(work, "tree")
            os.mkdir(tree)
            n = make_tree(tree, a.files, a.folders)
            print(f"tree: {a.files} files in {n} folders under {tree}", file=sys.stderr)

        print("| what | find wall (ms) | Add All wall (ms) | wall ratio | find CPU (ms) | Add All CPU (ms) "
              "| CPU ratio | rows | longest unserved gap (ms) |")
        print("|---|---|---|---|---|---|---|---|---|")
        # The last line puts the program's heap on transparent huge pages: on machines where a
        # page fault is dear (virtual machines), creating 100,000 rows costs mostly faults.
        huge = dict(env, GLIBC_TUNABLES="glibc.malloc.hugetlb=1")
        for label, ext, find_args, scan_env in (
            ('every file ("*")', "*", ["find", tree, "-type", "f"], env),
            ('"pcx" files', "pcx", ["find", tree, "-type", "f", "-iname", "*.pcx"], env),
            ('every file, heap on huge pages', "*", ["find", tree, "-type", "f"], huge),
        ):
            fw, sw, fc, sc, gap, rows = compare(exe, tree, ext, find_args, a.runs, scan_env)
            print(f"| {label} | {fw:.0f} | {sw:.0f} | {sw / fw:.2f} | {fc:.0f} | {sc:.0f} | {sc / fc:.2f} "
                  f"| {rows} | {gap:.0f} |")

        r = bench_json([exe, "rows", str(a.rows)], env)
        print()
        print(f"| {r['rows']} rows | steps | median (ms) | max (ms) |")
        print("|---|---|---|---|")
        print(f"| scroll one row and paint | {r['scroll_steps']} | {r['scroll_median_ms']:.3f} | {r['scroll_max_ms']:.3f} |")
        print(f"| drag-reorder move (swap, scroll, paint) | {r['moves']} | {r['move_median_ms']:.3f} | {r['move_max_ms']:.3f} |")
        print(f"\ndragged row {r['dragged_from']} ended at row {r['dragged_to']}")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
