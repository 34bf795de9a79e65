#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0 OR MIT
# The Debian packages and the installed library, as a user gets them. As root
# (or through sudo):
#   - builds quorvin-awb-dkms and libquorvin-awb-dev with dpkg-buildpackage
#     from a copy of the tree in build/pkg/src (the packages land in
#     build/pkg/);
#   - dpkg -i quorvin-awb-dkms: DKMS builds and installs the module for every
#     kernel whose headers are installed (at least the matrix's 6.1 amd64); the
#     installed module passes the guard, and for each installed kernel that
#     the kernel matrix knows, a VM boots that kernel with the module DKMS
#     installed and runs every check of the kernel test on it;
#   - dpkg --purge leaves nothing of it in /lib/modules, /usr/src or
#     /var/lib/dkms;
#   - dpkg -i libquorvin-awb-dev: a CMake project outside the tree finds it
#     with find_package(QuorvinAWB) and a C program builds with pkg-config;
#     both run frames through Quorvin_ALCWBalance; then it is purged;
#   - cmake --install into a prefix installs the same files, and the same
#     two consumers build against that prefix; add_subdirectory works too.
# QUORVIN_SKIP_VM=1 skips the VM boot. Logs in build/pkg/. Ends with
# "package checks: N passed, N failed".
set -euo pipefail
source "$(dirname "$0")/lib.sh"
source "$QUORVIN_ROOT/tests/kernel/vm/kernels.sh"
source "$QUORVIN_ROOT/tests/kernel/vm/vm-lib.sh"
cd "$QUORVIN_ROOT"

PKG=$QUORVIN_ROOT/build/pkg
OUT=$PKG/vm # the VM runs of vm-lib.sh
VM_TIMEOUT=${QUORVIN_VM_TIMEOUT:-300}
step_start=$(date +%s)
log() { echo "== packages: $*"; }

log "packages"
need_pkgs "${QUORVIN_BASE_PKGS[@]}" build-essential dpkg-dev debhelper dh-dkms dkms gcc make kmod binutils \
    qemu-system-x86 busybox-static debian-archive-keyring
# Installed headers for DKMS to build against: those of the matrix's 6.1
# kernel, which the VM then boots (the machine's newest headers may be of an
# older ABI than the archive's).
# When the archive cannot deliver that kernel, or the machine's apt cannot
# install its headers, the machine's newest headers still give DKMS a
# kernel to build for: the checks that need no VM go on, and the VM boots
# below count the missing kernel as failed.
if [ "${QUORVIN_SKIP_VM:-}" = 1 ]; then
    need_pkgs linux-headers-amd64
else
    as_root mkdir -p "$CACHE"
    [ -w "$CACHE" ] || as_root chown "$(id -u):$(id -g)" "$CACHE"
    if ! { kernel_prepare 6.1-amd64 && kernel_load 6.1-amd64; }; then
        log "6.1-amd64 unavailable; installing the machine's newest headers instead"
        need_pkgs linux-headers-amd64
    elif ! need_pkgs "linux-headers-$K_KVER"; then
        log "linux-headers-$K_KVER does not install; installing the machine's newest headers instead"
        need_pkgs linux-headers-amd64
    fi
fi

# --- versions -------------------------------------------------------------------
version=$(dpkg-parsechangelog -l debian/changelog -S Version)
dkms_version=$(sed -n 's/^PACKAGE_VERSION="\(.*\)"/\1/p' kmod/dkms.conf)
cmake_version=$(sed -n 's/^project(QuorvinAWB VERSION \([^ ]*\) .*/\1/p' CMakeLists.txt)
check "one version: debian/changelog $version, dkms.conf $dkms_version, CMake $cmake_version" \
    test "${version%-*}" = "$dkms_version" -a "$dkms_version" = "$cmake_version"

# --- build the packages -----------------------------------------------------------
# dpkg-buildpackage (which wants build-essential besides Build-Depends)
# writes its results beside the source tree: build a copy
# in build/pkg/src so that they land in build/pkg/, not in the repository's
# parent.
log "dpkg-buildpackage -b -us -uc"
rm -rf "$PKG"
mkdir -p "$PKG/src" "$OUT"
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git ls-files -z | tar -c --null -T - -f - | tar -x -C "$PKG/src" -f -
else # an unpacked source tree: everything but the build outputs
    tar -c --exclude=./build -f - . | tar -x -C "$PKG/src" -f -
