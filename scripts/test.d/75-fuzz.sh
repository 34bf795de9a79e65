# SPDX-License-Identifier: GPL-2.0 OR MIT
# Coverage-guided fuzzing under AddressSanitizer and UndefinedBehaviorSanitizer
# (Debian's clang and libFuzzer): replays every committed regression input,
# then runs each target from its committed seed corpus for a bounded time.
# Any crash, sanitizer report or invariant violation fails the step.
# QUORVIN_FUZZ_SECONDS sets the time per target (default 60); long campaigns
# are scripts/fuzz-long.sh.
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
cd "$QUORVIN_ROOT"
source fuzz/stats.sh
need_pkgs clang libclang-rt-14-dev
out=build/fuzz
bash fuzz/build.sh "$out" >/dev/null
seconds=${QUORVIN_FUZZ_SECONDS:-60}
export ASAN_OPTIONS=abort_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
for bin in "$out"/fuzz_*; do
    name=$(basename "$bin")
    target=${name#fuzz_}
    # Inputs that once failed must keep passing.
    if compgen -G "fuzz/regressions/$target/*" >/dev/null; then
        if ! "$bin" -runs=1 fuzz/regressions/"$target"/* >"$work/$target.replay" 2>&1; then
            tail -30 "$work/$target.replay"
            echo "fuzz $target: a committed regression input fails"
            status=1
            continue
        fi
    fi
    # Run on a copy, so that the committed corpus stays as it is.
    mkdir -p "$work/$target"
    cp fuzz/corpus/"$target"/* "$work/$target"/ 2>/dev/null || true
    dict=()
    [ -e "fuzz/$target.dict" ] && dict=(-dict="fuzz/$target.dict")
    if ! "$bin" "${dict[@]}" -max_total_time="$seconds" -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$work/$target-" "$work/$target" >"$work/$target.log" 2>&1; then
        grep -v -E '^#[0-9]+' "$work/$target.log" | tail -40
        for crash in "$work/$target"-*; do
            [ -e "$crash" ] && cp "$crash" "$out/" && echo "input kept as $out/$(basename "$crash")"
        done
        echo "fuzz $target: FINDING: $(fuzz_finding "$work/$target.log")"
        status=1
        continue
    fi
    fuzz_read_log "$work/$target.log"
    echo "fuzz $target: $FUZZ_EXECS executions in ${seconds} s ($FUZZ_RATE/s), cov: $FUZZ_COV edges, ft: $FUZZ_FT, no findings"
done
exit $status
