#!/usr/bin/env bash
# Installs the Debian packages Palettrim needs.
#   bootstrap.sh run   only what building and running the program (and its package) need
#   bootstrap.sh       that, plus everything the tests and the benchmarks need
# Idempotent: packages already present are skipped, so a second run is quick.
set -euo pipefail

run_packages=(
  # build
  build-essential cmake pkg-config
  qt6-base-dev qt6-base-dev-tools libqt6svg6
  libimagequant-dev
  # the work folder's access lists
  libacl1-dev
  # fonts the windows name (a face metric-compatible with Arial), and the sans-serif face
  # fontconfig gives every other text (without it, Liberation Mono)
  fonts-liberation fonts-dejavu-core
  # the windows natively on a Wayland desktop (elsewhere Qt falls back to X11)
  qt6-wayland
  # the .deb: CPack finds the binaries with file
  file
)

test_packages=(
  git
  libgtest-dev googletest
  # sanitizers and the fuzzer
  clang libclang-rt-14-dev libfuzzer-14-dev
  # readers our outputs are checked against, and the peers of the benchmark
  imagemagick graphicsmagick netpbm pngquant python3-pil python3-numpy python3-skimage hyperfine time
  # the benches' instruction counts (callgrind), which load does not move
  valgrind
  # SDL_image (through pygame), the fifth reader every written layout must satisfy
  python3-pygame
  # the palette bench's sprite set: the animation frames of one of its characters
  pingus-data
  # the mapping bench's game palette: Freedoom's PLAYPAL
  freedoom
  # end-to-end run under a real X server
  xvfb xauth xdotool x11-utils at-spi2-core python3-pyatspi dbus-x11
  # the windows natively on Wayland, under a headless compositor
  weston
  # the pointer's image as the X server shows it (read through XFixes)
  libxfixes3
  # FAT images for the test of a folder that ignores letter case (kernel or FUSE mount, as root)
  dosfstools fusefat
  # packaging checks
  desktop-file-utils appstream dpkg-dev man-db lintian
)

case "${1:-all}" in
  run) packages=("${run_packages[@]}") ;;
  all) packages=("${run_packages[@]}" "${test_packages[@]}") ;;
  *) echo "usage: bootstrap.sh [run]" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "bootstrap: all packages present"
  exit 0
fi

install="apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends ${missing[*]}"
if [ "$(id -u)" -eq 0 ]; then
  echo "bootstrap: installing ${missing[*]}"
  bash -c "$install"
elif command -v sudo >/dev/null; then
  echo "bootstrap: installing ${missing[*]} (through sudo)"
  sudo bash -c "$install"
else
  # Systems installed with a root password come without sudo.
  echo "bootstrap: these Debian packages are missing: ${missing[*]}" >&2
  echo "bootstrap: there is no sudo here; install them as root (it asks for root's password):" >&2
  echo "" >&2
  echo "    su -c '$install'" >&2
  echo "" >&2
  echo "bootstrap: then run this command again." >&2
  exit 1
fi