fi
build_ok=true
(cd "$PKG/src" && dpkg-buildpackage -b -us -uc) >"$PKG/build.log" 2>&1 || {
    build_ok=false
    tail -30 "$PKG/build.log" >&2
}
check "dpkg-buildpackage -b -us -uc" $build_ok
arch=$(dpkg --print-architecture)
dkms_deb=$PKG/quorvin-awb-dkms_${version}_all.deb
dev_deb=$PKG/libquorvin-awb-dev_${version}_$arch.deb
check "quorvin-awb-dkms is architecture all" test "$(dpkg-deb -f "$dkms_deb" Architecture 2>/dev/null)" = all
check "libquorvin-awb-dev is built" test -s "$dev_deb"
src=usr/src/quorvin-awb-$dkms_version
dkms_files=$(dpkg-deb -c "$dkms_deb" 2>/dev/null | awk '{ print $6 }')
check "quorvin-awb-dkms ships the DKMS tree in /$src" \
    test -n "$(grep -x "./$src/dkms.conf" <<<"$dkms_files")" -a -n "$(grep -x "./$src/Kbuild" <<<"$dkms_files")" \
    -a -n "$(grep -x "./$src/AWB/AWB.cpp" <<<"$dkms_files")" \
    -a -n "$(grep -x "./$src/platform/kernel/quorvin_glue.c" <<<"$dkms_files")"
# The module's sources and build files alone: no test folder, guard, test
# module, self-test or driver. (The core's own sources stay whole, the header
# of the pixel code's test selectors among them.)
check "quorvin-awb-dkms ships no test, guard or driver file" \
    test -z "$(grep "^\./$src/" <<<"$dkms_files" | grep -E '/tests?/|guard|client|vcam|usbcam|pixeltest|\.allow$|\.sh$' || true)"
check "libquorvin-awb-dev ships no DKMS tree" test -z "$(dpkg-deb -c "$dev_deb" 2>/dev/null | grep ' \./usr/src/.' || true)"
check "quorvin-awb-dkms depends on dkms" grep -q '^dkms' <<<"$(dpkg-deb -f "$dkms_deb" Depends 2>/dev/null)"

# --- the DKMS package ---------------------------------------------------------------
# What the three trees hold apart from DKMS's own signing key pair (made once
# for every DKMS module) and depmod's index files, which dpkg -i and --purge
# regenerate.
tree_state() {
    find /lib/modules /usr/src /var/lib/dkms 2>/dev/null |
        grep -v -E '^/var/lib/dkms/mok\.(key|pub)$|^/lib/modules/[^/]+/modules\.[a-z.]+$' | sort
}
case $(dpkg-query -W -f='${db:Status-Status}' quorvin-awb-dkms 2>/dev/null || true) in
'' | not-installed) ;;
*) as_root dpkg --purge quorvin-awb-dkms >/dev/null ;; # left by an interrupted run
esac
state_before=$(tree_state)
log "dpkg -i quorvin-awb-dkms"
install_ok=true
as_root dpkg -i "$dkms_deb" >"$PKG/dkms-install.log" 2>&1 || {
    install_ok=false
    tail -30 "$PKG/dkms-install.log" >&2
}
check "dpkg -i quorvin-awb-dkms" $install_ok

