#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0 OR MIT
# Builds the project (release preset) and runs the virtual camera on its
# built-in scene; installs the Debian packages it needs when they are missing.
# Arguments are passed to quorvin-camsim (try --help or --list-scenarios),
# for example: bash scripts/run.sh --scenario lights-on --entry alc
set -euo pipefail
source "$(dirname "$0")/lib.sh"
cd "$QUORVIN_ROOT"
build_camsim gnuplot-nox
out="$QUORVIN_ROOT/build/camsim"
echo "== running the virtual camera"
build/release/tools/quorvin-camsim --out "$out" "$@"
