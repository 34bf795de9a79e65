#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0 OR MIT
# Builds the libFuzzer targets with Debian's clang, AddressSanitizer and
# UndefinedBehaviorSanitizer: fuzz/fuzz_*.cpp each become one executable in
# the output directory (default build/fuzz), linked with the core and the
# user-space platform layer compiled the same way. Only the core carries the
# fuzzer's coverage instrumentation: the harness and its model (fuzz/model.h)
# are checked by the sanitizers but not traced, so that the fuzzer's guidance
# is the core's own coverage and the per-pixel model loops run at full speed.
#   fuzz/build.sh [OUTDIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/build/fuzz}
mkdir -p "$out/obj"
cxx=${QUORVIN_FUZZ_CXX:-clang++-14}
command -v "$cxx" >/dev/null || cxx=clang++

san=(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
common=(-std=c++17 -g -O1 -I"$root" -Wall -Wextra -Werror)
# The core as it ships: no exceptions, no RTTI, freestanding (cmake/core-flags.mk).
source "$root/scripts/lib.sh"
read_core_flags core quorvin-core-flags
core_flags=("${common[@]}" "${san[@]}" -fsanitize=fuzzer-no-link "${core[@]}")

objs=()
for src in "$root"/AWB/*.cpp "$root"/AWB/pixel/*.cpp "$root"/platform/user/platform_user.cpp; do
    obj="$out/obj/$(basename "$src" .cpp).o"
    if [ ! -e "$obj" ] || [ "$src" -nt "$obj" ] || [ "$0" -nt "$obj" ] ||
        [ "$root/cmake/core-flags.mk" -nt "$obj" ] ||
        [ -n "$(find "$root/AWB" -name '*.h' -newer "$obj")" ]; then
        extra=()
        # The pixel passes: their comparisons are loop bounds on the frame
        # size, which the fuzzer chooses directly; tracing them doubles the
        # cost of every pixel and tells the fuzzer nothing.
        case $(basename "$src") in
        AveragePixelValue.cpp | WhiteBalanceCtrl.cpp | Pixel*.cpp) extra=(-fno-sanitize-coverage=trace-cmp) ;;
        esac
        "$cxx" "${core_flags[@]}" "${extra[@]}" -c "$src" -o "$obj"
    fi
    objs+=("$obj")
done

for target in "$root"/fuzz/fuzz_*.cpp; do
    name=$(basename "$target" .cpp)
    "$cxx" "${common[@]}" -O2 "${san[@]}" -c "$target" -o "$out/obj/$name.o"
    "$cxx" "${san[@]}" -fsanitize=fuzzer "$out/obj/$name.o" "${objs[@]}" -lpthread \
        -o "$out/$name"
    echo "built $out/$name"
done
