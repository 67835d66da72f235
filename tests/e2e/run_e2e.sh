#!/usr/bin/env bash
# End-to-end run of the real program under a private X server, driven from outside through
# its accessibility interface (see drive_palettrim.py).
#
#   tests/e2e/run_e2e.sh build/palettrim           screenshots into build/e2e-screenshots/
#   tests/e2e/run_e2e.sh build/palettrim --docs    screenshots over the README's docs/*.png
#
# The build is installed into a scratch root first. In a private mount namespace that root is
# seen at /usr/local and an empty home at /home/user, so the windows show the paths a user of an
# installed program sees, not the build machine's. Where namespaces are refused the run goes on
# from the scratch paths, but then never writes docs/.
# Exits 77 (skipped) only when no X server for tests (Xvfb) is installed.
set -euo pipefail

usage="usage: run_e2e.sh PALETTRIM_EXECUTABLE_IN_BUILD_TREE [--docs]"
exe=${1:?$usage}
docs=0
case "${2:-}" in
  "") ;;
  --docs) docs=1 ;;
  *) echo "$usage" >&2; exit 2 ;;
esac

if ! command -v Xvfb >/dev/null 2>&1; then
  echo "SKIP: Xvfb is not installed, so there is no X server to run the program on" \
       "(scripts/bootstrap.sh installs xvfb)."
  exit 77
fi
for tool in dbus-run-session xdotool xdpyinfo import identify unshare; do
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
build=$(cd "$(dirname "$exe")" && pwd)
[ -f "$build/cmake_install.cmake" ] || { echo "e2e: $build is not a build tree" >&2; exit 2; }
repo_docs=$(cd "$here/../.." && pwd)/docs
shots_dest="$build/e2e-screenshots"
[ "$docs" = 0 ] || shots_dest=$repo_docs

scratch=$(mktemp -d /tmp/palettrim-e2e.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
root="$scratch/root"
mkdir -p "$root/home/user" "$scratch/shots"

# Root needs only a mount namespace; anyone else maps themselves to root in a user namespace.
ns=(unshare --mount)
[ "$(id -u)" = 0 ] || ns=(unshare --user --map-root-user --mount)
in_ns=1
"${ns[@]}" mount --bind "$scratch/shots" /usr/local 2>/dev/null || in_ns=0
# In a user namespace the system's folders belong to an unmapped owner, which the work-folder
# check refuses; a normal user's run outside --docs goes without the namespace.
if [ "$(id -u)" != 0 ] && [ "$docs" = 0 ]; then in_ns=0; fi
if [ "$in_ns" = 0 ] && [ "$docs" = 1 ]; then
  echo "e2e: no private mount namespace here ('${ns[*]}' was refused), so the pictures would" \
       "show scratch paths; docs/ is left as it is" >&2
  exit 1
fi
DESTDIR="$root" cmake --install "$build" --prefix /usr/local >"$scratch/install.log" \
  || { echo "e2e: installing the build failed:" >&2; cat "$scratch/install.log" >&2; exit 1; }
# The run may hide the folder this script lives in (a checkout under /home).
cp "$here/drive_palettrim.py" "$scratch/"

# Everything of one run: the X server, the session bus and the driver. It sees the installed
# tree under VIEW (empty inside the namespace) and writes its screenshots to scratch/shots.
session() {
  local scratch=$1 view=$2
  xpid=""
  trap 'if [ -n "$xpid" ]; then kill "$xpid" 2>/dev/null || true; wait "$xpid" 2>/dev/null || true; fi' EXIT
  # A display number of our own: Xvfb picks a free one and reports it.
  for attempt in 1 2 3; do
    : >"$scratch/display"
    Xvfb -displayfd 5 -screen 0 1280x1024x24 -nolisten tcp 5>"$scratch/display" \
      2>"$scratch/xvfb.log" &
    xpid=$!
    for _ in $(seq 100); do [ -s "$scratch/display" ] && break; sleep 0.1; done
    if [ -s "$scratch/display" ] && DISPLAY=":$(cat "$scratch/display")" xdpyinfo >/dev/null 2>&1
    then
      break
    fi
    kill "$xpid" 2>/dev/null || true; wait "$xpid" 2>/dev/null || true; xpid=""
  done
  if [ -z "$xpid" ]; then
    echo "e2e: Xvfb did not start:" >&2; cat "$scratch/xvfb.log" >&2
    return 1
  fi
  export DISPLAY=":$(cat "$scratch/display")"
  # One start in a hundred opens the web site; without a browser that is an error report, which
  # the run would not expect. A browser that does nothing keeps the start alike every time.
  export BROWSER=true
  # A private session bus, on which the accessibility bus and registry start on demand.
  dbus-run-session -- /usr/bin/python3 "$scratch/drive_palettrim.py" \
    "$view/usr/local/lib/palettrim/palettrim" "$scratch" "$view/home/user" "$scratch/shots"
}

status=0
if [ "$in_ns" = 1 ]; then
  inside='set -euo pipefail
    mount --bind "$1/root/usr/local" /usr/local
    mount --bind "$1/root/home" /home
    cd /
    session "$1" ""'
  "${ns[@]}" bash -c "$(declare -f session)"$'\n'"$inside" _ "$scratch" || status=$?
else
  echo "e2e: no private mount namespace here; the windows show the scratch paths under $root"
  (session "$scratch" "$root") || status=$?
fi

if compgen -G "$scratch/shots/*.png" >/dev/null && { [ "$docs" = 0 ] || [ "$status" = 0 ]; }; then
  mkdir -p "$shots_dest"
  [ "$docs" = 1 ] || rm -f "$shots_dest"/*.png
  cp "$scratch"/shots/*.png "$shots_dest"/
  echo "e2e: screenshots in $shots_dest"
fi
exit "$status"
