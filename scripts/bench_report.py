#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0 OR MIT
# The table scripts/bench.sh prints: each pixel pass's throughput from the
# JSON output of the two benchmark programs (Google Benchmark), as ratios to
# the baselines of the same program and run.
#   scripts/bench_report.py USER.json KERNEL.json
import json, sys
def load(path):
    runs = json.load(open(path))['benchmarks']
    medians = {r['run_name']: r for r in runs if r.get('aggregate_name') == 'median'}
    return medians or {r['name']: r for r in runs if r.get('run_type', 'iteration') == 'iteration'}
user, kernel = load(sys.argv[1]), load(sys.argv[2])
def gbs(runs, name):
    r = runs.get(name)
    return r['bytes_per_second'] / 1e9 if r and 'bytes_per_second' in r else None
def ratio(a, b):
    return f'{a / b:6.2f}' if a and b else '     -'
plain_of = {'UpdateAverage': 'plain.pairs', 'ImageProcessing': 'plain.walk',
            'ImageProcessing.green': 'plain.walk.green', 'ImageCopyProcessing': 'plain.copywalk',
            'Frame': 'plain.pairs'}
print('Throughput in GB/s of frame bytes (median of the repetitions); ratios to baselines of the same program and run:')
print('read64 = 64-bit streaming read, readSIMD = best vector read, rmw64 = in-place 64-bit')
print('read-modify-write, plain = the plain pair loop or table walk of the same pass,')
print('full = the same variant without the green shortcut.')
header = f'{"pass":34}{"GB/s":>7}{"read64":>8}{"rdSIMD":>8}{"rmw64":>8}{"memcpy":>8}{"plain":>8}{"full":>8}'
sizes = sorted({n.split('/', 1)[1] for n in user if '/' in n and not n.startswith('Paired.')},
               key=lambda s: (s.endswith('out'), int(s.split('x')[0])))
for size in sizes:
    print(f'\n{size}\n{header}')
    for prog, runs in (('user', user), ('kernel', kernel)):
        base = lambda n: gbs(runs, f'{n}/{size}')
        read64 = base('read.word64')
        simd = max([v for v in (base('read.avx2'), base('read.avx512')) if v] or [0]) or None
        for name in sorted(n for n in runs if n.endswith('/' + size)):
            what = name.split('/')[0]
            if what.startswith(('read.', 'rmw.', 'memcpy', 'plain.')):
                continue
            kind = what.rsplit('.', 1)[0]
            value = gbs(runs, name)
            full = None
            if '.green.' in what:
                full = gbs(runs, f'{what.replace(".green", "")}/{size}')
            plain = base(plain_of.get(kind, plain_of.get(kind.split('.')[0], '')))
            label = f'{prog}: {what}'
            print(f'{label:34}{value:7.2f}{ratio(value, read64):>8}{ratio(value, simd):>8}'
                  f'{ratio(value, base("rmw.word64")):>8}{ratio(value, base("memcpy")):>8}'
                  f'{ratio(value, plain):>8}{ratio(value, full):>8}')
    print(f'{"baselines (user)":34}' + '  '.join(
        f'{b}={base_v:.2f}' for b in ('read.word64', 'read.avx2', 'read.avx512', 'rmw.word64',
                                      'memcpy', 'plain.pairs', 'plain.walk')
        if (base_v := gbs(user, f'{b}/{size}'))))
paired = [(prog, name, r) for prog, runs in (('user', user), ('kernel', kernel))
          for name, r in runs.items() if name.startswith('Paired.')]
if paired:
    print('\nPaired, out of cache: the pass and its baselines alternate frame by frame in one run,')
    print('so drifts of memory speed touch both alike; ratios of summed times.')
    print(f'{"pass":44}{"GB/s":>7}{"read64":>8}{"rdSIMD":>8}{"rmw64":>8}')
    for prog, name, r in sorted(paired, key=lambda t: (t[1].split('/')[1], t[0] != 'user', t[1])):
        what, size = name.split('/')[0][len('Paired.'):], '/'.join(name.split('/')[1:3])
        cell = lambda k: f'{r[k]:8.2f}' if k in r else '       -'
        print(f'{prog + ": " + what + " " + size:44}{r["bytes_per_second"] / 1e9:7.2f}'
              f'{cell("vs_read64")}{cell("vs_readSIMD")}{cell("vs_rmw64")}')
print('\nSkipped frames (no controller due):')
for name in ('Skipped.ALCWBalance', 'Skipped.ImageBalance'):
    for prog, runs in (('user', user), ('kernel', kernel)):
        r = runs.get(name)
        if r:
            print(f'  {prog}: {name:24} {r["real_time"]:7.1f} {r["time_unit"]}')
