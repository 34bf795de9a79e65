#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0 OR MIT
# The core (AWB/**/*.cpp) compiled as the kernel compiles it, with the flags of
# cmake/core-flags.mk, and checked; the tests freestanding.<arch> and
# stack.<arch> (tests/CMakeLists.txt) run it.
#
#   scripts/core-check.sh freestanding ARCH [OUTDIR [CXX]]
#       the core builds without a system header, exceptions or RTTI, and no
#       object uses SIMD or x87 registers or has a constructor or unwind
#       section (the core without its kernel vector variants);
#   scripts/core-check.sh stack ARCH [OUTDIR [CXX]]
#       the deepest stack use of every exported operation
#       (scripts/stack_depth.py): each function's frame from -fstack-usage,
#       the calls between them from -fcallgraph-info, the deepest chain
#       summed. Fails above 512 bytes (a kernel stack is small), on a frame of
#       dynamic size, or on recursion. The host's semaphore and division
#       helpers are outside the core and not counted. On x86-64 and arm64 the
#       core is built with its kernel vector variants, AWB/PixelVector.cpp
#       (AWB/PixelNeon.cpp) with vector registers as Kbuild compiles it;
#       calls through the pixel dispatch table count as calls to every pixel
#       kernel.
#
# ARCH is x86_64 or i386, or for the stack check arm64 (CXX then an aarch64
# cross compiler, such as the one scripts/test.d/52-arm64-user.sh extracts).
# The objects go to OUTDIR (a temporary directory by default); CXX is the
# compiler (g++ by default, as the kernel's gcc).
set -euo pipefail
source "$(dirname "$0")/lib.sh"
cd "$QUORVIN_ROOT"
check=${1:?freestanding or stack}
arch=${2:?x86_64 or i386}
out=${3:-}
cxx=${4:-g++}
if [ -z "$out" ]; then
    out=$(mktemp -d)
    trap 'rm -rf "$out"' EXIT
fi
mkdir -p "$out"
rm -f "$out"/*.o "$out"/*.su "$out"/*.ci

vector_source=PixelVector.cpp
if [ "$arch" = arm64 ]; then
    read_core_flags kernel quorvin-kernel-check-flags quorvin-kernel-arm64-flags \
        quorvin-kernel-arm64-check-flags quorvin-core-flags quorvin-kernel-cxx-flags
    read_core_flags no_vector quorvin-no-vector-arm64-flags
    read_core_flags vector_object quorvin-vector-object-arm64-flags
    vector_source=PixelNeon.cpp
else
    read_core_flags kernel quorvin-kernel-check-flags "quorvin-kernel-$arch-flags" quorvin-core-flags \
        quorvin-kernel-cxx-flags
    read_core_flags no_vector quorvin-no-vector-flags
    read_core_flags vector_object quorvin-vector-object-flags
fi
case $check in
freestanding)
    # (arm64's objects are checked by the kernel build's guard.)
    [ "$arch" != arm64 ] || { echo "core-check: freestanding is checked on x86" >&2; exit 2; }
    extra=(-Wall -Wextra -Wconversion -Wsign-conversion -Werror -I.)
    vectors=false
    ;;
stack)
    extra=(-I. -fstack-usage -fcallgraph-info=su)
    # The kernel's vector variants are x86-64's and arm64's.
    vectors=$([ "$arch" != i386 ] && echo true || echo false)
    ;;
*)
    echo "core-check: no check $check" >&2
    exit 2
    ;;
esac
if $vectors; then
    read_core_flags vector_defines quorvin-kernel-vector-flags
    extra+=("${vector_defines[@]}")
fi

for src in AWB/*.cpp AWB/pixel/*.cpp; do
    obj="$out/$(basename "$src" .cpp).o"
    flags=("${kernel[@]}" "${no_vector[@]}")
    if $vectors && [ "$(basename "$src")" = "$vector_source" ]; then
        flags=("${kernel[@]}" "${vector_object[@]}")
    fi
    "$cxx" "${flags[@]}" "${extra[@]}" -c "$src" -o "$obj"
    if [ "$check" = freestanding ]; then
        if objdump -d "$obj" | grep -q -E '%[xyz]mm[0-9]|%mm[0-9]|%st\b'; then
            echo "SIMD or x87 register in $src ($arch)"
            exit 1
        fi
        if objdump -h "$obj" | grep -q -E '\.(init_array|ctors|eh_frame|gcc_except_table)'; then
            echo "constructor or unwind section in $src ($arch)"
            exit 1
        fi
    fi
done
case $check in
freestanding) echo "freestanding: core builds for the kernel on $arch" ;;
stack) python3 scripts/stack_depth.py "$arch" "$out"/*.ci ;;
esac
