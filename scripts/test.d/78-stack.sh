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
    python3 - "$arch" "$out/$arch"/*.ci <<'PY' || status=1
import re, sys
arch, files = sys.argv[1], sys.argv[2:]
frame, calls, dynamic = {}, {}, []
node = re.compile(r'node: \{ title: "([^"]+)" label: "([^"]*)"')
edge = re.compile(r'edge: \{ sourcename: "([^"]+)" targetname: "([^"]+)"')
for path in files:
    for line in open(path):
        m = node.match(line)
        if m:
            size = re.search(r'\\n(\d+) bytes \(([^)]*)\)', m.group(2))
            if size:
                frame[m.group(1)] = int(size.group(1))
                if 'dynamic' in size.group(2) and 'bounded' not in size.group(2):
                    dynamic.append(m.group(1))
            continue
        m = edge.match(line)
        if m:
            calls.setdefault(m.group(1), set()).add(m.group(2))
# Calls through pointers reach the camera callbacks of the balance object,
# or, from the pixel code, the pixel kernels of its dispatch table.
indirect = {'SetShutterAndCDSGainToCamera', 'GetFrameClock'}
sum_kernels = {n for n in frame if re.search(r'quorvin_pixel[0-9]+SumRows', n)}
correct_kernels = {n for n in frame if re.search(r'quorvin_pixel[0-9]+CorrectRows', n)}
def through_pointer(caller):
    if 'CorrectAndMeasure' in caller:
        return sum_kernels | correct_kernels
    if 'Correct' in caller and 'quorvin_pixel' in caller:
        return correct_kernels
    if 'quorvin_pixel' in caller:
        return sum_kernels
    return indirect
def deepest(name, chain):
    if name in chain:
        raise SystemExit('recursion: ' + ' -> '.join(chain + (name,)))
    targets = set(calls.get(name, ()))
    if '__indirect_call' in targets:
        targets = (targets - {'__indirect_call'}) | through_pointer(name)
    below = [deepest(t, chain + (name,)) for t in targets]
    best = max(below, default=(0, ()))
    return frame.get(name, 0) + best[0], (name,) + best[1]
exported = sorted(n for n in frame if n.startswith('Quorvin_'))
worst = 0
for name in exported:
    total, chain = deepest(name, ())
    worst = max(worst, total)
    print(f'stack {arch} {name:34} {total:4} bytes  ' + ' > '.join(chain))
if dynamic:
    raise SystemExit('frames of dynamic size: ' + ', '.join(dynamic))
if not exported:
    raise SystemExit('no exported operation found')
print(f'stack {arch}: deepest {worst} bytes (limit 512)')
if worst >= 512:
    raise SystemExit('stack use above the limit')
PY
done
exit $status
