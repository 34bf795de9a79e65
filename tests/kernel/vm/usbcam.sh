# SPDX-License-Identifier: GPL-2.0 OR MIT
# Host side of the quorvin_usbcam checks in the test VM: the USB camera
# driver (drivers/usbcam/) streaming from the emulated camera
# (drivers/usbcam/device/, a FunctionFS program behind dummy_hcd). Sourced
# by tests/kernel/vm/vm-test.sh after vcam.sh (whose packing of the media
# modules, the v4l2 tools and vcam-tool it relies on).
#
#   usbcam_build SRC KDIR               the driver in a staged source tree
#                                       whose module is built (make usbcam)
#   usbcam_pack ROOT FLAVOUR KVER IMAGE_DEB CACHE SRC
#                                       adds to an initramfs tree: the USB
#                                       and gadget modules of the kernel
#                                       image package, the camera program
#                                       (static, of the VM's architecture),
#                                       the driver and the guest script
#                                       (/usbcam.sh)
#   usbcam_check RESULTS NAME DIR       checks what the guest reported
#
# The guest side is tests/kernel/vm/usbcam-guest.sh.

# Frames of each convergence capture, and the frame by which the brightness
# must have settled.
USBCAM_FRAMES=150
USBCAM_SETTLE_MAX=90
# Bulk URBs the driver keeps in flight (drivers/usbcam/usbcam.h): frames
# the camera may have sent before a register write reaches it.
USBCAM_URBS=2

usbcam_build() { driver_build "$1" "$2" usbcam; } # usbcam_build SRC KDIR

usbcam_pack() { # usbcam_pack ROOT FLAVOUR KVER IMAGE_DEB CACHE SRC
    local root=$1 flavour=$2 kver=$3 image=$4 cache=$5 src=$6 m32= cc=gcc usb tmp dirs list d
    case $flavour in
    amd64) ;;
    arm64)
        # The kernel's cross compiler (with_kernel_cc puts it on PATH),
        # whose C library links static programs.
        cc=$(compgen -c "${CROSS_COMPILE:-aarch64-linux-gnu-}gcc-" | grep -E -- '-gcc-[0-9]+$' | head -1)
        [ -n "$cc" ] || {
            echo "usbcam: no ${CROSS_COMPILE:-aarch64-linux-gnu-}gcc-N on PATH for the camera program" >&2
            return 1
        }
        ;;
    *) m32=1 ;;
    esac
    # USB core, gadget and configfs modules of this kernel; /init's depmod
    # indexes them.
    usb=$cache/usbcam/usb-$kver
    if [ ! -d "$usb/lib/modules/$kver" ]; then
        tmp=$(mktemp -d)
        # Folders the kernel has (6.12 arm64 builds the role switch in).
        dirs=()
        list=$(dpkg-deb -c "$image")
        for d in drivers/usb/core drivers/usb/common drivers/usb/gadget drivers/usb/roles fs/configfs; do
            ! grep -q " \./lib/modules/$kver/kernel/$d/" <<<"$list" ||
                dirs+=("./lib/modules/$kver/kernel/$d/*")
        done
        dpkg-deb --fsys-tarfile "$image" | tar -x -C "$tmp" --wildcards "${dirs[@]}"
        # Newer kernels ship compressed modules; busybox loads plain ones.
        find "$tmp" -name '*.ko.xz' -exec xz -d {} +
        # Only what the emulated camera needs, not every gadget.
        find "$tmp/lib/modules/$kver/kernel/drivers/usb/gadget" -name '*.ko' \
            ! -name dummy_hcd.ko ! -name udc-core.ko ! -name libcomposite.ko \
            ! -name usb_f_fs.ko -delete
        as_root mkdir -p "$usb"
        as_root cp -a "$tmp/lib" "$usb/"
        rm -rf "$tmp"
    fi
    cp -a "$usb/lib" "$root/"
    make -s -C "$src/drivers/usbcam" device ${m32:+M32=1} DEVICE_CC="$cc" DEVICE_OUT="$root/bin/usbcam-device" >&2 ||
        return 1
    [ -x "$root/bin/vcam-tool" ] || gcc ${m32:+-m32} -static -O2 -Wall -Wextra -Werror \
        -o "$root/bin/vcam-tool" "$QUORVIN_ROOT/tests/kernel/vm/vcam-tool.c"
    cp "$src/drivers/usbcam/quorvin_usbcam.ko" "$root/modules/"
    cp "$QUORVIN_ROOT/tests/kernel/vm/usbcam-guest.sh" "$root/usbcam.sh"
}

