#!/usr/bin/env bash
# Builds the program and starts it; installs only what that needs (no test tools).
set -euo pipefail
cd "$(dirname "$0")/.."
no_display() { [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}${QT_QPA_PLATFORM:-}" ]; }
hint="run it from a terminal of your desktop, or without one under a virtual X server:
    sudo apt-get install xvfb && xvfb-run -a bash scripts/run.sh"
if no_display; then
  echo "run: no display (neither DISPLAY nor WAYLAND_DISPLAY is set): the program will be built"
  echo "run: but cannot open its window; $hint"
fi
bash scripts/bootstrap.sh run
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DPALETTRIM_BUILD_TESTS=OFF
cmake --build build -j"$(nproc)" --target palettrim
if no_display; then
  echo "run: built build/palettrim, but there is no display to show it; $hint" >&2
  exit 1
fi
exec build/palettrim "$@"
