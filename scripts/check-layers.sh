#!/usr/bin/env bash
# Layers only point down: no product file includes a header of a layer above its own.
#   4  app/, cli/                          the two front ends
#   3  update/update_sequence, progress_window (the window's Update sequence)
#   2  ui/                                 window helpers
#   1  update/ (the rest: the portable update chain)
#   0  link/, resources/resource_ids.h
set -uo pipefail
cd "$(dirname "$0")/.."

rank() {  # file -> layer
  case "$1" in
    app/* | cli/*) echo 4 ;;
    update/update_sequence.* | update/progress_window.*) echo 3 ;;
    ui/*) echo 2 ;;
    update/*) echo 1 ;;
    link/* | resources/*) echo 0 ;;
    *) echo -1 ;;
  esac
}

found=0
for file in $(git ls-files 'app/*' 'cli/*' 'update/*' 'ui/*' 'link/*' | grep -E '\.(h|cpp)$'); do
  own=$(rank "$file")
  while read -r header; do
    used=$(rank "$header")
    if [ "$used" -gt "$own" ]; then
      echo "layers: $file (layer $own) includes $header (layer $used)"
      found=1
    fi
  done < <(sed -n 's/^#include "\([^"]*\)".*/\1/p' "$file")
done
[ "$found" -eq 0 ] && echo "layers: every product file includes only its own layer and those below"
exit "$found"
