# SPDX-License-Identifier: GPL-2.0 OR MIT
# The steps of the kernel test, per kernel of the matrix (tests/kernel/vm/kernels.sh
# names them): sourced by vm-test.sh and the package test.
#
#   build NAME            the module and the client against the kernel's own
#                         headers and compiler, each followed by its guard
#   host_checks NAME      modinfo, Module.symvers and vermagic on the host
#   pack_initramfs NAME   busybox, vm-init.sh as /init, the two modules (and
#                         the V4L2 driver with what it needs, where built)
#   boot NAME             qemu (software emulation) until /init powers off
#   check_kernel NAME     every check of the boot's results
#
# NAME is a kernel of the matrix (5.10-686); the last three also take a run
# of their own on a kernel (NAME KERNEL: dkms-6.1-amd64 6.1-amd64), whose
# modules were put in $OUT/NAME/src by other means.
# Each works in $OUT/NAME: src/ (the staged sources and the built modules),
# root/ (the initramfs tree), console.log, results.txt, boot.time. The
# user-space scenario's lines must be in $OUT/golden.txt before check_kernel.
# Needs lib.sh and kernels.sh sourced, and OUT and VM_TIMEOUT set.

passed=0
failed=0
failures=()
declare -A kernel_passed=() kernel_failed=()
# check NAME CONDITION-COMMAND...: one check; a NAME "<kernel>: ..." counts
# for that kernel too.
check() {
    local name=$1 kernel=${1%%:*}
    shift
    if "$@"; then
        passed=$((passed + 1))
        [ "$kernel" = "$name" ] || kernel_passed[$kernel]=$((${kernel_passed[$kernel]:-0} + 1))
    else
        failed=$((failed + 1))
        failures+=("$name")
        [ "$kernel" = "$name" ] || kernel_failed[$kernel]=$((${kernel_failed[$kernel]:-0} + 1))
        echo "FAILED: $name" >&2
    fi
}
log_step() { echo "== kmod: $*"; }

# stage DEST: a copy of what the kernel builds need, in the repository's
# layout: the module (kmod/, AWB/, platform/, the core's flags), the
# reference drivers and the kernel tests' modules and guard. Each kernel
# builds in a copy of its own.
stage() {
    local d
    mkdir -p "$1/tests/support" "$1/cmake"
    for d in AWB platform kmod drivers tests/kernel; do
        cp -r "$QUORVIN_ROOT/$d" "$1/$d"
    done
    rm -rf "$1/platform/user" "$1/tests/kernel/vm"
    cp "$QUORVIN_ROOT/cmake/core-flags.mk" "$1/cmake/"
    cp "$QUORVIN_ROOT/tests/support/quorvin_camera.h" "$1/tests/support/"
}

# with_kernel_cc COMMAND...: runs COMMAND with the compiler the loaded
# kernel's headers want first on PATH, and for another architecture's
# kernel with CROSS_COMPILE set (Kbuild, and the guard's disassembler).
with_kernel_cc() {
    if [ -n "$K_CROSS" ]; then
        PATH=$K_CC_DIR:$PATH CROSS_COMPILE=$K_CROSS "$@"
    elif [ -n "$K_CC_DIR" ]; then
        PATH=$K_CC_DIR:$PATH "$@"
    else
        "$@"
    fi
}

# driver_build SRC KDIR DRIVER: a reference driver (drivers/DRIVER/, make
# target DRIVER of tests/kernel/Makefile) in a staged source tree whose
# module is built; prints the guard's line, the build's tail on failure.
driver_build() {
    local log=$1/drivers/$3/make.log
    make -C "$1/tests/kernel" KDIR="$2" "$3" >"$log" 2>&1 || {
        tail -30 "$log" >&2
        return 1
    }
    grep "^guard: quorvin_$3" "$log"
}

