// SPDX-License-Identifier: GPL-2.0 OR MIT
/*
 * The V4L2 code both reference camera drivers share (qcam_v4l2.h). Not a
 * module of its own: each driver compiles it in through its *_common.c, so
 * that THIS_MODULE and KBUILD_MODNAME below are the driver's.
 */
#include <linux/bits.h>
#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/poll.h>
#include <linux/string.h>
#include <media/v4l2-event.h>
#include <media/v4l2-fh.h>
#include <media/v4l2-ioctl.h>
#include <media/videobuf2-vmalloc.h>

#include "qcam_v4l2.h"

struct qcam_size {
	u32 width, height;
};

static const struct qcam_size qcam_sizes[] = {
	{ 320, 240 },
	{ 640, 480 },
	{ 1280, 720 },
};

static const u32 qcam_fps[] = { QCAM_FPS_DEFAULT, 15 };

/* --- format and rate ------------------------------------------------------ */

/* The nearest supported size, SRGGB8, one byte a pixel, no padding. */
void qcam_fill_format(struct v4l2_pix_format *pix)
{
	const struct qcam_size *s =
		v4l2_find_nearest_size(qcam_sizes, ARRAY_SIZE(qcam_sizes),
				       width, height, pix->width, pix->height);

	memset(pix, 0, sizeof(*pix));
	pix->width = s->width;
	pix->height = s->height;
	pix->pixelformat = V4L2_PIX_FMT_SRGGB8;
	pix->field = V4L2_FIELD_NONE;
	pix->bytesperline = s->width;
	pix->sizeimage = s->width * s->height;
	pix->colorspace = V4L2_COLORSPACE_RAW;
}

/* VIDIOC_G_PARM and the answer to VIDIOC_S_PARM: fps frames/s. */
void qcam_fill_parm(u32 fps, struct v4l2_streamparm *p)
{
	memset(&p->parm.capture, 0, sizeof(p->parm.capture));
	p->parm.capture.capability = V4L2_CAP_TIMEPERFRAME;
	p->parm.capture.timeperframe.numerator = 1;
	p->parm.capture.timeperframe.denominator = fps;
	p->parm.capture.readbuffers = 2;
}

int qcam_get_parm(u32 fps, struct v4l2_streamparm *p)
{
	if (p->type != V4L2_BUF_TYPE_VIDEO_CAPTURE)
		return -EINVAL;
	qcam_fill_parm(fps, p);
	return 0;
}

/*
 * The supported rate nearest to what VIDIOC_S_PARM asks for, in *fps; a
 * zero fraction asks for the fastest.
 */
int qcam_parm_fps(const struct v4l2_streamparm *p, u32 *fps)
{
	const struct v4l2_fract *t = &p->parm.capture.timeperframe;

	if (p->type != V4L2_BUF_TYPE_VIDEO_CAPTURE)
		return -EINVAL;
	*fps = qcam_fps[0];
	/* Below the midpoint of 15 and 30 frames/s: 15. */
	if (t->numerator && t->denominator &&
	    (u64)t->denominator * 2 < (u64)t->numerator * 45)
		*fps = qcam_fps[1];
	return 0;
}

static bool qcam_size_supported(u32 format, u32 width, u32 height)
{
	unsigned int i;

	if (format != V4L2_PIX_FMT_SRGGB8)
		return false;
	for (i = 0; i < ARRAY_SIZE(qcam_sizes); ++i)
		if (qcam_sizes[i].width == width &&
		    qcam_sizes[i].height == height)
			return true;
	return false;
}

/* --- ioctls that need no camera ------------------------------------------- */

int qcam_enum_fmt(struct file *file, void *fh, struct v4l2_fmtdesc *f)
{
	if (f->index != 0)
		return -EINVAL;
	f->pixelformat = V4L2_PIX_FMT_SRGGB8;
	return 0;
}

int qcam_try_fmt(struct file *file, void *fh, struct v4l2_format *f)
{
	qcam_fill_format(&f->fmt.pix);
	return 0;
}

int qcam_enum_framesizes(struct file *file, void *fh,
			 struct v4l2_frmsizeenum *fs)
{
	if (fs->pixel_format != V4L2_PIX_FMT_SRGGB8 ||
	    fs->index >= ARRAY_SIZE(qcam_sizes))
		return -EINVAL;
	fs->type = V4L2_FRMSIZE_TYPE_DISCRETE;
	fs->discrete.width = qcam_sizes[fs->index].width;
	fs->discrete.height = qcam_sizes[fs->index].height;
	return 0;
}

