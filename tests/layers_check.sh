#!/usr/bin/env bash
# The folders' floors: core/ uses nothing above it; filelist/, engine/ and results/ use core/ and
# themselves only, so no window reaches into another's; app/ may use them all.
#   layers_check.sh SOURCE_DIR
set -euo pipefail
cd "${1:?usage: layers_check.sh SOURCE_DIR}"
bad=0
check() {
  local folder=$1 allowed=$2
  while IFS= read -r hit; do
    echo "layers: $hit reaches outside $allowed" >&2
    bad=1
  done < <(grep -HnE '#include "[a-z]+/' "$folder"/*.cpp "$folder"/*.h \
             | grep -vE "#include \"($allowed)/" || true)
}
check core 'core'
check filelist 'core|filelist'
check engine 'core|engine'
check results 'core|results|converter'
# The run knows no widget, Qt's own included: it shows itself through core/progress.h.
while IFS= read -r hit; do
  echo "layers: $hit includes a widget" >&2
  bad=1
done < <(grep -HnE '#include <(QtWidgets/|QWidget|QApplication|QProgressBar|QDialog|QMessageBox)' \
           engine/*.cpp engine/*.h || true)
exit $bad
