# SPDX-License-Identifier: GPL-2.0 OR MIT
# Memory check under valgrind: the camera-driver scenario (a camera driver
# written in C against the public headers, the same source the kernel client
# runs) and the robustness tests, in a debug build of their own. Any invalid
# access, use of uninitialised memory or leak fails the step.
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
cd "$QUORVIN_ROOT"
need_pkgs valgrind
build=build/valgrind
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug >/dev/null
targets=(test_robustness kmod_scenario)
cmake --build "$build" --target "${targets[@]}" >/dev/null
vg=(valgrind --quiet --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite,indirect
    --track-origins=yes)
for target in "${targets[@]}"; do
    exe=$(find "$build" -name "$target" -type f -perm -u+x | head -1)
    [ -n "$exe" ] || { echo "valgrind: $target was not built"; exit 1; }
    args=()
    [ "$target" = test_robustness ] && args=(--gtest_brief=1)
    "${vg[@]}" "$exe" "${args[@]}" >"$build/$target.valgrind.log" 2>&1 || {
        tail -40 "$build/$target.valgrind.log"
        echo "valgrind: $target FAILED"
        exit 1
    }
    echo "valgrind: $target clean"
done
