// SPDX-License-Identifier: GPL-2.0 OR MIT
/*
 * quorvin_vcam's video device: V4L2_PIX_FMT_SRGGB8 at 320x240, 640x480 and
 * 1280x720, 30 or 15 frames/s, one camera input; a videobuf2 vmalloc queue
 * (MMAP, USERPTR, DMABUF, read) whose buffers the frame thread fills.
 */
#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/poll.h>
#include <linux/spinlock.h>
#include <linux/string.h>
#include <media/v4l2-event.h>
#include <media/v4l2-fh.h>
#include <media/v4l2-ioctl.h>
#include <media/videobuf2-v4l2.h>
#include <media/videobuf2-vmalloc.h>

#include "vcam.h"
#include "vcam_compat.h"

struct vcam_size {
	u32 width, height;
};

static const struct vcam_size vcam_sizes[] = {
	{ 320, 240 },
	{ 640, 480 },
	{ 1280, 720 },
};

static const u32 vcam_fps[] = { 30, 15 };

/* --- videobuf2 ------------------------------------------------------------ */

/* Takes the oldest queued buffer off the list; NULL when none is queued. */
struct vcam_buffer *vcam_video_next_buffer(struct vcam_dev *cam)
{
	struct vcam_buffer *buf;
	unsigned long flags;

	spin_lock_irqsave(&cam->list_lock, flags);
	buf = list_first_entry_or_null(&cam->buffers, struct vcam_buffer, list);
	if (buf)
		list_del(&buf->list);
	spin_unlock_irqrestore(&cam->list_lock, flags);
	return buf;
}

static int vcam_queue_setup(struct vb2_queue *q, unsigned int *nbuffers,
			    unsigned int *nplanes, unsigned int sizes[],
			    struct device *alloc_devs[])
{
	struct vcam_dev *cam = vb2_get_drv_priv(q);

	if (*nplanes)
		return sizes[0] < cam->fmt.sizeimage ? -EINVAL : 0;
	*nplanes = 1;
	sizes[0] = cam->fmt.sizeimage;
	return 0;
}

static int vcam_buf_prepare(struct vb2_buffer *vb)
{
	struct vcam_dev *cam = vb2_get_drv_priv(vb->vb2_queue);

	if (vb2_plane_size(vb, 0) < cam->fmt.sizeimage)
		return -EINVAL;
	vb2_set_plane_payload(vb, 0, cam->fmt.sizeimage);
	return 0;
}

static void vcam_buf_queue(struct vb2_buffer *vb)
{
	struct vcam_dev *cam = vb2_get_drv_priv(vb->vb2_queue);
	struct vcam_buffer *buf =
		container_of(to_vb2_v4l2_buffer(vb), struct vcam_buffer, vb);
	unsigned long flags;

	spin_lock_irqsave(&cam->list_lock, flags);
	list_add_tail(&buf->list, &cam->buffers);
	spin_unlock_irqrestore(&cam->list_lock, flags);
}

static void vcam_return_buffers(struct vcam_dev *cam,
				enum vb2_buffer_state state)
{
	struct vcam_buffer *buf;

	while ((buf = vcam_video_next_buffer(cam)))
		vb2_buffer_done(&buf->vb.vb2_buf, state);
}

static int vcam_start_streaming(struct vb2_queue *q, unsigned int count)
{
	struct vcam_dev *cam = vb2_get_drv_priv(q);
	int ret;

	ret = vcam_thread_start(cam);
	if (ret)
		vcam_return_buffers(cam, VB2_BUF_STATE_QUEUED);
	return ret;
}

static void vcam_stop_streaming(struct vb2_queue *q)
{
	struct vcam_dev *cam = vb2_get_drv_priv(q);

	vcam_thread_stop(cam);
	vcam_return_buffers(cam, VB2_BUF_STATE_ERROR);
}

static const struct vb2_ops vcam_qops = {
	.queue_setup = vcam_queue_setup,
	.buf_prepare = vcam_buf_prepare,
	.buf_queue = vcam_buf_queue,
	.start_streaming = vcam_start_streaming,
	.stop_streaming = vcam_stop_streaming,
#ifdef VCAM_VB2_HAS_WAIT_OPS
	.wait_prepare = vb2_ops_wait_prepare,
	.wait_finish = vb2_ops_wait_finish,
#endif
};

/* --- ioctls --------------------------------------------------------------- */

static int vcam_querycap(struct file *file, void *fh,
			 struct v4l2_capability *cap)
{
	struct vcam_dev *cam = video_drvdata(file);

	strscpy(cap->driver, KBUILD_MODNAME, sizeof(cap->driver));
	snprintf(cap->card, sizeof(cap->card), "Quorvin virtual camera %u",
		 cam->index);
	snprintf(cap->bus_info, sizeof(cap->bus_info), "platform:%s",
		 dev_name(cam->v4l2_dev.dev));
	return 0;
}

