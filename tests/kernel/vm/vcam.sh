# SPDX-License-Identifier: GPL-2.0 OR MIT
# Host side of the quorvin_vcam checks in the test VM; sourced by
# tests/kernel/vm/vm-test.sh (needs scripts/lib.sh and the caller's `check NAME CMD...`).
# Every function is given the kernel it works for, so that it serves any
# Debian kernel series and flavour:
#
#   vcam_prepare                         host packages (gcc-multilib: the
#                                        32-bit static vcam-tool; sparse);
#                                        on arm64 vcam-tool is built by the
#                                        kernel's cross compiler, which
#                                        vcam_pack wants on PATH
#                                        (with_kernel_cc)
#   vcam_build SRC KDIR                  the driver in a staged source tree
#                                        whose module is built (make vcam)
#   vcam_pack ROOT FLAVOUR KVER IMAGE_DEB CACHE SRC
#                                        adds to an initramfs tree: the media
#                                        modules of the kernel image package,
#                                        Debian's v4l2-ctl and v4l2-compliance
#                                        of the VM's architecture and of the
#                                        release that goes with the kernel
#                                        (vcam_tools_suite) with their
#                                        libraries, vcam-tool, the driver and
#                                        the guest script (/vcam.sh)
#   vcam_check RESULTS FLAVOUR DIR       checks what the guest reported
#
# The guest side is tests/kernel/vm/vcam-guest.sh.

# The tools' packages; trixie renamed the v4l libraries for the 64-bit
# time_t transition.
vcam_tool_pkgs() { # vcam_tool_pkgs SUITE
    case $1 in
    trixie) echo v4l-utils libv4l-0t64 libv4lconvert0t64 libjpeg62-turbo libstdc++6 libgcc-s1 libc6 ;;
    *) echo v4l-utils libv4l-0 libv4lconvert0 libjpeg62-turbo libstdc++6 libgcc-s1 libc6 ;;
    esac
}

# vcam_tools_suite KVER: the Debian release whose v4l2 tools test the
# kernel, the one that shipped that kernel series. Each v4l2-compliance
# checks the uAPI of its own time: one older than the kernel takes fields
# it does not know for reserved ones that must be zero (6.12 fills
# VIDIOC_CREATE_BUFS' max_num_buffers, added in 6.8, where bookworm's 1.22
# sees reserved[0]); one newer checks behaviour vb2 changed later (bookworm's
# 1.22 wants the cache hint flags clear on a queued DMABUF buffer, which
# vb2 of 5.10 reports set).
vcam_tools_suite() {
    case $1 in
    5.10.*) echo bullseye ;;
    6.1.*) echo bookworm ;;
    *) echo trixie ;;
    esac
}
# Frames each capture of the convergence checks holds, and the frame by
# which the brightness must have settled (found in user space: 35 to 45).
VCAM_FRAMES=150
VCAM_SETTLE_MAX=90

vcam_prepare() {
    need_pkgs gcc-multilib sparse
}

vcam_deb() { # vcam_deb SUITE PACKAGE ARCH: path of SUITE's .deb, downloaded once
    # Through the kernel matrix's private apt state (tests/kernel/vm/kernels.sh), which
    # knows i386 without the machine's apt knowing it.
    # bullseye-security lists i386 packages it does not serve; an older
    # version (the point release's) then, and the log says so.
    apt_state "$1" "$3" || return 1
    apt_fetch_newest "$2:$3" || { echo "vcam: $1 delivers no $2:$3" >&2; return 1; }
    echo "${FETCHED[0]}"
}

vcam_build() { driver_build "$1" "$2" vcam; } # vcam_build SRC KDIR

