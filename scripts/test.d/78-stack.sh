# SPDX-License-Identifier: GPL-2.0 OR MIT
# Deepest stack use of every exported operation, as the kernel builds the
# core, on 32-bit and 64-bit x86: the tests stack.i386 and stack.x86_64 of the
# debug build (scripts/core-check.sh, scripts/stack_depth.py). Each fails
# above 512 bytes, on a frame of dynamic size, or on recursion; the depth of
# every operation is printed.
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
cd "$QUORVIN_ROOT"
need_pkgs python3
cmake --preset debug >/dev/null
# ctest --verbose prints the depths; its own bookkeeping lines are dropped.
ctest --preset debug -L '^stack$' --verbose |
    grep -v -E '^(UpdateCTestConfiguration|Constructing a list|Done constructing|Updating test list|Added 0 tests|Checking test dependency)'
