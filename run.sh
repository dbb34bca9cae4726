#!/usr/bin/env bash
# Builds the program and runs its main job: the real executable under Wine with the simulated
# programming unit plugged in, ready to update.
set -euo pipefail
source "$(dirname "$0")/scripts/common.sh"

bash "$repo/scripts/install-deps.sh"
mkdir -p "$build"
build_windows
exec bash "$repo/scripts/run-with-unit.sh" "$@"
