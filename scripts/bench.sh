#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0 OR MIT
# Builds the release benchmarks and prints each pixel pass's throughput as
# ratios to the baselines measured in the same run. Two programs run: the
# user-space core (every variant the processor has) and the core compiled as
# the kernel compiles it (general registers only). Arguments go to both
# (e.g. --benchmark_filter=1920x1080). QUORVIN_BENCH_MIN_TIME (seconds,
# default 0.3) sets the time per figure; QUORVIN_BENCH_POOL_MB the size of
# the out-of-cache frame pool (default 512); QUORVIN_BENCH_BUILD the build
# directory (default build/release); QUORVIN_BENCH_REPS the repetitions of
# each figure (default 5). Repetitions run in random order, interleaved with
# the other figures, and each figure is the median of its repetitions, so that
# a passing load on a shared machine moves a figure and its baselines alike.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
cd "$QUORVIN_ROOT"
need_pkgs "${QUORVIN_BASE_PKGS[@]}" python3
build=${QUORVIN_BENCH_BUILD:-build/release}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target quorvin-bench quorvin-bench-kernel >/dev/null
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
min_time=${QUORVIN_BENCH_MIN_TIME:-0.3}
reps=${QUORVIN_BENCH_REPS:-5}
for prog in quorvin-bench quorvin-bench-kernel; do
    echo "== running $prog" >&2
    "$build/bench/$prog" --benchmark_min_time="$min_time" --benchmark_repetitions="$reps" \
        --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true \
        --benchmark_out="$out/$prog.json" --benchmark_out_format=json "$@" >&2
done
python3 scripts/bench_report.py "$out/quorvin-bench.json" "$out/quorvin-bench-kernel.json"