usbcam_field() { qv_field "$1" "usbcam_$2"; }     # usbcam_field RESULTS KEY
usbcam_section() { qv_section "$1" "usbcam_$2"; } # usbcam_section RESULTS NAME

# usbcam_stat STATS NAME: one counter of the driver's stats line
usbcam_stat() {
    awk -v k="$2" '{ for (i = 1; i < NF; i += 2) if ($i == k) print $(i + 1) }' <<<"$1"
}

# usbcam_latency PUBLISHED FRAMES: for each publication whose shutter and
# gain differ from the one before ("SEQ LINE CLOCK GAIN"), the distance from
# its frame to the first frame the camera exposed with them (FRAMES holds
# the camera's log: "SEQ LINE CLOCK GAIN R G B"); one line per publication.
usbcam_latency() {
    awk 'NR == FNR { if ($2 " " $3 " " $4 != last) { p[++n] = $0; last = $2 " " $3 " " $4 } next }
        { f[++m] = $0 }
        END {
            for (i = 1; i <= n; ++i) {
                split(p[i], a, " ")
                d = "none"
                for (j = 1; j <= m; ++j) {
                    split(f[j], b, " ")
                    if (b[1] > a[1] && b[2] == a[2] && b[3] == a[3] && b[4] == a[4]) { d = b[1] - a[1]; break }
                }
                print a[1], d
            }
        }' "$1" "$2"
}

usbcam_all_released() { # usbcam_all_released "BOUND RELEASED"
    local a b
    read -r a b <<<"$1"
    test "${a:-0}" -gt 0 -a "$a" = "${b:-}"
}

