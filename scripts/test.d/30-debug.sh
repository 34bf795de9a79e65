# SPDX-License-Identifier: GPL-2.0 OR MIT
# Default (debug) build and its tests.
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
cd "$QUORVIN_ROOT"
cmake_build_and_test debug