static int vcam_enum_fmt(struct file *file, void *fh, struct v4l2_fmtdesc *f)
{
	if (f->index != 0)
		return -EINVAL;
	f->pixelformat = V4L2_PIX_FMT_SRGGB8;
	return 0;
}

static void vcam_fill_format(struct v4l2_pix_format *pix)
{
	const struct vcam_size *s =
		v4l2_find_nearest_size(vcam_sizes, ARRAY_SIZE(vcam_sizes),
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

static int vcam_g_fmt(struct file *file, void *fh, struct v4l2_format *f)
{
	struct vcam_dev *cam = video_drvdata(file);

	f->fmt.pix = cam->fmt;
	return 0;
}

static int vcam_try_fmt(struct file *file, void *fh, struct v4l2_format *f)
{
	vcam_fill_format(&f->fmt.pix);
	return 0;
}

static int vcam_s_fmt(struct file *file, void *fh, struct v4l2_format *f)
{
	struct vcam_dev *cam = video_drvdata(file);

	if (vb2_is_busy(&cam->queue))
		return -EBUSY;
	vcam_fill_format(&f->fmt.pix);
	cam->fmt = f->fmt.pix;
	mutex_lock(&cam->core_lock);
	vcam_core_set_format(cam->core, cam->fmt.width, cam->fmt.height);
	mutex_unlock(&cam->core_lock);
	return 0;
}

static bool vcam_size_supported(u32 format, u32 width, u32 height)
{
	unsigned int i;

	if (format != V4L2_PIX_FMT_SRGGB8)
		return false;
	for (i = 0; i < ARRAY_SIZE(vcam_sizes); ++i)
		if (vcam_sizes[i].width == width &&
		    vcam_sizes[i].height == height)
			return true;
	return false;
}

static int vcam_enum_framesizes(struct file *file, void *fh,
				struct v4l2_frmsizeenum *fs)
{
	if (fs->pixel_format != V4L2_PIX_FMT_SRGGB8 ||
	    fs->index >= ARRAY_SIZE(vcam_sizes))
		return -EINVAL;
	fs->type = V4L2_FRMSIZE_TYPE_DISCRETE;
	fs->discrete.width = vcam_sizes[fs->index].width;
	fs->discrete.height = vcam_sizes[fs->index].height;
	return 0;
}

static int vcam_enum_frameintervals(struct file *file, void *fh,
				    struct v4l2_frmivalenum *fi)
{
	if (!vcam_size_supported(fi->pixel_format, fi->width, fi->height) ||
	    fi->index >= ARRAY_SIZE(vcam_fps))
		return -EINVAL;
	fi->type = V4L2_FRMIVAL_TYPE_DISCRETE;
	fi->discrete.numerator = 1;
	fi->discrete.denominator = vcam_fps[fi->index];
	return 0;
}

static void vcam_fill_parm(struct vcam_dev *cam, struct v4l2_streamparm *p)
{
	memset(&p->parm.capture, 0, sizeof(p->parm.capture));
	p->parm.capture.capability = V4L2_CAP_TIMEPERFRAME;
	p->parm.capture.timeperframe.numerator = 1;
	p->parm.capture.timeperframe.denominator = cam->fps;
	p->parm.capture.readbuffers = 2;
}

static int vcam_g_parm(struct file *file, void *fh, struct v4l2_streamparm *p)
{
	struct vcam_dev *cam = video_drvdata(file);

	if (p->type != V4L2_BUF_TYPE_VIDEO_CAPTURE)
		return -EINVAL;
	vcam_fill_parm(cam, p);
	return 0;
}

/*
 * The nearest supported rate; a zero fraction asks for the fastest. The
 * frame thread picks a new rate up at its next frame.
 */
static int vcam_s_parm(struct file *file, void *fh, struct v4l2_streamparm *p)
{
	struct vcam_dev *cam = video_drvdata(file);
	struct v4l2_fract *t = &p->parm.capture.timeperframe;
	u32 fps = vcam_fps[0];

	if (p->type != V4L2_BUF_TYPE_VIDEO_CAPTURE)
		return -EINVAL;
	/* Below the midpoint of 15 and 30 frames/s: 15. */
	if (t->numerator && t->denominator &&
	    (u64)t->denominator * 2 < (u64)t->numerator * 45)
		fps = vcam_fps[1];
	mutex_lock(&cam->core_lock);
	WRITE_ONCE(cam->fps, fps);
	vcam_core_set_fps(cam->core, fps);
	mutex_unlock(&cam->core_lock);
	vcam_fill_parm(cam, p);
	return 0;
}

static int vcam_enum_input(struct file *file, void *fh, struct v4l2_input *inp)
{
	if (inp->index != 0)
		return -EINVAL;
	inp->type = V4L2_INPUT_TYPE_CAMERA;
	strscpy(inp->name, "Camera", sizeof(inp->name));
	return 0;
}

static int vcam_g_input(struct file *file, void *fh, unsigned int *i)
{
	*i = 0;
	return 0;
}

static int vcam_s_input(struct file *file, void *fh, unsigned int i)
{
	return i == 0 ? 0 : -EINVAL;
}

static const struct v4l2_ioctl_ops vcam_ioctl_ops = {
	.vidioc_querycap = vcam_querycap,
	.vidioc_enum_fmt_vid_cap = vcam_enum_fmt,
	.vidioc_g_fmt_vid_cap = vcam_g_fmt,
	.vidioc_try_fmt_vid_cap = vcam_try_fmt,
	.vidioc_s_fmt_vid_cap = vcam_s_fmt,
	.vidioc_enum_framesizes = vcam_enum_framesizes,
	.vidioc_enum_frameintervals = vcam_enum_frameintervals,
	.vidioc_g_parm = vcam_g_parm,
	.vidioc_s_parm = vcam_s_parm,
	.vidioc_enum_input = vcam_enum_input,
	.vidioc_g_input = vcam_g_input,
	.vidioc_s_input = vcam_s_input,
	.vidioc_reqbufs = vb2_ioctl_reqbufs,
	.vidioc_create_bufs = vb2_ioctl_create_bufs,
	.vidioc_prepare_buf = vb2_ioctl_prepare_buf,
	.vidioc_querybuf = vb2_ioctl_querybuf,
	.vidioc_qbuf = vb2_ioctl_qbuf,
	.vidioc_dqbuf = vb2_ioctl_dqbuf,
	.vidioc_expbuf = vb2_ioctl_expbuf,
	.vidioc_streamon = vb2_ioctl_streamon,
	.vidioc_streamoff = vb2_ioctl_streamoff,
	.vidioc_log_status = v4l2_ctrl_log_status,
	.vidioc_subscribe_event = v4l2_ctrl_subscribe_event,
	.vidioc_unsubscribe_event = v4l2_event_unsubscribe,
};

/*
 * Before 5.11, vb2 registered its done queue with the poll table only when
 * the caller asked for input events. epoll registers wait queues once, when
 * a file is added: a file added with no events and switched to EPOLLIN
 * later (EPOLL_CTL_MOD) was then never woken by a finished buffer. Adding
 * the queue on every call, whatever is asked, makes such a waiter see the
 * frames; newer kernels do this in vb2 itself.
 */
static __poll_t vcam_poll(struct file *file, poll_table *wait)
{
#ifdef VCAM_POLL_ADDS_DONE_QUEUE
	struct vcam_dev *cam = video_drvdata(file);

	poll_wait(file, &cam->queue.done_wq, wait);
#endif
	return vb2_fop_poll(file, wait);
}

static const struct v4l2_file_operations vcam_fops = {
	.owner = THIS_MODULE, /* no unload while a file is open */
	.open = v4l2_fh_open,
	.release = vb2_fop_release,
	.read = vb2_fop_read,
	.poll = vcam_poll,
	.unlocked_ioctl = video_ioctl2,
	.mmap = vb2_fop_mmap,
};

/* --- setup ---------------------------------------------------------------- */

/* The first format and rate: 640x480 at 30 frames/s. */
void vcam_video_init_format(struct vcam_dev *cam)
{
	cam->fps = vcam_fps[0];
	cam->fmt.width = 640;
	cam->fmt.height = 480;
	vcam_fill_format(&cam->fmt);
	vcam_core_set_format(cam->core, cam->fmt.width, cam->fmt.height);
}

int vcam_video_init_queue(struct vcam_dev *cam, struct device *dev)
{
	struct vb2_queue *q = &cam->queue;

	q->type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
	q->io_modes = VB2_MMAP | VB2_USERPTR | VB2_DMABUF | VB2_READ;
	q->drv_priv = cam;
	q->buf_struct_size = sizeof(struct vcam_buffer);
	q->ops = &vcam_qops;
	q->mem_ops = &vb2_vmalloc_memops;
	q->timestamp_flags = V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC |
			     V4L2_BUF_FLAG_TSTAMP_SRC_EOF;
	q->lock = &cam->io_lock;
	q->dev = dev;
	return vb2_queue_init(q);
}

/* Registers the device node; the v4l2_device must be registered. */
int vcam_video_register(struct vcam_dev *cam)
{
	struct video_device *vdev = &cam->vdev;

	snprintf(vdev->name, sizeof(vdev->name), "Quorvin virtual camera %u",
		 cam->index);
	vdev->fops = &vcam_fops;
	vdev->ioctl_ops = &vcam_ioctl_ops;
	vdev->release = video_device_release_empty; /* part of the camera */
	vdev->v4l2_dev = &cam->v4l2_dev;
	vdev->queue = &cam->queue;
	vdev->lock = &cam->io_lock;
	vdev->vfl_dir = VFL_DIR_RX;
	vdev->device_caps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING |
			    V4L2_CAP_READWRITE;
	video_set_drvdata(vdev, cam);
	return video_register_device(vdev, VFL_TYPE_VIDEO, -1);
}