build() { # build NAME
    local dir=$OUT/$1
    kernel_load "$1" || return 1
    rm -rf "$dir/src"
    stage "$dir/src"
    if ! with_kernel_cc make -j"$(nproc)" -C "$dir/src/tests/kernel" KDIR="$K_HEADERS" client >"$dir/build.log" 2>&1; then
        tail -40 "$dir/build.log" >&2
        return 1
    fi
    grep '^guard:' "$dir/build.log" | sed "s/^/   $1: /"
}

host_checks() { # host_checks NAME
    local name=$1 ko=$OUT/$1/src/kmod/Quorvin_AWB.ko symvers_ok=true
    kernel_load "$name" || return 1
    [ -f "$ko" ] || return 0
    check "$name: modinfo name" test "$(modinfo -F name "$ko")" = Quorvin_AWB
    check "$name: modinfo licence" test "$(modinfo -F license "$ko")" = "Dual MIT/GPL"
    # Module.symvers: exactly the exports, and export kinds, of the list the
    # user-space listing prints (four GPL-only, seventeen ordinary).
    diff -u <(sed -n 's/^export: *\([^ ]*\) \(.*\)$/\1 \2/p' "$QUORVIN_ROOT/tests/modinfo/expected.txt" | sort) \
        <(awk '{ print $2, $4 }' "$OUT/$name/src/kmod/Module.symvers" | sort) >&2 || symvers_ok=false
    check "$name: Module.symvers lists 4 GPL-only and 17 ordinary exports" $symvers_ok
    check "$name: modinfo description" \
        test "$(modinfo -F description "$ko")" = "Quorvin USB Cameras: AutoWhiteBalance"
    check "$name: modinfo parameter" \
        test "$(modinfo -F parm "$ko")" = "debug_awb:debug[0]:  21 for debug (int)"
    check "$name: vermagic" grep -q "^$K_KVER " <<<"$(modinfo -F vermagic "$ko")"
}

pack_initramfs() { # pack_initramfs NAME [KERNEL]
    local dir=$OUT/$1 root=$OUT/$1/root
    kernel_load "${2:-$1}" || return 1
    rm -rf "$root"
    mkdir -p "$root/bin" "$root/modules"
    cp "$K_BUSYBOX" "$root/bin/busybox"
    cp "$QUORVIN_ROOT/tests/kernel/vm/vm-init.sh" "$root/init"
    chmod 0755 "$root/init" "$root/bin/busybox"
    cp "$dir/src/kmod/Quorvin_AWB.ko" "$dir/src/tests/kernel/client/quorvin_client.ko" "$root/modules/"
    local pixeltest=$dir/src/tests/kernel/pixeltest/quorvin_pixeltest.ko
    [ ! -f "$pixeltest" ] || cp "$pixeltest" "$root/modules/"
    # The reference V4L2 driver where it was built: media modules, v4l2
    # tools, vcam-tool, the driver and its guest script (tests/kernel/vm/vcam.sh).
    [ ! -f "$dir/src/drivers/vcam/quorvin_vcam.ko" ] ||
        with_kernel_cc vcam_pack "$root" "$K_FLAVOUR" "$K_KVER" "$K_IMAGE_DEB" "$CACHE" "$dir/src"
    # The USB camera driver where it was built (tests/kernel/vm/usbcam.sh).
    [ ! -f "$dir/src/drivers/usbcam/quorvin_usbcam.ko" ] ||
        with_kernel_cc usbcam_pack "$root" "$K_FLAVOUR" "$K_KVER" "$K_IMAGE_DEB" "$CACHE" "$dir/src"
    (cd "$root" && find . | busybox cpio -o -H newc 2>/dev/null | gzip -1) >"$dir/initramfs.cpio.gz"
}