usbcam_check() { # usbcam_check RESULTS NAME DIR
    local r=$1 f=$2 dir=$3 part target total ok lat bad stats m
    check "$f: usbcam: gadget modules load" test "$(usbcam_field "$r" modprobe)" = 0
    check "$f: usbcam: driver loads" test "$(usbcam_field "$r" insmod)" = 0
    check "$f: usbcam: camera enumerates and the driver binds" test -n "$(usbcam_field "$r" node)"
    usbcam_section "$r" compliance >"$dir/usbcam-compliance.txt"
    total=$(usbcam_field "$r" compliance_total)
    echo "   $f: usbcam: v4l2-compliance -s: $total"
    check "$f: usbcam: v4l2-compliance -s: 0 failed, 0 warnings" \
        grep -q -E 'Failed: 0, Warnings: 0$' <<<"$total"

    check "$f: usbcam: both captures ran" test "$(usbcam_field "$r" capture_rc)" = "0 0"
    for part in dark light; do
        target=128
        usbcam_section "$r" "$part" >"$dir/usbcam-$part.txt"
        vcam_converged "$f" usbcam "$part" "$target" "$dir/usbcam-$part.txt" $USBCAM_FRAMES $USBCAM_SETTLE_MAX 0
    done
    # The frames' headers carry what the module published, two frames (the
    # sensor's latency) after the frame it was published on, plus the
    # frames already under way in the URBs.
    usbcam_section "$r" published >"$dir/usbcam-published.txt"
    usbcam_section "$r" devlog >"$dir/usbcam-devlog.txt"
    usbcam_latency "$dir/usbcam-published.txt" "$dir/usbcam-devlog.txt" >"$dir/usbcam-latency.txt"
    lat=$(awk '{ print $2 }' "$dir/usbcam-latency.txt" | sort | uniq -c | awk '{ printf "%s%s x%s", s, $2, $1; s = ", " }')
    echo "   $f: usbcam: publications $(wc -l <"$dir/usbcam-latency.txt"), frames to the camera's headers: $lat"
    # Never before the sensor's two frames; at most the frames under way
    # plus two more for the control transfer itself (5.10's dummy_hcd takes
    # 13 to 40 ms for one).
    bad=$(awk -v max=$((2 + USBCAM_URBS + 1 + 2)) '$2 == "none" || $2 < 2 || $2 > max' "$dir/usbcam-latency.txt" | wc -l)
    check "$f: usbcam: published shutter and gain in the headers 2 to $((5 + USBCAM_URBS)) frames later ($lat)" \
        test -s "$dir/usbcam-latency.txt" -a "$bad" = 0

    # Misbehaving cameras: each survives (rc 0, frames delivered) or ends
    # with an error, and the counters name what happened.
    for m in short:short long:long magic:magic seqjump:gaps garbage:magic stall:stalls \
        ctrl-fail:ctrl_errors ctrl-timeout:ctrl_errors; do
        read -r -a v <<<"$(usbcam_field "$r" "mode_${m%%:*}")"
        # rc frames-bytes stats...
        stats="${v[*]:2}"
        check "$f: usbcam: ${m%%:*}: stream survives, ${m#*:} counted (${v[*]})" \
            test "${v[0]:-1}" = 0 -a "${v[1]:-0}" = $((640 * 480 * 60)) -a "$(usbcam_stat "$stats" "${m#*:}")" -ge 1
    done
    for m in magic stall; do
        # v4l2-ctl ends quietly on the error: fewer frames than asked
        read -r -a v <<<"$(usbcam_field "$r" "forever_$m")"
        stats="${v[*]:2}"
        check "$f: usbcam: $m for ever: stream ends with an error, one failure (${v[*]})" \
            test "${v[1]:-0}" -lt $((640 * 480 * 200)) -a "$(usbcam_stat "$stats" failures)" = 1
    done
    check "$f: usbcam: no bulk endpoint: not bound" test "$(usbcam_field "$r" mode_no-bulk)" = "none 0"
    # Packet size 0: the host's usb core drops the endpoint, the driver
    # binds nothing; the gadget core's one warning is the camera side's.
    usbcam_section "$r" log_zero-packet >"$dir/usbcam-zero-packet.log"
    check "$f: usbcam: bulk endpoint of packet size 0: not bound" \
        test "$(usbcam_field "$r" mode_zero-packet)" = "none 0"
    check "$f: usbcam: bulk endpoint of packet size 0: host log names the endpoint" \
        grep -q -E 'invalid (wMaxPacketSize|maxpacket) 0' "$dir/usbcam-zero-packet.log"
    check "$f: usbcam: extra interface: interface 0 bound, captures" \
        test "$(usbcam_field "$r" mode_extra-intf)" = "1 0 $((640 * 480 * 5))"
    check "$f: usbcam: gone mid-frame: stream ends with an error" \
        test "$(usbcam_field "$r" mode_vanish)" = "ended"

    check "$f: usbcam: unplug while streaming ends the stream" \
        test "$(usbcam_field "$r" unplug_streaming)" = "0 ended"
    check "$f: usbcam: unplug while open and idle" test "$(usbcam_field "$r" unplug_idle)" = "0 gone"
    check "$f: usbcam: replugged camera captures" test "$(usbcam_field "$r" replug)" = "0 $((640 * 480 * 5))"
    # An open file holds the module: rmmod refused, frames still flowing
    read -r -a v <<<"$(usbcam_field "$r" rmmod_streaming)"
    echo "   $f: usbcam: rmmod while streaming: ${v[*]}, says: $(usbcam_field "$r" rmmod_streaming_says)"
    check "$f: usbcam: rmmod while streaming refused, the stream goes on (${v[*]})" \
        test "${v[0]:-0}" != 0 -a "${v[*]:1}" = "flowing streaming"
    check "$f: usbcam: rmmod once the file is closed" test "$(usbcam_field "$r" rmmod_closed)" = 0
    check "$f: usbcam: driver loads again and captures" \
        test "$(usbcam_field "$r" reinsmod) $(usbcam_field "$r" reinsmod_capture)" = "0 0 $((640 * 480 * 5))"
    check "$f: usbcam: driver unbound while streaming ends the stream" \
        test "$(usbcam_field "$r" unbind_streaming)" = "0 ended"
    check "$f: usbcam: every bound camera released (bound, released: $(usbcam_field "$r" objects))" \
        usbcam_all_released "$(usbcam_field "$r" objects)"
    check "$f: usbcam: driver unloads" test "$(usbcam_field "$r" rmmod)" = 0
    check "$f: usbcam: every gadget unbind within its timeout" test "$(usbcam_field "$r" udc_timeouts)" = 0
    check "$f: usbcam: kernel log clean during the USB camera checks" test "$(usbcam_field "$r" log_bad)" = 0
    ok=true
    grep -qx 'QV usbcam_done' "$r" || ok=false
    check "$f: usbcam: guest checks ran to the end" $ok
}
