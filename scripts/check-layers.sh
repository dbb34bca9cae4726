#!/usr/bin/env bash
# Layers only point down: no product file includes a header of a layer above its own. And no loop
# between files: a header declares only functions its own source file defines (a header without
# a source file of its name is a seam, implemented per platform), and no file reaches back, by
# an include, to a file that reaches it.
#   4  app/, cli/, web/                    the front ends, side by side: none includes another;
#                                          what they share lives below them
#   3  update/update_sequence, progress_window (the window's Update sequence)
#   2  ui/                                 window helpers
#   1  update/ (the rest: the portable update chain)
#   0  link/, resources/resource_ids.h
set -uo pipefail
cd "$(dirname "$0")/.."

rank() {  # file -> layer
  case "$1" in
    app/* | cli/* | web/*) echo 4 ;;
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
    web/*) echo web ;;
  esac
}

found=0
# New files count before they are committed; deleted ones no longer do.
for file in $(git ls-files --cached --others --exclude-standard 'app/*' 'cli/*' 'web/*' 'update/*' \
  'ui/*' 'link/*' | grep -E '\.(h|cpp)$'); do
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

# The functions a header declares at its top level: a statement that starts in column 0, has a
# parameter list and ends in ";" (not in "{", a definition in the header itself).
declared_functions() {  # header
  awk '
    /^[ \t]*(#|\/\/)/ { next }
    {
      line = $0
      sub(/\/\/.*/, "", line)
      if (depth == 0 && statement == "" && line ~ /^[A-Za-z_]/ &&
          line !~ /^(using|typedef|extern|struct|enum|class|inline|constexpr|template|static_assert|namespace|__attribute__)/)
        statement = line
      else if (statement != "")
        statement = statement " " line
      opened = gsub(/\{/, "{", line); closed = gsub(/\}/, "}", line)
      depth += opened - closed
      if (statement != "" && (statement ~ /;[ \t]*$/ || statement ~ /\{/)) {
        if (statement ~ /\(/ && statement !~ /\{/ && statement !~ /operator/) {
          name = statement
          sub(/\(.*/, "", name)
          sub(/.*[^A-Za-z0-9_]/, "", name)
          print name
        }
        statement = ""
      }
    }' "$1"
}

product_files() {
  git ls-files --cached --others --exclude-standard 'app/*' 'cli/*' 'web/*' 'update/*' 'ui/*' \
    'link/*' |
    grep -E '\.(h|cpp)$' | while read -r file; do [ -f "$file" ] && echo "$file"; done
}

for header in $(product_files | grep '\.h$'); do
  source_file=${header%.h}.cpp
  [ -f "$source_file" ] || continue
  for name in $(declared_functions "$header"); do
    if ! grep -qE "^[A-Za-z_].*(^|[^A-Za-z0-9_])$name\(" "$source_file"; then
      echo "layers: $header declares $name, which $source_file does not define"
      found=1
    fi
  done
done

# A file and the header of its name are one module; an include from one module to another is an
# arrow. tsort finds any loop among the arrows.
module_arrows() {
  local file header
  for file in $(product_files); do
    while read -r header; do
      [ -f "$header" ] || continue
      [ "${file%.*}" != "${header%.*}" ] && echo "${file%.*} ${header%.*}"
    done < <(sed -n 's/^#include "\([^"]*\)".*/\1/p' "$file")
  done
}
loops=$(module_arrows | tsort 2>&1 >/dev/null)
if [ -n "$loops" ]; then
  echo "layers: files that reach back to a file that reaches them:"
  echo "$loops" | sed 's/^tsort: //'
  found=1
fi

[ "$found" -eq 0 ] && echo "layers: every product file includes only its own layer and those below, and no file reaches back"
exit "$found"
