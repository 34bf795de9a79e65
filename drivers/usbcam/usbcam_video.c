// SPDX-License-Identifier: GPL-2.0 OR MIT
/*
 * The V4L2 side of quorvin_usbcam: ioctls, file operations and the
 * videobuf2 vmalloc queue (MMAP, USERPTR, DMABUF, read).
 * V4L2_PIX_FMT_SRGGB8 at 320x240, 640x480 and 1280x720, 30 or 15 frames/s.
 */
#include <linux/poll.h>
#include <linux/string.h>
#include <media/v4l2-event.h>
#include <media/v4l2-fh.h>
#include <media/v4l2-ioctl.h>
#include <media/videobuf2-vmalloc.h>

#include "usbcam.h"
#include "usbcam_compat.h"

struct usbcam_size {
	u32 width, height;
};

static const struct usbcam_size usbcam_sizes[] = {
	{ 320, 240 },
	{ 640, 480 },
	{ 1280, 720 },
};

static const u32 usbcam_fps[] = { 30, 15 };

u16 usbcam_lines_per_frame(u32 fps)
{
	return (u16)(USBCAM_PIXEL_CLOCK_HZ / USBCAM_CLOCKS_PER_LINE / fps);
}

/* --- videobuf2 ------------------------------------------------------------ */

static int usbcam_queue_setup(struct vb2_queue *q, unsigned int *nbuffers,
			      unsigned int *nplanes, unsigned int sizes[],
			      struct device *alloc_devs[])
{
	struct usbcam_dev *cam = vb2_get_drv_priv(q);

	if (*nplanes)
		return sizes[0] < cam->fmt.sizeimage ? -EINVAL : 0;
	*nplanes = 1;
	sizes[0] = cam->fmt.sizeimage;
	return 0;
}

static int usbcam_buf_prepare(struct vb2_buffer *vb)
{
	struct usbcam_dev *cam = vb2_get_drv_priv(vb->vb2_queue);

	if (vb2_plane_size(vb, 0) < cam->fmt.sizeimage)
		return -EINVAL;
	vb2_set_plane_payload(vb, 0, cam->fmt.sizeimage);
	return 0;
}

static void usbcam_buf_queue(struct vb2_buffer *vb)
{
	struct usbcam_dev *cam = vb2_get_drv_priv(vb->vb2_queue);
	struct usbcam_buffer *buf =
		container_of(to_vb2_v4l2_buffer(vb), struct usbcam_buffer, vb);
	unsigned long flags;

	spin_lock_irqsave(&cam->lock, flags);
	list_add_tail(&buf->list, &cam->buffers);
	spin_unlock_irqrestore(&cam->lock, flags);
	/* A frame may be waiting for a buffer. */
	if (READ_ONCE(cam->streaming))
		queue_work(cam->wq, &cam->work);
}

static void usbcam_return_buffers(struct usbcam_dev *cam,
				  enum vb2_buffer_state state)
{
	struct usbcam_buffer *buf;

	while ((buf = usbcam_next_buffer(cam)))
		vb2_buffer_done(&buf->vb.vb2_buf, state);
}

static int usbcam_start_streaming(struct vb2_queue *q, unsigned int count)
{
	struct usbcam_dev *cam = vb2_get_drv_priv(q);
	int ret;

	ret = usbcam_stream_start(cam);
	if (ret)
		usbcam_return_buffers(cam, VB2_BUF_STATE_QUEUED);
	return ret;
}

static void usbcam_stop_streaming(struct vb2_queue *q)
{
	struct usbcam_dev *cam = vb2_get_drv_priv(q);

	usbcam_stream_stop(cam);
	usbcam_return_buffers(cam, VB2_BUF_STATE_ERROR);
}

static const struct vb2_ops usbcam_qops = {
	.queue_setup = usbcam_queue_setup,
	.buf_prepare = usbcam_buf_prepare,
	.buf_queue = usbcam_buf_queue,
	.start_streaming = usbcam_start_streaming,
	.stop_streaming = usbcam_stop_streaming,
	USBCAM_VB2_WAIT_OPS
};

/* --- ioctls --------------------------------------------------------------- */

static int usbcam_querycap(struct file *file, void *fh,
			   struct v4l2_capability *cap)
{
	struct usbcam_dev *cam = video_drvdata(file);

	strscpy(cap->driver, KBUILD_MODNAME, sizeof(cap->driver));
	strscpy(cap->card, "Quorvin USB camera", sizeof(cap->card));
	usb_make_path(cam->udev, cap->bus_info, sizeof(cap->bus_info));
	return 0;
}

static int usbcam_enum_fmt(struct file *file, void *fh, struct v4l2_fmtdesc *f)
{
	if (f->index != 0)
		return -EINVAL;
	f->pixelformat = V4L2_PIX_FMT_SRGGB8;
	return 0;
}

