# SPDX-License-Identifier: GPL-2.0 OR MIT
# Shared helpers of the project's scripts; sourced, not run.

# Repository root.
QUORVIN_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export QUORVIN_ROOT

# read_core_flags ARRAY NAME...: sets the array ARRAY to the flags of the named
# variables of cmake/core-flags.mk (quorvin-core-flags ...), in order; fails
# on a name the file does not set.
read_core_flags() {
    local -n core_flags_out=$1
    shift
    core_flags_out=()
    local name lines words
    for name in "$@"; do
        lines=$(sed -n -E "s/^$name *[:+]= *//p" "$QUORVIN_ROOT/cmake/core-flags.mk")
        if [ -z "$lines" ]; then
            echo "read_core_flags: cmake/core-flags.mk sets no $name" >&2
            return 1
        fi
        while read -r -a words; do
            core_flags_out+=("${words[@]}")
        done <<<"$lines"
    done
}

# Runs a command as root (directly, or through sudo when available).
as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# need_pkgs PKG...: installs the Debian packages that are missing, running
# apt-get update at most once per machine boot of the scripts.
need_pkgs() {
    local missing=() p
    for p in "$@"; do
        dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$' ||
            missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "== installing: ${missing[*]}"
    local stamp=/tmp/.quorvin-apt-updated
    if [ ! -e "$stamp" ] || [ -n "$(find "$stamp" -mmin +600 2>/dev/null)" ]; then
        as_root apt-get -o DPkg::Lock::Timeout=600 update -qq && touch "$stamp"
    fi
    as_root env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends \
        "${missing[@]}" >/dev/null
}

# The packages every build needs.
QUORVIN_BASE_PKGS=(cmake ninja-build g++ make pkg-config libgtest-dev libgmock-dev googletest
    clang-format libpng-dev libjpeg-dev libcli11-dev libbenchmark-dev)

# cmake_build PRESET: configure, build (quietly) and run the tests of a preset.
# The tests labelled kernel-core compile the core as the kernel does, the same
# in every preset: the steps 20-freestanding and 78-stack run them.
cmake_build_and_test() {
    local preset=$1
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$(nproc)"
    ctest --preset "$preset" -j "$(nproc)" -LE '^kernel-core$'
}
