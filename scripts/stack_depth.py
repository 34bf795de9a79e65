#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0 OR MIT
# Deepest stack use of every exported operation (Quorvin_*) of the core from
# the call graphs GCC writes with -fstack-usage -fcallgraph-info=su: each
# function's frame plus the deepest chain of calls below it. Calls through
# pointers count as calls to every function the pointer may hold. Fails at
# 512 bytes or more, on a frame of dynamic size, or on recursion.
#   scripts/stack_depth.py ARCH FILE.ci...
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
count_kernels = {n for n in frame if re.search(r'quorvin_pixel[0-9]+CountRows', n)}
def through_pointer(caller):
    if 'CountClipped' in caller:
        return count_kernels
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
