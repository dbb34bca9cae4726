#!/usr/bin/env bash
# Builds the program and runs its main job: the real executable under Wine with the simulated
# programming unit plugged in, ready to update (scripts/run-with-unit.sh takes a situation name).
#   bash run.sh web   the browser page instead: builds it, serves the demo (the page with the
#                     simulated unit) on 127.0.0.1 and plays an update in headless Chromium
set -euo pipefail
source "$(dirname "$0")/scripts/common.sh"

bash "$repo/scripts/install-deps.sh"
mkdir -p "$build"
if [ "${1:-}" = web ]; then
  configure_and_build "$build/web" web
  exec node "$repo/tests/web/play.mjs"
fi
build_windows
exec bash "$repo/scripts/run-with-unit.sh" "$@"