void usbcam_video_fill_format(struct v4l2_pix_format *pix)
{
	const struct usbcam_size *s =
		v4l2_find_nearest_size(usbcam_sizes, ARRAY_SIZE(usbcam_sizes),
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

static int usbcam_g_fmt(struct file *file, void *fh, struct v4l2_format *f)
{
	struct usbcam_dev *cam = video_drvdata(file);

	f->fmt.pix = cam->fmt;
	return 0;
}

static int usbcam_try_fmt(struct file *file, void *fh, struct v4l2_format *f)
{
	usbcam_video_fill_format(&f->fmt.pix);
	return 0;
}

static int usbcam_s_fmt(struct file *file, void *fh, struct v4l2_format *f)
{
	struct usbcam_dev *cam = video_drvdata(file);

	if (vb2_is_busy(&cam->queue))
		return -EBUSY;
	usbcam_video_fill_format(&f->fmt.pix);
	mutex_lock(&cam->core_lock);
	cam->fmt = f->fmt.pix;
	/* The module reads the bound size at its next call. */
	cam->width = cam->fmt.width;
	cam->height = cam->fmt.height;
	mutex_unlock(&cam->core_lock);
	return 0;
}

static bool usbcam_size_supported(u32 format, u32 width, u32 height)
{
	unsigned int i;

	if (format != V4L2_PIX_FMT_SRGGB8)
		return false;
	for (i = 0; i < ARRAY_SIZE(usbcam_sizes); ++i)
		if (usbcam_sizes[i].width == width &&
		    usbcam_sizes[i].height == height)
			return true;
	return false;
}

static int usbcam_enum_framesizes(struct file *file, void *fh,
				  struct v4l2_frmsizeenum *fs)
{
	if (fs->pixel_format != V4L2_PIX_FMT_SRGGB8 ||
	    fs->index >= ARRAY_SIZE(usbcam_sizes))
		return -EINVAL;
	fs->type = V4L2_FRMSIZE_TYPE_DISCRETE;
	fs->discrete.width = usbcam_sizes[fs->index].width;
	fs->discrete.height = usbcam_sizes[fs->index].height;
	return 0;
}

static int usbcam_enum_frameintervals(struct file *file, void *fh,
				      struct v4l2_frmivalenum *fi)
{
	if (!usbcam_size_supported(fi->pixel_format, fi->width, fi->height) ||
	    fi->index >= ARRAY_SIZE(usbcam_fps))
		return -EINVAL;
	fi->type = V4L2_FRMIVAL_TYPE_DISCRETE;
	fi->discrete.numerator = 1;
	fi->discrete.denominator = usbcam_fps[fi->index];
	return 0;
}

static void usbcam_fill_parm(struct usbcam_dev *cam, struct v4l2_streamparm *p)
{
	memset(&p->parm.capture, 0, sizeof(p->parm.capture));
	p->parm.capture.capability = V4L2_CAP_TIMEPERFRAME;
	p->parm.capture.timeperframe.numerator = 1;
	p->parm.capture.timeperframe.denominator = cam->fps;
	p->parm.capture.readbuffers = 2;
}

static int usbcam_g_parm(struct file *file, void *fh, struct v4l2_streamparm *p)
{
	struct usbcam_dev *cam = video_drvdata(file);

	if (p->type != V4L2_BUF_TYPE_VIDEO_CAPTURE)
		return -EINVAL;
	usbcam_fill_parm(cam, p);
	return 0;
}

/*
 * The nearest supported rate; a zero fraction asks for the fastest. The
 * camera takes the new frame timing when a stream starts, or at once.
 */
static int usbcam_s_parm(struct file *file, void *fh, struct v4l2_streamparm *p)
{
	struct usbcam_dev *cam = video_drvdata(file);
	struct v4l2_fract *t = &p->parm.capture.timeperframe;
	u32 fps = usbcam_fps[0];

	if (p->type != V4L2_BUF_TYPE_VIDEO_CAPTURE)
		return -EINVAL;
	/* Below the midpoint of 15 and 30 frames/s: 15. */
	if (t->numerator && t->denominator &&
	    (u64)t->denominator * 2 < (u64)t->numerator * 45)
		fps = usbcam_fps[1];
	mutex_lock(&cam->core_lock);
	cam->fps = fps;
	cam->lines_per_frame = usbcam_lines_per_frame(fps);
	if (vb2_is_streaming(&cam->queue))
		usbcam_write_reg(cam, USBCAM_REG_LINES_PER_FRAME,
				 cam->lines_per_frame);
	mutex_unlock(&cam->core_lock);
	usbcam_fill_parm(cam, p);
	return 0;
}

static int usbcam_enum_input(struct file *file, void *fh,
			     struct v4l2_input *inp)
{
	if (inp->index != 0)
		return -EINVAL;
	inp->type = V4L2_INPUT_TYPE_CAMERA;
	strscpy(inp->name, "Camera", sizeof(inp->name));
	return 0;
}

static int usbcam_g_input(struct file *file, void *fh, unsigned int *i)
{
	*i = 0;
	return 0;
}

static int usbcam_s_input(struct file *file, void *fh, unsigned int i)
{
	return i == 0 ? 0 : -EINVAL;
}

static int usbcam_log_status(struct file *file, void *fh)
{
	struct usbcam_dev *cam = video_drvdata(file);
	struct usbcam_stats s;

	mutex_lock(&cam->core_lock);
	s = cam->stats;
	mutex_unlock(&cam->core_lock);
	v4l2_info(&cam->v4l2_dev,
		  "frames %u short %u long %u magic %u size %u gaps %u urb_errors %u stalls %u ctrl_errors %u failures %u\n",
		  s.frames, s.short_frames, s.long_frames, s.bad_magic,
		  s.bad_size, s.gaps, s.urb_errors, s.stalls, s.ctrl_errors,
		  s.failures);
	return v4l2_ctrl_log_status(file, fh);
}

static const struct v4l2_ioctl_ops usbcam_ioctl_ops = {
	.vidioc_querycap = usbcam_querycap,
	.vidioc_enum_fmt_vid_cap = usbcam_enum_fmt,
	.vidioc_g_fmt_vid_cap = usbcam_g_fmt,
	.vidioc_try_fmt_vid_cap = usbcam_try_fmt,
	.vidioc_s_fmt_vid_cap = usbcam_s_fmt,
	.vidioc_enum_framesizes = usbcam_enum_framesizes,
	.vidioc_enum_frameintervals = usbcam_enum_frameintervals,
	.vidioc_g_parm = usbcam_g_parm,
	.vidioc_s_parm = usbcam_s_parm,
	.vidioc_enum_input = usbcam_enum_input,
	.vidioc_g_input = usbcam_g_input,
	.vidioc_s_input = usbcam_s_input,
	.vidioc_reqbufs = vb2_ioctl_reqbufs,
	.vidioc_create_bufs = vb2_ioctl_create_bufs,
	.vidioc_prepare_buf = vb2_ioctl_prepare_buf,
	.vidioc_querybuf = vb2_ioctl_querybuf,
	.vidioc_qbuf = vb2_ioctl_qbuf,
	.vidioc_dqbuf = vb2_ioctl_dqbuf,
	.vidioc_expbuf = vb2_ioctl_expbuf,
	.vidioc_streamon = vb2_ioctl_streamon,
	.vidioc_streamoff = vb2_ioctl_streamoff,
	.vidioc_log_status = usbcam_log_status,
	.vidioc_subscribe_event = v4l2_ctrl_subscribe_event,
	.vidioc_unsubscribe_event = v4l2_event_unsubscribe,
};

static __poll_t usbcam_poll(struct file *file, poll_table *wait)
{
#if USBCAM_POLL_ADDS_DONE_WQ
	struct usbcam_dev *cam = video_drvdata(file);

	poll_wait(file, &cam->queue.done_wq, wait);
#endif
	return vb2_fop_poll(file, wait);
}

static const struct v4l2_file_operations usbcam_fops = {
	.owner = THIS_MODULE, /* no unload while a file is open */
	.open = v4l2_fh_open,
	.release = vb2_fop_release,
	.read = vb2_fop_read,
	.poll = usbcam_poll,
	.unlocked_ioctl = video_ioctl2,
	.mmap = vb2_fop_mmap,
};

int usbcam_video_register(struct usbcam_dev *cam)
{
	struct vb2_queue *q = &cam->queue;
	struct video_device *vdev = &cam->vdev;
	int ret;

	q->type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
	q->io_modes = VB2_MMAP | VB2_USERPTR | VB2_DMABUF | VB2_READ;
	q->drv_priv = cam;
	q->buf_struct_size = sizeof(struct usbcam_buffer);
	q->ops = &usbcam_qops;
	q->mem_ops = &vb2_vmalloc_memops;
	q->timestamp_flags = V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC |
			     V4L2_BUF_FLAG_TSTAMP_SRC_EOF;
	q->lock = &cam->io_lock;
	q->dev = &cam->intf->dev;
	ret = vb2_queue_init(q);
	if (ret)
		return ret;

	strscpy(vdev->name, "Quorvin USB camera", sizeof(vdev->name));
	vdev->fops = &usbcam_fops;
	vdev->ioctl_ops = &usbcam_ioctl_ops;
	vdev->release = video_device_release_empty; /* part of the camera */
	vdev->v4l2_dev = &cam->v4l2_dev;
	vdev->queue = q;
	vdev->lock = &cam->io_lock;
	vdev->vfl_dir = VFL_DIR_RX;
	vdev->device_caps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING |
			    V4L2_CAP_READWRITE;
	video_set_drvdata(vdev, cam);
	return video_register_device(vdev, VFL_TYPE_VIDEO, -1);
}
