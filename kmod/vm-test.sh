#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0 OR MIT
# Builds the Quorvin_AWB module and its test client for x86-64 and 32-bit x86
# against Debian's kernel headers, boots each matching Debian kernel under
# qemu (software emulation) with a busybox initramfs, and checks the module
# inside the running kernel:
#   - loads with debug_awb=21; the parameter reads 21, mode 0444, read-only;
#   - modinfo shows the name, licence, description and parameter exactly;
#     Module.symvers lists the four GPL-only and fifteen ordinary exports;
#   - the client, a GPL driver that uses a GPL-only kernel export beside the
#     module's exports, loads without a proprietary taint, and its scenario
#     lines equal the user-space run's;
#   - its two-thread part finishes; the module refuses to unload while the
#     client uses it; both unload; the kernel log holds no Oops, BUG,
#     WARNING or call trace; the 32-bit object is 1636 bytes;
# and runs `dkms build` of the module against the installed headers, with
# DKMS's state in a scratch directory.
#
# Installs what it needs from Debian; downloads and extracted kernels are
# kept in $QUORVIN_KMOD_CACHE (default /var/cache/quorvin-kmod), builds and
# logs in build/kmod/. Prints one summary line; exit status 0 when every
# check passed.
set -euo pipefail
source "$(dirname "$0")/../scripts/lib.sh"
cd "$QUORVIN_ROOT"

CACHE=${QUORVIN_KMOD_CACHE:-/var/cache/quorvin-kmod}
OUT=$QUORVIN_ROOT/build/kmod
VM_TIMEOUT=${QUORVIN_VM_TIMEOUT:-300}
ARCHES=(amd64 686)

passed=0
failed=0
failures=()
check() { # check NAME CONDITION-COMMAND...
    local name=$1
    shift
    if "$@"; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        failures+=("$name")
        echo "FAILED: $name" >&2
    fi
}
log_step() { echo "== kmod: $*"; }

# --- packages ---------------------------------------------------------------
log_step "packages"
need_pkgs "${QUORVIN_BASE_PKGS[@]}" gcc make kmod binutils qemu-system-x86 busybox-static \
    dkms linux-headers-amd64
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    as_root dpkg --add-architecture i386
    as_root apt-get update -qq
fi
# The kernel ABI of the current headers metapackage, e.g. 6.1.0-57.
abi=$(apt-cache depends linux-headers-amd64 | sed -n 's/.*Depends: linux-headers-\(.*\)-amd64$/\1/p' | head -1)
[ -n "$abi" ] || { echo "cannot find the kernel ABI of linux-headers-amd64" >&2; exit 1; }
if ! dpkg-query -W -f='${Status}\n' "linux-headers-$abi-686:i386" 2>/dev/null | grep -q 'ok installed'; then
    # i386 package lists may be missing if apt was last updated before the
    # architecture was added.
    apt-cache show "linux-headers-$abi-686:i386" >/dev/null 2>&1 || as_root apt-get update -qq
fi
need_pkgs "linux-headers-$abi-amd64" "linux-headers-$abi-686:i386"

