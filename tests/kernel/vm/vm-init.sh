#!/bin/busybox sh
# SPDX-License-Identifier: GPL-2.0 OR MIT
# /init of the test virtual machine (busybox only): loads the module and the
# client, probes them, and writes every result to the serial port QV_OUT
# names (from the kernel's command line: ttyS1 on x86, the first PCI serial
# port, ttyS0, on arm64), which the host reads back; the console is on
# another one.
/bin/busybox --install -s /bin
mkdir -p /proc /sys /dev /tmp
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev

out=${QV_OUT:-/dev/ttyS1}
say() { echo "QV $*" >"$out"; }
section() { # section NAME COMMAND...: the command's output, framed
    say "begin $1"
    shift
    "$@" >"$out" 2>&1
    say "end $?"
}

say "uname $(uname -r) $(uname -m)"
kver=$(uname -r)
mkdir -p "/lib/modules/$kver/extra"
cp /modules/*.ko "/lib/modules/$kver/extra/"
depmod
section modinfo modinfo Quorvin_AWB

# Everything the kernel logs from here on happens with the modules under test.
echo "quorvin-vm: loading the modules under test" >/dev/kmsg
insmod /modules/Quorvin_AWB.ko debug_awb=21
say "insmod_awb $?"
param=/sys/module/Quorvin_AWB/parameters/debug_awb
say "sysmodule $(ls -d /sys/module/Quorvin_AWB)"
say "srcversion $(cat /sys/module/Quorvin_AWB/srcversion)"
say "param_value $(cat $param)"
say "param_mode $(stat -c %a $param)"
echo 5 2>/dev/null >$param
say "param_write $? $(cat $param)"
say "taint $(cat /proc/sys/kernel/tainted)"

start=$(cat /proc/uptime)
insmod /modules/quorvin_client.ko
say "insmod_client $? ${start%% *} $(cut -d' ' -f1 /proc/uptime)"
say "taint_client $(cat /proc/sys/kernel/tainted)"
rmmod Quorvin_AWB 2>/dev/null
say "rmmod_awb_in_use $?"
rmmod quorvin_client
say "rmmod_client $?"
rmmod Quorvin_AWB
say "rmmod_awb $?"
# Pixel self-test (tests/kernel/pixeltest/pixeltest.cpp): word and vector variants compared
# inside the kernel; its "QV pixels" lines go to the kernel log.
if [ -f /modules/quorvin_pixeltest.ko ]; then
    insmod /modules/quorvin_pixeltest.ko
    say "insmod_pixeltest $?"
    rmmod quorvin_pixeltest
    say "rmmod_pixeltest $?"
fi
# vcam hook: the reference V4L2 camera driver's checks (tests/kernel/vm/vcam-guest.sh)
[ ! -f /vcam.sh ] || . /vcam.sh
# usbcam hook: the USB camera driver's checks (tests/kernel/vm/usbcam-guest.sh)
[ ! -f /usbcam.sh ] || . /usbcam.sh
section lsmod cat /proc/modules
section dmesg dmesg
say "done"
sync
sleep 1
poweroff -f
while true; do sleep 1; done
