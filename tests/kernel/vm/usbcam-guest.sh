#!/bin/busybox sh
# SPDX-License-Identifier: GPL-2.0 OR MIT
# Guest side of the quorvin_usbcam checks, run by the test VM's /init after
# the vcam part, when Quorvin_AWB is unloaded again. Plugs the emulated USB
# camera (/bin/usbcam-device behind a configfs gadget with one FunctionFS
# function, bound to dummy_hcd's dummy_udc.0) into the driver, drives it
# with Debian's v4l2-ctl and v4l2-compliance and vcam-tool, and writes
# "QV usbcam_<name> <value>" lines and framed sections to the results port;
# tests/kernel/vm/usbcam.sh checks them.
#
# Every write to the gadget's UDC file runs in the background and is given
# up after 30 s (counted in udc_timeouts): a hang fails the test, not the VM.
. /v4l2-lib.sh
usay() { qv_say usbcam "$@"; }
usection() { qv_section usbcam "$@"; }

G=/sys/kernel/config/usb_gadget/quorvin
FFS=/dev/ffs-usbcam
drv=/sys/bus/usb/drivers/quorvin_usbcam
light=/tmp/usbcam-light
devlog=/tmp/usbcam-dev.log
udc_timeouts=0
dev_pid=

# log_bad: lines of the kernel log that tell of an Oops, BUG, WARNING or
# call trace, leaving out the one known warning block ("cut here" to "end
# trace") of the gadget core's usb_ep_enable refusing the camera side's
# endpoint of packet size 0 (the zero-packet mode).
log_bad() {
    dmesg | awk '
        function bad(l) { return l ~ /Oops|BUG|WARNING|Call Trace|general protection/ }
        /-+\[ cut here \]-+/ { inblock = 1; n = 0; known = 0; next }
        inblock {
            b[++n] = $0
            if ($0 ~ /WARNING: .* at .*usb\/gadget\/udc\/core\.c:[0-9]+ usb_ep_enable/) known = 1
            if ($0 ~ /---\[ end trace/) {
                inblock = 0
                if (!known) for (i = 1; i <= n; ++i) c += bad(b[i])
            }
            next
        }
        { c += bad($0) }
        END { if (inblock && !known) for (i = 1; i <= n; ++i) c += bad(b[i]); print c + 0 }'
}

# udc VALUE: binds the gadget (dummy_udc.0) or unbinds it (empty).
udc() {
    sh -c "echo '$1' >$G/UDC" 2>/dev/null &
    local p=$! k=0
    while kill -0 $p 2>/dev/null && [ $k -lt 300 ]; do
        sleep 0.1
        k=$((k + 1))
    done
    if kill -0 $p 2>/dev/null; then
        udc_timeouts=$((udc_timeouts + 1))
        echo "quorvin-vm: write of '$1' to UDC hangs" >/dev/kmsg
        kill -9 $p 2>/dev/null
        return 1
    fi
    wait $p
}

# plug [DEVICE-OPTIONS...]: starts the camera program and binds the gadget.
plug() {
    local k=0
    mount -t functionfs usbcam $FFS
    rm -f /tmp/usbcam-dev.out
    /bin/usbcam-device --light-file $light --log $devlog "$@" $FFS >/tmp/usbcam-dev.out 2>&1 &
    dev_pid=$!
    while [ $k -lt 100 ] && ! grep -q ready /tmp/usbcam-dev.out; do
        sleep 0.1
        k=$((k + 1))
    done
    udc dummy_udc.0
}

# unplug: unbinds the gadget (a camera that left by itself is unbound
# already), ends the camera program.
unplug() {
    [ -z "$(cat $G/UDC 2>/dev/null)" ] || udc ""
    local rc=$?
    kill $dev_pid 2>/dev/null
    wait $dev_pid 2>/dev/null
    umount $FFS 2>/dev/null
    return $rc
}

# node: the camera's /dev/videoN once the driver has bound (up to 20 s);
# empty when nothing bound.
node() {
    local k=0 v
    while [ $k -lt 200 ]; do
        v=$(ls $drv/*/video4linux 2>/dev/null | head -1)
        if [ -n "$v" ]; then
            echo "/dev/$v"
            return 0
        fi
        sleep 0.1
        k=$((k + 1))
    done
}
intf() { # intf: the bound interface's name (1-1:1.0)
    ls -d $drv/*:* 2>/dev/null | head -1 | sed 's,.*/,,'
}
stats() { cat "$drv/$(intf)/stats" 2>/dev/null; }
frames() { stats | awk '{ for (i = 1; i < NF; i += 2) if ($i == "frames") print $(i + 1) }'; }
size() { stat -c %s "$1" 2>/dev/null || echo 0; }
# wait_open PID: until PID has the video device open (up to 30 s)
wait_open() {
    local k=0
    while [ $k -lt 300 ] && ! ls -l /proc/$1/fd 2>/dev/null | grep -q video; do
        sleep 0.1
        k=$((k + 1))
    done
}
# wait_end PID: sets $ended to "ended" when PID ends within 30 s, else to
# "still-running" and kills it. Not in a subshell: only this shell can
# reap its child (a zombie still answers kill -0).
running() { [ -d /proc/$1 ] && ! grep -q '^State:.*Z' /proc/$1/status 2>/dev/null; }
wait_end() {
    local k=0
    ended=ended
    while [ $k -lt 300 ] && running $1; do
        sleep 0.1
        k=$((k + 1))
    done
    if running $1; then
        kill $1
        ended=still-running
    fi
    wait $1 2>/dev/null
}

modprobe -a dummy_hcd libcomposite usb_f_fs
usay "modprobe $?"
mount -t configfs none /sys/kernel/config 2>/dev/null
mkdir -p $G $FFS
echo 0x1209 >$G/idVendor
echo 0x0007 >$G/idProduct
echo 0x0200 >$G/bcdUSB
mkdir -p $G/strings/0x409 $G/configs/c.1/strings/0x409 $G/functions/ffs.usbcam
echo Quorvin >$G/strings/0x409/manufacturer
echo "Quorvin USB camera" >$G/strings/0x409/product
echo 0001 >$G/strings/0x409/serialnumber
echo camera >$G/configs/c.1/strings/0x409/configuration
ln -s $G/functions/ffs.usbcam $G/configs/c.1/
echo 100 >$light

insmod /modules/Quorvin_AWB.ko
usay "insmod_awb $?"
# dyndbg: the driver's debug lines (probe, disconnect, release) are what
# the lifetime checks count.
insmod /modules/quorvin_usbcam.ko trace=1 dyndbg=+p
usay "insmod $?"

# --- the ecosystem's own test, streaming included --------------------------
plug
n=$(node)
usay "node $n"
if [ -n "$n" ]; then
    qv_compliance usbcam compliance "$n"
fi
unplug

# --- convergence: dark start, then a light change (a fresh camera) --------
echo 10 >$light
plug
n=$(node)
mark=$(dmesg | wc -l)
capture "$n" $N /tmp/u.raw
r1=$?
usection dark /bin/vcam-tool measure $W $H /tmp/u.raw
echo 100 >$light
capture "$n" $N /tmp/u.raw
r2=$?
usection light /bin/vcam-tool measure $W $H /tmp/u.raw
rm -f /tmp/u.raw
usay "capture_rc $r1 $r2"
usay "stats_normal $(stats)"
# What the module published (frame sequence, shutter, gain) and what the
# camera exposed each frame with.
usection published sh -c "dmesg | tail -n +$((mark + 1)) | sed -n 's/.*quorvin_usbcam .*: frame \([0-9]*\): published shutter \([0-9]*\),\([0-9]*\) gain \([0-9]*\)\$/\1 \2 \3 \4/p'"
usection devlog cat $devlog
unplug

# --- misbehaving cameras ----------------------------------------------------
echo 10 >$light
for m in short long magic seqjump garbage stall ctrl-fail ctrl-timeout; do
    plug --mode $m --at 20 --count 1
    n=$(node)
    capture "$n" 60 /tmp/m.raw
    usay "mode_$m $? $(size /tmp/m.raw) $(stats)"
    usay "devout_$m $(tr '\n' ' ' </tmp/usbcam-dev.out | cut -c1-300)"
    rm -f /tmp/m.raw
    unplug
done
for m in magic stall; do
    plug --mode $m --at 20 --count 0
    n=$(node)
    capture "$n" 200 /tmp/m.raw
    usay "forever_$m $? $(size /tmp/m.raw) $(stats)"
    rm -f /tmp/m.raw
    unplug
done
# Wrong descriptors: no bulk endpoint, or one of packet size 0; either way
# the driver must not bind. For a packet size of 0 the host's usb core logs
# the endpoint ("invalid wMaxPacketSize 0") and the camera's side cannot
# enable it, so the configuration fails and no interface is probed. That
# refusal on the camera's side is a warning of the gadget core, once, with
# a call trace (usb_ep_enable): log_bad below and the host's log check
# leave out exactly that warning block. The step's kernel log goes to the
# results.
for m in no-bulk zero-packet; do
    mark=$(dmesg | wc -l)
    plug --mode $m
    sleep 3
    v=$(ls $drv/*/video4linux 2>/dev/null | head -1)
    usay "mode_$m ${v:-none} $(ls -d $drv/*:* 2>/dev/null | wc -l)"
    usection "log_$m" sh -c "dmesg | tail -n +$((mark + 1))"
    unplug
done
plug --mode extra-intf
n=$(node)
capture "$n" 5 /tmp/m.raw
usay "mode_extra-intf $(ls -d $drv/*:* 2>/dev/null | wc -l) $? $(size /tmp/m.raw)"
rm -f /tmp/m.raw
unplug
plug --mode vanish --at 20
n=$(node)
$ctl -d "$n" --stream-mmap --stream-count=1000 --stream-to=/dev/null >/dev/null 2>&1 &
p=$!
wait_end $p
usay "mode_vanish $ended"
unplug

# --- unplug while streaming, while open and idle; replug -------------------
plug
n=$(node)
$ctl -d "$n" --stream-mmap --stream-count=1000000 --stream-to=/dev/null >/dev/null 2>&1 &
p=$!
wait_open $p
sleep 1
udc ""
rc=$?
wait_end $p
usay "unplug_streaming $rc $ended"
unplug
plug
n=$(node)
exec 3<"$n"
udc ""
rc=$?
sleep 1
exec 3<&-
usay "unplug_idle $rc $([ -e "$n" ] && echo present || echo gone)"
unplug
plug
n=$(node)
capture "$n" 5 /tmp/b.raw
usay "replug $? $(size /tmp/b.raw)"
rm -f /tmp/b.raw

# --- unloading while streaming ----------------------------------------------
# An open file holds the module (the file operations' owner): rmmod is
# refused and the stream goes on; once the file is closed the driver
# unloads with the camera still plugged in, and loads and captures again.
$ctl -d "$n" --stream-mmap --stream-count=1000000 --stream-to=/dev/null >/dev/null 2>&1 &
p=$!
wait_open $p
sleep 1
a=$(frames)
rmmod quorvin_usbcam >/tmp/rmmod.out 2>&1
rc=$?
sleep 2
b=$(frames)
usay "rmmod_streaming $rc $([ "${b:-0}" -gt "${a:-0}" ] && echo flowing || echo stalled) $(running $p && echo streaming || echo ended)"
usay "rmmod_streaming_says $(head -1 /tmp/rmmod.out)"
kill $p
wait $p 2>/dev/null
rmmod quorvin_usbcam
usay "rmmod_closed $?"
insmod /modules/quorvin_usbcam.ko trace=1 dyndbg=+p
usay "reinsmod $?"
n=$(node)
capture "$n" 5 /tmp/b.raw
usay "reinsmod_capture $? $(size /tmp/b.raw)"
rm -f /tmp/b.raw

# --- unbinding while streaming -----------------------------------------------
$ctl -d "$n" --stream-mmap --stream-count=1000000 --stream-to=/dev/null >/dev/null 2>&1 &
p=$!
wait_open $p
sleep 1
echo "$(intf)" >$drv/unbind
rc=$?
wait_end $p
usay "unbind_streaming $rc $ended"
unplug
rmmod quorvin_usbcam
usay "rmmod $?"
rmmod Quorvin_AWB
usay "rmmod_awb $?"
usay "objects $(dmesg | grep -c 'quorvin_usbcam .*: [a-z]* entry, as') $(dmesg | grep -c 'quorvin_usbcam .*: released$')"
usay "udc_timeouts $udc_timeouts"
usay "log_bad $(log_bad)"
usay "done"
