# SPDX-License-Identifier: GPL-2.0 OR MIT
# What a libFuzzer run reports, read from its log (run with
# -print_final_stats=1); sourced by the fuzzing step and the long campaigns.

# fuzz_read_log LOG: sets FUZZ_EXECS (executions), FUZZ_SECS (seconds, as
# libFuzzer counts them), FUZZ_RATE (executions a second), FUZZ_COV (edges),
# FUZZ_FT (features), FUZZ_CORPUS (inputs in the corpus) and FUZZ_RSS (peak
# resident memory, MB); "?" for what the log does not tell. Coverage is that
# of libFuzzer's last status line, the DONE line of a run that ended normally.
fuzz_read_log() {
    local log=$1 last
    FUZZ_EXECS=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    FUZZ_RATE=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
    FUZZ_RSS=$(sed -n 's/^stat::peak_rss_mb: *//p' "$log" | tail -1)
    FUZZ_SECS=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log" | tail -1)
    last=$(grep -E '^#[0-9]+' "$log" | tail -1 || true)
    FUZZ_COV=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")
    FUZZ_FT=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")
    FUZZ_CORPUS=$(sed -n 's/.* corp: \([0-9]*\).*/\1/p' <<<"$last")
    : "${FUZZ_EXECS:=?}" "${FUZZ_RATE:=?}" "${FUZZ_RSS:=?}" "${FUZZ_SECS:=?}" "${FUZZ_COV:=?}"
    : "${FUZZ_FT:=?}" "${FUZZ_CORPUS:=?}"
}

# fuzz_finding LOG: the first line of the report of what stopped the run (a
# sanitizer, an invariant of the harness, a crash, a timeout or the memory
# limit), and where libFuzzer wrote the input.
fuzz_finding() {
    local log=$1 what unit
    what=$(grep -m1 -E 'ERROR: (AddressSanitizer|UndefinedBehaviorSanitizer|libFuzzer)|runtime error:|invariant violated|==[0-9]+== ?ERROR' "$log" || true)
    unit=$(sed -n 's/.*Test unit written to \(.*\)/\1/p' "$log" | head -1)
    echo "${what:-the target failed}${unit:+ (input: $unit)}"
}

# group N: N with a comma between groups of three digits (1,234,567); other
# text unchanged.
group() {
    local n=$1
    [[ $n =~ ^[0-9]+$ ]] || {
        echo "$n"
        return
    }
    while [[ $n =~ ^([0-9]+)([0-9]{3})(,.*)?$ ]]; do
        n="${BASH_REMATCH[1]},${BASH_REMATCH[2]}${BASH_REMATCH[3]}"
    done
    echo "$n"
}
