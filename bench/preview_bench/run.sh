#!/usr/bin/env bash
# Times the preview tooltip on a 12-megapixel pair: a 4000x3000 24-bit photo and its 16-colour
# reduction by palettrim-convert; then the memory taken by hovering many files that claim the
# largest picture. See README.md.
#
#   bench/preview_bench/run.sh [BUILD_FOLDER] [RUNS]
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build}
runs=${2:-5}
cmake --build "$build" -j2 --target preview_bench palettrim-convert >/dev/null

out=bench/out/preview
mkdir -p "$out"
photo=$out/photo12mp_24bit.pcx
reduced=$out/photo12mp_16c.pcx
if [ ! -s "$photo" ]; then
  # Made as the converter bench makes its big photo: skimage's coffee filling 4000x3000.
  convert /usr/lib/python3/dist-packages/skimage/data/coffee.png -filter Lanczos \
    -resize 4000x3000^ -gravity center -extent 4000x3000 ppm:- | ppmtopcx -24bit >"$photo"
fi
[ -s "$reduced" ] || "$build/converter/palettrim-convert" -q -colors 16 -o "$reduced" "$photo"

config=$(mktemp -d)
trap 'rm -rf "$config"' EXIT
echo "$(nproc) cores; $(ls -l "$photo" | awk '{print $5}') and $(ls -l "$reduced" | awk '{print $5}') bytes"
XDG_CONFIG_HOME=$config "$build/bench/preview_bench/preview_bench" "$photo" "$reduced" "$runs"
# Many small files whose headers claim the largest picture a preview decodes, all hovered.
XDG_CONFIG_HOME=$config "$build/bench/preview_bench/preview_bench" --claims "$out/claims" 16
# Many files claiming 8-megapixel pictures: several decodes at once.
XDG_CONFIG_HOME=$config "$build/bench/preview_bench/preview_bench" --claims "$out/claims" 24 2896 2896
