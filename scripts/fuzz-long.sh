#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0 OR MIT
# Long fuzzing campaign: every fuzz target (or the named ones) runs for
# MINUTES at the lowest priority, all at once, from the committed corpus plus
# what earlier campaigns found (kept in build/fuzz-long/<target>/corpus).
# Prints per target the executions, the coverage reached (cov: edges, ft:
# features) and the findings, and writes them to build/fuzz-long/summary.txt.
# A finding's input is kept as build/fuzz-long/<target>-crash-*.
#   scripts/fuzz-long.sh MINUTES [TARGET...]
#   QUORVIN_FUZZ_RUNS=N     a target also stops after N executions (the CPU
#                           it no longer takes goes to the others)
#   QUORVIN_FUZZ_MERGE=1    also replaces the committed corpus
#                           fuzz/corpus/<target> by the minimised merge of
#                           old and new
set -euo pipefail
source "$(dirname "$0")/lib.sh"
cd "$QUORVIN_ROOT"
[ $# -ge 1 ] && [[ $1 =~ ^[0-9]+$ ]] || {
    echo "usage: $0 MINUTES [TARGET...]" >&2
    exit 2
}
minutes=$1
shift
need_pkgs clang libclang-rt-14-dev
out=build/fuzz-long
# Its own build, so that other builds do not replace the binaries under it.
bin=$out/bin
bash fuzz/build.sh "$bin" >/dev/null
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    for b in "$bin"/fuzz_*; do targets+=("$(basename "$b" | sed 's/^fuzz_//')"); done
fi
export ASAN_OPTIONS=abort_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
mkdir -p "$out"
pids=()
for t in "${targets[@]}"; do
    [ -x "$bin/fuzz_$t" ] || { echo "no fuzz target $t" >&2; exit 2; }
    mkdir -p "$out/$t/corpus"
    cp -n fuzz/corpus/"$t"/* "$out/$t/corpus/" 2>/dev/null || true
    runs=()
    [ -n "${QUORVIN_FUZZ_RUNS:-}" ] && runs=(-runs="$QUORVIN_FUZZ_RUNS")
    dict=()
    [ -e "fuzz/$t.dict" ] && dict=(-dict="fuzz/$t.dict")
    nice -n 19 "$bin/fuzz_$t" "${dict[@]}" "${runs[@]}" -max_total_time=$((minutes * 60)) -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$out/$t-" "$out/$t/corpus" >"$out/$t.log" 2>&1 &
    pids+=($!)
done
status=0
: >"$out/summary.txt"
for i in "${!targets[@]}"; do
    t=${targets[$i]}
    result="no findings"
    if ! wait "${pids[$i]}"; then
        result="FINDING (see $out/$t.log)"
        status=1
    fi
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$out/$t.log")
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$out/$t.log")
    last=$(grep -E '^#[0-9]+' "$out/$t.log" | tail -1)
    cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")
    ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")
    # Stopped by the execution count: libFuzzer says how long it took.
    secs=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$out/$t.log")
    line="fuzz $t: ${execs:-?} executions in ${secs:-$((minutes * 60))} s (${rate:-?}/s), cov: ${cov:-?}, ft: ${ft:-?}, $result"
    echo "$line" | tee -a "$out/summary.txt"
    if [ "${QUORVIN_FUZZ_MERGE:-}" = 1 ] && [ "$result" = "no findings" ]; then
        rm -rf "$out/$t/merged"
        mkdir -p "$out/$t/merged"
        "$bin/fuzz_$t" -merge=1 "$out/$t/merged" fuzz/corpus/"$t" "$out/$t/corpus" \
            >"$out/$t.merge.log" 2>&1
        rm -rf fuzz/corpus/"$t"
        mkdir -p fuzz/corpus/"$t"
        cp "$out/$t/merged"/* fuzz/corpus/"$t"/
        echo "fuzz $t: committed corpus now $(ls fuzz/corpus/"$t" | wc -l) inputs"
    fi
done
exit $status
