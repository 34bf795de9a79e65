# SPDX-License-Identifier: GPL-2.0 OR MIT
# Shared helpers of the project's scripts; sourced, not run.

# Repository root.
QUORVIN_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export QUORVIN_ROOT

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
    clang-format libpng-dev libcli11-dev libbenchmark-dev)

# cmake_build PRESET: configure, build (quietly) and run the tests of a preset.
cmake_build_and_test() {
    local preset=$1
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$(nproc)"
    ctest --preset "$preset" -j "$(nproc)"
}
