#!/usr/bin/env bash
# Builds the project and runs the virtual camera on its built-in scene.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
cd "$QUORVIN_ROOT"
need_pkgs "${QUORVIN_BASE_PKGS[@]}"
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)"
echo "virtual camera not built yet"
