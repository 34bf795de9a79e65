/* SPDX-License-Identifier: GPL-2.0 OR MIT */
/*
 * quorvin_vcam's private header: the camera's record and what the driver's
 * files share.
 *
 * - vcam_drv.c: module parameters, load and unload, the platform devices
 *   and driver (probe, remove) and the camera's lifetime;
 * - vcam_video.c: the video device, its ioctls and file operations, the
 *   videobuf2 queue;
 * - vcam_thread.c: the frame thread, which paces frames and calls the
 *   module once per frame;
 * - vcam_ctrls.c: the V4L2 controls and how they map onto the core;
 * - vcam_common.c: what the reference drivers share
 *   (drivers/common/qcam_v4l2.c, compiled in);
 * - vcam_core.c: the camera without V4L2 (sensor model and the binding to
 *   the balance object), also built in user space by the tests.
 *
 * Locks, always taken in this order: io_lock (ioctls and the queue), the
 * control handler's lock, core_lock. The frame thread never takes io_lock,
 * so stop_streaming can wait for it while holding io_lock.
 */
#ifndef QUORVIN_VCAM_H
#define QUORVIN_VCAM_H

#include <linux/list.h>
#include <linux/mutex.h>
#include <linux/spinlock.h>
#include <linux/stddef.h>
#include <linux/types.h>
#include <media/v4l2-ctrls.h>
#include <media/v4l2-device.h>
#include <media/videobuf2-v4l2.h>

#include "../common/qcam_v4l2.h"
#include "vcam_core.h"

#define VCAM_MAX_DEVICES 8

/*
 * The driver's own controls, in the user class after the standard ones, in
 * the range drivers keep for their private controls (V4L2_CID_USER_BASE +
 * 0xf000, as vivid's). Applications find them by name.
 *
 * VCAM_CID_SCENE_LIGHT, "Scene Light" (scene_light in v4l2-ctl): the light
 * falling on the virtual scene, in percent of the nominal light, 0 to
 * VCAM_LIGHT_MAX (default 100; 10 is a dim room). Changes take effect from
 * the next frame.
 *
 * VCAM_CID_HIGHLIGHT_GUARD, "Highlight Guard" (highlight_guard), boolean,
 * default on: the module's highlight guard, which lowers the brightness
 * target in force while more than 2 % of the pixels are at 255 (never below
 * 32) and raises it back as far as the highlights allow. Off, exposure and
 * gain drive the brightness to the Brightness control's target.
 *
 * VCAM_CID_ROBUST_WB, "Robust White Balance" (robust_white_balance),
 * boolean, default on: the module's robust white balance statistic instead
 * of plain grey world.
 *
 * Both are settings of the balance object, which a rebinding resets: the
 * core applies them again after each.
 */
#define VCAM_CID_CUSTOM_BASE	 (V4L2_CID_USER_BASE | 0xf000)
#define VCAM_CID_SCENE_LIGHT	 (VCAM_CID_CUSTOM_BASE + 0)
#define VCAM_CID_HIGHLIGHT_GUARD (VCAM_CID_CUSTOM_BASE + 1)
#define VCAM_CID_ROBUST_WB	 (VCAM_CID_CUSTOM_BASE + 2)

struct vcam_dev {
	struct v4l2_device v4l2_dev;
	struct video_device vdev;
	struct vb2_queue queue;
	struct v4l2_ctrl_handler ctrls;
	struct qcam_ctrls std; /* the standard camera controls */

	unsigned int index;
	/*
	 * v4l2_dev.name ("quorvin_vcam quorvin_vcam.N"), the prefix of the
	 * driver's messages, kept for the release: v4l2_device_unregister
	 * empties the v4l2_device's own copy.
	 */
	char name[sizeof_field(struct v4l2_device, name)];
	struct mutex io_lock;	/* ioctls and the queue */
	struct mutex core_lock; /* the core: sensor, balance object, settings */
	spinlock_t list_lock;	/* buffers queued for capture */
	struct list_head buffers; /* of struct qcam_buffer */
	struct task_struct *thread;
	u32 sequence; /* of the next frame, from 0 at stream on */
	u32 dropped;  /* frames made with no buffer queued (free_running) */
	bool free_running;
	u32 fps;
	struct v4l2_pix_format fmt;

	struct vcam_core *core;
	void *awb_mem;
	u8 *raw;
	u32 publications; /* the core's count when last logged */
	u16 logged_rgb[3];
	u16 seen_rb[2]; /* red and blue balance after the last frame */
	/* under the handler lock: vcam_ctrls_mirror_balance is setting them */
	bool mirroring;
};

extern unsigned int vcam_debug;
extern bool vcam_free_running;

/* vcam_video.c */
void vcam_video_init_format(struct vcam_dev *cam);
int vcam_video_init_queue(struct vcam_dev *cam, struct device *dev);
int vcam_video_register(struct vcam_dev *cam);

/* vcam_thread.c */
int vcam_thread_start(struct vcam_dev *cam);
void vcam_thread_stop(struct vcam_dev *cam);

/* vcam_ctrls.c */
int vcam_ctrls_init(struct vcam_dev *cam);
void vcam_ctrls_mirror_balance(struct vcam_dev *cam, u16 r, u16 b);

#endif /* QUORVIN_VCAM_H */