boot() { # boot NAME [KERNEL]: runs the VM; its results land in $OUT/NAME/results.txt
    local dir=$OUT/$1 start
    kernel_load "${2:-$1}" || return 1
    start=$(date +%s.%N)
    # The console on the first serial port, the results on a second one,
    # which /init finds as QV_OUT (the kernel hands unknown parameters of
    # its command line to init as environment).
    # x86-64: -cpu max, an emulated processor with AVX2, for the pixel
    # self-test (32-bit kernels have no vector variants, and warn at boot
    # about the SMP fitness of the processor qemu-system-i386 then emulates).
    # arm64: the virt machine (Debian's image boots directly, no firmware)
    # with a Cortex-A53 (-cpu max emulates pointer authentication, two to
    # three times slower) and no network card (the default one wants an
    # option ROM the machine's qemu data may lack); its own serial port
    # (PL011, ttyAMA0) carries the console, the results go out through a
    # PCI serial port (ttyS0).
    local rc=0 machine=() console=ttyS0 out=/dev/ttyS1 results=(-serial "file:$dir/results.raw")
    case $K_ARCH in
    amd64) machine=(-cpu max) ;;
    arm64)
        machine=(-M virt -cpu cortex-a53 -nic none)
        console=ttyAMA0 out=/dev/ttyS0
        results=(-chardev "file,id=results,path=$dir/results.raw" -device pci-serial,chardev=results)
        ;;
    esac
    timeout "$VM_TIMEOUT" "$K_QEMU" -accel tcg "${machine[@]}" -m 512 -smp 2 -display none -monitor none \
        -no-reboot -kernel "$K_VMLINUZ" -initrd "$dir/initramfs.cpio.gz" \
        -append "console=$console panic=-1 quiet QV_OUT=$out" \
        -serial "file:$dir/console.log" "${results[@]}" \
        </dev/null >"$dir/qemu.log" 2>&1 || rc=$?
    echo "$rc" >"$dir/qemu.rc"
    awk -v s="$start" -v e="$(date +%s.%N)" 'BEGIN { printf "%.1f", e - s }' >"$dir/boot.time"
    touch "$dir/results.raw" # qemu may have failed before opening it
    tr -d '\r' <"$dir/results.raw" >"$dir/results.txt"
}

qv_field() { # qv_field RESULTS KEY: the value of "QV KEY value" in a results file
    sed -n "s/^QV $2 //p" "$1" | head -1
}
qv_section() { # qv_section RESULTS SECTION: the lines of a framed section
    awk -v n="$2" '$0 == "QV begin " n { on = 1; next } on && /^QV end / { exit } on' "$1"
}
field() { qv_field "$OUT/$1/results.txt" "$2"; }       # field NAME KEY
section() { qv_section "$OUT/$1/results.txt" "$2"; } # section NAME SECTION

