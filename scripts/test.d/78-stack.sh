# SPDX-License-Identifier: GPL-2.0 OR MIT
# Deepest stack use of every exported operation, as the kernel builds the
# core (-O2, general registers only, 32-bit and 64-bit x86): each function's
# frame from -fstack-usage, the calls between them from -fcallgraph-info, the
# deepest chain summed. Fails above 512 bytes (a kernel stack is small), on a
# frame of dynamic size, or on recursion. The host's semaphore and division
# helpers are outside the core and not counted. On x86-64 the core is built
# with its kernel vector variants, AWB/PixelVector.cpp with vector registers
# as Kbuild compiles it; calls through the pixel dispatch table count as
# calls to every pixel kernel.
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
cd "$QUORVIN_ROOT"
need_pkgs python3
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
flags=(-std=gnu++17 -O2 -nostdinc -ffreestanding -fno-exceptions -fno-rtti
    -fno-threadsafe-statics -fno-use-cxa-atexit -fno-unwind-tables -fno-asynchronous-unwind-tables
    -mno-sse -mno-sse2 -mno-mmx -mgeneral-regs-only -D__KERNEL__ -I.
    -fstack-usage -fcallgraph-info=su)
status=0
for arch in -m32 -m64; do
    mkdir -p "$out/$arch"
    for src in AWB/*.cpp; do
        extra=()
        if [ "$arch" = -m64 ]; then
            extra=(-DQUORVIN_KERNEL_VECTORS)
        fi
        if [ "$arch" = -m64 ] && [ "$(basename "$src")" = PixelVector.cpp ]; then
            vector_flags=()
            for f in "${flags[@]}"; do
                case $f in -mno-sse | -mno-sse2 | -mgeneral-regs-only) ;; *) vector_flags+=("$f") ;; esac
            done
            g++ "${vector_flags[@]}" -msse2 "${extra[@]}" "$arch" -c "$src" -o "$out/$arch/$(basename "$src" .cpp).o"
        else
            g++ "${flags[@]}" "${extra[@]}" "$arch" -c "$src" -o "$out/$arch/$(basename "$src" .cpp).o"
        fi
    done
    python3 scripts/stack_depth.py "$arch" "$out/$arch"/*.ci || status=1
done
exit $status
