#!/usr/bin/env bash
# Runs cases of the program's test suite under a private X server with a screen reader's bridge
# on: a private session bus, the accessibility bus started on it, QT_LINUX_ACCESSIBILITY_ALWAYS_ON
# set, as with a screen reader running.
#
#   tests/accessible/run_with_bridge.sh build/tests/palettrim_tests 'WaitTest.ABarGivenANote*'
#
# Exits 77 (skipped) only when Xvfb, dbus-run-session or the accessibility bus is not installed.
set -euo pipefail

usage="usage: run_with_bridge.sh TEST_EXECUTABLE GTEST_FILTER"
tests=${1:?$usage}
filter=${2:?$usage}

for tool in xvfb-run dbus-run-session dbus-send; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "SKIP: $tool is not installed (scripts/bootstrap.sh installs xvfb, dbus-x11 and at-spi2-core)."
    exit 77
  fi
done

# The bridge connects only to an accessibility bus that is already there, as on a desktop.
inside='dbus-send --session --print-reply --dest=org.a11y.Bus /org/a11y/bus org.a11y.Bus.GetAddress >/dev/null || exit 77
  QT_QPA_PLATFORM=xcb QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 "$1" --gtest_filter="$2"'
status=0
xvfb-run -a dbus-run-session -- bash -c "$inside" _ "$tests" "$filter" || status=$?
[ "$status" != 77 ] || echo "SKIP: the accessibility bus (at-spi2-core) cannot be started here."
exit "$status"