vcam_pack() { # vcam_pack ROOT FLAVOUR KVER IMAGE_DEB CACHE SRC
    local root=$1 flavour=$2 kver=$3 image=$4 cache=$5 src=$6
    local arch=amd64 triplet=x86_64-linux-gnu interp=lib64/ld-linux-x86-64.so.2 cc=(gcc)
    local suite media tools tmp d pat p
    case $flavour in
    amd64) ;;
    arm64)
        # The cross compiler the kernel's build uses (on PATH, with
        # CROSS_COMPILE set: with_kernel_cc), with its own C library.
        arch=arm64
        triplet=aarch64-linux-gnu
        interp=lib/ld-linux-aarch64.so.1
        cc=("$(compgen -c "${CROSS_COMPILE:-aarch64-linux-gnu-}gcc-" | grep -E -- '-gcc-[0-9]+$' | head -1)")
        [ -n "${cc[0]}" ] || {
            echo "vcam: no ${CROSS_COMPILE:-aarch64-linux-gnu-}gcc-N on PATH for vcam-tool" >&2
            return 1
        }
        ;;
    *)
        arch=i386
        triplet=i386-linux-gnu
        interp=lib/ld-linux.so.2
        cc=(gcc -m32)
        ;;
    esac
    suite=$(vcam_tools_suite "$kver")

    # Media modules (mc, videodev, videobuf2) of this kernel, from its image
    # package; /init's depmod indexes them.
    media=$cache/vcam/media-$kver
    if [ ! -d "$media/lib/modules/$kver" ]; then
        tmp=$(mktemp -d)
        dpkg-deb --fsys-tarfile "$image" | tar -x -C "$tmp" --wildcards \
            "./lib/modules/$kver/kernel/drivers/media/mc/*" \
            "./lib/modules/$kver/kernel/drivers/media/v4l2-core/*" \
            "./lib/modules/$kver/kernel/drivers/media/common/videobuf2/*"
        # Newer kernels ship compressed modules; busybox loads plain ones.
        find "$tmp" -name '*.ko.xz' -exec xz -d {} +
        as_root mkdir -p "$media"
        as_root cp -a "$tmp/lib" "$media/"
        rm -rf "$tmp"
    fi
    cp -a "$media/lib" "$root/"

    # Debian's v4l2 tools of the VM's architecture and what they link.
    tools=$cache/vcam/tools-$suite-$arch
    if [ ! -x "$tools/usr/bin/v4l2-compliance" ]; then
        tmp=$(mktemp -d)
        for p in $(vcam_tool_pkgs "$suite"); do
            dpkg-deb -x "$(vcam_deb "$suite" "$p" "$arch")" "$tmp"
        done
        as_root mkdir -p "$tools"
        as_root cp -a "$tmp/." "$tools/"
        rm -rf "$tmp"
    fi
    mkdir -p "$root/usr/bin"
    cp "$tools/usr/bin/v4l2-ctl" "$tools/usr/bin/v4l2-compliance" "$root/usr/bin/"
    for d in "lib/$triplet" "usr/lib/$triplet"; do
        mkdir -p "$root/$d"
        # By the names the programs load, links followed (all relative
        # here; bullseye's libc.so.6 is a link to libc-2.31.so).
        for p in libc.so.6 libm.so.6 libpthread.so.0 libdl.so.2 librt.so.1 libstdc++.so.6 \
            libgcc_s.so.1 libv4l2.so.0 libv4lconvert.so.0 libjpeg.so.62; do
            [ ! -e "$tools/$d/$p" ] || cp -L "$tools/$d/$p" "$root/$d/"
        done
    done
    # The program interpreter, at the path the tools name, as a plain file:
    # the packages' links to it there point into /lib (bullseye, bookworm)
    # or /usr/lib (trixie), some of them absolute; the ones in the
    # triplet's folder are relative.
    mkdir -p "$root/${interp%/*}"
    for d in "lib/$triplet" "usr/lib/$triplet"; do
        p=$tools/$d/${interp##*/}
        if [ -e "$p" ]; then
            cp -L "$p" "$root/$interp"
            break
        fi
    done
    [ -f "$root/$interp" ] || {
        echo "vcam: no ${interp##*/} in $tools" >&2
        return 1
    }

    "${cc[@]}" -static -O2 -Wall -Wextra -Werror -o "$root/bin/vcam-tool" \
        "$QUORVIN_ROOT/tests/kernel/vm/vcam-tool.c"
    cp "$src/drivers/vcam/quorvin_vcam.ko" "$root/modules/"
    cp "$QUORVIN_ROOT/tests/kernel/vm/vcam-guest.sh" "$root/vcam.sh"
    cp "$QUORVIN_ROOT/tests/kernel/vm/v4l2-guest-lib.sh" "$root/v4l2-lib.sh"
}

vcam_field() { qv_field "$1" "vcam_$2"; }     # vcam_field RESULTS KEY
vcam_section() { qv_section "$1" "vcam_$2"; } # vcam_section RESULTS NAME

# vcam_settle MEASURED TARGET: the first frame from which every frame stays
# within TARGET +- (tolerance + threshold), the module's dead band at rest,
# having come within TARGET +- tolerance there; empty if none. MEASURED
# holds vcam-tool lines (index, luma, means, clipped per mille).
vcam_settle() {
    awk -v t="$2" '
        { l[NR - 1] = $2; n = NR }
        END {
            from = -1
            for (i = n - 1; i >= 0; --i) {
                e = l[i] - t; if (e < 0) e = -e
                if (e > 10) break
                if (e <= 5) from = i
            }
            if (from >= 0) print from
        }' "$1"
}

