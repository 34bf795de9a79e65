#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0 OR MIT
# Long fuzzing campaign: every fuzz target (or the named ones) runs for
# MINUTES at the lowest priority, all at once, from the committed corpus plus
# what earlier campaigns found (kept in build/fuzz-long/<target>/corpus).
# Prints per target the executions, the rate (a second of the campaign, and a
# second of the target's own processor time, which is what a shared machine
# leaves comparable), the coverage reached (cov: edges, ft: features, from
# libFuzzer's final status line) and the findings, once as sentences and once
# as a Markdown table, ready for docs/robustness.md; the load average before
# and after tells how shared the machine was. The same goes to
# build/fuzz-long/summary.txt. A finding's input is kept as
# build/fuzz-long/<target>-crash-* (or -timeout-*, -oom-*).
#   scripts/fuzz-long.sh MINUTES [TARGET...]
#   QUORVIN_FUZZ_RUNS=N     a target also stops after N executions (the CPU
#                           it no longer takes goes to the others)
#   QUORVIN_FUZZ_MERGE=1    also replaces the committed corpus
#                           fuzz/corpus/<target> by the minimised merge of
#                           old and new
set -euo pipefail
source "$(dirname "$0")/lib.sh"
cd "$QUORVIN_ROOT"
source fuzz/stats.sh
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
load() { sed 's/.*load average: //' <<<"$(uptime)"; }
load_before=$(load)
started=$(date -u '+%Y-%m-%d %H:%M UTC')
pids=()
for t in "${targets[@]}"; do
    [ -x "$bin/fuzz_$t" ] || { echo "no fuzz target $t" >&2; exit 2; }
    mkdir -p "$out/$t/corpus"
    cp -n fuzz/corpus/"$t"/* "$out/$t/corpus/" 2>/dev/null || true
    rm -f "$out/$t"-crash-* "$out/$t"-timeout-* "$out/$t"-oom-* "$out/$t"-leak-*
    runs=()
    [ -n "${QUORVIN_FUZZ_RUNS:-}" ] && runs=(-runs="$QUORVIN_FUZZ_RUNS")
    dict=()
    [ -e "fuzz/$t.dict" ] && dict=(-dict="fuzz/$t.dict")
    # How long the target ran, and its own processor time (user and system).
    (
        TIMEFORMAT='%3R %3U %3S'
        {
            time nice -n 19 "$bin/fuzz_$t" "${dict[@]}" "${runs[@]}" -max_total_time=$((minutes * 60)) \
                -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$out/$t-" "$out/$t/corpus" \
                >"$out/$t.log" 2>&1
        } 2>"$out/$t.cpu"
    ) &
    pids+=($!)
done
status=0
sentences=()
rows=()
for i in "${!targets[@]}"; do
    t=${targets[$i]}
    result="no findings"
    if ! wait "${pids[$i]}"; then
        result="FINDING: $(fuzz_finding "$out/$t.log")"
        status=1
    fi
    fuzz_read_log "$out/$t.log"
    real="?" user="?" sys="?"
    read -r real user sys < <(tail -1 "$out/$t.cpu") || true
    secs=$(awk -v r="$real" 'BEGIN { if (r ~ /^[0-9.]+$/) printf "%d", r + 0.5; else print "?" }')
    cpu_rate="?"
    if [[ $FUZZ_EXECS =~ ^[0-9]+$ ]]; then
        cpu_rate=$(awk -v n="$FUZZ_EXECS" -v u="$user" -v s="$sys" \
            'BEGIN { c = u + s; if (c > 0) printf "%d", n / c; else print "?" }')
    fi
    sentences+=("\`fuzz_$t\` $(group "$FUZZ_EXECS") executions in $(group "$secs") s ($(group "$FUZZ_RATE") a second, $(group "$cpu_rate") per second of its own processor time), $(group "$FUZZ_COV") edges, $(group "$FUZZ_FT") features, $(group "$FUZZ_CORPUS") inputs in the corpus; $result")
    rows+=("| \`fuzz_$t\` | $(group "$FUZZ_EXECS") | $(group "$secs") | $(group "$FUZZ_RATE") | $(group "$cpu_rate") | $(group "$FUZZ_COV") | $(group "$FUZZ_FT") | $(group "$FUZZ_CORPUS") | $([ "$result" = "no findings" ] && echo none || echo "${result#FINDING: }") |")
    if [ "${QUORVIN_FUZZ_MERGE:-}" = 1 ] && [ "$result" = "no findings" ]; then
        rm -rf "$out/$t/merged"
        mkdir -p "$out/$t/merged"
        "$bin/fuzz_$t" -merge=1 "$out/$t/merged" fuzz/corpus/"$t" "$out/$t/corpus" \
            >"$out/$t.merge.log" 2>&1
        rm -rf fuzz/corpus/"$t"
        mkdir -p fuzz/corpus/"$t"
        cp "$out/$t/merged"/* fuzz/corpus/"$t"/
        echo "fuzz_$t: committed corpus now $(ls fuzz/corpus/"$t" | wc -l) inputs" >&2
    fi
done
{
    echo "Fuzzing campaign of $minutes minute$([ "$minutes" = 1 ] || echo s) from $started${QUORVIN_FUZZ_RUNS:+, at most $(group "$QUORVIN_FUZZ_RUNS") executions a target}: ${#targets[@]} target$([ ${#targets[@]} = 1 ] || echo s) at once at the lowest priority on $(nproc) processors; load average (1, 5, 15 minutes) before $load_before, after $(load)."
    echo
    for s in "${sentences[@]}"; do echo "- $s."; done
    echo
    echo "| Target | Executions | Seconds | A second | A processor second | Edges (cov) | Features (ft) | Corpus | Findings |"
    echo "|---|---:|---:|---:|---:|---:|---:|---:|---|"
    for r in "${rows[@]}"; do echo "$r"; done
} | tee "$out/summary.txt"
exit $status