# --- kernels and busybox, extracted from their packages -------------------
as_root mkdir -p "$CACHE/debs"
as_root chmod 0777 "$CACHE/debs" # apt-get download runs as _apt
fetch_deb() { # fetch_deb PACKAGE[:ARCH] -> path of the .deb
    local pkg=$1 name arch file
    name=${pkg%%:*}
    arch=${pkg#*:}
    [ "$arch" != "$pkg" ] || arch=amd64
    file=$(ls "$CACHE/debs/${name}_"*"_$arch.deb" 2>/dev/null | sort -V | tail -1 || true)
    if [ -z "$file" ]; then
        (cd "$CACHE/debs" && apt-get download -q "$pkg" >"$CACHE/debs/download.log" 2>&1) || {
            cat "$CACHE/debs/download.log" >&2
            return 1
        }
        file=$(ls "$CACHE/debs/${name}_"*"_$arch.deb" | sort -V | tail -1)
    fi
    echo "$file"
}
extract() { # extract DEB MEMBER DEST
    [ -s "$3" ] && return 0
    local tmp
    tmp=$(mktemp -d)
    dpkg-deb --fsys-tarfile "$1" | tar -x -C "$tmp" "$2"
    as_root mkdir -p "$(dirname "$3")"
    as_root cp "$tmp/$2" "$3"
    rm -rf "$tmp"
}
log_step "kernel images ($abi)"
for flavour in "${ARCHES[@]}"; do
    pkg=linux-image-$abi-$flavour
    [ "$flavour" = amd64 ] || pkg=$pkg:i386
    extract "$(fetch_deb "$pkg")" "./boot/vmlinuz-$abi-$flavour" "$CACHE/$abi-$flavour/vmlinuz"
done
extract "$(fetch_deb busybox-static)" ./bin/busybox "$CACHE/busybox-amd64"
extract "$(fetch_deb busybox-static:i386)" ./bin/busybox "$CACHE/busybox-686"

# --- reference output of the scenario in user space -------------------------
log_step "user-space scenario"
rm -rf "$OUT"
mkdir -p "$OUT"
cmake -S . -B "$OUT/user" -G Ninja -DCMAKE_BUILD_TYPE=Release >"$OUT/user-configure.log" 2>&1 ||
    { cat "$OUT/user-configure.log" >&2; exit 1; }
cmake --build "$OUT/user" --target kmod_scenario >"$OUT/user-build.log" 2>&1 ||
    { cat "$OUT/user-build.log" >&2; exit 1; }
user_ok=true
"$OUT/user/tests/kmod_scenario" >"$OUT/golden-full.txt" || user_ok=false
check "user-space scenario passes its own checks" $user_ok
# The object size differs between hosts; everything else must be equal.
grep -v '^size ' "$OUT/golden-full.txt" >"$OUT/golden.txt"

# --- module and client builds ----------------------------------------------
# A self-contained source tree: the module's files beside copies of AWB/ and
# platform/ (the layout of the DKMS source tree too).
stage() { # stage DEST
    make -s -C kmod source-tree DEST="$1" >/dev/null
}
build() { # build FLAVOUR: the module and the client, each followed by its guard
    local dir=$OUT/$1
    stage "$dir/src"
    if ! make -j"$(nproc)" -C "$dir/src" KDIR="/usr/src/linux-headers-$abi-$1" client >"$dir/build.log" 2>&1; then
        tail -40 "$dir/build.log" >&2
        return 1
    fi
    grep '^guard:' "$dir/build.log"
}
for flavour in "${ARCHES[@]}"; do
    log_step "build $flavour"
    start=$(date +%s)
    ok=true
    build "$flavour" || ok=false
    check "$flavour: module and client build, guard clean" $ok
    # The pixel self-test module (kmod/pixeltest.cpp), in a tree of its own.
    ok=true
    make -C kmod pixeltest KDIR="/usr/src/linux-headers-$abi-$flavour" DEST="$OUT/$flavour/pixeltest" \
        >"$OUT/$flavour/pixeltest.log" 2>&1 || { ok=false; tail -20 "$OUT/$flavour/pixeltest.log" >&2; }
    check "$flavour: pixel self-test module builds, guard clean" $ok
    echo "   build $flavour: $(($(date +%s) - start)) s"
done

# --- host-side module metadata ------------------------------------------------
for flavour in "${ARCHES[@]}"; do
    ko=$OUT/$flavour/src/Quorvin_AWB.ko
    [ -f "$ko" ] || continue
    check "$flavour: modinfo name" test "$(modinfo -F name "$ko")" = Quorvin_AWB
    check "$flavour: modinfo licence" test "$(modinfo -F license "$ko")" = "Dual MIT/GPL"
    # Module.symvers: exactly the exports, and export kinds, of the list the
    # user-space listing prints (four GPL-only, fifteen ordinary).
    symvers_ok=true
    diff -u <(sed -n 's/^export: *\([^ ]*\) \(.*\)$/\1 \2/p' tests/modinfo/expected.txt | sort) \
        <(awk '{ print $2, $4 }' "$OUT/$flavour/src/Module.symvers" | sort) >&2 || symvers_ok=false
    check "$flavour: Module.symvers lists 4 GPL-only and 15 ordinary exports" $symvers_ok
    check "$flavour: modinfo description" \
        test "$(modinfo -F description "$ko")" = "Quorvin USB Cameras: AutoWhiteBalance"
    check "$flavour: modinfo parameter" \
        test "$(modinfo -F parm "$ko")" = "debug_awb:debug[0]:  21 for debug (int)"
    check "$flavour: vermagic" grep -q "^$abi-$flavour " <<<"$(modinfo -F vermagic "$ko")"
done

# --- boot each kernel ---------------------------------------------------------
pack_initramfs() { # pack_initramfs FLAVOUR
    local dir=$OUT/$1 root=$OUT/$1/root
    mkdir -p "$root/bin" "$root/modules"
    cp "$CACHE/busybox-$1" "$root/bin/busybox"
    cp kmod/vm-init.sh "$root/init"
    chmod 0755 "$root/init" "$root/bin/busybox"
    cp "$dir/src/Quorvin_AWB.ko" "$dir/src/client/quorvin_client.ko" "$root/modules/"
    cp "$dir/pixeltest/quorvin_pixeltest.ko" "$root/modules/" 2>/dev/null || true
    (cd "$root" && find . | busybox cpio -o -H newc 2>/dev/null | gzip -1) >"$dir/initramfs.cpio.gz"
}
boot() { # boot FLAVOUR: runs the VM; its results land in $OUT/FLAVOUR/results.txt
    local dir=$OUT/$1 qemu=qemu-system-x86_64 start
    [ "$1" = amd64 ] || qemu=qemu-system-i386
    start=$(date +%s.%N)
    # x86-64: -cpu max, an emulated processor with AVX2, for the pixel
    # self-test (32-bit kernels have no vector variants, and warn at boot
    # about the SMP fitness of the processor qemu-system-i386 then emulates).
    local cpu=()
    [ "$1" != amd64 ] || cpu=(-cpu max)
    timeout "$VM_TIMEOUT" "$qemu" -accel tcg "${cpu[@]}" -m 512 -smp 2 -display none -monitor none \
        -no-reboot -kernel "$CACHE/$abi-$1/vmlinuz" -initrd "$dir/initramfs.cpio.gz" \
        -append "console=ttyS0 panic=-1 quiet" \
        -serial "file:$dir/console.log" -serial "file:$dir/results.raw" \
        </dev/null >"$dir/qemu.log" 2>&1
    echo $? >"$dir/qemu.rc"
    awk -v s="$start" -v e="$(date +%s.%N)" 'BEGIN { printf "%.1f", e - s }' >"$dir/boot.time"
    tr -d '\r' <"$dir/results.raw" >"$dir/results.txt"
}
vm_ready=()
for flavour in "${ARCHES[@]}"; do
    if [ -f "$OUT/$flavour/src/client/quorvin_client.ko" ]; then
        pack_initramfs "$flavour"
        vm_ready+=("$flavour")
    fi
done
log_step "boot ${vm_ready[*]:-nothing} (qemu, software emulation, at most $VM_TIMEOUT s each)"
for flavour in "${vm_ready[@]}"; do
    boot "$flavour" &
done
wait

field() { # field FLAVOUR KEY: the value of "QV KEY value" in the results
    sed -n "s/^QV $2 //p" "$OUT/$1/results.txt" | head -1
}
section() { # section FLAVOUR NAME: the lines of a framed section
    awk -v n="$2" '$0 == "QV begin " n { on = 1; next } on && /^QV end / { exit } on' \
        "$OUT/$1/results.txt"
}
boot_times=()
for flavour in "${vm_ready[@]}"; do
    dir=$OUT/$flavour
    boot_times+=("$flavour $(cat "$dir/boot.time") s")
    check "$flavour: VM ran to the end" grep -qx 'QV done' "$dir/results.txt"
    [ "$(cat "$dir/qemu.rc")" = 0 ] || echo "   qemu exit status $(cat "$dir/qemu.rc")" >&2
    check "$flavour: kernel is $abi-$flavour" grep -q "^$abi-$flavour " <<<"$(field "$flavour" uname)"
    check "$flavour: module loads with debug_awb=21" test "$(field "$flavour" insmod_awb)" = 0
    check "$flavour: debug_awb reads 21" test "$(field "$flavour" param_value)" = 21
    check "$flavour: debug_awb mode 0444" test "$(field "$flavour" param_mode)" = 444
    check "$flavour: debug_awb not writable" test "$(field "$flavour" param_write | cut -d' ' -f2)" = 21
    modinfo_out=$(section "$flavour" modinfo)
    check "$flavour: modinfo in the VM" grep -q -F -x \
        -e "description:    Quorvin USB Cameras: AutoWhiteBalance" <<<"$modinfo_out"
    check "$flavour: modinfo licence in the VM" grep -q -F -x "license:        Dual MIT/GPL" <<<"$modinfo_out"
    # busybox's modinfo leaves out the parameter type (the host's shows it).
    check "$flavour: modinfo parameter in the VM" grep -q -F -x \
        "parm:           debug_awb:debug[0]:  21 for debug" <<<"$modinfo_out"
    check "$flavour: module registered as Quorvin_AWB" \
        test "$(field "$flavour" sysmodule)" = /sys/module/Quorvin_AWB
    check "$flavour: client loads" test "$(field "$flavour" insmod_client | cut -d' ' -f1)" = 0
    section "$flavour" dmesg >"$dir/dmesg.txt"
    sed -n 's/^\[[ 0-9.]*\] quorvin_client: //p' "$dir/dmesg.txt" >"$dir/client-full.txt"
    # The client is a GPL driver using GPL-only kernel exports and the
    # module's GPL-only exports: it must load without inheriting a
    # proprietary taint, and the kernel's taint bit 0 (P) must stay clear.
    check "$flavour: client inherits no proprietary taint" \
        test -z "$(grep 'inheriting taint' "$dir/dmesg.txt" || true)"
    taint=$(field "$flavour" taint_client)
    check "$flavour: kernel not tainted proprietary (taint $taint)" \
        test -n "$taint" -a $((${taint:-1} & 1)) -eq 0
    sed -e '/^start$/d' -e '/^end: /d' -e '/^unloaded$/d' -e '/^size /d' \
        -e '/^time /d' "$dir/client-full.txt" >"$dir/client.txt"
    same=true
    diff -u "$OUT/golden.txt" "$dir/client.txt" >"$dir/client.diff" || same=false
    $same || head -20 "$dir/client.diff" >&2
    check "$flavour: client results equal the user-space run" $same
    check "$flavour: client checks pass" grep -qx 'end: 0 failed checks' "$dir/client-full.txt"
    check "$flavour: threaded part finished" grep -qx 'threads: 0 failed checks' "$dir/client.txt"
    size=$(sed -n 's/^size //p' "$dir/client-full.txt")
    [ "$flavour" != 686 ] || check "686: object size 1636" test "$size" = 1636
    check "$flavour: module refuses unload while in use" test "$(field "$flavour" rmmod_awb_in_use)" != 0
    check "$flavour: client unloads" test "$(field "$flavour" rmmod_client)" = 0
    check "$flavour: module unloads" test "$(field "$flavour" rmmod_awb)" = 0
    check "$flavour: no module left" test -z "$(section "$flavour" lsmod | grep -E 'Quorvin_AWB|quorvin_client' || true)"
    bad=$(grep -E 'Oops|BUG|WARNING|Call Trace|general protection|Unknown symbol|GPL-only|refused|segfault' \
        "$dir/dmesg.txt" || true)
    [ -z "$bad" ] || echo "$bad" | head -20 >&2
    check "$flavour: kernel log clean" test -z "$bad"
    # Pixel self-test: every case equal on every variant; on x86-64 the AVX2
    # variants ran in vector sections, and with the registers refused they
    # fell back to the word variants.
    check "$flavour: pixel self-test loads" test "$(field "$flavour" insmod_pixeltest)" = 0
    pixels() { sed -n "s/^\[[ 0-9.]*\] QV pixels $1 //p" "$dir/dmesg.txt" | head -1; }
    read -r cases differ _ <<<"$(pixels cases)"
    check "$flavour: pixel variants agree in the kernel (${cases:-no} cases, ${differ:-?} differ)" \
        test "${cases:-0}" -gt 0 -a "${differ:-1}" = 0
    if [ "$flavour" = amd64 ]; then
        read -r vec word _ <<<"$(pixels chunks)"
        check "amd64: AVX2 variants used in the kernel ($vec vector sections, $word refused)" \
            test "${vec:-0}" -gt 0 -a "${word:-1}" = 0
        read -r vec word _ <<<"$(pixels fallback)"
        check "amd64: word fallback with the registers refused ($vec vector, $word word)" \
            test "${vec:-1}" = 0 -a "${word:-0}" -gt 0
    fi
    echo "   $flavour: object size $size, boot $(cat "$dir/boot.time") s, scenario $(field "$flavour" insmod_client | awk '{ printf "%.2f", $3 - $2 }') s"
done
for flavour in "${ARCHES[@]}"; do
    [[ " ${vm_ready[*]} " == *" $flavour "* ]] || check "$flavour: VM booted" false
done

# --- DKMS ---------------------------------------------------------------------
log_step "dkms build"
dkms_ok=true
dkms_dir=$OUT/dkms
version=$(sed -n 's/^PACKAGE_VERSION="\(.*\)"/\1/p' kmod/dkms.conf)
stage "$dkms_dir/src/quorvin-awb-$version"
mkdir -p "$dkms_dir/tree" "$dkms_dir/install"
# The whole DKMS state (tree, build, signing key) stays in build/kmod/dkms:
# the system's /var/lib/dkms must come out of this as it went in.
system_state_before=$(find /var/lib/dkms 2>/dev/null | sort || true)
if ! env mok_signing_key="$dkms_dir/mok.key" mok_certificate="$dkms_dir/mok.pub" \
    dkms build -m quorvin-awb -v "$version" -k "$abi-amd64" \
    --dkmstree "$dkms_dir/tree" --sourcetree "$dkms_dir/src" --installtree "$dkms_dir/install" \
    >"$dkms_dir/dkms.log" 2>&1; then
    dkms_ok=false
    tail -30 "$dkms_dir/dkms.log" >&2
fi
check "dkms leaves /var/lib/dkms alone" \
    test "$(find /var/lib/dkms 2>/dev/null | sort || true)" = "$system_state_before"
# DKMS keeps the module and its build log, not the objects.
dkms_built=$dkms_dir/tree/quorvin-awb/$version/$abi-amd64/x86_64
$dkms_ok && kmod/guard.sh "$dkms_built/module/Quorvin_AWB.ko" kmod/guard-allow.txt \
    "$dkms_built/log/make.log" || dkms_ok=false
check "dkms build against $abi-amd64" $dkms_ok

echo "kernel VM: boot ${boot_times[*]:-none}; failed: ${failures[*]:-none}"
echo "kernel module checks: $passed passed, $failed failed"
[ $failed -eq 0 ]