# log_without_known FILE: the kernel log FILE without the one warning block
# ("cut here" to "end trace") that is expected: the gadget core's
# usb_ep_enable refusing the emulated USB camera's own endpoint of packet
# size 0 (usbcam-guest.sh, mode zero-packet). It is the camera side's
# refusal, logged once per boot, not a fault of a driver under test; any
# other warning stays.
log_without_known() {
    awk '
        /-+\[ cut here \]-+/ { inblock = 1; n = 0; known = 0 }
        inblock {
            b[++n] = $0
            if ($0 ~ /WARNING: .* at .*usb\/gadget\/udc\/core\.c:[0-9]+ usb_ep_enable/) known = 1
            if ($0 ~ /---\[ end trace/) {
                inblock = 0
                if (!known) for (i = 1; i <= n; ++i) print b[i]
            }
            next
        }
        { print }
        END { if (inblock && !known) for (i = 1; i <= n; ++i) print b[i] }' "$1"
}

check_kernel() { # check_kernel NAME [KERNEL]
    local name=$1 dir=$OUT/$1 modinfo_out taint same size bad
    kernel_load "${2:-$1}" || return 1
    check "$name: VM ran to the end" grep -qx 'QV done' "$dir/results.txt"
    [ "$(cat "$dir/qemu.rc")" = 0 ] || echo "   $name: qemu exit status $(cat "$dir/qemu.rc")" >&2
    check "$name: kernel is $K_KVER" grep -q "^$K_KVER " <<<"$(field "$name" uname)"
    check "$name: module loads with debug_awb=21" test "$(field "$name" insmod_awb)" = 0
    check "$name: debug_awb reads 21" test "$(field "$name" param_value)" = 21
    check "$name: debug_awb mode 0444" test "$(field "$name" param_mode)" = 444
    check "$name: debug_awb not writable" test "$(field "$name" param_write | cut -d' ' -f2)" = 21
    modinfo_out=$(section "$name" modinfo)
    check "$name: modinfo in the VM" grep -q -F -x \
        -e "description:    Quorvin USB Cameras: AutoWhiteBalance" <<<"$modinfo_out"
    check "$name: modinfo licence in the VM" grep -q -F -x "license:        Dual MIT/GPL" <<<"$modinfo_out"
    # busybox's modinfo leaves out the parameter type (the host's shows it).
    check "$name: modinfo parameter in the VM" grep -q -F -x \
        "parm:           debug_awb:debug[0]:  21 for debug" <<<"$modinfo_out"
    check "$name: module registered as Quorvin_AWB" \
        test "$(field "$name" sysmodule)" = /sys/module/Quorvin_AWB
    check "$name: client loads" test "$(field "$name" insmod_client | cut -d' ' -f1)" = 0
    section "$name" dmesg >"$dir/dmesg.txt"
    sed -n 's/^\[[ 0-9.]*\] quorvin_client: //p' "$dir/dmesg.txt" >"$dir/client-full.txt"
    # The client is a GPL driver using GPL-only kernel exports and the
    # module's GPL-only exports: it must load without inheriting a
    # proprietary taint (5.10 logs the inheritance without symbol names), and
    # the kernel's taint bit 0 (P) must stay clear.
    check "$name: client inherits no proprietary taint" \
        test -z "$(grep 'inheriting taint' "$dir/dmesg.txt" || true)"
    taint=$(field "$name" taint_client)
    check "$name: kernel not tainted proprietary (taint $taint)" \
        test -n "$taint" -a $((${taint:-1} & 1)) -eq 0
    sed -e '/^start$/d' -e '/^end: /d' -e '/^unloaded$/d' -e '/^size /d' \
        -e '/^time /d' "$dir/client-full.txt" >"$dir/client.txt"
    same=true
    diff -u "$OUT/golden.txt" "$dir/client.txt" >"$dir/client.diff" || same=false
    $same || head -20 "$dir/client.diff" >&2
    check "$name: client results equal the user-space run" $same
    check "$name: client checks pass" grep -qx 'end: 0 failed checks' "$dir/client-full.txt"
    check "$name: threaded part finished" grep -qx 'threads: 0 failed checks' "$dir/client.txt"
    size=$(sed -n 's/^size //p' "$dir/client-full.txt")
    [ "$K_ARCH" != i386 ] || check "$name: object size 1636" test "$size" = 1636
    check "$name: module refuses unload while in use" test "$(field "$name" rmmod_awb_in_use)" != 0
    check "$name: client unloads" test "$(field "$name" rmmod_client)" = 0
    check "$name: module unloads" test "$(field "$name" rmmod_awb)" = 0
    check "$name: no module left" \
        test -z "$(section "$name" lsmod | grep -E 'Quorvin_AWB|quorvin_client' || true)"
    # The log from the first load on; what the kernel logged while booting,
    # before any module under test was loaded (an RCU stall of a vCPU that a
    # loaded host starved), is shown but is not the module's.
    # The one expected warning is left out (log_without_known).
    local pattern='Oops|BUG|WARNING|Call Trace|general protection|Unknown symbol|GPL-only|refused|segfault'
    local marker='quorvin-vm: loading the modules under test'
    log_without_known "$dir/dmesg.txt" >"$dir/dmesg-checked.txt"
    if grep -q "$marker" "$dir/dmesg-checked.txt"; then
        bad=$(awk -v m="$marker" 'index($0, m) { exit } 1' "$dir/dmesg-checked.txt" | grep -E "$pattern" || true)
        [ -z "$bad" ] || echo "   $name: note: the kernel logged while booting, before the load:"$'\n'"$(head -5 <<<"$bad")" >&2
        bad=$(awk -v m="$marker" 'index($0, m) { on = 1 } on' "$dir/dmesg-checked.txt" | grep -E "$pattern" || true)
    else
        bad=$(grep -E "$pattern" "$dir/dmesg-checked.txt" || true)
    fi
    [ -z "$bad" ] || echo "$bad" | head -20 >&2
    check "$name: kernel log clean" test -z "$bad"
    [ ! -f "$dir/src/tests/kernel/pixeltest/quorvin_pixeltest.ko" ] || pixel_checks "$name"
    [ ! -f "$dir/src/drivers/vcam/quorvin_vcam.ko" ] || vcam_check "$dir/results.txt" "$name" "$dir"
    [ ! -f "$dir/src/drivers/usbcam/quorvin_usbcam.ko" ] || usbcam_check "$dir/results.txt" "$name" "$dir"
    echo "   $name: object size $size, boot $(cat "$dir/boot.time") s, scenario" \
        "$(field "$name" insmod_client | awk '{ printf "%.2f", $3 - $2 }') s"
}

# pixel_checks NAME: the pixel self-test's results: every case equal on every
# variant; on x86-64 (AVX2) and arm64 (NEON) the vector variants ran in
# vector sections, and with the registers refused they fell back to the word
# variants. 32-bit x86 has the word variants only, so there is nothing to
# compare them with: the self-test runs them and may report no case.
pixel_checks() {
    local name=$1 dir=$OUT/$1 cases differ vec word least=0
    pixels() { sed -n "s/^\[[ 0-9.]*\] QV pixels $1 //p" "$dir/dmesg.txt" | head -1; }
    check "$name: pixel self-test loads" test "$(field "$name" insmod_pixeltest)" = 0
    read -r cases differ _ <<<"$(pixels cases)"
    [ "$K_ARCH" = i386 ] || least=1
    check "$name: pixel variants agree in the kernel (${cases:-no} cases, ${differ:-?} differ)" \
        test "${cases:--1}" -ge $least -a "${differ:-1}" = 0
    if [ "$K_ARCH" != i386 ]; then
        read -r vec word _ <<<"$(pixels chunks)"
        check "$name: vector variants used in the kernel ($vec vector sections, $word refused)" \
            test "${vec:-0}" -gt 0 -a "${word:-1}" = 0
        read -r vec word _ <<<"$(pixels fallback)"
        check "$name: word fallback with the registers refused ($vec vector, $word word)" \
            test "${vec:-1}" = 0 -a "${word:-0}" -gt 0
    fi
}

# user_scenario: the user-space run of the scenario, the lines every kernel's
# client must print ($OUT/golden.txt).
user_scenario() {
    local ok=true
    cmake -S "$QUORVIN_ROOT" -B "$OUT/user" -G Ninja -DCMAKE_BUILD_TYPE=Release >"$OUT/user-configure.log" 2>&1 ||
        { cat "$OUT/user-configure.log" >&2; return 1; }
    cmake --build "$OUT/user" --target kmod_scenario >"$OUT/user-build.log" 2>&1 ||
        { cat "$OUT/user-build.log" >&2; return 1; }
    "$OUT/user/tests/kmod_scenario" >"$OUT/golden-full.txt" || ok=false
    check "user-space scenario passes its own checks" $ok
    # The object size differs between hosts; everything else must be equal.
    grep -v '^size ' "$OUT/golden-full.txt" >"$OUT/golden.txt"
}