# vcam_rest MEASURED TARGET: "LEVEL CLIPPED": the target in force and the
# mean pixels at 255 (per mille) over the last 30 frames. A highlight guard
# lowers the target while the scene's brightest grey clips: the target in
# force is then where the brightness rests, the median of those frames, and
# the configured TARGET otherwise.
vcam_rest() {
    tail -30 "$1" | awk -v t="$2" '
        { l[NR] = $2; c += $6; n = NR }
        END {
            if (n == 0) { print "0 1000"; exit }
            for (i = 2; i <= n; ++i)
                for (j = i; j > 1 && l[j - 1] > l[j]; --j) { x = l[j]; l[j] = l[j - 1]; l[j - 1] = x }
            m = l[int((n + 1) / 2)]
            if (m > t - 5) m = t
            printf "%d %d\n", m, c / n
        }'
}

# vcam_converged KERNEL DRIVER PART TARGET MEASURED FRAMES SETTLE_MAX GUARDED:
# the checks of one convergence capture (PART dark... or light...) whose
# vcam-tool lines are in MEASURED: FRAMES frames, a start far from TARGET,
# settled by frame SETTLE_MAX at the target in force. GUARDED=1 when the
# driver runs the highlight guard: the target in force may then be lower,
# down to the guard's floor, with few pixels clipped at rest; otherwise it is
# TARGET.
vcam_converged() {
    local f=$1 d=$2 part=$3 target=$4 m=$5 frames=$6 max=$7 guarded=$8 first settle force clipped
    first=$(awk 'NR == 1 { print $2 }' "$m")
    read -r force clipped <<<"$(vcam_rest "$m" "$target")"
    [ "$guarded" = 1 ] || force=$target
    settle=$(vcam_settle "$m" "$force")
    echo "   $f: $d $part: $(wc -l <"$m") frames, first at brightness ${first:-?}," \
        "target $target, in force $force, settled from frame ${settle:-never}," \
        "clipped at rest $clipped per mille"
    check "$f: $d: $part: $frames frames captured" test "$(wc -l <"$m")" = "$frames"
    case $part in
    dark*) check "$f: $d: $part starts dark" test "${first:-255}" -lt $((target / 2)) ;;
    light*) check "$f: $d: $part starts off target" test "${first:-0}" -gt $((target + 40)) ;;
    esac
    [ "$guarded" = 1 ] &&
        check "$f: $d: $part: target in force $force within 32..$target, clipped at rest $clipped <= 30 per mille" \
            test "$force" -ge 32 -a "$force" -le "$target" -a "$clipped" -le 30
    check "$f: $d: $part settles at $force +- 5, stays within +- 10, by frame $max" \
        test -n "$settle" -a "${settle:-999}" -le "$max"
}

