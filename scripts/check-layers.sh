#!/usr/bin/env bash
# Layers only point down: no product file includes a header of a layer above its own.
#   4  app/, cli/                          the two front ends, side by side: neither includes
#                                          the other; what both need lives below them
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

frontEnd() {  # file -> the front end it belongs to, if any
  case "$1" in
    app/*) echo app ;;
    cli/*) echo cli ;;
  esac
}

found=0
# New files count before they are committed; deleted ones no longer do.
for file in $(git ls-files --cached --others --exclude-standard 'app/*' 'cli/*' 'update/*' 'ui/*' \
  'link/*' | grep -E '\.(h|cpp)$'); do
  [ -f "$file" ] || continue
  own=$(rank "$file")
  side=$(frontEnd "$file")
  while read -r header; do
    used=$(rank "$header")
    other=$(frontEnd "$header")
    if [ "$used" -gt "$own" ]; then
      echo "layers: $file (layer $own) includes $header (layer $used)"
      found=1
    elif [ -n "$side" ] && [ -n "$other" ] && [ "$side" != "$other" ]; then
      echo "layers: $file ($side/) includes $header of the other front end ($other/)"
      found=1
    fi
  done < <(sed -n 's/^#include "\([^"]*\)".*/\1/p' "$file")
done
[ "$found" -eq 0 ] && echo "layers: every product file includes only its own layer and those below"
exit "$found"
