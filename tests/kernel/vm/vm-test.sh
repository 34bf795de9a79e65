#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0 OR MIT
# The kernel matrix: builds the Quorvin_AWB module and its test client
# against each Debian kernel's own headers (with the compiler that kernel
# wants), boots that kernel under qemu (software emulation) with a busybox
# initramfs, and checks the module inside it:
#   - loads with debug_awb=21; the parameter reads 21, mode 0444, read-only;
#   - modinfo shows the name, licence, description and parameter exactly;
#     Module.symvers lists the four GPL-only and seventeen ordinary exports;
#   - the client, a GPL driver that uses a GPL-only kernel export beside the
#     module's exports, loads without a proprietary taint, and its scenario
#     lines equal the user-space run's;
#   - its two-thread part finishes; the module refuses to unload while the
#     client uses it; both unload; the kernel log holds no Oops, BUG,
#     WARNING or call trace; the 32-bit object is 1636 bytes;
#   - the pixel self-test module: word and vector variants equal inside the
#     kernel, the vector ones used on x86-64 (qemu -cpu max), the word ones
#     when the registers are refused (686 and arm64: the word variants);
#   - the reference V4L2 driver (drivers/vcam/, checks in tests/kernel/vm/vcam.sh):
#     v4l2-compliance, captures converging, controls, loops, unbinding;
#   - the USB camera driver (drivers/usbcam/, checks in tests/kernel/vm/usbcam.sh)
#     streaming from an emulated camera behind dummy_hcd: v4l2-compliance,
#     convergence, the published registers in the frames' headers, a
#     misbehaving camera, unplug, replug, unbinding;
# and runs `dkms build` of the module against each kernel's headers, with
# DKMS's state in a scratch directory.
#
# Kernels: 5.10-amd64 5.10-686 5.10-arm64 (bullseye), 6.1-amd64 6.1-686
# 6.1-arm64 (bookworm), 6.12-amd64 6.12-arm64 (bookworm-backports);
# QUORVIN_KERNELS="6.1-amd64 5.10-686" selects some. The arm64 kernels are
# cross-built and booted on qemu's virt machine (tests/kernel/vm/kernels.sh). QUORVIN_VM_JOBS (default 1) VMs run at a time, while the
# next kernels build. Packages come from Debian's archive through a private
# apt state (tests/kernel/vm/kernels.sh); downloads and extracted kernels are kept in
# $QUORVIN_KMOD_CACHE (default /var/cache/quorvin-kmod), builds and logs in
# build/kmod/. Prints one line per kernel and a summary line; exit status 0
# when every check passed.
set -euo pipefail
source "$(dirname "$0")/../../../scripts/lib.sh"
source "$QUORVIN_ROOT/tests/kernel/vm/kernels.sh"
source "$QUORVIN_ROOT/tests/kernel/vm/vm-lib.sh"
source "$QUORVIN_ROOT/tests/kernel/vm/vcam.sh"
source "$QUORVIN_ROOT/tests/kernel/vm/usbcam.sh"
cd "$QUORVIN_ROOT"

OUT=$QUORVIN_ROOT/build/kmod
# Compliance runs and captures of the V4L2 driver under software emulation.
VM_TIMEOUT=${QUORVIN_VM_TIMEOUT:-900}
# One VM at a time beside the next build: v4l2-compliance times some ioctls
# (time32/64 checks within 10 ms), which a second emulated machine on two
# cores can push past.
VM_JOBS=${QUORVIN_VM_JOBS:-1}
read -r -a KERNELS <<<"${QUORVIN_KERNELS:-$QUORVIN_KERNELS_ALL}"
step_start=$(date +%s)

# --- packages ---------------------------------------------------------------
log_step "packages"
# pahole: module BTF on kernels whose headers carry a vmlinux (6.12).
need_pkgs "${QUORVIN_BASE_PKGS[@]}" gcc make kmod binutils qemu-system-x86 busybox-static \
    dkms pahole debian-archive-keyring xz-utils
vcam_prepare

# --- kernels, fetched and extracted ------------------------------------------
as_root mkdir -p "$CACHE"
[ -w "$CACHE" ] || as_root chown "$(id -u):$(id -g)" "$CACHE"
# A kernel the archive cannot deliver fails its own row, with the reason
# kernel_prepare gives; the others go on.
declare -A unavailable=()
prepare_log=$(mktemp)
for name in "${KERNELS[@]}"; do
    start=$(date +%s)
    ok=true
    kernel_prepare "$name" 2>"$prepare_log" || ok=false
    sed 's/^/   /' "$prepare_log" >&2
    $ok || unavailable[$name]=$(sed -n "s/^kernel $name: unavailable: //p" "$prepare_log" | tail -1)
    check "$name: kernel packages fetched" $ok
    $ok && kernel_load "$name" && echo "   $name: $K_KVER ($(($(date +%s) - start)) s)"
done

# --- reference output of the scenario in user space -------------------------
log_step "user-space scenario"
rm -rf "$OUT"
mkdir -p "$OUT"
user_scenario

