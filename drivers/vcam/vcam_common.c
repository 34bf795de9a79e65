// SPDX-License-Identifier: GPL-2.0 OR MIT
/*
 * The V4L2 code the reference drivers share, compiled into quorvin_vcam:
 * see drivers/common/qcam_v4l2.h.
 */
#include "../common/qcam_v4l2.c"