# Every kernel whose headers are installed gets the module.
installed_kernels=()
for build_dir in /lib/modules/*/build; do
    [ -e "$build_dir/Makefile" ] || continue
    kver=$(basename "$(dirname "$build_dir")")
    installed_kernels+=("$kver")
    ko=$(ls "/lib/modules/$kver/updates/dkms/Quorvin_AWB.ko"* 2>/dev/null | head -1 || true)
    check "dkms: $kver: status installed" \
        grep -q ': installed' <<<"$(dkms status -m quorvin-awb -v "$dkms_version" -k "$kver" 2>/dev/null)"
    check "dkms: $kver: module in /lib/modules/$kver/updates/dkms" test -n "$ko"
    [ -n "$ko" ] || continue
    check "dkms: $kver: vermagic" grep -q "^$kver " <<<"$(modinfo -F vermagic "$ko")"
    check "dkms: $kver: licence" test "$(modinfo -F license "$ko")" = "Dual MIT/GPL"
    # DKMS's own build is guarded like ours: no C++ runtime symbol, no
    # constructor or unwind section, no SIMD register, no warning.
    series=$(sed -n 's/^\([0-9]*\.[0-9]*\).*/\1/p' "$build_dir/include/config/kernel.release")
    karch=x86
    ! grep -q '^CONFIG_ARM64=y' "$build_dir/include/config/auto.conf" 2>/dev/null || karch=arm64
    allow=tests/kernel/guard/Quorvin_AWB.allow
    for list in "$series" "$karch" "$series-$karch"; do
        [ ! -f "tests/kernel/guard/Quorvin_AWB-$list.allow" ] ||
            allow=$allow:tests/kernel/guard/Quorvin_AWB-$list.allow
    done
    make_log=$(ls -d /var/lib/dkms/quorvin-awb/"$dkms_version"/"$kver"/*/log/make.log 2>/dev/null | head -1 || true)
    guard_ok=false
    if [ -n "$make_log" ] && tests/kernel/guard/guard.sh "$ko" "$allow" "$make_log" >"$PKG/guard-$kver.log" 2>&1; then
        guard_ok=true
    else
        cat "$PKG/guard-$kver.log" >&2 2>/dev/null || echo "no DKMS build log for $kver" >&2
    fi
    check "dkms: $kver: module passes the guard" $guard_ok
done
check "dkms: some kernel headers installed" test ${#installed_kernels[@]} -gt 0

# Boot each installed kernel the matrix knows, with the module DKMS installed
# and a client built against the installed headers.
if [ "${QUORVIN_SKIP_VM:-}" = 1 ]; then
    echo "   VM boot skipped (QUORVIN_SKIP_VM=1)"
else
    mkdir -p "$OUT"
    user_scenario
    runs=()
    for name in $QUORVIN_KERNELS_ALL; do
        # DKMS built for the headers installed on this x86 machine; the
        # arm64 kernels' DKMS build is the kernel test's (cross).
        case $name in *-arm64) continue ;; esac
        kernel_prepare "$name" || { check "$name: kernel packages fetched" false; continue; }
        kernel_load "$name"
        [[ " ${installed_kernels[*]} " == *" $K_KVER "* ]] || continue
        run=dkms-$name
        ko=$(ls "/lib/modules/$K_KVER/updates/dkms/Quorvin_AWB.ko"* | head -1)
        mkdir -p "$OUT/$run"
        stage "$OUT/$run/src"
        client_ok=true
        with_kernel_cc make -j"$(nproc)" -C "$OUT/$run/src/tests/kernel" KDIR="/lib/modules/$K_KVER/build" client \
            >"$OUT/$run/build.log" 2>&1 || { client_ok=false; tail -20 "$OUT/$run/build.log" >&2; }
        check "$run: client builds against the installed headers" $client_ok
        $client_ok || continue
        # Same sources, same headers: the module DKMS built is ours.
        check "$run: DKMS's module has the sources' srcversion" \
            test "$(modinfo -F srcversion "$ko")" = "$(modinfo -F srcversion "$OUT/$run/src/kmod/Quorvin_AWB.ko")"
        case $ko in
        *.xz) xz -dc "$ko" >"$OUT/$run/src/kmod/Quorvin_AWB.ko" ;;
        *.zst) zstd -qdc "$ko" >"$OUT/$run/src/kmod/Quorvin_AWB.ko" ;;
        *) cp "$ko" "$OUT/$run/src/kmod/Quorvin_AWB.ko" ;;
        esac
        srcversion=$(modinfo -F srcversion "$OUT/$run/src/kmod/Quorvin_AWB.ko")
        pack_initramfs "$run" "$name"
        boot "$run" "$name" &
        runs+=("$run:$name:$srcversion")
    done
    wait
    check "dkms: a VM booted an installed kernel" test ${#runs[@]} -gt 0
    for entry in "${runs[@]}"; do
        IFS=: read -r run name srcversion <<<"$entry"
        check_kernel "$run" "$name"
        check "$run: the VM ran the module DKMS installed" test "$(field "$run" srcversion)" = "$srcversion"
    done
fi

log "dpkg --purge quorvin-awb-dkms"
purge_ok=true
as_root dpkg --purge quorvin-awb-dkms >"$PKG/dkms-purge.log" 2>&1 || {
    purge_ok=false
    tail -20 "$PKG/dkms-purge.log" >&2
}
check "dpkg --purge quorvin-awb-dkms" $purge_ok
state_after=$(tree_state)
diff -u <(echo "$state_before") <(echo "$state_after") >"$PKG/purge.diff" || head -20 "$PKG/purge.diff" >&2
check "purge leaves /lib/modules, /usr/src and /var/lib/dkms as they were" \
    test "$state_before" = "$state_after"
check "purge leaves no Quorvin module and no DKMS record" \
    test -z "$(find /lib/modules /usr/src /var/lib/dkms -iname '*quorvin*' 2>/dev/null)"

# --- the library package --------------------------------------------------------------
# consumers TAG CMAKE-ARGS...: the CMake consumer and (but for
# add_subdirectory) the pkg-config build of the same program, each run; the
# pkg-config search path as the caller's environment sets it.
consumers() {
    local tag=$1 ok
    shift
    ok=true
    {
        cmake -S tests/package -B "$PKG/consumer-$tag" -G Ninja "$@" &&
            cmake --build "$PKG/consumer-$tag" && "$PKG/consumer-$tag/consumer"
    } >"$PKG/consumer-$tag.log" 2>&1 || { ok=false; tail -20 "$PKG/consumer-$tag.log" >&2; }
    check "$tag: CMake project finds QuorvinAWB and runs a frame" $ok
    [ "$tag" != add_subdirectory ] || return 0
    ok=true
    {
        cc -std=c11 -Wall -Wextra -Werror tests/package/consumer.c \
            $(pkg-config --cflags --libs quorvin-awb) -o "$PKG/consumer-$tag-pc" &&
            "$PKG/consumer-$tag-pc"
    } >"$PKG/consumer-$tag-pc.log" 2>&1 || { ok=false; tail -20 "$PKG/consumer-$tag-pc.log" >&2; }
    check "$tag: C program builds with pkg-config quorvin-awb and runs a frame" $ok
}

log "dpkg -i libquorvin-awb-dev"
dev_was_installed=false
dpkg-query -W -f='${Status}' libquorvin-awb-dev 2>/dev/null | grep -q 'ok installed' && dev_was_installed=true
dev_ok=true
as_root dpkg -i "$dev_deb" >"$PKG/dev-install.log" 2>&1 || { dev_ok=false; tail -20 "$PKG/dev-install.log" >&2; }
check "dpkg -i libquorvin-awb-dev" $dev_ok
consumers package
# The package's files (not its directories), for the comparison below.
dev_files=$(dpkg -L libquorvin-awb-dev 2>/dev/null | grep -v '^/usr/share/doc' |
    while read -r f; do [ -d "$f" ] || echo "$f"; done | sort)
$dev_was_installed || as_root dpkg --purge libquorvin-awb-dev >>"$PKG/dev-install.log" 2>&1
check "libquorvin-awb-dev purged" test -z "$(ls /usr/include/AWB 2>/dev/null || true)"

log "cmake --install"
prefix=$PKG/prefix
install_ok=true
{
    cmake -S . -B "$PKG/cmake-build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORVIN_BUILD_TESTS=OFF \
        -DQUORVIN_BUILD_TOOLS=OFF -DQUORVIN_BUILD_BENCH=OFF -DCMAKE_INSTALL_PREFIX="$prefix" &&
        cmake --build "$PKG/cmake-build" && cmake --install "$PKG/cmake-build"
} >"$PKG/cmake-install.log" 2>&1 || { install_ok=false; tail -20 "$PKG/cmake-install.log" >&2; }
check "cmake --install" $install_ok
# The same files as the package, up to the multiarch library directory and
# the build type in the name of the targets' configuration file.
normalise() { sed -E "s|/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/|/lib/|; s|Targets-[a-z]+\.cmake|Targets-CONFIG.cmake|"; }
installed_files=$(cd "$prefix" && find . -type f | sed 's|^\.|/usr|' | normalise | sort)
package_files=$(normalise <<<"$dev_files" | sort)
diff -u <(echo "$package_files") <(echo "$installed_files") >"$PKG/install.diff" || head -20 "$PKG/install.diff" >&2
check "cmake --install installs the package's files" test "$installed_files" = "$package_files"
PKG_CONFIG_PATH=$prefix/lib/pkgconfig consumers prefix -DCMAKE_PREFIX_PATH="$prefix"
consumers add_subdirectory -DQUORVIN_AWB_SOURCE_DIR="$QUORVIN_ROOT"
check "add_subdirectory builds no tests" test ! -d "$PKG/consumer-add_subdirectory/quorvin-awb/tests"

echo "packages: step $(($(date +%s) - step_start)) s; failed: ${failures[*]:-none}"
echo "package checks: $passed passed, $failed failed"
[ $failed -eq 0 ]