vcam_check() { # vcam_check RESULTS FLAVOUR DIR
    local r=$1 f=$2 dir=$3 i part target total ok v
    check "$f: vcam: media modules load" test "$(vcam_field "$r" modprobe)" = 0
    check "$f: vcam: driver loads with two cameras" test "$(vcam_field "$r" insmod)" = 0
    check "$f: vcam: no proprietary taint" test $(($(vcam_field "$r" taint) & 1)) -eq 0
    for i in 0 1; do
        vcam_section "$r" "compliance$i" >"$dir/vcam-compliance$i.txt"
        total=$(vcam_field "$r" "compliance${i}_total")
        echo "   $f: camera $i: v4l2-compliance -s: $total"
        check "$f: vcam: v4l2-compliance -s camera $i: 0 failed, 0 warnings" \
            grep -q -E 'Failed: 0, Warnings: 0$' <<<"$total"
    done
    check "$f: vcam: reloads after compliance" test "$(vcam_field "$r" reload)" = 0

    check "$f: vcam: the scene's light is the private control scene_light, set to 10 and 25" \
        test "$(vcam_field "$r" light_ctrl)" = "scene_light 10 25"
    check "$f: vcam: the picture modes are the private controls highlight_guard and robust_white_balance, on" \
        test "$(vcam_field "$r" picture_ctrls)" = "highlight_guard 1 1 robust_white_balance 1 1"

    # Convergence from a dark start and after a light change, both cameras
    # streaming together (camera 0 image entry, target 128; camera 1 alc
    # entry, target 100), with the driver's default highlight guard: it
    # settles on the target in force, which lies between the guard's floor
    # (32) and the configured target, with at most the guard's budget (2 %)
    # of the pixels at 255, measured on every pixel (the module counts a
    # subsample: 3 % allowed).
    check "$f: vcam: both captures ran" test "$(vcam_field "$r" capture_rc)" = "0 0 0 0"
    for part in dark0:128 dark1:100 light0:128 light1:100; do
        target=${part#*:}
        part=${part%:*}
        vcam_section "$r" "$part" >"$dir/vcam-$part.txt"
        vcam_converged "$f" vcam "$part" "$target" "$dir/vcam-$part.txt" $VCAM_FRAMES $VCAM_SETTLE_MAX 1
    done

    # Volatile controls read what the module published last.
    for i in 0 1; do
        read -r -a v <<<"$(vcam_field "$r" "volatile$i")"
        # read EXPOSURE GAIN RED BLUE published EXPOSURE GAIN RED BLUE
        check "$f: vcam: camera $i volatile values equal the published ones (${v[*]})" \
            test "${#v[@]}" = 9 -a "${v[0]:-}-${v[1]:-}-${v[2]:-}-${v[3]:-}" = \
            "${v[5]:-}-${v[6]:-}-${v[7]:-}-${v[8]:-}"
    done

    read -r -a v <<<"$(vcam_field "$r" manual_exposure)"
    # 20 40 80 (100 us): brightness of the last frame of each
    check "$f: vcam: longer manual exposure gives brighter frames (${v[*]})" \
        test "${#v[@]}" = 3 -a "${v[0]:-0}" -gt 0 -a "${v[1]:-0}" -gt $((${v[0]:-0} * 3 / 2)) \
        -a "${v[2]:-0}" -gt $((${v[1]:-0} * 3 / 2))
    read -r -a v <<<"$(vcam_field "$r" do_white_balance)"
    # red blue before, red blue after
    check "$f: vcam: do_white_balance moves red and blue (${v[*]})" \
        test "${#v[@]}" = 4 -a "${v[0]:-}" = 16 -a "${v[1]:-}" = 16 -a "${v[2]:-16}" != 16 -a "${v[3]:-16}" != 16

    # A slow reader (15 frames, each held 300 ms, two buffers):
    # "rc frames 15 gaps G missing M", then the driver's "frames dropped".
    v="$(vcam_field "$r" gaps0) / $(vcam_field "$r" gaps0_driver)"
    check "$f: vcam: triggered sensor: a slow reader sees no gaps, none dropped ($v)" \
        grep -q -x '0 frames 15 gaps 0 missing 0 / [0-9]* 0' <<<"$v"
    read -r -a v <<<"$(vcam_field "$r" gaps1) $(vcam_field "$r" gaps1_driver)"
    check "$f: vcam: free-running sensor: a slow reader sees gaps in the sequence (${v[*]})" \
        test "${#v[@]}" = 9 -a "${v[0]:-}-${v[2]:-}" = 0-15 -a "${v[4]:-0}" -gt 0 -a "${v[6]:-0}" -gt 0
    check "$f: vcam: free-running sensor: the driver dropped at least the frames missing, and made every frame delivered (${v[*]})" \
        test "${#v[@]}" = 9 -a "${v[8]:-0}" -ge "${v[6]:-1}" -a $((${v[7]:-0} - ${v[8]:-0})) -ge 15
    check "$f: vcam: 100 open/close and 100 stream cycles with control changes" \
        test "$(vcam_field "$r" loop)" = "0 open-close 100 stream-on-off 100"
    check "$f: vcam: control changes while the other camera streams" \
        test "$(vcam_field "$r" control_storm)" = "0 0"
    v=$(vcam_field "$r" lifetime_stream_ended)
    [ -z "$v" ] || echo "   $f: vcam: the unload check's first stream ended before its frames (status, output): $v"
    check "$f: vcam: driver refuses to unload while a camera is open" \
        test "$(vcam_field "$r" rmmod_in_use)" != 0
    check "$f: vcam: module refuses to unload while the driver uses it" \
        test "$(vcam_field "$r" rmmod_awb_in_use)" != 0
    check "$f: vcam: unbinding a streaming camera ends its stream" \
        test "$(vcam_field "$r" unbind)" = "0 ended"
    # Camera 1 was released once at the reload and once after the unbind.
    check "$f: vcam: an unbound camera is released when its last file closes" \
        test "$(vcam_field "$r" unbind_released)" = 2
    check "$f: vcam: every bound camera released by the end (bound, released: $(vcam_field "$r" objects))" \
        test "$(vcam_field "$r" objects)" = "5 5"
    check "$f: vcam: a rebound camera captures" test "$(vcam_field "$r" rebind)" = "0 0 $((640 * 480 * 5))"
    check "$f: vcam: driver unloads" test "$(vcam_field "$r" rmmod)" = 0
    check "$f: vcam: silent on success without debug= (load, capture, unload: rc, rc, rc, lines logged)" \
        test "$(vcam_field "$r" silent)" = "0 0 0 0"
    check "$f: vcam: module unloads after it" test "$(vcam_field "$r" rmmod_awb)" = 0
    check "$f: vcam: kernel log clean during the camera checks" test "$(vcam_field "$r" log_bad)" = 0
    ok=true
    grep -qx 'QV vcam_done' "$r" || ok=false
    check "$f: vcam: guest checks ran to the end" $ok
}
