#!/bin/busybox sh
# SPDX-License-Identifier: GPL-2.0 OR MIT
# Guest side of the quorvin_vcam checks, run by the test VM's /init after the
# client part, when Quorvin_AWB is unloaded again. Drives two virtual cameras
# (camera 0 through Quorvin_ImageBalance, camera 1 through
# Quorvin_ALCWBalance) with Debian's v4l2-ctl and v4l2-compliance and
# vcam-tool, and writes "QV vcam_<name> <value>" lines and framed sections
# to the results port, as /init does; tests/kernel/vm/vcam.sh checks them.
. /v4l2-lib.sh
vsay() { qv_say vcam "$@"; }
vsection() { qv_section vcam "$@"; }

# debug=2: bindings, releases and every publication in the kernel log, which
# the checks below read.
params="devices=2 entry=image,alc debug=2"
sysfs=/sys/bus/platform/drivers/quorvin_vcam

node() { # node CAMERA: its /dev/videoN
    echo "/dev/$(ls /sys/bus/platform/devices/quorvin_vcam.$1/video4linux 2>/dev/null | head -1)"
}
# Control names differ between kernel series: look them up by ID.
cname() { # cname DEVICE HEX-ID
    $ctl -d "$1" -l 2>/dev/null | awk -v id="$2" '$2 == id { print $1; exit }'
}
get() { # get DEVICE CONTROL: its value
    $ctl -d "$1" -C "$2" 2>/dev/null | sed -n 's/^[^:]*: *//p'
}
last_luma() { # last_luma FILE: brightness of its last frame
    /bin/vcam-tool measure $W $H "$1" | tail -1 | cut -d' ' -f2
}
# The last shutter, gain and colour gains camera $1 published (debug=2 logs
# them), shutter as the exposure control reads it (100 us at 24 MHz, 1000
# clocks per line, a whole frame of 800 lines for (0, 0) or more).
published() {
    local line clocks
    line=$(dmesg | sed -n "s/.*quorvin_vcam\.$1: frame [0-9]*: published shutter \([0-9]*\),\([0-9]*\) gain \([0-9]*\)$/\1 \2 \3/p" | tail -1)
    set -- $line $(dmesg | sed -n "s/.*quorvin_vcam\.$1: frame [0-9]*: colour gains \([0-9]*\) [0-9]* \([0-9]*\)$/\1 \2/p" | tail -1)
    clocks=$(($1 * 1000 + $2))
    [ $clocks -ne 0 ] && [ $clocks -le 800000 ] || clocks=800000
    echo "$(((clocks + 1200) / 2400)) $3 $4 $5"
}
# Lines the driver has logged so far.
vcam_lines() {
    dmesg | grep -c 'quorvin_vcam'
}

modprobe -a videodev videobuf2-v4l2 videobuf2-vmalloc
vsay "modprobe $?"
insmod /modules/Quorvin_AWB.ko
vsay "insmod_awb $?"
insmod /modules/quorvin_vcam.ko $params
vsay "insmod $?"
vsay "taint $(cat /proc/sys/kernel/tainted)"
vsay "nodes $(node 0) $(node 1)"

# --- the ecosystem's own test, streaming included --------------------------
# Each camera exports buffers for the other's DMABUF test.
for i in 0 1; do
    qv_compliance vcam "compliance$i" "$(node $i)" -e "$(node $((1 - i)))"
done
# A fresh start: compliance leaves the controls anywhere.
rmmod quorvin_vcam
insmod /modules/quorvin_vcam.ko $params
vsay "reload $?"
d0=$(node 0)
d1=$(node 1)
ae=$(cname "$d0" 0x009a0901)
exposure=$(cname "$d0" 0x009a0902)
ag=$(cname "$d0" 0x00980912)
gain=$(cname "$d0" 0x00980913)
awb=$(cname "$d0" 0x0098090c)
dowb=$(cname "$d0" 0x0098090d)
red=$(cname "$d0" 0x0098090e)
blue=$(cname "$d0" 0x0098090f)
bright=$(cname "$d0" 0x00980900)
# The driver's own: VCAM_CID_SCENE_LIGHT, V4L2_CID_USER_BASE | 0xf000.
light=$(cname "$d0" 0x0098f900)
vsay "controls $ae $exposure $ag $gain $awb $dowb $red $blue $bright $light"
# The module's picture modes: VCAM_CID_HIGHLIGHT_GUARD and VCAM_CID_ROBUST_WB,
# V4L2_CID_USER_BASE | 0xf001 and 0xf002, on by default.
guard=$(cname "$d0" 0x0098f901)
robust=$(cname "$d0" 0x0098f902)
vsay "picture_ctrls $guard $(get "$d0" "$guard") $(get "$d1" "$guard")" \
    "$robust $(get "$d0" "$robust") $(get "$d1" "$robust")"