int qcam_enum_frameintervals(struct file *file, void *fh,
			     struct v4l2_frmivalenum *fi)
{
	if (!qcam_size_supported(fi->pixel_format, fi->width, fi->height) ||
	    fi->index >= ARRAY_SIZE(qcam_fps))
		return -EINVAL;
	fi->type = V4L2_FRMIVAL_TYPE_DISCRETE;
	fi->discrete.numerator = 1;
	fi->discrete.denominator = qcam_fps[fi->index];
	return 0;
}

int qcam_enum_input(struct file *file, void *fh, struct v4l2_input *inp)
{
	if (inp->index != 0)
		return -EINVAL;
	inp->type = V4L2_INPUT_TYPE_CAMERA;
	strscpy(inp->name, "Camera", sizeof(inp->name));
	return 0;
}

int qcam_g_input(struct file *file, void *fh, unsigned int *i)
{
	*i = 0;
	return 0;
}

int qcam_s_input(struct file *file, void *fh, unsigned int i)
{
	return i == 0 ? 0 : -EINVAL;
}

/* --- videobuf2 ------------------------------------------------------------ */

/* One plane of the format's size; more is accepted on VIDIOC_CREATE_BUFS. */
int qcam_queue_setup(u32 sizeimage, unsigned int *nplanes, unsigned int sizes[])
{
	if (*nplanes)
		return sizes[0] < sizeimage ? -EINVAL : 0;
	*nplanes = 1;
	sizes[0] = sizeimage;
	return 0;
}

int qcam_buf_prepare(struct vb2_buffer *vb, u32 sizeimage)
{
	if (vb2_plane_size(vb, 0) < sizeimage)
		return -EINVAL;
	vb2_set_plane_payload(vb, 0, sizeimage);
	return 0;
}

void qcam_buf_queue(struct vb2_buffer *vb, spinlock_t *lock,
		    struct list_head *buffers)
{
	struct qcam_buffer *buf =
		container_of(to_vb2_v4l2_buffer(vb), struct qcam_buffer, vb);
	unsigned long flags;

	spin_lock_irqsave(lock, flags);
	list_add_tail(&buf->list, buffers);
	spin_unlock_irqrestore(lock, flags);
}

/* Takes the oldest queued buffer off the list; NULL when none is queued. */
struct qcam_buffer *qcam_next_buffer(spinlock_t *lock,
				     struct list_head *buffers)
{
	struct qcam_buffer *buf;
	unsigned long flags;

	spin_lock_irqsave(lock, flags);
	buf = list_first_entry_or_null(buffers, struct qcam_buffer, list);
	if (buf)
		list_del(&buf->list);
	spin_unlock_irqrestore(lock, flags);
	return buf;
}

/*
 * Gives every queued buffer back to vb2: QUEUED when streaming failed to
 * start, ERROR when it stops.
 */
void qcam_return_buffers(spinlock_t *lock, struct list_head *buffers,
			 enum vb2_buffer_state state)
{
	struct qcam_buffer *buf;

	while ((buf = qcam_next_buffer(lock, buffers)))
		vb2_buffer_done(&buf->vb.vb2_buf, state);
}

/* A vmalloc capture queue of qcam_buffers (MMAP, USERPTR, DMABUF, read). */
int qcam_queue_init(struct vb2_queue *q, void *priv, const struct vb2_ops *ops,
		    struct mutex *lock, struct device *dev)
{
	q->type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
	q->io_modes = VB2_MMAP | VB2_USERPTR | VB2_DMABUF | VB2_READ;
	q->drv_priv = priv;
	q->buf_struct_size = sizeof(struct qcam_buffer);
	q->ops = ops;
	q->mem_ops = &vb2_vmalloc_memops;
	q->timestamp_flags = V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC |
			     V4L2_BUF_FLAG_TSTAMP_SRC_EOF;
	q->lock = lock;
	q->dev = dev;
	return vb2_queue_init(q);
}

/* --- the video device ----------------------------------------------------- */

/*
 * Before 5.11, vb2 registered its done queue with the poll table only when
 * the caller asked for input events. epoll registers wait queues once, when
 * a file is added: a file added with no events and switched to EPOLLIN
 * later (EPOLL_CTL_MOD) was then never woken by a finished buffer. Adding
 * the queue on every call, whatever is asked, makes such a waiter see the
 * frames; newer kernels do this in vb2 itself.
 */
static __poll_t qcam_poll(struct file *file, poll_table *wait)
{
#ifdef QCAM_POLL_ADDS_DONE_QUEUE
	poll_wait(file, &video_devdata(file)->queue->done_wq, wait);
#endif
	return vb2_fop_poll(file, wait);
}

static const struct v4l2_file_operations qcam_fops = {
	.owner = THIS_MODULE, /* no unload while a file is open */
	.open = v4l2_fh_open,
	.release = vb2_fop_release,
	.read = vb2_fop_read,
	.poll = qcam_poll,
	.unlocked_ioctl = video_ioctl2,
	.mmap = vb2_fop_mmap,
};

