# SPDX-License-Identifier: GPL-2.0 OR MIT
# clang-tidy on every source of the core with the checked-in .clang-tidy;
# any finding fails the step.
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
cd "$QUORVIN_ROOT"
need_pkgs clang-tidy
build=build/tidy
# The compilation database of the library alone (configured, not built).
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUORVIN_BUILD_TESTS=OFF \
    -DQUORVIN_BUILD_TOOLS=OFF -DQUORVIN_BUILD_BENCH=OFF >/dev/null
sources=(AWB/*.cpp AWB/pixel/*.cpp)
if ! clang-tidy --quiet -p "$build" "${sources[@]}" >"$build/clang-tidy.log" 2>&1; then
    grep -E 'warning:|error:' "$build/clang-tidy.log" | sed "s|$PWD/||" | sort -u
    echo "clang-tidy: findings in the core"
    exit 1
fi
echo "clang-tidy: ${#sources[@]} sources of the core, no findings"
