# SPDX-License-Identifier: GPL-2.0 OR MIT
# AddressSanitizer + UndefinedBehaviorSanitizer build and its tests.
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
cd "$QUORVIN_ROOT"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
cmake_build_and_test asan
