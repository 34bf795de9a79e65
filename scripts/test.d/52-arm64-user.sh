# SPDX-License-Identifier: GPL-2.0 OR MIT
# The user-space library and its unit tests built for arm64 (aarch64) and run
# under qemu's user-mode emulator: the word and the NEON pixel variants
# against the plain loops, and every controller's test, on the other
# architecture the kernel module ships for. Timings under emulation mean
# nothing; only results are checked.
#
# Everything comes from the kernel matrix's cache (tests/kernel/vm/kernels.sh),
# extracted, never installed: bookworm's aarch64 cross compiler (gcc-12, the
# one the 6.1 and 6.12 arm64 rows build with), its C++ library, and
# qemu-aarch64 from qemu-user-static (one static program). Installing the
# cross compilers would remove gcc-multilib, which the 32-bit build needs.
# GoogleTest is built from Debian's sources with the cross compiler; the
# tests are linked statically, so the emulator needs no arm64 root.
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
cd "$QUORVIN_ROOT"
need_pkgs googletest cmake ninja-build
# shellcheck source=../../tests/kernel/vm/kernels.sh
source tests/kernel/vm/kernels.sh

mkdir -p "$CACHE/cc"
exec 9>"$CACHE/cc/.arm64-user.lock"
flock 9
cross_compiler arm64-user bookworm 12
cc_root=${CROSS_DIR%/usr/bin}
qemu_dir=$CACHE/qemu-user
qemu=$qemu_dir/usr/bin/qemu-aarch64-static
if [ ! -e "$cc_root/usr/lib/gcc-cross/aarch64-linux-gnu/12/libstdc++.a" ] || [ ! -x "$qemu" ]; then
    apt_state bookworm arm64
    apt_fetch_all libstdc++-12-dev-arm64-cross:all libstdc++6-arm64-cross:all \
        libgcc-s1-arm64-cross:all qemu-user-static:amd64
    for deb in "${FETCHED[@]:0:3}"; do dpkg-deb -x "$deb" "$cc_root"; done
    rm -rf "$qemu_dir"
    mkdir -p "$qemu_dir"
    dpkg-deb -x "${FETCHED[3]}" "$qemu_dir"
fi
flock -u 9

build=build/arm64
mkdir -p "$build"
cat >"$build/toolchain.cmake" <<EOF
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER $CROSS_DIR/aarch64-linux-gnu-gcc-12)
set(CMAKE_CXX_COMPILER $CROSS_DIR/aarch64-linux-gnu-g++-12)
set(CMAKE_CROSSCOMPILING_EMULATOR $qemu)
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
set(CMAKE_FIND_ROOT_PATH $cc_root/usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
EOF
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_TOOLCHAIN_FILE="$QUORVIN_ROOT/$build/toolchain.cmake" \
    -DQUORVIN_GTEST_FROM_SOURCE=ON -DQUORVIN_BUILD_TOOLS=OFF -DQUORVIN_BUILD_BENCH=OFF \
    -DQUORVIN_INSTALL=OFF >/dev/null
# The unit tests (tests/test_*.cpp), each its own program.
tests=()
for source in tests/test_*.cpp; do
    name=$(basename "$source" .cpp)
    tests+=("$name")
done
cmake --build "$build" -j 2 --target "${tests[@]}"
# FastPath.EveryVariantIsOfferedAndSelectable checks that the NEON variants
# are offered; the others hold every variant against the plain loops.
ctest --test-dir "$build" -j 2 --output-on-failure -R "^($(
    IFS='|'
    echo "${tests[*]}"
))\$"
