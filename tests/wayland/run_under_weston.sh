#!/usr/bin/env bash
# Runs cases of the program's test suite natively on Wayland, under a private Weston with its
# headless backend, and fails on anything the program writes to standard error there.
#
#   tests/wayland/run_under_weston.sh build/tests/palettrim_tests 'OneWindowTest.*'
#
# Exits 77 (skipped) only when Weston is not installed.
set -euo pipefail

usage="usage: run_under_weston.sh TEST_EXECUTABLE GTEST_FILTER"
tests=${1:?$usage}
filter=${2:?$usage}

if ! command -v weston >/dev/null 2>&1; then
  echo "SKIP: weston is not installed, so there is no Wayland compositor to run on" \
       "(scripts/bootstrap.sh installs weston and qt6-wayland)."
  exit 77
fi

runtime=$(mktemp -d /tmp/palettrim-wayland.XXXXXX)
chmod 700 "$runtime"
wpid=""
cleanup() {
  if [ -n "$wpid" ]; then kill "$wpid" 2>/dev/null || true; wait "$wpid" 2>/dev/null || true; fi
  rm -rf "$runtime"
}
trap cleanup EXIT

# Weston 10 (Debian 12) names its backend by file; later releases by a short name.
major=$(weston --version 2>/dev/null | sed -n 's/^weston \([0-9]*\).*/\1/p')
backend=headless
if [ -n "$major" ] && [ "$major" -le 10 ]; then backend=headless-backend.so; fi
socket=wayland-palettrim-$$
XDG_RUNTIME_DIR=$runtime weston --backend="$backend" --socket="$socket" --no-config \
  --idle-time=0 >"$runtime/weston.log" 2>&1 &
wpid=$!

# Weston creates its socket once it listens; it may also fail before that.
while [ ! -S "$runtime/$socket" ]; do
  if ! kill -0 "$wpid" 2>/dev/null; then
    echo "wayland: weston ended before it listened:" >&2
    cat "$runtime/weston.log" >&2
    exit 1
  fi
  sleep 0.1
done

status=0
XDG_RUNTIME_DIR=$runtime WAYLAND_DISPLAY=$socket QT_QPA_PLATFORM=wayland \
  "$tests" --gtest_filter="$filter" 2>"$runtime/stderr" || status=$?
if [ -s "$runtime/stderr" ]; then
  echo "wayland: the program wrote to standard error:" >&2
  cat "$runtime/stderr" >&2
  [ "$status" != 0 ] || status=1
fi
if [ "$status" != 0 ]; then
  echo "wayland: weston's log:" >&2
  tail -20 "$runtime/weston.log" >&2
fi
exit "$status"
