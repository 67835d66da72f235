#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the benchmarks need.
# Idempotent: packages already present are skipped, so a second run is quick.
set -euo pipefail

packages=(
  # build
  build-essential cmake pkg-config git
  qt6-base-dev qt6-base-dev-tools libqt6svg6
  libimagequant-dev
  libgtest-dev googletest
  # fonts the windows name (a face metric-compatible with Arial)
  fonts-liberation
  # sanitizers and the fuzzer
  clang libclang-rt-14-dev libfuzzer-14-dev
  # readers our outputs are checked against, and the peers of the benchmark
  imagemagick graphicsmagick netpbm pngquant python3-pil python3-numpy python3-skimage hyperfine time
  # SDL_image (through pygame), the fifth reader every written layout must satisfy
  python3-pygame
  # end-to-end run under a real X server
  xvfb xauth xdotool x11-utils at-spi2-core python3-pyatspi dbus-x11
  # the windows natively on Wayland, under a headless compositor
  weston qt6-wayland
  # packaging checks
  desktop-file-utils appstream dpkg-dev file man-db
)

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

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "bootstrap: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