/*
 * Registers a capture device node (read and streaming I/O) on a queue set
 * up by qcam_queue_init; lock serialises its ioctls. The video_device is
 * part of the driver's record, which outlives it.
 */
int qcam_video_register(struct video_device *vdev, const char *name,
			const struct v4l2_ioctl_ops *ioctl_ops,
			struct v4l2_device *v4l2_dev, struct vb2_queue *q,
			struct mutex *lock, void *drvdata)
{
	snprintf(vdev->name, sizeof(vdev->name), "%s", name);
	vdev->fops = &qcam_fops;
	vdev->ioctl_ops = ioctl_ops;
	vdev->release = video_device_release_empty;
	vdev->v4l2_dev = v4l2_dev;
	vdev->queue = q;
	vdev->lock = lock;
	vdev->vfl_dir = VFL_DIR_RX;
	vdev->device_caps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING |
			    V4L2_CAP_READWRITE;
	video_set_drvdata(vdev, drvdata);
	return video_register_device(vdev, VFL_TYPE_VIDEO, -1);
}

/* --- controls ------------------------------------------------------------- */

/*
 * Adds the standard camera controls to h: exposure (auto or manual, in
 * 100 us), autogain and gain, automatic white balance with red and blue
 * (1/16), a one-shot white balance and the brightness target. Errors are
 * left in h->error; qcam_ctrls_cluster follows once it is clear.
 */
void qcam_ctrls_new_camera(struct v4l2_ctrl_handler *h,
			   const struct v4l2_ctrl_ops *ops,
			   struct qcam_ctrls *c,
			   const struct qcam_ctrl_limits *lim)
{
	c->exposure_auto = v4l2_ctrl_new_std_menu(h, ops,
						  V4L2_CID_EXPOSURE_AUTO,
						  V4L2_EXPOSURE_MANUAL,
						  ~(BIT(V4L2_EXPOSURE_AUTO) |
						    BIT(V4L2_EXPOSURE_MANUAL)),
						  V4L2_EXPOSURE_AUTO);
	c->exposure = v4l2_ctrl_new_std(h, ops, V4L2_CID_EXPOSURE_ABSOLUTE, 1,
					lim->exposure_max, 1, 100);
	c->autogain = v4l2_ctrl_new_std(h, ops, V4L2_CID_AUTOGAIN, 0, 1, 1, 1);
	c->gain = v4l2_ctrl_new_std(h, ops, V4L2_CID_GAIN, 0, lim->gain_max, 1,
				    0);
	c->awb = v4l2_ctrl_new_std(h, ops, V4L2_CID_AUTO_WHITE_BALANCE, 0, 1, 1,
				   1);
	c->red = v4l2_ctrl_new_std(h, ops, V4L2_CID_RED_BALANCE, 0,
				   lim->balance_max, 1, 16);
	c->blue = v4l2_ctrl_new_std(h, ops, V4L2_CID_BLUE_BALANCE, 0,
				    lim->balance_max, 1, 16);
	v4l2_ctrl_new_std(h, ops, V4L2_CID_DO_WHITE_BALANCE, 0, 0, 0, 0);
	v4l2_ctrl_new_std(h, ops, V4L2_CID_BRIGHTNESS, 0, 255, 1, 128);
}

/* While an automatic control is on, its manual ones are volatile. */
void qcam_ctrls_cluster(struct qcam_ctrls *c)
{
	v4l2_ctrl_auto_cluster(2, &c->exposure_auto, V4L2_EXPOSURE_MANUAL,
			       true);
	v4l2_ctrl_auto_cluster(2, &c->autogain, 0, true);
	v4l2_ctrl_auto_cluster(3, &c->awb, 0, true);
}

/*
 * A one-shot white balance changes red and blue while white balance is
 * manual, when those controls are not volatile: copy the new gains (r, b)
 * into them, which also sends control events to applications that asked.
 * *mirroring is set meanwhile, under the handler's lock, so that the
 * driver's s_ctrl can tell its own copy from an application's value.
 */
void qcam_ctrls_mirror_balance(struct qcam_ctrls *c, bool *mirroring, u16 r,
			       u16 b)
{
	v4l2_ctrl_lock(c->awb);
	if (!c->awb->cur.val &&
	    (c->red->cur.val != r || c->blue->cur.val != b)) {
		*mirroring = true;
		__v4l2_ctrl_s_ctrl(c->red, r);
		__v4l2_ctrl_s_ctrl(c->blue, b);
		*mirroring = false;
	}
	v4l2_ctrl_unlock(c->awb);
}
