# SPDX-License-Identifier: GPL-2.0 OR MIT
# ThreadSanitizer build and its tests: the threaded tests must show no race
# and no deadlock.
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
cd "$QUORVIN_ROOT"
export TSAN_OPTIONS=halt_on_error=1
cmake_build_and_test tsan
