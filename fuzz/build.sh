#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0 OR MIT
# Builds the libFuzzer targets with Debian's clang, AddressSanitizer and
# UndefinedBehaviorSanitizer: fuzz/fuzz_*.cpp each become one executable in
# the output directory (default build/fuzz), linked with the core and the
# user-space platform layer compiled the same way.
#   fuzz/build.sh [OUTDIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/build/fuzz}
mkdir -p "$out/obj"
cxx=${QUORVIN_FUZZ_CXX:-clang++-14}
command -v "$cxx" >/dev/null || cxx=clang++

san=(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
common=(-std=c++17 -g -O1 -I"$root" -Wall -Wextra -Werror)
# The core as it ships: no exceptions, no RTTI, freestanding.
core_flags=("${common[@]}" "${san[@]}" -fsanitize=fuzzer-no-link -fno-exceptions -fno-rtti
    -ffreestanding)

objs=()
for src in "$root"/AWB/*.cpp "$root"/platform/user/platform_user.cpp; do
    obj="$out/obj/$(basename "$src" .cpp).o"
    if [ ! -e "$obj" ] || [ "$src" -nt "$obj" ] || [ "$0" -nt "$obj" ] ||
        [ -n "$(find "$root/AWB" -name '*.h' -newer "$obj")" ]; then
        "$cxx" "${core_flags[@]}" -c "$src" -o "$obj"
    fi
    objs+=("$obj")
done

for target in "$root"/fuzz/fuzz_*.cpp; do
    name=$(basename "$target" .cpp)
    "$cxx" "${common[@]}" "${san[@]}" -fsanitize=fuzzer "$target" "${objs[@]}" -lpthread \
        -o "$out/$name"
    echo "built $out/$name"
done