# A dark start: the light on each camera's scene, in percent.
$ctl -d "$d0" -c "$light=10"
$ctl -d "$d1" -c "$light=25"
vsay "light_ctrl $light $(get "$d0" "$light") $(get "$d1" "$light")"

# --- convergence: dark start, then a light change; both cameras at once ----
$ctl -d "$d1" -c "$bright=100"
rcs=
for phase in dark light; do
    capture "$d0" $N /tmp/c0.raw &
    p0=$!
    capture "$d1" $N /tmp/c1.raw &
    p1=$!
    wait $p0
    r0=$?
    wait $p1
    rcs="$rcs $r0 $?"
    vsection "${phase}0" /bin/vcam-tool measure $W $H /tmp/c0.raw
    vsection "${phase}1" /bin/vcam-tool measure $W $H /tmp/c1.raw
    rm -f /tmp/c0.raw /tmp/c1.raw
    # The light goes up while nothing streams; the next capture starts
    # from what the module had settled on in the dark.
    $ctl -d "$d0" -c "$light=100"
    $ctl -d "$d1" -c "$light=200"
done
vsay "capture_rc${rcs}"
for i in 0 1; do
    d=$(node $i)
    vsay "volatile$i $(get "$d" "$exposure") $(get "$d" "$gain") $(get "$d" "$red")" \
        "$(get "$d" "$blue") published $(published $i)"
done
# From here on only bindings and releases: the kernel log keeps the early
# lines the last checks count.
echo 1 >/sys/module/quorvin_vcam/parameters/debug

# --- manual exposure (camera 0): longer is brighter -------------------------
$ctl -d "$d0" -c "$ae=1" -c "$ag=0" -c "$gain=0"
lumas=
for e in 20 40 80; do
    $ctl -d "$d0" -c "$exposure=$e"
    capture "$d0" 6 /tmp/m.raw
    lumas="$lumas $(last_luma /tmp/m.raw)"
done
rm -f /tmp/m.raw
vsay "manual_exposure$lumas"
$ctl -d "$d0" -c "$ae=0" -c "$ag=1"

# --- one-shot white balance (camera 0) --------------------------------------
$ctl -d "$d0" -c "$awb=0"
$ctl -d "$d0" -c "$red=16" -c "$blue=16"
capture "$d0" 10 /dev/null
before="$(get "$d0" "$red") $(get "$d0" "$blue")"
$ctl -d "$d0" -c "$dowb=1"
capture "$d0" 120 /dev/null
vsay "do_white_balance $before $(get "$d0" "$red") $(get "$d0" "$blue")"
$ctl -d "$d0" -c "$awb=1"

# --- dropped frames (camera 0): a reader holding each frame 300 ms ---------
# With two buffers at 30 frames/s most frames find no buffer. Triggered
# (the default) the sensor waits and the sequence has no gaps; free-running
# it drops them and the sequence numbers skip, as many as the driver counts.
for mode in 0 1; do
    echo $mode >/sys/module/quorvin_vcam/parameters/free_running
    /bin/vcam-tool gaps "$d0" 15 300 >/tmp/gaps.txt 2>&1
    vsay "gaps$mode $? $(cat /tmp/gaps.txt)"
    vsay "gaps${mode}_driver $(dmesg | sed -n 's/.*quorvin_vcam\.0: stream off: \([0-9]*\) frames, \([0-9]*\) dropped.*/\1 \2/p' | tail -1)"
