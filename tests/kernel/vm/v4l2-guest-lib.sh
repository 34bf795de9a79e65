#!/bin/busybox sh
# SPDX-License-Identifier: GPL-2.0 OR MIT
# What the guest sides of the camera drivers' checks (vcam-guest.sh,
# usbcam-guest.sh) share, sourced by them in the test VM as /v4l2-lib.sh:
# the results port's lines and framed sections, Debian's v4l2 tools and
# their libraries, a capture, a v4l2-compliance run. The host side reads
# them with qv_field and qv_section (vm-lib.sh).
out=${out:-/dev/ttyS1}
qv_say() { # qv_say PREFIX NAME VALUE...: the line "QV PREFIX_NAME VALUE..."
    local p=$1
    shift
    echo "QV ${p}_$*" >"$out"
}
qv_section() { # qv_section PREFIX NAME COMMAND...: the command's output, framed
    echo "QV begin $1_$2" >"$out"
    shift 2
    "$@" >"$out" 2>&1
    echo "QV end $?" >"$out"
}

case $(uname -m) in
x86_64) triplet=x86_64-linux-gnu ;;
aarch64) triplet=aarch64-linux-gnu ;;
*) triplet=i386-linux-gnu ;;
esac
export LD_LIBRARY_PATH=/lib/$triplet:/usr/lib/$triplet
ctl=/usr/bin/v4l2-ctl
# The format the checks capture, and the frames of a convergence capture.
W=640
H=480
N=150

capture() { # capture DEVICE FRAMES FILE
    $ctl -d "$1" --stream-mmap --stream-count="$2" --stream-to="$3" >/dev/null 2>&1
}
# qv_compliance PREFIX NAME DEVICE [OPTIONS...]: v4l2-compliance -s on
# DEVICE; its status (NAME_rc), its "Total for" line (NAME_total) and its
# whole output (section NAME).
qv_compliance() {
    local p=$1 n=$2 d=$3
    shift 3
    timeout 900 v4l2-compliance -d "$d" "$@" -s >/tmp/compliance.txt 2>&1
    qv_say "$p" "${n}_rc $?"
    qv_say "$p" "${n}_total $(grep 'Total for' /tmp/compliance.txt | tail -1)"
    qv_section "$p" "$n" cat /tmp/compliance.txt
}
