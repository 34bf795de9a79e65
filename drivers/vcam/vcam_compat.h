/* SPDX-License-Identifier: GPL-2.0 OR MIT */
/*
 * What the kernel series quorvin_vcam builds for (5.10, 6.1, 6.12 and newer)
 * name or declare differently, in one place: every version test of the
 * driver is here, and the driver's files test the feature macros below.
 */
#ifndef QUORVIN_VCAM_COMPAT_H
#define QUORVIN_VCAM_COMPAT_H

#include <linux/version.h>

/*
 * Before 5.11, vb2 registered its done queue with the poll table only when
 * the caller asked for input events; the driver's poll adds it itself.
 */
#if LINUX_VERSION_CODE < KERNEL_VERSION(5, 11, 0)
#define VCAM_POLL_ADDS_DONE_QUEUE
#endif

/* From 6.11 on, a platform driver's remove returns nothing. */
#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 11, 0)
#define VCAM_REMOVE_RETURNS_VOID
#endif

/*
 * Up to 6.12, vb2 drops and retakes the queue lock around a wait only
 * through the wait_prepare and wait_finish operations; later it uses the
 * queue's lock itself and the operations are gone.
 */
#if LINUX_VERSION_CODE < KERNEL_VERSION(6, 13, 0)
#define VCAM_VB2_HAS_WAIT_OPS
#endif

#endif /* QUORVIN_VCAM_COMPAT_H */
