/* SPDX-License-Identifier: GPL-2.0 OR MIT */
/*
 * What the kernel series quorvin_vcam builds for (5.10, 6.1, 6.12 and newer)
 * name or declare differently, in one place: every version test of the
 * driver's own files is here (the shared code's are in
 * drivers/common/qcam_v4l2.h), and the files test the feature macros below.
 */
#ifndef QUORVIN_VCAM_COMPAT_H
#define QUORVIN_VCAM_COMPAT_H

#include <linux/version.h>

/* From 6.11 on, a platform driver's remove returns nothing. */
#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 11, 0)
#define VCAM_REMOVE_RETURNS_VOID
#endif

#endif /* QUORVIN_VCAM_COMPAT_H */