done
echo 0 >/sys/module/quorvin_vcam/parameters/free_running

# --- loops on camera 0 while camera 1 streams under control changes -------
timeout 600 /bin/vcam-tool loop "$d0" 100 >/tmp/loop.txt 2>&1 &
pl=$!
capture "$d1" 300 /dev/null &
pc=$!
k=0
storm=0
while [ $k -lt 40 ]; do
    $ctl -d "$d1" -c "$ae=$((k % 2))" -c "$exposure=$((20 + k * 7))" -c "$ag=$(((k / 2) % 2))" \
        -c "$awb=$(((k / 3) % 2))" -c "$red=$((8 + k))" -c "$bright=$((80 + k))" || storm=1
    [ $((k % 5)) -ne 0 ] || $ctl -d "$d1" -c "$dowb=1" || storm=1
    k=$((k + 1))
done
$ctl -d "$d1" -c "$ae=0" -c "$ag=1" -c "$awb=1" -c "$bright=128" || storm=1
wait $pl
vsay "loop $? $(tr '\n' ' ' </tmp/loop.txt | sed 's/ *$//')"
wait $pc
vsay "control_storm $storm $?"

# --- lifetime: unload refused while open, unbinding while streaming --------
# v4l2-ctl itself in the background, so that $! is the process that opens;
# the unload is tried once its frames arrive (it prints a '<' for each). A
# stream that ends before is said with its status and output, and started
# once more: the checks below are about unloading, and the host prints it.
lifetime_stream() {
    $ctl -d "$d1" --stream-mmap --stream-count=1000000 --stream-to=/dev/null >/tmp/lifetime.txt 2>&1 &
    ps=$!
    k=0
    while [ $k -lt 300 ] && kill -0 $ps 2>/dev/null &&
        [ "$(tr -cd '<' </tmp/lifetime.txt | wc -c)" -lt 5 ]; do
        sleep 0.1
        k=$((k + 1))
    done
    kill -0 $ps 2>/dev/null && return 0
    wait $ps
    vsay "lifetime_stream_ended $? $(head -c 300 /tmp/lifetime.txt | tr '\n' ' ')"
    return 1
}
lifetime_stream || { sleep 1 && lifetime_stream; }
rmmod quorvin_vcam 2>/dev/null
vsay "rmmod_in_use $?"
rmmod Quorvin_AWB 2>/dev/null
vsay "rmmod_awb_in_use $?"
echo quorvin_vcam.1 >$sysfs/unbind
rc=$?
k=0
while [ $k -lt 300 ] && kill -0 $ps 2>/dev/null; do
    sleep 0.1
    k=$((k + 1))
done
if kill -0 $ps 2>/dev/null; then
    kill $ps
    vsay "unbind $rc still streaming"
else
    vsay "unbind $rc ended"
fi
wait $ps 2>/dev/null
# The stream's file is closed now: the camera's objects must be gone.
vsay "unbind_released $(dmesg | grep -c 'quorvin_vcam\.1: released')"
echo quorvin_vcam.1 >$sysfs/bind
rc=$?
capture "$(node 1)" 5 /tmp/b.raw
vsay "rebind $rc $? $(stat -c %s /tmp/b.raw 2>/dev/null)"
rm -f /tmp/b.raw

rmmod quorvin_vcam
vsay "rmmod $?"
# Silent on success: loaded without debug=, a camera that binds, streams and
# is released logs nothing.
before=$(vcam_lines)
insmod /modules/quorvin_vcam.ko
rc=$?
capture "$(node 0)" 5 /dev/null
rc="$rc $?"
rmmod quorvin_vcam
vsay "silent $rc $? $(($(vcam_lines) - before))"
rmmod Quorvin_AWB
vsay "rmmod_awb $?"
# Every camera ever bound at debug=1 or more (two, two again after the
# reload, one rebound) was released.
vsay "objects $(dmesg | grep -c 'quorvin_vcam\.[0-9]: [a-z]* entry, as') $(dmesg | grep -c 'quorvin_vcam\.[0-9]: released')"
vsay "log_bad $(dmesg | grep -c -E 'Oops|BUG|WARNING|Call Trace|general protection')"
vsay "done"
