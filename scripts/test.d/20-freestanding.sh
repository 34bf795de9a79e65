# SPDX-License-Identifier: GPL-2.0 OR MIT
# The core must build as the kernel builds it: no system header, no
# exceptions or RTTI, no SIMD or floating-point registers, on 64-bit and
# 32-bit x86; and its objects must not use SIMD registers.
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
cd "$QUORVIN_ROOT"
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
flags=(-std=gnu++17 -O2 -nostdinc -ffreestanding -fno-exceptions -fno-rtti
    -fno-threadsafe-statics -fno-use-cxa-atexit -fno-unwind-tables -fno-asynchronous-unwind-tables
    -mno-sse -mno-sse2 -mno-mmx -mgeneral-regs-only
    -D__KERNEL__ -Wall -Wextra -Wconversion -Wsign-conversion -Werror -I.)
for arch in -m64 -m32; do
    for src in AWB/*.cpp; do
        obj="$out/$(basename "$src" .cpp)$arch.o"
        g++ "${flags[@]}" "$arch" -c "$src" -o "$obj"
        if objdump -d "$obj" | grep -q -E '%[xyz]mm[0-9]|%mm[0-9]|%st\b'; then
            echo "SIMD or x87 register in $src ($arch)"
            exit 1
        fi
        if objdump -h "$obj" | grep -q -E '\.(init_array|ctors|eh_frame|gcc_except_table)'; then
            echo "constructor or unwind section in $src ($arch)"
            exit 1
        fi
    done
done
echo "freestanding: core builds for the kernel on x86-64 and i386"
