#!/usr/bin/env bash
# The folders' floors, from the bottom: core/ (settings, files, texts, records, services, the
# session's signals) uses nothing above it; widgets/ uses core/; engine/ uses core/ only, and
# the converter's codec for a file's size in pixels; filelist/ and results/ use core/ and
# widgets/ (results also the codec), so no window reaches into another's; app/ may use them
# all. Neither core/ nor engine/ includes a header of Qt's widget module, so what they do runs
# and is tested without a window. A quoted include without a folder is the codec's (its folder
# is on the include path).
#   layers_check.sh SOURCE_DIR QTWIDGETS_HEADER_DIR
set -euo pipefail
cd "${1:?usage: layers_check.sh SOURCE_DIR QTWIDGETS_HEADER_DIR}"
widget_headers=${2:?usage: layers_check.sh SOURCE_DIR QTWIDGETS_HEADER_DIR}
floors=(core widgets engine filelist results app)
# Folders of C++ sources that are on no floor: the Qt-free converter and the tests.
others=(converter tests)
bad=0

# FILE:LINE:#include "..." for every quoted include of the folder's sources.
includes() { grep -HnE '^\s*#\s*include\s*"' "$1"/*.cpp "$1"/*.h || true; }

check() {
  local folder=$1 allowed=$2 hit file text target
  [[ -d $folder ]] || { echo "layers: no folder $folder/" >&2; bad=1; return; }
  while IFS= read -r hit; do
    file=${hit%%:*}
    text=${hit#*:*:}
    target=$(sed -E 's/^\s*#\s*include\s*"([^"]*)".*/\1/' <<<"$text")
    [[ $target == */* ]] || target=converter/$target
    [[ ${target%%/*} =~ ^($allowed)$ ]] && continue
    echo "layers: $hit reaches outside $allowed" >&2
    bad=1
  done < <(includes "$folder")
}

# No header of Qt's widget module, by any of its names: <QWidget>, <qwidget.h>, <QtWidgets>,
# <QtWidgets/...>.
no_widgets() {
  local folder=$1 hit name
  while IFS= read -r hit; do
    name=$(sed -E 's/^[^<]*<([^>]*)>.*/\1/' <<<"${hit#*:*:}")
    if [[ $name == QtWidgets || $name == QtWidgets/* || -e $widget_headers/$name ]]; then
      echo "layers: $hit is a widget header" >&2
      bad=1
    fi
  done < <(grep -HnE '^\s*#\s*include\s*<' "$folder"/*.cpp "$folder"/*.h || true)
}

# No two files of one folder include each other's headers, however indirectly: a circle.
no_circles() {
  local folder=$1 hit file target from to
  declare -A edges=()
  while IFS= read -r hit; do
    file=${hit%%:*}
    target=$(sed -E 's/^[^"]*"([^"]*)".*/\1/' <<<"${hit#*:*:}")
    [[ $target == "$folder"/* ]] || continue
    from=$(basename "${file%.*}")
    to=$(basename "${target%.*}")
    [[ $from == "$to" ]] || edges[$from]+=" $to"
  done < <(includes "$folder")
  # What each file reaches; one that reaches itself closes a circle.
  for from in "${!edges[@]}"; do
    local -A seen=()
    local todo=(${edges[$from]})
    while ((${#todo[@]})); do
      to=${todo[0]}
      todo=("${todo[@]:1}")
      [[ -n ${seen[$to]:-} ]] && continue
      seen[$to]=1
      if [[ $to == "$from" ]]; then
        echo "layers: $folder/$from is in an include circle" >&2
        bad=1
        break
      fi
      todo+=(${edges[$to]:-})
    done
    unset seen
  done
}

# An empty or wrong header folder would let every widget header through.
if [[ ! -e $widget_headers/QWidget || ! -e $widget_headers/QApplication ]]; then
  echo "layers: $widget_headers holds no Qt widget headers" >&2
  exit 2
fi

check core 'core'
check widgets 'core|widgets'
check engine 'core|engine|converter'
check filelist 'core|widgets|filelist'
check results 'core|widgets|results|converter'
check app 'core|widgets|engine|filelist|results|app'
no_widgets core
no_widgets engine
no_circles engine

# A new folder of sources has to be given its floor here.
for dir in */; do
  dir=${dir%/}
  [[ -e $dir/CMakeCache.txt ]] && continue  # a build tree inside the sources
  compgen -G "$dir/*.cpp" >/dev/null || compgen -G "$dir/*.h" >/dev/null || continue
  if [[ ! " ${floors[*]} ${others[*]} " == *" $dir "* ]]; then
    echo "layers: $dir/ is on no floor" >&2
    bad=1
  fi
done
exit $bad
