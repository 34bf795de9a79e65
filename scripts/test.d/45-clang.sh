# SPDX-License-Identifier: GPL-2.0 OR MIT
# The whole project (library, tests, tools, benchmarks) built by Debian's
# clang with the same warnings as errors, under AddressSanitizer and
# UndefinedBehaviorSanitizer, and its tests.
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
cd "$QUORVIN_ROOT"
need_pkgs clang libclang-rt-14-dev
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
cmake_build_and_test clang-asan
