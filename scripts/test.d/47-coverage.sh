# SPDX-License-Identifier: GPL-2.0 OR MIT
# Line and branch coverage of the core (AWB/) by the whole test suite, with
# clang's source-based coverage: each source condition is one pair of
# branches however many template instances compile it (the pixel loops are
# instantiated for several vector widths). Writes build/coverage/report.txt
# (per file), build/coverage/html/ (per line and branch) and one summary line;
# fails below the floors. What stays unreached, and why, is listed in
# docs/robustness.md.
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
cd "$QUORVIN_ROOT"
need_pkgs clang llvm-14
# Floors in percent, set a little below the measured figures so that a
# rewrite of a pixel loop does not fail the step by a line or two.
line_floor=${QUORVIN_COVERAGE_LINE_FLOOR:-97.5}
branch_floor=${QUORVIN_COVERAGE_BRANCH_FLOOR:-95.0}
build=build/coverage
cmake --preset coverage >/dev/null
cmake --build --preset coverage -j "$(nproc)"
rm -rf "$build/profiles"
mkdir -p "$build/profiles"
LLVM_PROFILE_FILE="$PWD/$build/profiles/%p-%m.profraw" ctest --preset coverage -j "$(nproc)"
llvm-profdata-14 merge -sparse "$build"/profiles/*.profraw -o "$build/suite.profdata"
# Every program the tests run that links the core.
mapfile -t programs < <(find "$build/tests" "$build/tools" -maxdepth 2 -type f -perm -u+x \
    -exec sh -c 'llvm-objdump-14 -h "$1" 2>/dev/null | grep -q __llvm_covmap' _ {} \; -print | sort)
[ ${#programs[@]} -gt 0 ] || { echo "coverage: no instrumented program found"; exit 1; }
objects=("${programs[0]}")
for p in "${programs[@]:1}"; do objects+=(-object "$p"); done
sources=(AWB/*.cpp AWB/pixel/*.cpp)
cov=(-instr-profile="$build/suite.profdata" -use-color=false)
# Programs that are not tests of the core (main() of each, gtest) share
# function names; llvm-cov's warnings about them go to the log.
llvm-cov-14 report "${objects[@]}" "${cov[@]}" -show-branch-summary "${sources[@]}" \
    >"$build/report.txt" 2>"$build/llvm-cov.log"
llvm-cov-14 show "${objects[@]}" "${cov[@]}" -show-branches=count -show-instantiations=false \
    "${sources[@]}" >"$build/lines.txt" 2>>"$build/llvm-cov.log"
llvm-cov-14 show "${objects[@]}" "${cov[@]}" -format=html -show-branches=count \
    -show-line-counts-or-regions -output-dir="$build/html" "${sources[@]}" 2>>"$build/llvm-cov.log"
grep -E '^([A-Za-z/]+\.cpp|TOTAL) ' "$build/report.txt" |
    awk '{printf "  %-24s lines %5s of %5s missed, branches %4s of %4s missed\n", $1, $9, $8, $12, $11}'
# TOTAL: regions, missed, %, functions, missed, %, lines, missed, %, branches, missed, %.
read -r lines lines_missed branches branches_missed < <(awk '/^TOTAL/ {print $8, $9, $11, $12}' "$build/report.txt")
# clang 14 counts a preprocessor line inside a switch statement as a line
# of the gap before the first case, never executed; it holds no code.
directives=$(grep -c -E '^ *[0-9]+\| *0\| *#' "$build/lines.txt" || true)
lines=$((lines - directives))
lines_missed=$((lines_missed - directives))
ok=1
summary=$(awk -v l="$lines" -v lm="$lines_missed" -v b="$branches" -v bm="$branches_missed" \
    -v d="$directives" -v lf="$line_floor" -v bf="$branch_floor" 'BEGIN {
        lp = 100 * (l - lm) / l; bp = 100 * (b - bm) / b
        printf "coverage AWB/: lines %.1f %% (%d of %d; %d preprocessor lines left out), branches %.1f %% (%d of %d); floors %.1f %% and %.1f %%\n",
            lp, l - lm, l, d, bp, b - bm, b, lf, bf
        exit !(lp >= lf && bp >= bf) }') || ok=0
echo "$summary" | tee "$build/summary.txt"
echo "coverage: per line and branch in $build/html/index.html"
[ $ok -eq 1 ] || { echo "coverage: below the floor"; exit 1; }
