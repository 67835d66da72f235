#!/usr/bin/env bash
# Builds the .deb from a finished build tree, unpacks it into a temporary root and checks what a
# user would get: the file list, the desktop entry, the metainfo, the converter and the program
# started through its link finding its samples.
# The control fields are held to Debian's rules, the man pages must read with man, and lintian
# must find no error or warning.
# usage: check_package.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/pkg" >/dev/null) \
  || fail "cpack did not build the package"
deb=$(ls "$work"/pkg/*.deb | head -n1)
[ -f "$deb" ] || fail "no .deb produced"

root="$work/root"
dpkg-deb -x "$deb" "$root"
id=org.palettrim.Palettrim
expect=(
  usr/lib/palettrim/palettrim
  usr/lib/palettrim/HAND-M.CUR
  usr/lib/palettrim/drag.ico
  usr/bin/palettrim
  usr/bin/palettrim-convert
  usr/share/applications/$id.desktop
  usr/share/metainfo/$id.metainfo.xml
  usr/share/icons/hicolor/scalable/apps/$id.svg
  usr/share/icons/hicolor/48x48/apps/$id.png
  usr/share/man/man1/palettrim.1.gz
  usr/share/man/man1/palettrim-convert.1.gz
  usr/share/doc/palettrim/copyright
  usr/share/doc/palettrim/changelog.gz
)
for f in "${expect[@]}"; do
  [ -e "$root/$f" ] || fail "missing $f"
done
[ -L "$root/usr/bin/palettrim" ] || fail "usr/bin/palettrim is not a link"
[ "$(readlink "$root/usr/bin/palettrim")" = "../lib/palettrim/palettrim" ] || fail "link target"
n=$(find "$root/usr/lib/palettrim/Samples" -maxdepth 1 -type f -iname '*.pcx' | wc -l)
[ "$n" -ge 4 ] || fail "expected at least 4 samples, found $n"

# Declared dependencies name the run-time libraries.
deps=$(dpkg-deb -f "$deb" Depends)
for d in libqt6widgets6 libimagequant0 libacl1 qt6-qpa-plugins fonts-liberation fonts-dejavu-core; do
  grep -q "$d" <<<"$deps" || fail "Depends lacks $d: $deps"
done

# No package named twice: dpkg-shlibdeps adds the linked libraries to the ones listed by hand.
twice=$(tr ',|' '\n\n' <<<"$deps" | sed -E 's/\(.*\)//; s/:[a-z0-9]+//; s/[[:space:]]//g' \
  | grep . | sort | uniq -d)
[ -z "$twice" ] || fail "Depends names $(echo $twice) more than once: $deps"
grep -qw man-db <<<"$(dpkg-deb -f "$deb" Recommends)" || fail "Recommends lacks man-db"

# Description: the synopsis once, then the long text with each line indented by exactly one space
# (more would show it verbatim), " ." between paragraphs, nothing repeated, at most 80 columns.
dpkg-deb -I "$deb" control | awk '/^Description:/ {on=1; sub(/^Description: ?/, ""); print; next}
  on && /^[^ ]/ {on=0} on {print}' >"$work/description"
synopsis=$(head -n1 "$work/description")
tail -n +2 "$work/description" >"$work/long"
[ -n "$synopsis" ] || fail "Description has no synopsis"
[ -s "$work/long" ] || fail "Description has no long text"
bad=$(grep -vxE ' [^ ].*| \.' "$work/long" || true)
[ -z "$bad" ] || fail "Description lines not indented by exactly one space: $bad"
! grep -qixF " $synopsis" "$work/long" || fail "Description repeats its synopsis"
again=$(grep -vxF ' .' "$work/long" | sort | uniq -d)
[ -z "$again" ] || fail "Description repeats: $again"
long=$(awk 'length($0) > 80' "$work/description")
[ -z "$long" ] || fail "Description lines over 80 columns: $long"

# The man pages: compressed without a name or time stamp (the same bytes on every build), and
# found and rendered by man from the unpacked tree without a warning.
for name in palettrim palettrim-convert; do
  page="$root/usr/share/man/man1/$name.1.gz"
  [ ! -e "${page%.gz}" ] || fail "the man page $name is installed uncompressed too"
  gzip -t "$page" || fail "the man page $name is not a valid gzip file"
  [ "$(od -An -tx1 -j3 -N5 "$page" | tr -d ' \n')" = 0000000000 ] \
    || fail "the man page $name's gzip header carries a name or time stamp (use gzip -n)"
  rendered=$(MANPAGER=cat MANWIDTH=80 LC_ALL=C.UTF-8 man --warnings -M "$root/usr/share/man" \
    "$name" 2>"$work/man.err") || fail "man cannot show $name: $(cat "$work/man.err")"
  [ ! -s "$work/man.err" ] || fail "man warns about the page $name: $(cat "$work/man.err")"
  grep -q '^SYNOPSIS' <<<"$rendered" && grep -q "$name" <<<"$rendered" \
    || fail "man rendered no synopsis for $name: $rendered"
done

# Debian's own checks: no error, no warning, and among the notes none on the binaries' hardening
# (both are built with Debian's hardening flags).
command -v lintian >/dev/null || fail "lintian is missing; run scripts/bootstrap.sh"
lintian --fail-on error,warning --display-info "$deb" >"$work/lintian.out" 2>&1 \
  || fail "lintian: $(cat "$work/lintian.out")"
! grep -q 'hardening-' "$work/lintian.out" || fail "lintian: $(grep 'hardening-' "$work/lintian.out")"

desktop-file-validate "$root/usr/share/applications/$id.desktop" || fail "desktop entry"
if command -v appstreamcli >/dev/null; then
  appstreamcli validate --no-net "$root/usr/share/metainfo/$id.metainfo.xml" >/dev/null \
    || fail "metainfo"
fi

"$root/usr/bin/palettrim-convert" --version >/dev/null || fail "converter --version"

# Starts the installed program with its own settings store, waits for the samples to be recorded,
# then sends SIGTERM, which must end it within a few seconds whatever it is showing.
export QT_QPA_PLATFORM=offscreen
start_and_stop() {
  export XDG_CONFIG_HOME="$1/config" XDG_CACHE_HOME="$1/cache"
  ini="$XDG_CONFIG_HOME/Quillmark/Palettrim.ini"
  "$root/usr/bin/palettrim" &
  local pid=$! ended=no
  for _ in $(seq 1 100); do
    if [ -f "$ini" ] && grep -q '^Snapshot=.' "$ini"; then break; fi
    sleep 0.1
  done
  sleep 0.5
  kill -TERM "$pid" 2>/dev/null || true
  for _ in $(seq 1 100); do
    if ! kill -0 "$pid" 2>/dev/null; then ended=yes; break; fi
    sleep 0.1
  done
  if [ "$ended" = no ]; then
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    fail "the installed program did not end on SIGTERM ($2)"
  fi
  wait "$pid" 2>/dev/null || true
  grep -q '^Snapshot=.' "$ini" 2>/dev/null
}

# Started through the link with an empty settings store, the program records its samples at once.
# Without a browser, about one start in a hundred stops at the web visit's error report before
# the samples are recorded; another start then draws again.
found=no
for try in 1 2 3; do
  if start_and_stop "$work/first$try" "first start"; then found=yes; break; fi
done
[ "$found" = yes ] || fail "the installed program did not find its samples"

# A broken stored colour choice is reported at start-up in a dialog that nobody answers here.
mkdir -p "$work/broken/config/Quillmark"
printf '[Palettrim]\nCombo1=abc\n' >"$work/broken/config/Quillmark/Palettrim.ini"
start_and_stop "$work/broken" "an error report open at start-up" \
  || fail "the installed program did not find its samples (broken colour choice)"

echo "package ok: $(basename "$deb"), $(dpkg-deb -c "$deb" | wc -l) entries"
