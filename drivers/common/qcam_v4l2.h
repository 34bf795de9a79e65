/* SPDX-License-Identifier: GPL-2.0 OR MIT */
/*
 * What both reference camera drivers (drivers/vcam/, drivers/usbcam/) do
 * alike on the V4L2 side, built into each of them (qcam_v4l2.c, included
 * by the driver's *_common.c): the one format (V4L2_PIX_FMT_SRGGB8 at
 * 320x240, 640x480 and 1280x720, 30 or 15 frames/s) and the ioctls that
 * depend on nothing else, one camera input, the videobuf2 vmalloc queue's
 * buffer list, the file operations, and the seven standard camera controls
 * with their auto clusters.
 *
 * Each driver keeps what is its own: its record, querycap, the format and
 * rate as set (which reach its sensor), the queue's start and stop, its
 * control handlers and private controls.
 */
#ifndef QUORVIN_QCAM_V4L2_H
#define QUORVIN_QCAM_V4L2_H

#include <linux/list.h>
#include <linux/mutex.h>
#include <linux/spinlock.h>
#include <linux/types.h>
#include <media/v4l2-ctrls.h>
#include <media/v4l2-dev.h>
#include <media/v4l2-device.h>
#include <media/v4l2-event.h>
#include <media/v4l2-ioctl.h>
#include <media/videobuf2-v4l2.h>

#include "qcam_compat.h"

/*
 * The entries of a struct v4l2_ioctl_ops that both drivers fill alike: the
 * ioctls below that need no camera, videobuf2's own, and control events.
 * The driver adds querycap, the format and rate it keeps, and log_status.
 */
#define QCAM_IOCTL_OPS                                                        \
	.vidioc_enum_fmt_vid_cap = qcam_enum_fmt,                             \
	.vidioc_try_fmt_vid_cap = qcam_try_fmt,                               \
	.vidioc_enum_framesizes = qcam_enum_framesizes,                       \
	.vidioc_enum_frameintervals = qcam_enum_frameintervals,               \
	.vidioc_enum_input = qcam_enum_input, .vidioc_g_input = qcam_g_input, \
	.vidioc_s_input = qcam_s_input, .vidioc_reqbufs = vb2_ioctl_reqbufs,  \
	.vidioc_create_bufs = vb2_ioctl_create_bufs,                          \
	.vidioc_prepare_buf = vb2_ioctl_prepare_buf,                          \
	.vidioc_querybuf = vb2_ioctl_querybuf, .vidioc_qbuf = vb2_ioctl_qbuf, \
	.vidioc_dqbuf = vb2_ioctl_dqbuf, .vidioc_expbuf = vb2_ioctl_expbuf,   \
	.vidioc_streamon = vb2_ioctl_streamon,                                \
	.vidioc_streamoff = vb2_ioctl_streamoff,                              \
	.vidioc_subscribe_event = v4l2_ctrl_subscribe_event,                  \
	.vidioc_unsubscribe_event = v4l2_event_unsubscribe,

/* The rate a camera starts with, frames/s. */
#define QCAM_FPS_DEFAULT 30

struct qcam_buffer {
	struct vb2_v4l2_buffer vb; /* first: vb2 allocates the whole record */
	struct list_head list;
};

/*
 * The seven standard camera controls, in the order of their auto clusters
 * (each automatic control followed by its manual ones).
 */
struct qcam_ctrls {
	struct v4l2_ctrl *exposure_auto;
	struct v4l2_ctrl *exposure;
	struct v4l2_ctrl *autogain;
	struct v4l2_ctrl *gain;
	struct v4l2_ctrl *awb;
	struct v4l2_ctrl *red;
	struct v4l2_ctrl *blue;
};

/* Upper ends of the manual controls' ranges, in the driver's units. */
struct qcam_ctrl_limits {
	s32 exposure_max; /* 100 us */
	s32 gain_max;
	s32 balance_max; /* 1/16 */
};

/* format and rate */
void qcam_fill_format(struct v4l2_pix_format *pix);
void qcam_fill_parm(u32 fps, struct v4l2_streamparm *p);
int qcam_get_parm(u32 fps, struct v4l2_streamparm *p);
int qcam_parm_fps(const struct v4l2_streamparm *p, u32 *fps);

/* ioctls that need no camera */
int qcam_enum_fmt(struct file *file, void *fh, struct v4l2_fmtdesc *f);
int qcam_try_fmt(struct file *file, void *fh, struct v4l2_format *f);
int qcam_enum_framesizes(struct file *file, void *fh,
			 struct v4l2_frmsizeenum *fs);
int qcam_enum_frameintervals(struct file *file, void *fh,
			     struct v4l2_frmivalenum *fi);
int qcam_enum_input(struct file *file, void *fh, struct v4l2_input *inp);
int qcam_g_input(struct file *file, void *fh, unsigned int *i);
int qcam_s_input(struct file *file, void *fh, unsigned int i);

/* videobuf2: the queued buffers, a list under a spinlock */
int qcam_queue_setup(u32 sizeimage, unsigned int *nplanes,
		     unsigned int sizes[]);
int qcam_buf_prepare(struct vb2_buffer *vb, u32 sizeimage);
void qcam_buf_queue(struct vb2_buffer *vb, spinlock_t *lock,
		    struct list_head *buffers);
struct qcam_buffer *qcam_next_buffer(spinlock_t *lock,
				     struct list_head *buffers);
void qcam_return_buffers(spinlock_t *lock, struct list_head *buffers,
			 enum vb2_buffer_state state);
int qcam_queue_init(struct vb2_queue *q, void *priv, const struct vb2_ops *ops,
		    struct mutex *lock, struct device *dev);

/* the video device, with the shared file operations */
int qcam_video_register(struct video_device *vdev, const char *name,
			const struct v4l2_ioctl_ops *ioctl_ops,
			struct v4l2_device *v4l2_dev, struct vb2_queue *q,
			struct mutex *lock, void *drvdata);

/* controls */
void qcam_ctrls_new_camera(struct v4l2_ctrl_handler *h,
			   const struct v4l2_ctrl_ops *ops,
			   struct qcam_ctrls *c,
			   const struct qcam_ctrl_limits *lim);
void qcam_ctrls_cluster(struct qcam_ctrls *c);
void qcam_ctrls_mirror_balance(struct qcam_ctrls *c, bool *mirroring, u16 r,
			       u16 b);

#endif /* QUORVIN_QCAM_V4L2_H */
