#!/usr/bin/env bash
# End-to-end run of the real program under a private X server, driven from outside through
# its accessibility interface (see drive_palettrim.py).
#
#   tests/e2e/run_e2e.sh build/palettrim [SCREENSHOT_FOLDER]
#
# Exits 77 (skipped) only when no X server for tests (Xvfb) is installed.
set -euo pipefail

exe=${1:?usage: run_e2e.sh PALETTRIM_EXECUTABLE [SCREENSHOT_FOLDER]}
shots=${2:-}

if ! command -v Xvfb >/dev/null 2>&1; then
  echo "SKIP: Xvfb is not installed, so there is no X server to run the program on" \
       "(scripts/bootstrap.sh installs xvfb)."
  exit 77
fi
for tool in dbus-run-session xdotool xdpyinfo import identify; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "e2e: '$tool' is missing; run scripts/bootstrap.sh" >&2
    exit 1
  fi
done
# The accessibility bindings are a Debian package, so the system's own interpreter is used.
py=/usr/bin/python3
if ! "$py" -c 'import pyatspi, PIL' 2>/dev/null; then
  echo "e2e: python3-pyatspi or python3-pil is missing; run scripts/bootstrap.sh" >&2
  exit 1
fi

here=$(cd "$(dirname "$0")" && pwd)
scratch=$(mktemp -d /tmp/palettrim-e2e.XXXXXX)
xpid=""
cleanup() {
  if [ -n "$xpid" ]; then kill "$xpid" 2>/dev/null || true; wait "$xpid" 2>/dev/null || true; fi
  rm -rf "$scratch"
}
trap cleanup EXIT

# A display number of our own: Xvfb picks a free one and reports it.
for attempt in 1 2 3; do
  : >"$scratch/display"
  Xvfb -displayfd 5 -screen 0 1280x1024x24 -nolisten tcp 5>"$scratch/display" \
    2>"$scratch/xvfb.log" &
  xpid=$!
  for _ in $(seq 100); do [ -s "$scratch/display" ] && break; sleep 0.1; done
  if [ -s "$scratch/display" ] && DISPLAY=":$(cat "$scratch/display")" xdpyinfo >/dev/null 2>&1; then
    break
  fi
  kill "$xpid" 2>/dev/null || true; wait "$xpid" 2>/dev/null || true; xpid=""
done
if [ -z "$xpid" ]; then
  echo "e2e: Xvfb did not start:" >&2; cat "$scratch/xvfb.log" >&2
  exit 1
fi
export DISPLAY=":$(cat "$scratch/display")"
# One start in a hundred opens the web site; without a browser that is an error report, which
# the run would not expect. A browser that does nothing keeps the start alike every time.
export BROWSER=true

# A private session bus, on which the accessibility bus and registry start on demand.
dbus-run-session -- "$py" "$here/drive_palettrim.py" "$exe" "$scratch" ${shots:+"$shots"}
