/* SPDX-License-Identifier: GPL-2.0 OR MIT */
/*
 * What the kernel series the reference drivers build for (5.10, 6.1, 6.12
 * and newer) do differently in the code they share: every version test of
 * drivers/common/ is here, and the shared code tests the feature macros
 * below.
 */
#ifndef QUORVIN_QCAM_COMPAT_H
#define QUORVIN_QCAM_COMPAT_H

#include <linux/version.h>

/*
 * Before 5.11, vb2 registered its done queue with the poll table only when
 * the caller asked for input events; the drivers' poll adds it itself.
 */
#if LINUX_VERSION_CODE < KERNEL_VERSION(5, 11, 0)
#define QCAM_POLL_ADDS_DONE_QUEUE
#endif

/*
 * Up to 6.12 vb2 drops and retakes the queue lock around a wait only
 * through the wait_prepare and wait_finish operations; from 6.13 it uses
 * the queue's lock itself and they are gone.
 */
#if LINUX_VERSION_CODE < KERNEL_VERSION(6, 13, 0)
#define QCAM_VB2_HAS_WAIT_OPS
#endif

#endif /* QUORVIN_QCAM_COMPAT_H */
