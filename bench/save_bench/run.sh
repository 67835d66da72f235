#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# "Save Keeping Subfolders" against "Save Results" of the same 500 rows in 40 subfolders: wall
# times taking turns, then the instructions each takes under callgrind. See bench/README.md.
#
#   bench/save_bench/run.sh [BUILD_FOLDER] [RUNS]
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build}
runs=${2:-7}
cmake --build "$build" -j2 --target save_bench >/dev/null
bench=$build/bench/save_bench/save_bench

scratch=$(mktemp -d "${TMPDIR:-/var/tmp}/save_bench.XXXXXX")
config=$(mktemp -d)
trap 'rm -rf "$scratch" "$config"' EXIT
echo "$(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg); files on $(df -T "$scratch" | awk 'NR==2 {print $2}')"
XDG_CONFIG_HOME=$config "$bench" "$scratch" "$runs"
if command -v valgrind >/dev/null 2>&1; then
  for layout in flat tree; do
    XDG_CONFIG_HOME=$config valgrind --tool=callgrind --callgrind-out-file="$scratch/cg.$layout" \
      "$bench" "$scratch" --once "$layout" >/dev/null 2>&1
  done
  # The whole process, the tree's making included (made once, before the first); the saves
  # differ only in the save.
  flat=$(callgrind_annotate "$scratch/cg.flat" 2>/dev/null | awk '/PROGRAM TOTALS/ {gsub(",", "", $1); print $1}')
  tree=$(callgrind_annotate "$scratch/cg.tree" 2>/dev/null | awk '/PROGRAM TOTALS/ {gsub(",", "", $1); print $1}')
  echo "instructions, whole process: Save Results $flat, Save Keeping Subfolders $tree"
  awk -v f="$flat" -v t="$tree" 'BEGIN {printf "instruction ratio:       %8.3f\n", t / f}'
fi
