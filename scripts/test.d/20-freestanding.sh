# SPDX-License-Identifier: GPL-2.0 OR MIT
# The core must build as the kernel builds it: no system header, no
# exceptions or RTTI, no SIMD or floating-point registers, on 64-bit and
# 32-bit x86; and its objects must not use SIMD registers. The tests
# freestanding.x86_64 and freestanding.i386 of the debug build
# (scripts/core-check.sh).
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
cd "$QUORVIN_ROOT"
cmake --preset debug >/dev/null
ctest --preset debug -L '^freestanding$'
