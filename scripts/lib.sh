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

# need_pkgs PKG...: installs the Debian packages that are missing. The
# package lists are refreshed at most once in ten hours of runs, and again
# before the one more try a failed install gets (lists older than the
# mirror name versions it no longer has). An index that fails to download
# (a mirror caught mid-sync) does not stop an install whose packages resolve
# from the lists that did arrive: apt-get update's failure is reported, not
# fatal, and apt retries each download (Acquire::Retries).
# NEED_PKGS_APT_OPTS (an array) adds apt options, NEED_PKGS_STAMP moves the
# refresh stamp: the offline archive test points need_pkgs at a local
# archive with them.
need_pkgs() {
    local missing=() p try
    for p in "$@"; do
        dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$' ||
            missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "== installing: ${missing[*]}"
    local stamp=${NEED_PKGS_STAMP:-/tmp/.quorvin-apt-updated} log
    if [ ! -e "$stamp" ] || [ -n "$(find "$stamp" -mmin +600 2>/dev/null)" ]; then
        need_pkgs_update "$stamp"
    fi
    log=$(mktemp)
    for try in 1 2; do
        if as_root env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 -o Acquire::Retries=3 \
            ${NEED_PKGS_APT_OPTS[@]+"${NEED_PKGS_APT_OPTS[@]}"} install -y -q --no-install-recommends \
            "${missing[@]}" >"$log" 2>&1; then
            rm -f "$log"
            return 0
        fi
        [ "$try" = 1 ] || break
        echo "== install failed; refreshing the package lists and trying again:"
        grep -E '^(E|W|Err):' "$log" | sed 's/^/   /'
        sleep "${NEED_PKGS_RETRY_DELAY:-5}"
        need_pkgs_update "$stamp"
    done
    grep -E '^(E|W|Err):' "$log" >&2 || tail -5 "$log" >&2
    rm -f "$log"
    echo "need_pkgs: cannot install ${missing[*]}" >&2
    return 1
}
need_pkgs_update() { # need_pkgs_update STAMP: apt-get update, going on when indexes fail
    local out
    if out=$(as_root apt-get -o DPkg::Lock::Timeout=600 -o Acquire::Retries=3 \
        ${NEED_PKGS_APT_OPTS[@]+"${NEED_PKGS_APT_OPTS[@]}"} update -q 2>&1); then
        touch "$1"
        return 0
    fi
    # Not stamped: the next install that needs the lists refreshes them again.
    echo "== apt-get update: some indexes failed; going on with the lists that arrived:"
    grep -E '^[EW]: ' <<<"$out" | grep -v '^E: Some index files failed' | sed 's/\[IP: [^]]*\]//; s/  */ /g; s/ $//; s/^/   /' || true
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

# build_camsim PKG...: the packages every build needs and PKG..., then the
# virtual camera in the release preset (build/release/tools/quorvin-camsim).
build_camsim() {
    need_pkgs "${QUORVIN_BASE_PKGS[@]}" "$@"
    cmake --preset release >/dev/null
    cmake --build --preset release -j "$(nproc)" --target quorvin-camsim
}
