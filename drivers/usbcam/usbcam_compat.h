/* SPDX-License-Identifier: GPL-2.0 OR MIT */
/*
 * What differs between the kernel series quorvin_usbcam builds for (5.10,
 * 6.1, 6.12 and later): every version switch of the driver is here.
 */
#ifndef QUORVIN_USBCAM_COMPAT_H
#define QUORVIN_USBCAM_COMPAT_H

#include <linux/version.h>
#include <media/videobuf2-v4l2.h>

/*
 * Up to 6.12 vb2 drops the queue lock around its waits through these two
 * operations; from 6.13 it uses q->lock itself and they are gone.
 */
#if LINUX_VERSION_CODE < KERNEL_VERSION(6, 13, 0)
#define USBCAM_VB2_WAIT_OPS                   \
	.wait_prepare = vb2_ops_wait_prepare, \
	.wait_finish = vb2_ops_wait_finish,
#else
#define USBCAM_VB2_WAIT_OPS
#endif

/*
 * Before 5.11 vb2 put its done queue on the poll table only when input
 * events were asked for, so an epoll waiter added with no events and
 * switched to EPOLLIN later never woke: the driver adds it itself.
 */
#define USBCAM_POLL_ADDS_DONE_WQ (LINUX_VERSION_CODE < KERNEL_VERSION(5, 11, 0))

#endif /* QUORVIN_USBCAM_COMPAT_H */