# --- build each kernel's modules, boot them as builds finish ----------------
log_step "build and boot ${KERNELS[*]} ($VM_JOBS VMs at a time, at most $VM_TIMEOUT s each)"
booted=()
for name in "${KERNELS[@]}"; do
    mkdir -p "$OUT/$name"
    [ -s "$CACHE/k/$name/kernel.env" ] || continue
    start=$(date +%s)
    ok=true
    build "$name" || ok=false
    check "$name: module and client build, guard clean" $ok
    vcam_ok=$ok
    $ok && { with_kernel_cc vcam_build "$OUT/$name/src" "$K_HEADERS" || vcam_ok=false; }
    check "$name: vcam driver builds, guard clean" $vcam_ok
    usbcam_ok=$ok
    $ok && { with_kernel_cc usbcam_build "$OUT/$name/src" "$K_HEADERS" || usbcam_ok=false; }
    check "$name: usbcam driver builds, guard clean" $usbcam_ok
    # The pixel self-test module (tests/kernel/pixeltest/).
    pix_ok=$ok
    $ok && { with_kernel_cc make -C "$OUT/$name/src/tests/kernel" pixeltest KDIR="$K_HEADERS" \
        >"$OUT/$name/pixeltest.log" 2>&1 || { pix_ok=false; tail -20 "$OUT/$name/pixeltest.log" >&2; }; }
    check "$name: pixel self-test module builds, guard clean" $pix_ok
    echo "   $name: build $(($(date +%s) - start)) s"
    $ok || continue
    host_checks "$name"
    pack_initramfs "$name"
    while [ "$(jobs -rp | wc -l)" -ge "$VM_JOBS" ]; do wait -n || true; done
    boot "$name" &
    booted+=("$name")
done
wait

boot_times=()
for name in "${booted[@]}"; do
    check_kernel "$name"
    boot_times+=("$name $(cat "$OUT/$name/boot.time") s")
done
for name in "${KERNELS[@]}"; do
    [[ " ${booted[*]} " == *" $name "* ]] || check "$name: VM booted" false
done

# --- DKMS ---------------------------------------------------------------------
log_step "dkms build"
version=$(sed -n 's/^PACKAGE_VERSION="\(.*\)"/\1/p' kmod/dkms.conf)
dkms_dir=$OUT/dkms
make -s -C kmod source-tree DEST="$dkms_dir/src/quorvin-awb-$version" >/dev/null
# The whole DKMS state (tree, build, signing key) stays in build/kmod/dkms:
# the system's /var/lib/dkms must come out of this as it went in.
system_state_before=$(find /var/lib/dkms 2>/dev/null | sort || true)
for name in "${booted[@]}"; do
    kernel_load "$name"
    dkms_ok=true
    case $K_ARCH in
    i386) arch=i386 ;;
    arm64) arch=aarch64 ;; # cross: CROSS_COMPILE from with_kernel_cc
    *) arch=x86_64 ;;
    esac
    mkdir -p "$dkms_dir/$name/tree" "$dkms_dir/$name/install"
    if ! with_kernel_cc env mok_signing_key="$dkms_dir/mok.key" mok_certificate="$dkms_dir/mok.pub" \
        dkms build -m quorvin-awb -v "$version" -k "$K_KVER" -a "$arch" --kernelsourcedir "$K_HEADERS" \
        --dkmstree "$dkms_dir/$name/tree" --sourcetree "$dkms_dir/src" \
        --installtree "$dkms_dir/$name/install" >"$dkms_dir/$name/dkms.log" 2>&1; then
        dkms_ok=false
        tail -30 "$dkms_dir/$name/dkms.log" >&2
    fi
    # DKMS keeps the module and its build log, not the objects. The allow
    # lists as tests/kernel/Makefile picks them: the common one, and those
    # of the kernel's series and architecture where present.
    built=$dkms_dir/$name/tree/quorvin-awb/$version/$K_KVER/$arch
    allow=tests/kernel/guard/Quorvin_AWB.allow
    karch=$([ "$K_ARCH" = arm64 ] && echo arm64 || echo x86)
    for list in "$K_SERIES" "$karch" "$K_SERIES-$karch"; do
        [ ! -f "tests/kernel/guard/Quorvin_AWB-$list.allow" ] || allow+=":tests/kernel/guard/Quorvin_AWB-$list.allow"
    done
    $dkms_ok && with_kernel_cc tests/kernel/guard/guard.sh "$built/module/Quorvin_AWB.ko" \
        "$allow" "$built/log/make.log" >/dev/null || dkms_ok=false
    check "$name: dkms build against $K_KVER" $dkms_ok
done
check "dkms leaves /var/lib/dkms alone" \
    test "$(find /var/lib/dkms 2>/dev/null | sort || true)" = "$system_state_before"

# --- summary ------------------------------------------------------------------
echo "kernel matrix:"
printf '   %-11s %-20s %-6s %-14s %s\n' kernel release arch checks boot
for name in "${KERNELS[@]}"; do
    release=- arch=- boot_time=-
    if [ -s "$CACHE/k/$name/kernel.env" ]; then
        kernel_load "$name"
        release=$K_KVER arch=$K_ARCH
    fi
    [ ! -s "$OUT/$name/boot.time" ] || boot_time="$(cat "$OUT/$name/boot.time") s"
    p=${kernel_passed[$name]:-0} f=${kernel_failed[$name]:-0}
    printf '   %-11s %-20s %-6s %-14s %s\n' "$name" "$release" "$arch" "$p/$((p + f)) passed" "$boot_time"
    [ -z "${unavailable[$name]+set}" ] || echo "      unavailable: ${unavailable[$name]:-see the log above}"
done
rm -f "$prepare_log"
echo "kernel VM: boot ${boot_times[*]:-none}; step $(($(date +%s) - step_start)) s; failed: ${failures[*]:-none}"
echo "kernel module checks: $passed passed, $failed failed"
[ $failed -eq 0 ]
